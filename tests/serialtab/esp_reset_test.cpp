// Serial tabs on the driver's recording fake: the ESP32 reset operations through the bridge,
// the read-failure rule, what is read right after opening, the session's line settings, and
// the port list.
#include <cstdio>

#include "serial/list_ports.h"
#include "serialtab_fixture.h"

namespace morvane::testing {
namespace {

using serial::RecordingCommApi;
using serial::SerialParams;
using serial::Win32Serial;

// Holds the first GetCommState of a reset sequence until released, to show that the page's
// call returns before any line moves.
class GatedCommApi : public RecordingCommApi {
 public:
  void arm() {
    std::lock_guard<std::mutex> lock(gate_mu_);
    armed_ = true;
    gate_open_ = false;
  }
  void release() {
    std::lock_guard<std::mutex> lock(gate_mu_);
    gate_open_ = true;
    gate_cv_.notify_all();
  }
  bool waiting() {
    std::lock_guard<std::mutex> lock(gate_mu_);
    return waiting_;
  }
  serial::Dcb GetCommState(serial::Handle h) override {
    {
      std::unique_lock<std::mutex> lock(gate_mu_);
      if (armed_) {
        armed_ = false;
        waiting_ = true;
        gate_cv_.wait(lock, [&] { return gate_open_; });
        waiting_ = false;
      }
    }
    return RecordingCommApi::GetCommState(h);
  }

 private:
  std::mutex gate_mu_;
  std::condition_variable gate_cv_;
  bool armed_ = false, gate_open_ = true, waiting_ = false;
};

class SerialTabFake : public SerialTabFixture {
 protected:
  void SetUp() override {
    SerialTabFixture::SetUp();
    fake = std::make_shared<GatedCommApi>();
    // Pauses are written into the call log instead of being waited for.
    auto log = fake;
    serial_kind()->port_factory = [log](const SerialParams& p) {
      return std::make_shared<Win32Serial>(p, log, [log](double s) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "sleep %g", s);
        log->note(buf);
      });
    };
  }
  // Opens a tab on COM3 and waits until its port is in place.
  std::string open_com3(Json extra = Json::object()) {
    std::string tab = open_tab(serial_session("COM3", std::move(extra)));
    EXPECT_TRUE(page.wait_for(connected_script(tab)));
    EXPECT_TRUE(eventually([&] { return port(tab) != nullptr; }));
    return tab;
  }
  // The call log without the reader's polling.
  std::vector<std::string> line_calls() {
    std::vector<std::string> out;
    for (auto& c : fake->log())
      if (c != "ReadFile(4096)") out.push_back(c);
    return out;
  }
  bool call_op(const std::string& op, const Json& tab) { return app->bridge.call(op, Json::array({tab})).get<bool>(); }
  // The reset worker has finished: only the tab's own thread is left.
  bool reset_done() { return eventually([&] { return app->live_threads() == 1; }); }

  std::shared_ptr<GatedCommApi> fake;
};

const std::vector<std::string> kHardReset = {
    "GetCommState",          "GetCommState",          "SetCommState", "EscapeCommFunction(6)",
    "EscapeCommFunction(3)", "sleep 0.1",             "EscapeCommFunction(4)", "sleep 0.05",
    "EscapeCommFunction(5)", "EscapeCommFunction(3)", "SetCommState"};
const std::vector<std::string> kBootloader = {
    "GetCommState",          "GetCommState",          "SetCommState", "EscapeCommFunction(6)",
    "EscapeCommFunction(3)", "sleep 0.1",             "EscapeCommFunction(5)", "EscapeCommFunction(4)",
    "sleep 0.05",            "EscapeCommFunction(3)", "SetCommState"};

TEST_F(SerialTabFake, HardResetDrivesTheTabsPortAndPutsTheHandshakeBack) {
  std::string tab = open_com3({{"serial_flow", "R"}});
  const serial::Dcb before = fake->state;
  ASSERT_EQ(before.fRtsControl, 2);
  fake->clear_log();
  StderrCapture err;
  ASSERT_TRUE(call_op("hard_reset_esp", tab));
  ASSERT_TRUE(reset_done());
  EXPECT_EQ(line_calls(), kHardReset);
  auto calls = fake->calls();
  std::vector<serial::Dcb> written;
  for (auto& c : calls)
    if (c.text == "SetCommState") written.push_back(c.dcb);
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0].fRtsControl, 1);  // lines by hand for the duration
  EXPECT_EQ(written[0].fOutxCtsFlow, 0);
  EXPECT_EQ(written[1], before);  // and the handshake back afterwards
  std::string log = err.take();
  EXPECT_NE(log.find("[esp_reset:hard_reset] dispatching to worker thread\n"), std::string::npos) << log;
  EXPECT_NE(log.find("[serial.reset] hard_reset begin\n"), std::string::npos);
  EXPECT_NE(log.find("[esp_reset:hard_reset] done\n"), std::string::npos);
  // The reader kept polling throughout, and the tab stays connected.
  EXPECT_TRUE(port(tab)->is_open());
}

TEST_F(SerialTabFake, EnterBootloaderAnswersBeforeAnyLineMoves) {
  std::string tab = open_com3();
  fake->feed("before\r\n");
  drain_until(tab, "before\r\n");
  fake->clear_log();
  fake->arm();
  ASSERT_TRUE(call_op("enter_bootloader_esp", tab));
  ASSERT_TRUE(eventually([&] { return fake->waiting(); }));
  EXPECT_TRUE(line_calls().empty());
  // Bytes keep flowing while the sequence is held.
  fake->feed("during\r\n");
  EXPECT_EQ(drain_until(tab, "during\r\n"), "during\r\n");
  fake->release();
  ASSERT_TRUE(reset_done());
  EXPECT_EQ(line_calls(), kBootloader);
}

TEST_F(SerialTabFake, ResetWithoutAnOpenPortAnswersFalseAndStartsNothing) {
  StderrCapture err;
  EXPECT_FALSE(call_op("hard_reset_esp", "nope1234"));
  EXPECT_FALSE(call_op("enter_bootloader_esp", 42));

  // A tab of another kind.
  std::string other = open_tab({{"name", "x"}, {"protocol", "gopher"}});
  ASSERT_TRUE(page.wait_for("Protocol GOPHER"));
  EXPECT_FALSE(call_op("hard_reset_esp", other));

  // A serial tab whose port never opened.
  fake->refuse("CreateFile", 2);
  std::string lost = open_tab(serial_session("COM9"));
  ASSERT_TRUE(page.wait_for(info_script(lost, "info.serial_disconnect", {{"com", "COM9"}})));
  EXPECT_FALSE(call_op("enter_bootloader_esp", lost));
  EXPECT_TRUE(serial_kind()->_esp_reset_funcs(lost).empty());
  EXPECT_TRUE(serial_kind()->_esp_reset_funcs("nope1234").empty());
  EXPECT_TRUE(eventually([&] { return app->live_threads() == 1; }));  // only the waiting tab's own thread

  app->close_tab(lost);
  EXPECT_FALSE(call_op("hard_reset_esp", lost));
  std::string log = err.take();
  EXPECT_NE(log.find("[esp_reset:hard_reset] tab nope1234 not found\n"), std::string::npos) << log;
  EXPECT_NE(log.find("[esp_reset:enter_bootloader] tab 42 not found\n"), std::string::npos);
  EXPECT_NE(log.find("[esp_reset:hard_reset] ser=None open=None\n"), std::string::npos);
  EXPECT_NE(log.find("[esp_reset:hard_reset] tab " + lost + " not found\n"), std::string::npos);
  EXPECT_EQ(log.find("dispatching"), std::string::npos);
}

TEST_F(SerialTabFake, AFailedSequenceIsLoggedAndTheLinesRestored) {
  std::string tab = open_com3();
  const serial::Dcb before = fake->state;
  fake->refuse("EscapeCommFunction", 50, 1);
  fake->refuse("DeviceIoControl", 50);
  StderrCapture err;
  ASSERT_TRUE(call_op("hard_reset_esp", tab));
  ASSERT_TRUE(reset_done());
  std::string log = err.take();
  EXPECT_NE(log.find("[esp_reset:hard_reset] modem ctrl failed: EscapeCommFunction err=50, DeviceIoControl err=50\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("[esp_reset:hard_reset] done"), std::string::npos);
  EXPECT_EQ(fake->state, before);
  EXPECT_TRUE(port(tab)->is_open());
}

TEST_F(SerialTabFake, ThirtyFailedReadsAreRiddenOutAndTheThirtyFirstReopensThePort) {
  StderrCapture err;
  std::string tab = open_com3();
  drain_until(tab, "---\r\n");
  auto first = port(tab);
  auto funcs = serial_kind()->_esp_reset_funcs(tab);
  std::vector<std::string> keys;
  for (auto& [k, f] : funcs) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"enter_bootloader_uart", "enter_bootloader_usb", "hard_reset"}));

  fake->refuse("ReadFile", 1167, 0, 30);
  fake->feed("still here\r\n");
  EXPECT_EQ(drain_until(tab, "\r\n"), "still here\r\n");
  EXPECT_EQ(port(tab), first);
  const std::string lost = info_script(tab, "info.serial_disconnect", {{"com", "COM3"}});
  EXPECT_EQ(page.count(lost), 0u);

  fake->refuse("ReadFile", 1167, 0, 31);
  ASSERT_TRUE(page.wait_for(lost, 20));
  ASSERT_TRUE(page.wait_for(info_script(tab, "info.serial_reconnected", {{"com", "COM3"}, {"baud", 115200}}), 20));
  ASSERT_TRUE(eventually([&] { return port(tab) != nullptr; }));
  EXPECT_NE(port(tab), first);
  EXPECT_FALSE(first->is_open());
  fake->feed("back\r\n");
  EXPECT_EQ(drain_until(tab, "back\r\n"), "back\r\n");

  // The actions made before the loss still drive the old, closed port: they fail at once.
  EXPECT_THROW(funcs["hard_reset"](), serial::SerialError);
  fake->clear_log();
  serial_kind()->_esp_reset_funcs(tab)["enter_bootloader_usb"]();
  std::vector<std::string> usb = line_calls();
  EXPECT_EQ(usb, (std::vector<std::string>{"GetCommState", "GetCommState", "SetCommState", "EscapeCommFunction(6)",
                                           "EscapeCommFunction(4)", "sleep 0.1", "EscapeCommFunction(5)",
                                           "EscapeCommFunction(4)", "sleep 0.1", "EscapeCommFunction(3)",
                                           "EscapeCommFunction(6)", "EscapeCommFunction(3)", "sleep 0.1",
                                           "EscapeCommFunction(6)", "EscapeCommFunction(4)", "SetCommState"}));

  std::string log = err.take();
  EXPECT_NE(log.find("[serial] read err #30: ReadFile failed: [WinError 1167] The device is not connected.\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("[serial] read err #31: "), std::string::npos);
  EXPECT_EQ(log.find("[serial] read err #32: "), std::string::npos);
  EXPECT_NE(log.find("[serial] too many errors, will try to reopen\n"), std::string::npos);
  EXPECT_NE(log.find("[serial] reopen OK (handle=500) after 1 attempts\n"), std::string::npos);
}

TEST_F(SerialTabFake, BytesWaitingAtOpenAreShownRightAfterTheConnectedLine) {
  fake->feed("ESP-ROM:esp32s3\r\nboot:0x8 \xE2\x9C\x93\r\n");
  StderrCapture err;
  std::string tab = open_com3();
  std::string shown = drain_until(tab, "\xE2\x9C\x93\r\n");
  EXPECT_EQ(shown, connected_line("COM3", 115200) + "ESP-ROM:esp32s3\r\nboot:0x8 \xE2\x9C\x93\r\n");
  std::string log = err.take();
  EXPECT_NE(log.find("[serial] sync read in open thread: 31 bytes  b'ESP-ROM:esp32s3\\r\\nboot:0x8 \\xe2\\x9c\\x93\\r\\n'\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("[serial] opening COM3 @ 115200 bps  bits=8 parity=N stop=1 flow=N encoding=utf-8 (Win32 backend)\n"),
            std::string::npos);
  EXPECT_NE(log.find("[serial] COM3 open OK (handle=500) thread=serial-" + tab + "\n"), std::string::npos);
}

TEST_F(SerialTabFake, AFailedProbeReadStillConnects) {
  fake->refuse("ReadFile", 1167, 0, 1);
  StderrCapture err;
  std::string tab = open_com3();
  fake->feed("ok\r\n");
  EXPECT_EQ(drain_until(tab, "ok\r\n"), connected_line("COM3", 115200) + "ok\r\n");
  EXPECT_NE(err.take().find("[serial] sync read in open thread FAILED: ReadFile failed: [WinError 1167]"),
            std::string::npos);
}

TEST_F(SerialTabFake, AnEmptyPortNameIsAnErrorAndLeavesNothingRunning) {
  std::string tab = open_tab(serial_session("   "));
  ASSERT_TRUE(page.wait_for(info_script(tab, "err.fill_com_port", {}, true)));
  EXPECT_TRUE(app->wait_threads(5));
  EXPECT_FALSE(app->get_runtime_state()["tabs"][0]["alive"].get<bool>());
  EXPECT_TRUE(fake->log().empty());
}

TEST_F(SerialTabFake, SessionLineSettingsReachThePort) {
  struct Case {
    Json sess;
    std::string device;
    long long baud;
    serial::Dcb expect;
  };
  auto dcb = [](std::uint32_t baud, std::uint8_t bits, std::uint8_t parity, std::uint8_t stop, int flow) {
    serial::Dcb d;
    d.BaudRate = baud;
    d.ByteSize = bits;
    d.Parity = parity;
    d.fParity = parity != 0;
    d.StopBits = stop;
    d.fOutxCtsFlow = flow == 'R';
    d.fRtsControl = flow == 'R' ? 2 : 1;
    d.fOutxDsrFlow = flow == 'D';
    d.fDtrControl = flow == 'D' ? 2 : 1;
    d.fOutX = d.fInX = flow == 'X';
    return d;
  };
  const std::vector<Case> cases = {
      {{{"host", " COM7 "}, {"port", "fast"}}, "\\\\.\\COM7", 9600, dcb(9600, 8, 0, 0, 'N')},
      {{{"host", "COM3"}, {"port", 0}}, "\\\\.\\COM3", 9600, dcb(9600, 8, 0, 0, 'N')},
      {{{"host", "COM3"}, {"port", nullptr}, {"serial_flow", "Q"}}, "\\\\.\\COM3", 9600, dcb(9600, 8, 0, 0, 'N')},
      {{{"host", "COM3"},
        {"port", " 115200 "},
        {"serial_bits", "7"},
        {"serial_parity", "e"},
        {"serial_stop", "2"},
        {"serial_flow", "R"}},
       "\\\\.\\COM3",
       115200,
       dcb(115200, 7, 2, 2, 'R')},
      {{{"host", "/dev/ttyUSB0"}, {"port", 921600}, {"serial_stop", 1.5}, {"serial_flow", "X"}},
       "\\\\.\\/dev/ttyUSB0",
       921600,
       dcb(921600, 8, 0, 1, 'X')},
      {{{"host", "COM12"}, {"port", 57600.0}, {"serial_bits", 6}, {"serial_parity", "X"}, {"serial_flow", "D"}},
       "\\\\.\\COM12",
       57600,
       dcb(57600, 6, 0, 0, 'D')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(json::dump_line(c.sess, false));
    auto api = std::make_shared<RecordingCommApi>();
    serial_kind()->port_factory = [api](const SerialParams& p) { return std::make_shared<Win32Serial>(p, api); };
    kinds::SerialKind::SerialOpened opened = serial_kind()->_serial_open(c.sess);
    EXPECT_EQ(opened.com, text::trim(c.sess["host"].get<std::string>()));
    EXPECT_EQ(opened.baud, c.baud);
    EXPECT_EQ(api->log().front(), "CreateFile(" + c.device + ")");
    EXPECT_EQ(api->state, c.expect);
  }
  serial_kind()->port_factory = [](const SerialParams& p) {
    return std::make_shared<Win32Serial>(p, std::make_shared<RecordingCommApi>());
  };
  try {
    serial_kind()->_serial_open({{"host", "COM3"}, {"serial_bits", "eight"}});
    ADD_FAILURE() << "opened with data bits 'eight'";
  } catch (const serial::SerialError& e) {
    EXPECT_STREQ(e.what(), "invalid data bits: eight");
  }
}

TEST_F(SerialTabFake, ListsTheMachinesPortsWithTheirDescriptions) {
  Json ports = app->bridge.call("serial_list_ports", Json::array());
  ASSERT_TRUE(ports.is_array());
  auto expected = serial::list_ports();
  ASSERT_EQ(ports.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(ports[i], (Json{{"port", expected[i].port}, {"description", expected[i].description}}));
    EXPECT_FALSE(ports[i]["description"].get<std::string>().empty());
  }
  EXPECT_THROW(app->bridge.call("hard_reset_esp", Json::array()), BridgeError);
}

}  // namespace
}  // namespace morvane::testing
