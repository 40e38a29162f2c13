// Raw TCP tabs: bytes both ways as they are, no terminal size.
#include "kinds/netkinds/net_connection.h"
#include "kinds/netkinds/netkinds.h"
#include "telnet/session_options.h"

namespace morvane::kinds {
namespace {

class RawConnection final : public NetConnection {
 public:
  explicit RawConnection(const OpenRequest& req)
      : NetConnection(req),
        host_(json::get_str(req.session, "host")),
        port_(telnet::session_port(json::get(req.session, "port"), 23)) {
    label_ = "[raw]";
  }

  // _start_raw_impl
  void start() override {
    sink().notice(svc_.text("info.connecting_raw", {{"host", host_}, {"port", port_}}));
    if (!connect_socket(host_, port_, 15, "err.conn_fail")) return;
    advance(ConnectionState::connected);
  }
  std::string read(size_t max_bytes) override {
    for (;;) {
      Received r = receive(max_bytes, -1);
      if (!r.data.empty()) return std::move(r.data);
      if (r.end) return {};
    }
  }
  void write(std::string_view bytes) override {
    std::lock_guard<std::mutex> send(send_lock());
    send_bytes(bytes);
  }
  bool resize(int, int) override { return false; }

 private:
  const std::string host_;
  const int port_;
};

class RawKind final : public Kind {
 public:
  std::vector<std::string> protocols() const override { return {"raw"}; }
  std::shared_ptr<Connection> open(const OpenRequest& req) override {
    return open_or_fail<RawConnection>(req, "err.conn_fail");
  }
};

}  // namespace

std::shared_ptr<Kind> make_raw_kind() { return std::make_shared<RawKind>(); }

}  // namespace morvane::kinds
