// The session editor: every key the chosen protocol reads, the native defaults as
// placeholders, and the record's other keys left exactly as they were.
import { h, icon } from './dom.js';
import { t } from './i18n.js';
import { openModal, toast } from './overlay.js';
import { ALGORITHMS, DEFAULT_PORTS, ENCODINGS, PROTOCOLS, sectionsFor } from './schema.js';
import { call, hasOp, hostKind } from './transport.js';

let listSeq = 0;
function datalist(values) {
  const id = `dl-${++listSeq}`;
  return { id, el: h('datalist', { id }, values.map((v) => h('option', { value: v }))) };
}

const isInt = (s) => /^\s*[+-]?\d+\s*$/.test(s);

// Editable rows of cells; read() gives the rows that are not blank.
function rowTable({ cols, initial, makeRow, addLabel, blank, cls = '' }) {
  const body = h('div', { class: 'rows' });
  const rows = [];
  const add = (values) => {
    const cells = makeRow(values);
    const row = h(
      'div',
      { class: 'row' },
      cells.map((c) => c.el),
      h('div', { class: 'row-tools' },
        h('button', { type: 'button', class: 'icon-btn', title: t('a.move_up'), 'aria-label': t('a.move_up'), onclick: () => move(-1) }, icon('up', 14)),
        h('button', { type: 'button', class: 'icon-btn', title: t('a.move_down'), 'aria-label': t('a.move_down'), onclick: () => move(1) }, icon('down', 14)),
        h('button', { type: 'button', class: 'icon-btn', title: t('a.remove'), 'aria-label': t('a.remove'), onclick: () => remove() }, icon('x', 14))),
    );
    const entry = { row, cells };
    const move = (d) => {
      const i = rows.indexOf(entry);
      const j = i + d;
      if (j < 0 || j >= rows.length) return;
      rows.splice(i, 1);
      rows.splice(j, 0, entry);
      body.replaceChildren(...rows.map((r) => r.row));
    };
    const remove = () => {
      rows.splice(rows.indexOf(entry), 1);
      row.remove();
    };
    rows.push(entry);
    body.append(row);
    return entry;
  };
  for (const v of initial) add(v);
  const head = cols ? h('div', { class: 'row head' }, cols.map((c) => h('span', null, t(c))), h('span')) : null;
  const el = h(
    'div',
    { class: `table ${cls}` },
    head,
    body,
    h('button', { type: 'button', class: 'btn small ghost', onclick: () => add(blank())?.cells[0].el.focus() }, icon('plus', 14), addLabel),
  );
  return { el, read: () => rows.map((r) => r.cells.map((c) => c.read())).filter((vals) => vals.some((v) => v !== '')) };
}

function textCell(value, { placeholder, list, cls } = {}) {
  const el = h('input', { type: 'text', value: value ?? '', placeholder, list, class: cls, spellcheck: 'false' });
  return { el, read: () => el.value.trim() };
}

function selectCell(value, options) {
  const el = h('select', null, options.map((o) => h('option', { value: o[0], selected: o[0] === value }, o[1])));
  return { el, read: () => el.value };
}

// One input for one field; returns {el, read(), validate()}.
function makeField(field, sess, onLive) {
  const v = sess[field.key];
  const has = Object.prototype.hasOwnProperty.call(sess, field.key);
  const id = `fld-${field.key}`;
  const placeholder = field.placeholderKey ? t(field.placeholderKey) : field.def !== undefined ? String(field.def) : field.placeholder || '';
  switch (field.kind) {
    case 'text':
    case 'secret': {
      const input = h('input', {
        id, type: field.kind === 'secret' ? 'password' : 'text', value: v == null ? '' : String(v), placeholder,
        spellcheck: 'false', autocomplete: field.kind === 'secret' ? 'new-password' : 'off',
      });
      const parts = [input];
      if (field.kind === 'secret') {
        const eye = h('button', { type: 'button', class: 'btn small ghost', onclick: () => {
          input.type = input.type === 'password' ? 'text' : 'password';
          eye.textContent = input.type === 'password' ? t('a.show') : t('a.hide');
        } }, t('a.show'));
        parts.push(eye);
      }
      // Passwords are kept exactly as typed; other texts lose surrounding blanks.
      const read = () => (field.kind === 'secret' ? input.value : input.value.trim()) || undefined;
      return { el: parts.length > 1 ? h('div', { class: 'inline' }, parts) : input, read, focus: input };
    }
    case 'int': {
      const input = h('input', { id, type: 'text', inputmode: 'numeric', value: v == null ? '' : String(v), placeholder, class: 'num' });
      return {
        el: input,
        focus: input,
        read: () => {
          const s = input.value.trim();
          if (s === '') return undefined;
          return isInt(s) ? parseInt(s, 10) : s;
        },
        validate: () => (input.value.trim() === '' || isInt(input.value) ? null : t('e.whole_number', { field: t(field.label) })),
      };
    }
    case 'select': {
      const cur = v == null || v === '' ? '' : String(v);
      const opts = [['', `${t('o.default')} (${field.optLabel ? t(field.optLabel + field.def) : field.def})`]];
      for (const o of field.options) opts.push([o, field.optLabel ? t(field.optLabel + o) : o]);
      if (cur && !field.options.includes(cur)) opts.push([cur, cur]);
      const sel = h('select', { id }, opts.map(([val, label]) => h('option', { value: val, selected: val === cur }, label)));
      if (field.live) sel.addEventListener('change', () => onLive(field.key, sel.value));
      return {
        el: sel,
        focus: sel,
        read: () => {
          if (sel.value === '') return undefined;
          return field.number && isInt(sel.value) ? parseInt(sel.value, 10) : sel.value;
        },
      };
    }
    case 'combo':
    case 'encoding': {
      const dl = datalist(field.kind === 'encoding' ? ENCODINGS : field.options);
      const input = h('input', { id, type: 'text', value: v == null ? '' : String(v), placeholder, list: dl.id, spellcheck: 'false' });
      if (field.live) input.addEventListener('change', () => onLive(field.key, input.value.trim()));
      return { el: h('div', { class: 'grow' }, input, dl.el), focus: input, read: () => input.value.trim() || undefined };
    }
    case 'bool': {
      const on = has && v !== null ? !!v : field.def;
      const box = h('input', { id, type: 'checkbox', checked: on });
      return {
        el: h('label', { class: 'switch', for: id }, box, h('span', { class: 'slider' })),
        focus: box,
        // A default left alone stays absent from the record.
        read: () => (!has && box.checked === field.def ? undefined : box.checked),
      };
    }
    case 'keyfile': {
      const input = h('input', { id, type: 'text', value: v == null ? '' : String(v), placeholder: t('h.key_path'), spellcheck: 'false' });
      const parts = [input];
      // Native dialogs exist only in the desktop window, and only once the SSH module offers them.
      if (hostKind === 'desktop' && hasOp('pick_private_key')) {
        parts.push(h('button', { type: 'button', class: 'btn small', onclick: async () => {
          try {
            const path = await call('pick_private_key');
            if (path) input.value = path;
          } catch (e) {
            toast(e.message, 'error');
          }
        } }, icon('folder', 14), t('a.browse')));
      }
      return { el: h('div', { class: 'inline' }, parts), focus: input, read: () => input.value.trim() || undefined };
    }
    case 'serialport': {
      const dl = h('datalist', { id: `${id}-ports` });
      const input = h('input', { id, type: 'text', value: v == null ? '' : String(v), placeholder: field.placeholder, list: `${id}-ports`, spellcheck: 'false' });
      const parts = [input, dl];
      if (hasOp('serial_list_ports')) {
        const load = async () => {
          try {
            const ports = await call('serial_list_ports');
            dl.replaceChildren(
              ...(Array.isArray(ports) ? ports : []).map((p) => {
                const name = typeof p === 'string' ? p : p.port || p.device || p.name || '';
                const desc = typeof p === 'string' ? '' : p.description || '';
                return h('option', { value: name }, desc ? `${name} — ${desc}` : name);
              }),
            );
          } catch (e) {
            toast(e.message, 'error');
          }
        };
        load();
        parts.push(h('button', { type: 'button', class: 'icon-btn', title: t('a.refresh_ports'), 'aria-label': t('a.refresh_ports'), onclick: load }, icon('refresh', 14)));
      }
      return { el: h('div', { class: 'inline' }, parts), focus: input, read: () => input.value.trim() || undefined };
    }
    case 'list': {
      const dl = datalist(ALGORITHMS[field.key] || []);
      const table = rowTable({
        initial: (Array.isArray(v) ? v : []).map((x) => [String(x)]),
        makeRow: (vals) => [textCell(vals[0], { placeholder: t('h.algorithm'), list: dl.id })],
        blank: () => [''],
        addLabel: t('a.add_algorithm'),
      });
      return { el: h('div', { class: 'grow' }, table.el, dl.el), read: () => {
        const names = table.read().map((r) => r[0]);
        return names.length ? names : undefined;
      } };
    }
    case 'pairs': {
      const dl = datalist(field.modes);
      const entries = v && typeof v === 'object' && !Array.isArray(v) ? Object.entries(v) : [];
      const table = rowTable({
        cols: field.cols,
        initial: entries.map(([k, m]) => [k, typeof m === 'string' ? m : JSON.stringify(m)]),
        makeRow: (vals) => [textCell(vals[0], { placeholder: t('h.workaround') }), textCell(vals[1], { placeholder: 'on', list: dl.id })],
        blank: () => ['', ''],
        addLabel: t('a.add_row'),
      });
      return { el: h('div', { class: 'grow' }, table.el, dl.el), read: () => {
        const rows = table.read().filter((r) => r[0] !== '');
        if (!rows.length) return undefined;
        const out = {};
        for (const [k, m] of rows) out[k] = m;
        return out;
      } };
    }
    case 'env': {
      const table = rowTable({
        cols: field.cols,
        initial: (Array.isArray(v) ? v : []).filter((e) => e && typeof e === 'object').map((e) => [String(e.key ?? ''), String(e.value ?? '')]),
        makeRow: (vals) => [textCell(vals[0], { placeholder: 'LANG' }), textCell(vals[1], { placeholder: 'en_US.UTF-8' })],
        blank: () => ['', ''],
        addLabel: t('a.add_variable'),
      });
      return { el: table.el, read: () => {
        const rows = table.read().filter((r) => r[0] !== '');
        return rows.length ? rows.map(([key, value]) => ({ key, value })) : undefined;
      } };
    }
    case 'forwards': {
      const table = rowTable({
        cols: ['c.direction', 'c.spec'],
        cls: 'fwd',
        initial: (Array.isArray(v) ? v : []).filter((e) => e && typeof e === 'object').map((e) => [String(e.type || 'L').toUpperCase(), String(e.spec ?? '')]),
        makeRow: (vals) => [selectCell(vals[0] || 'L', [['L', t('fwd.local')], ['R', t('fwd.remote')]]), textCell(vals[1], { placeholder: '8080:127.0.0.1:80', cls: 'mono' })],
        blank: () => ['L', ''],
        addLabel: t('a.add_forward'),
      });
      return {
        el: h('div', { class: 'grow' }, table.el, h('p', { class: 'hint' }, t('h.port_forwards'))),
        read: () => {
          const rows = table.read().filter((r) => r[1] !== '');
          return rows.length ? rows.map(([type, spec]) => ({ type, spec })) : undefined;
        },
        validate: () => {
          const bad = table.read().filter((r) => r[1] !== '' && r[1].split(':').length !== 3);
          return bad.length ? t('e.forward_spec', { spec: bad[0][1] }) : null;
        },
      };
    }
    default:
      return { el: h('span'), read: () => v };
  }
}

// Opens the editor for a copy of `original` (a new session when it has no id). Resolves with
// the saved record's id, or null when the user cancelled.
export function editSession(original, { onSaved } = {}) {
  return new Promise((resolve) => {
    const base = structuredClone(original || {});
    let draft = structuredClone(base);
    let controls = [];
    let settled = false;
    const body = h('div', { class: 'editor' });
    const nameInput = h('input', { id: 'fld-name', type: 'text', value: draft.name || '', placeholder: t('h.name'), autofocus: true, spellcheck: 'false' });
    const protoSelect = h('select', { id: 'fld-protocol' },
      PROTOCOLS.map((p) => h('option', { value: p, selected: (draft.protocol || 'ssh') === p }, t(`proto.${p}`))));

    // Rebuilding the form keeps what was typed: every visible field is read into the draft.
    const absorb = () => {
      draft.name = nameInput.value;
      for (const c of controls) {
        const val = c.read();
        if (val === undefined) delete draft[c.key];
        else draft[c.key] = val;
      }
    };
    let rendering = false;
    const onLive = (key, value) => {
      // Removing a focused, edited field fires its change event again, inside render.
      if (rendering) return;
      const before = draft[key];
      absorb();
      if (value === '' || value === undefined) delete draft[key];
      else draft[key] = value;
      if (draft[key] !== before) {
        render();
        body.querySelector(`#fld-${key}`)?.focus();
      }
    };
    protoSelect.addEventListener('change', () => {
      if (rendering) return;
      absorb();
      draft.protocol = protoSelect.value;
      render();
      protoSelect.focus();
    });

    const render = () => {
      rendering = true;
      try {
        renderForm();
      } finally {
        rendering = false;
      }
    };
    const renderForm = () => {
      controls = [];
      const sections = sectionsFor({ ...draft, protocol: protoSelect.value });
      const parts = [
        h('section', { class: 'form-section' },
          h('div', { class: 'field' }, h('label', { for: 'fld-name' }, t('f.name')), nameInput),
          h('div', { class: 'field' }, h('label', { for: 'fld-protocol' }, t('f.protocol')), protoSelect)),
      ];
      for (const sec of sections) {
        const rows = sec.fields.map((field) => {
          const ctl = makeField(field, draft, onLive);
          ctl.key = field.key;
          controls.push(ctl);
          const label = t(field.label);
          return h('div', { class: `field ${['list', 'pairs', 'env', 'forwards'].includes(field.kind) ? 'tall' : ''}` },
            h('label', { for: `fld-${field.key}` }, label),
            h('div', { class: 'control' }, ctl.el, field.hint ? h('p', { class: 'hint' }, t(field.hint)) : null));
        });
        const sectionEl = h('details', { class: 'form-section', open: !sec.collapsed || undefined },
          h('summary', null, t(sec.title)), rows);
        parts.push(sectionEl);
      }
      body.replaceChildren(...parts);
    };
    render();

    const collect = () => {
      absorb();
      const errors = controls.map((c) => c.validate?.()).filter(Boolean);
      if (errors.length) {
        toast(errors[0], 'error');
        return null;
      }
      const rec = structuredClone(base);
      rec.name = nameInput.value.trim();
      rec.protocol = protoSelect.value;
      // Keys of fields on screen follow the form; all other keys stay as they were.
      for (const c of controls) {
        const val = c.read();
        if (val === undefined) delete rec[c.key];
        else rec[c.key] = val;
      }
      if (rec.port === undefined && DEFAULT_PORTS[rec.protocol] === undefined) delete rec.port;
      return rec;
    };

    const save = async (andConnect) => {
      const rec = collect();
      if (!rec) return;
      try {
        const r = await call('save_session', rec);
        settled = true;
        modal.close();
        onSaved?.(r, andConnect);
        resolve(r.id);
      } catch (e) {
        toast(t('e.save_failed', { err: e.message }), 'error');
      }
    };

    const form = h('form', { class: 'editor-form', onsubmit: (e) => {
      e.preventDefault();
      save(false);
    } }, body, h('button', { type: 'submit', hidden: true }));
    form.addEventListener('keydown', (e) => {
      if (e.key === 'Enter' && (e.ctrlKey || e.metaKey)) {
        e.preventDefault();
        save(true);
      }
    });
    const modal = openModal({
      title: base.id ? t('t.edit_session') : t('t.new_session'),
      wide: true,
      className: 'editor-modal',
      body: form,
      footer: [
        h('span', { class: 'foot-hint' }, t('h.editor_keys')),
        h('button', { class: 'btn', onclick: () => modal.close() }, t('a.cancel')),
        h('button', { class: 'btn', onclick: () => save(true) }, t('a.save_connect')),
        h('button', { class: 'btn primary', onclick: () => save(false) }, t('a.save')),
      ],
      onClose: () => !settled && resolve(null),
    });
  });
}
