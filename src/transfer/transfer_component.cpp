#include "transfer/transfer_component.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "transfer/tab_transfer.h"
#include "util/diag.h"
#include "xfer/zmodem_sniffer.h"

namespace morvane::transfer {

namespace fs = std::filesystem;

namespace {
// Native dialogs: a folder may take 180 s to choose, files to send 300 s.
constexpr double kPickFilesSec = 300;
constexpr double kPickFolderSec = 180;
constexpr std::chrono::seconds kOfferAgainAfter{120};

std::vector<std::string> path_list(const Json& files) {
  std::vector<std::string> out;
  if (files.is_string()) {
    if (!files.get<std::string>().empty()) out.push_back(files.get<std::string>());
  } else if (files.is_array()) {
    for (const Json& f : files) {
      if (!f.is_string()) throw BridgeError("files: a list of paths is expected");
      out.push_back(f.get<std::string>());
    }
  } else if (!files.is_null()) {
    throw BridgeError("files: a list of paths is expected");
  }
  return out;
}
}  // namespace

// The detector's state outlives neither its tab's reader nor a reset from a transfer's thread:
// both reach it under its own lock.
struct TransferComponent::SnifferState {
  std::mutex mu;
  xfer::ZmodemSniffer sniffer;
  // rz repeats its ZRINIT while it waits: one offer per waiting receiver is enough. A finished
  // transfer forgets the offer; otherwise a receiver started much later is offered again.
  bool offered = false;
  std::chrono::steady_clock::time_point offered_at;
};

class TransferComponent::Sniffer final : public TransferSniffer {
 public:
  explicit Sniffer(std::shared_ptr<SnifferState> s) : s_(std::move(s)) {}
  Result feed(std::string_view bytes) override {
    std::lock_guard<std::mutex> lock(s_->mu);
    xfer::ZmodemSniffer::Result r = s_->sniffer.feed(bytes);
    Result out;
    out.started = r.started;
    if (r.receiver_waiting && !r.started) {
      auto now = std::chrono::steady_clock::now();
      if (!s_->offered || now - s_->offered_at > kOfferAgainAfter) {
        s_->offered = true;
        s_->offered_at = now;
        out.receiver_waiting = true;
      }
    }
    if (r.terminal.data() == bytes.data() && r.terminal.size() == bytes.size()) out.passthrough = true;
    else out.terminal.assign(r.terminal);
    // The receiver's start answers the ZRQINIT that started it. Handed over as well, it would be
    // answered twice, and lrzsz's sz takes a second ZRINIT for a refusal of its first file
    // header (and sends it again) or, arriving late, for the end of the file it is sending.
    if (r.started) out.transfer.assign(r.transfer.substr(r.header_len));
    return out;
  }
  void reset() override {
    std::lock_guard<std::mutex> lock(s_->mu);
    s_->sniffer.reset();
    s_->offered = false;
  }

 private:
  std::shared_ptr<SnifferState> s_;
};

const std::vector<std::string>& TransferComponent::protocols() {
  static const std::vector<std::string> names = {"xmodem", "xmodem-crc", "xmodem-1k", "ymodem", "ymodem-g", "zmodem"};
  return names;
}

TransferComponent::TransferComponent(KindServices& services, TransferTabs& tabs) : services_(services), tabs_(tabs) {}

TransferComponent::~TransferComponent() = default;

void TransferComponent::install(Bridge& bridge) {
  bridge.add("xfer_start", 3, {Json(nullptr), Json(nullptr)}, [this](const Json& a) {
    return xfer_start(a[0], a[1], a[2], a[3], a[4]);
  });
  bridge.add("xfer_cancel", 1, {}, [this](const Json& a) { return Json(xfer_cancel(a[0])); });
  bridge.add("xfer_status", 1, {}, [this](const Json& a) { return xfer_status(a[0]); });
  bridge.add("xfer_pick_files", 0, {}, [this](const Json&) { return xfer_pick_files(); });
  bridge.add("xfer_pick_save_dir", 0, {}, [this](const Json&) { return Json(xfer_pick_save_dir()); });
}

Json TransferComponent::xfer_start(const Json& tab_id, const Json& protocol, const Json& direction, const Json& files,
                                   const Json& save_dir) {
  auto refuse = [](const std::string& reason) {
    Json r = Json::object();
    r["ok"] = false;
    r["reason"] = reason;
    return r;
  };
  std::string dir_name = direction.is_string() ? direction.get<std::string>() : std::string();
  if (dir_name != "send" && dir_name != "recv") return refuse(services_.text("xfer.reason.direction"));
  std::string proto = protocol.is_string() ? protocol.get<std::string>() : std::string();
  const auto& names = protocols();
  if (std::find(names.begin(), names.end(), proto) == names.end())
    return refuse(services_.text("xfer.reason.unknown_proto", {{"proto", protocol}}));
  std::vector<std::string> paths = path_list(files);
  if (dir_name == "send" && paths.empty()) return refuse(services_.text("xfer.reason.need_files"));
  std::string folder;
  if (dir_name == "recv") {
    if (!save_dir.is_null() && !save_dir.is_string()) throw BridgeError("save_dir: a folder path is expected");
    folder = save_dir.is_string() ? save_dir.get<std::string>() : std::string();
    if (folder.empty()) folder = _xfer_default_recv_dir();
  }
  std::string tab = tab_id.is_string() ? tab_id.get<std::string>() : json::text_form(tab_id);
  Json r = Json::object();
  r["ok"] = _xfer_start(tab, proto, dir_name, paths, folder);
  r["save_dir"] = dir_name == "recv" ? Json(folder) : Json(nullptr);
  return r;
}

bool TransferComponent::_xfer_start(const std::string& tab_id, const std::string& protocol,
                                    const std::string& direction, const std::vector<std::string>& files,
                                    const std::string& save_dir) {
  if (!services_.tab_open(tab_id)) return false;
  if (auto current = tabs_.slot(tab_id); current && !current->is_done()) return false;
  xfer::XYZModemTransfer::Options o;
  o.protocol = protocol;
  o.direction = direction;
  o.files = files;
  o.save_dir = save_dir;
  std::shared_ptr<TabTransfer> t;
  try {
    t = std::make_shared<TabTransfer>(
        std::move(o), [this, tab_id](std::string_view b) { return _xfer_send_bytes(tab_id, b); },
        [this, tab_id](const xfer::Event& e, const TransferSlot* from) { _xfer_on_event(tab_id, e, from); });
  } catch (const std::invalid_argument& e) {
    diag::err(std::string("[xfer_start] ") + e.what());
    return false;
  }
  if (!tabs_.claim_slot(tab_id, t)) return false;
  t->start();
  services_.spawn([this, t] { t->pump([this] { return services_.stopping(); }); });
  return true;
}

bool TransferComponent::xfer_cancel(const Json& tab_id) {
  if (!tab_id.is_string()) return false;
  std::shared_ptr<TransferSlot> t = tabs_.slot(tab_id.get<std::string>());
  if (!t) return false;
  t->cancel();
  return true;
}

Json TransferComponent::xfer_status(const Json& tab_id) {
  Json r = Json::object();
  std::shared_ptr<TransferSlot> t = tab_id.is_string() ? tabs_.slot(tab_id.get<std::string>()) : nullptr;
  if (!t) {
    r["active"] = false;
    return r;
  }
  r["active"] = !t->is_done();
  r["protocol"] = t->protocol();
  r["direction"] = t->direction();
  return r;
}

Json TransferComponent::xfer_pick_files() {
  auto chosen = services_.open_files(services_.text("dialog.pick_files"), {{"All Files", {"*.*"}}}, kPickFilesSec);
  Json r = Json::array();
  if (chosen)
    for (const auto& p : *chosen) r.push_back(p);
  return r;
}

std::string TransferComponent::xfer_pick_save_dir() {
  _xfer_default_recv_dir();
  return services_.choose_folder(services_.text("dialog.pick_save_dir"), kPickFolderSec).value_or(std::string());
}

size_t TransferComponent::_xfer_send_bytes(const std::string& tab_id, std::string_view data) {
  if (data.empty()) return 0;
  std::shared_ptr<Connection> conn = services_.connection(tab_id);
  if (!conn) return data.size();  // the tab is gone: nothing can take these bytes
  try {
    conn->write(data);
  } catch (const ShortWrite& e) {
    return e.written();
  } catch (const std::exception& e) {
    diag::err(std::string("[xfer_send_bytes] ") + e.what());
  }
  return data.size();
}

void TransferComponent::_xfer_on_event(const std::string& tab_id, const Json& event, const TransferSlot* from) {
  if (!tabs_.window_exists()) return;
  try {
    tabs_.page_event(tab_id, event);
  } catch (const std::exception&) {
  }
  if (event.value("kind", "") != "done") return;
  // Only this transfer's own slot is emptied: a newer one may already sit there.
  tabs_.release_slot(tab_id, from);
  reset_sniffer(tab_id);
  bool ok = event.value("ok", false);
  std::string reason;
  if (auto it = event.find("reason"); it != event.end() && it->is_string()) reason = it->get<std::string>();
  if (ok) services_.notice(tab_id, services_.text("info.xfer_end_ok"), false);
  else services_.notice(tab_id, services_.text("info.xfer_end_fail", {{"reason", reason}}), true);
}

std::string TransferComponent::_xfer_default_recv_dir() {
  fs::path dir = services_.data_dir() / "downloads";
  std::error_code ec;
  fs::create_directories(dir, ec);
  return dir.string();
}

std::unique_ptr<TransferSniffer> TransferComponent::make_sniffer(const std::string& tab_id) {
  auto state = std::make_shared<SnifferState>();
  {
    std::lock_guard<std::mutex> lock(sniffers_mu_);
    for (auto it = sniffers_.begin(); it != sniffers_.end();) it = it->second.expired() ? sniffers_.erase(it) : ++it;
    sniffers_[tab_id] = state;
  }
  return std::make_unique<Sniffer>(std::move(state));
}

void TransferComponent::reset_sniffer(const std::string& tab_id) {
  std::shared_ptr<SnifferState> s;
  {
    std::lock_guard<std::mutex> lock(sniffers_mu_);
    if (auto it = sniffers_.find(tab_id); it != sniffers_.end()) s = it->second.lock();
  }
  if (!s) return;
  std::lock_guard<std::mutex> lock(s->mu);
  s->sniffer.reset();
  s->offered = false;
}

void TransferComponent::start_auto_receive(const std::string& tab_id) {
  _xfer_start(tab_id, "zmodem", "recv", {}, _xfer_default_recv_dir());
}

void TransferComponent::offer_send(const std::string& tab_id) {
  if (auto running = tabs_.slot(tab_id); running && !running->is_done()) return;
  services_.notice(tab_id, services_.text("info.zmodem_receiver_waiting"), false);
  if (!tabs_.window_exists()) return;
  try {
    tabs_.page_event(tab_id, Json({{"kind", "offer"}, {"protocol", "zmodem"}, {"direction", "send"}}));
  } catch (const std::exception&) {
  }
}

}  // namespace morvane::transfer
