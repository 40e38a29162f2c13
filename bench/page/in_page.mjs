// The benchmark's code that runs inside the page, shared by the chromium runner (handed to
// page.evaluate) and the desktop-window runner (written into the script the window runs).
// Each function stands alone: it uses only its argument and the page's globals.

// Records every piece the page hands to xterm.js, before xterm.js gets it: a string, or UTF-8
// bytes (from a browser), kept as they are and decoded only once the run is timed (each piece
// holds whole characters).
// The clock starts with the piece that holds `start`, the text's beginning (what a login
// prints before it, and the time it takes, do not count); without it, with the first piece.
export function installRecorder(start = '') {
  window.__bench = { pieces: [], first: 0, last: 0 };
  const decoder = new TextDecoder();
  window.__morvaneTap = (id, data) => {
    const b = window.__bench;
    if (!b.first && (!start || (typeof data === 'string' ? data : decoder.decode(data.subarray(0, 8192))).includes(start))) b.first = performance.now();
    b.pieces.push(data);
    const tail = typeof data === 'string' ? data.slice(-40) : decoder.decode(data.subarray(-40));
    if (tail.includes('END-OF-BENCH')) b.last = performance.now();
  };
}

// Where the time goes while the page drains: how long xterm.js sat idle, every piece handed to
// it parsed and the next one not handed over yet (the page waiting for output), and how long
// it had some piece to parse. Installed after installRecorder, whose tap it wraps; flowReport
// reads it.
export function installFlowMeter() {
  const flow = { idle: 0, busy: 0, parsedAt: 0, busySince: 0, unparsed: 0, idleGaps: [] };
  window.__flow = flow;
  const record = window.__morvaneTap;
  window.__morvaneTap = (id, text) => {
    const now = performance.now();
    record(id, text);
    // Before the text begins (a login's own output) nothing is timed.
    if (!window.__bench.first) return;
    if (flow.unparsed === 0) {
      if (flow.parsedAt) {
        const gap = Math.max(0, now - flow.parsedAt);
        flow.idle += gap;
        flow.idleGaps.push(gap);
      }
      flow.busySince = now;
    }
    flow.unparsed++;
    const tab = window.__morvane.tabs().find((t) => t.id === id);
    // After the piece's own write, which follows the tap at once.
    queueMicrotask(() => tab.term.write('', () => {
      if (--flow.unparsed > 0) return;
      flow.parsedAt = performance.now();
      flow.busy += flow.parsedAt - flow.busySince;
    }));
  };
}

export function flowReport() {
  const flow = window.__flow;
  const gaps = [...flow.idleGaps].sort((a, b) => a - b);
  const sizes = window.__bench.pieces.map((p) => p.length).sort((a, b) => a - b);
  const at = (xs, q) => xs[Math.min(xs.length - 1, Math.floor(xs.length * q))] || 0;
  return {
    idleSeconds: flow.idle / 1000, busySeconds: flow.busy / 1000,
    idleP50: at(gaps, 0.5), idleP90: at(gaps, 0.9),
    pieceP10: at(sizes, 0.1), pieceP50: at(sizes, 0.5), pieceP90: at(sizes, 0.9),
  };
}

// Once the end marker has been handed over: drawn, not only parsed (the last line is on
// screen after two more frames). Seconds from the first piece, characters, pieces.
export async function finishRecording() {
  const tab = window.__morvane.active();
  await new Promise((r) => tab.term.write('', r));
  await new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));
  const end = performance.now();
  const decoder = new TextDecoder();
  const b = window.__bench;
  b.pieces = b.pieces.map((p) => (typeof p === 'string' ? p : decoder.decode(p)));
  return { seconds: (end - b.first) / 1000, chars: b.pieces.reduce((a, p) => a + p.length, 0), pieces: b.pieces.length };
}

// Checks what reached xterm.js against what the shell wrote: each recorded piece must be the
// next run of the expected text, or a later run of it where the native bound dropped output.
export function checkContent({ lines, body }) {
  const parts = [];
  for (let i = 0; i < lines; i++) parts.push(`${String(i).padStart(8, '0')}${body}\r\n`);
  parts.push('END-OF-BENCH\r\n');
  const expected = parts.join('');
  let pos = 0;
  let runs = 0;
  let reached = 0;
  let ok = true;
  let bad = null;
  let hash = 0x811c9dc5;
  // What a login prints before the program's text (an SSH server's shell reading its start-up
  // files may warn) is not the text: up to 4 Ki characters of it are skipped and counted apart.
  let before = 0;
  for (let [i, piece] of window.__bench.pieces.entries()) {
    if (reached === 0 && runs === 0 && !expected.startsWith(piece, 0)) {
      const start = piece.indexOf(expected.slice(0, 20));
      if (start < 0 && before + piece.length <= 4096) {
        before += piece.length;
        continue;
      }
      if (start > 0) {
        before += start;
        piece = piece.slice(start);
      }
    }
    let at = expected.startsWith(piece, pos) ? pos : -1;
    if (at < 0) {
      // The bound dropped older output here: the piece must be a later run of the text.
      at = expected.indexOf(piece, pos);
      runs++;
    }
    if (at < 0) {
      ok = false;
      bad = { piece: i, at: pos, got: piece.slice(0, 60), want: expected.slice(pos, pos + 60) };
      break;
    }
    pos = at + piece.length;
    reached += piece.length;
    for (let i = 0; i < piece.length; i++) hash = Math.imul(hash ^ piece.charCodeAt(i), 0x01000193) >>> 0;
  }
  // The same hash over the expected text's runs is what the shell's bytes give; the
  // matching above already proved them equal piece by piece.
  return { ok, bad, before, expectedChars: expected.length, reached, gaps: runs, hash: hash.toString(16) };
}

// Writes the recorded pieces' text straight into a tab's terminal, in the same piece sizes,
// without the bridge; seconds and characters.
export async function writeDirect({ lines, body, tabId }) {
  const tab = window.__morvane.tabs().find((t) => t.id === tabId);
  const sizes = window.__bench.pieces.map((p) => p.length);
  const parts = [];
  for (let i = 0; i < lines; i++) parts.push(`${String(i).padStart(8, '0')}${body}\r\n`);
  parts.push('END-OF-BENCH\r\n');
  const text = parts.join('').slice(0, sizes.reduce((a, b) => a + b, 0));
  tab.term.reset();
  await new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));
  const start = performance.now();
  let at = 0;
  for (const n of sizes) {
    const piece = text.slice(at, at + n);
    at += n;
    await new Promise((r) => tab.term.write(piece, r));
  }
  await new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));
  return { seconds: (performance.now() - start) / 1000, chars: at };
}

// Keystroke to echo: from a key's keydown to its echo parsed by xterm.js and drawn. Two
// measures of each: the write callback and the animation frame after it (what the page can see
// from outside xterm.js), and xterm.js's own events, the parse (onWriteParsed) and the frame
// that rendered the rows (onRender). The callback is a task of its own after the parse, which
// chromium may run only after a frame it gives priority after input; the frame after it is
// then the one after the frame that drew the glyph. With direct set, the keydown handler
// writes the key into the terminal itself (the peer: the page alone). A sample is [callback
// parsed, frame after it, parsed, rendered] in milliseconds from the keydown.
export function installKeyLatency() {
  const L = { t0: 0, want: '', direct: false, samples: [], waiters: [] };
  window.__lat = L;
  const finish = (s) => {
    if (s.drawn === undefined || s.rendered === undefined || s.pushed) return;
    s.pushed = true;
    L.samples.push([s.parsed, s.drawn, s.seen, s.rendered]);
    for (const w of L.waiters.splice(0)) w();
  };
  // Before the write that carries the key.
  const watch = (tab, t0) => {
    const s = { t0 };
    const parsed = tab.term.onWriteParsed(() => {
      parsed.dispose();
      s.seen = performance.now() - t0;
      const rendered = tab.term.onRender(() => {
        rendered.dispose();
        s.rendered = performance.now() - t0;
        finish(s);
      });
    });
    return s;
  };
  // After it.
  const done = (tab, s) => {
    tab.term.write('', () => {
      const parsed = performance.now();
      requestAnimationFrame(() => {
        s.parsed = parsed - s.t0;
        s.drawn = performance.now() - s.t0;
        finish(s);
      });
    });
  };
  document.addEventListener('keydown', (e) => {
    if (e.key.length !== 1 || e.ctrlKey) return;
    L.t0 = performance.now();
    L.want = e.key;
    if (L.direct) {
      const tab = window.__morvane.active();
      L.want = '';
      const t0 = L.t0;
      setTimeout(() => {
        const s = watch(tab, t0);
        tab.term.write(e.key);
        done(tab, s);
      }, 0);
    }
  }, true);
  // A recorder already tapping the page (many tabs streaming) keeps its share.
  const before = window.__morvaneTap;
  const decoder = new TextDecoder();
  window.__morvaneTap = (id, data) => {
    before?.(id, data);
    // Only the typed-into tab's output: a hidden tab's may hold the same letter.
    if (!L.want || window.__morvane.active()?.id !== id) return;
    const text = typeof data === 'string' ? data : decoder.decode(data);
    if (!text.includes(L.want)) return;
    L.want = '';
    const tab = window.__morvane.tabs().find((t) => t.id === id);
    // The tap comes just before the write of this text.
    const s = watch(tab, L.t0);
    queueMicrotask(() => done(tab, s));
  };
}

// After a keydown, when does each kind of task get to run? The keydown handler schedules a
// timer, a message on a channel, a message through a worker, a user-blocking task and an
// animation frame, and notes when each runs (ms after the keydown). A browser that holds its
// tasks until the next frame after input runs the frame first and the others after it.
export function installInputProbe() {
  const w = new Worker(URL.createObjectURL(new Blob(['onmessage = (e) => postMessage(e.data)'], { type: 'text/javascript' })));
  const mc = new MessageChannel();
  const probe = { samples: [] };
  window.__probe = probe;
  let cur = null;
  const mark = (k) => {
    if (cur && cur[k] === undefined) cur[k] = performance.now() - cur.t0;
  };
  w.onmessage = () => mark('worker');
  mc.port1.onmessage = () => mark('channel');
  document.addEventListener('keydown', () => {
    cur = { t0: performance.now() };
    probe.samples.push(cur);
    setTimeout(() => mark('timer'), 0);
    mc.port2.postMessage(1);
    w.postMessage(1);
    globalThis.scheduler?.postTask(() => mark('userBlocking'), { priority: 'user-blocking' });
    requestAnimationFrame(() => mark('frame'));
  });
}
