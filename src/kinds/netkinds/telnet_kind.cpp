// Telnet tabs, plain and serial (RFC 2217): the protocol core behind a socket.
//
// Ways the connection ends: the server closes (read answers ""); the tab is closed (close()
// shuts the socket down, waking the reader); a receive fails (logged, then the end).
#include <cstdio>

#include "kinds/netkinds/net_connection.h"
#include "kinds/netkinds/netkinds.h"
#include "telnet/telnet_protocol.h"
#include "util/diag.h"

namespace morvane::kinds {
namespace {

using telnet::TelnetEvent;
using telnet::TelnetOptions;
using telnet::TelnetProtocol;

class TelnetConnection final : public NetConnection {
 public:
  TelnetConnection(const OpenRequest& req, bool serial)
      : NetConnection(req), serial_(serial), opts_(TelnetOptions::from_session(req.session, serial)), proto_(opts_) {
    label_ = serial ? "[telnet-serial]" : "[telnet]";
  }

  // _start_telnet_impl / _start_telnet_serial_impl
  void start() override {
    sink().notice(svc_.text(serial_ ? "info.connecting_telnet_serial" : "info.connecting_telnet", opts_.notice_values()));
    if (!connect_socket(opts_.host, opts_.port, opts_.timeout, "err.conn_fail")) return;
    try {
      std::lock_guard<std::mutex> send(send_lock());
      std::string out;
      {
        std::lock_guard<std::mutex> lock(mu_);
        proto_.start(now_ms());
        out = proto_.take_output();
      }
      send_bytes(out);
    } catch (const std::exception& e) {
      if (!closing()) fail("err.conn_fail", e.what());
      return;
    }
    advance(ConnectionState::connected);
  }

  std::string read(size_t max_bytes) override {
    for (;;) {
      // RFC 2217 answers have a time-out of their own: wait in slices until they are settled.
      int slice;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (serial_ && proto_.local_enabled(telnet::opt::kComPort) && proto_.com_pending() == 0) com_settled_ = true;
        slice = serial_ && !com_settled_ ? 250 : -1;
      }
      Received r = receive(max_bytes, slice);
      std::string data;
      bool answer;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (!r.data.empty()) proto_.receive(r.data, now_ms());
        proto_.tick(now_ms());
        data = proto_.take_data();
        answer = proto_.has_output();
        report(proto_.take_events());
      }
      if (answer) flush();
      // Terminal bytes that came with the last negotiation still go out before the end.
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
    try {
      std::lock_guard<std::mutex> send(send_lock());
      std::string out;
      {
        std::lock_guard<std::mutex> lock(mu_);
        proto_.resize(rows, cols);
        // Before the connection is up the size is only kept; NAWS carries it later.
        if (state() == ConnectionState::connected) out = proto_.take_output();
      }
      send_bytes(out);
    } catch (const std::exception& e) {
      diag::out("[resize_pty] " + std::string(e.what()));
    }
    return true;
  }

 private:
  // Negotiation answers from the reader; a failure here shows up as the end of the stream.
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

  // What the server said about the remote port goes to the diagnostic log.
  void report(const std::vector<TelnetEvent>& events) {
    for (const auto& e : events) {
      switch (e.kind) {
        case TelnetEvent::Kind::ComPortRefused:
          com_settled_ = true;
          diag::out(label_ + " the server refused COM-PORT-OPTION; line settings not applied");
          break;
        case TelnetEvent::Kind::ComPortMismatch:
          diag::out(label_ + " setting " + std::to_string(e.code) + ": asked " + std::to_string(e.asked) +
                    ", server has " + std::to_string(e.value));
          break;
        case TelnetEvent::Kind::ComPortUnanswered:
          com_settled_ = true;
          diag::out(label_ + " the server did not answer the line settings");
          break;
        case TelnetEvent::Kind::SubnegotiationTooLong:
          diag::out(label_ + " dropped an overlong subnegotiation of option " + std::to_string(e.code));
          break;
        default:
          break;
      }
    }
  }

  const bool serial_;
  bool com_settled_ = false;  // RFC 2217 agreed and answered, refused or given up: no more slices
  const TelnetOptions opts_;
  std::mutex mu_;  // the protocol object; taken after the send lock when both are held
  TelnetProtocol proto_;
};

class TelnetKind final : public Kind {
 public:
  std::vector<std::string> protocols() const override { return {"telnet", "telnet-serial"}; }
  std::shared_ptr<Connection> open(const OpenRequest& req) override {
    return open_or_fail<TelnetConnection>(req, "err.conn_fail", req.protocol == "telnet-serial");
  }
};

}  // namespace

std::shared_ptr<Kind> make_telnet_kind() { return std::make_shared<TelnetKind>(); }

}  // namespace morvane::kinds
