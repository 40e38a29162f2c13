// The page benchmark in the desktop window (WebKitGTK) under Xvfb. No browser driver reaches
// WebKitGTK, so the in-page part runs as a script the window itself is given
// (MORVANE_PAGE_SCRIPT) and reports on its console, which the window then writes out. Three runs of
// `morvane --desktop`, each on a fresh data directory:
//   1. throughput: a local shell writes MB megabytes; what reached xterm.js, checked piece by
//      piece, beside xterm.js writing the same pieces directly in the same page (quiet, and
//      while the same output is produced in a tab whose reading is off);
//   2. keys: typed through XTest into bash in a local shell tab, from keydown to the echo
//      parsed and drawn, beside the page writing the same keys itself;
//   3. idle: 20 quiet tabs; the CPU of WebKit's processes and of morvane's own, over 10 s right
//      after opening and the next 10 s.
//
//   MORVANE_BIN=build/plain/morvane node bench/page/webkit_bench.mjs [--mb 50] [--source shell|ssh] [--keys 300] [--json FILE]
//   (--mb 0 or --keys 0 leaves that run out)
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { createInterface } from 'node:readline';

import { benchSession, CLK_TCK, cliOption, cpuTicks, descendants, generator, LINE_BODY, latencyReport, latencyStats, linesFor, procName, sourceOption, TEXT_START, threadTicks, throughputReport, WARM_UP, writerName } from './common.mjs';
import * as inPage from './in_page.mjs';
import { startSshd } from '../../tests/e2e/harness.mjs';

const opt = cliOption;
const MB = Number(opt('--mb', '50'));
const JSON_OUT = opt('--json', '');
const IDLE_TABS = Number(opt('--idle-tabs', '20'));
const IDLE_SECONDS = Number(opt('--idle-seconds', '10'));
const KEYS = Number(opt('--keys', '300'));
// Where the text comes from: a local shell tab, or an SSH tab to OpenSSH's sshd on loopback.
const SOURCE = sourceOption();
const HERE = dirname(fileURLToPath(import.meta.url));
const BIN = resolve(process.env.MORVANE_BIN || 'build/plain/morvane');
const LINES = linesFor(MB);
const SHELL_BYTES = LINES * 100;
const RESULT = 'MORVANE-BENCH-RESULT ';
const NOTE = 'MORVANE-BENCH-NOTE ';

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Runs in the page: the throughput part, as page_bench.mjs drives it in chromium, with the
// bridge called the way the page calls it.
async function throughputDriver(o, lib) {
  const note = (s) => console.log(o.NOTE + s);
  const call = (op, ...a) => window.webkit.messageHandlers.morvane.postMessage({ op, args: a });
  const pause = (ms) => new Promise((r) => setTimeout(r, ms));
  const until = async (fn, ms, what) => {
    const end = Date.now() + ms;
    while (!fn()) {
      if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
      await pause(100);
    }
  };
  const session = (name, command) => call('save_session', { name, protocol: 'conpty', conpty_shell: 'custom', conpty_custom_command: command });
  // Opens a tab and shows it, as a click on its tab would.
  const openShown = async (id) => {
    const { tab_id: tab } = await call('connect_session', id);
    await until(() => document.querySelector(`.tab[data-id="${tab}"]`), 15000, 'the new tab');
    document.querySelector(`.tab[data-id="${tab}"]`).click();
    await until(() => window.__morvane.active()?.id === tab, 5000, 'the tab shown');
    return tab;
  };
  const endsWith = (marker) => {
    const tab = window.__morvane.active();
    if (!tab) return false;
    const buf = tab.term.buffer.active;
    for (let y = Math.max(0, buf.length - 60); y < buf.length; y++) {
      if (buf.getLine(y)?.translateToString(true).includes(marker)) return true;
    }
    return false;
  };
  try {
    await until(() => document.documentElement.dataset.ready === '1' && window.__morvane, 60000, 'the page');
    note(`page ready; ${navigator.userAgent}`);
    const bench = await call('save_session', { ...o.source, name: 'bench' });
    const warm = await session('warm-up', o.warmup);
    // Warm-up: the same road once, so both measurements meet compiled code.
    const warmTab = await openShown(warm.id);
    await until(() => endsWith('END-OF-WARM-UP'), 120000, 'the warm-up output');
    // The bridge's round trip for a call that does nothing (get_tab_reading), on a quiet page
    // and while xterm.js parses and draws (the direct writing below).
    const roundTrips = async (tabId, stop) => {
      const ms = [];
      while (!stop() && ms.length < 200) {
        const t0 = performance.now();
        await call('get_tab_reading', tabId);
        ms.push(performance.now() - t0);
        await pause(20);
      }
      ms.sort((a, b) => a - b);
      return { n: ms.length, p50: ms[Math.floor(ms.length / 2)] || 0, p90: ms[Math.floor(ms.length * 0.9)] || 0 };
    };
    let quietRtt = null;
    {
      const end = performance.now() + 1000;
      quietRtt = await roundTrips(warmTab, () => performance.now() > end);
    }
    await call('close_tab', warmTab);
    await until(() => window.__morvane.tabs().length === 0, 10000, 'the warm-up tab to close');
    note('warm-up done');

    note('recording');
    lib.installRecorder(o.start);
    lib.installFlowMeter();
    const benchTab = await openShown(bench.id);
    await until(() => window.__bench.last > 0, o.deadlineMs, 'the end of the output');
    const bridge = await lib.finishRecording();
    note(`drained: ${bridge.chars} characters in ${bridge.seconds.toFixed(2)} s`);
    const check = lib.checkContent({ lines: o.lines, body: o.body });
    let writing = true;
    const busyRttP = roundTrips(benchTab, () => !writing);
    const direct = await lib.writeDirect({ lines: o.lines, body: o.body, tabId: benchTab });
    writing = false;
    const busyRtt = await busyRttP;
    const load = await call('save_session', { ...o.source, name: 'bench load' });
    const { tab_id: loadTab } = await call('connect_session', load.id);
    await call('toggle_tab_reading', loadTab);
    await pause(1700);
    const loaded = await lib.writeDirect({ lines: o.lines, body: o.body, tabId: benchTab });
    await call('close_tab', loadTab);
    const timing = { ...lib.flowReport(), quietRtt, busyRtt };
    console.log(o.RESULT + JSON.stringify({ bridge, check, direct, loaded, timing }));
  } catch (e) {
    console.log(o.RESULT + JSON.stringify({ error: String(e?.stack || e) }));
  }
}

// Runs in the page: keys typed through XTest into bash in a local shell tab (the runner types
// them when told), then the same keys written by the keydown handler itself with the tab's
// reading off (the page alone). Answers both series of [parsed, drawn] milliseconds.
async function keyDriver(o, lib) {
  const note = (s) => console.log(o.NOTE + s);
  const call = (op, ...a) => window.webkit.messageHandlers.morvane.postMessage({ op, args: a });
  const pause = (ms) => new Promise((r) => setTimeout(r, ms));
  const until = async (fn, ms, what) => {
    const end = Date.now() + ms;
    while (!fn()) {
      if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
      await pause(50);
    }
  };
  try {
    await until(() => document.documentElement.dataset.ready === '1' && window.__morvane, 60000, 'the page');
    const s = await call('save_session', { name: 'typing', protocol: 'conpty', conpty_shell: 'custom', conpty_custom_command: "PS1='$ ' exec bash --norc --noprofile" });
    const { tab_id: tab } = await call('connect_session', s.id);
    await until(() => document.querySelector(`.tab[data-id="${tab}"]`), 15000, 'the new tab');
    document.querySelector(`.tab[data-id="${tab}"]`).click();
    await until(() => {
      const t = window.__morvane.active();
      const b = t?.term.buffer.active;
      return t?.id === tab && b.getLine(b.cursorY + b.baseY)?.translateToString(true).startsWith('$');
    }, 30000, 'the prompt');
    window.__morvane.active().term.focus();
    lib.installKeyLatency();
    const series = async (direct, label) => {
      window.__lat.direct = direct;
      window.__lat.samples = [];
      note(label);
      let seen = 0;
      let quietSince = Date.now();
      while (window.__lat.samples.length < o.keys && Date.now() - quietSince < 10000) {
        if (window.__lat.samples.length !== seen) {
          seen = window.__lat.samples.length;
          quietSince = Date.now();
        }
        await pause(100);
      }
      return window.__lat.samples.slice();
    };
    const echo = await series(false, 'type keys');
    await call('toggle_tab_reading', tab);
    const alone = await series(true, 'type keys again');
    console.log(o.RESULT + JSON.stringify({ echo, alone }));
  } catch (e) {
    console.log(o.RESULT + JSON.stringify({ error: String(e?.stack || e) }));
  }
}

// Runs in the page: opens the quiet tabs, then says so.
async function idleDriver(o) {
  const call = (op, ...a) => window.webkit.messageHandlers.morvane.postMessage({ op, args: a });
  const pause = (ms) => new Promise((r) => setTimeout(r, ms));
  try {
    while (!(document.documentElement.dataset.ready === '1' && window.__morvane)) await pause(100);
    for (let i = 0; i < o.tabs; i++) {
      const s = await call('save_session', { name: `quiet ${i}`, protocol: 'conpty', conpty_shell: 'custom', conpty_custom_command: 'exec sleep 3600' });
      await call('connect_session', s.id);
    }
    const end = Date.now() + 30000;
    while (document.querySelectorAll('.tab').length !== o.tabs) {
      if (Date.now() > end) throw new Error('the quiet tabs did not all appear');
      await pause(100);
    }
    await pause(3000);
    console.log(o.RESULT + JSON.stringify({ tabs: document.querySelectorAll('.tab').length }));
  } catch (e) {
    console.log(o.RESULT + JSON.stringify({ error: String(e?.stack || e) }));
  }
}

function scriptFor(driver, o) {
  const lib = Object.entries(inPage).map(([name, fn]) => `${JSON.stringify(name)}: ${fn.toString()}`).join(',\n');
  return `(${driver.toString()})(${JSON.stringify(o)}, {\n${lib}\n});\n`;
}

// An X server of its own on a free display (it picks the number and tells it on fd 3).
async function startXvfb() {
  const x = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1280x800x24', '-nolisten', 'tcp'], {
    stdio: ['ignore', 'ignore', 'ignore', 'pipe'],
  });
  const display = await new Promise((resolveDisplay, reject) => {
    let got = '';
    const timer = setTimeout(() => reject(new Error('Xvfb did not start within 10 s')), 10000);
    x.stdio[3].on('data', (d) => {
      got += d;
      if (got.includes('\n')) {
        clearTimeout(timer);
        resolveDisplay(`:${got.trim()}`);
      }
    });
    x.on('exit', (code) => reject(new Error(`Xvfb ended (${code})`)));
    x.on('error', reject);
  });
  return { proc: x, display };
}

// SIGTERM, then SIGKILL after a grace period.
async function stop(proc, graceMs = 5000) {
  if (proc.exitCode !== null || proc.signalCode !== null) return;
  const gone = new Promise((r) => proc.once('exit', r));
  proc.kill('SIGTERM');
  if (await Promise.race([gone.then(() => true), sleep(graceMs).then(() => false)])) return;
  proc.kill('SIGKILL');
  await gone;
}

// Starts the desktop window with a page script; resolves the script's result once it arrives.
async function runWindow(display, source, deadlineMs, onResult, onNote) {
  const work = mkdtempSync(join(tmpdir(), 'morvane-webkit-bench-'));
  const scriptFile = join(work, 'page-script.js');
  writeFileSync(scriptFile, source);
  const proc = spawn(BIN, ['--desktop', '--data-dir', join(work, 'data')], {
    env: { ...process.env, DISPLAY: display, NO_AT_BRIDGE: '1', MORVANE_PAGE_SCRIPT: scriptFile },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const stderr = [];
  let result;
  try {
    result = await new Promise((resolveResult, reject) => {
      const timer = setTimeout(() => reject(new Error(`no result within ${deadlineMs / 1000} s`)), deadlineMs);
      // The web process writes the console to its standard error (which is morvane's), as
      // "user-script:1:LINE:COLUMN: CONSOLE LOG text"; standard output is read too.
      const onLine = (line) => {
        stderr.push(line);
        if (stderr.length > 200) stderr.shift();
        const n = line.indexOf(NOTE);
        if (n >= 0) {
          console.error(`  [page] ${line.slice(n + NOTE.length)}`);
          onNote?.(proc, line.slice(n + NOTE.length));
        }
        const r = line.indexOf(RESULT);
        if (r < 0) return;
        clearTimeout(timer);
        try {
          resolveResult(JSON.parse(line.slice(r + RESULT.length)));
        } catch (e) {
          reject(new Error(`unreadable result line: ${line.slice(0, 300)}`));
        }
      };
      createInterface({ input: proc.stderr }).on('line', onLine);
      createInterface({ input: proc.stdout }).on('line', onLine);
      proc.on('exit', (code, sig) => reject(new Error(`morvane ended early (${code ?? sig})`)));
    });
    if (result.error) throw new Error(`in the page: ${result.error}`);
    if (onResult) await onResult(proc, result);
    return result;
  } catch (e) {
    console.error(stderr.slice(-30).join('\n'));
    throw e;
  } finally {
    await stop(proc);
    rmSync(work, { recursive: true, force: true });
  }
}

// CPU of the window's processes over one window of time: WebKit's own processes (the page's
// engine: web process, network process), the morvane process split by thread, the shells,
// and the X server that WebKit draws through.
function sampler(morvanePid, xPid) {
  const snap = () => {
    const engine = new Map();
    let shells = 0;
    for (const p of descendants(morvanePid)) {
      if (p === morvanePid) continue;
      const name = procName(p);
      if (name.startsWith('WebKit') || name === 'bwrap' || name === 'xdg-dbus-proxy') engine.set(name, (engine.get(name) || 0) + cpuTicks(p));
      else shells += cpuTicks(p);
    }
    const threads = new Map(threadTicks(morvanePid).map((t) => [t.tid, t]));
    return { engine, shells, threads, proc: cpuTicks(morvanePid), x: cpuTicks(xPid), t: Date.now() };
  };
  const diff = (a, b) => {
    const secs = (b.t - a.t) / 1000;
    const pct = (d) => Number(((100 * d) / CLK_TCK / secs).toFixed(2));
    const sub = (m1, m0) => Object.fromEntries([...m1].map(([k, v]) => [k, pct(v - (m0.get(k) || 0))]));
    const engine = sub(b.engine, a.engine);
    // The morvane process's threads to the nanosecond, by name, each counted from its own start
    // or the window's.
    const byName = new Map();
    let liveNs = 0;
    let liveTicks = 0;
    for (const [tid, t] of b.threads) {
      const before = a.threads.get(tid);
      const ns = t.ns - (before?.ns || 0);
      liveNs += ns;
      liveTicks += t.ticks - (before?.ticks || 0);
      const key = tid === morvanePid ? 'main thread' : t.name;
      byName.set(key, (byName.get(key) || 0) + ns);
    }
    const pctNs = (ns) => Number(((100 * ns) / 1e9 / secs).toFixed(3));
    const threads = Object.fromEntries([...byName].filter(([, ns]) => ns > 0).sort((x, y) => y[1] - x[1]).map(([k, ns]) => [k, pctNs(ns)]));
    // Threads that ended within the window (one per bridge call) are known only in ticks.
    const endedTicks = Math.max(0, b.proc - a.proc - liveTicks);
    if (endedTicks > 0) threads['ended threads (in ticks)'] = pct(endedTicks);
    return {
      secs, engine, threads, shells: pct(b.shells - a.shells), x: pct(b.x - a.x),
      engineTotal: Number(Object.values(engine).reduce((s, v) => s + v, 0).toFixed(2)),
      morvaneTotal: Number((pctNs(liveNs) + pct(endedTicks)).toFixed(3)),
    };
  };
  return { snap, diff };
}

async function main() {
  const x = await startXvfb();
  console.error(`Xvfb on ${x.display}`);
  const out = {};
  const sshd = SOURCE === 'ssh' && MB > 0 ? await startSshd(generator(LINES)) : null;
  try {
    // --mb 0 leaves the throughput run out (for the keys or idle figures alone).
    if (MB > 0) {
      const deadlineMs = 240000 + MB * 6000;
      // The CPU of each side while the page drains the output.
      let drainStart = null;
      let drainCpu = null;
      const onNote = (proc, text) => {
        if (text.startsWith('recording')) drainStart = { s: sampler(proc.pid, x.proc.pid) };
        if (text.startsWith('drained') && drainStart) drainCpu = drainStart.s.diff(drainStart.a, drainStart.s.snap());
        if (drainStart && !drainStart.a) drainStart.a = drainStart.s.snap();
      };
      const t = await runWindow(x.display, scriptFor(throughputDriver, {
        NOTE, RESULT, lines: LINES, body: LINE_BODY, deadlineMs, start: TEXT_START, source: benchSession(sshd, LINES),
        warmup: WARM_UP,
      }), deadlineMs + 60000, null, onNote);
      const rep = throughputReport({ mb: MB, shellBytes: SHELL_BYTES, ...t, writer: writerName(sshd) });
      console.log(`desktop window (WebKitGTK), ${new Date().toISOString().slice(0, 10)}`);
      for (const line of rep.lines) console.log(line);
      const tm = t.timing;
      if (drainCpu) {
        const c = drainCpu;
        const thr = Object.entries(c.threads).filter(([, v]) => v >= 1).map(([k, v]) => `${k} ${v.toFixed(0)}%`).join(', ');
        console.log(`  CPU while draining (${c.secs.toFixed(1)} s, % of one core): WebKit processes ${c.engineTotal.toFixed(0)}% (${Object.entries(c.engine).map(([k, v]) => `${k} ${v.toFixed(0)}%`).join(', ')}); morvane ${c.morvaneTotal.toFixed(0)}% (${thr}); shell ${c.shells.toFixed(0)}%; X server ${c.x.toFixed(0)}%`);
      }
      console.log(`  a call that does nothing, page to native and back: quiet page p50 ${tm.quietRtt.p50.toFixed(1)} ms, p90 ${tm.quietRtt.p90.toFixed(1)} ms (${tm.quietRtt.n} calls); while xterm.js parses and draws p50 ${tm.busyRtt.p50.toFixed(1)} ms, p90 ${tm.busyRtt.p90.toFixed(1)} ms (${tm.busyRtt.n} calls)`);
      console.log(`  where the time went: xterm.js busy with the pieces ${tm.busySeconds.toFixed(2)} s, idle waiting for the next piece ${tm.idleSeconds.toFixed(2)} s (per piece: median ${tm.idleP50.toFixed(1)} ms, 90th percentile ${tm.idleP90.toFixed(1)} ms)`);
      Object.assign(out, {
        mb: MB, reached: t.check.reached, expected: t.check.expectedChars, dropped: rep.dropped, gaps: t.check.gaps,
        content_ok: t.check.ok, pieces: t.bridge.pieces, page_mb_s: rep.bridgeRate, direct_mb_s: rep.directRate,
        direct_loaded_mb_s: rep.loadedRate, ratio_quiet: rep.bridgeRate / rep.directRate, ratio_same_load: rep.bridgeRate / rep.loadedRate,
      });
      if (!t.check.ok) process.exitCode = 1;
    }

    if (KEYS > 0) {
      const typist = (proc, text) => {
        if (!text.startsWith('type keys')) return;
        spawn('python3', [join(HERE, 'xtest_keys.py'), String(KEYS), '60'], {
          env: { ...process.env, DISPLAY: x.display }, stdio: 'ignore',
        });
      };
      const k = await runWindow(x.display, scriptFor(keyDriver, { NOTE, RESULT, keys: KEYS }), 180000 + KEYS * 400, null, typist);
      const echo = latencyStats(k.echo);
      const alone = latencyStats(k.alone);
      for (const line of latencyReport(`keystroke to echo, ${echo.n} keys typed through XTest into bash in a local shell tab:`, echo, alone)) console.log(line);
      out.keys = { echo, alone };
    }

    await runWindow(x.display, scriptFor(idleDriver, { RESULT, tabs: IDLE_TABS }), 120000, async (proc) => {
      const s = sampler(proc.pid, x.proc.pid);
      const windows = [];
      for (let i = 0; i < 2; i++) {
        const a = s.snap();
        await sleep(IDLE_SECONDS * 1000);
        windows.push(s.diff(a, s.snap()));
      }
      const show = (w) => {
        const eng = Object.entries(w.engine).map(([k, v]) => `${k} ${v}%`).join(', ');
        const thr = Object.entries(w.threads).filter(([, v]) => v > 0).map(([k, v]) => `${k} ${v}%`).join(', ') || 'all threads 0%';
        return `WebKit processes ${w.engineTotal}% of one core (${eng}); morvane process ${w.morvaneTotal}% (${thr}); shells ${w.shells}%; X server ${w.x}%`;
      };
      console.log(`idle with ${IDLE_TABS} quiet tabs, ${windows[0].secs.toFixed(1)} s right after opening: ${show(windows[0])}`);
      console.log(`idle with ${IDLE_TABS} quiet tabs, the next ${windows[1].secs.toFixed(1)} s: ${show(windows[1])}`);
      console.log('  (aim: browser at most 1%, native at most 0.1%; the morvane process also runs WebKit\'s UI side and GTK on its main thread)');
      out.idle = windows;
    });
  } finally {
    await stop(x.proc);
    await sshd?.stop();
  }
  if (JSON_OUT) writeFileSync(JSON_OUT, JSON.stringify(out, null, 2));
}

await main();
