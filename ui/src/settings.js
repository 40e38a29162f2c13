// The settings dialog (language, where the files are, the shortcuts) and the language switch.
import { renderAll } from './chrome.js';
import { h } from './dom.js';
import { LANGUAGES, setLanguage, t } from './i18n.js';
import { shortcutTable } from './keys.js';
import { openModal, toast } from './overlay.js';
import { importFromPutty } from './sessions.js';
import { state } from './state.js';
import { call, hasOp, hostKind } from './transport.js';

let settingsModal = null;

export function openSettings() {
  const langSel = h('select', { id: 'set-language', onchange: (e) => changeLanguage(e.target.value) },
    LANGUAGES.map(([code, name]) => h('option', { value: code, selected: code === state.lang }, name)));
  const rows = shortcutTable().map(([action, keys]) => h('tr', null, h('td', null, t(`k.${action}`)), h('td', null, keys.map((k) => h('kbd', null, k)))));
  settingsModal = openModal({
    title: t('t.settings'),
    className: 'settings-modal',
    onClose: () => {
      settingsModal = null;
    },
    body: [
      h('section', { class: 'form-section plain' },
        h('div', { class: 'field' }, h('label', { for: 'set-language' }, t('f.language')), langSel)),
      h('section', { class: 'form-section plain' },
        h('h3', null, t('s.files')),
        h('div', { class: 'field' }, h('label', null, t('f.sessions_file')), h('code', { class: 'path' }, state.sessionsFile || '—')),
        h('div', { class: 'field' }, h('label', null, t('f.puttygen')), h('code', { class: 'path' }, state.puttygen || t('i.not_found')))),
      h('section', { class: 'form-section plain' },
        h('h3', null, t('s.shortcuts')),
        h('table', { class: 'shortcuts' }, h('tbody', null, rows))),
      h('section', { class: 'form-section plain' },
        h('div', { class: 'button-row' },
          hasOp('import_list_from_putty') ? h('button', { class: 'btn', onclick: () => { settingsModal?.close(); importFromPutty(); } }, t('a.import_putty')) : null,
          hasOp('get_third_party_licenses') ? h('button', { class: 'btn', onclick: openLicenses }, t('a.licenses')) : null)),
      hostKind === 'browser' ? h('p', { class: 'hint' }, t('h.browser_shared')) : null,
    ],
  });
}

async function changeLanguage(lang) {
  try {
    const r = await call('set_language', lang);
    state.lang = r.language;
  } catch (e) {
    toast(t('e.call_failed', { err: e.message }), 'error');
    return;
  }
  setLanguage(state.lang);
  renderAll();
  // The settings dialog speaks the new language at once.
  if (settingsModal) {
    settingsModal.close();
    openSettings();
    document.getElementById('set-language')?.focus();
  }
}

// The open-source components of the installation, each with its licence text.
export async function openLicenses() {
  let items;
  try {
    ({ items } = await call('get_third_party_licenses'));
  } catch (e) {
    toast(t('e.call_failed', { err: e.message }), 'error');
    return;
  }
  const body = h('pre', { class: 'license-text', tabindex: '0' });
  const list = h('ul', { class: 'license-list', role: 'listbox' });
  const show = (i) => {
    for (const [j, li] of [...list.children].entries()) li.classList.toggle('selected', j === i);
    body.textContent = items[i]?.body ?? '';
    body.scrollTop = 0;
  };
  list.replaceChildren(...items.map((it, i) => h('li', { role: 'option', onclick: () => show(i) },
    h('div', { class: 'name' }, it.version ? `${it.name} ${it.version}` : it.name),
    h('div', { class: 'sub' }, it.license_file))));
  openModal({
    title: t('t.licenses'),
    wide: true,
    className: 'license-modal',
    body: items.length ? h('div', { class: 'license-view' }, list, body) : h('p', { class: 'hint' }, t('i.no_licenses')),
  });
  if (items.length) show(0);
}
