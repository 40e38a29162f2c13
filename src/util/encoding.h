#pragma once
// The text-encoding registry: every code page ICU knows, under the codec names users type.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace morvane::encoding {

// The registry's own name for a user-typed codec name ("utf-8", "big5", "cp950",
// "Shift-JIS", "latin-1", "cp437", ...), or nullopt when no codec answers to it.
std::optional<std::string> resolve(std::string_view name);

inline bool known(std::string_view name) { return resolve(name).has_value(); }

// Incremental decoder to UTF-8. Undecodable bytes become U+FFFD; an incomplete multi-byte
// sequence at the end of a chunk is held for the next call. Not thread-safe: one owner.
class Decoder {
 public:
  virtual ~Decoder() = default;
  virtual std::string decode(std::string_view bytes, bool final = false) = 0;
};

// Throws std::runtime_error("unknown encoding: NAME") for a name resolve() rejects.
std::unique_ptr<Decoder> make_decoder(std::string_view name);

// UTF-8 text to bytes of the named encoding; characters it cannot represent become "?".
// Throws std::runtime_error for an unknown name.
std::string encode(std::string_view utf8, std::string_view name);

// One-shot decoding with replacement (no state kept between calls).
std::string decode_once(std::string_view bytes, std::string_view name);

}  // namespace morvane::encoding
