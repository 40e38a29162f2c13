// Shared by the page tests and the benchmark: a real `morvane --serve` with a temporary data
// directory, and Debian's chromium driven by playwright-core.
import { spawn } from 'node:child_process';
import { mkdtempSync, mkdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createRequire } from 'node:module';

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
