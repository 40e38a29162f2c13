// How fast the page drains and draws a local shell's output, beside xterm.js writing the
// same bytes without the bridge in the same page; and what 10 quiet tabs cost while idle.
//
//   MORVANE_BIN=build/plain/morvane node bench/page/page_bench.mjs [--mb 50] [--json FILE]
//
// Only bytes that reached xterm.js count: they are checked against what the shell wrote
// (each drained piece must be the next run of the expected text), and what the native
// 2,000,000-character bound dropped while the page fell behind is reported separately.
import { readdirSync, readFileSync, writeFileSync } from 'node:fs';
import { launchBrowser, startServe } from '../../tests/e2e/harness.mjs';

const args = process.argv.slice(2);
const opt = (name, def) => {
  const i = args.indexOf(name);
  return i >= 0 ? args[i + 1] : def;
};
const MB = Number(opt('--mb', '50'));
const JSON_OUT = opt('--json', '');
const IDLE_TABS = Number(opt('--idle-tabs', '10'));
const IDLE_SECONDS = Number(opt('--idle-seconds', '10'));

// 100-byte lines (99 characters and a line feed), numbered; the PTY turns "\n" into "\r\n".
const LINE_BODY = ' abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789 the quick brown fox jumps over';
const LINES = Math.floor((MB * 1e6) / 100);
const SHELL_BYTES = LINES * 100;
// The shell makes the text itself, line by line, as a busy program would.
const GENERATOR = `sleep 1.5; awk 'BEGIN { for (i = 0; i < ${LINES}; i++) printf "%08d${LINE_BODY}\\n", i; print "END-OF-BENCH" }'; exec sleep 3600`;

function cpuTicks(pid) {
  try {
    const f = readFileSync(`/proc/${pid}/stat`, 'utf8');
    const rest = f.slice(f.lastIndexOf(')') + 2).split(' ');
    return Number(rest[11]) + Number(rest[12]);  // utime + stime
  } catch {
    return 0;
  }
}

// [pid, parent pid] of every process.
function processTable() {
  const rows = [];
  for (const name of readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    try {
      const f = readFileSync(`/proc/${name}/stat`, 'utf8');
      const rest = f.slice(f.lastIndexOf(')') + 2).split(' ');
      rows.push([Number(name), Number(rest[1])]);
    } catch {
      /* gone meanwhile */
    }
  }
  return rows;
}

// root and every process below it (the browser's renderer, GPU and utility processes).
function descendants(root) {
  const kids = new Map();
  for (const [pid, ppid] of processTable()) {
    if (!kids.has(ppid)) kids.set(ppid, []);
    kids.get(ppid).push(pid);
  }
  const out = [];
  const stack = [root];
  while (stack.length) {
    const p = stack.pop();
    out.push(p);
    for (const c of kids.get(p) || []) stack.push(c);
  }
  return out;
}

const CLK_TCK = 100;

const window_tab_id = (state) => state.tabs[0].id;

// Writes the drained pieces' text straight into the bench tab's terminal; seconds and size.
async function writeDirect(page, tabId) {
  return page.evaluate(async ({ lines, body, tabId }) => {
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
  }, { lines: LINES, body: LINE_BODY, tabId });
}

async function main() {
  const server = await startServe();
  const b = await launchBrowser();
  const page = await b.browser.newPage({ viewport: { width: 1280, height: 760 } });
  page.on('pageerror', (e) => console.error('page error:', e.message));
  try {
    const saved = await server.call('save_session', {
      name: 'bench', protocol: 'conpty', conpty_shell: 'custom', conpty_custom_command: GENERATOR,
    });
    await server.call('save_session', {
      name: 'warm-up', protocol: 'conpty', conpty_shell: 'custom',
      conpty_custom_command: `awk 'BEGIN { for (i = 0; i < 50000; i++) printf "%08d${LINE_BODY}\\n", i; print "END-OF-WARM-UP" }'; exec sleep 3600`,
    });
    await page.goto(server.url);
    await page.waitForSelector('html[data-ready="1"]');

    // Warm-up: a first tab prints 5 MB through the same road and is closed, so that both
    // measurements below run with xterm.js's parser already compiled by the browser (the
    // direct peer otherwise profits from the bridge run's warm-up).
    await page.locator('.session', { hasText: 'warm-up' }).dblclick();
    await page.waitForFunction(() => {
      const tab = window.__morvane.active();
      if (!tab) return false;
      const buf = tab.term.buffer.active;
      for (let y = Math.max(0, buf.length - 60); y < buf.length; y++) {
        if (buf.getLine(y)?.translateToString(true).includes('END-OF-WARM-UP')) return true;
      }
      return false;
    }, null, { timeout: 120000, polling: 100 });
    await server.call('close_tab', window_tab_id(await server.call('get_runtime_state')));
    await page.waitForFunction(() => window.__morvane.tabs().length === 0, null, { timeout: 10000 });

    // Record every drained piece before xterm.js gets it.
    await page.evaluate(() => {
      window.__bench = { pieces: [], first: 0, last: 0, chars: 0 };
      window.__morvaneTap = (id, text) => {
        const b = window.__bench;
        if (!b.first) b.first = performance.now();
        b.pieces.push(text);
        b.chars += text.length;
        if (text.includes('END-OF-BENCH')) b.last = performance.now();
      };
    });
    await page.locator('.session', { hasText: 'bench' }).dblclick();
    await page.waitForFunction(() => window.__bench.last > 0, null, { timeout: 600000, polling: 100 });
    // Drawn, not only parsed: the last line is on screen after two more frames.
    const bridge = await page.evaluate(async () => {
      const tab = window.__morvane.active();
      await new Promise((r) => tab.term.write('', r));
      await new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));
      const end = performance.now();
      return { seconds: (end - window.__bench.first) / 1000, chars: window.__bench.chars, pieces: window.__bench.pieces.length };
    });

    // Check what reached xterm.js against what the shell wrote, in the page.
    const check = await page.evaluate(({ lines, body }) => {
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
    }, { lines: LINES, body: LINE_BODY });

    // The peer: the same terminal, the same bytes in the same piece sizes, no bridge; once on
    // a quiet machine, and once while the same shell output runs again in a tab whose
    // reading is off (the native side reads and decodes it, nothing reaches the page), so
    // that both sides share the machine with the same producer.
    const benchTab = (await server.call('get_runtime_state')).tabs[0].id;
    const direct = await writeDirect(page, benchTab);
    const loadSession = await server.call('save_session', {
      name: 'bench load', protocol: 'conpty', conpty_shell: 'custom', conpty_custom_command: GENERATOR,
    });
    const load = await server.call('connect_session', loadSession.id);
    await server.call('toggle_tab_reading', load.tab_id);
    await page.waitForTimeout(1700);
    const loaded = await writeDirect(page, benchTab);
    await server.call('close_tab', load.tab_id);



    const bridgeRate = bridge.chars / 1e6 / bridge.seconds;
    const directRate = direct.chars / 1e6 / direct.seconds;
    const loadedRate = loaded.chars / 1e6 / loaded.seconds;
    const dropped = check.expectedChars - check.reached;
    console.log(`page drain and render: ${MB} MB written by the shell (${SHELL_BYTES} bytes, ${check.expectedChars} characters after the PTY's CR LF)`);
    console.log(`  reached xterm.js : ${check.reached} characters in ${bridge.pieces} drains, ${bridge.seconds.toFixed(2)} s -> ${bridgeRate.toFixed(1)} MB/s`);
    console.log(`  content check    : ${check.ok ? 'every piece matches the shell output' : 'MISMATCH'} (${check.gaps} gaps, FNV-1a ${check.hash})`);
    console.log(`  dropped by bound : ${dropped} characters (${((100 * dropped) / check.expectedChars).toFixed(1)}%) while the page fell behind`);
    console.log(`  xterm.js direct  : ${direct.chars} characters in ${direct.seconds.toFixed(2)} s -> ${directRate.toFixed(1)} MB/s`);
    console.log(`  xterm.js direct while the same output is produced again (reading off): ${loadedRate.toFixed(1)} MB/s`);
    console.log(`  ratio page/direct, quiet peer : ${(bridgeRate / directRate).toFixed(2)}`);
    console.log(`  ratio page/direct, same load  : ${(bridgeRate / loadedRate).toFixed(2)}  (aim: at least 0.70)`);

    // Idle: quiet tabs, nothing to draw.
    await server.call('close_tab', (await server.call('get_runtime_state')).tabs[0].id);
    for (let i = 0; i < IDLE_TABS; i++) {
      await server.call('save_session', { name: `quiet ${i}`, protocol: 'conpty', conpty_shell: 'custom', conpty_custom_command: 'exec sleep 3600' });
    }
    await page.goto(server.url);
    await page.waitForSelector('html[data-ready="1"]');
    for (const s of (await server.call('get_initial_state')).sessions.filter((x) => x.name.startsWith('quiet'))) {
      await page.locator('.session', { hasText: s.name }).dblclick();
    }
    await page.waitForFunction((n) => document.querySelectorAll('.tab').length === n, IDLE_TABS);
    await page.waitForTimeout(3000);
    // The browser's processes: everything this script started except morvane and its shells.
    const serverPid = server.proc.pid;
    const browserPids = () => {
      const mine = new Set(descendants(serverPid));
      return descendants(process.pid).filter((p) => p !== process.pid && !mine.has(p));
    };
    const ticks = () => ({ browser: browserPids().reduce((a, p) => a + cpuTicks(p), 0), server: cpuTicks(serverPid) });
    // Two windows: right after the tabs opened (their cursors still blink for 10 s after
    // the last output), and then at rest.
    const measure = async () => {
      const before = ticks();
      const t0 = Date.now();
      await new Promise((r) => setTimeout(r, IDLE_SECONDS * 1000));
      const secs = (Date.now() - t0) / 1000;
      const after = ticks();
      const pct = (d) => Number(((100 * d) / CLK_TCK / secs).toFixed(1));
      return { secs, browser: pct(after.browser - before.browser), server: pct(after.server - before.server) };
    };
    const fresh = await measure();
    const rest = await measure();
    console.log(`idle with ${IDLE_TABS} quiet tabs, ${fresh.secs.toFixed(1)} s right after opening: browser ${fresh.browser}% of one core, morvane ${fresh.server}%`);
    console.log(`idle with ${IDLE_TABS} quiet tabs, the next ${rest.secs.toFixed(1)} s: browser ${rest.browser}% of one core, morvane ${rest.server}%`);

    if (JSON_OUT) {
      writeFileSync(JSON_OUT, JSON.stringify({
        mb: MB, reached: check.reached, expected: check.expectedChars, dropped, gaps: check.gaps, content_ok: check.ok,
        page_mb_s: bridgeRate, direct_mb_s: directRate, direct_loaded_mb_s: loadedRate,
        ratio_quiet: bridgeRate / directRate, ratio_same_load: bridgeRate / loadedRate,
        idle_browser_pct: fresh.browser, idle_morvane_pct: fresh.server, rest_browser_pct: rest.browser, rest_morvane_pct: rest.server,
      }, null, 2));
    }
    if (!check.ok) process.exitCode = 1;
  } finally {
    await b.close();
    await server.stop();
  }
}

await main();
