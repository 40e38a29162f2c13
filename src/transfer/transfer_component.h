#pragma once
// File transfer inside a tab: the page's transfer operations, the adapter that puts an
// XMODEM/YMODEM/ZMODEM engine into a tab's transfer slot, the thread that drives it, and the
// automatic ZMODEM download the receive path starts when its detector fires.
//
// Three threads meet here: the page's calls (start, cancel, status), the tab's reader (feed,
// detection) and the transfer's own pump thread (outgoing bytes, time-outs, a sender's stream).
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/bridge.h"
#include "core/kind.h"
#include "core/transfer_slot.h"
#include "util/json.h"

namespace morvane::transfer {

// What the application lends the component: the tabs' transfer slots and the page.
class TransferTabs {
 public:
  virtual ~TransferTabs() = default;
  // Puts slot into the tab's transfer slot unless a running one is there; false when the tab
  // is unknown or busy. The check and the store are one step.
  virtual bool claim_slot(const std::string& tab_id, std::shared_ptr<TransferSlot> slot) = 0;
  virtual std::shared_ptr<TransferSlot> slot(const std::string& tab_id) const = 0;
  // Empties the slot when it still holds `slot` (a newer transfer stays).
  virtual void release_slot(const std::string& tab_id, const TransferSlot* slot) = 0;
  virtual bool window_exists() const = 0;
  // xferOnEvent(tab, event) in the page.
  virtual void page_event(const std::string& tab_id, const Json& event) = 0;
};

class TransferComponent {
 public:
  static const std::vector<std::string>& protocols();

  TransferComponent(KindServices& services, TransferTabs& tabs);
  ~TransferComponent();
  TransferComponent(const TransferComponent&) = delete;
  TransferComponent& operator=(const TransferComponent&) = delete;

  // Adds xfer_start, xfer_cancel, xfer_status, xfer_pick_files and xfer_pick_save_dir.
  void install(Bridge& bridge);

  // ---- page operations ------------------------------------------------------------------------
  Json xfer_start(const Json& tab_id, const Json& protocol, const Json& direction, const Json& files,
                  const Json& save_dir);
  bool xfer_cancel(const Json& tab_id);
  Json xfer_status(const Json& tab_id);
  Json xfer_pick_files();
  std::string xfer_pick_save_dir();

  // ---- inside the program -----------------------------------------------------------------------
  // The one place an engine is made: false when the tab is unknown or busy.
  bool _xfer_start(const std::string& tab_id, const std::string& protocol, const std::string& direction,
                   const std::vector<std::string>& files, const std::string& save_dir);
  // Raw bytes to the tab's connection, past the terminal's text encoding; failures are logged.
  // Answers how many bytes the line took: all of them when they cannot be sent at all.
  size_t _xfer_send_bytes(const std::string& tab_id, std::string_view data);
  void _xfer_on_event(const std::string& tab_id, const Json& event, const TransferSlot* from);
  std::string _xfer_default_recv_dir();

  // For the receive path: the detector of one tab, and the download it starts.
  std::unique_ptr<TransferSniffer> make_sniffer(const std::string& tab_id);
  void start_auto_receive(const std::string& tab_id);
  // A remote receiver waits: a notice in the tab, and the page offers to pick files to send.
  void offer_send(const std::string& tab_id);

 private:
  class Sniffer;
  struct SnifferState;
  void reset_sniffer(const std::string& tab_id);

  KindServices& services_;
  TransferTabs& tabs_;
  std::mutex sniffers_mu_;
  std::map<std::string, std::weak_ptr<SnifferState>> sniffers_;
};

}  // namespace morvane::transfer
