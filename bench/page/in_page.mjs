// The benchmark's code that runs inside the page, shared by the chromium runner (handed to
// page.evaluate) and the desktop-window runner (written into the script the window runs).
// Each function stands alone: it uses only its argument and the page's globals.

// Records every piece the page hands to xterm.js, before xterm.js gets it.
export function installRecorder() {
  window.__bench = { pieces: [], first: 0, last: 0, chars: 0 };
  window.__morvaneTap = (id, text) => {
    const b = window.__bench;
    if (!b.first) b.first = performance.now();
    b.pieces.push(text);
    b.chars += text.length;
    if (text.includes('END-OF-BENCH')) b.last = performance.now();
  };
}

// Once the end marker has been handed over: drawn, not only parsed (the last line is on
// screen after two more frames). Seconds from the first piece, characters, pieces.
export async function finishRecording() {
  const tab = window.__morvane.active();
  await new Promise((r) => tab.term.write('', r));
  await new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));
  const end = performance.now();
  return { seconds: (end - window.__bench.first) / 1000, chars: window.__bench.chars, pieces: window.__bench.pieces.length };
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
  let hash = 0x811c9dc5;
  for (const piece of window.__bench.pieces) {
    let at = expected.startsWith(piece, pos) ? pos : -1;
    if (at < 0) {
      // The bound dropped older output here: the piece must be a later run of the text.
      at = expected.indexOf(piece, pos);
      runs++;
    }
    if (at < 0) {
      ok = false;
      break;
    }
    pos = at + piece.length;
    reached += piece.length;
    for (let i = 0; i < piece.length; i++) hash = Math.imul(hash ^ piece.charCodeAt(i), 0x01000193) >>> 0;
  }
  // The same hash over the expected text's runs is what the shell's bytes give; the
  // matching above already proved them equal piece by piece.
  return { ok, expectedChars: expected.length, reached, gaps: runs, hash: hash.toString(16) };
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
