// Debian's chromium driven over its DevTools pipe with nothing but what a measurement needs.
// Playwright enables the Network domain in every page and worker it attaches to: each of the
// page's requests is then reported to it event by event and each answer's body kept by the
// browser's DevTools side, work a user's browser does not do and the direct peer (no requests)
// never pays. A page opened here has only Runtime and Performance enabled.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { CHROMIUM, CHROMIUM_FLAGS } from '../../tests/e2e/harness.mjs';

export async function launchBare({ width = 1280, height = 760 } = {}) {
  const profile = mkdtempSync(join(tmpdir(), 'morvane-bare-'));
  // The pipe: chromium reads commands from descriptor 3 and writes answers to 4, each a JSON
  // text ended by a NUL.
  const proc = spawn(CHROMIUM, [...CHROMIUM_FLAGS, '--remote-debugging-pipe', `--user-data-dir=${profile}`,
    `--window-size=${width},${height}`, 'about:blank'], { stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe'] });
  let stderr = '';
  proc.stderr.on('data', (d) => (stderr = (stderr + d).slice(-4000)));
  const exited = new Promise((r) => proc.on('exit', r));
  const toBrowser = proc.stdio[3];
  const fromBrowser = proc.stdio[4];
  let nextId = 1;
  const waiting = new Map();
  const listeners = new Set();
  let buf = Buffer.alloc(0);
  fromBrowser.on('data', (d) => {
    buf = Buffer.concat([buf, d]);
    for (let end = buf.indexOf(0); end >= 0; end = buf.indexOf(0)) {
      const msg = JSON.parse(buf.subarray(0, end).toString('utf8'));
      buf = buf.subarray(end + 1);
      if (msg.id !== undefined) {
        const w = waiting.get(msg.id);
        waiting.delete(msg.id);
        if (msg.error) w?.reject(new Error(`${w.method}: ${msg.error.message}`));
        else w?.resolve(msg.result);
      } else {
        for (const l of listeners) l(msg);
      }
    }
  });
  proc.on('exit', () => {
    for (const w of waiting.values()) w.reject(new Error(`chromium ended: ${stderr}`));
    waiting.clear();
  });
  const send = (method, params = {}, sessionId = undefined) => new Promise((resolve, reject) => {
    const id = nextId++;
    waiting.set(id, { resolve, reject, method });
    toBrowser.write(`${JSON.stringify({ id, method, params, ...(sessionId ? { sessionId } : {}) })}\0`);
  });
  await Promise.race([send('Browser.getVersion'), new Promise((_, reject) => setTimeout(() => reject(new Error(`no answer from chromium: ${stderr}`)), 30000))]);

  return {
    proc,
    // A new page at `url`; its evaluate(fn, arg) runs a stand-alone function in it (awaiting
    // what it returns), waitFor(fn, arg, timeoutMs) until that is truthy, cdp(method, params)
    // talks to it directly.
    async newPage(url) {
      const { targetId } = await send('Target.createTarget', { url: 'about:blank' });
      const { sessionId } = await send('Target.attachToTarget', { targetId, flatten: true });
      const cdp = (method, params) => send(method, params, sessionId);
      await cdp('Page.enable');
      const loaded = new Promise((resolve) => {
        const on = (m) => {
          if (m.sessionId === sessionId && m.method === 'Page.loadEventFired') {
            listeners.delete(on);
            resolve();
          }
        };
        listeners.add(on);
      });
      await cdp('Page.navigate', { url });
      await loaded;
      await cdp('Page.disable');
      const evaluate = async (fn, arg) => {
        const r = await cdp('Runtime.evaluate', {
          expression: `(${fn.toString()})(${arg === undefined ? '' : JSON.stringify(arg)})`,
          awaitPromise: true, returnByValue: true,
        });
        if (r.exceptionDetails) throw new Error(`in the page: ${r.exceptionDetails.exception?.description || r.exceptionDetails.text}`);
        return r.result.value;
      };
      const waitFor = async (fn, arg, timeoutMs, pollMs = 100) => {
        const end = Date.now() + timeoutMs;
        for (;;) {
          const v = await evaluate(fn, arg);
          if (v) return v;
          if (Date.now() > end) throw new Error(`timed out after ${timeoutMs} ms waiting for ${fn.toString().slice(0, 120)}`);
          await new Promise((r) => setTimeout(r, pollMs));
        }
      };
      return { evaluate, waitFor, cdp, close: () => send('Target.closeTarget', { targetId }) };
    },
    async close() {
      send('Browser.close').catch(() => {});
      const done = await Promise.race([exited.then(() => true), new Promise((r) => setTimeout(() => r(false), 10000))]);
      if (!done) proc.kill('SIGKILL');
      rmSync(profile, { recursive: true, force: true });
    },
  };
}
