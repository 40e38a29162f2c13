// The port object against the recording fake: what it asks of the
// communications API, in which order, and what it reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "serial/comm_api_fake.h"
#include "serial/win32_serial.h"

namespace morvane::serial {
namespace {

using Log = std::vector<std::string>;

std::string pause_text(double seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "sleep %g", seconds);
  return buf;
}

struct Harness {
  std::shared_ptr<RecordingCommApi> api = std::make_shared<RecordingCommApi>();
  Sleeper sleeper = [api = api](double s) { api->note(pause_text(s)); };

  std::unique_ptr<Win32Serial> open(SerialParams params) {
    return std::make_unique<Win32Serial>(params, api, sleeper);
  }
  std::unique_ptr<Win32Serial> open(const std::string& port = "COM3") {
    SerialParams p;
    p.port = port;
    return open(p);
  }
};

// The DCB handed to the n-th SetCommState call.
Dcb set_state(const RecordingCommApi& api, int n = 0) {
  for (const auto& call : api.calls())
    if (call.text == "SetCommState" && n-- == 0) return call.dcb;
  ADD_FAILURE() << "no SetCommState call";
  return {};
}

std::string failure_text(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const SerialError& e) {
    return e.what();
  }
  return "(no failure)";
}

// ---- construction -------------------------------------------------------

TEST(SerialOpen, CallsInOrderAndKeepsUntouchedDcbFields) {
  Harness h;
  h.api->state.XonLim = 77;
  h.api->state.EofChar = 'z';
  h.api->state.fNull = 1;
  h.api->state.fBinary = 0;
  auto port = h.open();
  EXPECT_TRUE(port->is_open());
  EXPECT_EQ(h.api->log(), (Log{"CreateFile(\\\\.\\COM3)", "GetCommState", "SetCommState",
                               "SetCommTimeouts(4294967295,0,0,0,1000)", "PurgeComm(15)"}));
  Dcb d = set_state(*h.api);
  EXPECT_EQ(d.BaudRate, 9600u);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, 0);
  EXPECT_EQ(d.StopBits, 0);
  EXPECT_EQ(d.fBinary, 1);
  EXPECT_EQ(d.fParity, 0);
  EXPECT_EQ(d.fOutxCtsFlow, 0);
  EXPECT_EQ(d.fRtsControl, 1);
  EXPECT_EQ(d.fOutxDsrFlow, 0);
  EXPECT_EQ(d.fDtrControl, 1);
  EXPECT_EQ(d.fOutX, 0);
  EXPECT_EQ(d.fInX, 0);
  // Fields the driver does not own come back as read.
  EXPECT_EQ(d.XonLim, 77);
  EXPECT_EQ(d.EofChar, 'z');
  EXPECT_EQ(d.fNull, 1);
}

struct LineCase {
  nlohmann::json baud, bits, parity, stop;
  std::uint32_t want_baud;
  int want_bits, want_parity, want_stop;
};

TEST(SerialOpen, ConvertsLineSettingsGivenAsNumbersOrTexts) {
  const LineCase cases[] = {
      {115200, 8, "e", "1", 115200, 8, 2, 0},
      {"921600", "7", "O", 2, 921600, 7, 1, 2},
      {" 250_000 ", 8, "m", "1.5", 250000, 8, 3, 1},
      {57600.9, 6, "s", 1.5, 57600, 6, 4, 1},
      {9600, 5, "E", "2", 9600, 5, 2, 2},
      {9600, 8, "X", 2.0, 9600, 8, 0, 0},   // unknown letter; text "2.0" is unknown
      {9600, 8, "n", 3, 9600, 8, 0, 0},
      {9600, true, "ee", "1.50", 9600, 1, 0, 0},
      {9600, 8, 1, nullptr, 9600, 8, 0, 0},  // a number is no parity letter
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baud.dump() + " " + c.bits.dump() + " " + c.parity.dump() + " " + c.stop.dump());
    Harness h;
    SerialParams p;
    p.port = "COM3";
    p.baudrate = c.baud;
    p.bytesize = c.bits;
    p.parity = c.parity;
    p.stopbits = c.stop;
    auto port = h.open(p);
    Dcb d = set_state(*h.api);
    EXPECT_EQ(d.BaudRate, c.want_baud);
    EXPECT_EQ(d.ByteSize, c.want_bits);
    EXPECT_EQ(d.Parity, c.want_parity);
    EXPECT_EQ(d.fParity, c.want_parity != 0 ? 1 : 0);
    EXPECT_EQ(d.StopBits, c.want_stop);
  }
}

TEST(SerialOpen, FlowControlFlags) {
  struct Flow {
    bool x, r, d;
  };
  for (Flow f : {Flow{true, false, false}, Flow{false, true, false}, Flow{false, false, true},
                 Flow{true, true, true}}) {
    SCOPED_TRACE(std::to_string(f.x) + std::to_string(f.r) + std::to_string(f.d));
    Harness h;
    SerialParams p;
    p.port = "COM4";
    p.xonxoff = f.x;
    p.rtscts = f.r;
    p.dsrdtr = f.d;
    auto port = h.open(p);
    Dcb d = set_state(*h.api);
    EXPECT_EQ(d.fOutX, f.x ? 1 : 0);
    EXPECT_EQ(d.fInX, f.x ? 1 : 0);
    EXPECT_EQ(d.fOutxCtsFlow, f.r ? 1 : 0);
    EXPECT_EQ(d.fRtsControl, f.r ? 2 : 1);
    EXPECT_EQ(d.fOutxDsrFlow, f.d ? 1 : 0);
    EXPECT_EQ(d.fDtrControl, f.d ? 2 : 1);
  }
}

TEST(SerialOpen, DevicePath) {
  for (auto [given, path] : {std::pair<std::string, std::string>{"COM3", "\\\\.\\COM3"},
                             {"\\\\.\\COM3", "\\\\.\\COM3"},
                             {"COM12", "\\\\.\\COM12"},
                             {"/dev/ttyUSB0", "\\\\.\\/dev/ttyUSB0"}}) {
    Harness h;
    auto port = h.open(given);
    EXPECT_EQ(h.api->log().front(), "CreateFile(" + path + ")");
  }
}

TEST(SerialOpen, CreateFileFailureNamesThePortAsGiven) {
  for (std::string given : {"COM3", "\\\\.\\COM3"}) {
    Harness h;
    h.api->refuse("CreateFile", 2);
    try {
      h.open(given);
      FAIL() << "opened";
    } catch (const SerialError& e) {
      EXPECT_EQ(std::string(e.what()), "CreateFile failed for " + given);
      EXPECT_EQ(e.code(), 2);
    }
    EXPECT_EQ(h.api->log().size(), 1u);
  }
}

TEST(SerialOpen, ConfigurationFailurePropagatesAndReleasesTheHandle) {
  for (const char* call : {"GetCommState", "SetCommState", "SetCommTimeouts"}) {
    SCOPED_TRACE(call);
    Harness h;
    h.api->refuse(call, 5);
    try {
      h.open();
      FAIL() << "opened";
    } catch (const CommError& e) {
      EXPECT_EQ(std::string(e.what()), "[WinError 5] Access is denied.");
      EXPECT_EQ(e.code(), 5);
    }
    Log log = h.api->log();
    EXPECT_EQ(log.back(), "CloseHandle");
    EXPECT_EQ(std::count(log.begin(), log.end(), "PurgeComm(15)"), 0);
  }
}

TEST(SerialOpen, PurgeFailureIsIgnored) {
  Harness h;
  h.api->refuse("PurgeComm", 31);
  auto port = h.open();
  EXPECT_TRUE(port->is_open());
}

TEST(SerialOpen, BadSettingsAreRefusedBeforeTheDeviceIsTouched) {
  struct Bad {
    nlohmann::json baud, bits;
    std::string text;
  };
  for (const Bad& b : {Bad{"fast", 8, "invalid baudrate: fast"}, Bad{"1.5", 8, "invalid baudrate: 1.5"},
                       Bad{0, 8, "invalid baudrate: 0"}, Bad{-9600, 8, "invalid baudrate: -9600"},
                       Bad{nullptr, 8, "invalid baudrate: None"}, Bad{9600, "eight", "invalid bytesize: eight"},
                       Bad{9600, 300, "invalid bytesize: 300"}}) {
    Harness h;
    SerialParams p;
    p.port = "COM3";
    p.baudrate = b.baud;
    p.bytesize = b.bits;
    EXPECT_EQ(failure_text([&] { h.open(p); }), b.text);
    EXPECT_TRUE(h.api->log().empty());
  }
}

// ---- reading, writing, closing -----------------------------------------

TEST(SerialIo, ReadReturnsWhatIsBufferedUpToTheLimit) {
  Harness h;
  auto port = h.open();
  EXPECT_EQ(port->read(), "");
  h.api->feed(std::string("ab\0\xff", 4) + "cdef");
  EXPECT_EQ(port->read(3), std::string("ab\0", 3));
  EXPECT_EQ(port->read(), "\xff" "cdef");
  EXPECT_EQ(h.api->log().back(), "ReadFile(4096)");
}

TEST(SerialIo, PlatformErrorsBecomeReadAndWriteFailures) {
  Harness h;
  auto port = h.open();
  h.api->refuse("ReadFile", 31, 0, 1);
  h.api->refuse("WriteFile", 1167, 0, 1);
  EXPECT_EQ(failure_text([&] { port->read(); }),
            "ReadFile failed: [WinError 31] A device attached to the system is not functioning.");
  EXPECT_EQ(failure_text([&] { port->write("x"); }),
            "WriteFile failed: [WinError 1167] The device is not connected.");
  // The port stays open; the caller decides.
  EXPECT_TRUE(port->is_open());
  EXPECT_EQ(port->write("ok"), 2u);
}

TEST(SerialIo, TextIsSentAsUtf8) {
  Harness h;
  auto port = h.open();
  EXPECT_EQ(port->write_text("\xC3\xA9"), 2u);  // é
  EXPECT_EQ(h.api->written(), "\xC3\xA9");
  // An encoded surrogate and a stray byte cannot go out as UTF-8.
  port->write_text("a\xED\xA0\x80" "b\xFF" "c");
  EXPECT_EQ(h.api->written(), "\xC3\xA9" "a?b?c");
}

TEST(SerialIo, ClosedPortDoesNothing) {
  Harness h;
  auto port = h.open();
  h.api->feed("pending");
  port->close();
  EXPECT_FALSE(port->is_open());
  h.api->clear_log();
  EXPECT_EQ(port->read(), "");
  EXPECT_EQ(port->write("data"), 0u);
  EXPECT_FALSE(port->wait_readable(0));
  port->set_dtr(true);
  port->set_rts(false);
  port->_restore_dcb(Dcb{});
  port->close();
  EXPECT_TRUE(h.api->log().empty());
}

TEST(SerialIo, CloseReleasesTheHandleOnceEvenWhenItFails) {
  Harness h;
  auto port = h.open();
  h.api->refuse("CloseHandle", 6);
  port->close();
  port->close();
  port.reset();  // the destructor closes too
  Log log = h.api->log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "CloseHandle"), 1);
}

// A write that is still inside the platform call when another thread closes
// the port: the handle must outlive that call.
class BlockingWriteApi : public RecordingCommApi {
 public:
  std::size_t WriteFile(Handle h, std::string_view data) override {
    std::unique_lock<std::mutex> lock(m);
    entered = true;
    cv.notify_all();
    cv.wait(lock, [&] { return released; });
    lock.unlock();
    return RecordingCommApi::WriteFile(h, data);
  }
  std::mutex m;
  std::condition_variable cv;
  bool entered = false, released = false;
};

TEST(SerialIo, CloseDuringAWriteReleasesTheHandleAfterIt) {
  auto api = std::make_shared<BlockingWriteApi>();
  SerialParams p;
  p.port = "COM3";
  Win32Serial port(p, api, [](double) {});
  std::size_t written = 0;
  std::thread writer([&] { written = port.write("late"); });
  {
    std::unique_lock<std::mutex> lock(api->m);
    api->cv.wait(lock, [&] { return api->entered; });
  }
  port.close();
  EXPECT_FALSE(port.is_open());
  Log log = api->log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "CloseHandle"), 0);
  {
    std::lock_guard<std::mutex> lock(api->m);
    api->released = true;
  }
  api->cv.notify_all();
  writer.join();
  EXPECT_EQ(written, 4u);
  log = api->log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "CloseHandle"), 1);
  EXPECT_EQ(log.back(), "CloseHandle");
}

TEST(SerialIo, CloseFromAnotherThreadWhileReading) {
  Harness h;
  auto port = h.open();
  std::atomic<bool> started{false};
  std::thread reader([&] {
    while (port->is_open()) {
      h.api->feed("x");
      try {
        port->read();
      } catch (const SerialError&) {
        ADD_FAILURE() << "a read met a released handle";
      }
      started = true;
    }
  });
  while (!started) std::this_thread::yield();
  port->close();
  reader.join();
  Log log = h.api->log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "CloseHandle"), 1);
  EXPECT_EQ(log.back(), "CloseHandle");
}

// ---- modem lines and reset sequences ------------------------------------

TEST(SerialModem, LinesUseTheEscapeFunction) {
  Harness h;
  auto port = h.open();
  h.api->clear_log();
  port->set_dtr(true);
  port->set_dtr(false);
  port->set_rts(true);
  port->set_rts(false);
  EXPECT_EQ(h.api->log(), (Log{"EscapeCommFunction(5)", "EscapeCommFunction(6)", "EscapeCommFunction(3)",
                               "EscapeCommFunction(4)"}));
}

TEST(SerialModem, RefusedEscapeFallsBackToTheIoctl) {
  Harness h;
  auto port = h.open();
  h.api->clear_log();
  h.api->refuse("EscapeCommFunction", 1);
  testing::internal::CaptureStderr();
  port->set_dtr(true);
  port->set_dtr(false);
  port->set_rts(true);
  port->set_rts(false);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[serial.modem] EscapeCommFunction(5) err=1, used DeviceIoControl(0x001B0024)\n"
            "[serial.modem] EscapeCommFunction(6) err=1, used DeviceIoControl(0x001B0028)\n"
            "[serial.modem] EscapeCommFunction(3) err=1, used DeviceIoControl(0x001B0030)\n"
            "[serial.modem] EscapeCommFunction(4) err=1, used DeviceIoControl(0x001B0034)\n");
  EXPECT_EQ(h.api->log(),
            (Log{"EscapeCommFunction(5)", "DeviceIoControl(0x001B0024)", "EscapeCommFunction(6)",
                 "DeviceIoControl(0x001B0028)", "EscapeCommFunction(3)", "DeviceIoControl(0x001B0030)",
                 "EscapeCommFunction(4)", "DeviceIoControl(0x001B0034)"}));
}

TEST(SerialModem, BothRefusedIsAFailureNamingBothErrors) {
  Harness h;
  auto port = h.open();
  h.api->refuse("EscapeCommFunction", 50);
  h.api->refuse("DeviceIoControl", 87);
  EXPECT_EQ(failure_text([&] { port->set_rts(true); }),
            "modem ctrl failed: EscapeCommFunction err=50, DeviceIoControl err=87");
}

void opened_and_cleared(Harness& h, std::unique_ptr<Win32Serial>& port, bool rtscts = false) {
  SerialParams p;
  p.port = "COM3";
  p.rtscts = rtscts;
  port = h.open(p);
  h.api->clear_log();
}

const Log kFrameStart = {"GetCommState", "GetCommState", "SetCommState"};

Log framed(Log steps) {
  Log out = kFrameStart;
  out.insert(out.end(), steps.begin(), steps.end());
  out.push_back("SetCommState");
  return out;
}

struct Sequence {
  const char* name;
  void (Win32Serial::*run)();
  const char* label;
  Log steps;
};

const Sequence kSequences[] = {
    {"hard_reset", &Win32Serial::hard_reset, "hard_reset",
     {"EscapeCommFunction(6)", "EscapeCommFunction(3)", "sleep 0.1", "EscapeCommFunction(4)", "sleep 0.05",
      "EscapeCommFunction(5)", "EscapeCommFunction(3)"}},
    {"enter_bootloader", &Win32Serial::enter_bootloader, "enter_bootloader (classic UART)",
     {"EscapeCommFunction(6)", "EscapeCommFunction(3)", "sleep 0.1", "EscapeCommFunction(5)",
      "EscapeCommFunction(4)", "sleep 0.05", "EscapeCommFunction(3)"}},
    {"enter_bootloader_usb_jtag", &Win32Serial::enter_bootloader_usb_jtag, "enter_bootloader_usb_jtag",
     {"EscapeCommFunction(6)", "EscapeCommFunction(4)", "sleep 0.1", "EscapeCommFunction(5)",
      "EscapeCommFunction(4)", "sleep 0.1", "EscapeCommFunction(3)", "EscapeCommFunction(6)",
      "EscapeCommFunction(3)", "sleep 0.1", "EscapeCommFunction(6)", "EscapeCommFunction(4)"}},
};

TEST(SerialReset, SequencesRunInExactOrderAndRestoreTheDcb) {
  for (const Sequence& s : kSequences) {
    SCOPED_TRACE(s.name);
    Harness h;
    std::unique_ptr<Win32Serial> port;
    opened_and_cleared(h, port, /*rtscts=*/true);
    const Dcb before = h.api->state;
    testing::internal::CaptureStderr();
    ((*port).*s.run)();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("[serial.reset] ") + s.label + " begin\n[serial.reset] " + s.label + " end\n");
    EXPECT_EQ(h.api->log(), framed(s.steps));
    // Manual control for the sequence: lines enabled, handshakes off ...
    Dcb manual = set_state(*h.api, 0);
    EXPECT_EQ(manual.fDtrControl, 1);
    EXPECT_EQ(manual.fRtsControl, 1);
    EXPECT_EQ(manual.fOutxCtsFlow, 0);
    EXPECT_EQ(manual.fOutxDsrFlow, 0);
    // ... and the handshake back afterwards.
    EXPECT_EQ(set_state(*h.api, 1), before);
    EXPECT_EQ(h.api->state.fRtsControl, 2);
    EXPECT_EQ(h.api->state.fOutxCtsFlow, 1);
  }
}

// A double click on a reset button: two sequences on one port at once. Each must find the
// port's own settings, so the handshake is back when both are done.
TEST(SerialReset, OverlappingSequencesStillRestoreTheHandshake) {
  auto api = std::make_shared<RecordingCommApi>();
  SerialParams p;
  p.port = "COM3";
  p.rtscts = true;
  Win32Serial port(p, api, [](double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s / 10)); });
  const Dcb before = api->state;
  testing::internal::CaptureStderr();
  std::thread other([&] { port.enter_bootloader(); });
  port.hard_reset();
  other.join();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(api->state, before);
  EXPECT_EQ(api->state.fRtsControl, 2);
  EXPECT_EQ(api->state.fOutxCtsFlow, 1);
}

TEST(SerialReset, FailingStepStillRestoresAndPropagates) {
  Harness h;
  std::unique_ptr<Win32Serial> port;
  opened_and_cleared(h, port, true);
  const Dcb before = h.api->state;
  h.api->refuse("EscapeCommFunction", 50, /*skip=*/2);
  h.api->refuse("DeviceIoControl", 50);
  testing::internal::CaptureStderr();
  std::string failure = failure_text([&] { port->hard_reset(); });
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[serial.reset] hard_reset begin\n");
  EXPECT_EQ(failure, "modem ctrl failed: EscapeCommFunction err=50, DeviceIoControl err=50");
  EXPECT_EQ(h.api->log(), framed({"EscapeCommFunction(6)", "EscapeCommFunction(3)", "sleep 0.1",
                                  "EscapeCommFunction(4)", "DeviceIoControl(0x001B0034)"}));
  EXPECT_EQ(set_state(*h.api, 1), before);
}

TEST(SerialReset, FallbackDiagnosticsInsideASequence) {
  Harness h;
  std::unique_ptr<Win32Serial> port;
  opened_and_cleared(h, port);
  h.api->refuse("EscapeCommFunction", 1);
  testing::internal::CaptureStderr();
  port->enter_bootloader();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[serial.reset] enter_bootloader (classic UART) begin\n"
            "[serial.modem] EscapeCommFunction(6) err=1, used DeviceIoControl(0x001B0028)\n"
            "[serial.modem] EscapeCommFunction(3) err=1, used DeviceIoControl(0x001B0030)\n"
            "[serial.modem] EscapeCommFunction(5) err=1, used DeviceIoControl(0x001B0024)\n"
            "[serial.modem] EscapeCommFunction(4) err=1, used DeviceIoControl(0x001B0034)\n"
            "[serial.modem] EscapeCommFunction(3) err=1, used DeviceIoControl(0x001B0030)\n"
            "[serial.reset] enter_bootloader (classic UART) end\n");
}

TEST(SerialReset, RestoreFailureIsReportedAndSwallowed) {
  Harness h;
  std::unique_ptr<Win32Serial> port;
  opened_and_cleared(h, port);
  h.api->refuse("SetCommState", 31, /*skip=*/1);
  testing::internal::CaptureStderr();
  port->hard_reset();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[serial.reset] hard_reset begin\n"
            "[serial.modem] DCB restore failed: [WinError 31] A device attached to the system is not "
            "functioning.\n"
            "[serial.reset] hard_reset end\n");
}

TEST(SerialReset, GrabFailureEndsBeforeAnyLineMoves) {
  Harness h;
  std::unique_ptr<Win32Serial> port;
  opened_and_cleared(h, port);
  h.api->refuse("SetCommState", 87);
  testing::internal::CaptureStderr();
  EXPECT_EQ(failure_text([&] { port->enter_bootloader_usb_jtag(); }), "[WinError 87] The parameter is incorrect.");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[serial.reset] enter_bootloader_usb_jtag begin\n");
  EXPECT_EQ(h.api->log(), kFrameStart);
}

TEST(SerialReset, ClosedPortFailsAtTheFirstStep) {
  Harness h;
  std::unique_ptr<Win32Serial> port;
  opened_and_cleared(h, port);
  port->close();
  h.api->clear_log();
  testing::internal::CaptureStderr();
  try {
    port->hard_reset();
    ADD_FAILURE() << "ran on a closed port";
  } catch (const SerialError& e) {
    EXPECT_EQ(std::string(e.what()), "[WinError 6] The handle is invalid.");
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[serial.reset] hard_reset begin\n");
  EXPECT_TRUE(h.api->log().empty());
  EXPECT_EQ(failure_text([&] { port->_modem_ctrl(Win32Serial::kSetDtr, Win32Serial::kIoctlSetDtr); }),
            "modem ctrl failed: EscapeCommFunction err=6, DeviceIoControl err=6");
}

TEST(SerialReset, ConstantsMatchTheWindowsCodes) {
  // CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
  auto ctl = [](unsigned function) { return (0x1Bu << 16) | (function << 2); };
  EXPECT_EQ(Win32Serial::kIoctlSetDtr, ctl(9));
  EXPECT_EQ(Win32Serial::kIoctlClrDtr, ctl(10));
  EXPECT_EQ(Win32Serial::kIoctlSetRts, ctl(12));
  EXPECT_EQ(Win32Serial::kIoctlClrRts, ctl(13));
}

}  // namespace
}  // namespace morvane::serial
