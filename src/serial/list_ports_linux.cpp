#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fcntl.h>
#include <unistd.h>
#include <map>

#include "serial/list_ports.h"

namespace fs = std::filesystem;

namespace morvane::serial {

namespace {

// First line of a sysfs attribute, trimmed; empty when absent.
std::string attribute(const fs::path& file) {
  // close-on-exec: a shell or tool may be started by another thread while this is open.
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char buf[512];
  ssize_t n = ::read(fd, buf, sizeof buf);
  ::close(fd);
  if (n <= 0) return {};
  std::string line(buf, static_cast<size_t>(n));
  line = line.substr(0, line.find('\n'));
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

// Name of what a sysfs link points at ("cp210x" for .../drivers/cp210x).
std::string link_name(const fs::path& link) {
  std::error_code ec;
  fs::path target = fs::read_symlink(link, ec);
  if (ec) return {};
  return target.filename().string();
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

std::vector<PortInfo> list_ports(const std::string& sysfs_root, const std::string& dev_root) {
  std::vector<PortInfo> ports;
  std::error_code ec;
  const fs::path class_dir = fs::path(sysfs_root) / "class" / "tty";

  // Stable aliases first: tty name -> /dev/serial/by-id/... link.
  std::map<std::string, std::string> aliases;
  const fs::path by_id_dir = fs::path(dev_root) / "serial" / "by-id";
  for (fs::directory_iterator it(by_id_dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string target = link_name(it->path());
    if (!target.empty() && !aliases.count(target)) aliases[target] = it->path().string();
  }

  for (fs::directory_iterator it(class_dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const fs::path tty = it->path();
    const fs::path device_link = tty / "device";
    std::error_code dev_ec;
    // Virtual terminals, consoles and PTYs have no device behind them.
    if (!fs::exists(device_link, dev_ec)) continue;
    const fs::path device = fs::canonical(device_link, dev_ec);
    if (dev_ec) continue;
    const std::string driver = link_name(device / "driver");
    if (name.rfind("ttyS", 0) == 0) {
      const std::string type = attribute(tty / "type");
      if (type == "0" || (type.empty() && driver == "serial8250")) continue;
    }

    PortInfo info;
    info.port = (fs::path(dev_root) / name).string();
    const std::string subsystem = link_name(device / "subsystem");
    fs::path interface;
    if (subsystem == "usb-serial")
      interface = device.parent_path();
    else if (subsystem == "usb")
      interface = device;
    if (!interface.empty()) {
      const fs::path usb_device = interface.parent_path();
      const std::string product = attribute(usb_device / "product");
      const std::string iface = attribute(interface / "interface");
      const std::string maker = attribute(usb_device / "manufacturer");
      info.description = !product.empty() ? product : !iface.empty() ? iface : maker;
      info.hwid = "USB VID:PID=" + upper(attribute(usb_device / "idVendor")) + ":" +
                  upper(attribute(usb_device / "idProduct"));
      const std::string serial = attribute(usb_device / "serial");
      if (!serial.empty()) info.hwid += " SER=" + serial;
      info.hwid += " LOCATION=" + interface.filename().string();
    } else {
      info.hwid = subsystem.empty() ? name : subsystem;
    }
    if (info.description.empty()) info.description = !driver.empty() ? driver : name;
    if (auto alias = aliases.find(name); alias != aliases.end()) info.by_id = alias->second;
    ports.push_back(std::move(info));
  }
  std::sort(ports.begin(), ports.end(),
            [](const PortInfo& a, const PortInfo& b) { return natural_less(a.port, b.port); });
  return ports;
}

}  // namespace morvane::serial
