// Terminal tabs: one xterm.js terminal per native tab. The visible tab's output comes from
// requests the native side holds until there is some (up to three under way while it floods,
// the pieces put in order); hidden tabs are drained in turns, several to a call. Input goes with send_input,
// in order.
import { Terminal } from '@xterm/xterm';
import { FitAddon } from '@xterm/addon-fit';
import { SearchAddon } from '@xterm/addon-search';
import { Unicode11Addon } from '@xterm/addon-unicode11';
import { WebLinksAddon } from '@xterm/addon-web-links';
import '@xterm/xterm/css/xterm.css';

import { h, sleep } from './dom.js';
import { hiddenPump } from './hidden_pump.js';
import { call, hasOp, hostKind, openOutput } from './transport.js';

export const THEME = {
  background: '#0d0f14',
  foreground: '#d5dae4',
  cursor: '#5cc8ff',
  cursorAccent: '#0d0f14',
  selectionBackground: 'rgba(92, 200, 255, 0.28)',
  black: '#1b1f2a', red: '#ff6b7a', green: '#5fd38d', yellow: '#f4c25b',
  blue: '#5aa9ff', magenta: '#c792ea', cyan: '#5cc8ff', white: '#c9d1de',
  brightBlack: '#5c6680', brightRed: '#ff8f9a', brightGreen: '#85e6aa', brightYellow: '#ffd98a',
  brightBlue: '#8cc4ff', brightMagenta: '#ddb3ff', brightCyan: '#8fdcff', brightWhite: '#f3f6fb',
};

const FONT = '"JetBrains Mono", "Cascadia Mono", "Fira Code", "DejaVu Sans Mono", "Noto Sans Mono CJK TC", "Noto Sans Mono", Menlo, Consolas, monospace';
// How long the native side holds a question for output while the tabs are quiet. In the
// browser each held request is one of the six connections it keeps to a host (and the host
// holds one at most five seconds); in the desktop window every answer also wakes WebKit's side
// of the window in the native process, so there the quiet tabs ask every 25 seconds.
const HOLD_SECONDS = hostKind === 'desktop' ? 25 : 5;
// The visible tab's output stream (output_streams.js): a request goes out while the text
// handed to xterm.js and not yet parsed, and a full piece (the native buffer's high mark) for
// every request under way, stay within `high`, so xterm.js always has a piece to parse while
// the next ones come and Ctrl+C in a flood brings the prompt back after about a megabyte at
// most. Up to three requests go out while the tab floods (a piece of `flood` characters or
// more); each then asks the native side to gather `gather` characters while output keeps
// coming, or each request after the first would find the buffer just emptied.
// A quiet tab's request is held `hold` seconds (HOLD_SECONDS).
const STREAM = { high: 800 * 1024, piece: 266 * 1024, lanes: 3, flood: 2048, gather: 192 * 1024, hold: HOLD_SECONDS };
const streamingTabs = new Map();
let sendOutput = null;
function outputChannel() {
  sendOutput ||= openOutput(STREAM, (m) => {
    const tab = streamingTabs.get(m.tab);
    if (m.text !== undefined) {
      // A piece for a tab that went away is parsed as far as its stream is concerned.
      if (!tab) return sendOutput({ op: 'parsed', tab: m.tab, n: m.text.length });
      tab.write(m.text).then(() => sendOutput({ op: 'parsed', tab: m.tab, n: m.text.length }));
    } else if (tab && m.ended === tab.streamGen) {
      tab.streaming = false;
      if (tab.disposed) streamingTabs.delete(m.tab);
      else pump?.kick();
    }
  });
  return sendOutput;
}

// How long the cursor blinks after the last keystroke or output.
const CURSOR_BLINK_MS = 10000;

// Two things xterm.js keeps doing for a terminal that is hidden, where they cost more than
// parsing its output. Both are held while the pane is hidden and done once when it shows:
// - After every scroll it asks for the selection to be drawn again, and its DOM renderer does
//   that by redrawing every row, although its drawing is otherwise paused; in a hidden pane
//   nothing has a width, so each character is measured again, forcing the page's layout. The
//   request is kept for the full redraw xterm.js itself makes when the pane shows again.
// - Every line that scrolls updates the scroll bar (sizes, position, its fade timer).
// Only the instance is touched, and only when its insides are the ones known here.
function quietWhileHidden(term, isHidden) {
  const core = term._core;
  const render = core?._renderService;
  if (render && typeof render.handleSelectionChanged === 'function' && '_isPaused' in render
      && render._selectionState && '_needsSelectionRefresh' in render && '_needsFullRefresh' in render) {
    const draw = render.handleSelectionChanged.bind(render);
    render.handleSelectionChanged = (start, end, columnSelectMode) => {
      if (!render._isPaused) return draw(start, end, columnSelectMode);
      Object.assign(render._selectionState, { start, end, columnSelectMode });
      render._needsSelectionRefresh = true;
      render._needsFullRefresh = true;
    };
  }
  const viewport = core?._viewport;
  if (!viewport || typeof viewport._sync !== 'function') return () => {};
  const sync = viewport._sync.bind(viewport);
  let held = false;
  viewport._sync = (...args) => {
    if (!isHidden()) return sync(...args);
    held = true;
  };
  // Called when the pane shows.
  return () => {
    if (held) {
      held = false;
      sync();
    }
  };
}

export class TermTab {
  constructor(summary, { container, onLink, onActivity }) {
    this.id = summary.id;
    this.display = summary.display;
    this.protocol = summary.protocol;
    this.sessionId = summary.session_id;
    this.alive = summary.alive !== false;
    this.connected = summary.connected === true && this.alive;
    this.failed = false;
    this.reading = true;
    this.encoding = null;
    this.unseen = false;
    this.transfer = null;
    this.pendingIn = '';
    this.sending = false;
    this.draining = false;
    this.parsing = new Set(); // resolvers of writes xterm.js has not parsed yet
    this.streaming = false;
    this.disposed = false;
    this.lastSize = null;
    this.onActivity = onActivity;

    // Opened while visible so xterm.js can measure its font; hidden right after.
    this.el = h('div', { class: 'term-pane', dataset: { tab: this.id } });
    container.append(this.el);
    this.term = new Terminal({
      fontFamily: FONT,
      fontSize: 13,
      lineHeight: 1.12,
      cursorBlink: true,
      cursorStyle: 'bar',
      scrollback: 10000,
      allowProposedApi: true,
      theme: THEME,
      drawBoldTextInBrightColors: true,
      macOptionIsMeta: true,
      minimumContrastRatio: 1,
    });
    this.fit = new FitAddon();
    this.search = new SearchAddon();
    this.term.loadAddon(this.fit);
    this.term.loadAddon(this.search);
    this.term.loadAddon(new Unicode11Addon());
    this.term.unicode.activeVersion = '11';
    this.term.loadAddon(new WebLinksAddon((ev, uri) => onLink(uri)));
    this.term.open(this.el);
    this.showViewport = quietWhileHidden(this.term, () => this.el.hidden);
    // The cursor blinks for a while after typing or output, then rests, as desktop
    // terminals do: an idle page then draws nothing at all.
    this.blinkTimer = 0;
    this.term.textarea?.addEventListener('focus', () => this.wakeCursor());
    this.term.onData((d) => this.sendInput(d));
    this.term.onData(() => this.wakeCursor());
    // Only a visible cursor blinks: each change of the option makes xterm.js replace its style
    // sheet, which restyles the whole page (a hundred busy hidden tabs did that all the time).
    this.term.onWriteParsed(() => {
      if (!this.el.hidden) this.wakeCursor();
    });
    this.term.onBinary((d) => this.sendInput(d));
    this.term.onResize(() => this.sendSize());
    this.resizeObserver = new ResizeObserver(() => this.scheduleFit());
    this.resizeObserver.observe(this.el);
    this.el.hidden = true;
  }

  wakeCursor() {
    if (!this.term.options.cursorBlink) this.term.options.cursorBlink = true;
    clearTimeout(this.blinkTimer);
    this.blinkTimer = setTimeout(() => {
      this.term.options.cursorBlink = false;
    }, CURSOR_BLINK_MS);
  }

  update(summary) {
    this.display = summary.display;
    this.protocol = summary.protocol;
    this.sessionId = summary.session_id;
    const alive = summary.alive !== false;
    if (this.alive && !alive) this.connected = false;
    else if (alive && summary.connected === true) this.connected = true;
    this.alive = alive;
  }

  get state() {
    if (!this.alive) return this.failed ? 'failed' : 'ended';
    return this.connected ? 'connected' : 'connecting';
  }

  show() {
    this.el.hidden = false;
    this.showViewport();
    this.unseen = false;
    this.wakeCursor();
    this.scheduleFit();
    this.stream();
  }

  // While the tab is visible its output streams in (output_streams.js).
  // A piece the hidden tabs' pump is fetching or has not written yet comes before anything the
  // stream fetches: the stream starts once that piece is written.
  stream() {
    this.streaming = true;
    this.streamGen = (this.streamGen || 0) + 1;
    streamingTabs.set(this.id, this);
    const start = () => {
      this.drained = null;
      if (this.held) this.write(this.held);
      this.held = '';
      outputChannel()({ op: 'start', tab: this.id, gen: this.streamGen });
    };
    if (this.draining) this.drained = start;
    else start();
  }

  hide() {
    this.el.hidden = true;
    // Hidden again before its stream started: the pump goes on with it.
    if (this.cancelStart()) pump?.kick();
    else if (this.streaming) outputChannel()({ op: 'stop', tab: this.id });
  }

  // A stream start still waiting for the pump's piece (stream) is dropped; answers whether
  // there was one.
  cancelStart() {
    if (!this.drained) return false;
    this.drained = null;
    this.streaming = false;
    return true;
  }

  focus() {
    this.term.focus();
  }

  scheduleFit() {
    if (this.fitQueued) return;
    this.fitQueued = true;
    requestAnimationFrame(() => {
      this.fitQueued = false;
      if (this.el.hidden || !this.el.isConnected || this.el.clientWidth === 0) return;
      try {
        this.fit.fit();
      } catch {
        return;
      }
      this.el.dataset.rows = this.term.rows;
      this.el.dataset.cols = this.term.cols;
      this.sendSize();
    });
  }

  // Every size change reaches the connection; a repeat of the last one does not.
  async sendSize(force = false) {
    const size = `${this.term.rows}x${this.term.cols}`;
    if (!force && size === this.lastSize) return;
    this.lastSize = size;
    try {
      const ok = await call('resize_pty', this.id, this.term.rows, this.term.cols);
      // Not connected yet: the size goes again when terminalConnected arrives.
      if (!ok && !this.connected) this.lastSize = null;
    } catch {
      this.lastSize = null;
    }
  }

  // Keystrokes and pastes go one call at a time so they arrive in order.
  sendInput(data) {
    this.pendingIn += data;
    if (!this.sending) this.flushInput();
  }

  async flushInput() {
    this.sending = true;
    while (this.pendingIn) {
      const chunk = this.pendingIn;
      this.pendingIn = '';
      try {
        await call('send_input', this.id, chunk);
      } catch (e) {
        console.warn('send_input', e);
      }
    }
    this.sending = false;
  }

  // Resolves once xterm.js has parsed the text: the pump waits, so output that arrives
  // faster than it can be drawn collects (bounded) on the native side, not in the page.
  // text: a string, or UTF-8 bytes (a Uint8Array), which xterm.js decodes itself.
  write(text) {
    if (!text?.length || this.disposed) return Promise.resolve();
    // Whoever watches the page's output (its benchmarks and tests) gets it as it comes.
    window.__morvaneTap?.(this.id, text);
    if (!this.connected && this.alive) this.connected = true;
    if (this.el.hidden) this.unseen = true;
    this.onActivity?.(this);
    return new Promise((resolve) => {
      this.parsing.add(resolve);
      this.term.write(text, () => {
        this.parsing.delete(resolve);
        resolve();
      });
    });
  }

  info(message, isError) {
    if (isError) this.failed = true;
    const body = String(message).replace(/\r?\n/g, '\r\n');
    const color = isError ? '\x1b[1;31m' : '\x1b[38;5;110m';
    // A notice starts on a line of its own.
    const lead = this.term.buffer.active.cursorX > 0 ? '\r\n' : '';
    this.term.write(`${lead}${color}${body}\x1b[0m\r\n`);
    this.onActivity?.(this);
  }

  dispose() {
    this.disposed = true;
    this.cancelStart();
    if (this.streaming) outputChannel()({ op: 'stop', tab: this.id });
    else streamingTabs.delete(this.id);
    // A disposed terminal never calls back: nobody may wait on it for ever.
    for (const resolve of this.parsing) resolve();
    this.parsing.clear();
    clearTimeout(this.blinkTimer);
    this.resizeObserver.disconnect();
    this.term.dispose();
    this.el.remove();
  }
}

// The hidden tabs' pump (hidden_pump.js); a stream that ends hands its tab over at once.
let pump = null;
export function startPumps(getTabs) {
  pump = hiddenPump({
    call,
    canWait: () => hasOp('wait_terminal_output'),
    getTabs,
    pause: sleep,
    pageHidden: () => document.hidden,
    holdSeconds: HOLD_SECONDS,
  });
}
