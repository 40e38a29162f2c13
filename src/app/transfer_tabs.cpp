// The file transfer component's view of the tabs: their transfer slots, the receive path's
// hooks and the page's xferOnEvent.
#include "app/morvane_app.h"

namespace morvane {

class MorvaneApp::TransferTabsImpl final : public transfer::TransferTabs {
 public:
  explicit TransferTabsImpl(MorvaneApp& app) : app_(app) {}
  bool claim_slot(const std::string& tab_id, std::shared_ptr<TransferSlot> slot) override {
    TabRef tab = app_.find_tab(tab_id);
    if (!tab) return false;
    std::lock_guard<std::mutex> lock(tab->mu);
    if (tab->xfer && !tab->xfer->is_done()) return false;
    tab->xfer = std::move(slot);
    return true;
  }
  std::shared_ptr<TransferSlot> slot(const std::string& tab_id) const override {
    TabRef tab = app_.find_tab(tab_id);
    return tab ? tab->transfer() : nullptr;
  }
  void release_slot(const std::string& tab_id, const TransferSlot* slot) override {
    TabRef tab = app_.find_tab(tab_id);
    if (!tab) return;
    std::shared_ptr<TransferSlot> gone;  // released outside the lock
    std::lock_guard<std::mutex> lock(tab->mu);
    if (tab->xfer.get() == slot) gone.swap(tab->xfer);
  }
  bool window_exists() const override {
    Host* w = app_.window();
    return w && w->exists();
  }
  void page_event(const std::string& tab_id, const Json& event) override { app_.page.xfer_event(tab_id, event); }

 private:
  MorvaneApp& app_;
};

void MorvaneApp::install_transfers() {
  xfer_tabs_ = std::make_unique<TransferTabsImpl>(*this);
  xfer_ = std::make_unique<transfer::TransferComponent>(services(), *xfer_tabs_);
  xfer_->install(bridge);
  transfers.sniffer_factory = [this](const std::string& tab_id) { return xfer_->make_sniffer(tab_id); };
  transfers.start_auto_receive = [this](const std::string& tab_id) { xfer_->start_auto_receive(tab_id); };
  transfers.offer_send = [this](const std::string& tab_id) { xfer_->offer_send(tab_id); };
}

}  // namespace morvane
