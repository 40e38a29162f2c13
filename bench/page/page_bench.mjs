// How fast the page drains and draws a local shell's output, beside xterm.js writing the
// same bytes without the bridge in the same page; how long a typed key takes to show its
// echo, beside the page writing the key itself; how soon Ctrl+C in a flood brings the prompt
// back; and what quiet tabs cost while idle.
//
//   MORVANE_BIN=build/plain/morvane node bench/page/page_bench.mjs [--mb 50] [--source shell|ssh] [--json FILE]
//
// Only bytes that reached xterm.js count: they are checked against what the shell wrote
// (each drained piece must be the next run of the expected text), and what the native
// 2,000,000-character bound dropped while the page fell behind is reported separately.
import { readFileSync, writeFileSync } from 'node:fs';
import { launchBrowser, startServe, startSshd } from '../../tests/e2e/harness.mjs';
import { launchBare } from './bare_cdp.mjs';
import { benchSession, CLK_TCK, cliOption, cpuTicks, descendants, generator, LINE_BODY, latencyReport, latencyStats, linesFor, percentile, procName, sourceOption, TEXT_START, threadTicks, throughputReport, WARM_UP, writerName } from './common.mjs';
import * as inPage from './in_page.mjs';

const args = process.argv.slice(2);
const opt = cliOption;
const MB = Number(opt('--mb', '50'));
const JSON_OUT = opt('--json', '');
const IDLE_TABS = Number(opt('--idle-tabs', '20'));
const IDLE_SECONDS = Number(opt('--idle-seconds', '10'));
const KEYS = Number(opt('--keys', '300'));
// Where the text comes from: a local shell tab, or an SSH tab to OpenSSH's sshd on loopback.
const SOURCE = sourceOption();
// 100 tabs streaming at once (0: not measured); --streams-only measures only that.
const STREAMS = Number(opt('--streams', '0'));
const STREAMS_ONLY = args.includes('--streams-only');
// Writes the page renderer's CPU profile of the drain to FILE and prints where its time went.
const PROFILE = opt('--profile', '');
// What drives the browser for the drain: bare (the DevTools pipe, nothing watched) or playwright.
const DRIVER = opt('--driver', 'bare');
if (!['bare', 'playwright'].includes(DRIVER)) throw new Error('--driver is bare or playwright');
// The same for xterm.js writing the pieces directly (the quiet peer), to compare with it.
const PROFILE_DIRECT = opt('--profile-direct', '');
// Writes a chromium trace (main-thread tasks, style, layout, loading) of the typing among the
// streaming tabs to FILE.
const TRACE = opt('--trace', '');
// Writes a chromium trace of the drain (the page's thread, the network, the compositor) to FILE.
const TRACE_DRAIN = opt('--trace-drain', '');
// Writes a chromium trace of the typing (keys alone, the page's thread and its frames) to FILE.
const TRACE_KEYS = opt('--trace-keys', '');

const LINES = linesFor(MB);
const SHELL_BYTES = LINES * 100;
const GENERATOR = generator(LINES);

const window_tab_id = (state) => state.tabs[0].id;

// Writes the drained pieces' text straight into the bench tab's terminal; seconds and size.
async function writeDirect(d, tabId) {
  return d.evaluate(inPage.writeDirect, { lines: LINES, body: LINE_BODY, tabId });
}


// Keystroke to echo in a local shell tab (bash with its line editor): from the key's keydown in
// the page to the echo parsed and drawn, by xterm.js's own events and as seen from outside it
// (see installKeyLatency). The peer is the page alone: the same keys written by the
// keydown handler straight into the terminal, with the tab's reading off so the shell's echo
// stays out. Keys go one at a time, each after the last one's echo; every 40 the line is
// cleared with Ctrl+U so it never wraps.
async function keyLatency(page, server, keys, { keepTap = false } = {}) {
  const sess = await server.call('save_session', {
    name: 'typing', protocol: 'conpty', conpty_shell: 'custom',
    conpty_custom_command: "PS1='$ ' exec bash --norc --noprofile",
  });
  const { tab_id: typingTab } = await server.call('connect_session', sess.id);
  await page.locator(`.tab[data-id="${typingTab}"]`).click();
  await page.waitForFunction(() => {
    const tab = window.__morvane.active();
    return tab && tab.term.buffer.active.getLine(tab.term.buffer.active.cursorY + tab.term.buffer.active.baseY)?.translateToString(true).startsWith('$');
  }, null, { timeout: 30000, polling: 50 });
  await page.locator('.term-pane:not([hidden]) .xterm').click();
  await page.evaluate(inPage.installKeyLatency);
  const run = async (direct) => {
    await page.evaluate((d) => {
      window.__lat.direct = d;
      window.__lat.samples = [];
    }, direct);
    for (let i = 0; i < keys; i++) {
      const key = String.fromCharCode(97 + (i % 26));
      const echoed = page.evaluate((n) => new Promise((resolve) => {
        const L = window.__lat;
        if (L.samples.length >= n) resolve();
        else L.waiters.push(() => L.samples.length >= n && resolve());
        setTimeout(resolve, 5000);
      }), i + 1);
      await page.keyboard.press(key);
      await echoed;
      if (i % 40 === 39) {
        await page.keyboard.press('Control+u');
        await page.waitForTimeout(30);
      }
      await page.waitForTimeout(5 + (i % 7) * 5);
    }
    return latencyStats(await page.evaluate(() => window.__lat.samples));
  };
  const echo = await run(false);
  const tabId = await page.evaluate(() => window.__morvane.active().id);
  if (keepTap) {
    await server.call('close_tab', tabId);
    await server.call('delete_session', sess.id);
    return { echo };
  }
  await server.call('toggle_tab_reading', tabId);
  const direct = await run(true);
  await page.evaluate(() => {
    window.__morvaneTap = undefined;
  });
  await server.call('close_tab', tabId);
  await server.call('delete_session', sess.id);
  return { echo, direct };
}

// A browser process's part (renderer, gpu-process, utility...; browser for the main one).
function processRole(pid) {
  try {
    const args = readFileSync(`/proc/${pid}/cmdline`, 'utf8').split(/[\0 ]/);
    const type = args.find((a) => a.startsWith('--type='))?.slice(7);
    const sub = args.find((a) => a.startsWith('--utility-sub-type='))?.slice(19).split('.').pop();
    const name = procName(pid);
    return sub || type || (name === 'chromium' ? 'browser' : name);
  } catch {
    return '';
  }
}

// What the browser runs first after a keydown, on a blank page of its own: for each kind of
// task, the median ms after the keydown, and how many of the keys saw it run before the frame.
async function inputProbe(browser, keys) {
  const page = await browser.newPage();
  try {
    await page.setContent('<html><body><textarea id="t"></textarea></body></html>');
    await page.evaluate(inPage.installInputProbe);
    await page.click('#t');
    for (let i = 0; i < keys; i++) {
      await page.keyboard.press('a');
      await page.waitForTimeout(25 + (i % 7) * 3);
    }
    const samples = await page.evaluate(() => window.__probe.samples);
    return ['frame', 'timer', 'channel', 'worker', 'userBlocking'].map((k) => {
      const ran = samples.filter((x) => x[k] !== undefined);
      const before = ran.filter((x) => k !== 'frame' && x[k] < x.frame).length;
      return `${k} ${percentile(ran.map((x) => x[k]), 50)?.toFixed(1)} ms` + (k === 'frame' ? '' : ` (before the frame: ${before} of ${ran.length})`);
    });
  } finally {
    await page.close();
  }
}

// Ctrl+C typed while a program floods the visible tab: from the key's keydown to the shell's
// next prompt parsed by xterm.js. What the page has not drawn yet of the flood comes first, so
// the figure is bounded by how much output the native side holds back (its high mark).
async function interruptFlood(page, server, rounds) {
  const sess = await server.call('save_session', {
    name: 'interrupt', protocol: 'conpty', conpty_shell: 'custom',
    conpty_custom_command: "PS1='READY> ' exec bash --norc --noprofile",
  });
  const { tab_id: tab } = await server.call('connect_session', sess.id);
  await page.locator(`.tab[data-id="${tab}"]`).click();
  await page.evaluate((id) => {
    const F = { id, chars: 0, tail: '', armed: false, t0: 0, result: null };
    window.__intr = F;
    document.addEventListener('keydown', (e) => {
      if (e.ctrlKey && e.key === 'c' && F.armed) F.t0 = performance.now();
    }, true);
    const decoder = new TextDecoder();
    window.__morvaneTap = (tid, data) => {
      if (tid !== id) return;
      const text = typeof data === 'string' ? data : decoder.decode(data);
      F.chars += text.length;
      F.tail = (F.tail + text).slice(-200);
      if (F.t0 && !F.result && /\^C[\s\S]*READY> $/.test(F.tail)) {
        const t0 = F.t0;
        queueMicrotask(() => window.__morvane.tabs().find((t) => t.id === id).term.write('', () => {
          F.result = { ms: performance.now() - t0 };
        }));
      }
    };
  }, tab);
  await page.locator('.term-pane:not([hidden]) .xterm').click();
  // A fresh prompt, seen by the tap (the first may have come before it).
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => window.__intr.tail.endsWith('READY> '), null, { timeout: 30000, polling: 50 });
  const out = [];
  for (let r = 0; r < rounds; r++) {
    await page.evaluate(() => {
      Object.assign(window.__intr, { chars: 0, armed: false, t0: 0, result: null });
    });
    await page.keyboard.type(`awk 'BEGIN { for (;;) print "flood ${r} the quick brown fox jumps over the lazy dog 0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ" }'`);
    await page.keyboard.press('Enter');
    // Let the flood run for a while (about 5 MB) before interrupting it.
    await page.waitForFunction(() => window.__intr.chars > 5e6, null, { timeout: 120000, polling: 50 });
    await page.evaluate(() => {
      window.__intr.armed = true;
    });
    await page.keyboard.press('Control+c');
    await page.waitForFunction(() => window.__intr.result, null, { timeout: 60000, polling: 20 });
    out.push((await page.evaluate(() => window.__intr.result)).ms);
  }
  await page.evaluate(() => {
    window.__morvaneTap = undefined;
  });
  await server.call('close_tab', tab);
  await server.call('delete_session', sess.id);
  return out;
}

// Stops the renderer's CPU profile, writes it to `file` and prints the functions that took
// the most time of their own.
async function profileReport(cdp, file) {
  const { profile } = await cdp.send('Profiler.stop');
  writeFileSync(file, JSON.stringify(profile));
  const dt = new Map();
  for (let i = 0; i < profile.samples.length; i++) dt.set(profile.samples[i], (dt.get(profile.samples[i]) || 0) + (profile.timeDeltas[i] || 0));
  const self = new Map();
  for (const n of profile.nodes) {
    const f = n.callFrame;
    const key = `${f.functionName || '(anonymous)'} ${f.url.split(/[/?]/).pop().slice(0, 20)}:${f.lineNumber}`;
    self.set(key, (self.get(key) || 0) + (dt.get(n.id) || 0));
  }
  const total = [...self.values()].reduce((a, b) => a + b, 0);
  console.log(`renderer profile (${(total / 1e6).toFixed(2)} s sampled), self time:`);
  for (const [k, v] of [...self].sort((a, b) => b[1] - a[1]).slice(0, 25)) console.log(`  ${(v / 1e3).toFixed(0).padStart(6)} ms  ${k}`);
}

async function startProfile(cdp) {
  await cdp.send('Profiler.enable');
  await cdp.send('Profiler.setSamplingInterval', { interval: 200 });
  await cdp.send('Profiler.start');
}

function rssMB(pid) {
  try {
    const m = /VmRSS:\s+(\d+) kB/.exec(readFileSync(`/proc/${pid}/status`, 'utf8'));
    return m ? Number(m[1]) / 1024 : 0;
  } catch {
    return 0;
  }
}

// `n` local shells flooding at once (awk printing without end), all in hidden tabs while a
// bash tab is typed into: every tab must make progress (characters reaching its terminal in
// each of two 10 s windows), typing must still echo quickly, and morvane's memory must stay
// below the output bound times the tabs and come back down once they close.
async function streaming(b, server, n) {
  const serverPid = server.proc.pid;
  const base = rssMB(serverPid);
  const ids = [];
  for (let i = 0; i < n; i++) {
    const s = await server.call('save_session', {
      name: `stream ${i}`, protocol: 'conpty', conpty_shell: 'custom',
      conpty_custom_command: `exec awk 'BEGIN { for (i = 0; ; i++) printf "stream ${i} line %08d the quick brown fox jumps over the lazy dog 0123456789\\n", i }'`,
    });
    ids.push(s.id);
  }
  const page = await b.browser.newPage({ viewport: { width: 1280, height: 760 } });
  let peak = base;
  const sampler = setInterval(() => {
    peak = Math.max(peak, rssMB(serverPid));
  }, 250);
  try {
    await page.goto(server.url);
    await page.waitForSelector('html[data-ready="1"]');
    await page.evaluate(() => {
      window.__streams = {};
      window.__morvaneTap = (id, text) => {
        window.__streams[id] = (window.__streams[id] || 0) + text.length;
      };
    });
    const tabs = [];
    for (const id of ids) tabs.push((await server.call('connect_session', id)).tab_id);
    await page.waitForFunction((ours) => ours.every((id) => document.querySelector(`.tab[data-id="${id}"]`)), tabs, { timeout: 60000 });
    const counts = () => page.evaluate(() => ({ ...window.__streams }));
    await page.waitForTimeout(3000);
    const c0 = await counts();
    const t0 = Date.now();
    const cdp = PROFILE ? await page.context().newCDPSession(page) : null;
    if (cdp) await startProfile(cdp);
    if (TRACE) await b.browser.startTracing(page, { path: TRACE, categories: ['devtools.timeline', 'disabled-by-default-devtools.timeline', 'blink', 'loading', 'v8'] });
    // Typing into a bash tab of its own, the visible one, while the floods go on.
    const keys = await keyLatency(page, server, Math.min(KEYS, 150), { keepTap: true });
    if (cdp) await profileReport(cdp, PROFILE);
    if (TRACE) await b.browser.stopTracing();
    const rest = 10000 - (Date.now() - t0);
    if (rest > 0) await page.waitForTimeout(rest);
    const c1 = await counts();
    const w1 = (Date.now() - t0) / 1000;
    await page.waitForTimeout(10000);
    const c2 = await counts();
    const gains = (a, b2) => tabs.map((id) => (b2[id] || 0) - (a[id] || 0));
    const g1 = gains(c0, c1);
    const g2 = gains(c1, c2);
    const during = rssMB(serverPid);
    for (const id of tabs) await server.call('close_tab', id);
    await page.waitForFunction((ours) => !ours.some((id) => document.querySelector(`.tab[data-id="${id}"]`)), tabs, { timeout: 60000 });
    await page.waitForTimeout(5000);
    const after = rssMB(serverPid);
    const med = (xs) => percentile(xs, 50);
    const kb = (x) => `${(x / 1024).toFixed(0)} k`;
    console.log(`${n} tabs streaming at once (awk flooding in each, all hidden behind a bash tab that is typed into):`);
    console.log(`  first ${w1.toFixed(1)} s (while typing): ${g1.filter((x) => x > 0).length} of ${n} tabs made progress; characters per tab: min ${kb(Math.min(...g1))}, median ${kb(med(g1))}, max ${kb(Math.max(...g1))}`);
    console.log(`  next 10 s: ${g2.filter((x) => x > 0).length} of ${n} tabs made progress; characters per tab: min ${kb(Math.min(...g2))}, median ${kb(med(g2))}, max ${kb(Math.max(...g2))}`);
    console.log(`  typing meanwhile, ${keys.echo.n} keys: echo parsed p50 ${keys.echo.parsed.p50.toFixed(1)} ms, p99 ${keys.echo.parsed.p99.toFixed(1)} ms; drawn p50 ${keys.echo.drawn.p50.toFixed(1)} ms, p99 ${keys.echo.drawn.p99.toFixed(1)} ms; xterm.js's own events: parsed p99 ${keys.echo.seen.p99.toFixed(1)} ms, rendered p99 ${keys.echo.rendered.p99.toFixed(1)} ms (aim: p99 < 50 ms)`);
    console.log(`  morvane resident memory: ${base.toFixed(1)} MB before, peak ${peak.toFixed(1)} MB, ${during.toFixed(1)} MB at the end of the floods, ${after.toFixed(1)} MB 5 s after closing them (the output bound, 2,000,000 characters a tab, would allow ${((2e6 * n) / 1e6).toFixed(0)} MB more)`);
    return { tabs: n, progressed1: g1.filter((x) => x > 0).length, progressed2: g2.filter((x) => x > 0).length, min2: Math.min(...g2), keys: keys.echo, rss: { base, peak, during, after } };
  } finally {
    clearInterval(sampler);
    await page.close();
  }
}

// The drain: a warm-up tab, then the bench tab's output into the page, checked; xterm.js
// writing the same pieces directly in the same page, quiet and under the same load. By default
// in a chromium of its own driven bare (bare_cdp.mjs); with --driver playwright (and for
// --trace-drain) in Playwright's, whose network instrumentation the page then pays for.
async function drain(server, sshd, source) {
  const bare = DRIVER === 'bare' && !TRACE_DRAIN;
  // Saved before the page loads, which lists them.
  await server.call('save_session', source('bench'));
  await server.call('save_session', {
    name: 'warm-up', protocol: 'conpty', conpty_shell: 'custom',
    conpty_custom_command: WARM_UP,
  });
  let browser;
  let d;
  if (bare) {
    browser = await launchBare();
    const p = await browser.newPage(server.url);
    d = { ...p, open: (name) => p.evaluate((n) => [...document.querySelectorAll('.session')].find((e) => e.textContent.includes(n))
      ?.dispatchEvent(new MouseEvent('dblclick', { bubbles: true })), name), close: () => browser.close() };
  } else {
    const b = await launchBrowser();
    const page = await b.browser.newPage({ viewport: { width: 1280, height: 760 } });
    page.on('pageerror', (e) => console.error('page error:', e.message));
    const session = await page.context().newCDPSession(page);
    await page.goto(server.url);
    d = {
      evaluate: (fn, arg) => page.evaluate(fn, arg),
      waitFor: (fn, arg, timeout, polling = 100) => page.waitForFunction(fn, arg, { timeout, polling }),
      cdp: (method, params) => session.send(method, params),
      open: (name) => page.locator('.session', { hasText: name }).dblclick(),
      startTracing: (path, categories) => b.browser.startTracing(page, { path, categories }),
      stopTracing: () => b.browser.stopTracing(),
      close: () => b.close(),
    };
  }
  try {
    return await drainWith(d, server, sshd, source, bare);
  } finally {
    await d.close();
  }
}

async function drainWith(d, server, sshd, source, bare) {
  await d.waitFor(() => document.documentElement.dataset.ready === '1', undefined, 30000);

  // Warm-up: a first tab prints 5 MB through the same road and is closed, so that both
  // measurements below run with xterm.js's parser already compiled by the browser (the
  // direct peer otherwise profits from the bridge run's warm-up).
  await d.open('warm-up');
  await d.waitFor(() => {
    const tab = window.__morvane.active();
    if (!tab) return false;
    const buf = tab.term.buffer.active;
    for (let y = Math.max(0, buf.length - 60); y < buf.length; y++) {
      if (buf.getLine(y)?.translateToString(true).includes('END-OF-WARM-UP')) return true;
    }
    return false;
  }, undefined, 120000);
  await server.call('close_tab', window_tab_id(await server.call('get_runtime_state')));
  await d.waitFor(() => window.__morvane.tabs().length === 0, undefined, 10000);

  // Record every drained piece before xterm.js gets it.
  await d.evaluate(inPage.installRecorder, TEXT_START);
  await d.evaluate(inPage.installFlowMeter);
  // Where the machine's time goes while the page drains: the page's renderer (as the browser
  // counts it), the browser's other processes, morvane, and what writes the text (the shell
  // and awk, or sshd with its session).
  await d.cdp('Performance.enable');
  const rendererTime = async () => (await d.cdp('Performance.getMetrics')).metrics.find((x) => x.name === 'ProcessTime')?.value ?? 0;
  const serverPid = server.proc.pid;
  const cpuSplit = () => {
    const mine = descendants(serverPid);
    const writer = sshd ? descendants(sshd.pid) : mine.filter((p) => p !== serverPid);
    const skip = new Set([...mine, ...writer, process.pid]);
    const browser = descendants(process.pid).filter((p) => !skip.has(p));
    const sum = (ps, ticks) => ps.reduce((a, p) => a + ticks(p), 0) / CLK_TCK;
    const threads = new Map();
    for (const pid of browser) {
      for (const t of threadTicks(pid)) threads.set(`${pid}/${t.tid}`, { name: `${processRole(pid)}:${t.name}`, ns: t.ns, wait: t.wait, slices: t.slices });
    }
    return { browser: sum(browser, cpuTicks), morvane: cpuTicks(serverPid) / CLK_TCK, writer: sum(writer, (p) => cpuTicks(p, undefined, { reaped: true })), threads };
  };
  // The browser's busiest threads meanwhile (by process and thread name): seconds on a
  // processor, and seconds ready to run but waiting for one.
  const busiest = (before, after) => {
    const by = new Map();
    for (const [k, t] of after) {
      const b0 = before.get(k);
      const e = by.get(t.name) || { run: 0, wait: 0, slices: 0 };
      e.run += (t.ns - (b0?.ns || 0)) / 1e9;
      e.wait += (t.wait - (b0?.wait || 0)) / 1e9;
      e.slices += t.slices - (b0?.slices || 0);
      by.set(t.name, e);
    }
    return [...by].sort((a, b) => b[1].run - a[1].run).slice(0, 8).filter(([, e]) => e.run >= 0.05)
      .map(([k, e]) => `${k} ${e.run.toFixed(2)} (waited ${e.wait.toFixed(2)}, ${e.slices} runs)`).join(', ');
  };
  const cpu0 = cpuSplit();
  const r0 = await rendererTime();
  if (PROFILE) await startProfile({ send: d.cdp });
  if (TRACE_DRAIN) await d.startTracing(TRACE_DRAIN, ['toplevel', 'devtools.timeline', 'disabled-by-default-devtools.timeline', 'blink', 'loading', 'v8', 'net', 'mojom', 'navigation']);
  await d.open('bench');
  await d.waitFor(() => window.__bench?.last > 0, undefined, 600000);
  if (TRACE_DRAIN) await d.stopTracing();
  const cpu1 = cpuSplit();
  const renderer = (await rendererTime()) - r0;
  if (PROFILE) await profileReport({ send: d.cdp }, PROFILE);
  const cpu = { renderer, browser: cpu1.browser - cpu0.browser, morvane: cpu1.morvane - cpu0.morvane, writer: cpu1.writer - cpu0.writer };
  const bridge = await d.evaluate(inPage.finishRecording);

  // Check what reached xterm.js against what the shell wrote, in the page.
  const check = await d.evaluate(inPage.checkContent, { lines: LINES, body: LINE_BODY });
  const flow = await d.evaluate(inPage.flowReport);

  // The peer: the same terminal, the same bytes in the same piece sizes, no bridge; once on
  // a quiet machine, and once while the same shell output runs again in a tab whose
  // reading is off (the native side reads and decodes it, nothing reaches the page), so
  // that both sides share the machine with the same producer.
  const benchTab = (await server.call('get_runtime_state')).tabs[0].id;
  if (PROFILE_DIRECT) await startProfile({ send: d.cdp });
  const direct = await writeDirect(d, benchTab);
  if (PROFILE_DIRECT) await profileReport({ send: d.cdp }, PROFILE_DIRECT);
  const loadSession = await server.call('save_session', source('bench load'));
  const load = await server.call('connect_session', loadSession.id);
  await server.call('toggle_tab_reading', load.tab_id);
  await new Promise((r) => setTimeout(r, 1700));
  const loaded = await writeDirect(d, benchTab);
  await server.call('close_tab', load.tab_id);
  await server.call('close_tab', benchTab);

  const { lines: report, bridgeRate, directRate, loadedRate, dropped } = throughputReport({
    mb: MB, shellBytes: SHELL_BYTES, bridge, check, direct, loaded, writer: writerName(sshd),
  });
  report.splice(4, 0, `  CPU seconds meanwhile: page renderer ${cpu.renderer.toFixed(2)}, browser in all ${cpu.browser.toFixed(2)}, morvane ${cpu.morvane.toFixed(2)}, writer ${cpu.writer.toFixed(2)} (${bridge.seconds.toFixed(2)} s of wall time)`);
  report.splice(5, 0, `  the browser's busiest threads: ${busiest(cpu0.threads, cpu1.threads)}`);
  report.splice(6, 0, `  where the time went: xterm.js busy with the pieces ${flow.busySeconds.toFixed(2)} s, idle waiting for the next piece ${flow.idleSeconds.toFixed(2)} s (per piece: median ${flow.idleP50.toFixed(1)} ms, 90th percentile ${flow.idleP90.toFixed(1)} ms); pieces of ${flow.pieceP10} / ${flow.pieceP50} / ${flow.pieceP90} characters (10th, 50th, 90th percentile)`);
  report[0] += ` (chromium ${bare ? 'driven bare over its DevTools pipe' : 'driven by Playwright, which watches every request'})`;
  return { report, cpu, check, dropped, bridgeRate, directRate, loadedRate };
}

async function main() {
  const server = await startServe();
  const sshd = SOURCE === 'ssh' ? await startSshd(GENERATOR) : null;
  // A session whose tab writes the bench text: the shell runs the generator, or sshd does.
  const source = (name) => ({ ...benchSession(sshd, LINES), name });
  let b = null;
  try {
    if (STREAMS_ONLY) {
      b = await launchBrowser();
      await streaming(b, server, STREAMS);
      return;
    }
    const { report, cpu, check, dropped, bridgeRate, directRate, loadedRate } = await drain(server, sshd, source);
    for (const line of report) console.log(line);

    const serverPid = server.proc.pid;
    // The rest types keys, which Playwright's browser does for us.
    b = await launchBrowser();
    const page = await b.browser.newPage({ viewport: { width: 1280, height: 760 } });
    page.on('pageerror', (e) => console.error('page error:', e.message));
    await page.goto(server.url);
    await page.waitForSelector('html[data-ready="1"]');

    if (KEYS > 0) {
      if (TRACE_KEYS) await b.browser.startTracing(page, { path: TRACE_KEYS, categories: ['toplevel', 'devtools.timeline', 'disabled-by-default-devtools.timeline', 'disabled-by-default-devtools.timeline.frame', 'blink', 'cc', 'input', 'benchmark', 'v8', 'scheduler'] });
      const lat = await keyLatency(page, server, KEYS);
      if (TRACE_KEYS) await b.browser.stopTracing();
      for (const line of latencyReport(`keystroke to echo, ${lat.echo.n} keys into bash in a local shell tab:`, lat.echo, lat.direct)) console.log(line);
      console.log(`  after a keydown, on a blank page, median ms to: ${(await inputProbe(b.browser, 40)).join(', ')}`);
    }

    const intr = await interruptFlood(page, server, 5);
    console.log(`Ctrl+C during a flood (bash, awk printing without end), keydown to the next prompt parsed: ${intr.map((x) => x.toFixed(0)).join(', ')} ms (median ${percentile(intr, 50).toFixed(0)} ms; aim: within 200 ms)`);

    // Idle: quiet tabs, nothing to draw.
    for (let i = 0; i < IDLE_TABS; i++) {
      await server.call('save_session', { name: `quiet ${i}`, protocol: 'conpty', conpty_shell: 'custom', conpty_custom_command: 'exec sleep 3600' });
    }
    // A page of its own, in a renderer that does not still carry the flood's memory.
    await page.close();
    const quiet = await b.browser.newPage({ viewport: { width: 1280, height: 760 } });
    await quiet.goto(server.url);
    await quiet.waitForSelector('html[data-ready="1"]');
    for (const s of (await server.call('get_initial_state')).sessions.filter((x) => x.name.startsWith('quiet'))) {
      await server.call('connect_session', s.id);
    }
    await quiet.waitForFunction((n) => document.querySelectorAll('.tab').length === n, IDLE_TABS);
    await quiet.waitForTimeout(3000);
    // The browser's processes: everything this script started except morvane and its shells.
    const browserPids = () => {
      const mine = new Set(descendants(serverPid));
      return descendants(process.pid).filter((p) => p !== process.pid && !mine.has(p));
    };
    const ticks = () => ({ browser: browserPids().reduce((a, p) => a + cpuTicks(p), 0), server: cpuTicks(serverPid) });
    // Two windows: right after the tabs opened (their cursors still blink for 10 s after
    // the last output), and then at rest.
    // The page's own renderer, as the browser counts it (its other processes, the GPU and
    // network ones, run whatever page is shown).
    let cdp = null;
    const rendererSecs = async () => (cdp ? (await cdp.send('Performance.getMetrics')).metrics.find((x) => x.name === 'ProcessTime')?.value ?? 0 : 0);
    const measure = async () => {
      const before = ticks();
      const r0 = await rendererSecs().catch(() => 0);
      const t0 = Date.now();
      await new Promise((r) => setTimeout(r, IDLE_SECONDS * 1000));
      const secs = (Date.now() - t0) / 1000;
      const after = ticks();
      const r1 = await rendererSecs().catch(() => 0);
      const pct = (d) => Number(((100 * d) / CLK_TCK / secs).toFixed(1));
      return {
        secs, browser: pct(after.browser - before.browser), server: pct(after.server - before.server),
        renderer: Number(((100 * (r1 - r0)) / secs).toFixed(2)),
      };
    };
    cdp = await quiet.context().newCDPSession(quiet);
    await cdp.send('Performance.enable');
    const fresh = await measure();
    const rest = await measure();
    // The same browser showing only an empty page: what it costs whatever it shows.
    cdp = null;
    await quiet.close();
    const blankPage = await b.browser.newPage();
    await blankPage.goto('about:blank');
    await blankPage.waitForTimeout(3000);
    const blank = await measure();
    const show = (m) => `browser ${m.browser}% of one core (the page's renderer ${m.renderer}%), morvane ${m.server}%`;
    console.log(`idle with ${IDLE_TABS} quiet tabs, ${fresh.secs.toFixed(1)} s right after opening: ${show(fresh)}`);
    console.log(`idle with ${IDLE_TABS} quiet tabs, the next ${rest.secs.toFixed(1)} s: ${show(rest)}`);
    console.log(`the same browser with only an empty page, ${blank.secs.toFixed(1)} s: browser ${blank.browser}% of one core; the quiet page adds ${(rest.browser - blank.browser).toFixed(1)} points (aim: browser at most 1%, morvane at most 0.1%)`);

    const streams = STREAMS > 0 ? await streaming(b, server, STREAMS) : null;

    if (JSON_OUT) {
      writeFileSync(JSON_OUT, JSON.stringify({
        streams,
        mb: MB, source: SOURCE, cpu, reached: check.reached, expected: check.expectedChars, dropped, gaps: check.gaps, content_ok: check.ok,
        page_mb_s: bridgeRate, direct_mb_s: directRate, direct_loaded_mb_s: loadedRate,
        ratio_quiet: bridgeRate / directRate, ratio_same_load: bridgeRate / loadedRate,
        key_echo_parsed_ms: lat.echo.parsed, key_echo_drawn_ms: lat.echo.drawn, key_echo_rendered_ms: lat.echo.rendered,
        key_page_alone_parsed_ms: lat.direct.parsed, key_page_alone_drawn_ms: lat.direct.drawn,
        ctrl_c_ms: intr,
        idle_browser_pct: fresh.browser, idle_morvane_pct: fresh.server, rest_browser_pct: rest.browser, rest_morvane_pct: rest.server,
        rest_renderer_pct: rest.renderer, blank_browser_pct: blank.browser,
      }, null, 2));
    }
    if (!check.ok) process.exitCode = 1;
  } finally {
    await b?.close();
    await server.stop();
    await sshd?.stop();
  }
}

await main();
