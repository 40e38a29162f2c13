// Shared by the page tests and the benchmark: a real `morvane --serve` with a temporary data
// directory, and Debian's chromium driven by playwright-core.
import { execFileSync, spawn } from 'node:child_process';
import { chmodSync, existsSync, mkdtempSync, mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createServer, connect } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createRequire } from 'node:module';
import { descendants } from './procs.mjs';

const require = createRequire(import.meta.url);
const { chromium } = require('playwright-core');

export const CHROMIUM = process.env.MORVANE_CHROMIUM || '/usr/bin/chromium';
export const CHROMIUM_FLAGS = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
];

export function morvaneBinary() {
  const bin = process.env.MORVANE_BIN;
  if (!bin) throw new Error('MORVANE_BIN must name the morvane program');
  return bin;
}

// Starts `morvane --serve`; resolves with {url, token, base, dataDir, proc, output(), stop()}.
export async function startServe({ dataDir } = {}) {
  const root = mkdtempSync(join(tmpdir(), 'morvane-e2e-'));
  const data = dataDir || join(root, 'data');
  const proc = spawn(morvaneBinary(), ['--serve', '--data-dir', data], { stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  proc.stdout.on('data', (d) => (out += d));
  proc.stderr.on('data', (d) => (out += d));
  const url = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no address from morvane --serve:\n${out}`)), 30000);
    const check = () => {
      const m = /http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]+/.exec(out);
      if (m) {
        clearTimeout(timer);
        resolve(m[0]);
      }
    };
    proc.stdout.on('data', check);
    proc.on('exit', (code) => reject(new Error(`morvane --serve ended (${code}):\n${out}`)));
  });
  const u = new URL(url);
  const exited = new Promise((r) => proc.on('exit', (code, sig) => r(code ?? sig)));
  return {
    url,
    token: u.searchParams.get('token'),
    base: `${u.protocol}//${u.host}`,
    dataDir: data,
    proc,
    output: () => out,
    async call(op, ...args) {
      const r = await fetch(`${u.protocol}//${u.host}/bridge?token=${u.searchParams.get('token')}`, {
        method: 'POST', body: JSON.stringify({ op, args }), headers: { 'Content-Type': 'application/json' },
      });
      const body = await r.json();
      if (!body.ok) throw new Error(body.error);
      return body.result;
    },
    async stop() {
      proc.kill('SIGTERM');
      const code = await Promise.race([exited, new Promise((r) => setTimeout(() => r('timeout'), 15000))]);
      if (code === 'timeout') proc.kill('SIGKILL');
      rmSync(root, { recursive: true, force: true });
      return code;
    },
  };
}

// playwright gives every launch a fresh, empty --user-data-dir of its own.
export async function launchBrowser() {
  const browser = await chromium.launch({ executablePath: CHROMIUM, args: CHROMIUM_FLAGS });
  return { browser, close: () => browser.close() };
}

export function screenshotDir() {
  const dir = process.env.MORVANE_SHOTS || join(tmpdir(), 'morvane-screenshots');
  mkdirSync(dir, { recursive: true });
  return dir;
}

// The text on the visible terminal's screen.
// The text on the visible terminal's screen, lines without their trailing blanks.
export async function screenText(page) {
  const text = await page.locator('.term-pane:not([hidden]) .xterm-rows').innerText();
  return text.replace(/\u00a0/g, ' ').split('\n').map((l) => l.trimEnd()).join('\n');
}

export async function waitForScreen(page, re, timeout = 15000) {
  const end = Date.now() + timeout;
  let text = '';
  while (Date.now() < end) {
    text = await screenText(page).catch(() => '');
    if (re.test(text)) return text;
    await page.waitForTimeout(50);
  }
  throw new Error(`the terminal never showed ${re}; it shows:\n${text}`);
}

// The emulated ESP32 board (tests/esp/rom_board_main.cpp) on the far end of a socat PTY pair:
// `link` is the port a serial session opens. `send(cmd)` resolves with the board's one-line
// answer; `unplug()` ends socat, which takes the port away from the tab.
export async function startRomBoard({ chip = 'esp32', baud = 0 } = {}) {
  const bin = process.env.MORVANE_ROM_BOARD;
  if (!bin) throw new Error('MORVANE_ROM_BOARD must name the esp_rom_board program');
  const dir = mkdtempSync(join(tmpdir(), 'morvane-e2e-esp-'));
  const link = join(dir, 'ttyESP');
  const far = join(dir, 'ttyBOARD');
  const socat = spawn('socat', [`PTY,link=${link},raw,echo=0`, `PTY,link=${far},raw,echo=0`], { stdio: 'ignore' });
  const socatGone = new Promise((r) => socat.on('exit', r));
  for (let i = 0; i < 200 && !(existsSync(link) && existsSync(far)); i++) await new Promise((r) => setTimeout(r, 25));
  if (!existsSync(far)) throw new Error('socat made no PTY pair');
  const board = spawn(bin, ['--line', far, '--chip', chip, '--baud', String(baud)], { stdio: ['pipe', 'pipe', 'inherit'] });
  let buf = '';
  const waiting = [];
  board.stdout.on('data', (d) => {
    buf += d;
    let nl;
    while ((nl = buf.indexOf('\n')) >= 0) {
      const line = buf.slice(0, nl);
      buf = buf.slice(nl + 1);
      waiting.shift()?.(line);
    }
  });
  const next = (what) => new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`the board did not answer ${what} within 10 s`)), 10000);
    waiting.push((line) => {
      clearTimeout(timer);
      resolve(line);
    });
  });
  const ready = await next('its start');
  if (ready !== 'ready') throw new Error(`the board started with "${ready}"`);
  return {
    link,
    send(cmd) {
      const answer = next(cmd);
      board.stdin.write(`${cmd}\n`);
      return answer;
    },
    async unplug() {
      socat.kill();
      await socatGone;
    },
    async stop() {
      board.stdin.end();
      await Promise.race([new Promise((r) => board.on('exit', r)), new Promise((r) => setTimeout(r, 5000))]);
      board.kill('SIGKILL');
      socat.kill();
      rmSync(dir, { recursive: true, force: true });
    },
  };
}

// A free port on 127.0.0.1 (closed again at once; sshd binds it right after).
function freePort() {
  return new Promise((resolve, reject) => {
    const srv = createServer();
    srv.on('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

function portOpen(port) {
  return new Promise((resolve) => {
    const s = connect(port, '127.0.0.1');
    s.on('connect', () => {
      s.destroy();
      resolve(true);
    });
    s.on('error', () => resolve(false));
  });
}

// OpenSSH's sshd on 127.0.0.1 with keys of its own, as the C++ tests start it (as root: own
// host key and authorized keys, no PAM). Every session runs `command` with /bin/sh. Resolves
// with {port, userKey, pid, stop()}; a session record for it needs only host, port, "root"
// and the key.
export async function startSshd(command) {
  if (!existsSync('/usr/sbin/sshd')) throw new Error('sshd not found (apt package openssh-server)');
  const dir = mkdtempSync(join(tmpdir(), 'morvane-sshd-'));
  const keygen = (file) => execFileSync('ssh-keygen', ['-q', '-t', 'ed25519', '-N', '', '-f', file]);
  keygen(join(dir, 'host_ed25519'));
  keygen(join(dir, 'user_ed25519'));
  writeFileSync(join(dir, 'authorized_keys'), readFileSync(join(dir, 'user_ed25519.pub')));
  writeFileSync(join(dir, 'session.sh'), `#!/bin/sh\n${command}\n`);
  chmodSync(join(dir, 'session.sh'), 0o755);
  mkdirSync('/run/sshd', { recursive: true });
  const port = await freePort();
  writeFileSync(join(dir, 'sshd_config'), [
    'ListenAddress 127.0.0.1', `Port ${port}`, `HostKey ${join(dir, 'host_ed25519')}`, `PidFile ${join(dir, 'sshd.pid')}`,
    `AuthorizedKeysFile ${join(dir, 'authorized_keys')}`, 'UsePAM no', 'StrictModes no', 'PermitRootLogin yes',
    'PasswordAuthentication no', 'KbdInteractiveAuthentication no', 'PrintMotd no', 'PrintLastLog no', 'UseDNS no',
    `ForceCommand ${join(dir, 'session.sh')}`, 'LogLevel ERROR', '',
  ].join('\n'));
  const proc = spawn('/usr/sbin/sshd', ['-D', '-e', '-f', join(dir, 'sshd_config')], { stdio: ['ignore', 'ignore', 'pipe'] });
  let log = '';
  proc.stderr.on('data', (d) => (log += d));
  const exited = new Promise((r) => proc.on('exit', r));
  const end = Date.now() + 10000;
  while (!(await portOpen(port))) {
    if (proc.exitCode !== null || Date.now() > end) {
      proc.kill('SIGKILL');
      throw new Error(`sshd did not start: ${log}`);
    }
    await new Promise((r) => setTimeout(r, 50));
  }
  return {
    port,
    userKey: join(dir, 'user_ed25519'),
    pid: proc.pid,
    async stop() {
      // sshd leaves its sessions running when it ends: they go first, with all they started.
      for (const pid of descendants(proc.pid).reverse()) {
        try {
          process.kill(pid, 'SIGKILL');
        } catch {
          /* gone meanwhile */
        }
      }
      await Promise.race([exited, new Promise((r) => setTimeout(r, 5000))]);
      rmSync(dir, { recursive: true, force: true });
    },
  };
}
