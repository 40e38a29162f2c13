// From received bytes to terminal text: the transfer slot, the transfer-start detector,
// then the tab's incremental decoder.
#include "app/morvane_app.h"
#include "util/diag.h"
#include "util/encoding.h"

namespace morvane {

std::string MorvaneApp::_intercept_or_decode(const std::string& tab_id, std::string_view data) {
  TabRef tab = find_tab(tab_id);
  if (!tab || data.empty()) return {};
  std::shared_ptr<TransferSlot> xfer = tab->transfer();
  if (xfer && !xfer->is_done()) {
    xfer->feed(data);
    return {};
  }
  std::string_view terminal = data;
  TransferSniffer::Result sniffed;
  if (!tab->sniffer && transfers.sniffer_factory) tab->sniffer = transfers.sniffer_factory(tab_id);
  if (tab->sniffer) {
    sniffed = tab->sniffer->feed(data);
    if (sniffed.started) {
      _push_info(tab_id, _t("info.zmodem_detected"));
      if (transfers.start_auto_receive) transfers.start_auto_receive(tab_id);
      if (TabRef again = find_tab(tab_id)) {
        std::shared_ptr<TransferSlot> started = again->transfer();
        if (started && !sniffed.transfer.empty()) started->feed(sniffed.transfer);
      }
    }
    if (sniffed.receiver_waiting && transfers.offer_send) transfers.offer_send(tab_id);
    terminal = sniffed.passthrough ? data : std::string_view(sniffed.terminal);
  }
  if (terminal.empty()) return {};
  std::lock_guard<std::mutex> lock(tab->decoder_mu);
  std::string enc = tab->encoding_name();
  if (enc.empty()) enc = "utf-8";
  try {
    if (!tab->decoder) tab->decoder = encoding::make_decoder(enc);
    return tab->decoder->decode(terminal);
  } catch (const std::exception&) {
    try {
      return encoding::decode_once(terminal, enc);
    } catch (const std::exception&) {
      return encoding::decode_once(terminal, "utf-8");
    }
  }
}

}  // namespace morvane
