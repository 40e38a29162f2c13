#pragma once
// Flashing an ESP32 board from its open serial tab: the page's flash operations, the checks
// made before a flasher starts, and the run that puts the flasher into the tab's transfer slot.
//
// The port stays with the tab and its reader keeps running: while the run occupies the slot,
// the receive path hands it every received byte, the run writes through the tab's connection,
// and its "done" event empties the slot so the terminal shows the board's output again.
// Three threads meet: the page's calls, the tab's reader (feed) and the run's own driver thread
// (time-outs, and the work that follows one).
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/bridge.h"
#include "core/kind.h"
#include "esp/esp_flasher.h"
#include "util/json.h"

namespace morvane::kinds {

class SerialKind;

// A flash offset as the dialog sends it: an integer, "0x…" in any letter case as hexadecimal,
// other text as a decimal integer. Nothing when it is none of these or lies outside 32 bits.
std::optional<uint32_t> parse_flash_offset(const Json& value);

class EspFlash {
 public:
  explicit EspFlash(SerialKind& kind) : kind_(kind) {}

  // Adds esp_flash_start, esp_flash_pick_files, esp_guess_offset, esp_file_size,
  // esp_chip_list and esp_get_session_prefs.
  void install(Bridge& bridge, KindServices& services);

  // {"ok": true}, or {"ok": false, "reason": text in the UI language}. Throws for a file
  // record without path or offset (a caller error, not a refusal).
  Json esp_flash_start(const Json& tab_id, const Json& mode, const Json& files, const Json& options);
  Json esp_flash_pick_files();
  Json esp_guess_offset(const Json& filename, const Json& chip);
  long long esp_file_size(const Json& path);
  Json esp_chip_list();
  Json esp_get_session_prefs(const Json& tab_id);

  // The flasher's time-outs; tests shorten them.
  esp::FlasherTimings timings;
  // The named reset actions for a tab; the default binds them to the tab's port. Tests wire
  // them to an emulated board.
  std::function<esp::ResetFuncs(const std::string& tab_id)> reset_funcs;

 private:
  class Run;
  SerialKind& kind_;
  KindServices* svc_ = nullptr;
};

}  // namespace morvane::kinds
