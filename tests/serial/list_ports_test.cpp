// Port listing over a made-up sysfs tree shaped like the kernel's.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "serial/list_ports.h"

namespace fs = std::filesystem;

namespace morvane::serial {
namespace {

class FakeSysfs {
 public:
  FakeSysfs() {
    char tmpl[] = "/tmp/morvane-sysfs-XXXXXX";
    root = ::mkdtemp(tmpl);
    sys = root / "sys";
    dev = root / "dev";
    fs::create_directories(sys / "class" / "tty");
    fs::create_directories(sys / "bus" / "usb-serial" / "drivers" / "cp210x");
    fs::create_directories(sys / "bus" / "usb" / "drivers" / "cdc_acm");
    fs::create_directories(sys / "bus" / "pnp" / "drivers" / "serial");
    fs::create_directories(sys / "bus" / "platform" / "drivers" / "serial8250");
    fs::create_directories(dev / "serial" / "by-id");
  }
  ~FakeSysfs() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  void file(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text << "\n";
  }
  // /sys/class/tty/<name> -> the device's tty folder, with its device link.
  fs::path tty(const std::string& name, const fs::path& device_dir) {
    fs::path tty_dir = device_dir / "tty" / name;
    fs::create_directories(tty_dir);
    fs::create_directory_symlink(device_dir, tty_dir / "device");
    fs::create_directory_symlink(tty_dir, sys / "class" / "tty" / name);
    return tty_dir;
  }
  void link(const fs::path& target, const fs::path& at) { fs::create_directory_symlink(target, at); }

  fs::path root, sys, dev;
};

TEST(SerialListPorts, FindsRealPortsAndDescribesThem) {
  FakeSysfs t;
  // A CP2102 behind usb-serial: device -> .../1-1:1.0/ttyUSB0.
  fs::path usb = t.sys / "devices/pci0000:00/0000:00:14.0/usb1/1-1";
  t.file(usb / "product", "CP2102 USB to UART Bridge Controller");
  t.file(usb / "manufacturer", "Silicon Labs");
  t.file(usb / "idVendor", "10c4");
  t.file(usb / "idProduct", "ea60");
  t.file(usb / "serial", "0001");
  fs::path port = usb / "1-1:1.0" / "ttyUSB0";
  fs::create_directories(port);
  t.link(t.sys / "bus/usb-serial", port / "subsystem");
  t.link(t.sys / "bus/usb-serial/drivers/cp210x", port / "driver");
  t.tty("ttyUSB0", port);
  t.link("../../ttyUSB0", t.dev / "serial/by-id/usb-Silicon_Labs_CP2102_0001-if00-port0");

  // A CDC ACM board without a product string: the interface string names it.
  fs::path acm_usb = t.sys / "devices/pci0000:00/0000:00:14.0/usb1/1-2";
  t.file(acm_usb / "manufacturer", "Espressif");
  t.file(acm_usb / "idVendor", "303a");
  t.file(acm_usb / "idProduct", "1001");
  fs::path acm_if = acm_usb / "1-2:1.0";
  t.file(acm_if / "interface", "USB JTAG/serial debug unit");
  t.link(t.sys / "bus/usb", acm_if / "subsystem");
  t.link(t.sys / "bus/usb/drivers/cdc_acm", acm_if / "driver");
  t.tty("ttyACM0", acm_if);

  // A real on-board UART, a legacy placeholder and ttyS ports without UARTs.
  fs::path pnp = t.sys / "devices/pnp0/00:01";
  fs::create_directories(pnp);
  t.link(t.sys / "bus/pnp/drivers/serial", pnp / "driver");
  t.link(t.sys / "bus/pnp", pnp / "subsystem");
  t.file(t.tty("ttyS0", pnp) / "type", "4");
  fs::path legacy = t.sys / "devices/platform/serial8250";
  fs::create_directories(legacy);
  t.link(t.sys / "bus/platform/drivers/serial8250", legacy / "driver");
  t.link(t.sys / "bus/platform", legacy / "subsystem");
  t.file(t.tty("ttyS1", legacy) / "type", "0");
  t.tty("ttyS2", legacy);  // no type at all
  t.file(t.tty("ttyS10", pnp) / "type", "4");

  // Virtual terminals have no device.
  fs::create_directories(t.sys / "devices/virtual/tty/tty0");
  t.link(t.sys / "devices/virtual/tty/tty0", t.sys / "class/tty/tty0");

  auto ports = list_ports(t.sys.string(), t.dev.string());
  ASSERT_EQ(ports.size(), 4u);
  const std::string d = t.dev.string();
  EXPECT_EQ(ports[0].port, d + "/ttyACM0");
  EXPECT_EQ(ports[0].description, "USB JTAG/serial debug unit");
  EXPECT_EQ(ports[0].hwid, "USB VID:PID=303A:1001 LOCATION=1-2:1.0");
  EXPECT_EQ(ports[0].by_id, "");
  EXPECT_EQ(ports[1].port, d + "/ttyS0");
  EXPECT_EQ(ports[1].description, "serial");
  EXPECT_EQ(ports[1].hwid, "pnp");
  EXPECT_EQ(ports[2].port, d + "/ttyS10");
  EXPECT_EQ(ports[3].port, d + "/ttyUSB0");
  EXPECT_EQ(ports[3].description, "CP2102 USB to UART Bridge Controller");
  EXPECT_EQ(ports[3].hwid, "USB VID:PID=10C4:EA60 SER=0001 LOCATION=1-1:1.0");
  EXPECT_EQ(ports[3].by_id, d + "/serial/by-id/usb-Silicon_Labs_CP2102_0001-if00-port0");
}

TEST(SerialListPorts, MissingTreeGivesNoPorts) {
  EXPECT_TRUE(list_ports("/nonexistent-sysfs", "/nonexistent-dev").empty());
}

TEST(SerialListPorts, NaturalOrder) {
  EXPECT_TRUE(natural_less("ttyUSB2", "ttyUSB10"));
  EXPECT_FALSE(natural_less("ttyUSB10", "ttyUSB2"));
  EXPECT_TRUE(natural_less("COM9", "COM10"));
  EXPECT_TRUE(natural_less("ttyACM0", "ttyS0"));
  EXPECT_FALSE(natural_less("COM3", "COM3"));
  EXPECT_TRUE(natural_less("COM3", "COM3a"));
}

}  // namespace
}  // namespace morvane::serial
