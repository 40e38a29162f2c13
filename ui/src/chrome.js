// The page's skeleton: the sidebar, the tab row, the toolbar, the stage with the terminals,
// and the texts that are not part of any render.
import { $, clear, h, icon } from './dom.js';
import { t } from './i18n.js';
import { shortcutTable } from './keys.js';
import { quickConnect } from './palette.js';
import { buildPanelHost } from './panels.js';
import { buildSessionList, newSession, renderSessions } from './sessions.js';
import { openSettings } from './settings.js';
import { forgetDrawn, state, ui } from './state.js';
import { renderTabs } from './tabs.js';
import { buildSearchBar, renderToolbar } from './toolbar.js';
import { hostKind } from './transport.js';
import logoSvg from '../logo.svg';

export function buildChrome() {
  const app = $('#app');
  ui.app = app;
  ui.logo = h('span', { class: 'logo' });
  buildSessionList();
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
  ui.terms = h('div', { class: 'terms' });
  ui.empty = h('div', { class: 'empty' });
  ui.banner = h('div', { class: 'banner', hidden: true });
  ui.stage = h('div', { class: 'stage' }, ui.terms, buildSearchBar(), ui.empty, buildPanelHost());
  const workspace = h('main', { class: 'workspace' },
    h('div', { class: 'tabrow' }, ui.sideBtn, ui.tabbar),
    ui.toolbar,
    ui.stage,
    ui.banner);
  app.replaceChildren(ui.sidebar, workspace, h('datalist', { id: 'encodings' }));
}

export function toggleSidebar() {
  state.sidebar = !state.sidebar;
  ui.app.classList.toggle('no-sidebar', !state.sidebar);
  for (const tab of state.tabs.values()) tab.scheduleFit();
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

// Every part again, in the current language.
export function renderAll() {
  forgetDrawn();
  applyTexts();
  renderSessions();
  renderTabs();
  renderToolbar();
  renderEmpty();
}
