// Side panels beside the terminal (file transfer, flashing, the assistant): each tab has at
// most one open, chosen by its toggle in the toolbar, and keeps it while other tabs are shown.
// A panel's entry in contributions.js says which tabs offer it; its view is registered here
// under the entry's id: view(tab, { close }) builds the panel's body for that tab.
import { h, icon } from './dom.js';
import { t } from './i18n.js';
import { changed, state, ui } from './state.js';
import { renderToolbar } from './toolbar.js';

export const PANEL_VIEWS = {};

export function buildPanelHost() {
  ui.panel = h('aside', { class: 'side-panel', hidden: true });
  return ui.panel;
}

export function togglePanel(tab, id) {
  tab.panel = tab.panel === id ? null : id;
}

// Shows the open panel of the visible tab, if its protocol still offers it.
export function renderPanel(tab, offered) {
  const entry = tab?.panel ? offered.find((p) => p.id === tab.panel) : null;
  const view = entry && PANEL_VIEWS[entry.id];
  if (entry && !view) console.error(`no view registered for the panel "${entry.id}"`);
  if (!changed('panel', view ? JSON.stringify([state.lang, tab.id, entry.id]) : '')) return;
  ui.stage.classList.toggle('with-panel', !!view);
  ui.panel.hidden = !view;
  if (!view) {
    ui.panel.replaceChildren();
    return;
  }
  const close = () => {
    if (tab.panel === entry.id) togglePanel(tab, entry.id);
    renderToolbar();
  };
  ui.panel.replaceChildren(
    h('header', { class: 'panel-head' },
      h('h2', null, t(entry.label)),
      h('button', { class: 'icon-btn', title: t('a.close'), 'aria-label': t('a.close'), onclick: close }, icon('x', 14))),
    h('div', { class: 'panel-body' }, view(tab, { close })));
}
