// The Morvane page: saved sessions on the left, terminal tabs on the right. This file starts
// it: the skeleton, the first state from the native side, the pumps and polls, the shortcuts.
import './assistant.js';
import { buildChrome, renderAll, toggleSidebar } from './chrome.js';
import { CONTRIBUTIONS } from './contributions.js';
import { h } from './dom.js';
import './espflash.js';
import { setLanguage } from './i18n.js';
import { actionFor } from './keys.js';
import { closeAllModals, modalOpen } from './overlay.js';
import { quickConnect } from './palette.js';
import { ENCODINGS } from './schema.js';
import { newSession } from './sessions.js';
import { PANEL_VIEWS } from './panels.js';
import './transfer_panel.js';
import { openSettings } from './settings.js';
import { activeTab, state, ui } from './state.js';
import { activate, closeTab, copySelection, cycleTab, installPageFunctions, paste, reconnect, refreshRuntime, setLink } from './tabs.js';
import { startPumps } from './terminals.js';
import { openSearch } from './toolbar.js';
import { call, hasOp, listen } from './transport.js';
import logoSvg from '../logo.svg';

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

// ---- start-up -------------------------------------------------------------------------------
async function boot() {
  installPageFunctions();
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
  startPumps(() => [...state.tabs.values()]);
  // Tabs opened or ended elsewhere and the reachability of saved sessions come from this
  // poll. While nothing changes it slows down to one question every five seconds; notices
  // and the page's own actions ask at once.
  let quiet = 0;
  const poll = async () => {
    quiet = (await refreshRuntime()) ? 0 : Math.min(quiet + 1, 4);
    setTimeout(poll, document.hidden ? 5000 : 1000 * (1 + quiet));
  };
  setTimeout(poll, 1000);
  window.addEventListener('resize', () => activeTab()?.scheduleFit());
  // For scripts, tests and benchmarks driving the page: the open tabs and their terminals, and
  // the tool tables (an entry added there shows from the next toolbar drawing on).
  window.__morvane = { tabs: () => [...state.tabs.values()], active: activeTab, contributions: CONTRIBUTIONS, panelViews: PANEL_VIEWS };
  document.documentElement.dataset.ready = '1';
  if (!state.order.length) ui.list.focus();
}

boot();
