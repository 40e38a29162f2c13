// The hidden tabs' output (the visible tab streams its own, output_streams.js): drawn at most
// once a second, a little sooner while some are behind, every two seconds while the page
// itself is hidden. No outside references, so that it runs in node with a stand-in native side:
//   call(op, ...args)  a bridge call
//   canWait()          whether the native side has wait_terminal_output
//   getTabs()          every tab; a tab with `streaming` set belongs to its stream
//   pause(ms)          a promise that resolves after ms
//   pageHidden()       whether the page itself is hidden
//   holdSeconds        how long the native side may hold the question for output (below)
// Answers { kick() }: a tab whose stream has ended is taken over now instead of after the
// rest between turns.

// Hidden tabs share the page's one thread with the visible tab, so their drawing gets a time
// budget per turn, the tab drained longest ago first, so that with many busy tabs each one
// moves on within a few turns and typing in the visible tab stays quick. One request drains
// up to BATCH tabs (each request costs the page a few milliseconds of its own, which with a
// hundred busy tabs was most of the budget); two are under way at a time, so one round trip
// overlaps the other's parsing. A busy tab gets more pieces while the budget lasts. With many
// busy tabs each piece is smaller (TURN_CHARS shared among them): every tab moves on in every
// turn or two, parsing a piece never holds the page for long, and a tab drained by less than
// its native buffer holds does not wake its producer (it goes on below the buffer's low mark),
// so the floods cost less while hidden.
const BUDGET_MS = 150;
const LANES = 2;
const BATCH = 12;
const PIECES = 8;
const TURN_CHARS = 2000000;
const MIN_PIECE = 16384;

export function hiddenPump({ call, canWait, getTabs, pause, pageHidden, holdSeconds = 5 }) {
  let wake = null;
  let kicked = false; // while a turn is under way: the next rest is skipped
  const rest = (ms) => {
    if (kicked) {
      kicked = false;
      return Promise.resolve();
    }
    return new Promise((resolve) => {
      wake = resolve;
      pause(ms).then(resolve);
    });
  };

  // Up to `max` characters from each tab (none of which is being drained already), added to
  // the tab's `held` text; answers the tabs that got some. The text is the tab's as soon as
  // the answer comes, and `drained()` tells a tab that waits to start its stream (TermTab.stream):
  // the stream's pieces come after this one in the tab's output, and so must its writes.
  async function drainTabs(tabs, max) {
    for (const tab of tabs) tab.draining = true;
    let texts = {};
    try {
      texts = await call('drain_terminals', tabs.map((t) => t.id), max);
    } finally {
      for (const tab of tabs) {
        tab.draining = false;
        if (texts[tab.id]) tab.held = (tab.held || '') + texts[tab.id];
        tab.drained?.();
      }
    }
    return tabs.filter((t) => texts[t.id]);
  }

  // One turn within the budget; answers whether some tab was left waiting.
  async function drain(ready) {
    const queue = [...ready].sort((a, b) => (a.hiddenDrainedAt || 0) - (b.hiddenDrainedAt || 0));
    const piece = Math.max(MIN_PIECE, Math.floor(TURN_CHARS / Math.max(1, ready.length)));
    const began = performance.now();
    const pieces = new Map();
    let behind = false;
    const lane = async () => {
      while (queue.length) {
        if (performance.now() - began > BUDGET_MS) {
          behind = true;
          return;
        }
        const batch = [];
        while (queue.length && batch.length < BATCH) {
          const tab = queue.shift();
          if (!tab.streaming && !tab.disposed && !tab.draining) batch.push(tab);
        }
        if (!batch.length) continue;
        let got;
        try {
          got = await drainTabs(batch, piece);
        } catch {
          continue; // a tab went away meanwhile
        }
        const now = performance.now();
        for (const tab of batch) tab.hiddenDrainedAt = now;
        // One terminal parses at a time, so the visible tab's output never waits behind a
        // whole batch of parsing. A tab shown meanwhile has written its text already.
        for (const tab of got) {
          const text = tab.held;
          tab.held = '';
          if (!text) continue;
          await tab.write(text);
          const n = (pieces.get(tab) || 0) + 1;
          pieces.set(tab, n);
          if (n < PIECES) queue.push(tab);
        }
      }
    };
    await Promise.all(Array.from({ length: LANES }, lane));
    return behind;
  }

  (async () => {
    let behind = false;
    for (;;) {
      await rest(pageHidden() ? 2000 : behind ? 400 : 1000);
      wake = null;
      const tabs = getTabs().filter((t) => !t.disposed);
      const hidden = () => tabs.filter((t) => !t.streaming && !t.disposed);
      let ready = hidden();
      if (ready.length && canWait()) {
        // One question for every tab, held by the native side until one of them has output (or
        // `holdSeconds` pass): quiet hidden tabs cost nothing in between. The visible tab is
        // asked about too: when it is hidden while the question is held, its stream ends and
        // its output ends the wait, instead of its producer standing still for the rest of it.
        // Only hidden tabs with output are drained.
        try {
          const ids = await call('wait_terminal_output', tabs.map((t) => t.id), holdSeconds);
          ready = hidden().filter((t) => ids.includes(t.id));
        } catch {
          ready = hidden(); // drain them all, as without the question
        }
      }
      behind = await drain(ready);
    }
  })();

  return {
    kick() {
      if (wake) wake();
      else kicked = true;
    },
  };
}
