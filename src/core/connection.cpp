#include "core/connection.h"

namespace morvane {

const char* connection_state_name(ConnectionState s) {
  switch (s) {
    case ConnectionState::connecting: return "connecting";
    case ConnectionState::connected: return "connected";
    case ConnectionState::failed: return "failed";
    case ConnectionState::closing: return "closing";
    case ConnectionState::closed: return "closed";
  }
  return "?";
}

namespace {
bool allowed(ConnectionState from, ConnectionState to) {
  using S = ConnectionState;
  switch (from) {
    case S::connecting: return to == S::connected || to == S::failed || to == S::closing;
    case S::connected:
    case S::failed: return to == S::closing;
    case S::closing: return to == S::closed;
    case S::closed: return false;
  }
  return false;
}
}  // namespace

bool Connection::advance(ConnectionState to) noexcept {
  {
    std::lock_guard<std::mutex> lock(state_mu_);
    if (!allowed(state_.load(), to)) return false;
    state_.store(to);
  }
  // Told outside the lock, so a sink may look at the connection again.
  sink_->state_changed(to);
  return true;
}

}  // namespace morvane
