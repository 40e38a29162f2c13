// What both page benchmarks (headless chromium, the desktop window) share on the node side:
// the shell's text, reading /proc, and the throughput report.
import { readdirSync, readFileSync } from 'node:fs';

export { descendants } from '../../tests/e2e/procs.mjs';

// 100-byte lines (99 characters and a line feed), numbered; the PTY turns "\n" into "\r\n".
export const LINE_BODY = ' abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789 the quick brown fox jumps over';
export const linesFor = (mb) => Math.floor((mb * 1e6) / 100);
// The shell makes the text itself, line by line, as a busy program would.
export const generator = (lines) =>
  `sleep 1.5; awk 'BEGIN { for (i = 0; i < ${lines}; i++) printf "%08d${LINE_BODY}\\n", i; print "END-OF-BENCH" }'; exec sleep 3600`;

// The text's first characters: the recorder's clock starts with the piece that holds them.
export const TEXT_START = `00000000${LINE_BODY}`.slice(0, 20);
// The warm-up tab's command: 5 MB through the same road, then an end marker.
export const WARM_UP = `awk 'BEGIN { for (i = 0; i < 50000; i++) printf "%08d${LINE_BODY}\\n", i; print "END-OF-WARM-UP" }'; exec sleep 3600`;

// Where the bench text comes from (--source): a local shell running the generator, or an SSH
// tab to an sshd (tests/e2e/harness.mjs startSshd) whose forced command is the generator.
export function sourceOption() {
  const source = cliOption('--source', 'shell');
  if (!['shell', 'ssh'].includes(source)) throw new Error('--source is shell or ssh');
  return source;
}
// The fields of a session whose tab writes the text, and what the report calls the writer.
export function benchSession(sshd, lines) {
  return sshd
    ? { protocol: 'ssh', host: '127.0.0.1', port: sshd.port, username: 'root', private_key: sshd.userKey }
    : { protocol: 'conpty', conpty_shell: 'custom', conpty_custom_command: generator(lines) };
}
export const writerName = (sshd) => (sshd ? 'an SSH tab (sshd on loopback)' : 'the shell');

export const CLK_TCK = 100;

// `--name VALUE` from the command line, or `def`.
export function cliOption(name, def) {
  const args = process.argv.slice(2);
  const i = args.indexOf(name);
  return i >= 0 ? args[i + 1] : def;
}

function statFields(path) {
  const f = readFileSync(path, 'utf8');
  return { comm: f.slice(f.indexOf('(') + 1, f.lastIndexOf(')')), rest: f.slice(f.lastIndexOf(')') + 2).split(' ') };
}

// utime + stime of a process (or of one thread: /proc/PID/task/TID), in ticks; with `reaped`,
// also the time of its children that ended and were waited for (awk's, once its shell reaped it).
export function cpuTicks(pid, path = `/proc/${pid}/stat`, { reaped = false } = {}) {
  try {
    const { rest } = statFields(path);
    return Number(rest[11]) + Number(rest[12]) + (reaped ? Number(rest[13]) + Number(rest[14]) : 0);
  } catch {
    return 0;
  }
}

// A process's name as /proc shows it ("" once gone).
export function procName(pid) {
  try {
    return statFields(`/proc/${pid}/stat`).comm;
  } catch {
    return '';
  }
}

// The threads of a process: tid, name, ticks, and ns: the time on a processor to the
// nanosecond (schedstat), where ticks of 10 ms cannot tell 0.05% from 0.15% of a core; wait:
// the time it was ready to run but waited for a processor, in ns.
export function threadTicks(pid) {
  const out = [];
  let tids = [];
  try {
    tids = readdirSync(`/proc/${pid}/task`);
  } catch {
    return out;
  }
  for (const tid of tids) {
    try {
      const { comm, rest } = statFields(`/proc/${pid}/task/${tid}/stat`);
      const [ns, wait, slices] = readFileSync(`/proc/${pid}/task/${tid}/schedstat`, 'utf8').split(' ').map(Number);
      out.push({ tid: Number(tid), name: comm, ticks: Number(rest[11]) + Number(rest[12]), ns, wait, slices });
    } catch {
      /* gone meanwhile */
    }
  }
  return out;
}

// The drain-and-render report: what reached xterm.js, the content check, what the bound
// dropped, xterm.js writing the same pieces directly (quiet, and under the same load), the ratios.
export function throughputReport({ mb, shellBytes, bridge, check, direct, loaded, writer = 'the shell' }) {
  const bridgeRate = bridge.chars / 1e6 / bridge.seconds;
  const directRate = direct.chars / 1e6 / direct.seconds;
  const loadedRate = loaded.chars / 1e6 / loaded.seconds;
  const dropped = check.expectedChars - check.reached;
  const lines = [
    `page drain and render: ${mb} MB written by ${writer} (${shellBytes} bytes, ${check.expectedChars} characters after the PTY's CR LF)`,
    `  reached xterm.js : ${check.reached} characters in ${bridge.pieces} drains, ${bridge.seconds.toFixed(2)} s -> ${bridgeRate.toFixed(1)} MB/s`,
    `  content check    : ${check.ok ? 'every piece matches the shell output' : `MISMATCH at piece ${check.bad?.piece}, character ${check.bad?.at}: ${JSON.stringify(check.bad?.got)} where ${JSON.stringify(check.bad?.want)} was due`} (${check.gaps} gaps, FNV-1a ${check.hash})${check.before ? `; ${check.before} characters the login printed before it` : ''}`,
    `  dropped by bound : ${dropped} characters (${((100 * dropped) / check.expectedChars).toFixed(1)}%) while the page fell behind`,
    `  xterm.js direct  : ${direct.chars} characters in ${direct.seconds.toFixed(2)} s -> ${directRate.toFixed(1)} MB/s`,
    `  xterm.js direct while the same output is produced again (reading off): ${loadedRate.toFixed(1)} MB/s`,
    `  ratio page/direct, quiet peer : ${(bridgeRate / directRate).toFixed(2)}`,
    `  ratio page/direct, same load  : ${(bridgeRate / loadedRate).toFixed(2)}  (aim: at least 0.9)`,
  ];
  return { lines, bridgeRate, directRate, loadedRate, dropped };
}

// The p-th percentile of xs (the value at that rank; undefined when xs is empty).
export const percentile = (xs, p) => {
  const s = [...xs].sort((a, b) => a - b);
  return s[Math.min(s.length - 1, Math.floor((p / 100) * s.length))];
};

// Key latency samples ([callback parsed, frame after it, parsed, rendered], ms from keydown):
// p50 and p99 of each.
export function latencyStats(samples) {
  const col = (i) => {
    const xs = samples.map((x) => x[i]).filter((x) => Number.isFinite(x));
    return { p50: percentile(xs, 50), p99: percentile(xs, 99) };
  };
  return { n: samples.length, parsed: col(0), drawn: col(1), seen: col(2), rendered: col(3) };
}

// The typing lines of both benchmarks: the echo, the page alone, the aim.
export function latencyReport(heading, echo, alone) {
  const ms = (v) => v.toFixed(1);
  const both = (s) => `parsed p50 ${ms(s.seen.p50)} / p99 ${ms(s.seen.p99)} ms, rendered in a frame p50 ${ms(s.rendered.p50)} / p99 ${ms(s.rendered.p99)} ms; `
    + `seen from outside xterm.js (write callback, frame after it): p50 ${ms(s.parsed.p50)} / p99 ${ms(s.parsed.p99)} ms, p50 ${ms(s.drawn.p50)} / p99 ${ms(s.drawn.p99)} ms`;
  return [
    heading,
    `  echo            : ${both(echo)}`,
    `  page alone (${alone.n} keys written by the keydown handler): ${both(alone)}`,
    `  echo rendered p99 ${ms(echo.rendered.p99)} ms, ${ms(echo.rendered.p99 - alone.rendered.p99)} ms more than the page alone  (aim: echo drawn within one frame, p99 <= 16 ms)`,
  ];
}
