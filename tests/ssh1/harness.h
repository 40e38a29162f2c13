#pragma once
// Drives the client and the test server against each other in memory, with a clock the
// test moves by hand, and collects the client's events.
#include <string>
#include <vector>

#include "ssh1/client.h"
#include "test_server.h"

namespace ssh1test {

using morvane::ssh1::Client;
using morvane::ssh1::ClientConfig;
using morvane::ssh1::Event;
using morvane::ssh1::State;

inline ClientConfig default_config() {
  ClientConfig c;
  c.username = "tester";
  c.password = "s3cret pass";
  return c;
}

struct Pair {
  Server server;
  Client client;
  int64_t now = 1000;
  std::string out, err;
  std::vector<Event> events;
  size_t chunk = 0;  // 0: whole buffers; else deliver server bytes in pieces of this size

  Pair(ServerOptions so = {}, ClientConfig cc = default_config()) : server(std::move(so)), client(std::move(cc), 1000) {}

  void collect() {
    for (auto& e : client.take_events()) {
      if (e.kind == Event::Kind::Stdout) out += e.data;
      if (e.kind == Event::Kind::Stderr) err += e.data;
      events.push_back(std::move(e));
    }
  }
  // Passes bytes both ways until neither side has anything more to say.
  void pump() {
    for (int i = 0; i < 1000; ++i) {
      std::string s2c = server.take_output();
      if (!s2c.empty()) {
        if (chunk == 0) {
          client.receive(s2c, now);
        } else {
          for (size_t p = 0; p < s2c.size(); p += chunk) client.receive(std::string_view(s2c).substr(p, chunk), now);
        }
      }
      std::string c2s = client.take_output();
      if (!c2s.empty()) server.receive(c2s);
      collect();
      if (s2c.empty() && c2s.empty()) return;
    }
  }
  bool has(Event::Kind k) const {
    for (const auto& e : events)
      if (e.kind == k) return true;
    return false;
  }
  int count(Event::Kind k) const {
    int n = 0;
    for (const auto& e : events) n += e.kind == k;
    return n;
  }
};

}  // namespace ssh1test
