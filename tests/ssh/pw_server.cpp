// A password-only SSH server for the tests, on libssh's server API: it accepts one user and
// password, then serves a shell channel that greets and echoes what it receives. Each
// connection is served by a child process.
//   usage: ssh_test_pwserver PORT HOSTKEY USER PASSWORD
// The message-based server API is the short way to a test peer, deprecated or not.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <libssh/libssh.h>
#include <libssh/server.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void serve(ssh_session s, const std::string& user, const std::string& password) {
  ssh_set_auth_methods(s, SSH_AUTH_METHOD_PASSWORD);
  if (ssh_handle_key_exchange(s) != SSH_OK) return;
  bool authed = false, shell = false;
  ssh_channel chan = nullptr;
  while (!(authed && chan && shell)) {
    ssh_message m = ssh_message_get(s);
    if (!m) return;
    int type = ssh_message_type(m), sub = ssh_message_subtype(m);
    if (type == SSH_REQUEST_AUTH && sub == SSH_AUTH_METHOD_PASSWORD && user == ssh_message_auth_user(m) &&
        password == ssh_message_auth_password(m)) {
      ssh_message_auth_reply_success(m, 0);
      authed = true;
    } else if (type == SSH_REQUEST_AUTH) {
      ssh_message_auth_set_methods(m, SSH_AUTH_METHOD_PASSWORD);
      ssh_message_reply_default(m);
    } else if (authed && type == SSH_REQUEST_CHANNEL_OPEN && sub == SSH_CHANNEL_SESSION && !chan) {
      chan = ssh_message_channel_request_open_reply_accept(m);
    } else if (chan && type == SSH_REQUEST_CHANNEL && (sub == SSH_CHANNEL_REQUEST_PTY || sub == SSH_CHANNEL_REQUEST_SHELL)) {
      ssh_message_channel_request_reply_success(m);
      shell = shell || sub == SSH_CHANNEL_REQUEST_SHELL;
    } else {
      ssh_message_reply_default(m);
    }
    ssh_message_free(m);
  }
  const char hello[] = "password accepted\r\n";
  ssh_channel_write(chan, hello, sizeof hello - 1);
  char buf[4096];
  for (;;) {
    int n = ssh_channel_read(chan, buf, sizeof buf, 0);
    if (n <= 0) break;
    ssh_channel_write(chan, buf, static_cast<uint32_t>(n));
  }
  ssh_channel_send_eof(chan);
  ssh_channel_close(chan);
  ssh_channel_free(chan);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s PORT HOSTKEY USER PASSWORD\n", argv[0]);
    return 2;
  }
  ::signal(SIGCHLD, SIG_IGN);  // children reap themselves
  ssh_bind b = ssh_bind_new();
  ssh_bind_options_set(b, SSH_BIND_OPTIONS_BINDADDR, "127.0.0.1");
  ssh_bind_options_set(b, SSH_BIND_OPTIONS_BINDPORT_STR, argv[1]);
  ssh_bind_options_set(b, SSH_BIND_OPTIONS_HOSTKEY, argv[2]);
  if (ssh_bind_listen(b) < 0) {
    std::fprintf(stderr, "listen: %s\n", ssh_get_error(b));
    return 1;
  }
  for (;;) {
    ssh_session s = ssh_new();
    if (ssh_bind_accept(b, s) != SSH_OK) {
      ssh_free(s);
      continue;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
      ssh_bind_free(b);
      serve(s, argv[3], argv[4]);
      ssh_disconnect(s);
      ssh_free(s);
      ::_exit(0);
    }
    ssh_free(s);
  }
}
