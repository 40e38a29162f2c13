#include "core/kind.h"

namespace morvane {

void KindRegistry::add(std::shared_ptr<Kind> kind) {
  // A later kind takes over the names it serves (tests replace a kind this way).
  for (const auto& p : kind->protocols()) by_protocol_[p] = kind;
  kinds_.push_back(std::move(kind));
}

std::shared_ptr<Kind> KindRegistry::find(const std::string& protocol) const {
  auto it = by_protocol_.find(protocol);
  return it == by_protocol_.end() ? nullptr : it->second;
}

}  // namespace morvane
