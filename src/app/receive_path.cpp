// From received bytes to terminal text: the transfer slot, the transfer-start detector,
// then the tab's incremental decoder.
#include "app/morvane_app.h"
#include "util/diag.h"
#include "util/encoding.h"

namespace morvane {

std::string MorvaneApp::_intercept_or_decode(const std::string& tab_id, std::string_view data) {
  TabRef tab = find_tab(tab_id);
  if (!tab || data.empty()) return {};
  std::shared_ptr<TransferSlot> xfer;
  {
    std::lock_guard<std::mutex> lock(tab->mu);
    xfer = tab->xfer;
  }
  if (xfer && !xfer->is_done()) {
    xfer->feed(data);
    return {};
  }
  std::string_view terminal = data;
  TransferSniffer::Result sniffed;
  if (!tab->sniffer && sniffer_factory) tab->sniffer = sniffer_factory();
  if (tab->sniffer) {
    sniffed = tab->sniffer->feed(data);
    if (sniffed.started) {
      _push_info(tab_id, _t("info.zmodem_detected"));
      if (start_auto_receive) start_auto_receive(tab_id);
      if (TabRef again = find_tab(tab_id)) {
        std::shared_ptr<TransferSlot> started;
        {
          std::lock_guard<std::mutex> lock(again->mu);
          started = again->xfer;
        }
        if (started && !sniffed.transfer.empty()) started->feed(sniffed.transfer);
      }
    }
    terminal = sniffed.terminal;
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

void MorvaneApp::_socket_reader_loop(const std::string& tab_id, HandleKey kind) {
  TabRef tab = find_tab(tab_id);
  if (!tab) return;
  std::shared_ptr<Backend> h = tab->handle(kind);
  try {
    while (!_stop && h && !h->is_closed()) {
      std::string bytes = h->recv(kReadSize);
      if (bytes.empty()) break;
      std::string text = _intercept_or_decode(tab_id, bytes);
      if (!text.empty()) _push_to_term(tab_id, text);
    }
  } catch (const std::exception&) {
    // Any failure ends the connection; the notice below is all the user needs.
  }
  tab->alive = false;
  _push_info(tab_id, _t("info.connection_ended"));
  if (h) {
    try {
      h->close();
    } catch (...) {
    }
  }
}



void MorvaneApp::_reader_loop(const std::string& tab_id) {
  TabRef tab = find_tab(tab_id);
  if (!tab) return;
  std::shared_ptr<Backend> channel = tab->handle(HandleKey::channel);
  try {
    while (!_stop && channel && !channel->is_closed()) {
      std::string bytes = channel->recv(kReadSize);
      if (bytes.empty()) break;
      std::string text = _intercept_or_decode(tab_id, bytes);
      if (!text.empty()) _push_to_term(tab_id, text);
    }
  } catch (const std::exception&) {
  }
  tab->alive = false;
  _push_info(tab_id, _t("info.connection_ended"));
  if (auto client = tab->handle(HandleKey::client)) {
    try {
      client->close();
    } catch (...) {
    }
  }
}

}  // namespace morvane
