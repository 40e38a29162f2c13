#pragma once
// The open tabs: by id, in the page's order, with the active one. One mutex, held only for
// short in-memory steps; workers take a tab's shared_ptr and let go of the table.
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/tab.h"

namespace morvane {

class TabTable {
 public:
  TabRef find(const std::string& tab_id) const;
  // Whether this very tab is still in the table (not a later tab of the same id).
  bool holds(const TabRef& tab) const;
  std::vector<std::string> order() const;
  std::vector<TabRef> all() const;
  std::optional<std::string> active() const;

  // The first open tab whose session matches, made active; nullopt when there is none.
  std::optional<std::string> activate_where(const std::function<bool(const Tab&)>& match);
  // Adds a tab at the end and makes it active.
  void add(const TabRef& tab);
  // Removes a tab; the active tab becomes the last remaining one if it was this one.
  TabRef remove(const std::string& tab_id);
  // Runs fn under the table lock if the tab is still in it; false otherwise. For storing
  // something in a tab exactly when its close has not begun.
  bool with_held(const TabRef& tab, const std::function<void()>& fn);

 private:
  mutable std::mutex mu_;
  std::map<std::string, TabRef> tabs_;
  std::vector<std::string> order_;
  std::optional<std::string> active_;
};

}  // namespace morvane
