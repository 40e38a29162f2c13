#include "serial/list_ports.h"

#include <cctype>

namespace morvane::serial {

bool natural_less(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      std::size_t i2 = i, j2 = j;
      while (i2 < a.size() && digit(a[i2])) ++i2;
      while (j2 < b.size() && digit(b[j2])) ++j2;
      std::string na = a.substr(i, i2 - i), nb = b.substr(j, j2 - j);
      na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
      nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = i2;
      j = j2;
      continue;
    }
    if (a[i] != b[j]) return a[i] < b[j];
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

}  // namespace morvane::serial
