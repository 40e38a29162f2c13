// The flash panel of a serial tab: pick firmware images, check their offsets, write them to the
// ESP32 on the tab's port (or erase its flash) while the tab stays open. Progress arrives as
// xferOnEvent records in tab.transfer; the outcome line is written into the terminal natively.
import { h, icon } from './dom.js';
import { t } from './i18n.js';
import { confirmDialog, toast } from './overlay.js';
import { PANEL_VIEWS } from './panels.js';
import { call, hostKind } from './transport.js';

const INTERFACES = [['auto', 'esp.if_auto'], ['uart', 'esp.if_uart'], ['usb', 'esp.if_usb']];

const hex = (n) => (n === null || n === undefined ? '' : '0x' + Number(n).toString(16).toUpperCase());
const baseName = (p) => String(p).split(/[\\/]/).pop();
const sizeText = (n) => (n < 0 ? t('esp.missing') : n >= 1048576 ? `${(n / 1048576).toFixed(2)} MB` : `${(n / 1024).toFixed(1)} KB`);

// Per tab, so switching tabs keeps the list being prepared.
const drafts = new Map();

function draftOf(tab) {
  if (!drafts.has(tab.id)) {
    drafts.set(tab.id, { files: [], chip: 'auto', iface: 'auto', compress: true, resetAfter: true, loaded: false });
  }
  return drafts.get(tab.id);
}

function view(tab) {
  const d = draftOf(tab);
  const chipSel = h('select', { 'aria-label': t('esp.chip'), onchange: (e) => { d.chip = e.target.value; } },
    h('option', { value: 'auto' }, t('esp.chip_auto')));
  const ifaceSel = h('select', { 'aria-label': t('esp.interface'), onchange: (e) => { d.iface = e.target.value; } },
    INTERFACES.map(([v, k]) => h('option', { value: v }, t(k))));
  const rows = h('tbody');
  const progress = h('div', { class: 'esp-progress' });

  const sync = () => {
    chipSel.value = d.chip;
    ifaceSel.value = d.iface;
  };

  async function guess(file) {
    try {
      const off = await call('esp_guess_offset', baseName(file.path), d.chip);
      if (!file.edited) file.offset = hex(off);
    } catch { /* the offset stays to be typed */ }
  }

  function renderRows() {
    rows.replaceChildren(...d.files.map((f, i) => h('tr', null,
      h('td', { class: 'esp-name', title: f.path }, baseName(f.path)),
      h('td', { class: 'esp-size' }, sizeText(f.size)),
      h('td', null, h('input', {
        class: 'esp-offset', value: f.offset, placeholder: '0x10000', spellcheck: 'false', 'aria-label': t('esp.offset'),
        oninput: (e) => { f.offset = e.target.value.trim(); f.edited = true; },
      })),
      h('td', null, h('button', {
        class: 'icon-btn', title: t('a.delete'), 'aria-label': t('a.delete'),
        onclick: () => { d.files.splice(i, 1); renderRows(); },
      }, icon('trash', 14))))));
    if (!d.files.length) rows.append(h('tr', null, h('td', { colspan: 4, class: 'muted' }, t('esp.no_files'))));
  }

  async function addPaths(paths) {
    for (const path of paths || []) {
      if (!path || d.files.some((f) => f.path === path)) continue;
      const f = { path, size: await call('esp_file_size', path).catch(() => -1), offset: '', edited: false };
      await guess(f);
      d.files.push(f);
    }
    renderRows();
  }

  async function addFiles() {
    addPaths(await call('esp_flash_pick_files').catch(() => []));
  }

  // Without a native file chooser (a browser), paths are typed; useful beside it too.
  const pathField = h('input', {
    class: 'esp-path', type: 'text', placeholder: t('esp.path_hint'), spellcheck: 'false', 'aria-label': t('esp.path'),
    onkeydown: (e) => { if (e.key === 'Enter') addTyped(); },
  });
  async function addTyped() {
    const path = pathField.value.trim();
    if (!path) return;
    if ((await call('esp_file_size', path).catch(() => -1)) < 0) {
      toast(t('esp.no_such_file', { path }), 'error');
      return;
    }
    pathField.value = '';
    await addPaths([path]);
  }

  async function start(mode) {
    const options = { chip: d.chip, interface: d.iface, compress: d.compress, auto_reset_after: d.resetAfter };
    const files = mode === 'esp-flash' ? d.files.map((f) => ({ path: f.path, offset: f.offset })) : [];
    try {
      const r = await call('esp_flash_start', tab.id, mode, files, options);
      if (!r.ok) toast(r.reason || t('esp.refused'), 'error');
    } catch (e) {
      toast(String(e.message || e), 'error');
    }
  }

  async function erase() {
    const ok = await confirmDialog({ title: t('esp.erase'), message: t('esp.erase_confirm'), ok: t('esp.erase'), danger: true });
    if (ok) start('esp-erase-flash');
  }

  // Progress: one bar per image, filled from the latest event of the tab.
  const bars = new Map();
  function showProgress() {
    const ev = tab.transfer;
    if (!ev || ev.protocol && !String(ev.protocol).startsWith('esp-')) return;
    if (ev.kind === 'done') {
      progress.dataset.state = ev.ok ? 'ok' : 'fail';
      // The panel samples the latest event, so an image's last steps can pass unseen; a run
      // that ended well wrote and verified every image.
      if (ev.ok) {
        for (const [key, { bar, label }] of bars) {
          if (!key) continue;
          bar.value = 100;
          label.textContent = `${t('esp.stage_verifying')} 100%`;
        }
      }
      progress.querySelector('.esp-outcome')?.remove();
      progress.append(h('p', { class: 'esp-outcome' }, ev.ok ? t('esp.done') : t('esp.failed', { reason: ev.reason || '' })));
      return;
    }
    delete progress.dataset.state;
    progress.querySelector('.esp-outcome')?.remove();
    const key = ev.file ?? '';
    if (!bars.has(key)) {
      const bar = h('progress', { max: 100, value: 0 });
      const label = h('span', { class: 'esp-stage' });
      bars.set(key, { bar, label });
      progress.append(h('div', { class: 'esp-bar' }, h('span', { class: 'esp-file' }, key || t('esp.board')), bar, label));
    }
    const { bar, label } = bars.get(key);
    bar.value = ev.total ? Math.min(100, Math.round((100 * ev.bytes) / ev.total)) : 0;
    label.textContent = t(`esp.stage_${ev.stage}`) + (ev.total ? ` ${bar.value}%` : '');
  }
  let last = null;
  let mounted = false;
  const timer = setInterval(() => {
    if (progress.isConnected) mounted = true;
    else if (mounted) return clearInterval(timer);
    if (tab.transfer !== last) {
      last = tab.transfer;
      showProgress();
    }
  }, 150);

  (async () => {
    let chips = [];
    try {
      chips = await call('esp_chip_list');
      if (!d.loaded) {
        const prefs = await call('esp_get_session_prefs', tab.id);
        if (prefs.esp_chip) d.chip = prefs.esp_chip;
        if (prefs.esp_interface) d.iface = prefs.esp_interface;
        d.loaded = true;
      }
    } catch { /* the lists stay at auto */ }
    // The chips and the remembered choice show together, not auto on the way to it.
    chipSel.append(...chips.map((c) => h('option', { value: c.key }, c.name)));
    sync();
  })();
  sync();
  renderRows();

  return h('div', { class: 'esp-flash' },
    h('div', { class: 'row' },
      h('button', { onclick: () => call('hard_reset_esp', tab.id).then((ok) => ok || toast(t('e.esp_reset_off'), 'error')) },
        icon('power', 14), ' ', t('a.esp_reset')),
      h('button', { onclick: () => call('enter_bootloader_esp', tab.id).then((ok) => ok || toast(t('e.esp_reset_off'), 'error')) },
        icon('chip', 14), ' ', t('a.esp_boot'))),
    h('label', null, t('esp.chip'), chipSel),
    h('label', null, t('esp.interface'), ifaceSel),
    h('table', { class: 'esp-files' },
      h('thead', null, h('tr', null, h('th', null, t('esp.file')), h('th', null, t('esp.size')), h('th', null, t('esp.offset')), h('th'))),
      rows),
    h('div', { class: 'row esp-add' }, pathField, h('button', { onclick: addTyped }, t('esp.add_path'))),
    hostKind === 'desktop' ? h('button', { onclick: addFiles }, icon('folder', 14), ' ', t('esp.add_files')) : null,
    h('label', { class: 'check' }, h('input', { type: 'checkbox', checked: d.compress, onchange: (e) => { d.compress = e.target.checked; } }), t('esp.compress')),
    h('label', { class: 'check' }, h('input', { type: 'checkbox', checked: d.resetAfter, onchange: (e) => { d.resetAfter = e.target.checked; } }), t('esp.reset_after')),
    h('div', { class: 'row' },
      h('button', { class: 'primary', onclick: () => start('esp-flash') }, t('esp.flash')),
      h('button', { class: 'danger', onclick: erase }, t('esp.erase'))),
    progress);
}

PANEL_VIEWS['esp-flash'] = view;
