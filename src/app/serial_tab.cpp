// Serial tabs: a tab on a local serial port, read on the tab's connect worker, that survives
// unplugging by reopening the port every two seconds; and the ESP32 reset buttons, which drive
// the same port's modem lines on a worker while the reader keeps polling.
//
// Ways a serial tab's port stops: the tab is closed (its port is closed by the tab), the
// application stops, or 31 reads in a row fail (the device went away), after which the port
// is closed and reopened. Only the first two end the reader loop.
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "app/modules.h"
#include "app/morvane_app.h"
#include "serial/list_ports.h"
#include "serial/win32_serial.h"
#include "util/diag.h"
#include "util/encoding.h"
#include "util/text.h"

namespace morvane {

namespace {

// Quiet 20 ms waits between two reads of an idle port (see the reader loop).
constexpr int kIdleSlices = 5;

using serial::SerialError;
using serial::SerialParams;
using serial::Win32Serial;

// The tab's `serial` handle: the port object behind the Backend interface, so that input and
// closing work as for every other kind. The tab's own loop reads the port; recv() exists only
// to keep the Backend contract.
class SerialBackend final : public Backend {
 public:
  explicit SerialBackend(std::shared_ptr<Win32Serial> port) : port_(std::move(port)) {}

  std::string recv(size_t max_bytes) override {
    while (port_->is_open()) {
      if (!port_->wait_readable(100)) continue;
      std::string data = port_->read(max_bytes);
      if (!data.empty()) return data;
    }
    return {};
  }
  void send(std::string_view bytes) override {
    if (bytes.empty()) return;
    const size_t written = port_->write(bytes);
    // A write gives up after one second (flow control holding it, or a port closed under it):
    // say so instead of letting the caller believe it went out.
    if (written != bytes.size())
      throw SerialError("wrote " + std::to_string(written) + " of " + std::to_string(bytes.size()) + " bytes to " +
                        port_->port());
  }
  void close() override { port_->close(); }
  bool is_closed() const override { return !port_->is_open(); }

  const std::shared_ptr<Win32Serial>& port() const { return port_; }

 private:
  std::shared_ptr<Win32Serial> port_;
};

// The connect worker that runs a serial tab, named in the diagnostics.
thread_local std::string t_thread_name;

std::string thread_name() {
  if (!t_thread_name.empty()) return t_thread_name;
  std::ostringstream s;
  s << "Thread-" << std::this_thread::get_id();
  return s.str();
}

// Received bytes as the diagnostics show them: b'...' with escapes for the unprintable.
std::string bytes_repr(std::string_view data) {
  const bool dq = data.find('\'') != std::string_view::npos && data.find('"') == std::string_view::npos;
  const char q = dq ? '"' : '\'';
  std::string out = "b";
  out += q;
  for (unsigned char c : data) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c == static_cast<unsigned char>(q)) {
          out += '\\';
          out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += q;
  return out;
}

std::string head64(std::string_view data) { return bytes_repr(data.substr(0, 64)); }

// The port name of a session: its `host` without surrounding blanks.
std::string session_com(const Json& sess) {
  const Json& v = json::get(sess, "host");
  return v.is_null() ? std::string() : text::trim(json::text_form(v));
}

// The baud rate of a session: its `port`; 9600 when missing, empty, 0 or not a number.
long long session_baud(const Json& sess) {
  const Json& v = json::get(sess, "port");
  if (!json::truthy(v)) return 9600;
  return json::as_int(v).value_or(9600);
}

// A line setting as the diagnostics show it, with its default when missing.
std::string setting_text(const Json& sess, const char* key, const char* def) {
  const Json& v = json::get(sess, key);
  return v.is_null() ? std::string(def) : json::text_form(v);
}

std::shared_ptr<Win32Serial> port_of(const std::shared_ptr<Backend>& h) {
  auto* sb = dynamic_cast<SerialBackend*>(h.get());
  return sb ? sb->port() : nullptr;
}

void make_decoder(Tab& tab) {
  std::string enc = tab.encoding_name();
  std::unique_ptr<encoding::Decoder> dec;
  try {
    dec = encoding::make_decoder(enc.empty() ? "utf-8" : enc);
  } catch (const std::exception&) {
    dec = encoding::make_decoder("utf-8");
  }
  std::lock_guard<std::mutex> lock(tab.decoder_mu);
  tab.decoder = std::move(dec);
}

}  // namespace

std::shared_ptr<Win32Serial> MorvaneApp::_serial_port(const TabRef& tab) const {
  return tab ? port_of(tab->handle(HandleKey::serial)) : nullptr;
}

MorvaneApp::SerialOpened MorvaneApp::_serial_open(const Json& sess) {
  SerialOpened r;
  r.com = session_com(sess);
  r.baud = session_baud(sess);
  SerialParams p;
  p.port = r.com;
  p.baudrate = r.baud;
  const Json& bits = json::get(sess, "serial_bits");
  if (bits.is_null() || (bits.is_string() && text::trim(bits.get<std::string>()).empty())) {
    p.bytesize = 8;
  } else {
    auto n = json::as_int(bits);
    if (!n) throw SerialError("invalid data bits: " + json::text_form(bits));
    p.bytesize = *n;
  }
  const Json& parity = json::get(sess, "serial_parity");
  p.parity = parity.is_null() ? Json("N") : parity;
  p.stopbits = setting_text(sess, "serial_stop", "1");
  const std::string flow = setting_text(sess, "serial_flow", "N");
  p.xonxoff = flow == "X";
  p.rtscts = flow == "R";
  p.dsrdtr = flow == "D";
  r.port = serial_port_factory ? serial_port_factory(p) : std::make_shared<Win32Serial>(p);
  if (!r.port) throw SerialError("no port object for " + r.com);
  return r;
}

void MorvaneApp::_start_serial_impl(const std::string& tab_id, const SessionRef& sess, const TabRef& tab) {
  t_thread_name = "serial-" + tab_id;
  const Json data = sess ? sess->snapshot() : Json::object();
  std::string com = session_com(data);
  if (com.empty()) {
    _push_info(tab_id, _t("err.fill_com_port"), true);
    tab->alive = false;
    return;
  }
  long long baud = session_baud(data);
  const std::string flow = setting_text(data, "serial_flow", "N");
  diag::err("[serial] opening " + com + " @ " + std::to_string(baud) +
            " bps  bits=" + setting_text(data, "serial_bits", "8") +
            " parity=" + setting_text(data, "serial_parity", "N") + " stop=" + setting_text(data, "serial_stop", "1") +
            " flow=" + flow + " encoding=" + tab->encoding_name() + " (Win32 backend)");
  _push_info(tab_id, _t("info.serial_opening", {{"com", com}, {"baud", baud}}));

  SerialOpened opened;
  try {
    opened = _serial_open(data);
  } catch (const std::exception& e) {
    diag::err(std::string("[serial] open failed: ") + e.what());
    _push_info(tab_id, _t("err.serial_open_fail", {{"err", e.what()}}), true);
    tab->set_handle(HandleKey::serial, nullptr);
    tab->alive = false;
    make_decoder(*tab);
    // The tab counts as connected: it takes input while the loop keeps trying the port.
    _push_connected(tab_id);
    _serial_reader_loop(tab_id);
    return;
  }
  com = opened.com;
  baud = opened.baud;
  std::shared_ptr<Win32Serial> port = opened.port;
  diag::err("[serial] " + com + " open OK (handle=" + std::to_string(port->handle()) + ") thread=" + thread_name());

  // What the board sent right after the port opened (often its boot banner) is read here and
  // shown after the connected line, not thrown away.
  std::string early;
  try {
    early = port->read(kReadSize);
    diag::err("[serial] sync read in open thread: " + std::to_string(early.size()) + " bytes  " + head64(early));
  } catch (const std::exception& e) {
    diag::err(std::string("[serial] sync read in open thread FAILED: ") + e.what());
  }

  if (!_store_handle(tab_id, tab, HandleKey::serial, std::make_shared<SerialBackend>(port))) return;
  tab->alive = true;
  make_decoder(*tab);
  _push_connected(tab_id);
  _push_to_term(tab_id, _t("info.serial_connected", {{"com", com}, {"baud", baud}}));
  if (!early.empty()) {
    std::string text = _intercept_or_decode(tab_id, early);
    if (!text.empty()) _push_to_term(tab_id, text);
  }
  _serial_reader_loop(tab_id);
}

void MorvaneApp::_serial_reader_loop(const std::string& tab_id) {
  TabRef tab = find_tab(tab_id);
  if (!tab) return;
  const SessionRef sess = tab->session_ref();
  const Json data = sess ? sess->snapshot() : Json::object();
  std::string com = session_com(data);
  long long baud = session_baud(data);
  diag::err("[serial] reader loop started for tab " + tab_id + " (thread=" + thread_name() + ")");
#ifdef __linux__
  // The idle 20 ms waits may end up to 2 ms late, so the kernel can wake the readers of
  // several idle tabs together instead of one by one.
  ::prctl(PR_SET_TIMERSLACK, 2'000'000UL, 0, 0, 0);
#endif
  unsigned long long total = 0;
  auto in_tabs = [&] { return find_tab(tab_id) == tab; };

  try {
    while (!_stop && in_tabs()) {
      std::shared_ptr<Win32Serial> ser = _serial_port(tab);
      if (!ser || !ser->is_open()) {
        if (!_serial_wait_reopen(tab_id, tab, com, baud)) break;
        ser = _serial_port(tab);
        if (!ser) continue;
      }
      int errors = 0;
      bool woke = false;  // the last wait said data was there
      while (!_stop && in_tabs() && ser->is_open()) {
        std::string chunk;
        try {
          chunk = ser->read(kReadSize);
        } catch (const std::exception& e) {
          ++errors;
          diag::err("[serial] read err #" + std::to_string(errors) + ": " + e.what());
          if (errors > 30) {
            diag::err("[serial] too many errors, will try to reopen");
            break;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          continue;
        }
        errors = 0;
        if (chunk.empty()) {
          // An idle port is looked at every 20 ms; data or a hang-up arriving meanwhile ends
          // the wait at once. A wait that ends early without data (a port that cannot be
          // waited on, or a wake-up the read then found empty) still costs the full 20 ms.
          // While the waits run their full 20 ms quietly, nothing can have arrived, so the
          // read (with its check that the device node still exists) is repeated only every
          // few slices: that keeps idle tabs nearly free without delaying any byte.
          bool ready = false;
          for (int slice = 0; slice < kIdleSlices; ++slice) {
            const auto start = std::chrono::steady_clock::now();
            ready = !woke && ser->wait_readable(20);
            const auto left = std::chrono::milliseconds(20) - (std::chrono::steady_clock::now() - start);
            if (ready) break;
            if (left > std::chrono::milliseconds(1)) {
              std::this_thread::sleep_for(left);
              break;
            }
            if (_stop || !ser->is_open() || !in_tabs()) break;
          }
          woke = ready;
          continue;
        }
        woke = false;
        total += chunk.size();
        std::string text = _intercept_or_decode(tab_id, chunk);
        if (total <= kReadSize)
          diag::err("[serial] read " + std::to_string(chunk.size()) + " bytes (total " + std::to_string(total) +
                    "): " + head64(chunk));
        if (!text.empty()) _push_to_term(tab_id, text);
      }
      tab->alive = false;
      if (auto h = tab->handle(HandleKey::serial)) {
        try {
          h->close();
        } catch (...) {
        }
      }
      tab->set_handle(HandleKey::serial, nullptr);
    }
  } catch (const std::exception& e) {
    diag::err(std::string("[serial] reader loop failed: ") + e.what());
  }
  diag::err("[serial] reader loop ended (total " + std::to_string(total) + " bytes)");
  if (in_tabs()) tab->alive = false;
}

bool MorvaneApp::_serial_wait_reopen(const std::string& tab_id, const TabRef& tab, std::string& com,
                                     long long& baud) {
  _push_info(tab_id, _t("info.serial_disconnect", {{"com", com}}));
  auto in_tabs = [&] { return find_tab(tab_id) == tab; };
  unsigned long attempt = 0;
  while (!_stop && in_tabs()) {
    ++attempt;
    SerialOpened opened;
    try {
      // Read afresh on each attempt: an edit of the port name takes effect at the next one.
      SessionRef sess = tab->session_ref();
      opened = _serial_open(sess ? sess->snapshot() : Json::object());
    } catch (const std::exception& e) {
      if (attempt <= 3 || attempt % 10 == 0)
        diag::err("[serial] reopen attempt #" + std::to_string(attempt) + " failed: " + e.what());
      for (int slice = 0; slice < 20; ++slice) {
        if (_stop || !in_tabs()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      continue;
    }
    // Stored only while the tab is still in the table; otherwise closed again at once.
    if (!_store_handle(tab_id, tab, HandleKey::serial, std::make_shared<SerialBackend>(opened.port))) return false;
    tab->alive = true;
    make_decoder(*tab);
    diag::err("[serial] reopen OK (handle=" + std::to_string(opened.port->handle()) + ") after " +
              std::to_string(attempt) + " attempts");
    // The port and speed that really opened: the session may have been edited meanwhile.
    com = opened.com;
    baud = opened.baud;
    _push_info(tab_id, _t("info.serial_reconnected", {{"com", com}, {"baud", baud}}));
    return true;
  }
  return false;
}

// ---- ESP32 reset -------------------------------------------------------------------------------

bool MorvaneApp::hard_reset_esp(const Json& tab_id) { return _fire_esp_reset(tab_id, "hard_reset"); }

bool MorvaneApp::enter_bootloader_esp(const Json& tab_id) { return _fire_esp_reset(tab_id, "enter_bootloader"); }

bool MorvaneApp::_fire_esp_reset(const Json& tab_id, const std::string& mode) {
  const std::string id = tab_id.is_string() ? tab_id.get<std::string>() : json::text_form(tab_id);
  TabRef tab = tab_id.is_string() ? find_tab(id) : nullptr;
  const std::string prefix = "[esp_reset:" + mode + "] ";
  if (!tab) {
    diag::err(prefix + "tab " + id + " not found");
    return false;
  }
  std::shared_ptr<Win32Serial> ser = _serial_port(tab);
  if (!ser || !ser->is_open()) {
    diag::err(prefix + "ser=" + (ser ? "Win32Serial(" + ser->port() + ")" : std::string("None")) +
              " open=" + (ser ? "False" : "None"));
    return false;
  }
  diag::err(prefix + "dispatching to worker thread");
  spawn_daemon([ser, mode, prefix] {
    try {
      if (mode == "hard_reset") ser->hard_reset();
      else ser->enter_bootloader();
      diag::err(prefix + "done");
    } catch (const std::exception& e) {
      diag::err(prefix + e.what());
    }
  });
  return true;
}

std::map<std::string, std::function<void()>> MorvaneApp::_esp_reset_funcs(const std::string& tab_id) {
  std::shared_ptr<Win32Serial> ser = _serial_port(find_tab(tab_id));
  if (!ser) return {};
  // Bound to this very object: a port reopened later is not followed.
  return {{"hard_reset", [ser] { ser->hard_reset(); }},
          {"enter_bootloader_uart", [ser] { ser->enter_bootloader(); }},
          {"enter_bootloader_usb", [ser] { ser->enter_bootloader_usb_jtag(); }}};
}

// ---- the machine's ports -----------------------------------------------------------------------

Json MorvaneApp::serial_list_ports() {
  Json list = Json::array();
  for (const auto& p : serial::list_ports()) list.push_back(Json{{"port", p.port}, {"description", p.description}});
  return list;
}

void install_serial(MorvaneApp& app) {
  app.serial_port_factory = [](const SerialParams& p) { return std::make_shared<Win32Serial>(p); };
  app.register_start_routine("serial", [&app](const std::string& id, const SessionRef& s, const TabRef& t) {
    app._start_serial_impl(id, s, t);
  });
  app.bridge.add("hard_reset_esp", 1, {}, [&app](const Json& a) { return Json(app.hard_reset_esp(arg_any(a, 0))); });
  app.bridge.add("enter_bootloader_esp", 1, {},
                 [&app](const Json& a) { return Json(app.enter_bootloader_esp(arg_any(a, 0))); });
  app.bridge.add("serial_list_ports", 0, {}, [&app](const Json&) { return app.serial_list_ports(); });
}

}  // namespace morvane
