// The flash panel in a real browser against `morvane --serve`, with a serial tab on a socat PTY
// pair whose far end is the emulated ESP32 board (esp_rom_board): images are added by path,
// one offset edited, written and verified; the board's flash is checked by MD5 from the board
// itself; the console works before and after; every refusal shows its reason in English and
// in Traditional Chinese.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { createHash, randomBytes } from 'node:crypto';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

import { launchBrowser, screenshotDir, startRomBoard, startServe, waitForScreen } from './harness.mjs';

const shots = screenshotDir();
const LANGS = {
  en: {
    unknownChip: 'Unknown chip esp8266',
    badOffset: 'Invalid offset for app.bin: 0x1G',
    busy: 'Another file transfer is in progress',
    notSerial: 'ESP flash requires an active serial tab',
    done: 'Flashing finished and verified',
    ended: 'File transfer ended',
  },
  'zh-Hant': {
    unknownChip: '未知晶片 esp8266',
    badOffset: 'app.bin 的偏移不合法:0x1G',
    busy: '已經有檔案傳輸正在進行',
    notSerial: 'ESP 燒錄需要連線中的序列埠分頁',
    done: '燒錄完成並已驗證',
    ended: '檔案傳輸結束',
  },
};

// Firmware-like bytes: repeated words with stretches of noise, so compression has work to do.
function firmware(size, seed) {
  const b = Buffer.alloc(size);
  const noise = randomBytes(size);
  let x = seed;
  for (let i = 0; i < size;) {
    x = (x * 1103515245 + 12345) >>> 0;
    const run = Math.min(size - i, 16 + (x % 400));
    const noisy = x % 3 === 0;
    for (let k = 0; k < run; k++) b[i + k] = noisy ? noise[i + k] : (x >> 8) + (k % 4);
    i += run;
  }
  return b;
}
const md5 = (b) => createHash('md5').update(b).digest('hex');

let server;
let browser;
let page;
let board;
let dir;
let sessionId;

async function shot(name) {
  await page.waitForTimeout(150);
  await page.screenshot({ path: join(shots, `${name}.png`) });
}

// The page in `lang`, the board's tab in front with its flash panel open.
async function openPanel(lang) {
  await server.call('set_language', lang);
  await page.reload();
  await page.waitForSelector('html[data-ready="1"]');
  await page.locator('.tab', { hasText: 'ESP board' }).click();
  await page.locator('button[data-panel="esp-flash"]').click();
  const panel = page.locator('.side-panel .esp-flash');
  await panel.waitFor();
  // The chip list has come (the interface list has its options from the start).
  await panel.locator('select').first().locator('option').nth(1).waitFor({ state: 'attached' });
  return panel;
}

async function addImage(panel, path) {
  const rows = await panel.locator('.esp-files tbody tr .esp-offset').count();
  await panel.locator('.esp-path').fill(path);
  await panel.locator('.esp-add button').click();
  await panel.locator('.esp-files tbody tr .esp-offset').nth(rows).waitFor();
}

async function flashButton(panel, lang) {
  await panel.locator('.row button.primary').click();
  return LANGS[lang];
}

async function toastShows(text) {
  try {
    await page.locator('.toast', { hasText: text }).first().waitFor({ timeout: 10000 });
  } catch (e) {
    const shown = await page.locator('.toast').allInnerTexts();
    const outcome = await page.locator('.esp-outcome').allInnerTexts();
    throw new Error(`no toast "${text}"; toasts: ${JSON.stringify(shown)}; outcome: ${JSON.stringify(outcome)}`);
  }
}

describe('flashing an ESP32 from its serial tab in the browser', () => {
  before(async () => {
    dir = mkdtempSync(join(tmpdir(), 'morvane-e2e-images-'));
    try {
      board = await startRomBoard({ chip: 'esp32c3' });
    } catch (e) {
      if (process.env.CI) throw e;
      board = null;
      return;
    }
    server = await startServe();
    // The session remembers a chip this version does not know (an older or newer release's
    // choice): the panel pre-fills it, and flashing refuses it.
    sessionId = (await server.call('save_session', {
      name: 'ESP board', protocol: 'serial', host: board.link, port: 115200, esp_chip: 'esp8266', esp_interface: 'uart',
    })).id;
    browser = await launchBrowser();
    const ctx = await browser.browser.newContext({ viewport: { width: 1280, height: 760 } });
    page = await ctx.newPage();
    page.on('pageerror', (e) => console.error('page error:', e.message));
    await page.goto(server.url);
    await page.waitForSelector('html[data-ready="1"]');
    await page.locator('.session', { hasText: 'ESP board' }).dblclick();
    await page.locator('.tab.active[data-state="connected"]', { hasText: 'ESP board' }).waitFor();
  });

  after(async () => {
    await browser?.close();
    const code = await server?.stop();
    await board?.stop();
    rmSync(dir, { recursive: true, force: true });
    if (server) assert.equal(code, 0, `morvane --serve did not quit cleanly:\n${server.output()}`);
  });

  test('the console reaches the board and back', async (t) => {
    if (!board) return t.skip('no emulated board');
    await page.locator('.term-pane:not([hidden]) .xterm').click();
    await page.keyboard.type('ping-1');
    await waitForScreen(page, /ping-1/);
    assert.equal(await board.send('say app says hello'), 'ok');
    await waitForScreen(page, /app says hello/);
  });

  test('refusals before anything is written show their reason in each language', async (t) => {
    if (!board) return t.skip('no emulated board');
    const app = join(dir, 'app.bin');
    writeFileSync(app, firmware(64 * 1024, 1));
    for (const lang of ['zh-Hant', 'en']) {
      const panel = await openPanel(lang);
      // The remembered chip is not in the list; the draft keeps it and the native side refuses.
      assert.equal(await panel.locator('select').first().inputValue(), '');
      await toastShows((await flashButton(panel, lang)).unknownChip);
      await panel.locator('select').first().selectOption('esp32c3');
      await addImage(panel, app);
      assert.equal(await panel.locator('.esp-offset').first().inputValue(), '0x10000');
      await panel.locator('.esp-offset').first().fill('0x1G');
      await toastShows((await flashButton(panel, lang)).badOffset);
      await shot(`20-esp-refused-${lang}`);
    }
  });

  test('images are written and verified, the progress shows per image, and the console resumes', async (t) => {
    if (!board) return t.skip('no emulated board');
    const appImage = firmware(300 * 1024 + 7, 2);
    const table = firmware(3072, 3);
    writeFileSync(join(dir, 'app.bin'), appImage);
    writeFileSync(join(dir, 'partition-table.bin'), table);
    const panel = await openPanel('en');
    await panel.locator('select').first().selectOption('esp32c3');
    await panel.locator('select').nth(1).selectOption('uart');
    await addImage(panel, join(dir, 'app.bin'));
    await addImage(panel, join(dir, 'partition-table.bin'));
    const rows = panel.locator('.esp-files tbody tr');
    assert.equal(await rows.count(), 2);
    assert.equal(await rows.nth(0).locator('.esp-name').innerText(), 'app.bin');
    assert.equal(await rows.nth(0).locator('.esp-size').innerText(), '300.0 KB');
    assert.equal(await rows.nth(1).locator('.esp-size').innerText(), '3.0 KB');
    assert.equal(await rows.nth(1).locator('.esp-offset').inputValue(), '0x8000');
    // The application goes to a second slot: the offset is typed over the guess.
    await rows.nth(0).locator('.esp-offset').fill('0x20000');
    // A typed path that names nothing is not added.
    await panel.locator('.esp-path').fill(join(dir, 'missing.bin'));
    await panel.locator('.esp-add button').click();
    await toastShows('No such file');
    assert.equal(await rows.count(), 2);

    // A slow board, so the run is still going when Flash is pressed again.
    assert.equal(await board.send('pause 150'), 'ok');
    assert.equal(await board.send('boot'), 'ok');
    await flashButton(panel, 'en');
    await panel.locator('.esp-bar').first().waitFor();
    await flashButton(panel, 'en');
    await toastShows(LANGS.en.busy);
    // Once an image is being written (the board answered its syncs, which wait only 100 ms), a
    // second before each answer, well within the loader's three seconds: the run is still
    // writing when the page has reloaded in the other language, even on a loaded machine.
    await panel.locator('.esp-bar', { hasText: '.bin' }).first().waitFor({ timeout: 60000 });
    assert.equal(await board.send('pause 1000'), 'ok');
    // The same refusal in the other language, while the same run goes on.
    const zh = await openPanel('zh-Hant');
    await flashButton(zh, 'zh-Hant');
    await toastShows(LANGS['zh-Hant'].busy);
    // The reloaded page shows an image's progress while the board is still slow (once it is fast
    // again, the rest of the run can end between two looks of the panel).
    await zh.locator('.esp-bar', { hasText: '.bin' }).first().waitFor({ timeout: 60000 });
    assert.equal(await board.send('pause 0'), 'ok');
    await zh.locator('.esp-outcome', { hasText: LANGS['zh-Hant'].done }).waitFor({ timeout: 90000 });
    await waitForScreen(page, new RegExp(LANGS['zh-Hant'].ended), 10000);
    // One bar per image that reported since the reload, each full.
    const bars = await zh.locator('.esp-bar').evaluateAll((els) => els
      .map((e) => [e.querySelector('.esp-file').textContent, e.querySelector('progress').value])
      .filter(([name]) => name.endsWith('.bin')));
    assert.ok(bars.length >= 1 && bars.every(([, v]) => v === 100), `progress bars ended at ${JSON.stringify(bars)}`);
    await shot('21-esp-flashed-zh-Hant');

    // The board's own MD5 of its flash: the images are where the table said.
    assert.equal(await board.send(`md5 0x20000 ${appImage.length}`), md5(appImage));
    assert.equal(await board.send(`md5 0x8000 ${table.length}`), md5(table));
    assert.notEqual(await board.send(`md5 0x10000 ${appImage.length}`), md5(appImage));

    // The console is the tab's again: what the board prints shows, and after its reset button
    // (a PTY cannot drive EN) typing reaches the program and echoes.
    assert.equal(await board.send('say console is back'), 'ok');
    await waitForScreen(page, /console is back/);
    assert.equal(await board.send('reset'), 'ok');
    await page.locator('.term-pane:not([hidden]) .xterm').click();
    await page.keyboard.type('typed-after-flash');
    await waitForScreen(page, /typed-after-flash/);
  });

  test('erasing asks first, and a lost port is refused in each language', async (t) => {
    if (!board) return t.skip('no emulated board');
    let panel = await openPanel('en');
    // Declining the confirmation sends nothing.
    await panel.locator('.row button.danger').click();
    const ask = page.locator('.modal', { hasText: 'Erase the whole flash' });
    await ask.waitFor();
    await ask.getByRole('button', { name: 'Cancel' }).click();
    await ask.waitFor({ state: 'detached' });
    assert.equal(await page.locator('.esp-outcome').count(), 0);

    await board.unplug();
    await page.locator('.tab:not([data-state="connected"])', { hasText: 'ESP board' }).waitFor({ timeout: 15000 });
    for (const lang of ['en', 'zh-Hant']) {
      panel = await openPanel(lang);
      await toastShows((await flashButton(panel, lang)).notSerial);
    }
    await server.call('set_language', 'en');
  });
});
