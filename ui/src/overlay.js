// Modal dialogs, confirmations and short notices.
import { $, h, icon } from './dom.js';
import { t } from './i18n.js';

let stack = [];

// Escape closes the top dialog wherever the focus is (a rebuilt form may have dropped it).
document.addEventListener('keydown', (e) => {
  if (e.key !== 'Escape' || !stack.length || e.defaultPrevented) return;
  e.stopPropagation();
  e.preventDefault();
  stack[stack.length - 1].close();
}, true);

// Opens a modal; returns {close, el}. onClose runs once however it closes (Esc, ×, click outside).
export function openModal({ title, body, footer, wide = false, className = '', onClose, label }) {
  const layer = $('#layer');
  const previous = document.activeElement;
  let closed = false;
  const close = () => {
    if (closed) return;
    closed = true;
    backdrop.remove();
    stack = stack.filter((m) => m !== entry);
    onClose?.();
    if (previous && document.contains(previous)) previous.focus?.();
  };
  const dialog = h(
    'div',
    { class: `modal ${wide ? 'wide' : ''} ${className}`, role: 'dialog', 'aria-modal': 'true', 'aria-label': label || title },
    title
      ? h('header', { class: 'modal-head' }, h('h2', null, title), h('button', { class: 'icon-btn', title: t('a.close'), 'aria-label': t('a.close'), onclick: close }, icon('x')))
      : null,
    h('div', { class: 'modal-body' }, body),
    footer ? h('footer', { class: 'modal-foot' }, footer) : null,
  );
  const backdrop = h('div', { class: 'backdrop', onmousedown: (e) => e.target === backdrop && close() }, dialog);
  layer.append(backdrop);
  const entry = { close, el: dialog };
  stack.push(entry);
  requestAnimationFrame(() => {
    const first = dialog.querySelector('[autofocus]') || dialog.querySelector('input, select, textarea, button:not(.icon-btn)');
    first?.focus();
  });
  return entry;
}

export function modalOpen() {
  return stack.length > 0;
}

export function closeAllModals() {
  for (const m of [...stack]) m.close();
}

export function confirmDialog({ title, message, ok, danger = false }) {
  return new Promise((resolve) => {
    let answered = false;
    const answer = (v) => {
      answered = true;
      resolve(v);
      m.close();
    };
    const m = openModal({
      title,
      body: h('p', { class: 'confirm-text' }, message),
      footer: [
        h('button', { class: 'btn', onclick: () => answer(false) }, t('a.cancel')),
        h('button', { class: `btn ${danger ? 'danger' : 'primary'}`, autofocus: true, onclick: () => answer(true) }, ok),
      ],
      onClose: () => !answered && resolve(false),
    });
  });
}

export function toast(message, kind = 'info', ms = 3200) {
  let box = $('#toasts');
  if (!box) {
    box = h('div', { id: 'toasts', class: 'toasts', role: 'status', 'aria-live': 'polite' });
    document.body.append(box);
  }
  const el = h('div', { class: `toast ${kind}` }, message);
  box.append(el);
  setTimeout(() => {
    el.classList.add('leaving');
    setTimeout(() => el.remove(), 250);
  }, ms);
}
