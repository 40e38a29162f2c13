// Which tools a tab shows comes from the contribution table: what each protocol gets, what a
// host without the operations hides, and that every entry the table names can be shown.
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';

import { CONTRIBUTIONS, EVERY_TAB, contributionsFor } from '../../ui/src/contributions.js';
import { TEXTS } from '../../ui/src/i18n.js';
import { PROTOCOLS } from '../../ui/src/schema.js';

const ESP_OPS = ['hard_reset_esp', 'enter_bootloader_esp'];
const offering = (...ops) => (op) => ops.includes(op);
const everything = () => true;

describe('the buttons a tab shows', () => {
  test('a serial tab offers the ESP32 reset, then the bootloader entry', () => {
    const { buttons, panels } = contributionsFor('serial', offering(...ESP_OPS));
    assert.deepEqual(buttons.map((b) => b.op), ESP_OPS);
    assert.deepEqual(panels, []);
    assert.deepEqual(contributionsFor('serial', everything).panels.map((p) => p.id), ['xfer', 'esp-flash', 'assistant']);
  });

  test('no other protocol gets the serial tools, nor does an unknown one', () => {
    for (const proto of PROTOCOLS.filter((p) => p !== 'serial')) {
      assert.deepEqual(contributionsFor(proto, everything).buttons, [], proto);
    }
    // A protocol the page does not know still gets what every tab gets, and nothing else.
    for (const proto of [undefined, '', 'SERIAL', 'constructor', '__proto__', 'toString']) {
      const got = contributionsFor(proto, everything);
      assert.deepEqual(got.buttons, [], String(proto));
      assert.deepEqual(got.panels.map((p) => p.id), ['xfer'], String(proto));
    }
  });

  test('every protocol offers the assistant panel, where the host has its operations', () => {
    for (const proto of PROTOCOLS) {
      const own = proto === 'serial' ? ['esp-flash'] : [];
      assert.deepEqual(contributionsFor(proto, everything).panels.map((p) => p.id), ['xfer', ...own, 'assistant'], proto);
      assert.deepEqual(contributionsFor(proto, offering('claude_send')).panels, [], proto);
    }
  });

  test('a host without an operation shows no button for it', () => {
    assert.deepEqual(contributionsFor('serial', offering()).buttons, []);
    assert.deepEqual(contributionsFor('serial', offering('enter_bootloader_esp')).buttons.map((b) => b.op), ['enter_bootloader_esp']);
  });

  test('a panel shows only when the host offers every operation it calls', () => {
    const table = {
      serial: {
        buttons: [],
        panels: [{ id: 'flash', ops: ['esp_flash_start', 'esp_chip_list'] }, { id: 'notes', ops: [] }],
      },
    };
    const none = { buttons: [], panels: [] };
    assert.deepEqual(contributionsFor('serial', offering('esp_flash_start'), table, none).panels.map((p) => p.id), ['notes']);
    assert.deepEqual(contributionsFor('serial', offering('esp_flash_start', 'esp_chip_list'), table, none).panels.map((p) => p.id), ['flash', 'notes']);
    assert.deepEqual(contributionsFor('ssh', everything, table, none).panels, []);
  });

  test('the transfer panel comes to every tab only with all its operations', () => {
    const xferOps = EVERY_TAB.panels[0].ops;
    assert.deepEqual(contributionsFor('ssh', offering(...xferOps.slice(1))).panels, []);
    assert.deepEqual(contributionsFor('conpty', offering(...xferOps)).panels.map((p) => p.id), ['xfer']);
  });
});

describe('the table itself', () => {
  test('names only protocols the editor offers', () => {
    for (const proto of Object.keys(CONTRIBUTIONS)) assert.ok(PROTOCOLS.includes(proto), proto);
  });

  test('every entry has a unique id, an icon, its operations and its texts in both languages', () => {
    for (const [proto, { buttons = [], panels = [] }] of Object.entries({ ...CONTRIBUTIONS, '(every tab)': EVERY_TAB })) {
      const ids = [...buttons, ...panels].map((e) => e.id);
      assert.equal(new Set(ids).size, ids.length, `${proto}: ids repeat`);
      for (const b of buttons) assert.ok(b.op && b.icon, `${proto}/${b.id}`);
      for (const p of panels) assert.ok(Array.isArray(p.ops) && p.icon, `${proto}/${p.id}`);
      for (const e of [...buttons, ...panels]) {
        for (const key of [e.label, e.hint, e.refused].filter((k) => k !== undefined)) {
          for (const [lang, texts] of Object.entries(TEXTS)) assert.ok(key in texts, `${proto}/${e.id}: ${key} missing in ${lang}`);
        }
        assert.ok(e.label && e.hint, `${proto}/${e.id}: label and hint`);
      }
      for (const b of buttons) assert.ok(b.refused, `${proto}/${b.id}: a refusal needs a text`);
    }
  });
});
