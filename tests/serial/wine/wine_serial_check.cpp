// Runs the port driver over the real Windows calls (under Wine here) against
// a PTY linked as a COM port whose far end upper-cases what it receives.
// Usage: wine_serial_check.exe COM5 COM9 [HANDSHAKE_DIR]   (COM9 must not exist)
// With HANDSHAKE_DIR, the line settings are also read from the Unix side: the program leaves a
// request file there and the script answers with `stty -a` of the PTY.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "serial/comm_api_win32.h"
#include "serial/list_ports.h"
#include "serial/win32_serial.h"

#include <chrono>
#include <initializer_list>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

using namespace morvane::serial;

namespace {

int passed = 0, failed = 0;

void check(bool ok, const std::string& what, const std::string& detail = "") {
  (ok ? passed : failed)++;
  std::printf("%s - %s%s%s\n", ok ? "ok" : "not ok", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
  std::fflush(stdout);
}

std::string failure_of(void (*fn)(Win32Serial&), Win32Serial& port) {
  try {
    fn(port);
  } catch (const SerialError& e) {
    return e.what();
  }
  return "(no failure)";
}

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::string read_until(Win32Serial& port, std::size_t count) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
    std::string chunk = port.read();
    if (chunk.empty()) port.wait_readable(20);
    got += chunk;
  }
  return got;
}

// The PTY's settings as `stty -a` prints them, asked of the script through files in dir.
std::string stty_of(const std::string& dir, int n) {
  const std::string request = dir + "\\stty-request-" + std::to_string(n);
  const std::string answer = dir + "\\stty-answer-" + std::to_string(n);
  if (FILE* f = std::fopen(request.c_str(), "w")) std::fclose(f);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (FILE* f = std::fopen(answer.c_str(), "rb")) {
      std::string text;
      char buf[512];
      for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
      std::fclose(f);
      return text;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return "(no answer from stty)";
}

// The words that do not appear in the stty output as whole words; "" when all do.
std::string missing_words(const std::string& stty, std::initializer_list<const char*> words) {
  std::string missing;
  std::string padded = " " + stty + " ";
  for (char& c : padded)
    if (c == ';' || c == '\n') c = ' ';
  for (const char* w : words)
    if (padded.find(std::string(" ") + w + " ") == std::string::npos) missing += std::string(" ") + w;
  return missing;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s COMn COM-missing\n", argv[0]);
    return 2;
  }
  const std::string com = argv[1], missing = argv[2];
  auto api = std::make_shared<Win32CommApi>();

  // A port that does not exist.
  OpenResult none = api->CreateFile("\\\\.\\" + missing);
  check(none.handle == kInvalidHandle && none.error != 0, "CreateFile of a missing port fails",
        "error " + std::to_string(none.error));
  try {
    SerialParams p;
    p.port = missing;
    Win32Serial port(p, api);
    check(false, "missing port opens");
  } catch (const SerialError& e) {
    check(std::string(e.what()) == "CreateFile failed for " + missing, "missing port failure text", e.what());
  }

  SerialParams p;
  p.port = com;
  p.baudrate = "115200";
  std::unique_ptr<Win32Serial> port;
  try {
    port = std::make_unique<Win32Serial>(p, api);
  } catch (const SerialError& e) {
    check(false, "open " + com, e.what());
    std::printf("%d passed, %d failed\n", passed, failed);
    return 1;
  }
  check(port->is_open(), "open " + com);
  Dcb dcb = api->GetCommState(port->handle());
  check(dcb.BaudRate == 115200 && dcb.ByteSize == 8 && dcb.Parity == 0 && dcb.fBinary == 1 &&
            dcb.fDtrControl == 1 && dcb.fRtsControl == 1,
        "settings read back", "baud " + std::to_string(dcb.BaudRate));
  check(port->read().empty(), "idle read returns at once, empty");

  // Every byte value out, the far end's answer back.
  std::string payload;
  for (int round = 0; round < 4; ++round)
    for (int v = 0; v < 256; ++v) payload += static_cast<char>(v);
  payload += "hello from windows";
  std::size_t written = port->write(payload);
  check(written == payload.size(), "write count", std::to_string(written));
  std::string answer = read_until(*port, payload.size());
  check(answer == upper(payload), "bytes went out and the answer came back",
        std::to_string(answer.size()) + " of " + std::to_string(payload.size()) + " bytes");
  check(port->write_text("\xC3\xA9") == 2 && read_until(*port, 2) == "\xC3\xA9", "text goes out as UTF-8");

  // A PTY has no modem lines: both calls refuse with ERROR_NOT_SUPPORTED.
  int escape_error = 0, ioctl_error = 0;
  try {
    api->EscapeCommFunction(port->handle(), Win32Serial::kSetDtr);
  } catch (const CommError& e) {
    escape_error = e.code();
  }
  try {
    api->DeviceIoControl(port->handle(), Win32Serial::kIoctlSetDtr);
  } catch (const CommError& e) {
    ioctl_error = e.code();
  }
  check(escape_error == 50 && ioctl_error == 50, "modem-line calls fail with error 50",
        std::to_string(escape_error) + ", " + std::to_string(ioctl_error));
  const std::string modem_failure = "modem ctrl failed: EscapeCommFunction err=50, DeviceIoControl err=50";
  std::string text = failure_of([](Win32Serial& s) { s.set_dtr(true); }, *port);
  check(text == modem_failure, "set_dtr failure text", text);
  text = failure_of([](Win32Serial& s) { s.set_rts(false); }, *port);
  check(text == modem_failure, "set_rts failure text", text);
  const Dcb before = api->GetCommState(port->handle());
  text = failure_of([](Win32Serial& s) { s.hard_reset(); }, *port);
  check(text == modem_failure, "hard_reset failure text", text);
  const Dcb after = api->GetCommState(port->handle());
  check(after.fDtrControl == before.fDtrControl && after.fRtsControl == before.fRtsControl &&
            after.BaudRate == before.BaudRate && after.fOutxCtsFlow == before.fOutxCtsFlow,
        "line settings restored after the failed reset");

  // The port keeps working afterwards.
  port->write("still here");
  check(read_until(*port, 10) == "STILL HERE", "bytes flow after the failed reset");

  // The script registers the port the way a driver does.
  bool listed = false;
  for (const PortInfo& info : list_ports()) {
    std::printf("# port %s: %s [%s]\n", info.port.c_str(), info.description.c_str(), info.hwid.c_str());
    if (info.port == com && info.description == "\\Device\\MorvaneTest5") listed = true;
  }
  check(listed, com + " is listed from SERIALCOMM");

  port->close();
  check(!port->is_open() && port->read().empty() && port->write("x") == 0, "closed port does nothing");
  port->close();
  check(true, "second close is harmless");

  // Closed for real: the port opens again (share mode 0 would refuse otherwise).
  try {
    Win32Serial again(p, api);
    check(again.is_open(), "reopen after close");
  } catch (const SerialError& e) {
    check(false, "reopen after close", e.what());
  }

  // The DCB fields reach the line: the PTY's own settings, read with stty from the Unix side.
  // Linux's PTY driver keeps every PTY at cs8 and clears parenb whatever is asked, so there the
  // baud rate, the stop bits and the odd/even choice are what can be seen; the data bits and
  // the parity switch in the DCB are checked against the recording comm API in serial_tests.
  if (argc > 3) {
    struct Line {
      const char* baud;
      int bits;
      const char* parity;
      const char* stop;
      std::initializer_list<const char*> words;
    };
    const Line lines[] = {
        {"115200", 8, "N", "1", {"115200", "-cstopb", "-parodd", "-crtscts"}},
        {"9600", 7, "E", "2", {"9600", "cstopb", "-parodd"}},
        {"19200", 8, "O", "1", {"19200", "-cstopb", "parodd"}},
    };
    int n = 0;
    for (const Line& l : lines) {
      SerialParams q;
      q.port = com;
      q.baudrate = l.baud;
      q.bytesize = l.bits;
      q.parity = l.parity;
      q.stopbits = l.stop;
      std::string what = std::string(l.baud) + " " + std::to_string(l.bits) + l.parity + l.stop + " reaches the PTY";
      try {
        Win32Serial line(q, api);
        std::string stty = stty_of(argv[3], n++);
        std::string missing = missing_words(stty, l.words);
        check(missing.empty(), what, missing.empty() ? stty.substr(0, stty.find(';')) : "missing" + missing + " in: " + stty);
      } catch (const SerialError& e) {
        check(false, what, e.what());
      }
    }
  }

  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
