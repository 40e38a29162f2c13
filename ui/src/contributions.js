// What a tab adds around its terminal, by the tab's protocol: toolbar buttons and side panels.
// Plain data, like schema.js: a protocol that brings a tool gets an entry here instead of a
// branch in the toolbar. Every entry names the native operations it needs, and the page shows
// it only where the host offers all of them (a build without the serial module shows no reset).
//
// button: { id, op, label, hint, icon, refused }
//   Calls op(tab id); a false answer shows the text `refused`.
// panel:  { id, ops, label, hint, icon }
//   A toggle in the toolbar opens the view registered under `id` in panels.js beside the
//   terminal; ops are the operations the view calls.

import { PROTOCOLS } from './schema.js';

export const CONTRIBUTIONS = {
  // ESP32 boards on a USB-UART adapter reset through DTR/RTS, which only serial tabs have.
  serial: {
    buttons: [
      { id: 'esp-reset', op: 'hard_reset_esp', label: 'a.esp_reset', hint: 'h.esp_reset', icon: 'power', refused: 'e.esp_reset_off' },
      { id: 'esp-boot', op: 'enter_bootloader_esp', label: 'a.esp_boot', hint: 'h.esp_boot', icon: 'chip', refused: 'e.esp_reset_off' },
    ],
    panels: [
      {
        id: 'esp-flash', label: 'a.esp_flash', hint: 'h.esp_flash', icon: 'chip',
        ops: ['esp_flash_start', 'esp_flash_pick_files', 'esp_guess_offset', 'esp_file_size', 'esp_chip_list', 'esp_get_session_prefs'],
      },
    ],
  },
};

// What every tab offers, whatever its protocol: file transfer runs inside any terminal stream.
export const EVERY_TAB = {
  buttons: [],
  panels: [
    { id: 'xfer', ops: ['xfer_start', 'xfer_cancel', 'xfer_pick_files', 'xfer_pick_save_dir'], label: 'a.xfer', hint: 'h.xfer', icon: 'folder' },
  ],
};
// The assistant talks about whatever the tab shows, so every protocol offers it.
const ASSISTANT_PANEL = {
  id: 'assistant', icon: 'spark', label: 'a.assistant', hint: 'h.assistant',
  ops: ['claude_status', 'claude_get_models', 'claude_send', 'claude_reset_session', 'claude_inject'],
};
for (const proto of PROTOCOLS) {
  CONTRIBUTIONS[proto] ||= { buttons: [], panels: [] };
  CONTRIBUTIONS[proto].panels.push(ASSISTANT_PANEL);
}

const NONE = Object.freeze({ buttons: [], panels: [] });

const opsOf = (entry) => entry.ops || (entry.op ? [entry.op] : []);

// The buttons and panels a tab of this protocol shows, in table order after those of every
// tab, keeping only those whose operations hasOp(name) confirms.
export function contributionsFor(protocol, hasOp, table = CONTRIBUTIONS, common = EVERY_TAB) {
  const entry = Object.prototype.hasOwnProperty.call(table, protocol) ? table[protocol] : NONE;
  const offered = (e) => opsOf(e).every((op) => hasOp(op));
  return {
    buttons: [...(common.buttons || []), ...(entry.buttons || [])].filter(offered),
    panels: [...(common.panels || []), ...(entry.panels || [])].filter(offered),
  };
}
