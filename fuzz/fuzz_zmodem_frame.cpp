// Bytes a ZMODEM/XMODEM/YMODEM peer sends: the frame reader in any chunking, and every engine in
// both directions over in-memory files. Nothing may crash, read out of bounds, deliver an
// unchecked or oversized subpacket, or grow without bound.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "xfer/file_access.h"
#include "xfer/xyz_transfer.h"
#include "xfer/zmodem_frame.h"

using namespace morvane::xfer;

namespace {

struct Check : zm::FrameReader::Handler {
  void on_item(const zm::FrameReader::Item& it) override {
    if (it.kind == zm::FrameReader::Kind::Data && it.data.size() > zm::kMaxSubpacket) std::abort();
  }
};

// Files in memory, bounded, so the fuzzer never touches the disk.
struct MemFiles : FileAccess {
  std::map<std::string, std::string> files;
  size_t written = 0;
  struct Src : FileSource {
    std::string data;
    uint64_t size() const override { return data.size(); }
    int64_t mtime() const override { return 1700000000; }
    long read(uint64_t off, uint8_t* b, size_t n, std::string&) override {
      if (off >= data.size()) return 0;
      size_t k = std::min<size_t>(n, data.size() - off);
      std::memcpy(b, data.data() + off, k);
      return static_cast<long>(k);
    }
  };
  struct Sink : FileSink {
    MemFiles* owner;
    std::string name, data;
    bool write(const uint8_t* p, size_t n, std::string& err) override {
      if (owner->written + n > (8u << 20)) {
        err = "full";
        return false;
      }
      owner->written += n;
      data.append(reinterpret_cast<const char*>(p), n);
      return true;
    }
    bool commit(std::string& path, std::string&) override {
      if (name.find('/') != std::string::npos || name == ".." || name.empty()) std::abort();
      path = name;
      return true;
    }
    void discard() noexcept override {}
  };
  std::unique_ptr<FileSource> open_read(const std::string& p, std::string&) override {
    auto s = std::make_unique<Src>();
    s->data = std::string(p.size() * 700, 'q');
    return s;
  }
  std::unique_ptr<FileSink> create(const std::string&, const std::string& name, std::string&) override {
    auto s = std::make_unique<Sink>();
    s->owner = this;
    s->name = name;
    return s;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first byte picks the chunk size, so splits fall everywhere; the second picks the
  // engine and direction, so each input drives one of them through its whole exchange.
  size_t step = 1 + data[0] % 97;
  for (bool ctl : {false, true}) {
    zm::FrameReader r;
    r.set_ctl_escaped(ctl);
    Check c;
    for (size_t i = 2; i < size; i += step) r.feed(data + i, std::min(step, size - i), c);
  }
  static const char* protocols[] = {"zmodem", "xmodem", "xmodem-crc", "xmodem-1k", "ymodem", "ymodem-g"};
  const unsigned pick = data[1] % 12;
  auto files = std::make_shared<MemFiles>();
  size_t out = 0;
  XYZModemTransfer::Options o;
  o.protocol = protocols[pick / 2];
  o.direction = pick % 2 ? "send" : "recv";
  o.files = {"a", "bb"};
  o.save_dir = "mem";
  o.file_access = files;
  o.send_bytes = [&](std::string_view s) { out += s.size(); };
  XYZModemTransfer t(o);
  uint64_t now = 0;
  t.start(now);
  for (size_t i = 2; i < size && !t.is_done(); i += step) {
    t.feed(std::string_view(reinterpret_cast<const char*>(data + i), std::min(step, size - i)), now += 7);
    for (int k = 0; k < 4 && t.wants_tick(); ++k) t.tick(now);
  }
  t.tick(now + 20000);
  t.cancel();
  if (!t.is_done()) std::abort();
  return 0;
}
