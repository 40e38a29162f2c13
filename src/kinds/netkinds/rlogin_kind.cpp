// Rlogin tabs (RFC 1282). The server's control requests come as TCP urgent bytes, which the
// reader takes apart from the stream and hands to the protocol (0x80 asks for window sizes).
#include <cstdlib>

#include "kinds/netkinds/net_connection.h"
#include "kinds/netkinds/netkinds.h"
#include "telnet/rlogin_protocol.h"
#include "util/diag.h"

namespace morvane::kinds {
namespace {

using telnet::RloginOptions;
using telnet::RloginProtocol;

class RloginConnection final : public NetConnection {
 public:
  explicit RloginConnection(const OpenRequest& req)
      : NetConnection(req), opts_(RloginOptions::from_session(req.session, std::getenv("USERNAME"))), proto_(opts_) {
    label_ = "[rlogin]";
  }

  // _start_rlogin_impl: connects, sends the user names and terminal, and waits for the
  // server's acknowledgement (or its refusal).
  void start() override {
    sink().notice(svc_.text("info.connecting_rlogin",
                            {{"host", opts_.host}, {"port", opts_.port}, {"user", opts_.local_username}}));
    if (!connect_socket(opts_.host, opts_.port, opts_.timeout, "err.rlogin_fail", /*reserved_source_port=*/true))
      return;
    try {
      {
        std::lock_guard<std::mutex> lock(mu_);
        proto_.start(now_ms());
      }
      flush_or_throw();
      for (;;) {
        {
          std::lock_guard<std::mutex> lock(mu_);
          proto_.tick(now_ms());
          if (proto_.state() == RloginProtocol::State::Refused) {
            // The server's own words, without the line end it puts after them.
            std::string why = proto_.refusal();
            while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' ')) why.pop_back();
            throw std::runtime_error(why.empty() ? "refused by the server" : why);
          }
          if (proto_.state() == RloginProtocol::State::TimedOut)
            throw std::runtime_error("no answer from the server");
          if (proto_.state() == RloginProtocol::State::Ready) break;
        }
        // Bytes after the acknowledgement stay in the protocol until the first read.
        Received r = receive(4096, 250, true);
        take(r);
        if (closing()) return;
        if (r.end) throw std::runtime_error("the server closed the connection");
      }
    } catch (const std::exception& e) {
      if (!closing()) fail("err.rlogin_fail", e.what());
      return;
    }
    advance(ConnectionState::connected);
  }

  std::string read(size_t max_bytes) override {
    for (;;) {
      std::string data;
      {
        std::lock_guard<std::mutex> lock(mu_);
        data = proto_.take_data();
      }
      if (!data.empty()) return data;
      Received r = receive(max_bytes, -1, true);
      take(r);
      {
        std::lock_guard<std::mutex> lock(mu_);
        data = proto_.take_data();
      }
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
    {
      std::lock_guard<std::mutex> lock(mu_);
      proto_.resize(rows, cols);  // sent only once the server has asked for sizes
    }
    if (state() == ConnectionState::connected) flush();
    return true;
  }

 private:
  // Feeds what a wait brought: urgent bytes first (a window request is answered at once).
  void take(const Received& r) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (char u : r.urgent) proto_.urgent(static_cast<std::uint8_t>(u));
      if (!r.data.empty()) proto_.receive(r.data);
    }
    flush();
  }
  void flush_or_throw() {
    std::lock_guard<std::mutex> send(send_lock());
    std::string out;
    {
      std::lock_guard<std::mutex> lock(mu_);
      out = proto_.take_output();
    }
    send_bytes(out);
  }
  void flush() {
    try {
      flush_or_throw();
    } catch (const std::exception& e) {
      diag::out(label_ + " send failed: " + e.what());
    }
  }

  const RloginOptions opts_;
  std::mutex mu_;  // the protocol object; taken after the send lock when both are held
  RloginProtocol proto_;
};

class RloginKind final : public Kind {
 public:
  std::vector<std::string> protocols() const override { return {"rlogin"}; }
  std::shared_ptr<Connection> open(const OpenRequest& req) override {
    return open_or_fail<RloginConnection>(req, "err.rlogin_fail");
  }
};

}  // namespace

std::shared_ptr<Kind> make_rlogin_kind() { return std::make_shared<RloginKind>(); }

}  // namespace morvane::kinds
