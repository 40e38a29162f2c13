#include "kinds/serial/esp_flash.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <limits>
#include <mutex>

#include "esp/chip_table.h"
#include "kinds/serial/serial_kind.h"
#include "util/diag.h"

namespace morvane::kinds {

namespace {

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string tab_text(const Json& tab_id) { return tab_id.is_string() ? tab_id.get<std::string>() : json::text_form(tab_id); }

std::string last_component(const std::string& path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

Json refusal(const std::string& reason) { return Json{{"ok", false}, {"reason", reason}}; }

}  // namespace

// An offset as the dialog sends it: an integer, "0x…" in any letter case read as hexadecimal,
// any other text as a decimal integer (so "1000" is one thousand). Nothing for anything else
// or a value outside the flash's 32-bit address range.
std::optional<uint32_t> parse_flash_offset(const Json& v) {
  std::optional<long long> n;
  if (v.is_string()) {
    const std::string s = v.get<std::string>();
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
      std::string digits = s.substr(2);
      if (digits.empty() || digits.size() > 8 ||
          !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isxdigit(c) != 0; }))
        return std::nullopt;
      n = std::stoll(digits, nullptr, 16);
    } else {
      n = json::as_int(v);
    }
  } else if (v.is_number_integer() || v.is_number_unsigned()) {
    n = json::as_int(v);
  }
  if (!n || *n < 0 || *n > static_cast<long long>(std::numeric_limits<uint32_t>::max())) return std::nullopt;
  return static_cast<uint32_t>(*n);
}

// One flashing session in a tab's transfer slot, and the thread that drives it.
class EspFlash::Run : public std::enable_shared_from_this<Run> {
 public:
  Run(KindServices& svc, std::string tab_id) : svc_(svc), tab_id_(std::move(tab_id)) {}

  void make(esp::FlasherConfig cfg) {
    std::weak_ptr<Run> weak = weak_from_this();
    cfg.send_bytes = [weak](const esp::Bytes& data) {
      if (auto self = weak.lock()) self->send(data);
    };
    cfg.on_event = [weak](const Json& ev) {
      if (auto self = weak.lock()) self->on_event(ev);
    };
    flasher_ = std::make_unique<esp::EspFlasher>(std::move(cfg));
  }

  KindServices::TransferCalls calls() {
    auto self = shared_from_this();
    KindServices::TransferCalls c;
    c.is_done = [self] { return self->flasher_->is_done(); };
    c.feed = [self](std::string_view bytes) {
      self->flasher_->feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), now_ms());
      self->wake();
    };
    c.cancel = [self] {
      self->flasher_->cancel();
      self->wake();
    };
    return c;
  }

  // The driver: fires time-outs and delivers what cancel queued, until "done" went out.
  void drive() {
    flasher_->start(now_ms());
    while (!ended_.load()) {
      if (svc_.stopping()) flasher_->cancel();
      flasher_->tick(now_ms());
      flasher_->deliver_events();
      if (ended_.load()) break;
      std::unique_lock<std::mutex> lk(mu_);
      // A short cap keeps a missed wake harmless; the flasher's own deadline is the real wait.
      int64_t wait = 50;
      if (auto due = flasher_->next_deadline()) wait = std::clamp<int64_t>(*due - now_ms(), 0, 50);
      cv_.wait_for(lk, std::chrono::milliseconds(wait), [&] { return woken_ || ended_.load(); });
      woken_ = false;
    }
  }

 private:
  void wake() {
    {
      std::lock_guard<std::mutex> lk(mu_);
      woken_ = true;
    }
    cv_.notify_all();
  }

  // The tab's raw byte path: past the terminal's text encoding, failures logged only.
  void send(const esp::Bytes& data) {
    try {
      std::shared_ptr<Connection> conn = svc_.connection(tab_id_);
      if (!conn) throw std::runtime_error("tab " + tab_id_ + " has no connection");
      conn->write(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    } catch (const std::exception& e) {
      diag::err(std::string("[xfer_send_bytes] ") + e.what());
    }
  }

  void on_event(const Json& ev) {
    try {
      svc_.page_call("if(window.xferOnEvent) xferOnEvent(" + json::quote(tab_id_, false) + ", " +
                     json::dump_line(ev, false) + ")");
    } catch (const std::exception&) {
      // The page missing one progress step loses nothing; the end line below still shows.
    }
    if (json::get_str(ev, "kind") != "done") return;
    svc_.release_transfer(tab_id_, this);
    const bool ok = json::truthy(json::get(ev, "ok"));
    const std::string reason = json::get_str(ev, "reason");
    svc_.notice(tab_id_, ok ? svc_.text("info.xfer_end_ok") : svc_.text("info.xfer_end_fail", {{"reason", reason}}),
                !ok);
    ended_ = true;
    wake();
  }

  KindServices& svc_;
  const std::string tab_id_;
  std::unique_ptr<esp::EspFlasher> flasher_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool woken_ = false;
  std::atomic<bool> ended_{false};
};

Json EspFlash::esp_flash_start(const Json& tab_id, const Json& mode_arg, const Json& files, const Json& options) {
  KindServices& svc = *svc_;
  const std::string tab = tab_text(tab_id);
  if (!tab_id.is_string() || !svc.tab_open(tab)) return refusal(svc.text("err.tab_not_found"));
  if (!kind_._serial_port(tab)) return refusal(svc.text("esp.reason.not_serial"));
  if (auto conn = svc.connection(tab); !conn) return refusal(svc.text("esp.reason.not_serial"));

  // The claim below decides a race; this look keeps the refusals in their order.
  if (svc.transfer_running(tab)) return refusal(svc.text("esp.reason.busy"));
  Json opts = options.is_object() ? options : Json::object();
  const Json chip_value = json::get(opts, "chip");
  const std::string chip = chip_value.is_null() ? "auto" : json::text_form(chip_value);

  esp::FlasherConfig cfg;
  cfg.mode = mode_arg.is_string() ? mode_arg.get<std::string>() : json::text_form(mode_arg);
  cfg.options = esp::FlasherOptions::from_json(opts);
  cfg.options.chip = chip;
  cfg.timings = timings;
  cfg.reset_funcs = reset_funcs ? reset_funcs(tab) : kind_._esp_reset_funcs(tab);

  if (chip != "auto" && !esp::find_chip(chip)) {
    return refusal(svc.text("esp.reason.unknown_chip", {{"chip", chip}}));
  }
  if (cfg.mode == "esp-flash") {
    std::vector<esp::FlashFile> list;
    const bool none = !files.is_array() || files.empty();
    for (size_t i = 0; !none && i < files.size(); ++i) {
      const Json& rec = files[i];
      if (!rec.is_object() || !rec.contains("path") || !rec.contains("offset"))
        throw BridgeError("file record " + std::to_string(i) + " needs path and offset");
      const std::string path = json::text_form(rec["path"]);
      std::optional<uint32_t> offset = parse_flash_offset(rec["offset"]);
      if (!offset) {
        return refusal(svc.text("esp.reason.bad_offset",
                                {{"filename", last_component(path)}, {"offset", json::text_form(rec["offset"])}}));
      }
      list.push_back({path, *offset});
    }
    if (none) {
      return refusal(svc.text("esp.reason.need_files"));
    }
    cfg.files = std::move(list);
  }

  auto run = std::make_shared<Run>(svc, tab);
  run->make(std::move(cfg));
  if (!svc.claim_transfer(tab, run.get(), run->calls())) {
    // Gone between the first look and now, or a transfer got there first.
    if (!svc.tab_open(tab)) return refusal(svc.text("err.tab_not_found"));
    return refusal(svc.text("esp.reason.busy"));
  }
  const Json iface = json::get(opts, "interface");
  svc.update_tab_session(tab, Json{{"esp_interface", iface.is_null() ? Json("auto") : iface}, {"esp_chip", chip}});
  svc.spawn([run] { run->drive(); });
  return Json{{"ok", true}};
}

Json EspFlash::esp_flash_pick_files() {
  std::vector<FileFilter> filters = {{"Firmware Binary", {"*.bin"}}, {"All Files", {"*.*"}}};
  auto picked = svc_->open_files(svc_->text("esp.dialog.pick_bin"), filters, 300);
  Json out = Json::array();
  if (picked)
    for (const auto& p : *picked) out.push_back(p);
  return out;
}

Json EspFlash::esp_guess_offset(const Json& filename, const Json& chip) {
  if (!filename.is_string()) return Json();
  const std::string c = chip.is_string() ? chip.get<std::string>() : std::string();
  auto off = esp::guess_offset_for(filename.get<std::string>(), c);
  return off ? Json(*off) : Json();
}

long long EspFlash::esp_file_size(const Json& path) {
  if (!path.is_string() || path.get<std::string>().empty()) return -1;
  std::error_code ec;
  const std::filesystem::path p = std::filesystem::u8path(path.get<std::string>());
  if (!std::filesystem::is_regular_file(p, ec)) return -1;
  const auto size = std::filesystem::file_size(p, ec);
  return ec ? -1 : static_cast<long long>(size);
}

Json EspFlash::esp_chip_list() {
  Json out = Json::array();
  for (const auto& c : esp::CHIP_TABLE) out.push_back(Json{{"key", c.key}, {"name", c.name}});
  return out;
}

Json EspFlash::esp_get_session_prefs(const Json& tab_id) {
  if (!tab_id.is_string()) return Json::object();
  std::optional<Json> sess = svc_->tab_session(tab_id.get<std::string>());
  if (!sess) return Json::object();
  Json out = Json::object();
  for (const char* key : {"esp_interface", "esp_chip"}) {
    const Json v = json::get(*sess, key);
    out[key] = v.is_null() ? Json("auto") : v;
  }
  return out;
}

void EspFlash::install(Bridge& bridge, KindServices& services) {
  svc_ = &services;
  bridge.add("esp_flash_start", 2, {Json(), Json()}, [this](const Json& a) {
    return esp_flash_start(arg_any(a, 0), arg_any(a, 1), arg_any(a, 2), arg_any(a, 3));
  });
  bridge.add("esp_flash_pick_files", 0, {}, [this](const Json&) { return esp_flash_pick_files(); });
  bridge.add("esp_guess_offset", 1, {Json()},
             [this](const Json& a) { return esp_guess_offset(arg_any(a, 0), arg_any(a, 1)); });
  bridge.add("esp_file_size", 1, {}, [this](const Json& a) { return Json(esp_file_size(arg_any(a, 0))); });
  bridge.add("esp_chip_list", 0, {}, [this](const Json&) { return esp_chip_list(); });
  bridge.add("esp_get_session_prefs", 1, {},
             [this](const Json& a) { return esp_get_session_prefs(arg_any(a, 0)); });
}

}  // namespace morvane::kinds
