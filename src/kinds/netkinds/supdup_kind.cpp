// SUPDUP tabs (RFC 734). The protocol core turns SUPDUP output into UTF-8 and xterm
// sequences, so these tabs decode as UTF-8 whatever their encoding. The size is kept
// locally: SUPDUP has no message to tell the server.
#include "kinds/netkinds/net_connection.h"
#include "kinds/netkinds/netkinds.h"
#include "telnet/supdup_protocol.h"
#include "util/diag.h"

namespace morvane::kinds {
namespace {

using telnet::SupdupOptions;
using telnet::SupdupProtocol;

class SupdupConnection final : public NetConnection {
 public:
  explicit SupdupConnection(const OpenRequest& req)
      : NetConnection(req), opts_(SupdupOptions::from_session(req.session)), proto_(opts_) {
    label_ = "[supdup]";
  }

  // _start_supdup_impl
  void start() override {
    sink().notice(svc_.text("info.connecting_supdup", opts_.notice_values()));
    if (!connect_socket(opts_.host, opts_.port, opts_.timeout, "err.supdup_fail")) return;
    try {
      std::lock_guard<std::mutex> send(send_lock());
      std::string out;
      {
        std::lock_guard<std::mutex> lock(mu_);
        proto_.start();
        out = proto_.take_output();
      }
      send_bytes(out);
    } catch (const std::exception& e) {
      if (!closing()) fail("err.supdup_fail", e.what());
      return;
    }
    advance(ConnectionState::connected);
  }

  std::string read(size_t max_bytes) override {
    for (;;) {
      Received r = receive(max_bytes, -1);
      std::string data;
      bool answer;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (!r.data.empty()) proto_.receive(r.data);
        data = proto_.take_data();
        answer = !r.data.empty();
      }
      if (answer) flush();  // e.g. the cursor position after an output reset
      if (!data.empty()) return data;
      if (r.end) return {};
    }
  }

  void write(std::string_view bytes) override {
    std::lock_guard<std::mutex> send(send_lock());
    std::string out;
    {
      std::lock_guard<std::mutex> lock(mu_);
      proto_.send(bytes);
      out = proto_.take_output();
    }
    send_bytes(out);
  }

  bool resize(int rows, int cols) override {
    std::lock_guard<std::mutex> lock(mu_);
    return proto_.resize(rows, cols);
  }

  std::string decoding() const override { return "utf-8"; }

 private:
  void flush() {
    try {
      std::lock_guard<std::mutex> send(send_lock());
      std::string out;
      {
        std::lock_guard<std::mutex> lock(mu_);
        out = proto_.take_output();
      }
      send_bytes(out);
    } catch (const std::exception& e) {
      diag::out(label_ + " send failed: " + e.what());
    }
  }

  const SupdupOptions opts_;
  std::mutex mu_;  // the protocol object; taken after the send lock when both are held
  SupdupProtocol proto_;
};

class SupdupKind final : public Kind {
 public:
  std::vector<std::string> protocols() const override { return {"supdup"}; }
  std::shared_ptr<Connection> open(const OpenRequest& req) override {
    return open_or_fail<SupdupConnection>(req, "err.supdup_fail");
  }
};

}  // namespace

std::shared_ptr<Kind> make_supdup_kind() { return std::make_shared<SupdupKind>(); }

}  // namespace morvane::kinds
