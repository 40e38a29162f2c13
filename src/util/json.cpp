#include "util/json.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "util/text.h"

namespace morvane::json {

namespace {

// Deepest nesting of brackets outside strings. Runs before the parser builds anything, so a
// value too deep is refused without a single node of it in memory. On malformed text it
// counts at least as deep as the parser would get before it stops.
int scan_depth(std::string_view s, int limit) {
  int d = 0;
  bool in_str = false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (in_str) {
      if (c == '\\') ++i;
      else if (c == '"') in_str = false;
      continue;
    }
    if (c == '"') {
      in_str = true;
    } else if (c == '[' || c == '{') {
      if (++d > limit) return d;
    } else if ((c == ']' || c == '}') && d > 0) {
      --d;
    }
  }
  return 0;
}

}  // namespace

Json parse(const std::string& text, int max_depth) {
  if (scan_depth(text, max_depth) > max_depth)
    throw std::runtime_error("JSON nested deeper than " + std::to_string(max_depth) + " levels");
  try {
    return Json::parse(text);
  } catch (const Json::parse_error& e) {
    throw std::runtime_error(e.what());
  }
}

int depth(const Json& v) {
  int deepest = 0;
  std::vector<std::pair<const Json*, int>> todo{{&v, 0}};
  while (!todo.empty()) {
    auto [j, d] = todo.back();
    todo.pop_back();
    if (!j->is_structured()) continue;
    deepest = std::max(deepest, d + 1);
    for (const auto& item : *j) todo.emplace_back(&item, d + 1);
  }
  return deepest;
}

std::string dump_file(const Json& v) {
  return v.dump(2, ' ', false, Json::error_handler_t::replace);
}

namespace {

void append_u16(std::string& out, unsigned cu) {
  static const char* hex = "0123456789abcdef";
  out += "\\u";
  out += hex[(cu >> 12) & 0xF];
  out += hex[(cu >> 8) & 0xF];
  out += hex[(cu >> 4) & 0xF];
  out += hex[cu & 0xF];
}

}  // namespace

void append_quoted(std::string& out, std::string_view raw, bool ascii) {
  // Terminal output of megabytes goes through here: text that is already valid UTF-8 is
  // not copied first, and runs that need no escape are appended in one piece.
  std::string fixed;
  std::string_view s = raw;
  if (text::valid_utf8_prefix(raw) != raw.size()) s = fixed = text::sanitize_utf8(raw);
  out.reserve(out.size() + s.size() + 2);
  out += '"';
  size_t run = 0;
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\' && (c < 0x7F || (!ascii && c >= 0x80))) {
      ++i;
      continue;
    }
    out.append(s.data() + run, i - run);
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
          if (c < 0x20 || ascii) append_u16(out, c);  // controls; DEL in the ASCII form
          else out += static_cast<char>(c);
      }
      run = ++i;
      continue;
    }
    // Only the ASCII form gets here with a multi-byte character.
    size_t len = 1;
    char32_t cp = text::decode_utf8_at(s, i, &len);
    if (cp >= 0x10000) {
      char32_t v = cp - 0x10000;
      append_u16(out, 0xD800 + (v >> 10));
      append_u16(out, 0xDC00 + (v & 0x3FF));
    } else {
      append_u16(out, cp);
    }
    i += len;
    run = i;
  }
  out.append(s.data() + run, i - run);
  out += '"';
}

namespace {

void write_line(std::string& out, const Json& v, bool ascii) {
  switch (v.type()) {
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += ", ";
        first = false;
        append_quoted(out, it.key(), ascii);
        out += ": ";
        write_line(out, it.value(), ascii);
      }
      out += '}';
      break;
    }
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& item : v) {
        if (!first) out += ", ";
        first = false;
        write_line(out, item, ascii);
      }
      out += ']';
      break;
    }
    case Json::value_t::string:
      append_quoted(out, v.get_ref<const std::string&>(), ascii);
      break;
    default:
      out += v.dump();
  }
}

}  // namespace

std::string dump_line(const Json& v, bool ascii) {
  std::string out;
  write_line(out, v, ascii);
  return out;
}

std::string quote(const std::string& s, bool ascii) {
  std::string out;
  append_quoted(out, s, ascii);
  return out;
}

bool truthy(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: return false;
    case Json::value_t::boolean: return v.get<bool>();
    case Json::value_t::number_integer: return v.get<long long>() != 0;
    case Json::value_t::number_unsigned: return v.get<unsigned long long>() != 0;
    case Json::value_t::number_float: return v.get<double>() != 0.0;
    case Json::value_t::string: return !v.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object: return !v.empty();
    default: return true;
  }
}

std::optional<long long> as_int(const Json& v) {
  switch (v.type()) {
    case Json::value_t::boolean: return v.get<bool>() ? 1 : 0;
    case Json::value_t::number_integer: return v.get<long long>();
    case Json::value_t::number_unsigned: {
      auto u = v.get<unsigned long long>();
      if (u > static_cast<unsigned long long>(LLONG_MAX)) return std::nullopt;
      return static_cast<long long>(u);
    }
    case Json::value_t::number_float: {
      double d = v.get<double>();
      if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) return std::nullopt;
      return static_cast<long long>(std::trunc(d));
    }
    case Json::value_t::string: return text::parse_int(v.get_ref<const std::string&>());
    default: return std::nullopt;
  }
}

std::string text_form(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: return "None";
    case Json::value_t::boolean: return v.get<bool>() ? "True" : "False";
    case Json::value_t::string: return v.get<std::string>();
    case Json::value_t::number_float: {
      double d = v.get<double>();
      if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 1e16) {
        return std::to_string(static_cast<long long>(d)) + ".0";
      }
      return v.dump();
    }
    case Json::value_t::array:
    case Json::value_t::object: return dump_line(v, false);
    default: return v.dump();
  }
}

const Json& get(const Json& v, const std::string& key) {
  static const Json null_value;
  if (!v.is_object()) return null_value;
  auto it = v.find(key);
  return it == v.end() ? null_value : *it;
}

std::string get_str(const Json& v, const std::string& key) {
  const Json& x = get(v, key);
  return x.is_string() ? x.get<std::string>() : std::string();
}

}  // namespace morvane::json
