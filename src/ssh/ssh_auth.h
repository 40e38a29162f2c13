#pragma once
// User authentication on a connected libssh session (blocking mode, connecting thread).
#include <libssh/libssh.h>

#include "ssh/ssh_client.h"

namespace morvane::ssh {

// Offers, in this order: the key file, the SSH agent's keys (only when allowed), the
// default key files, then the password (keyboard-interactive when the server takes no
// plain password). Returns on success; throws AuthError when the server refused everything
// offered, ConnectError when the connection broke before any refusal.
void authenticate(ssh_session s, const ConnectOptions& o);

}  // namespace morvane::ssh
