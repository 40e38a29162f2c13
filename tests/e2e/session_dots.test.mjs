// The session list's on-line dot in a real browser against `morvane --serve`: a session whose
// peer listens shows "online", turns "offline" when the peer goes away and "online" again when
// it comes back on the same port. The test checks the peer with a TCP connect and hands the
// result to the program's status queue, as the launcher does.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { connect, createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

import { launchBrowser, startServe } from './harness.mjs';

const data = mkdtempSync(join(tmpdir(), 'morvane-dots-'));
let server;
let browser;
let page;
let peer;
let port = 0;

async function listen(onPort) {
  const srv = createServer((sock) => sock.destroy());
  await new Promise((resolve, reject) => srv.listen(onPort, '127.0.0.1', resolve).on('error', reject));
  return srv;
}

// True when 127.0.0.1:port accepts a connection within a second.
function reachable() {
  return new Promise((resolve) => {
    const s = connect({ host: '127.0.0.1', port });
    const done = (v) => { s.destroy(); resolve(v); };
    s.setTimeout(1000, () => done(false));
    s.on('connect', () => done(true));
    s.on('error', () => done(false));
  });
}

async function feedAndSee(want) {
  const online = await reachable();
  const r = await fetch(`${server.base}/queue?token=${server.token}`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ queue: 'get_receipt', item: { type: 'ping_results', results: [{ id: 'peer', online }] } }),
  });
  assert.equal(r.status, 200);
  const dot = page.locator('.session[data-id="peer"] .dot');
  await dot.and(page.locator(`.${want}`)).waitFor({ timeout: 15000 }).catch(async () => {
    assert.fail(`the dot shows "${await dot.getAttribute('class')}", not ${want}`);
  });
}

describe('the on-line dot in the session list', () => {
  before(async () => {
    peer = await listen(0);
    port = peer.address().port;
    mkdirSync(join(data, 'data'));
    writeFileSync(join(data, 'data', 'sessions.json'), JSON.stringify({
      sessions: [{ id: 'peer', name: 'Peer', protocol: 'raw', host: '127.0.0.1', port }],
    }));
    server = await startServe({ dataDir: join(data, 'data') });
    browser = await launchBrowser();
    page = await (await browser.browser.newContext({ viewport: { width: 1280, height: 760 } })).newPage();
    page.on('pageerror', (e) => console.error('page error:', e.message));
    await page.goto(server.url);
    await page.waitForSelector('html[data-ready="1"]');
  });

  after(async () => {
    await browser?.close();
    await server?.stop();
    peer?.close();
    rmSync(data, { recursive: true, force: true });
  });

  test('follows a peer that goes away and comes back', async () => {
    await page.locator('.session[data-id="peer"] .dot.unknown').waitFor({ timeout: 15000 });
    await feedAndSee('online');
    await new Promise((resolve) => peer.close(resolve));
    await feedAndSee('offline');
    peer = await listen(port);
    await feedAndSee('online');
  });
});
