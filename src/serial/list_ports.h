// The serial ports of this machine, for the user to pick from.
#pragma once

#include <string>
#include <vector>

namespace morvane::serial {

struct PortInfo {
  std::string port;         // what to open: "COM3", "/dev/ttyUSB0"
  std::string description;  // e.g. "CP2102 USB to UART Bridge Controller"
  std::string hwid;         // e.g. "USB VID:PID=10C4:EA60 SER=0001 LOCATION=1-1:1.0"
  std::string by_id;        // a stable alias such as /dev/serial/by-id/usb-..., or empty
};

// Sorted by port name, numbers in names compared as numbers.
//
// Linux reads <sysfs_root>/class/tty and <dev_root>/serial/by-id. A tty is a
// port when it has a device behind it; legacy ttyS entries without a UART
// (their "type" reads 0, or they sit on the serial8250 placeholder device
// without a type) are left out. USB adapters are described by their product
// string, else the interface string, else the maker; other ports by their
// driver's name. Windows reads the Ports device class and the registry's
// SERIALCOMM map and ignores both roots.
std::vector<PortInfo> list_ports(const std::string& sysfs_root = "/sys", const std::string& dev_root = "/dev");

// a < b with runs of digits compared by value ("ttyUSB2" < "ttyUSB10").
bool natural_less(const std::string& a, const std::string& b);

}  // namespace morvane::serial
