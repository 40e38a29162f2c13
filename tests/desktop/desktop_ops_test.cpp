// The application's window chrome and desktop services against a recording host: logo data
// URLs, the tray image and its fallback, links, the clipboard, dialogs, the dark title bar.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "app/morvane_app.h"
#include "platform/image_files.h"
#include "platform/window_chrome.h"
#include "util/base64.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

void write_bytes(const fs::path& p, const std::string& s) {
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary);
  f << s;
}

std::string read_bytes(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// A 1x1 PNG wrapped as the single image of an icon file.
std::string tiny_ico() {
  std::string png = platform::solid_png(1, 1, 1, 2, 3);
  std::string ico("\0\0\1\0\1\0", 6);
  std::string entry(16, '\0');
  entry[0] = 1;
  entry[1] = 1;
  entry[4] = 1;
  entry[6] = 32;
  uint32_t size = static_cast<uint32_t>(png.size()), offset = 22;
  for (int i = 0; i < 4; ++i) {
    entry[8 + i] = static_cast<char>(size >> (8 * i));
    entry[12 + i] = static_cast<char>(offset >> (8 * i));
  }
  return ico + entry + png;
}

class FakeHost : public Host {
 public:
  bool exists() override { return true; }
  void evaluate(const std::string&) override {}
  void create_window(const WindowSpec& s, Bridge&, std::function<bool()>) override { spec = s; }
  void run_loop() override {
    // Stay "open" until the dark title bar was asked for (or a generous limit passes).
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!titlebar_asked && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  bool start_tray(const TrayMenu& m) override {
    menu = m;
    return false;
  }
  std::optional<std::string> read_clipboard(double timeout) override {
    clipboard_timeout = timeout;
    if (clipboard_throws) throw std::runtime_error("no clipboard here");
    return clipboard;
  }
  bool open_url(const std::string& url) override {
    opened.push_back(url);
    return open_result;
  }
  std::optional<std::string> open_file_dialog(const std::string& title, const std::vector<FileFilter>& filters,
                                              double timeout) override {
    dialog_title = title;
    dialog_filters = filters;
    dialog_timeout = timeout;
    return std::string("/home/user/key.ppk");
  }
  std::optional<std::string> choose_folder_dialog(const std::string& title, double timeout) override {
    dialog_title = title;
    throw std::runtime_error("toolkit gone");
  }

  WindowSpec spec;
  TrayMenu menu;
  std::optional<std::string> clipboard;
  bool clipboard_throws = false;
  double clipboard_timeout = 0;
  std::vector<std::string> opened;
  bool open_result = true;
  std::string dialog_title;
  std::vector<FileFilter> dialog_filters;
  double dialog_timeout = 0;
  std::atomic<bool> titlebar_asked{false};
};

struct DesktopOps : ::testing::Test {
  fs::path dir;
  FakeHost host;
  std::unique_ptr<MorvaneApp> app;

  void SetUp() override {
    char tmpl[] = "/tmp/morvane-desktop-XXXXXX";
    dir = mkdtemp(tmpl);
    write_bytes(res() / "html" / "index.html", "<html><head></head></html>");
  }
  void TearDown() override {
    app.reset();
    platform::set_dark_titlebar_handler({});
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  fs::path res() const { return dir / "res"; }
  fs::path images() const { return res() / "格式範本"; }
  MorvaneApp& make(bool attach = true) {
    app = std::make_unique<MorvaneApp>(QueueMap{}, EventMap{}, dir / "data", res());
    if (attach) app->set_window(&host);
    return *app;
  }
};

TEST_F(DesktopOps, images_are_data_urls_of_the_files_or_empty_text) {
  MorvaneApp& a = make();
  Json none = a.bridge.call("get_images", Json::array());
  EXPECT_EQ(none, Json::parse(R"({"logo": "", "logo_ico": ""})"));

  std::string png = platform::solid_png(2, 2, 9, 9, 9), ico = tiny_ico();
  write_bytes(images() / "logo.png", png);
  write_bytes(images() / "logo.ico", ico);
  Json both = a.get_images();
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both["logo"], "data:image/png;base64," + base64::encode(png));
  EXPECT_EQ(both["logo_ico"], "data:image/x-icon;base64," + base64::encode(ico));
  EXPECT_EQ(base64::decode(both["logo"].get<std::string>().substr(22)), png);

  // Something that cannot be read as a file gives "" for its key only.
  fs::remove(images() / "logo.png");
  fs::create_directories(images() / "logo.png");
  Json partial = a.get_images();
  EXPECT_EQ(partial["logo"], "");
  EXPECT_EQ(partial["logo_ico"], "data:image/x-icon;base64," + base64::encode(ico));
}

TEST(ImageFiles, data_url_types_follow_the_last_extension_in_lower_case) {
  EXPECT_EQ(platform::image_data_url("LOGO.PNG", "ab"), "data:image/png;base64,YWI=");
  EXPECT_EQ(platform::image_data_url("a.b.ICO", ""), "data:image/x-icon;base64,");
  EXPECT_EQ(platform::image_data_url("photo.jpeg", "a"), "data:image/jpeg;base64,YQ==");
}

// The pixels of a PNG written with stored deflate blocks, as RGB bytes.
std::string stored_png_pixels(const std::string& png, int* w, int* h) {
  auto be32 = [&](size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(png[at])) << 24 | static_cast<uint32_t>(static_cast<uint8_t>(png[at + 1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(png[at + 2])) << 8 | static_cast<uint8_t>(png[at + 3]);
  };
  if (png.compare(0, 8, std::string("\x89PNG\r\n\x1a\n", 8)) != 0) return {};
  size_t at = 8;
  std::string z;
  while (at + 8 <= png.size()) {
    uint32_t len = be32(at);
    std::string type = png.substr(at + 4, 4);
    if (type == "IHDR") {
      *w = static_cast<int>(be32(at + 8));
      *h = static_cast<int>(be32(at + 12));
      if (png[at + 16] != 8 || png[at + 17] != 2) return {};
    } else if (type == "IDAT") {
      z += png.substr(at + 8, len);
    }
    at += 12 + len;
  }
  std::string raw;
  size_t p = 2;
  while (p < z.size()) {
    bool last = z[p] & 1;
    size_t n = static_cast<uint8_t>(z[p + 1]) | static_cast<uint8_t>(z[p + 2]) << 8;
    raw += z.substr(p + 5, n);
    p += 5 + n;
    if (last) break;
  }
  std::string rgb;
  size_t stride = 1 + 3 * static_cast<size_t>(*w);
  for (int y = 0; y < *h; ++y) rgb += raw.substr(y * stride + 1, stride - 1);
  return rgb;
}

TEST_F(DesktopOps, the_tray_image_is_the_icon_file_or_a_plain_0F1521_square) {
  MorvaneApp& a = make();
  auto check_square = [&](const std::string& path) {
    ASSERT_FALSE(path.empty());
    int w = 0, h = 0;
    std::string rgb = stored_png_pixels(read_bytes(path), &w, &h);
    EXPECT_EQ(w, 64);
    EXPECT_EQ(h, 64);
    ASSERT_EQ(rgb.size(), 64u * 64u * 3u);
    for (size_t i = 0; i < rgb.size(); i += 3) {
      ASSERT_EQ(static_cast<uint8_t>(rgb[i]), 0x0F);
      ASSERT_EQ(static_cast<uint8_t>(rgb[i + 1]), 0x15);
      ASSERT_EQ(static_cast<uint8_t>(rgb[i + 2]), 0x21);
    }
  };
  check_square(a.make_icon());  // no icon file

  write_bytes(images() / "logo.ico", "this is not an icon");
  std::string fallback = a.make_icon();
  EXPECT_NE(fallback, (images() / "logo.ico").string());
  check_square(fallback);

  write_bytes(images() / "logo.ico", tiny_ico());
  EXPECT_EQ(a.make_icon(), (images() / "logo.ico").string());
}

TEST(ImageFiles, icon_files_are_recognised_only_when_their_first_image_is_inside) {
  std::string ico = tiny_ico();
  EXPECT_TRUE(platform::is_ico_image(ico));
  EXPECT_FALSE(platform::is_ico_image(""));
  EXPECT_FALSE(platform::is_ico_image(ico.substr(0, ico.size() - 1)));  // image runs past the end
  std::string cursor = ico;
  cursor[2] = 2;  // a cursor file, not an icon
  EXPECT_FALSE(platform::is_ico_image(cursor));
  std::string none = ico;
  none[4] = 0;  // no images
  EXPECT_FALSE(platform::is_ico_image(none));
  std::string junk = ico;
  junk[22] = 'X';  // neither PNG nor bitmap at the offset
  EXPECT_FALSE(platform::is_ico_image(junk));

  // A bitmap entry: BITMAPINFOHEADER (40 bytes) with a size.
  std::string bmp(40, '\0');
  bmp[0] = 40;
  bmp[4] = 16;
  bmp[8] = 32;
  std::string bico = ico.substr(0, 22) + bmp;
  for (int i = 0; i < 4; ++i) bico[6 + 8 + i] = static_cast<char>(40 >> (8 * i));
  EXPECT_TRUE(platform::is_ico_image(bico));
}

TEST_F(DesktopOps, open_url_refuses_empty_text_and_otherwise_asks_the_host) {
  MorvaneApp& a = make();
  EXPECT_EQ(a.bridge.call("open_url", Json::array({""})), false);
  EXPECT_TRUE(host.opened.empty());
  EXPECT_EQ(a.bridge.call("open_url", Json::array({"https://example.org/a b?c=1"})), true);
  ASSERT_EQ(host.opened.size(), 1u);
  EXPECT_EQ(host.opened[0], "https://example.org/a b?c=1");  // not checked or altered
  host.open_result = false;
  EXPECT_EQ(a.open_url("mailto:x@example.org"), false);
  EXPECT_THROW(a.bridge.call("open_url", Json::array({42})), BridgeError);

  MorvaneApp headless(QueueMap{}, EventMap{}, dir / "data2", res());
  EXPECT_FALSE(headless.open_url("https://example.org"));
}

TEST_F(DesktopOps, the_clipboard_is_read_within_five_seconds_and_failures_give_empty_text) {
  MorvaneApp& a = make();
  host.clipboard = "ls -la\n";
  EXPECT_EQ(a.bridge.call("read_clipboard", Json::array()), "ls -la\n");
  EXPECT_EQ(host.clipboard_timeout, 5.0);
  host.clipboard.reset();  // an image, or nothing, on the clipboard
  EXPECT_EQ(a.read_clipboard(), "");
  host.clipboard_throws = true;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(a.read_clipboard(), "");
  EXPECT_NE(::testing::internal::GetCapturedStdout().find("[read_clipboard] no clipboard here"), std::string::npos);
}

TEST_F(DesktopOps, dialogs_reach_the_host_and_answer_cancelled_without_one) {
  MorvaneApp& a = make();
  std::vector<FileFilter> filters = {{"Private keys", {"*.ppk", "*.pem"}}, {"All files", {"*"}}};
  EXPECT_EQ(a.services().open_file("Choose private key", filters, 180), "/home/user/key.ppk");
  EXPECT_EQ(host.dialog_title, "Choose private key");
  ASSERT_EQ(host.dialog_filters.size(), 2u);
  EXPECT_EQ(host.dialog_filters[0].patterns[1], "*.pem");
  EXPECT_EQ(host.dialog_timeout, 180);
  // The default host answers "cancelled" at once, as the browser host does.
  EXPECT_FALSE(a.services().open_files("Choose files to send", {}, 300).has_value());
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(a.services().choose_folder("Choose folder", 180).has_value());
  EXPECT_NE(::testing::internal::GetCapturedStdout().find("[dialog] toolkit gone"), std::string::npos);

  MorvaneApp headless(QueueMap{}, EventMap{}, dir / "data2", res());
  EXPECT_FALSE(headless.services().open_file("x", {}, 1).has_value());
}

TEST_F(DesktopOps, the_dark_title_bar_is_asked_for_by_title_and_failures_are_absorbed) {
  MorvaneApp& a = make();
  std::vector<std::string> titles;
  platform::set_dark_titlebar_handler([&](const std::string& t) -> bool {
    titles.push_back(t);
    throw std::runtime_error("no window manager");
  });
  EXPECT_NO_THROW(a._apply_dark_titlebar());
  ASSERT_EQ(titles.size(), 1u);
  EXPECT_EQ(titles[0], "Morvane");
  platform::set_dark_titlebar_handler({});
  EXPECT_FALSE(platform::apply_dark_titlebar("Morvane"));
}

TEST_F(DesktopOps, waiting_for_output_answers_the_tabs_that_have_some) {
  MorvaneApp& a = make();
  a.connect_delay_sec = 0;
  auto open = [&](const std::string& command) {
    Json sess = Json::object();
    sess["protocol"] = "conpty";
    sess["conpty_shell"] = "custom";
    sess["conpty_custom_command"] = command;
    std::string sid = a.save_session(sess)["id"].get<std::string>();
    return a.connect_session(Json(sid))["tab_id"].get<std::string>();
  };
  std::string quiet = open("exec sleep 30");
  std::string chatty = open("sleep 0.3; echo ready; exec sleep 30");
  Json both = Json::array({quiet, chatty, "no-such-tab"});

  // Nothing yet: the call waits out its time and answers no tab.
  EXPECT_EQ(a.bridge.call("wait_terminal_output", Json::array({Json::array({quiet}), 0.2})), Json::array());
  // Output arrives while waiting: only the tab that has some is named.
  Json ready;
  for (int i = 0; i < 20 && !ready.is_array(); ++i) {
    Json r = a.wait_terminal_output(both, 5.0);
    if (r == Json::array({chatty})) ready = r;
  }
  EXPECT_EQ(ready, Json::array({chatty}));
  EXPECT_NE(a.drain_terminal(chatty).find("ready"), std::string::npos);

  EXPECT_THROW(a.bridge.call("wait_terminal_output", Json::array({"not a list"})), BridgeError);
  EXPECT_THROW(a.bridge.call("wait_terminal_output", Json::array({Json::array(), -1})), BridgeError);
  // Quitting ends every wait at once.
  a._stop = true;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(a.wait_terminal_output(Json::array({quiet}), 5.0), Json::array());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

TEST_F(DesktopOps, run_gives_the_tray_its_image_and_darkens_the_title_bar_after_start) {
  write_bytes(images() / "logo.ico", tiny_ico());
  MorvaneApp& a = make(false);
  std::atomic<int> calls{0};
  platform::set_dark_titlebar_handler([&](const std::string& t) {
    calls++;
    host.titlebar_asked = true;
    return t == "Morvane";
  });
  auto started = std::chrono::steady_clock::now();
  a.run(host);
  EXPECT_EQ(calls.load(), 1);
  // Not before the page had its moment (0.6 s after the window).
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
  EXPECT_EQ(host.menu.icon_path, (images() / "logo.ico").string());
  EXPECT_EQ(host.spec.icon_path, (images() / "logo.ico").string());
  EXPECT_EQ(host.menu.show_text, "Show window");
  EXPECT_EQ(host.menu.quit_text, "Quit");
  EXPECT_EQ(host.spec.background, "#0d0f14");
  EXPECT_EQ(host.spec.min_width, 600);
  EXPECT_EQ(host.spec.min_height, 400);
}

}  // namespace
}  // namespace morvane
