// The bar above the visible terminal: the tab's state and encoding, the reading switch, the
// tools its protocol contributes (contributions.js), find and reconnect; and the find bar.
import { CONTRIBUTIONS, contributionsFor } from './contributions.js';
import { h, icon } from './dom.js';
import { t } from './i18n.js';
import { toast } from './overlay.js';
import { renderPanel, togglePanel } from './panels.js';
import { sessionSummary } from './schema.js';
import { activeTab, changed, sessionById, state, ui } from './state.js';
import { reconnect } from './tabs.js';
import { call, hasOp } from './transport.js';

export function renderToolbar() {
  const tab = activeTab();
  ui.toolbar.hidden = !tab;
  const tools = tab ? contributionsFor(tab.protocol, hasOp, CONTRIBUTIONS) : { buttons: [], panels: [] };
  renderPanel(tab, tools.panels);
  if (!tab) return;
  const s = sessionById(tab.sessionId);
  const key = JSON.stringify([state.lang, tab.id, tab.state, tab.reading, tab.encoding, tab.transfer, tab.panel, s ? sessionSummary(s) : tab.display]);
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
  ui.toolbar.replaceChildren(
    h('div', { class: 'tb-left' },
      h('span', { class: `state-pill ${tab.state}` }, h('span', { class: `dot ${tab.state}` }), t(`ts.${tab.state}`)),
      h('span', { class: 'tb-title' }, s ? sessionSummary(s) : tab.display),
      !tab.reading ? h('span', { class: 'paused-note' }, t('i.output_paused')) : null,
      xfer),
    h('div', { class: 'tb-right' },
      h('label', { class: 'enc-label' }, t('f.encoding_short'), enc),
      reading,
      tools.buttons.map((b) => contributedButton(tab, b)),
      tools.panels.map((p) => panelToggle(tab, p)),
      h('button', { class: 'tool', title: `${t('a.find')} (Ctrl+Shift+F)`, onclick: () => openSearch() }, icon('search', 14), t('a.find')),
      h('button', { class: 'tool', title: `${t('a.reconnect')} (Ctrl+Shift+R)`, onclick: () => reconnect(tab.id) }, icon('refresh', 14), t('a.reconnect'))),
  );
}

// A one-shot tool: the operation runs for this tab; a false answer means it was refused.
function contributedButton(tab, b) {
  return h('button', {
    class: 'tool', title: t(b.hint), dataset: { op: b.op },
    onclick: async () => {
      try {
        if (!(await call(b.op, tab.id))) toast(t(b.refused), 'error');
      } catch (e) {
        toast(t('e.call_failed', { err: e.message }), 'error');
      }
      tab.focus();
    },
  }, icon(b.icon, 14), t(b.label));
}

function panelToggle(tab, p) {
  const open = tab.panel === p.id;
  return h('button', {
    class: `tool ${open ? 'on' : ''}`, title: t(p.hint), 'aria-pressed': open ? 'true' : 'false', dataset: { panel: p.id },
    onclick: () => {
      togglePanel(tab, p.id);
      renderToolbar();
    },
  }, icon(p.icon, 14), t(p.label));
}

function describeTransfer(ev) {
  if (ev.kind === 'done') return ev.ok ? t('x.done') : t('x.failed', { reason: ev.reason || '' });
  const parts = [t('x.running')];
  const name = ev.filename || ev.file || ev.name;
  if (name) parts.push(String(name));
  const done = ev.done ?? ev.bytes ?? ev.sent ?? ev.received;
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

// The find bar over the terminal; hidden until Find.
export function buildSearchBar() {
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
  return ui.search;
}

export function openSearch() {
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

export function closeSearch() {
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
