// The assistant panel: whether the Claude Code tool is installed and signed in, the model and
// effort choices, and the conversation about the tab beside it. The reply's proposals become
// buttons (proposals.js); nothing reaches a terminal until the user presses one.
import { h, icon } from './dom.js';
import { t } from './i18n.js';
import { toast } from './overlay.js';
import { PANEL_VIEWS } from './panels.js';
import { parseProposals, replyText } from './proposals.js';
import { state } from './state.js';
import { call } from './transport.js';

const RECENT_LINES = 80;
const TURN_TIMEOUT = 180;

// The last lines of a tab's terminal, as the user sees them.
export function recentText(tab, lines = RECENT_LINES) {
  const buf = tab?.term?.buffer?.active;
  if (!buf) return '';
  const end = buf.baseY + buf.cursorY;
  const out = [];
  for (let i = Math.max(0, end - lines + 1); i <= end; i++) out.push(buf.getLine(i)?.translateToString(true) ?? '');
  return out.join('\n').trim();
}

const shared = { status: null, models: null };

async function loadStatus(force = false) {
  if (shared.status && !force) return;
  try {
    const [status, models] = await Promise.all([call('claude_status'), call('claude_get_models').catch(() => null)]);
    shared.status = status;
    shared.models = models;
  } catch (e) {
    shared.status = { installed: false, logged_in: false, hint: t('e.call_failed', { err: e.message }) };
  }
}

function convo(tab) {
  tab.assistant ||= { messages: [], pending: false, redraw: null };
  return tab.assistant;
}

async function ask(tab, text, tabTexts = null) {
  const c = convo(tab);
  if (c.pending || !text.trim()) return;
  c.messages.push({ who: 'user', text });
  c.pending = true;
  c.redraw?.();
  let r;
  try {
    r = await call('claude_send', text, recentText(tab), tab.id, TURN_TIMEOUT, c.messages.length > 1, tabTexts);
  } catch (e) {
    r = { ok: false, error: t('e.call_failed', { err: e.message }) };
  }
  c.pending = false;
  if (r.cancelled) c.messages.push({ who: 'note', text: t('ai.cancelled') });
  else if (r.ok) c.messages.push({ who: 'assistant', text: r.reply, proposals: parseProposals(r.reply) });
  else c.messages.push({ who: 'error', text: r.error || t('ai.failed') });
  c.redraw?.();
}

async function cancelOrReset(tab) {
  const c = convo(tab);
  // Decided at the press: the cancelled turn may answer before the reset call does.
  const cancelling = c.pending;
  try {
    await call('claude_reset_session');
  } catch (e) {
    toast(t('e.call_failed', { err: e.message }), 'error');
    return;
  }
  if (!cancelling) {
    c.messages = [];
    c.redraw?.();
  }
}

function proposalButtons(tab, p) {
  const c = convo(tab);
  const mark = (btn) => {
    p.used = true;
    btn.closest('.ai-proposal')?.classList.add('used');
  };
  if (p.kind === 'run') {
    const send = async (btn, enter) => {
      try {
        if (await call('claude_inject', tab.id, p.command, enter)) {
          mark(btn);
          tab.focus?.();
        } else toast(t('ai.inject_failed'), 'error');
      } catch (e) {
        toast(t('e.call_failed', { err: e.message }), 'error');
      }
    };
    return h('div', { class: `ai-proposal ${p.used ? 'used' : ''}` },
      h('code', null, p.command),
      h('div', { class: 'ai-actions' },
        h('button', { class: 'tool', dataset: { action: 'type' }, title: t('h.ai_type'), onclick: (e) => send(e.currentTarget, false) }, icon('keyboard', 13), t('ai.type')),
        h('button', { class: 'tool', dataset: { action: 'run' }, title: t('h.ai_run'), onclick: (e) => send(e.currentTarget, true) }, icon('play', 13), t('ai.run'))));
  }
  if (p.kind === 'toggle') {
    return h('div', { class: `ai-proposal ${p.used ? 'used' : ''}` },
      h('button', {
        class: 'tool', dataset: { action: 'toggle' },
        onclick: async (e) => {
          const btn = e.currentTarget;
          try {
            const r = await call('claude_toggle_session_flag', tab.id, p.flag);
            if (!r.ok) return toast(r.error, 'error');
            if (Array.isArray(r.sessions)) state.sessions = r.sessions;
            mark(btn);
          } catch (err) {
            toast(t('e.call_failed', { err: err.message }), 'error');
          }
        },
      }, t('ai.toggle', { flag: p.flag })));
  }
  const other = state.tabs.get(p.tabId);
  const name = other ? `${other.display} (${p.tabId})` : p.tabId;
  return h('div', { class: `ai-proposal ${p.used ? 'used' : ''}` },
    h('button', {
      class: 'tool', dataset: { action: 'read_tab' }, disabled: !other || c.pending,
      onclick: (e) => {
        mark(e.currentTarget);
        ask(tab, t('ai.read_granted', { tab: p.tabId }), { [p.tabId]: recentText(state.tabs.get(p.tabId)) });
      },
    }, t('ai.read_tab', { tab: name })));
}

function statusLine() {
  const s = shared.status;
  if (!s) return h('div', { class: 'ai-status' }, t('ai.checking'));
  const state = !s.installed ? t('ai.not_installed') : s.logged_in ? t('ai.ready', { version: s.version || '' }) : t('ai.signed_out');
  return h('div', { class: `ai-status ${s.installed && s.logged_in ? 'ok' : 'warn'}` },
    h('span', { class: 'ai-state' }, state),
    s.installed && s.version && !s.logged_in ? h('span', { class: 'ai-version' }, ` · ${s.version}`) : null,
    s.hint ? h('p', { class: 'ai-hint' }, s.hint) : null);
}

function modelPicker() {
  const m = shared.models;
  if (!m) return null;
  const builtin = Array.isArray(m.builtin) ? m.builtin : [];
  const custom = h('input', {
    type: 'text', class: 'ai-custom', placeholder: t('ai.custom_model'), value: m.is_custom ? m.current : '', hidden: !m.is_custom,
    spellcheck: 'false',
    onchange: (e) => setModel(e.target.value),
  });
  const select = h('select', {
    class: 'ai-model', 'aria-label': t('ai.model'),
    onchange: (e) => {
      if (e.target.value === '__custom') {
        custom.hidden = false;
        custom.focus();
      } else {
        custom.hidden = true;
        setModel(e.target.value);
      }
    },
  },
  builtin.map((b) => h('option', { value: b.id, selected: !m.is_custom && b.id === m.current }, b.kind === 'alias' ? `${b.family} (${t('ai.latest')})` : `${b.family} ${b.version}`)),
  h('option', { value: '__custom', selected: !!m.is_custom }, t('ai.custom')));
  const effort = h('label', { class: 'ai-effort', title: t('h.ai_effort') },
    h('input', {
      type: 'checkbox', checked: !!m.effort_enabled,
      onchange: async (e) => {
        try {
          const r = await call('set_claude_effort', e.target.checked);
          m.effort_enabled = !!r.effort_enabled;
        } catch (err) {
          toast(t('e.call_failed', { err: err.message }), 'error');
        }
      },
    }), t('ai.effort'));
  return h('div', { class: 'ai-settings' }, h('label', null, t('ai.model'), select), custom, effort);
}

async function setModel(id) {
  try {
    const r = await call('set_claude_model', id);
    shared.models = { ...shared.models, current: r.model, is_custom: r.is_custom };
  } catch (e) {
    toast(t('e.call_failed', { err: e.message }), 'error');
  }
}

// Replaces an element's children; nested lists are flattened and empty slots left out.
function fill(el, ...children) {
  el.replaceChildren(...children.flat(Infinity).filter((c) => c !== null && c !== undefined && c !== false));
}

function assistantView(tab) {
  const c = convo(tab);
  const root = h('div', { class: 'ai-panel' });
  const log = h('div', { class: 'ai-log', 'aria-live': 'polite' });
  const input = h('textarea', { class: 'ai-input', rows: 3, placeholder: t('ai.placeholder'), spellcheck: 'false' });
  const sendBtn = h('button', { class: 'btn primary ai-send', onclick: () => submit() }, t('ai.send'));
  const resetBtn = h('button', { class: 'btn ai-reset', onclick: () => cancelOrReset(tab) });
  const head = h('div', { class: 'ai-head' });
  const submit = () => {
    const text = input.value;
    if (!text.trim() || c.pending) return;
    input.value = '';
    ask(tab, text);
  };
  input.addEventListener('keydown', (e) => {
    if (e.key === 'Enter' && !e.shiftKey && !e.isComposing) {
      e.preventDefault();
      submit();
    }
  });
  const drawHead = () => {
    fill(head, statusLine(), modelPicker(),
      h('button', { class: 'icon-btn ai-refresh', title: t('ai.recheck'), onclick: async () => { await loadStatus(true); drawHead(); } }, icon('refresh', 13)));
  };
  const drawLog = () => {
    if (!root.isConnected && c.redraw !== drawLog) return;
    fill(log,
      c.messages.length ? null : h('p', { class: 'ai-empty' }, t('ai.empty')),
      c.messages.map((m) => h('div', { class: `ai-msg ${m.who}` },
        h('div', { class: 'ai-text' }, m.who === 'assistant' ? replyText(m.text) : m.text),
        m.who === 'assistant' && m.proposals?.length ? h('div', { class: 'ai-proposals' }, m.proposals.map((p) => proposalButtons(tab, p))) : null)),
      c.pending ? h('div', { class: 'ai-msg pending' }, t('ai.thinking')) : null);
    log.scrollTop = log.scrollHeight;
    sendBtn.disabled = c.pending;
    resetBtn.textContent = c.pending ? t('ai.cancel') : t('ai.new');
    resetBtn.dataset.mode = c.pending ? 'cancel' : 'new';
  };
  c.redraw = drawLog;
  drawHead();
  drawLog();
  loadStatus().then(drawHead);
  root.append(head, log, h('div', { class: 'ai-compose' }, input, h('div', { class: 'ai-buttons' }, resetBtn, sendBtn)));
  return root;
}

PANEL_VIEWS.assistant = assistantView;
