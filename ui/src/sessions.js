// The sidebar: saved sessions, their filter and reachability, and the actions on one session
// (connect, new, edit, duplicate, delete).
import { h, icon } from './dom.js';
import { editSession } from './editor.js';
import { t } from './i18n.js';
import { confirmDialog, openModal, toast } from './overlay.js';
import { protocolLabel, sessionSummary } from './schema.js';
import { changed, encodingOfSession, markDrawn, sessionById, state, statusOf, ui } from './state.js';
import { connect } from './tabs.js';
import { renderToolbar } from './toolbar.js';
import { call, hasOp } from './transport.js';

// ---- actions on sessions ------------------------------------------------------------------
export async function newSession(template) {
  await editSession(template || { protocol: 'ssh' }, { onSaved: afterSave });
}

async function editSelected(id = state.selected) {
  const s = sessionById(id);
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
  const s = sessionById(id);
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
  const s = sessionById(id);
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

// ---- taking over PuTTY's saved sessions --------------------------------------------------------
// PuTTY keeps its defaults as a session of this name; it is listed but not chosen at first.
const PUTTY_DEFAULTS = 'Default Settings';

function puttySummary(r) {
  const proto = String(r.Protocol || 'ssh').toLowerCase();
  const host = r.HostName || r.SerialLine || '';
  const port = r.PortNumber != null && r.PortNumber !== '' ? `:${r.PortNumber}` : '';
  const user = r.UserName ? `${r.UserName}@` : '';
  return `${proto} · ${user}${host}${port}`;
}

export async function importFromPutty() {
  if (!hasOp('import_list_from_putty')) return;
  let records;
  try {
    records = await call('import_list_from_putty');
  } catch (e) {
    toast(t('e.call_failed', { err: e.message }), 'error');
    return;
  }
  if (!records.length) {
    toast(t('i.putty_none'), 'info');
    return;
  }
  const boxes = records.map((r, i) => h('input', { type: 'checkbox', id: `putty-${i}`, checked: r.name !== PUTTY_DEFAULTS, onchange: update }));
  const importBtn = h('button', { class: 'btn primary', onclick: run });
  const all = h('input', { type: 'checkbox', id: 'putty-all', onchange: (e) => { for (const b of boxes) b.checked = e.target.checked; update(); } });
  function update() {
    const n = boxes.filter((b) => b.checked).length;
    importBtn.textContent = t('a.import_n', { n });
    importBtn.disabled = n === 0;
    all.checked = n === boxes.length;
    all.indeterminate = n > 0 && n < boxes.length;
  }
  const m = openModal({
    title: t('t.import_putty'),
    wide: true,
    className: 'import-modal',
    body: [
      h('p', { class: 'hint' }, t('h.import_putty')),
      h('label', { class: 'check-row all', for: 'putty-all' }, all, t('a.select_all')),
      h('ul', { class: 'import-list' }, records.map((r, i) => h('li', null,
        h('label', { class: 'check-row', for: `putty-${i}` }, boxes[i],
          h('span', { class: 'name' }, r.name || t('i.import_unnamed')),
          h('span', { class: 'sub' }, puttySummary(r)))))),
    ],
    footer: [h('button', { class: 'btn', onclick: () => m.close() }, t('a.cancel')), importBtn],
  });
  update();
  async function run() {
    const chosen = records.filter((_, i) => boxes[i].checked);
    importBtn.disabled = true;
    try {
      const r = await call('import_putty_sessions', chosen);
      state.sessions = r.sessions;
      m.close();
      renderSessions();
      toast(t('i.imported_n', { n: chosen.length }), 'info');
    } catch (e) {
      importBtn.disabled = false;
      toast(t('e.call_failed', { err: e.message }), 'error');
    }
  }
}

// ---- the list -----------------------------------------------------------------------------
function visibleSessions() {
  const q = state.filter.trim().toLowerCase();
  if (!q) return state.sessions;
  return state.sessions.filter((s) =>
    [s.name, s.host, s.username, s.protocol, protocolLabel(s), sessionSummary(s)].some((v) => String(v ?? '').toLowerCase().includes(q)));
}

function sessionsKey(list) {
  const open = [...new Set([...state.tabs.values()].map((t) => t.sessionId))];
  return JSON.stringify([state.lang, state.sessions, list.map((s) => s.id), list.map(statusOf), open, state.selected]);
}

export function renderSessions() {
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
    ui.list.append(h('li', { class: 'list-empty' }, t('i.no_sessions'), h('button', { class: 'btn small primary', onclick: () => newSession() }, icon('plus', 14), t('a.new_session')),
      hasOp('import_list_from_putty') ? h('button', { class: 'btn small', onclick: importFromPutty }, t('a.import_putty')) : null));
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
  markDrawn('sessions', sessionsKey(visibleSessions()));
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

// The filter box and the list; the skeleton places them in the sidebar.
export function buildSessionList() {
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
}
