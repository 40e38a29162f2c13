// PuTTY's stored sessions: name decoding, the Unix session files, the mapping of every value
// into a session record, the release probe, and a cross-check against plink's own reading.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "peer.h"
#include "putty/putty_import.h"
#include "putty/putty_store.h"

extern char** environ;

namespace morvane::putty {
namespace {

namespace fs = std::filesystem;

struct Tmp {
  fs::path path;
  Tmp() {
    char tmpl[] = "/tmp/morvane-putty-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~Tmp() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

void write(const fs::path& p, const std::string& s) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << s;
}

// PuTTY's Unix store names a session file by escaping every byte outside [A-Za-z0-9+-.@_].
std::string putty_file_name(const std::string& name) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if (std::isalnum(c) || c == '+' || c == '-' || c == '.' || c == '@' || c == '_') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

TEST(PuttyNames, PercentEscapesDecodeAsUtf8AndEverythingElseStays) {
  EXPECT_EQ(_unescape_putty_name("my%20box"), "my box");
  EXPECT_EQ(_unescape_putty_name("a+b"), "a+b");
  EXPECT_EQ(_unescape_putty_name("%E6%A9%9F%E6%88%BF"), "機房");
  EXPECT_EQ(_unescape_putty_name("%e6%a9%9f"), "機");
  // Not an escape: kept as it is.
  EXPECT_EQ(_unescape_putty_name("100%"), "100%");
  EXPECT_EQ(_unescape_putty_name("%zz%4"), "%zz%4");
  // Bytes that are not UTF-8 become the replacement character.
  EXPECT_EQ(_unescape_putty_name("x%FFy"), "x\xEF\xBF\xBDy");
  EXPECT_EQ(_unescape_putty_name(putty_file_name("Default Settings")), "Default Settings");
}

TEST(PuttySessionFile, KeepsTheElevenValuesWithNumbersAsIntegers) {
  std::string file =
      "HostName=router.lan\nProtocol=telnet\nUserName=admin\nPublicKeyFile=/home/u/k.ppk\n"
      "PortNumber=2323\nCompression=1\nTerminalType=vt100\nSerialLine=/dev/ttyUSB0\n"
      "SerialSpeed=115200\nLFImpliesCR=0\nCRImpliesLF=1\nCloseOnExit=1\nWinTitle=x=y\n";
  Json r = parse_session_file("lab%20router", file);
  Json want = {{"name", "lab router"},   {"HostName", "router.lan"}, {"Protocol", "telnet"},
               {"UserName", "admin"},    {"PublicKeyFile", "/home/u/k.ppk"},
               {"PortNumber", 2323},     {"Compression", 1},         {"TerminalType", "vt100"},
               {"SerialLine", "/dev/ttyUSB0"}, {"SerialSpeed", 115200}, {"LFImpliesCR", 0},
               {"CRImpliesLF", 1}};
  EXPECT_EQ(r, want);
  // Keys come in the fixed order, whatever the file's order.
  std::vector<std::string> keys;
  for (auto& [k, v] : r.items()) keys.push_back(k);
  ASSERT_EQ(keys.size(), 12u);
  for (size_t i = 0; i < kValueNames.size(); ++i) EXPECT_EQ(keys[i + 1], kValueNames[i]);
}

TEST(PuttySessionFile, OddLinesAreToleratedAndNothingIsInvented) {
  // CR LF endings, a value holding '=', a repeated key (the first wins, as in PuTTY), a line
  // without '=', a number that is not one, an empty text and no final line feed.
  Json r = parse_session_file("x", "HostName=h=1\r\nHostName=other\ngarbage\nPortNumber=ssh\nUserName=\nCompression=7");
  EXPECT_EQ(r["HostName"], "h=1");
  EXPECT_EQ(r["PortNumber"], "ssh");
  EXPECT_EQ(r["UserName"], "");
  EXPECT_EQ(r["Compression"], 7);
  EXPECT_FALSE(r.contains("Protocol"));
  EXPECT_EQ(parse_session_file("empty", ""), (Json{{"name", "empty"}}));
  // Invalid UTF-8 in a value is replaced, never passed on.
  EXPECT_EQ(parse_session_file("x", "HostName=a\xFF")["HostName"], "a\xEF\xBF\xBD");
}

// Every key of the session record against the raw record it came from.
TEST(PuttyMapping, EveryKeyFollowsTheTable) {
  Json raw = {{"name", "lab"},         {"HostName", "10.0.0.5"}, {"Protocol", "Telnet"},
              {"UserName", "ops"},     {"PublicKeyFile", "C:\\k.ppk"}, {"PortNumber", 2323},
              {"Compression", 1},      {"TerminalType", "vt220"},      {"SerialLine", "COM3"},
              {"SerialSpeed", 9600},   {"LFImpliesCR", 1},             {"CRImpliesLF", 1}};
  Json s = to_session_record(raw, "Imported from PuTTY");
  std::vector<std::string> keys;
  for (auto& [k, v] : s.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"id", "name", "protocol", "host", "port", "username", "password",
                                            "private_key", "compression", "agent_forwarding", "ip_version",
                                            "port_forwards", "line_code_page", "terminal_type", "keepalive_sec",
                                            "lfhascr", "crhaslf"}));
  EXPECT_TRUE(std::regex_match(s["id"].get<std::string>(), std::regex("[0-9a-f]{12}4[0-9a-f]{3}[89ab][0-9a-f]{15}")));
  EXPECT_EQ(s["name"], "lab");
  EXPECT_EQ(s["protocol"], "telnet");
  EXPECT_EQ(s["host"], "10.0.0.5");
  EXPECT_EQ(s["port"], 2323);
  EXPECT_EQ(s["username"], "ops");
  EXPECT_EQ(s["password"], "");
  EXPECT_EQ(s["private_key"], "C:\\k.ppk");
  EXPECT_EQ(s["compression"], true);
  EXPECT_EQ(s["agent_forwarding"], false);
  EXPECT_EQ(s["ip_version"], "auto");
  EXPECT_EQ(s["port_forwards"], Json::array());
  EXPECT_EQ(s["line_code_page"], "utf-8");
  EXPECT_EQ(s["terminal_type"], "xterm-256color");  // PuTTY's terminal type is not carried over
  EXPECT_EQ(s["keepalive_sec"], 30);
  EXPECT_EQ(s["lfhascr"], true);
  EXPECT_EQ(s["crhaslf"], true);
  EXPECT_NE(to_session_record(raw, "")["id"], s["id"]);
}

TEST(PuttyMapping, MissingAndOddValuesTakeTheirDefaults) {
  Json s = to_session_record(Json{{"name", ""}}, "Imported from PuTTY");
  EXPECT_EQ(s["name"], "Imported from PuTTY");
  EXPECT_EQ(s["protocol"], "ssh");
  EXPECT_EQ(s["host"], "");
  EXPECT_EQ(s["port"], 22);
  EXPECT_EQ(s["username"], "");
  EXPECT_EQ(s["private_key"], "");
  EXPECT_EQ(s["compression"], false);
  EXPECT_EQ(s["lfhascr"], false);
  EXPECT_EQ(s["crhaslf"], false);
  // A record without any name is named the same way.
  EXPECT_EQ(to_session_record(Json::object(), "從 PuTTY 匯入")["name"], "從 PuTTY 匯入");

  EXPECT_EQ(to_session_record(Json{{"Protocol", "SSH"}}, "")["protocol"], "ssh");
  EXPECT_EQ(to_session_record(Json{{"Protocol", "mosh"}}, "")["protocol"], "ssh");
  EXPECT_EQ(to_session_record(Json{{"Protocol", ""}}, "")["protocol"], "ssh");
  for (const char* p : {"raw", "serial", "telnet-serial", "rlogin", "supdup", "conpty"})
    EXPECT_EQ(to_session_record(Json{{"Protocol", p}}, "")["protocol"], p);
  EXPECT_EQ(to_session_record(Json{{"PortNumber", "not a port"}}, "")["port"], 22);
  EXPECT_EQ(to_session_record(Json{{"PortNumber", "2200"}}, "")["port"], 2200);
  EXPECT_EQ(to_session_record(Json{{"Compression", 0}}, "")["compression"], false);

  // Serial: the line is the host when there is no host name; the port is PuTTY's PortNumber,
  // not SerialSpeed.
  Json serial = to_session_record(
      Json{{"Protocol", "serial"}, {"HostName", ""}, {"SerialLine", "/dev/ttyS1"}, {"SerialSpeed", 115200}}, "");
  EXPECT_EQ(serial["protocol"], "serial");
  EXPECT_EQ(serial["host"], "/dev/ttyS1");
  EXPECT_EQ(serial["port"], 22);

  EXPECT_THROW(to_session_record(Json("lab"), ""), std::invalid_argument);
  EXPECT_THROW(to_session_record(Json::array(), ""), std::invalid_argument);
}

TEST(PuttyReleaseProbe, FindsTheDottedReleaseOrNothing) {
  Tmp t;
  EXPECT_EQ(_read_putty_version(t.path), "");  // no version.h
  write(t.path / "version.h", "/* Generated */\n#define TEXTVER \"Release 0.81\"\n#define  RELEASE\t0.81\n");
  EXPECT_EQ(_read_putty_version(t.path), "0.81");
  write(t.path / "version.h", "#define SNAPSHOT 2024-01-01\n#define RELEASE snapshot\n");
  EXPECT_EQ(_read_putty_version(t.path), "");
  fs::remove(t.path / "version.h");
  fs::create_directory(t.path / "version.h");  // a folder is not the file
  EXPECT_EQ(_read_putty_version(t.path), "");
}

TEST(PuttyUnixStore, ListsEveryFileInNameOrderAndLeavesOutWhatIsNoSession) {
  Tmp t;
  fs::path dir = t.path / "sessions";
  write(dir / "Default%20Settings", "Protocol=ssh\n");
  write(dir / "b%25box", "HostName=b\n");
  write(dir / "a-box", "HostName=a\nPortNumber=2022\n");
  write(dir / ".a-box.swp", "HostName=editor\n");
  fs::create_directory(dir / "folder");
  write(dir / "huge", std::string((1 << 20) + 1, 'x'));
  Json list = read_session_dir(dir);
  ASSERT_EQ(list.size(), 3u) << list.dump();
  EXPECT_EQ(list[0]["name"], "Default Settings");
  EXPECT_EQ(list[1]["name"], "a-box");
  EXPECT_EQ(list[1]["PortNumber"], 2022);
  EXPECT_EQ(list[2]["name"], "b%box");
  EXPECT_EQ(read_session_dir(t.path / "missing"), Json::array());
}

TEST(PuttyUnixStore, StoreFolderFollowsPuttysOwnChoice) {
  Tmp t;
  std::string old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", t.path.c_str(), 1);
  ::unsetenv("PUTTYDIR");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(unix_store_dir(), t.path / ".putty");
  fs::create_directories(t.path / ".config" / "putty");
  EXPECT_EQ(unix_store_dir(), t.path / ".config" / "putty");
  fs::create_directories(t.path / ".putty");
  EXPECT_EQ(unix_store_dir(), t.path / ".putty");
  write(t.path / ".putty" / "sessions" / "home%20box", "HostName=h\n");
  Json list = _read_putty_registry_sessions();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["name"], "home box");
  ::setenv("PUTTYDIR", (t.path / "elsewhere").c_str(), 1);
  EXPECT_EQ(unix_store_dir(), t.path / "elsewhere");
  EXPECT_EQ(_read_putty_registry_sessions(), Json::array());
  ::unsetenv("PUTTYDIR");
  ::setenv("HOME", old_home.c_str(), 1);
}

bool have_program(const char* name) {
  std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// plink is PuTTY's own reader of the same store: a session file it can load and connect
// with must list here with the same name, host, port and protocol.
TEST(PuttyUnixStore, ASessionPlinkLoadsIsListedAlike) {
  MORVANE_REQUIRE_PEER(have_program("plink"), "plink (putty-tools)");
  Tmp t;
  int lsn = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(lsn, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(lsn, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(lsn, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(lsn, reinterpret_cast<sockaddr*>(&addr), &len);
  int port = ntohs(addr.sin_port);

  const std::string name = "機房 lab/1";
  write(t.path / "sessions" / putty_file_name(name),
        "HostName=127.0.0.1\nPortNumber=" + std::to_string(port) + "\nProtocol=raw\nUserName=ops\n");

  std::string putty_dir = "PUTTYDIR=" + t.path.string();
  std::vector<std::string> env_store{putty_dir, "HOME=" + t.path.string(), "PATH=/usr/bin:/bin"};
  std::vector<char*> envp;
  for (auto& e : env_store) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string load = name;
  std::vector<std::string> argv_store{"plink", "-batch", "-load", load};
  std::vector<char*> argv;
  for (auto& a : argv_store) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawnp(&pid, "plink", &fa, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&fa);

  pollfd p{lsn, POLLIN, 0};
  int ready = ::poll(&p, 1, 10000);
  bool connected = false;
  if (ready == 1) {
    int c = ::accept(lsn, nullptr, nullptr);
    connected = c >= 0;
    if (c >= 0) ::close(c);
  }
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  ::close(lsn);
  ASSERT_TRUE(connected) << "plink did not connect from the session file within 10 s";

  Json list = read_session_dir(t.path / "sessions");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["name"], name);
  Json s = to_session_record(list[0], "");
  EXPECT_EQ(s["name"], name);
  EXPECT_EQ(s["host"], "127.0.0.1");
  EXPECT_EQ(s["port"], port);
  EXPECT_EQ(s["protocol"], "raw");
  EXPECT_EQ(s["username"], "ops");
}

}  // namespace
}  // namespace morvane::putty
