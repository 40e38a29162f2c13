#include "util/encoding.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ustring.h>

#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "util/text.h"

namespace morvane::encoding {
namespace {

constexpr const char* kUtf8 = "utf-8";
constexpr const char* kUtf8Sig = "utf-8-sig";

// Codec names as users know them, normalised (lower case, '-' and ' ' as '_'), mapped to
// the converter that behaves as they expect. ICU rejects some of these names outright and
// picks an unexpected variant for others (cp950 would give ibm-950 without this table).
const std::map<std::string, std::string>& alias_table() {
  static const std::map<std::string, std::string> table = {
      {"utf_8", kUtf8}, {"utf8", kUtf8}, {"u8", kUtf8}, {"utf", kUtf8}, {"cp65001", kUtf8},
      {"utf8_ucs2", kUtf8}, {"utf8_ucs4", kUtf8},
      {"utf_8_sig", kUtf8Sig}, {"utf8_sig", kUtf8Sig},
      {"ascii", "US-ASCII"}, {"us_ascii", "US-ASCII"}, {"646", "US-ASCII"},
      {"latin_1", "ISO-8859-1"}, {"latin1", "ISO-8859-1"}, {"latin", "ISO-8859-1"}, {"l1", "ISO-8859-1"},
      {"iso8859_1", "ISO-8859-1"}, {"iso_8859_1", "ISO-8859-1"}, {"8859", "ISO-8859-1"},
      {"cp819", "ISO-8859-1"},
      {"big5", "windows-950-2000"}, {"big5_tw", "windows-950-2000"}, {"csbig5", "windows-950-2000"},
      {"cp950", "windows-950-2000"}, {"ms950", "windows-950-2000"}, {"950", "windows-950-2000"},
      {"big5hkscs", "ibm-1375_P100-2008"}, {"big5_hkscs", "ibm-1375_P100-2008"},
      {"hkscs", "ibm-1375_P100-2008"},
      {"gbk", "windows-936-2000"}, {"cp936", "windows-936-2000"}, {"ms936", "windows-936-2000"},
      {"936", "windows-936-2000"},
      {"gb2312", "ibm-1383_P110-1999"}, {"euc_cn", "ibm-1383_P110-1999"}, {"euccn", "ibm-1383_P110-1999"},
      {"gb18030", "gb18030"},
      {"shift_jis", "ibm-943_P15A-2003"}, {"shiftjis", "ibm-943_P15A-2003"}, {"sjis", "ibm-943_P15A-2003"},
      {"s_jis", "ibm-943_P15A-2003"}, {"csshiftjis", "ibm-943_P15A-2003"},
      {"cp932", "windows-932"}, {"ms932", "windows-932"}, {"mskanji", "windows-932"},
      {"ms_kanji", "windows-932"}, {"932", "windows-932"},
      {"euc_jp", "EUC-JP"}, {"eucjp", "EUC-JP"}, {"ujis", "EUC-JP"},
      {"iso2022_jp", "ISO-2022-JP"}, {"iso_2022_jp", "ISO-2022-JP"},
      {"cp949", "windows-949-2000"}, {"ms949", "windows-949-2000"}, {"uhc", "windows-949-2000"},
      {"949", "windows-949-2000"},
      {"euc_kr", "EUC-KR"}, {"euckr", "EUC-KR"}, {"ks_c_5601", "EUC-KR"}, {"ksc5601", "EUC-KR"},
      {"koi8_r", "KOI8-R"}, {"koi8_u", "KOI8-U"},
      {"mac_roman", "macintosh"}, {"macroman", "macintosh"}, {"macintosh", "macintosh"},
      {"mac_cyrillic", "x-mac-cyrillic"}, {"maccyrillic", "x-mac-cyrillic"},
      {"mac_greek", "x-mac-greek"}, {"macgreek", "x-mac-greek"},
      {"mac_turkish", "x-mac-turkish"}, {"macturkish", "x-mac-turkish"},
      {"mac_latin2", "x-mac-centraleurroman"}, {"maclatin2", "x-mac-centraleurroman"},
      {"cp720", "ibm-720"}, {"cp874", "windows-874-2000"}, {"tis_620", "windows-874-2000"},
      {"tis620", "windows-874-2000"},
      {"utf_16", "UTF-16"}, {"utf16", "UTF-16"}, {"utf_16_le", "UTF-16LE"}, {"utf_16le", "UTF-16LE"},
      {"utf_16_be", "UTF-16BE"}, {"utf_16be", "UTF-16BE"}, {"utf_32", "UTF-32"}, {"utf32", "UTF-32"},
      {"utf_32_le", "UTF-32LE"}, {"utf_32_be", "UTF-32BE"},
  };
  return table;
}

std::string normalise(std::string_view name) {
  std::string n = text::lower_ascii(text::trim(name));
  for (auto& c : n)
    if (c == '-' || c == ' ') c = '_';
  return n;
}

bool icu_accepts(const std::string& icu_name) {
  UErrorCode err = U_ZERO_ERROR;
  UConverter* c = ucnv_open(icu_name.c_str(), &err);
  if (c) ucnv_close(c);
  // U_AMBIGUOUS_ALIAS_WARNING is a success.
  return c && U_SUCCESS(err);
}

// Names that ICU knows under patterns users write differently.
std::optional<std::string> pattern_name(const std::string& n) {
  auto digits_after = [&](const std::string& prefix) -> std::string {
    if (n.rfind(prefix, 0) != 0) return {};
    std::string rest = n.substr(prefix.size());
    if (rest.empty()) return {};
    for (char c : rest)
      if (c < '0' || c > '9') return {};
    return rest;
  };
  for (const char* p : {"cp", "ibm", "windows_", "ms"}) {
    std::string d = digits_after(p);
    if (d.empty()) continue;
    if (d.size() == 4 && d.rfind("125", 0) == 0) return "windows-" + d;
    return "ibm-" + d;
  }
  for (const char* p : {"iso8859_", "iso_8859_", "8859_"}) {
    std::string d = digits_after(p);
    if (!d.empty()) return "ISO-8859-" + d;
  }
  static const std::map<std::string, std::string> latin = {
      {"latin2", "ISO-8859-2"}, {"l2", "ISO-8859-2"}, {"latin3", "ISO-8859-3"}, {"l3", "ISO-8859-3"},
      {"latin4", "ISO-8859-4"}, {"l4", "ISO-8859-4"}, {"latin5", "ISO-8859-9"}, {"l5", "ISO-8859-9"},
      {"latin6", "ISO-8859-10"}, {"l6", "ISO-8859-10"}, {"latin7", "ISO-8859-13"}, {"l7", "ISO-8859-13"},
      {"latin8", "ISO-8859-14"}, {"l8", "ISO-8859-14"}, {"latin9", "ISO-8859-15"}, {"l9", "ISO-8859-15"},
      {"latin10", "ISO-8859-16"}, {"l10", "ISO-8859-16"}};
  auto it = latin.find(n);
  if (it != latin.end()) return it->second;
  return std::nullopt;
}

// Converter writes U+FFFD for every undecodable sequence (ICU's own substitute is U+001A
// for legacy tables).
void to_u_replacement(const void*, UConverterToUnicodeArgs* args, const char*, int32_t, UConverterCallbackReason reason,
                      UErrorCode* err) {
  if (reason > UCNV_IRREGULAR) return;
  static const UChar kRepl[1] = {0xFFFD};
  *err = U_ZERO_ERROR;
  ucnv_cbToUWriteUChars(args, kRepl, 1, 0, err);
}

struct ConverterDeleter {
  void operator()(UConverter* c) const { ucnv_close(c); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterDeleter>;

ConverterPtr open_converter(const std::string& icu_name) {
  UErrorCode err = U_ZERO_ERROR;
  ConverterPtr c(ucnv_open(icu_name.c_str(), &err));
  if (!c || U_FAILURE(err)) throw std::runtime_error("unknown encoding: " + icu_name);
  return c;
}

void append_utf16_as_utf8(std::string& out, const UChar* s, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    text::append_utf8(out, cp);
  }
}

// UTF-8 is by far the common case: validate in place rather than going through UTF-16.
class Utf8Decoder final : public Decoder {
 public:
  explicit Utf8Decoder(bool strip_bom) : strip_bom_(strip_bom) {}

  std::string decode(std::string_view bytes, bool final) override {
    std::string joined;
    std::string_view in = bytes;
    if (!pending_.empty()) {
      joined = pending_;
      joined.append(bytes);
      pending_.clear();
      in = joined;
    }
    if (strip_bom_) {
      if (in.size() < 3 && std::string_view("\xEF\xBB\xBF").substr(0, in.size()) == in && !final) {
        pending_.assign(in);
        return {};
      }
      if (in.substr(0, 3) == "\xEF\xBB\xBF") in.remove_prefix(3);
      if (!in.empty() || final) strip_bom_ = false;
    }
    // Hold back an incomplete but so far valid sequence at the end.
    size_t keep = final ? 0 : incomplete_tail(in);
    std::string_view body = in.substr(0, in.size() - keep);
    std::string out = text::sanitize_utf8(body);
    pending_.assign(in.substr(in.size() - keep));
    return out;
  }

 private:
  static size_t incomplete_tail(std::string_view s) {
    size_t n = s.size();
    for (size_t back = 1; back <= 3 && back <= n; ++back) {
      unsigned char c = static_cast<unsigned char>(s[n - back]);
      if ((c & 0xC0) == 0x80) continue;  // continuation byte: look further back
      size_t need = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 1;
      if (need <= back) return 0;
      // A prefix that can still become valid is held; a broken one is replaced now.
      std::string probe(s.substr(n - back));
      static const char kCont[] = "\x80\x80\x80";
      // Complete it with the smallest legal continuation for its lead byte and check.
      unsigned char lead = c;
      char second = lead == 0xE0 ? '\xA0' : lead == 0xF0 ? '\x90' : '\x80';
      std::string trial = probe;
      if (trial.size() == 1) trial += second;
      while (trial.size() < need) trial += kCont[0];
      if (text::sanitize_utf8(trial) == trial) return back;
      return 0;
    }
    return 0;
  }

  bool strip_bom_;
  std::string pending_;
};

class IcuDecoder final : public Decoder {
 public:
  explicit IcuDecoder(const std::string& icu_name) : cnv_(open_converter(icu_name)) {
    UErrorCode err = U_ZERO_ERROR;
    ucnv_setToUCallBack(cnv_.get(), to_u_replacement, nullptr, nullptr, nullptr, &err);
  }

  std::string decode(std::string_view bytes, bool final) override {
    std::string out;
    const char* src = bytes.data();
    const char* end = src + bytes.size();
    std::vector<UChar> buf(bytes.size() * 2 + 16);
    for (;;) {
      UChar* target = buf.data();
      UErrorCode err = U_ZERO_ERROR;
      ucnv_toUnicode(cnv_.get(), &target, buf.data() + buf.size(), &src, end, nullptr, final, &err);
      append_utf16_as_utf8(out, buf.data(), static_cast<size_t>(target - buf.data()));
      if (err == U_BUFFER_OVERFLOW_ERROR) continue;
      if (U_FAILURE(err)) throw std::runtime_error(std::string("decode failed: ") + u_errorName(err));
      break;
    }
    return out;
  }

 private:
  ConverterPtr cnv_;
};

// Single-byte code pages (Latin-1, CP437, KOI8-R, windows-125x, ...): each byte always decodes
// to the same text, so ICU is asked once per byte value and the stream goes through a table.
class ByteTableDecoder final : public Decoder {
 public:
  static bool suits(const std::string& icu_name) {
    ConverterPtr c = open_converter(icu_name);
    UConverterType t = ucnv_getType(c.get());
    return t == UCNV_SBCS || t == UCNV_LATIN_1 || t == UCNV_US_ASCII;
  }

  explicit ByteTableDecoder(const std::string& icu_name) {
    ConverterPtr cnv = open_converter(icu_name);
    UErrorCode err = U_ZERO_ERROR;
    ucnv_setToUCallBack(cnv.get(), to_u_replacement, nullptr, nullptr, nullptr, &err);
    for (int b = 0; b < 256; ++b) {
      const char byte = static_cast<char>(b);
      const char* src = &byte;
      UChar buf[8];
      UChar* target = buf;
      err = U_ZERO_ERROR;
      ucnv_resetToUnicode(cnv.get());
      ucnv_toUnicode(cnv.get(), &target, buf + 8, &src, &byte + 1, nullptr, true, &err);
      if (U_FAILURE(err)) throw std::runtime_error(std::string("decode failed: ") + u_errorName(err));
      append_utf16_as_utf8(table_[b], buf, static_cast<size_t>(target - buf));
      ascii_same_[b] = table_[b].size() == 1 && table_[b][0] == byte;
    }
  }

  std::string decode(std::string_view bytes, bool) override {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    size_t i = 0;
    while (i < bytes.size()) {
      // Runs of bytes that stand for themselves are copied whole.
      size_t j = i;
      while (j < bytes.size() && ascii_same_[static_cast<unsigned char>(bytes[j])]) ++j;
      out.append(bytes.data() + i, j - i);
      if (j == bytes.size()) break;
      out += table_[static_cast<unsigned char>(bytes[j])];
      i = j + 1;
    }
    return out;
  }

 private:
  std::string table_[256];
  bool ascii_same_[256] = {};
};

}  // namespace

std::optional<std::string> resolve(std::string_view name) {
  std::string n = normalise(name);
  if (n.empty()) return std::nullopt;
  auto& table = alias_table();
  auto it = table.find(n);
  if (it != table.end()) return it->second;
  if (auto p = pattern_name(n); p && icu_accepts(*p)) return p;
  std::string raw = text::trim(name);
  if (icu_accepts(raw)) return raw;
  return std::nullopt;
}

std::unique_ptr<Decoder> make_decoder(std::string_view name) {
  auto r = resolve(name);
  if (!r) throw std::runtime_error("unknown encoding: " + std::string(name));
  if (*r == kUtf8) return std::make_unique<Utf8Decoder>(false);
  if (*r == kUtf8Sig) return std::make_unique<Utf8Decoder>(true);
  if (ByteTableDecoder::suits(*r)) return std::make_unique<ByteTableDecoder>(*r);
  return std::make_unique<IcuDecoder>(*r);
}

std::string encode(std::string_view utf8, std::string_view name) {
  auto r = resolve(name);
  if (!r) throw std::runtime_error("unknown encoding: " + std::string(name));
  if (*r == kUtf8 || *r == kUtf8Sig) return text::sanitize_utf8(utf8);
  std::string clean = text::sanitize_utf8(utf8);
  // UTF-8 -> UTF-16 -> target.
  std::vector<UChar> u16(clean.size() + 1);
  int32_t u16len = 0;
  UErrorCode err = U_ZERO_ERROR;
  u_strFromUTF8(u16.data(), static_cast<int32_t>(u16.size()), &u16len, clean.data(),
                static_cast<int32_t>(clean.size()), &err);
  if (U_FAILURE(err)) throw std::runtime_error(std::string("encode failed: ") + u_errorName(err));
  ConverterPtr cnv = open_converter(*r);
  err = U_ZERO_ERROR;
  ucnv_setFromUCallBack(cnv.get(), UCNV_FROM_U_CALLBACK_SUBSTITUTE, nullptr, nullptr, nullptr, &err);
  err = U_ZERO_ERROR;
  ucnv_setSubstChars(cnv.get(), "?", 1, &err);
  std::string out;
  std::vector<char> buf(static_cast<size_t>(u16len) * 4 + 16);
  const UChar* src = u16.data();
  const UChar* end = src + u16len;
  for (;;) {
    char* target = buf.data();
    err = U_ZERO_ERROR;
    ucnv_fromUnicode(cnv.get(), &target, buf.data() + buf.size(), &src, end, nullptr, true, &err);
    out.append(buf.data(), static_cast<size_t>(target - buf.data()));
    if (err == U_BUFFER_OVERFLOW_ERROR) continue;
    if (U_FAILURE(err)) throw std::runtime_error(std::string("encode failed: ") + u_errorName(err));
    break;
  }
  return out;
}

std::string decode_once(std::string_view bytes, std::string_view name) {
  return make_decoder(name)->decode(bytes, true);
}

}  // namespace morvane::encoding
