// Password authentication, against a password-only server built on libssh's server API
// (the machine's own accounts keep their passwords).
#include "ssh_app_fixture.h"

namespace morvane::sshtest {
namespace {

class PasswordServer {
 public:
  explicit PasswordServer(const fs::path& dir) {
    keygen(dir / "pw_host");
    for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
      port_ = free_port();
      pid_t pid = spawn({SSH_TEST_PWSERVER, std::to_string(port_), (dir / "pw_host").string(), "tester", "s3cret pw"},
                        (dir / "pw.log").string());
      if (eventually([&] { return port_open(port_); }, 10)) pid_ = pid;
      else kill_tree(pid);
    }
    if (pid_ < 0) throw std::runtime_error("the password server did not start");
  }
  ~PasswordServer() {
    kill_tree(pid_);
    int st;
    ::waitpid(pid_, &st, 0);
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

TEST_F(SshTabTest, PasswordAuthenticates) {
  PasswordServer server(dir.path);
  std::string tab = open(
      session({{"port", server.port()}, {"username", "tester"}, {"password", "s3cret pw"}, {"private_key", ""}}));
  ASSERT_TRUE(connected(tab)) << page.dump();
  read_until(tab, "password accepted\r\n");
  app->send_input(Json(tab), Json("typed text"));
  EXPECT_NE(read_until(tab, "typed text").find("typed text"), std::string::npos);
  std::string known = read_text(data() / "known_hosts");
  EXPECT_NE(known.find("[127.0.0.1]:" + std::to_string(server.port())), std::string::npos);
  app->close_tab(Json(tab));
  EXPECT_TRUE(nothing_left());
}

TEST_F(SshTabTest, WrongPasswordIsAnAuthenticationFailure) {
  PasswordServer server(dir.path);
  std::string tab =
      open(session({{"port", server.port()}, {"username", "tester"}, {"password", "guess"}, {"private_key", ""}}));
  ASSERT_TRUE(page.wait_for("Authentication failed: permission denied (tried: password)")) << page.dump();
  EXPECT_EQ(page.count("Connection failed"), 0u);
  EXPECT_FALSE(alive(tab));
  EXPECT_TRUE(nothing_left());
}

TEST_F(SshTabTest, NoCredentialAtAllIsAnAuthenticationFailure) {
  PasswordServer server(dir.path);
  std::string tab = open(session({{"port", server.port()}, {"username", "tester"}, {"private_key", ""}}));
  ASSERT_TRUE(page.wait_for("Authentication failed: no credential to offer")) << page.dump();
  EXPECT_FALSE(alive(tab));
}

}  // namespace
}  // namespace morvane::sshtest
