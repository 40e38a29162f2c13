#pragma once
// What every protocol engine shares: the caller's byte and event sinks, the file access, the
// per-file progress bookkeeping and the single "done" event. Engines are driven from one
// thread at a time (XYZModemTransfer serialises calls).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "xfer/file_access.h"

namespace morvane::xfer {

using Event = nlohmann::ordered_json;

struct EngineContext {
  std::function<void(std::string_view)> send_bytes;
  std::function<void(const Event&)> on_event;
  std::shared_ptr<FileAccess> files;
  std::vector<std::string> paths;  // files to send
  std::string save_dir;            // receive folder
};

class Engine {
 public:
  explicit Engine(EngineContext ctx) : ctx_(std::move(ctx)) {}
  virtual ~Engine() = default;
  virtual void start(uint64_t now_ms) = 0;
  virtual void feed(const uint8_t* p, size_t n, uint64_t now_ms) = 0;
  // Time-outs, and for a streaming sender the next burst of data.
  virtual void tick(uint64_t now_ms) = 0;
  // True while a sender has data to stream: call tick() again once the output has drained.
  virtual bool streaming() const { return false; }
  // Stops at once: the peer gets the cancel sequence, a partial file is removed.
  void cancel(std::string reason);
  bool done() const { return done_; }

  static constexpr uint64_t kProgressEveryMs = 200;

 protected:
  void send(std::string_view bytes) {
    if (!bytes.empty() && ctx_.send_bytes) ctx_.send_bytes(bytes);
  }
  void finish(bool ok, const std::string& reason = {});
  void fail_with_cancel(const std::string& reason) { cancel(reason); }
  // Per-file progress.
  void begin_file(const std::string& name, uint64_t total, bool total_known, uint64_t now);
  void advance(uint64_t done_bytes, uint64_t now, bool force = false);
  void file_saved(const std::string& path);
  // Receive side: open a sink for a peer's name; false (with reason) on failure.
  bool open_sink(std::string_view peer_name, std::string& reason);
  // Receive side: writes to the sink; on failure the transfer is cancelled with a reason.
  bool write_sink(const uint8_t* p, size_t n);
  bool commit_sink();

  EngineContext ctx_;
  std::unique_ptr<FileSink> sink_;
  std::string file_name_;
  uint64_t file_total_ = 0, file_done_ = 0, file_start_ = 0, last_progress_ = 0;
  bool total_known_ = false;
  uint64_t now_ = 0;
  bool done_ = false;
};

}  // namespace morvane::xfer
