// The termios implementation against a real PTY pair made by socat.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <atomic>
#include <fstream>
#include <random>

#include "serial/comm_api_posix.h"
#include "peer.h"
#include "serial/termios2_speed.h"
#include "serial/win32_serial.h"
#include "socat_pair.h"

namespace morvane::serial {
namespace {

using testing::SocatPair;
using testing::open_raw;
using testing::read_count;
using testing::write_all;

std::string test_payload() {
  std::string data;
  for (int round = 0; round < 8; ++round)
    for (int v = 0; v < 256; ++v) data += static_cast<char>(v);
  std::mt19937 rng(20240601);
  for (int i = 0; i < 64 * 1024; ++i) data += static_cast<char>(rng() & 0xFF);
  return data;
}

// Reads through the driver, sleeping in wait_readable while idle.
std::string read_through(Win32Serial& port, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::string out;
  while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
    if (!port.wait_readable(100)) continue;
    out += port.read();
  }
  return out;
}

SerialParams params(const std::string& path) {
  SerialParams p;
  p.port = path;
  return p;
}

class SerialPty : public ::testing::Test {
 protected:
  void SetUp() override {
    MORVANE_REQUIRE_PEER(SocatPair::available(), "socat");
    pair = std::make_unique<SocatPair>();
    peer = open_raw(pair->b);
  }
  void TearDown() override {
    if (peer >= 0) ::close(peer);
  }
  // What the kernel holds for the port, read on a descriptor of our own
  // (root passes TIOCEXCL; otherwise the driver's own view is used).
  std::uint32_t kernel_speed(Win32Serial& port) {
    int fd = ::open(pair->a.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return default_comm_api()->GetCommState(port.handle()).BaudRate;
    std::uint32_t baud = 0;
    EXPECT_EQ(detail::get_port_speed(fd, baud), 0);
    ::close(fd);
    return baud;
  }
  struct termios kernel_termios(Win32Serial& port) {
    struct termios t {};
    EXPECT_EQ(::tcgetattr(static_cast<int>(port.handle()), &t), 0);
    return t;
  }

  std::unique_ptr<SocatPair> pair;
  int peer = -1;
};

TEST_F(SerialPty, BytesGoBothWaysIntactAt921600) {
  SerialParams p = params(pair->a);
  p.baudrate = 921600;
  Win32Serial port(p);
  EXPECT_EQ(kernel_speed(port), 921600u);
  const std::string payload = test_payload();

  // Far end -> driver.
  std::thread sender([&] { EXPECT_TRUE(write_all(peer, payload)); });
  std::string got = read_through(port, payload.size());
  sender.join();
  EXPECT_EQ(got.size(), payload.size());
  EXPECT_TRUE(got == payload) << "received bytes differ";

  // Driver -> far end.
  std::string echoed;
  std::thread receiver([&] { echoed = read_count(peer, payload.size()); });
  std::size_t done = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (done < payload.size() && std::chrono::steady_clock::now() < deadline)
    done += port.write(std::string_view(payload).substr(done));
  receiver.join();
  EXPECT_EQ(done, payload.size());
  EXPECT_TRUE(echoed == payload) << "sent bytes differ";
}

// A PTY keeps 8 data bits and no parity whatever is asked (its kernel driver
// forces them), so those are checked on the fake; the rest must arrive.
TEST_F(SerialPty, NonStandardRateAndLineSettingsReachTheKernel) {
  SerialParams p = params(pair->a);
  p.baudrate = "250000";
  p.parity = "e";
  p.stopbits = "2";
  p.xonxoff = true;
  Win32Serial port(p);
  EXPECT_EQ(kernel_speed(port), 250000u);
  struct termios t = kernel_termios(port);
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_iflag & IXON);
  EXPECT_TRUE(t.c_iflag & IXOFF);
  EXPECT_TRUE(t.c_iflag & INPCK);  // parity checking asked for
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(t.c_oflag & OPOST);

  // The driver's view is the kernel's.
  Dcb d = default_comm_api()->GetCommState(port.handle());
  EXPECT_EQ(d.BaudRate, 250000u);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, (t.c_cflag & PARENB) ? 2 : 0);
  EXPECT_EQ(d.StopBits, 2);
  EXPECT_EQ(d.fOutX, 1);
  EXPECT_EQ(d.fInX, 1);
}

TEST_F(SerialPty, OneAndAHalfStopBitsAndHandshake) {
  SerialParams p = params(pair->a);
  p.stopbits = 1.5;
  p.rtscts = true;
  Win32Serial port(p);
  struct termios t = kernel_termios(port);
  EXPECT_TRUE(t.c_cflag & CSTOPB);  // termios sends 1.5 as 2
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  Dcb d = default_comm_api()->GetCommState(port.handle());
  EXPECT_EQ(d.StopBits, 1);
  EXPECT_EQ(d.fOutxCtsFlow, 1);
  EXPECT_EQ(d.fRtsControl, 2);
  // Manual line control for a reset turns the handshake off; restoring the
  // saved copy turns it back on.
  Dcb saved;
  try {
    saved = port._grab_manual_modem_lines();
  } catch (const SerialError& e) {
    FAIL() << e.what();
  }
  EXPECT_FALSE(kernel_termios(port).c_cflag & CRTSCTS);
  port._restore_dcb(saved);
  EXPECT_TRUE(kernel_termios(port).c_cflag & CRTSCTS);
}

TEST_F(SerialPty, IdleReadsReturnEmptyAtOnce) {
  Win32Serial port(params(pair->a));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 200; ++i) EXPECT_EQ(port.read(), "");
  // 200 reads that waited even 50 ms each would take 10 s.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(port.wait_readable(10));
  ASSERT_TRUE(write_all(peer, "z"));
  EXPECT_TRUE(port.wait_readable(10000));
  EXPECT_EQ(port.read(), "z");
}

TEST_F(SerialPty, HangUpMakesReadsAndWritesFail) {
  Win32Serial port(params(pair->a));
  EXPECT_EQ(port.read(), "");
  ::close(peer);
  peer = -1;
  pair->stop();
  std::string failure;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (failure.empty() && std::chrono::steady_clock::now() < deadline) {
    try {
      port.read();
      port.wait_readable(50);
    } catch (const SerialError& e) {
      failure = e.what();
    }
  }
  EXPECT_EQ(failure.rfind("ReadFile failed: ", 0), 0u) << failure;
  EXPECT_TRUE(port.is_open());  // the owner decides
  try {
    port.write("x");
    ADD_FAILURE() << "a write to a hung-up port succeeded";
  } catch (const SerialError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("WriteFile failed: ", 0), 0u) << e.what();
  }
}

TEST_F(SerialPty, ModemLinesOfAPtyFailBothWays) {
  Win32Serial port(params(pair->a));
  const std::string expected = "modem ctrl failed: EscapeCommFunction err=" + std::to_string(ENOTTY) +
                               ", DeviceIoControl err=" + std::to_string(ENOTTY);
  try {
    port.set_dtr(true);
    ADD_FAILURE() << "DTR switched on a PTY";
  } catch (const SerialError& e) {
    EXPECT_EQ(std::string(e.what()), expected);
  }
  const Dcb before = default_comm_api()->GetCommState(port.handle());
  ::testing::internal::CaptureStderr();
  try {
    port.hard_reset();
    ADD_FAILURE() << "reset ran on a PTY";
  } catch (const SerialError& e) {
    EXPECT_EQ(std::string(e.what()), expected);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[serial.reset] hard_reset begin\n");
  EXPECT_EQ(default_comm_api()->GetCommState(port.handle()), before);
  // The port still carries data afterwards.
  ASSERT_TRUE(write_all(peer, "after"));
  EXPECT_EQ(read_through(port, 5), "after");
}

TEST_F(SerialPty, OpenFailures) {
  auto open_failure = [](const std::string& path) -> std::pair<std::string, int> {
    try {
      Win32Serial port(params(path));
    } catch (const SerialError& e) {
      return {e.what(), e.code()};
    }
    return {"(opened)", 0};
  };
  const std::string missing = pair->dir + "/nothing";
  EXPECT_EQ(open_failure(missing), std::make_pair("CreateFile failed for " + missing, ENOENT));
  const std::string plain = pair->dir + "/plain-file";
  std::ofstream(plain) << "not a tty";
  EXPECT_EQ(open_failure(plain), std::make_pair("CreateFile failed for " + plain, ENOTTY));
  {
    Win32Serial first(params(pair->a));
    EXPECT_EQ(open_failure(pair->a), std::make_pair("CreateFile failed for " + pair->a, EBUSY));
  }
  // Closed again, the port opens.
  Win32Serial again(params(pair->a));
  EXPECT_TRUE(again.is_open());
}

TEST_F(SerialPty, OpeningPurgesStaleInput) {
  // A descriptor of our own on the same end shows the shared input queue.
  int watcher = ::open(pair->a.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (watcher < 0) GTEST_SKIP() << "needs a second descriptor on the PTY (root)";
  ASSERT_TRUE(write_all(peer, "stale"));
  int queued = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (queued < 5 && std::chrono::steady_clock::now() < deadline) {
    ::ioctl(watcher, FIONREAD, &queued);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(queued, 5);
  Win32Serial port(params(pair->a));
  ::ioctl(watcher, FIONREAD, &queued);
  EXPECT_EQ(queued, 0);
  ::close(watcher);
  ASSERT_TRUE(write_all(peer, "fresh"));
  EXPECT_EQ(read_through(port, 5), "fresh");
}

TEST_F(SerialPty, CloseFromAnotherThreadWhileTheReaderPolls) {
  auto port = std::make_unique<Win32Serial>(params(pair->a));
  std::atomic<bool> stop_sender{false};
  std::atomic<std::size_t> received{0};
  std::thread sender([&] {
    while (!stop_sender) {
      ::write(peer, "0123456789", 10);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::thread reader([&] {
    while (port->is_open()) {
      port->wait_readable(20);
      try {
        received += port->read().size();
      } catch (const SerialError& e) {
        ADD_FAILURE() << e.what();
      }
    }
  });
  while (received < 100) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  port->close();
  reader.join();
  stop_sender = true;
  sender.join();
  EXPECT_EQ(port->read(), "");
  // The descriptor and its lock are gone: the port opens again.
  Win32Serial again(params(pair->a));
  EXPECT_TRUE(again.is_open());
}

TEST(SerialPosixNames, ComNamesMapToTtyS) {
  EXPECT_EQ(PosixCommApi::device_file("\\\\.\\COM3"), "/dev/ttyS2");
  EXPECT_EQ(PosixCommApi::device_file("\\\\.\\com10"), "/dev/ttyS9");
  EXPECT_EQ(PosixCommApi::device_file("\\\\.\\COM1"), "/dev/ttyS0");
  EXPECT_EQ(PosixCommApi::device_file("\\\\.\\COM0"), "COM0");
  EXPECT_EQ(PosixCommApi::device_file("\\\\.\\COMX"), "COMX");
  EXPECT_EQ(PosixCommApi::device_file("\\\\.\\/dev/ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(PosixCommApi::device_file("/tmp/link"), "/tmp/link");
}

}  // namespace
}  // namespace morvane::serial
