// Keyboard shortcuts. The desktop window gets the usual terminal-client keys; in a browser,
// which keeps Ctrl+T, Ctrl+W, Ctrl+Tab and friends for itself, Alt variants stand in.
import { hostKind } from './transport.js';

const COMMON = [
  ['quick_connect', ['Ctrl+Shift+T']],
  ['new_session', ['Ctrl+Shift+N']],
  ['close_tab', ['Ctrl+Shift+W']],
  ['next_tab', ['Ctrl+Tab', 'Ctrl+PageDown']],
  ['prev_tab', ['Ctrl+Shift+Tab', 'Ctrl+PageUp']],
  ['copy', ['Ctrl+Shift+C', 'Ctrl+Insert']],
  ['paste', ['Ctrl+Shift+V', 'Shift+Insert']],
  ['find', ['Ctrl+Shift+F']],
  ['reconnect', ['Ctrl+Shift+R']],
  ['filter_sessions', ['Ctrl+Shift+L']],
  ['toggle_sidebar', ['Ctrl+Shift+B']],
  ['settings', ['Ctrl+,']],
  ['tab_n', ['Alt+1…9']],
];

const BROWSER_EXTRA = {
  quick_connect: ['Alt+T'],
  new_session: ['Alt+N'],
  close_tab: ['Alt+W'],
  next_tab: ['Alt+PageDown'],
  prev_tab: ['Alt+PageUp'],
};

export function shortcutTable() {
  return COMMON.map(([action, keys]) => [action, hostKind === 'browser' ? [...(BROWSER_EXTRA[action] || []), ...keys] : keys]);
}

const KEY_NAMES = { ' ': 'Space', Esc: 'Escape' };

// "Ctrl+Shift+T" for a key event; letters upper-cased, whatever Shift did to them.
export function comboOf(e) {
  let key = KEY_NAMES[e.key] || e.key;
  if (/^Key[A-Z]$/.test(e.code)) key = e.code.slice(3);
  else if (/^Digit\d$/.test(e.code)) key = e.code.slice(5);
  else if (e.code === 'Comma') key = ',';
  const mods = [];
  if (e.ctrlKey) mods.push('Ctrl');
  if (e.altKey) mods.push('Alt');
  if (e.shiftKey) mods.push('Shift');
  if (e.metaKey) mods.push('Meta');
  return [...mods, key].join('+');
}

const BINDINGS = new Map();
for (const [action, keys] of COMMON) for (const k of keys) BINDINGS.set(k, action);
for (const [action, keys] of Object.entries(BROWSER_EXTRA))
  for (const k of keys) if (hostKind === 'browser') BINDINGS.set(k, action);
for (let i = 1; i <= 9; i++) BINDINGS.set(`Alt+${i}`, `tab_${i}`);

// The action a key event stands for, or null.
export function actionFor(e) {
  return BINDINGS.get(comboOf(e)) || null;
}
