#include "app/tab_table.h"

#include <algorithm>

namespace morvane {

TabRef TabTable::find(const std::string& tab_id) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = tabs_.find(tab_id);
  return it == tabs_.end() ? nullptr : it->second;
}

bool TabTable::holds(const TabRef& tab) const {
  if (!tab) return false;
  std::lock_guard<std::mutex> lock(mu_);
  auto it = tabs_.find(tab->id);
  return it != tabs_.end() && it->second == tab;
}

std::vector<std::string> TabTable::order() const {
  std::lock_guard<std::mutex> lock(mu_);
  return order_;
}

std::vector<TabRef> TabTable::all() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<TabRef> out;
  for (const auto& id : order_) {
    auto it = tabs_.find(id);
    if (it != tabs_.end()) out.push_back(it->second);
  }
  return out;
}

std::optional<std::string> TabTable::active() const {
  std::lock_guard<std::mutex> lock(mu_);
  return active_;
}

std::optional<std::string> TabTable::activate_where(const std::function<bool(const Tab&)>& match) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& id : order_) {
    auto it = tabs_.find(id);
    if (it == tabs_.end() || !match(*it->second)) continue;
    active_ = id;
    return id;
  }
  return std::nullopt;
}

void TabTable::add(const TabRef& tab) {
  std::lock_guard<std::mutex> lock(mu_);
  tabs_[tab->id] = tab;
  order_.push_back(tab->id);
  active_ = tab->id;
}

TabRef TabTable::remove(const std::string& tab_id) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = tabs_.find(tab_id);
  if (it == tabs_.end()) return nullptr;
  TabRef tab = it->second;
  tabs_.erase(it);
  order_.erase(std::remove(order_.begin(), order_.end(), tab_id), order_.end());
  if (active_ && *active_ == tab_id) {
    if (order_.empty()) active_.reset();
    else active_ = order_.back();
  }
  return tab;
}

bool TabTable::with_held(const TabRef& tab, const std::function<void()>& fn) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = tabs_.find(tab->id);
  if (it == tabs_.end() || it->second != tab) return false;
  fn();
  return true;
}

}  // namespace morvane
