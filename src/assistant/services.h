#pragma once
// What the assistant may use of the application: texts, its two settings, the folders, the
// open tabs as the page sees them, typing into a tab and switching a session's display flag.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "util/json.h"

namespace morvane::assistant {

// One open tab, as the prompt describes it.
struct TabView {
  std::string id;
  std::string display;
  std::string protocol;
  std::string encoding;
  bool alive = false;
  Json session;  // a copy of the tab's session record
};

class AssistantServices {
 public:
  virtual ~AssistantServices() = default;
  // A UI text in the current language (dotted key, named placeholders).
  virtual std::string text(const std::string& key, const TextValues& values = {}) const = 0;
  virtual std::string language() const = 0;
  // The settings record: a key's value (null when missing); set stores and saves the file.
  virtual Json setting(const std::string& key) const = 0;
  virtual void set_setting(const std::string& key, Json value) = 0;
  virtual std::filesystem::path data_dir() const = 0;
  // The folder of the program's resources ("architecture" is found there).
  virtual std::filesystem::path resource_dir() const = 0;
  // The open tabs' ids in the page's order, and one tab (nothing once it is closed).
  virtual std::vector<std::string> tab_order() const = 0;
  virtual std::optional<TabView> tab(const std::string& tab_id) const = 0;
  // Keyboard input into a tab, through its encoding; false when it could not be sent.
  virtual bool send_input(const std::string& tab_id, const std::string& text) = 0;
  // Stores a value in the tab's session record and in the saved list's record of the same id,
  // then saves the list; false when the tab is not open.
  virtual bool set_tab_session_value(const std::string& tab_id, const std::string& key, Json value) = 0;
  virtual Json sessions_json() const = 0;
  // A notice line in a tab.
  virtual void notice(const std::string& tab_id, const std::string& message, bool is_error = false) = 0;
};

}  // namespace morvane::assistant
