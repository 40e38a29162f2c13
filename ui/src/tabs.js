// Terminal tabs as the native side reports them: the runtime state, the tab strip, opening,
// closing and switching tabs, and the page functions the native side calls about a tab.
import { h, icon } from './dom.js';
import { t } from './i18n.js';
import { modalOpen, toast } from './overlay.js';
import { quickConnect } from './palette.js';
import { renderSessions } from './sessions.js';
import { activeTab, changed, encodingOfSession, state, ui } from './state.js';
import { TermTab } from './terminals.js';
import { closeSearch, renderToolbar } from './toolbar.js';
import { call, hasOp, hostKind } from './transport.js';

// ---- runtime state: tabs and reachability, shared with every other page of this program ----
let rtSeq = 0;
let rtApplied = 0;
let rtLast = '';
// Answers are compared with their keys sorted: the desktop window hands them over as objects
// whose keys come in no fixed order, and an unchanged state read as a change keeps the poll
// asking every second instead of slowing down.
const sortedKeys = (_, v) =>
  v && typeof v === 'object' && !Array.isArray(v) ? Object.fromEntries(Object.keys(v).sort().map((k) => [k, v[k]])) : v;

// Runs an operation that answers the runtime state and applies it, unless a newer answer
// was applied meanwhile (a slow poll must not bring back a tab that was just closed). An
// answer equal to the last one applied changes nothing and draws nothing.
async function runtimeCall(op, ...args) {
  const seq = ++rtSeq;
  const r = await call(op, ...args);
  let changed = false;
  if (r && Array.isArray(r.tabs) && seq > rtApplied) {
    rtApplied = seq;
    const key = JSON.stringify(r, sortedKeys);
    if (key !== rtLast) {
      rtLast = key;
      changed = true;
      applyRuntime(r);
    }
  }
  return { r, changed };
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

// Resolves to whether the state changed since it was last applied.
export function refreshRuntime() {
  return runtimeCall('get_runtime_state').then(
    ({ changed }) => {
      setLink(true);
      return changed;
    },
    () => {
      setLink(false);
      return true;
    },
  );
}

// A notice about a tab often comes with a change of its state (its connection ended): the
// state is asked for soon rather than at the next, possibly slow, poll.
let pokeTimer = 0;
function pokeRuntime() {
  if (pokeTimer) return;
  pokeTimer = setTimeout(() => {
    pokeTimer = 0;
    refreshRuntime();
  }, 50);
}

export function setLink(up) {
  if (state.linkUp === up) return;
  state.linkUp = up;
  ui.banner.hidden = up;
}

export function activate(id, { focus = true } = {}) {
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
}

function onTabActivity(tab) {
  if (tab.id !== state.active && tab.unseen) {
    const el = ui.tabbar.querySelector(`[data-id="${tab.id}"]`);
    if (el && !el.classList.contains('unseen')) el.classList.add('unseen');
  }
}

// ---- page functions the native side calls ------------------------------------------------
export function installPageFunctions() {
  window.setTerminalInfo = (tabId, message, isError) => {
    const tab = state.tabs.get(tabId);
    if (tab) {
      tab.info(message, !!isError);
      renderTabs();
      if (tab.id === state.active) renderToolbar();
      pokeRuntime();
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
  };

  window.xferOnEvent = (tabId, ev) => {
    const tab = state.tabs.get(tabId);
    if (!tab || !ev || typeof ev !== 'object') return;
    if (ev.kind === 'offer') {
      // A remote receiver waits: open the transfer panel set up to send, for the user to pick files.
      tab.xferOffer = { protocol: String(ev.protocol || 'zmodem'), direction: 'send' };
      tab.panel = 'xfer';
      if (tab.id === state.active) renderToolbar();
      return;
    }
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
}

// ---- actions ------------------------------------------------------------------------------
export async function connect(sessionId) {
  if (!sessionId) return;
  try {
    const { r } = await runtimeCall('connect_session', sessionId);
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

export async function closeTab(id) {
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

export async function reconnect(id) {
  const tab = state.tabs.get(id);
  if (!tab) return;
  const sid = tab.sessionId;
  await closeTab(id);
  await connect(sid);
}

export function cycleTab(step) {
  if (!state.order.length) return;
  const i = state.order.indexOf(state.active);
  const n = state.order.length;
  activate(state.order[(i + step + n) % n]);
}

export async function copySelection() {
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

export async function paste() {
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

// ---- the tab strip ------------------------------------------------------------------------
export function renderTabs() {
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
