// The file-transfer panel of every tab: protocol and direction, the files to send or the
// folder to receive into, a progress bar per file with its rate and time left, cancel, and
// the outcome. The automatic ZMODEM download reports through the same events, so opening the
// panel during one shows it too.
import { h } from './dom.js';
import { t } from './i18n.js';
import { PANEL_VIEWS } from './panels.js';
import { call } from './transport.js';
import { toast } from './overlay.js';

export const XFER_PROTOCOLS = ['zmodem', 'ymodem', 'ymodem-g', 'xmodem', 'xmodem-crc', 'xmodem-1k'];

const fmtBytes = (n) => (n >= 1048576 ? `${(n / 1048576).toFixed(1)} MiB` : n >= 1024 ? `${(n / 1024).toFixed(1)} KiB` : `${n} B`);

// One progress event as words: "name · 45% · 1.2 MiB/s · 3 s left".
export function progressText(ev) {
  const parts = [String(ev.file ?? '')];
  const done = typeof ev.done === 'number' ? ev.done : 0;
  const total = typeof ev.total === 'number' ? ev.total : null;
  parts.push(total ? `${Math.floor((100 * done) / total)}%` : fmtBytes(done));
  if (typeof ev.rate === 'number' && ev.rate > 0) {
    parts.push(`${fmtBytes(ev.rate)}/s`);
    if (total && total > done) parts.push(t('x.left', { secs: Math.ceil((total - done) / ev.rate) }));
  }
  return parts.join(' · ');
}

function transferView(tab) {
  const proto = h('select', { class: 'xfer-proto' }, XFER_PROTOCOLS.map((p) => h('option', { value: p }, p.toUpperCase())));
  const direction = h('select', { class: 'xfer-dir' },
    h('option', { value: 'send' }, t('x.send')), h('option', { value: 'recv' }, t('x.recv')));
  let files = [];
  let folder = '';
  const chosen = h('div', { class: 'xfer-chosen' });
  const bars = h('div', { class: 'xfer-bars' });
  const outcome = h('div', { class: 'xfer-outcome' });
  const hint = h('div', { class: 'xfer-offer muted', hidden: true });
  const showChoice = () => {
    chosen.replaceChildren(...(direction.value === 'send'
      ? (files.length ? files.map((f) => h('div', null, f)) : [h('div', { class: 'muted' }, t('x.no_files'))])
      : [h('div', null, folder || t('x.default_folder'))]));
  };
  const pick = h('button', {
    class: 'btn',
    onclick: async () => {
      try {
        if (direction.value === 'send') files = (await call('xfer_pick_files')) || [];
        else folder = (await call('xfer_pick_save_dir')) || folder;
      } catch (e) {
        toast(t('e.call_failed', { err: e.message }), 'error');
      }
      showChoice();
    },
  }, t('x.pick'));
  direction.addEventListener('change', showChoice);
  const start = h('button', {
    class: 'btn primary',
    onclick: async () => {
      try {
        const send = direction.value === 'send';
        const r = await call('xfer_start', tab.id, proto.value, direction.value, send ? files : null, send ? null : folder || null);
        if (!r.ok) toast(r.reason || t('x.busy'), 'error');
        else {
          hint.hidden = true;
          bars.replaceChildren();
          outcome.textContent = r.save_dir ? t('x.saving_to', { dir: r.save_dir }) : '';
        }
      } catch (e) {
        toast(t('e.call_failed', { err: e.message }), 'error');
      }
    },
  }, t('x.start'));
  const cancel = h('button', {
    class: 'btn',
    onclick: async () => {
      try {
        await call('xfer_cancel', tab.id);
      } catch (e) {
        toast(t('e.call_failed', { err: e.message }), 'error');
      }
    },
  }, t('a.cancel'));

  // The page functions keep the tab's latest event; the panel follows it while it is shown.
  const barOf = new Map();
  let seen = null;
  // An offer from the tabs module (a remote rz waits) presets the panel, once.
  const takeOffer = () => {
    const offer = tab.xferOffer;
    if (!offer) return;
    tab.xferOffer = null;
    if (XFER_PROTOCOLS.includes(offer.protocol)) proto.value = offer.protocol;
    direction.value = offer.direction;
    hint.textContent = t('x.offer');
    hint.hidden = false;
    showChoice();
  };
  const follow = () => {
    takeOffer();
    const ev = tab.transfer;
    if (!ev || ev === seen) return;
    seen = ev;
    if (ev.kind === 'progress') {
      const key = String(ev.file ?? '');
      if (!barOf.has(key)) {
        const bar = h('progress', { max: 1, value: 0 });
        const label = h('div', { class: 'xfer-label' });
        bars.append(h('div', { class: 'xfer-file' }, label, bar));
        barOf.set(key, { bar, label });
      }
      const { bar, label } = barOf.get(key);
      if (typeof ev.total === 'number' && ev.total > 0) bar.value = Math.min(1, ev.done / ev.total);
      else bar.removeAttribute('value');
      label.textContent = progressText(ev);
      outcome.textContent = '';
    } else if (ev.kind === 'file') {
      outcome.textContent = t('x.saved', { path: String(ev.path ?? ev.file ?? '') });
    } else if (ev.kind === 'done') {
      outcome.textContent = ev.ok ? t('x.done') : t('x.failed', { reason: ev.reason || '' });
      outcome.classList.toggle('error', !ev.ok);
      barOf.clear();
    }
  };
  const root = h('div', { class: 'xfer-panel' },
    hint,
    h('label', null, t('x.protocol'), proto),
    h('label', null, t('x.direction'), direction),
    h('div', { class: 'row' }, pick),
    chosen,
    h('div', { class: 'row' }, start, cancel),
    bars,
    outcome);
  showChoice();
  follow();
  const timer = setInterval(() => (root.isConnected ? follow() : clearInterval(timer)), 200);
  return root;
}

PANEL_VIEWS.xfer = transferView;
