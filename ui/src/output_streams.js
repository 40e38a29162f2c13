// The visible tab's output, fetched ahead of xterm.js. In the browser host this runs in a
// worker: there a request's answer is read and decoded off the page's thread, which xterm.js
// keeps busy parsing (on the page's thread each answer waited behind several slices of
// parsing and drawing, 60 to 190 ms a piece, and xterm.js sat idle a third of the time). The
// desktop window has no bridge in workers, so there it runs on the page's thread.
//
// Messages in: {op: 'start', tab, gen} (the tab shows), {op: 'stop', tab} (it hides or
// closes), {op: 'parsed', tab, n} (xterm.js parsed n characters handed over).
// Messages out: {tab, text} (the next piece, in order: a string, or its UTF-8 bytes in a
// Uint8Array from the browser host), {tab, ended: gen} (no request of that
// tab is under way any more).
//
// Requests stay open on the native side until there is output; a quiet tab costs a request
// every `hold` seconds and no timer. While it floods, up to `lanes` are under way, each answer
// placed in the tab's stream (from, to), so a piece that overtakes the one before it waits for
// it, and each asking the native side to gather `gather` characters while output keeps coming.
// What xterm.js has not parsed yet, and a full piece for each request under way, stay within
// `high`, so a fast producer fills the native buffer (which then stops reading it), not the
// page.
//
// Both functions stand alone (they use only their arguments): the worker is made from
// their source text.
export function outputStreams(fetchPiece, post, cfg) {
  const streams = new Map();
  const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
  const wake = (s) => {
    const go = s.waiting;
    s.waiting = [];
    for (const resolve of go) resolve();
  };

  function run(tab, s) {
    const hand = (text) => {
      s.pending += text.length;
      post({ tab, text });
    };
    const release = () => {
      for (let p = s.held.get(s.next); p; p = s.held.get(s.next)) {
        s.held.delete(s.next);
        hand(p.text);
        s.next = p.to;
      }
    };
    const deliver = (piece) => {
      if (piece.from === null) return;
      if (s.next === null) s.next = piece.from;
      const was = s.flooding;
      s.flooding = piece.text.length >= cfg.flood;
      if (s.flooding && !was) wake(s);
      if (!piece.text.length) return;
      if (piece.from < s.next) return hand(piece.text); // never: each piece is drained once
      s.held.set(piece.from, piece);
      release();
    };
    // A request that failed may have taken a piece with it: what came after it goes now.
    const skipLost = () => {
      const starts = [...s.held.keys()].sort((a, b) => a - b);
      if (starts.length) {
        s.next = starts[0];
        release();
      }
    };
    const ask = async (wait) => {
      try {
        deliver(await fetchPiece(tab, wait, s.flooding ? cfg.gather : 0));
      } catch {
        skipLost();
        await sleep(500);
      }
    };
    // One request waits for output for up to `hold` seconds at a time; the others go only while
    // the tab floods, and wait briefly. (A browser keeps six connections to a host, which the
    // page's other calls need too: a request held open is one of them.) A request goes out
    // while what xterm.js holds and what the requests under way may bring (a full piece each)
    // stay within `high`: as xterm.js finishes a piece, one request goes, so each finds the
    // native buffer refilled instead of two finding it just emptied. Stopped, each lane ends
    // after its request; the last one to end ends the stream.
    const lane = async (watcher) => {
      s.lanes++;
      if (watcher) s.watching = true;
      try {
        while (s.live) {
          while (s.live && (s.pending + (s.asking + 1) * cfg.piece > cfg.high || (!watcher && !s.flooding))) {
            await new Promise((resolve) => s.waiting.push(resolve));
          }
          if (!s.live) break;
          s.asking++;
          // The first answer tells where the stream stands; the other lanes wait for a flood.
          await ask(watcher ? cfg.hold : 0.2);
          s.asking--;
        }
      } finally {
        if (watcher) s.watching = false;
        if (--s.lanes === 0) {
          skipLost();
          streams.delete(tab);
          post({ tab, ended: s.gen });
        }
      }
    };
    // Started, or started again before every lane had ended: the lanes that ended come back.
    s.fill = () => {
      if (!s.watching) lane(true);
      while (s.lanes < cfg.lanes) lane(false);
    };
    s.fill();
  }

  return (m) => {
    let s = streams.get(m.tab);
    if (m.op === 'start') {
      if (s) {
        s.live = true;
        s.gen = m.gen;
        s.fill();
        return;
      }
      s = { live: true, gen: m.gen, pending: 0, asking: 0, lanes: 0, watching: false, next: null, held: new Map(), waiting: [], flooding: false };
      streams.set(m.tab, s);
      run(m.tab, s);
    } else if (s && m.op === 'stop') {
      s.live = false;
      wake(s);
    } else if (s && m.op === 'parsed') {
      s.pending -= m.n;
      wake(s);
    }
  };
}

// The browser host's request for the next piece: the raw UTF-8 bytes from GET /output, its
// place in the stream in two headers. The bytes go to xterm.js as they are (it decodes UTF-8
// itself): no decoding into a string in the worker, and no copy of one into the page's
// thread, where the worker hands the buffer over instead.
export async function fetchOutputPiece(base, token, tab, wait, min) {
  const q = `token=${encodeURIComponent(token)}&tab=${encodeURIComponent(tab)}&wait=${wait}&min=${min}`;
  const res = await fetch(`${base}/output?${q}`, { cache: 'no-store' });
  if (!res.ok) throw new Error(`HTTP ${res.status}`);
  const text = new Uint8Array(await res.arrayBuffer());
  const from = res.headers.get('X-Output-From');
  const to = res.headers.get('X-Output-To');
  // An answer without a place (a request left by a page that went away) has no piece.
  if (from === null || to === null) return { from: null, to: null, text: '' };
  return { from: Number(from), to: Number(to), text };
}

// The worker's own script, from the two functions above.
export function outputWorkerSource(base, token, cfg) {
  return `const outputStreams = ${outputStreams.toString()};
const fetchOutputPiece = ${fetchOutputPiece.toString()};
const handle = outputStreams((tab, wait, min) => fetchOutputPiece(${JSON.stringify(base)}, ${JSON.stringify(token)}, tab, wait, min),
  (m) => postMessage(m, m.text?.buffer ? [m.text.buffer] : []), ${JSON.stringify(cfg)});
onmessage = (e) => handle(e.data);
`;
}
