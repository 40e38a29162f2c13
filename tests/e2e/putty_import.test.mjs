// The PuTTY import dialog and the licence view in a real browser against `morvane --serve`:
// PuTTY's stored sessions are listed with a checkbox each, only the chosen ones are imported.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

import { launchBrowser, screenshotDir, startServe } from './harness.mjs';

const shots = screenshotDir();
let server;
let browser;
let page;
const store = mkdtempSync(join(tmpdir(), 'morvane-putty-'));

describe('taking over PuTTY sessions in the page', () => {
  before(async () => {
    mkdirSync(join(store, 'sessions'));
    writeFileSync(join(store, 'sessions', 'Default%20Settings'), 'Protocol=ssh\nPortNumber=22\n');
    writeFileSync(join(store, 'sessions', 'lab%20router'), 'HostName=10.1.1.1\nProtocol=telnet\nPortNumber=2323\n');
    writeFileSync(join(store, 'sessions', 'web'), 'HostName=web.lan\nUserName=ops\nPortNumber=2222\nCompression=1\n');
    process.env.PUTTYDIR = store;
    server = await startServe();
    const b = await launchBrowser();
    browser = b;
    const ctx = await b.browser.newContext({ viewport: { width: 1280, height: 760 } });
    page = await ctx.newPage();
    page.on('pageerror', (e) => console.error('page error:', e.message));
    await page.goto(server.url);
    await page.waitForSelector('html[data-ready="1"]');
  });

  after(async () => {
    await browser?.close();
    await server?.stop();
    rmSync(store, { recursive: true, force: true });
  });

  test('the dialog lists every session and imports only the checked ones', async () => {
    await page.getByRole('button', { name: 'Import from PuTTY…' }).first().click();
    const dialog = page.locator('.import-modal');
    await dialog.waitFor();
    assert.deepEqual(await dialog.locator('.import-list .name').allTextContents(), ['Default Settings', 'lab router', 'web']);
    // PuTTY's defaults start unchecked, the others checked.
    assert.deepEqual(await dialog.locator('.import-list input').evaluateAll((els) => els.map((e) => e.checked)), [false, true, true]);
    await dialog.getByText('lab router').click();  // uncheck it
    await page.waitForTimeout(100);
    if (shots) await page.screenshot({ path: join(shots, 'putty-import.png') });
    await dialog.getByRole('button', { name: 'Import 1' }).click();
    await dialog.waitFor({ state: 'detached' });
    await page.locator('.session-list .session .name', { hasText: 'web' }).waitFor();
    const saved = JSON.parse(readFileSync(join(server.dataDir, 'sessions.json'), 'utf8')).sessions;
    assert.equal(saved.length, 1);
    assert.equal(saved[0].name, 'web');
    assert.equal(saved[0].host, 'web.lan');
    assert.equal(saved[0].port, 2222);
    assert.equal(saved[0].username, 'ops');
    assert.equal(saved[0].compression, true);
  });

  test('the licence view lists the components with their texts', async () => {
    const items = (await server.call('get_third_party_licenses')).items;
    await page.locator('button[aria-label="Settings"], button[title="Settings"]').first().click();
    await page.getByRole('button', { name: 'Open-source licences' }).click();
    const view = page.locator('.license-modal');
    await view.waitFor();
    if (!items.length) {
      await view.getByText('No licence notices are installed.').waitFor();
      return;
    }
    assert.equal(await view.locator('.license-list li').count(), items.length);
    assert.equal((await view.locator('.license-text').textContent()), items[0].body);
    if (shots) await page.screenshot({ path: join(shots, 'licenses.png') });
  });
});
