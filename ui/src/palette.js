// Quick connect: a palette that opens a saved session by typing part of its name or address.
import { h, icon } from './dom.js';
import { t } from './i18n.js';
import { openModal } from './overlay.js';
import { protocolLabel, sessionSummary } from './schema.js';
import { newSession } from './sessions.js';
import { state, statusOf } from './state.js';
import { connect } from './tabs.js';

export function quickConnect() {
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
