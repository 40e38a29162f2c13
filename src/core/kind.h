#pragma once
// Connection kinds as modules. A kind names its protocols, opens a connection for a tab from a
// session record, and adds its own page operations; it reaches the rest of the program only
// through KindServices. src/kinds/ holds one folder per kind and the list of kinds.
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bridge.h"
#include "core/connection.h"
#include "core/host.h"
#include "util/json.h"

namespace morvane {

// What a kind may use of the application.
class KindServices {
 public:
  virtual ~KindServices() = default;
  // A UI text in the current language (dotted key, named placeholders).
  virtual std::string text(const std::string& key, const TextValues& values = {}) const = 0;
  // A notice in a tab (also for a tab that is gone: the page decides).
  virtual void notice(const std::string& tab_id, const std::string& message, bool is_error = false) = 0;
  virtual std::filesystem::path data_dir() const = 0;
  virtual std::filesystem::path resource_dir() const = 0;
  // A file of the data directory shared by kinds ("known_hosts").
  virtual std::filesystem::path data_file(const std::string& name) const { return data_dir() / name; }
  // A bundled or installed helper program ("puttygen.exe"), or nothing.
  virtual std::optional<std::string> bundled_program(const std::string& name) const = 0;
  // A background thread that never keeps the program from ending.
  virtual void spawn(std::function<void()> fn) = 0;
  // True once the program is shutting down; loops end at their next look.
  virtual bool stopping() const = 0;
  // Native dialogs while the calling page thread waits up to timeout_sec; nothing when
  // cancelled, timed out or there is no desktop.
  virtual std::optional<std::string> open_file(const std::string& title, const std::vector<FileFilter>& filters,
                                               double timeout_sec) = 0;
  virtual std::optional<std::vector<std::string>> open_files(const std::string& title,
                                                             const std::vector<FileFilter>& filters,
                                                             double timeout_sec) = 0;
  virtual std::optional<std::string> choose_folder(const std::string& title, double timeout_sec) = 0;
  // The connection of an open tab, or null (no such tab, not connected yet).
  virtual std::shared_ptr<Connection> connection(const std::string& tab_id) const = 0;
  // Whether the tab is still open (a worker stops caring once it is not).
  virtual bool tab_open(const std::string& tab_id) const = 0;

  // A tab's transfer slot, shared by file transfers and flashing: while a running occupant is
  // there, the receive path hands it every received byte and closing the tab cancels it.
  struct TransferCalls {
    std::function<bool()> is_done;
    std::function<void(std::string_view)> feed;
    std::function<void()> cancel;
  };
  // Fills the slot unless a running occupant is there (the check and the store are one step);
  // false when the tab is gone or busy. `owner` names the occupant for release_transfer.
  virtual bool claim_transfer(const std::string& tab_id, const void* owner, TransferCalls calls) { return false; }
  // Whether a running occupant holds the tab's slot.
  virtual bool transfer_running(const std::string& tab_id) const { return false; }
  // Empties the slot when `owner` still holds it.
  virtual void release_transfer(const std::string& tab_id, const void* owner) {}
  // The session record of an open tab as it is now, or nothing for an unknown tab.
  virtual std::optional<Json> tab_session(const std::string& tab_id) const { return std::nullopt; }
  // Sets keys of an open tab's session record and saves the store; false when the tab is gone.
  virtual bool update_tab_session(const std::string& tab_id, const Json& changes) { return false; }
  // Evaluates a script in the page; dropped while there is no page.
  virtual void page_call(const std::string& script) {}
};

// What a kind gets to open one tab's connection. `session` is a snapshot taken at dispatch;
// `current_session` reads the record as it is now (edits reach an open tab).
struct OpenRequest {
  std::string tab_id;
  std::string protocol;  // the name the kind was found by
  Json session;
  std::function<Json()> current_session;
  std::string encoding;  // the tab's encoding, lower case
  std::shared_ptr<ConnectionSink> sink;
  KindServices& services;
};

class Kind {
 public:
  virtual ~Kind() = default;
  // The session `protocol` values this kind serves ("telnet", "telnet-serial").
  virtual std::vector<std::string> protocols() const = 0;
  // Creates the connection without doing any I/O; the core then calls start().
  virtual std::shared_ptr<Connection> open(const OpenRequest& req) = 0;
  // Adds this kind's page operations.
  virtual void install(Bridge& bridge, KindServices& services) {}
  // Whether this kind's tabs decide their session's reachability themselves (a local port
  // knows better than a network check); `conn` may be null before the tab connects.
  virtual std::optional<bool> reachability(const Connection* conn) const { return std::nullopt; }
};

class KindRegistry {
 public:
  void add(std::shared_ptr<Kind> kind);
  // The kind serving a protocol name, or null.
  std::shared_ptr<Kind> find(const std::string& protocol) const;
  template <class K>
  std::shared_ptr<K> get(const std::string& protocol) const {
    return std::dynamic_pointer_cast<K>(find(protocol));
  }
  std::vector<std::shared_ptr<Kind>> all() const { return kinds_; }

 private:
  std::vector<std::shared_ptr<Kind>> kinds_;
  std::map<std::string, std::shared_ptr<Kind>> by_protocol_;
};

}  // namespace morvane
