#pragma once
// The serial kind ("serial"): a tab on a local serial port that survives unplugging by
// reopening the port, and the ESP32 reset operations that drive the same port's modem lines.
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "core/kind.h"

namespace morvane::serial {
class Win32Serial;
struct SerialParams;
}  // namespace morvane::serial

namespace morvane::kinds {

class EspFlash;

class SerialKind final : public Kind {
 public:
  SerialKind();
  std::vector<std::string> protocols() const override { return {"serial"}; }
  std::shared_ptr<Connection> open(const OpenRequest& req) override;
  void install(Bridge& bridge, KindServices& services) override;
  std::optional<bool> reachability(const Connection* conn) const override;

  // Opens a port; the default drives a Win32Serial through this platform's comm API. Tests put
  // a fake-backed port (and a sleeper that needs no clock) in through it.
  std::function<std::shared_ptr<serial::Win32Serial>(const serial::SerialParams&)> port_factory;
  struct SerialOpened {
    std::shared_ptr<serial::Win32Serial> port;
    std::string com;
    long long baud = 9600;
  };
  // Opens the port a session record names; throws (a serial::SerialError for the port's own
  // failures) when it cannot.
  SerialOpened _serial_open(const Json& sess) const;
  // The tab's open port object, or null (no such tab, not a serial tab, port lost).
  std::shared_ptr<serial::Win32Serial> _serial_port(const std::string& tab_id) const;
  bool hard_reset_esp(const Json& tab_id);
  bool enter_bootloader_esp(const Json& tab_id);
  bool _fire_esp_reset(const Json& tab_id, const std::string& mode);
  // "hard_reset", "enter_bootloader_uart", "enter_bootloader_usb", each bound to the port the
  // tab holds now; empty when it holds none.
  std::map<std::string, std::function<void()>> _esp_reset_funcs(const std::string& tab_id);
  // [{"port": NAME, "description": TEXT}] for every serial port of the machine.
  Json serial_list_ports();
  // Flashing the board on a tab's port (the page's esp_flash_* operations).
  EspFlash& esp_flash() { return *esp_flash_; }

 private:
  KindServices* svc_ = nullptr;
  std::shared_ptr<EspFlash> esp_flash_;
};

}  // namespace morvane::kinds
