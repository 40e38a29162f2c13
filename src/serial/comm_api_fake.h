// A recording CommApi for tests: it answers like a Windows COM port, keeps a
// log of every call with its arguments in order, can refuse chosen calls with
// a chosen Windows error number, and serves scripted received bytes.
#pragma once

#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "serial/comm_api.h"

namespace morvane::serial {

class RecordingCommApi : public CommApi {
 public:
  struct Call {
    std::string text;  // e.g. "EscapeCommFunction(5)", "PurgeComm(15)"
    Handle handle = kInvalidHandle;
    Dcb dcb;           // the DCB passed, for SetCommState
  };

  // The DCB that GetCommState reports; SetCommState replaces it.
  Dcb state;
  // Handle CreateFile hands out.
  Handle next_handle = 0x1F4;

  // Refuses calls named `name`: after letting `skip` of them pass, the next
  // `times` (all, when negative) fail with Windows error `code`.
  void refuse(const std::string& name, int code, int skip = 0, int times = -1) {
    std::lock_guard<std::mutex> lock(mutex_);
    refusals_[name] = Refusal{code, skip, times};
  }
  // Bytes the following reads will return.
  void feed(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    rx_ += bytes;
  }
  // Adds a line of the test's own (a pause, a marker) to the log.
  void note(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(Call{text, kInvalidHandle, Dcb{}});
  }
  std::vector<Call> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  std::vector<std::string> log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const Call& c : calls_) out.push_back(c.text);
    return out;
  }
  void clear_log() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
  }
  std::string written() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tx_;
  }
  CommTimeouts timeouts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeouts_;
  }

  OpenResult CreateFile(const std::string& device_path) override {
    if (int code = record("CreateFile", "CreateFile(" + device_path + ")", kInvalidHandle))
      return {kInvalidHandle, code};
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    return {next_handle, 0};
  }
  Dcb GetCommState(Handle h) override {
    check("GetCommState", "GetCommState", h);
    std::lock_guard<std::mutex> lock(mutex_);
    return state;
  }
  void SetCommState(Handle h, const Dcb& dcb) override {
    check("SetCommState", "SetCommState", h, &dcb);
    std::lock_guard<std::mutex> lock(mutex_);
    state = dcb;
  }
  void SetCommTimeouts(Handle h, const CommTimeouts& t) override {
    check("SetCommTimeouts",
          "SetCommTimeouts(" + std::to_string(t.ReadIntervalTimeout) + "," +
              std::to_string(t.ReadTotalTimeoutMultiplier) + "," + std::to_string(t.ReadTotalTimeoutConstant) +
              "," + std::to_string(t.WriteTotalTimeoutMultiplier) + "," +
              std::to_string(t.WriteTotalTimeoutConstant) + ")",
          h);
    std::lock_guard<std::mutex> lock(mutex_);
    timeouts_ = t;
  }
  void PurgeComm(Handle h, std::uint32_t flags) override {
    check("PurgeComm", "PurgeComm(" + std::to_string(flags) + ")", h);
  }
  std::string ReadFile(Handle h, std::size_t max_bytes) override {
    check("ReadFile", "ReadFile(" + std::to_string(max_bytes) + ")", h);
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out = rx_.substr(0, max_bytes);
    rx_.erase(0, out.size());
    return out;
  }
  std::size_t WriteFile(Handle h, std::string_view data) override {
    check("WriteFile", "WriteFile(" + std::to_string(data.size()) + ")", h);
    std::lock_guard<std::mutex> lock(mutex_);
    tx_.append(data);
    return data.size();
  }
  void EscapeCommFunction(Handle h, std::uint32_t function) override {
    check("EscapeCommFunction", "EscapeCommFunction(" + std::to_string(function) + ")", h);
  }
  void DeviceIoControl(Handle h, std::uint32_t code) override {
    char buf[48];
    std::snprintf(buf, sizeof buf, "DeviceIoControl(0x%08X)", static_cast<unsigned>(code));
    check("DeviceIoControl", buf, h);
  }
  void CloseHandle(Handle h) override {
    check("CloseHandle", "CloseHandle", h);
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
  }
  bool WaitReadable(Handle h, int) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return !rx_.empty();
  }
  CommError error(int code) const override {
    static const std::map<int, std::string> kTexts = {
        {2, "The system cannot find the file specified."},
        {5, "Access is denied."},
        {6, "The handle is invalid."},
        {31, "A device attached to the system is not functioning."},
        {50, "The request is not supported."},
        {87, "The parameter is incorrect."},
        {1167, "The device is not connected."}};
    auto it = kTexts.find(code);
    return CommError(code, "[WinError " + std::to_string(code) + "] " +
                               (it != kTexts.end() ? it->second : "Unknown error."));
  }
  int invalid_handle_error() const override { return 6; }

 private:
  struct Refusal {
    int code;
    int skip;
    int times;
  };

  // Logs the call; returns the error code it is refused with, or 0.
  int record(const std::string& name, const std::string& text, Handle h, const Dcb* dcb = nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    Call call{text, h, dcb ? *dcb : Dcb{}};
    calls_.push_back(call);
    if (name != "CreateFile" && (!open_ || h != next_handle)) return 6;  // like a stale handle
    auto it = refusals_.find(name);
    if (it == refusals_.end()) return 0;
    Refusal& r = it->second;
    if (r.skip > 0) {
      --r.skip;
      return 0;
    }
    if (r.times == 0) return 0;
    if (r.times > 0) --r.times;
    return r.code;
  }
  void check(const std::string& name, const std::string& text, Handle h, const Dcb* dcb = nullptr) {
    if (int code = record(name, text, h, dcb)) throw error(code);
  }

  mutable std::mutex mutex_;
  std::map<std::string, Refusal> refusals_;
  std::vector<Call> calls_;
  std::string rx_, tx_;
  CommTimeouts timeouts_;
  bool open_ = false;
};

}  // namespace morvane::serial
