// The application as the assistant sees it (src/assistant/services.h).
#include "app/morvane_app.h"
#include "assistant/assistant.h"

namespace morvane {

class MorvaneApp::AssistantLink final : public assistant::AssistantServices {
 public:
  explicit AssistantLink(MorvaneApp& app) : app_(app) {}
  std::string text(const std::string& key, const TextValues& values) const override { return app_._t(key, values); }
  std::string language() const override { return app_.settings.language(); }
  Json setting(const std::string& key) const override { return app_.settings.get(key); }
  void set_setting(const std::string& key, Json value) override {
    app_.settings.set(key, std::move(value));
    app_.settings.save();
  }
  fs::path data_dir() const override { return app_.APP_DIR; }
  fs::path resource_dir() const override { return app_.resource_dir; }
  std::vector<std::string> tab_order() const override { return app_.tabs.order(); }
  std::optional<assistant::TabView> tab(const std::string& tab_id) const override {
    TabRef t = app_.find_tab(tab_id);
    if (!t) return std::nullopt;
    assistant::TabView v;
    v.id = t->id;
    v.alive = t->alive();
    std::lock_guard<std::mutex> lock(t->mu);
    v.display = t->display;
    v.protocol = t->protocol;
    v.encoding = t->encoding;
    v.session = t->session ? t->session->snapshot() : Json::object();
    return v;
  }
  bool send_input(const std::string& tab_id, const std::string& text) override { return app_.send_input(tab_id, text); }
  bool set_tab_session_value(const std::string& tab_id, const std::string& key, Json value) override {
    TabRef t = app_.find_tab(tab_id);
    SessionRef rec = t ? t->session_ref() : nullptr;
    if (!rec) return false;
    rec->set(key, value);
    // The tab normally shares the list's record; a tab whose record was replaced meanwhile
    // still carries the change to the saved one.
    if (SessionRef listed = app_.sessions.find(rec->id()); listed && listed != rec) listed->set(key, value);
    app_.sessions.save();
    return true;
  }
  Json sessions_json() const override { return app_.sessions.list_json(); }
  void notice(const std::string& tab_id, const std::string& message, bool is_error) override {
    app_._push_info(tab_id, message, is_error);
  }

 private:
  MorvaneApp& app_;
};

void MorvaneApp::install_assistant() {
  assistant_link_ = std::make_unique<AssistantLink>(*this);
  assistant = std::make_unique<assistant::Assistant>(*assistant_link_);
  assistant->install(bridge);
}

}  // namespace morvane
