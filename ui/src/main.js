// The Morvane page: saved sessions on the left, terminal tabs on the right.
import { $, clear, h, icon } from './dom.js';
import { editSession } from './editor.js';
import { setLanguage, t, LANGUAGES } from './i18n.js';
import { actionFor, shortcutTable } from './keys.js';
import { closeAllModals, confirmDialog, modalOpen, openModal, toast } from './overlay.js';
import { ENCODINGS, protocolLabel, sessionSummary } from './schema.js';
import { TermTab, kickPump, startPumps } from './terminals.js';
import { call, hasOp, hostKind, listen } from './transport.js';
import logoSvg from '../logo.svg';

const state = {
  sessions: [],
  status: {},
  lang: 'en',
  sessionsFile: '',
  puttygen: '',
  filter: '',
  selected: null,
  tabs: new Map(),
  order: [],
  active: null,
  linkUp: true,
  sidebar: true,
  pendingInfo: new Map(),
  logo: '',
};
const ui = {};

// ---- runtime state: tabs and reachability, shared with every other page of this program ----
let rtSeq = 0;
let rtApplied = 0;

// Runs an operation that answers the runtime state and applies it, unless a newer answer
// was applied meanwhile (a slow poll must not bring back a tab that was just closed).
async function runtimeCall(op, ...args) {
  const seq = ++rtSeq;
  const r = await call(op, ...args);
  if (r && Array.isArray(r.tabs) && seq > rtApplied) {
    rtApplied = seq;
    applyRuntime(r);
  }
  return r;
}

function applyRuntime(rs) {
  state.status = rs.session_status || {};
  const seen = new Set();
  for (const summary of rs.tabs) {
    seen.add(summary.id);
    let tab = state.tabs.get(summary.id);
    if (!tab) {
      tab = new TermTab(summary, { container: ui.terms, onLink: openLink, onActivity: onTabActivity });
      tab.encoding = encodingOfSession(summary.session_id);
      state.tabs.set(summary.id, tab);
      const queued = state.pendingInfo.get(summary.id);
      if (queued) for (const [m, e] of queued) tab.info(m, e);
      state.pendingInfo.delete(summary.id);
      call('get_tab_reading', summary.id).then((r) => {
        tab.reading = !!r?.reading;
        if (state.active === tab.id) renderToolbar();
      }, () => {});
    } else {
      tab.update(summary);
    }
  }
  for (const [id, tab] of state.tabs) {
    if (!seen.has(id)) {
      tab.dispose();
      state.tabs.delete(id);
    }
  }
  state.order = rs.tabs.map((x) => x.id);
  if (!state.active || !state.tabs.has(state.active)) {
    const next = rs.active_tab && state.tabs.has(rs.active_tab) ? rs.active_tab : state.order[state.order.length - 1] || null;
    activate(next, { focus: false });
  }
  renderTabs();
  renderToolbar();
  renderSessions();
}

function encodingOfSession(sid) {
  const s = state.sessions.find((x) => x.id === sid);
  return String(s?.line_code_page || 'utf-8').toLowerCase();
}

function activeTab() {
  return state.active ? state.tabs.get(state.active) || null : null;
}

function activate(id, { focus = true } = {}) {
  const prev = activeTab();
  if (prev && prev.id !== id) prev.hide();
  state.active = id && state.tabs.has(id) ? id : null;
  const tab = activeTab();
  if (tab) {
    tab.show();
    if (focus && !modalOpen()) tab.focus();
  }
  ui.empty.hidden = !!tab;
  closeSearch();
  renderTabs();
  renderToolbar();
  kickPump();
}

function onTabActivity(tab) {
  if (tab.id !== state.active && tab.unseen) {
    const el = ui.tabbar.querySelector(`[data-id="${tab.id}"]`);
    if (el && !el.classList.contains('unseen')) el.classList.add('unseen');
  }
}

// ---- page functions the native side calls ------------------------------------------------
window.setTerminalInfo = (tabId, message, isError) => {
  const tab = state.tabs.get(tabId);
  if (tab) {
    tab.info(message, !!isError);
    renderTabs();
    if (tab.id === state.active) renderToolbar();
  } else {
    // The tab is not known to this page yet (opened elsewhere a moment ago).
    if (!state.pendingInfo.has(tabId)) state.pendingInfo.set(tabId, []);
    state.pendingInfo.get(tabId).push([message, !!isError]);
    refreshRuntime();
  }
};

window.terminalConnected = (tabId) => {
  const tab = state.tabs.get(tabId);
  if (!tab) {
    refreshRuntime();
    return;
  }
  tab.connected = true;
  tab.failed = false;
  tab.alive = true;
  tab.sendSize(true);
  renderTabs();
  renderToolbar();
  kickPump();
};

window.xferOnEvent = (tabId, ev) => {
  const tab = state.tabs.get(tabId);
  if (!tab || !ev || typeof ev !== 'object') return;
  tab.transfer = ev;
  if (ev.kind === 'done') {
    setTimeout(() => {
      if (tab.transfer === ev) {
        tab.transfer = null;
        if (tab.id === state.active) renderToolbar();
      }
    }, 4000);
  }
  if (tab.id === state.active) renderToolbar();
};

// ---- actions ------------------------------------------------------------------------------
async function connect(sessionId) {
  if (!sessionId) return;
  try {
    const r = await runtimeCall('connect_session', sessionId);
    if (!r.tab_id) {
      toast(t('e.session_missing'), 'error');
      return;
    }
    activate(r.tab_id);
    if (r.existing) toast(t('i.already_open'));
  } catch (e) {
    toast(t('e.call_failed', { err: e.message }), 'error');
  }
}

async function closeTab(id) {
  if (!id) return;
  const order = state.order;
  const idx = order.indexOf(id);
  try {
    await runtimeCall('close_tab', id);
    if (state.active === id || !state.active) {
      const rest = state.order;
      activate(rest[Math.min(idx, rest.length - 1)] || null);
    }
  } catch (e) {
    toast(t('e.call_failed', { err: e.message }), 'error');
  }
}

async function reconnect(id) {
  const tab = state.tabs.get(id);
  if (!tab) return;
  const sid = tab.sessionId;
  await closeTab(id);
  await connect(sid);
}

function cycleTab(step) {
  if (!state.order.length) return;
  const i = state.order.indexOf(state.active);
  const n = state.order.length;
  activate(state.order[(i + step + n) % n]);
}

async function copySelection() {
  const tab = activeTab();
  const text = tab?.term.getSelection();
  if (!text) return;
  try {
    await navigator.clipboard.writeText(text);
  } catch {
    const area = h('textarea', { style: { position: 'fixed', opacity: '0' } }, text);
    document.body.append(area);
    area.select();
    document.execCommand('copy');
    area.remove();
  }
  toast(t('i.copied'), 'info', 1200);
  tab.focus();
}

async function paste() {
  const tab = activeTab();
  if (!tab) return;
  let text = null;
  // WebKitGTK answers a script's clipboard read with a "Paste" prompt of its own: in the
  // desktop window the native clipboard is the page's clipboard.
  if (hostKind !== 'desktop') {
    try {
      text = await navigator.clipboard.readText();
    } catch {
      text = null;
    }
  }
  if (text === null && hasOp('read_clipboard')) {
    try {
      text = await call('read_clipboard');
    } catch {
      text = null;
    }
  }
  if (text) tab.term.paste(text);
  tab.focus();
}

function openLink(uri) {
  if (hostKind === 'desktop' && hasOp('open_url')) {
    call('open_url', uri).then((ok) => !ok && toast(t('e.open_url')), () => toast(t('e.open_url')));
  } else {
    window.open(uri, '_blank', 'noopener,noreferrer');
  }
}

async function newSession(template) {
  await editSession(template || { protocol: 'ssh' }, { onSaved: afterSave });
}

async function editSelected(id = state.selected) {
  const s = state.sessions.find((x) => x.id === id);
  if (s) await editSession(s, { onSaved: afterSave });
}

function afterSave(r, andConnect) {
  state.sessions = r.sessions;
  state.selected = r.id;
  renderSessions();
  for (const tab of state.tabs.values()) if (tab.sessionId === r.id) tab.encoding = encodingOfSession(r.id);
  renderToolbar();
  toast(t('i.saved'), 'info', 1500);
  if (andConnect) connect(r.id);
}

async function duplicateSession(id) {
  const s = state.sessions.find((x) => x.id === id);
  if (!s) return;
  const copy = structuredClone(s);
  delete copy.id;
  copy.name = t('i.copy_name', { name: s.name || sessionSummary(s) });
  try {
    const r = await call('save_session', copy);
    state.sessions = r.sessions;
    state.selected = r.id;
    renderSessions();
  } catch (e) {
    toast(t('e.save_failed', { err: e.message }), 'error');
  }
}

async function deleteSession(id) {
  const s = state.sessions.find((x) => x.id === id);
  if (!s) return;
  const ok = await confirmDialog({
    title: t('t.delete_session'),
    message: t('q.delete_session', { name: s.name || sessionSummary(s) }),
    ok: t('a.delete'),
    danger: true,
  });
  if (!ok) return;
  try {
    const r = await call('delete_session', id);
    state.sessions = r.sessions;
    if (state.selected === id) state.selected = null;
    renderSessions();
  } catch (e) {
    toast(t('e.call_failed', { err: e.message }), 'error');
  }
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

// ---- the sidebar: saved sessions ------------------------------------------------------------
function visibleSessions() {
  const q = state.filter.trim().toLowerCase();
  if (!q) return state.sessions;
  return state.sessions.filter((s) =>
    [s.name, s.host, s.username, s.protocol, protocolLabel(s), sessionSummary(s)].some((v) => String(v ?? '').toLowerCase().includes(q)));
}

function statusOf(s) {
  return state.status[s.id] || 'unknown';
}

// Renders rebuild their part only when what it shows changed: a rebuild under the pointer
// would swallow clicks and take the focus from a field being typed in.
const drawn = {};
function changed(part, key) {
  if (drawn[part] === key) return false;
  drawn[part] = key;
  return true;
}

function sessionsKey(list) {
  const open = [...new Set([...state.tabs.values()].map((t) => t.sessionId))];
  return JSON.stringify([state.lang, state.sessions, list.map((s) => s.id), list.map(statusOf), open, state.selected]);
}

function renderSessions() {
  const list = visibleSessions();
  if (state.selected && !list.some((s) => s.id === state.selected)) state.selected = list[0]?.id || null;
  if (!state.selected && list.length) state.selected = list[0].id;
  const open = new Set([...state.tabs.values()].map((t) => t.sessionId));
  if (!changed('sessions', sessionsKey(list))) return;
  const items = list.map((s) => {
    const st = statusOf(s);
    const li = h('li', {
      class: `session ${s.id === state.selected ? 'selected' : ''}`,
      role: 'option',
      'aria-selected': s.id === state.selected ? 'true' : 'false',
      dataset: { id: s.id },
      onclick: () => selectSession(s.id),
      ondblclick: () => connect(s.id),
    },
    h('span', { class: `dot ${st}`, title: t(`st.${st}`), 'aria-label': t(`st.${st}`) }),
    h('div', { class: 'meta' },
      h('div', { class: 'name' }, s.name || sessionSummary(s), open.has(s.id) ? h('span', { class: 'open-mark', title: t('i.open_in_tab') }) : null),
      h('div', { class: 'sub' }, h('span', { class: `badge p-${s.protocol || 'ssh'}` }, protocolLabel(s)), h('span', { class: 'addr' }, sessionSummary(s)))),
    h('div', { class: 'item-tools' },
      h('button', { class: 'icon-btn', title: t('a.connect'), 'aria-label': t('a.connect'), onclick: (e) => { e.stopPropagation(); connect(s.id); } }, icon('plug', 14)),
      h('button', { class: 'icon-btn', title: t('a.edit'), 'aria-label': t('a.edit'), onclick: (e) => { e.stopPropagation(); editSelected(s.id); } }, icon('edit', 14)),
      h('button', { class: 'icon-btn', title: t('a.duplicate'), 'aria-label': t('a.duplicate'), onclick: (e) => { e.stopPropagation(); duplicateSession(s.id); } }, icon('copy', 14)),
      h('button', { class: 'icon-btn danger', title: t('a.delete'), 'aria-label': t('a.delete'), onclick: (e) => { e.stopPropagation(); deleteSession(s.id); } }, icon('trash', 14))));
    return li;
  });
  ui.list.replaceChildren(...items);
  if (!state.sessions.length) {
    ui.list.append(h('li', { class: 'list-empty' }, t('i.no_sessions'), h('button', { class: 'btn small primary', onclick: () => newSession() }, icon('plus', 14), t('a.new_session'))));
  } else if (!list.length) {
    ui.list.append(h('li', { class: 'list-empty' }, t('i.no_match')));
  }
  ui.count.textContent = t(state.sessions.length === 1 ? 'i.session_count_one' : 'i.session_count', { n: state.sessions.length });
}

function selectSession(id, { scroll = false } = {}) {
  state.selected = id;
  for (const li of ui.list.querySelectorAll('.session')) {
    const on = li.dataset.id === id;
    li.classList.toggle('selected', on);
    li.setAttribute('aria-selected', on ? 'true' : 'false');
    if (on && scroll) li.scrollIntoView({ block: 'nearest' });
  }
  // The list on screen already shows this selection.
  drawn.sessions = sessionsKey(visibleSessions());
}

function moveSelection(step) {
  const list = visibleSessions();
  if (!list.length) return;
  const i = list.findIndex((s) => s.id === state.selected);
  const j = Math.max(0, Math.min(list.length - 1, (i < 0 ? 0 : i + step)));
  selectSession(list[j].id, { scroll: true });
}

function onListKey(e) {
  if (e.key === 'ArrowDown' || e.key === 'ArrowUp') {
    e.preventDefault();
    moveSelection(e.key === 'ArrowDown' ? 1 : -1);
  } else if (e.key === 'Enter') {
    e.preventDefault();
    connect(state.selected);
  } else if (e.key === 'Delete') {
    e.preventDefault();
    deleteSession(state.selected);
  } else if (e.key === 'F2') {
    e.preventDefault();
    editSelected();
  }
}

// ---- the tab strip and the tab's toolbar ------------------------------------------------
function renderTabs() {
  const tabs = state.order.map((id) => state.tabs.get(id)).filter(Boolean);
  const key = JSON.stringify([state.lang, state.active, tabs.map((x) => [x.id, x.display, x.protocol, x.state, x.unseen])]);
  if (!changed('tabs', key)) return;
  const els = tabs.map((tab, i) => h('div', {
    class: `tab ${tab.id === state.active ? 'active' : ''} ${tab.unseen ? 'unseen' : ''}`,
    role: 'tab',
    tabindex: tab.id === state.active ? '0' : '-1',
    'aria-selected': tab.id === state.active ? 'true' : 'false',
    dataset: { id: tab.id, state: tab.state },
    title: `${tab.display} — ${t(`ts.${tab.state}`)}${i < 9 ? ` (Alt+${i + 1})` : ''}`,
    onclick: () => activate(tab.id),
    onauxclick: (e) => { if (e.button === 1) closeTab(tab.id); },
  },
  h('span', { class: `dot ${tab.state}` }),
  h('span', { class: 'tab-title' }, tab.display || '—'),
  h('span', { class: 'tab-proto' }, ['conpty', 'serial'].includes(tab.protocol) ? t(`proto.short.${tab.protocol}`) : String(tab.protocol || '').toUpperCase()),
  h('button', { class: 'tab-close', title: t('a.close_tab'), 'aria-label': t('a.close_tab'), onclick: (e) => { e.stopPropagation(); closeTab(tab.id); } }, icon('x', 12))));
  els.push(h('button', { class: 'tab-new', title: t('a.quick_connect'), 'aria-label': t('a.quick_connect'), onclick: quickConnect }, icon('plus', 14)));
  ui.tabbar.replaceChildren(...els);
}

function renderToolbar() {
  const tab = activeTab();
  ui.toolbar.hidden = !tab;
  if (!tab) return;
  const s = state.sessions.find((x) => x.id === tab.sessionId);
  const key = JSON.stringify([state.lang, tab.id, tab.state, tab.reading, tab.encoding, tab.transfer, s ? sessionSummary(s) : tab.display]);
  if (!changed('toolbar', key)) return;
  const enc = h('input', {
    class: 'enc', type: 'text', value: tab.encoding || 'utf-8', list: 'encodings', spellcheck: 'false',
    title: t('h.tab_encoding'), 'aria-label': t('f.line_code_page'),
    onchange: async (e) => {
      const name = e.target.value.trim();
      if (!name) return;
      try {
        const ok = await call('set_tab_encoding', tab.id, name);
        if (ok) {
          tab.encoding = name;
          toast(t('i.encoding_set', { enc: name }), 'info', 1500);
        } else {
          toast(t('e.unknown_encoding', { enc: name }), 'error');
          e.target.value = tab.encoding || 'utf-8';
        }
      } catch (err) {
        toast(t('e.call_failed', { err: err.message }), 'error');
      }
      tab.focus();
    },
  });
  const reading = h('button', {
    class: `tool ${tab.reading ? '' : 'off'}`,
    title: tab.reading ? t('h.reading_on') : t('h.reading_off'),
    'aria-pressed': tab.reading ? 'true' : 'false',
    onclick: async () => {
      try {
        const r = await call('toggle_tab_reading', tab.id);
        tab.reading = !!r.reading;
      } catch (e) {
        toast(t('e.call_failed', { err: e.message }), 'error');
      }
      renderToolbar();
      tab.focus();
    },
  }, icon(tab.reading ? 'pause' : 'play', 14), tab.reading ? t('a.pause_output') : t('a.resume_output'));
  const xfer = tab.transfer ? h('span', { class: 'xfer' }, describeTransfer(tab.transfer)) : null;
  // ESP32 boards on a USB-UART adapter reset through DTR/RTS; only serial tabs have them.
  const espButton = (op, label, hint, iconName) => (tab.protocol === 'serial' && hasOp(op)
    ? h('button', {
      class: 'tool', title: t(hint), dataset: { op },
      onclick: async () => {
        try {
          if (!(await call(op, tab.id))) toast(t('e.esp_reset_off'), 'error');
        } catch (e) {
          toast(t('e.call_failed', { err: e.message }), 'error');
        }
        tab.focus();
      },
    }, icon(iconName, 14), t(label))
    : null);
  ui.toolbar.replaceChildren(
    h('div', { class: 'tb-left' },
      h('span', { class: `state-pill ${tab.state}` }, h('span', { class: `dot ${tab.state}` }), t(`ts.${tab.state}`)),
      h('span', { class: 'tb-title' }, s ? sessionSummary(s) : tab.display),
      !tab.reading ? h('span', { class: 'paused-note' }, t('i.output_paused')) : null,
      xfer),
    h('div', { class: 'tb-right' },
      h('label', { class: 'enc-label' }, t('f.encoding_short'), enc),
      reading,
      espButton('hard_reset_esp', 'a.esp_reset', 'h.esp_reset', 'power'),
      espButton('enter_bootloader_esp', 'a.esp_boot', 'h.esp_boot', 'chip'),
      h('button', { class: 'tool', title: `${t('a.find')} (Ctrl+Shift+F)`, onclick: () => openSearch() }, icon('search', 14), t('a.find')),
      h('button', { class: 'tool', title: `${t('a.reconnect')} (Ctrl+Shift+R)`, onclick: () => reconnect(tab.id) }, icon('refresh', 14), t('a.reconnect'))),
  );
}

function describeTransfer(ev) {
  if (ev.kind === 'done') return ev.ok ? t('x.done') : t('x.failed', { reason: ev.reason || '' });
  const parts = [t('x.running')];
  const name = ev.filename || ev.file || ev.name;
  if (name) parts.push(String(name));
  const done = ev.bytes ?? ev.sent ?? ev.received;
  const total = ev.total ?? ev.size;
  if (typeof done === 'number' && typeof total === 'number' && total > 0) parts.push(`${Math.floor((100 * done) / total)}%`);
  else if (typeof done === 'number') parts.push(`${Math.round(done / 1024)} KiB`);
  return parts.join(' · ');
}

// ---- search in the scrollback ------------------------------------------------------------
const SEARCH_DECOR = {
  matchBackground: '#3a4a66', matchOverviewRuler: '#5aa9ff',
  activeMatchBackground: '#f4c25b', activeMatchColorOverviewRuler: '#f4c25b',
};
let searchDisposer = null;

function openSearch() {
  const tab = activeTab();
  if (!tab) return;
  ui.search.hidden = false;
  ui.searchInput.focus();
  ui.searchInput.select();
  searchDisposer?.dispose();
  searchDisposer = tab.search.onDidChangeResults(({ resultIndex, resultCount }) => {
    ui.searchCount.textContent = resultCount ? `${resultIndex + 1}/${resultCount}` : ui.searchInput.value ? t('i.no_results') : '';
  });
}

function closeSearch() {
  if (!ui.search || ui.search.hidden) return;
  ui.search.hidden = true;
  searchDisposer?.dispose();
  searchDisposer = null;
  activeTab()?.search.clearDecorations();
  activeTab()?.focus();
}

function findNext(back = false) {
  const tab = activeTab();
  const q = ui.searchInput.value;
  if (!tab || !q) return;
  const opts = { decorations: SEARCH_DECOR, caseSensitive: ui.searchCase.checked };
  if (back) tab.search.findPrevious(q, opts);
  else tab.search.findNext(q, opts);
}

// ---- quick connect, settings --------------------------------------------------------------
function quickConnect() {
  let sel = 0;
  const input = h('input', { type: 'search', placeholder: t('h.quick_connect'), autofocus: true, spellcheck: 'false', class: 'palette-input' });
  const list = h('ul', { class: 'palette-list', role: 'listbox' });
  const matches = () => {
    const q = input.value.trim().toLowerCase();
    return state.sessions.filter((s) => !q || [s.name, s.host, s.username, protocolLabel(s), sessionSummary(s)].some((v) => String(v ?? '').toLowerCase().includes(q)));
  };
  const draw = () => {
    const m = matches();
    sel = Math.max(0, Math.min(sel, m.length - 1));
    list.replaceChildren(...m.map((s, i) => h('li', {
      class: `palette-item ${i === sel ? 'selected' : ''}`, role: 'option', 'aria-selected': i === sel ? 'true' : 'false',
      onclick: () => { modal.close(); connect(s.id); },
    }, h('span', { class: `dot ${statusOf(s)}` }), h('span', { class: 'name' }, s.name || sessionSummary(s)),
    h('span', { class: `badge p-${s.protocol || 'ssh'}` }, protocolLabel(s)), h('span', { class: 'addr' }, sessionSummary(s)))));
    if (!m.length) list.append(h('li', { class: 'palette-empty' }, state.sessions.length ? t('i.no_match') : t('i.no_sessions')));
  };
  input.addEventListener('input', () => { sel = 0; draw(); });
  input.addEventListener('keydown', (e) => {
    const m = matches();
    if (e.key === 'ArrowDown' || e.key === 'ArrowUp') {
      e.preventDefault();
      sel += e.key === 'ArrowDown' ? 1 : -1;
      draw();
      list.children[sel]?.scrollIntoView({ block: 'nearest' });
    } else if (e.key === 'Enter') {
      e.preventDefault();
      if (m[sel]) {
        modal.close();
        connect(m[sel].id);
      }
    }
  });
  const modal = openModal({
    label: t('a.quick_connect'),
    className: 'palette',
    body: [input, list, h('div', { class: 'palette-foot' },
      h('span', null, t('h.palette_keys')),
      h('button', { class: 'btn small ghost', onclick: () => { modal.close(); newSession(); } }, icon('plus', 14), t('a.new_session')))],
  });
  draw();
}

let settingsModal = null;

function openSettings() {
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
      hostKind === 'browser' ? h('p', { class: 'hint' }, t('h.browser_shared')) : null,
    ],
  });
}

// ---- keyboard -------------------------------------------------------------------------------
function onKey(e) {
  const action = actionFor(e);
  if (!action) return;
  if (modalOpen() && !['settings'].includes(action)) return;
  const inField = e.target instanceof HTMLElement && e.target.closest('input, select, textarea') && !e.target.closest('.xterm');
  if (inField && (action === 'copy' || action === 'paste')) return;
  e.preventDefault();
  e.stopPropagation();
  run(action);
}

function run(action) {
  const tab = activeTab();
  switch (action) {
    case 'quick_connect': return quickConnect();
    case 'new_session': return newSession();
    case 'close_tab': return tab && closeTab(tab.id);
    case 'next_tab': return cycleTab(1);
    case 'prev_tab': return cycleTab(-1);
    case 'copy': return copySelection();
    case 'paste': return paste();
    case 'find': return openSearch();
    case 'reconnect': return tab && reconnect(tab.id);
    case 'filter_sessions':
      if (!state.sidebar) toggleSidebar();
      ui.filter.focus();
      ui.filter.select();
      return;
    case 'toggle_sidebar': return toggleSidebar();
    case 'settings': closeAllModals(); return openSettings();
    default:
      if (action.startsWith('tab_')) {
        const id = state.order[Number(action.slice(4)) - 1];
        if (id) activate(id);
      }
  }
}

function toggleSidebar() {
  state.sidebar = !state.sidebar;
  ui.app.classList.toggle('no-sidebar', !state.sidebar);
  for (const tab of state.tabs.values()) tab.scheduleFit();
}

// ---- the skeleton ---------------------------------------------------------------------------
function buildChrome() {
  const app = $('#app');
  ui.app = app;
  ui.logo = h('span', { class: 'logo' });
  ui.filter = h('input', { type: 'search', class: 'filter', spellcheck: 'false', oninput: (e) => { state.filter = e.target.value; renderSessions(); } });
  ui.filter.addEventListener('keydown', (e) => {
    if (e.key === 'ArrowDown') {
      e.preventDefault();
      ui.list.focus();
      moveSelection(0);
    } else if (e.key === 'Enter') {
      e.preventDefault();
      connect(state.selected);
    } else if (e.key === 'Escape' && ui.filter.value) {
      e.preventDefault();
      ui.filter.value = '';
      state.filter = '';
      renderSessions();
    }
  });
  ui.list = h('ul', { class: 'session-list', role: 'listbox', tabindex: '0', onkeydown: onListKey });
  ui.count = h('span', { class: 'count' });
  ui.newBtn = h('button', { class: 'icon-btn', onclick: () => newSession() }, icon('plus'));
  ui.settingsBtn = h('button', { class: 'icon-btn', onclick: openSettings }, icon('gear'));
  ui.sideBtn = h('button', { class: 'icon-btn side-toggle', onclick: toggleSidebar }, icon('sidebar'));
  ui.hostBadge = h('span', { class: 'host-badge' });
  ui.sidebar = h('aside', { class: 'sidebar' },
    h('header', { class: 'brand' }, ui.logo, h('span', { class: 'brand-name' }, 'Morvane'), h('span', { class: 'spacer' }), ui.newBtn, ui.settingsBtn),
    h('div', { class: 'filter-box' }, icon('search', 14), ui.filter),
    ui.list,
    h('footer', { class: 'side-foot' }, ui.count, ui.hostBadge));

  ui.tabbar = h('nav', { class: 'tabbar', role: 'tablist' });
  ui.toolbar = h('div', { class: 'toolbar', hidden: true });
  ui.searchInput = h('input', { type: 'search', spellcheck: 'false', oninput: () => findNext(false) });
  ui.searchInput.addEventListener('keydown', (e) => {
    if (e.key === 'Enter') {
      e.preventDefault();
      findNext(e.shiftKey);
    } else if (e.key === 'Escape') {
      e.preventDefault();
      closeSearch();
    }
  });
  ui.searchCount = h('span', { class: 'search-count' });
  ui.searchCase = h('input', { type: 'checkbox', id: 'search-case', onchange: () => findNext(false) });
  ui.searchPrev = h('button', { class: 'icon-btn', onclick: () => findNext(true) }, icon('up', 14));
  ui.searchNext = h('button', { class: 'icon-btn', onclick: () => findNext(false) }, icon('down', 14));
  ui.searchClose = h('button', { class: 'icon-btn', onclick: closeSearch }, icon('x', 14));
  ui.searchCaseLabel = h('label', { class: 'search-case', for: 'search-case' });
  ui.search = h('div', { class: 'searchbar', hidden: true },
    icon('search', 14), ui.searchInput, ui.searchCount, ui.searchCase, ui.searchCaseLabel, ui.searchPrev, ui.searchNext, ui.searchClose);
  ui.terms = h('div', { class: 'terms' });
  ui.empty = h('div', { class: 'empty' });
  ui.banner = h('div', { class: 'banner', hidden: true });
  const workspace = h('main', { class: 'workspace' },
    h('div', { class: 'tabrow' }, ui.sideBtn, ui.tabbar),
    ui.toolbar,
    h('div', { class: 'stage' }, ui.terms, ui.search, ui.empty),
    ui.banner);
  app.replaceChildren(ui.sidebar, workspace, h('datalist', { id: 'encodings' }));
}

function renderEmpty() {
  const shortcuts = shortcutTable().filter(([a]) => ['quick_connect', 'new_session', 'next_tab', 'copy', 'paste', 'find'].includes(a));
  clear(ui.empty).append(
    h('div', { class: 'empty-card' },
      h('div', { class: 'empty-logo', 'aria-hidden': 'true' }),
      h('h1', null, t('i.welcome')),
      h('p', null, state.sessions.length ? t('i.welcome_sessions') : t('i.welcome_none')),
      h('div', { class: 'empty-actions' },
        state.sessions.length ? h('button', { class: 'btn primary', onclick: quickConnect }, icon('plug', 14), t('a.quick_connect')) : null,
        h('button', { class: state.sessions.length ? 'btn' : 'btn primary', onclick: () => newSession() }, icon('plus', 14), t('a.new_session'))),
      h('table', { class: 'shortcuts compact' }, h('tbody', null,
        shortcuts.map(([a, keys]) => h('tr', null, h('td', null, t(`k.${a}`)), h('td', null, h('kbd', null, keys[0]))))))));
  const logo = ui.empty.querySelector('.empty-logo');
  logo.innerHTML = logoSvg;
}

function applyTexts() {
  document.documentElement.lang = state.lang === 'zh-Hant' ? 'zh-Hant' : 'en';
  ui.filter.placeholder = t('h.filter');
  ui.filter.setAttribute('aria-label', t('h.filter'));
  ui.list.setAttribute('aria-label', t('i.sessions'));
  for (const [btn, key] of [[ui.newBtn, 'a.new_session'], [ui.settingsBtn, 't.settings'], [ui.sideBtn, 'a.toggle_sidebar'],
    [ui.searchPrev, 'a.find_prev'], [ui.searchNext, 'a.find_next'], [ui.searchClose, 'a.close']]) {
    btn.title = t(key);
    btn.setAttribute('aria-label', t(key));
  }
  ui.searchInput.placeholder = t('h.find');
  ui.searchCaseLabel.textContent = 'Aa';
  ui.searchCaseLabel.title = t('a.match_case');
  ui.hostBadge.textContent = hostKind === 'browser' ? t('i.host_browser') : hostKind === 'desktop' ? '' : t('i.host_none');
  ui.hostBadge.title = hostKind === 'browser' ? t('h.browser_shared') : '';
  ui.banner.textContent = t('e.link_lost');
}

function renderAll() {
  for (const k of Object.keys(drawn)) delete drawn[k];
  applyTexts();
  renderSessions();
  renderTabs();
  renderToolbar();
  renderEmpty();
}

function refreshRuntime() {
  return runtimeCall('get_runtime_state').then(
    () => setLink(true),
    () => setLink(false),
  );
}

function setLink(up) {
  if (state.linkUp === up) return;
  state.linkUp = up;
  ui.banner.hidden = up;
}

async function boot() {
  buildChrome();
  const encList = document.getElementById('encodings');
  encList.replaceChildren(...ENCODINGS.map((e) => h('option', { value: e })));
  document.addEventListener('keydown', onKey, true);
  listen((up) => setLink(up));
  let init;
  for (;;) {
    try {
      init = await call('get_initial_state');
      break;
    } catch (e) {
      setLink(false);
      await new Promise((r) => setTimeout(r, 1000));
    }
  }
  setLink(true);
  state.sessions = Array.isArray(init.sessions) ? init.sessions : [];
  state.lang = init.language || 'en';
  state.sessionsFile = init.sessions_file || '';
  state.puttygen = init.puttygen_path || '';
  setLanguage(state.lang);
  ui.logo.innerHTML = logoSvg;
  renderAll();
  await refreshRuntime();
  if (hasOp('get_images')) {
    call('get_images').then((img) => {
      if (img?.logo) {
        const link = h('link', { rel: 'icon', href: img.logo });
        document.head.append(link);
      }
    }, () => {});
  }
  startPumps(activeTab, () => [...state.tabs.values()].filter((x) => x.id !== state.active));
  const poll = async () => {
    await refreshRuntime();
    setTimeout(poll, document.hidden ? 3000 : 1000);
  };
  setTimeout(poll, 1000);
  window.addEventListener('resize', () => activeTab()?.scheduleFit());
  // For scripts and benchmarks driving the page: the open tabs and their terminals.
  window.__morvane = { tabs: () => [...state.tabs.values()], active: activeTab };
  document.documentElement.dataset.ready = '1';
  if (!state.order.length) ui.list.focus();
}

boot();
