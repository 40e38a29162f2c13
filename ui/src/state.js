// What the page knows and what it has drawn, shared by its parts: the sessions and tabs as the
// native side last reported them, the user's selection, and the elements each part draws into.
export const state = {
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

// Elements built once by the skeleton and filled by the renders.
export const ui = {};

export function activeTab() {
  return state.active ? state.tabs.get(state.active) || null : null;
}

export function sessionById(id) {
  return state.sessions.find((x) => x.id === id);
}

export function encodingOfSession(sid) {
  return String(sessionById(sid)?.line_code_page || 'utf-8').toLowerCase();
}

export function statusOf(s) {
  return state.status[s.id] || 'unknown';
}

// Renders rebuild their part only when what it shows changed: a rebuild under the pointer
// would swallow clicks and take the focus from a field being typed in.
const drawn = {};

export function changed(part, key) {
  if (drawn[part] === key) return false;
  drawn[part] = key;
  return true;
}

// For a part whose screen was brought up to date in place.
export function markDrawn(part, key) {
  drawn[part] = key;
}

// The next render of every part rebuilds it (after a change of language).
export function forgetDrawn() {
  for (const k of Object.keys(drawn)) delete drawn[k];
}
