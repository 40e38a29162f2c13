// The page in a real browser against `morvane --serve`, as a user works with it: make a
// local-shell session in the editor, connect, type, resize, search, switch the language,
// close the tab. Screenshots of the main views go to $MORVANE_SHOTS.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

import { launchBrowser, screenText, screenshotDir, startServe, waitForScreen } from './harness.mjs';

const shots = screenshotDir();
let server;
let browser;
let page;

async function shot(name) {
  await page.waitForTimeout(150);
  await page.screenshot({ path: join(shots, `${name}.png`) });
}

// A loopback port nothing listens on (it was free a moment ago).
async function closedPort() {
  const srv = createServer();
  await new Promise((resolve, reject) => srv.listen(0, '127.0.0.1', resolve).on('error', reject));
  const { port } = srv.address();
  await new Promise((resolve) => srv.close(resolve));
  return port;
}

async function visibleSize() {
  const pane = page.locator('.term-pane:not([hidden])');
  return { rows: Number(await pane.getAttribute('data-rows')), cols: Number(await pane.getAttribute('data-cols')) };
}

describe('the page in a browser', () => {
  before(async () => {
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
    const code = await server?.stop();
    assert.equal(code, 0, `morvane --serve did not quit cleanly:\n${server?.output()}`);
  });

  test('a local-shell session is made in the editor and saved', async () => {
    await shot('01-first-start');
    await page.getByRole('button', { name: 'New session' }).first().click();
    await page.locator('#fld-name').fill('Local shell');
    await page.locator('#fld-protocol').selectOption('conpty');
    // Every key the local shell reads is on the form, the defaults as placeholders.
    for (const id of ['#fld-host', '#fld-conpty_shell', '#fld-conpty_cwd', '#fld-line_code_page', '#fld-lfhascr', '#fld-crhaslf'])
      assert.equal(await page.locator(id).count(), 1, id);
    assert.equal(await page.locator('#fld-conpty_shell').getAttribute('placeholder'), 'cmd');
    assert.equal(await page.locator('#fld-line_code_page').getAttribute('placeholder'), 'utf-8');
    await page.locator('#fld-conpty_shell').fill('custom');
    await page.locator('#fld-conpty_shell').dispatchEvent('change');
    await page.locator('#fld-conpty_custom_command').fill("env PS1='mv$ ' /bin/sh");
    await shot('02-session-editor');
    await page.getByRole('button', { name: 'Save', exact: true }).click();
    await page.locator('.session .name', { hasText: 'Local shell' }).waitFor();

    const saved = JSON.parse(readFileSync(join(server.dataDir, 'sessions.json'), 'utf8')).sessions;
    assert.equal(saved.length, 1);
    assert.equal(saved[0].protocol, 'conpty');
    assert.equal(saved[0].conpty_shell, 'custom');
    assert.equal(saved[0].conpty_custom_command, "env PS1='mv$ ' /bin/sh");
    // Defaults left alone are not written.
    assert.equal('lfhascr' in saved[0], false);
    assert.equal('line_code_page' in saved[0], false);
  });

  test('the editor shows each protocol its own keys, tables included', async () => {
    await page.getByRole('button', { name: 'New session' }).first().click();
    await page.locator('#fld-protocol').selectOption('ssh');
    assert.equal(await page.locator('#fld-port').getAttribute('placeholder'), '22');
    assert.equal(await page.locator('#fld-keepalive_sec').getAttribute('placeholder'), '30');
    assert.equal(await page.locator('#fld-terminal_type').getAttribute('placeholder'), 'xterm-256color');
    // Native dialogs do not exist in a browser: the key file is a plain path field.
    assert.equal(await page.getByRole('button', { name: 'Browse…' }).count(), 0);
    await page.getByRole('button', { name: 'Add rule' }).click();
    await page.locator('.form-section .row select').first().selectOption('R');
    await page.locator('.form-section .row input.mono').first().fill('9000:127.0.0.1:22');
    await page.locator('details.form-section summary', { hasText: 'Algorithms' }).click();
    await shot('03-editor-ssh');
    await page.locator('#fld-protocol').selectOption('telnet');
    assert.equal(await page.locator('#fld-port').getAttribute('placeholder'), '23');
    assert.equal(await page.locator('#fld-term_speed').getAttribute('placeholder'), '38400,38400');
    assert.equal(await page.locator('#fld-rfc_environ').isChecked(), true);
    await page.locator('#fld-protocol').selectOption('serial');
    assert.equal(await page.locator('#fld-port').getAttribute('placeholder'), '9600');
    await page.keyboard.press('Escape');
    assert.equal(await page.locator('.modal').count(), 0);
    assert.equal((await server.call('get_initial_state')).sessions.length, 1, 'a cancelled editor saves nothing');
  });

  test('double-click connects, and typed commands run in the shell', async () => {
    await page.locator('.session', { hasText: 'Local shell' }).dblclick();
    await page.locator('.tab[data-state="connected"]').waitFor();
    await waitForScreen(page, /^mv\$$/m);
    await page.locator('.term-pane:not([hidden]) .xterm').click();
    await page.keyboard.type('echo sum=$((6*7))');
    await page.keyboard.press('Enter');
    await waitForScreen(page, /^sum=42$/m);
    await shot('04-terminal');
  });

  test('resizing the browser resizes the shell', async () => {
    const before = await visibleSize();
    await page.keyboard.type('stty size');
    await page.keyboard.press('Enter');
    await waitForScreen(page, new RegExp(`^${before.rows} ${before.cols}$`, 'm'));

    await page.setViewportSize({ width: 980, height: 560 });
    let after = before;
    for (let i = 0; i < 100 && after.cols === before.cols; i++) {
      await page.waitForTimeout(50);
      after = await visibleSize();
    }
    assert.ok(after.cols < before.cols && after.rows < before.rows, `${JSON.stringify(before)} -> ${JSON.stringify(after)}`);
    await page.keyboard.type('clear; stty size');
    await page.keyboard.press('Enter');
    await waitForScreen(page, new RegExp(`^${after.rows} ${after.cols}$`, 'm'));
    await page.setViewportSize({ width: 1280, height: 760 });
  });

  test('search finds text in the scrollback', async () => {
    await page.keyboard.type('seq 1 300');
    await page.keyboard.press('Enter');
    await waitForScreen(page, /^300$/m);
    await page.keyboard.press('Control+Shift+F');
    await page.locator('.searchbar input[type=search]').fill('137');
    await page.locator('.searchbar input[type=search]').press('Enter');
    await page.waitForFunction(() => /^\d+\/\d+$/.test(document.querySelector('.search-count')?.textContent || ''));
    await shot('05-search');
    await page.keyboard.press('Escape');
    assert.equal(await page.locator('.searchbar').isHidden(), true);
  });

  test('a receiver started in the shell opens the transfer panel set up to send', async () => {
    // rz waits for files; the test's timeout ends it after a while and the shell answers again.
    await page.keyboard.type('timeout 4 rz; echo back-$((3+4))');
    await page.keyboard.press('Enter');
    const hint = page.locator('.side-panel .xfer-offer');
    await hint.waitFor({ timeout: 15000 });
    assert.equal(await hint.innerText(), 'The remote side waits for files: choose them, then Start.');
    assert.equal(await page.locator('.side-panel .xfer-dir').inputValue(), 'send');
    assert.equal(await page.locator('.side-panel .xfer-proto').inputValue(), 'zmodem');
    await page.locator('.toolbar [data-panel="xfer"]').click();
    assert.equal(await page.locator('.side-panel').isHidden(), true);
    const text = await waitForScreen(page, /^back-7$/m);
    assert.match(text, /The remote side waits for files \(ZMODEM\)/);
  });

  test('the reading switch drops output until it is turned on again', async () => {
    await page.getByRole('button', { name: 'Pause output' }).click();
    assert.deepEqual(await server.call('get_tab_reading', (await server.call('get_runtime_state')).tabs[0].id), { reading: false });
    await page.locator('.term-pane:not([hidden]) .xterm').click();
    await page.keyboard.type('echo hidden-$((1+1))');
    await page.keyboard.press('Enter');
    await page.waitForTimeout(600);
    await page.getByRole('button', { name: 'Resume output' }).click();
    await page.locator('.term-pane:not([hidden]) .xterm').click();
    await page.keyboard.type('echo shown-$((2+2))');
    await page.keyboard.press('Enter');
    const text = await waitForScreen(page, /^shown-4$/m);
    assert.doesNotMatch(text, /hidden-2/);
  });

  test('a second browser tab shows the same tabs', async () => {
    const other = await page.context().newPage();
    await other.goto(server.url);
    await other.waitForSelector('html[data-ready="1"]');
    await other.locator('.tab', { hasText: 'Local shell' }).waitFor();
    await other.close();
  });

  test('the language switches to Traditional Chinese and back', async () => {
    await page.getByRole('button', { name: 'Settings' }).click();
    await page.locator('#set-language').selectOption('zh-Hant');
    await page.waitForFunction(() => document.querySelector('.filter')?.placeholder === '篩選連線');
    assert.equal(await page.locator('.modal-head h2').innerText(), '設定');
    // The heading's two characters drawn in its own font must differ: a missing CJK font draws
    // both as the same empty box.
    const glyphs = await page.locator('.modal-head h2').evaluate((h) => {
      const font = getComputedStyle(h).font;
      const draw = (ch) => {
        const c = document.createElement('canvas');
        c.width = 64;
        c.height = 64;
        const ctx = c.getContext('2d');
        ctx.font = font.replace(/\d+(\.\d+)?px/, '40px');
        ctx.fillStyle = '#000';
        ctx.fillText(ch, 8, 48);
        const px = ctx.getImageData(0, 0, 64, 64).data;
        let ink = 0;
        for (let i = 3; i < px.length; i += 4) ink += px[i] > 0;
        return { ink, data: c.toDataURL() };
      };
      const [a, b] = [...h.textContent].map(draw);
      return { inkA: a.ink, inkB: b.ink, same: a.data === b.data };
    });
    assert.ok(glyphs.inkA > 0 && glyphs.inkB > 0, 'the heading drew nothing');
    assert.ok(!glyphs.same, 'the CJK heading draws as identical boxes: no CJK font reaches the page');
    assert.equal(JSON.parse(readFileSync(join(server.dataDir, 'settings.json'), 'utf8')).language, 'zh-Hant');
    await shot('06-settings-zh-Hant');
    await page.keyboard.press('Escape');
    assert.match(await page.locator('.toolbar').innerText(), /已連線/);
    await shot('07-terminal-zh-Hant');
    await page.getByRole('button', { name: '設定' }).click();
    await page.locator('#set-language').selectOption('en');
    await page.waitForFunction(() => document.querySelector('.filter')?.placeholder === 'Filter sessions');
    await page.keyboard.press('Escape');
  });

  test('the quick-connect palette opens a session by name', async () => {
    await page.keyboard.press('Control+Shift+T');
    await page.locator('.palette-input').fill('local');
    await shot('08-quick-connect');
    await page.keyboard.press('Enter');
    // The session is open already: its tab comes to the front instead of a second one.
    await page.waitForTimeout(300);
    assert.equal(await page.locator('.tab').count(), 1);
  });

  test('closing the tab ends it on the native side', async () => {
    await page.locator('.tab .tab-close').first().click();
    await page.locator('.tab').first().waitFor({ state: 'detached' });
    assert.deepEqual((await server.call('get_runtime_state')).tabs, []);
    await page.locator('.empty h1').waitFor();
    await shot('09-no-tabs');
  });

  test('reconnect closes and opens the session again', async () => {
    await page.locator('.session', { hasText: 'Local shell' }).click();
    await page.keyboard.press('Enter');
    await page.locator('.tab[data-state="connected"]').waitFor();
    const first = (await server.call('get_runtime_state')).tabs[0].id;
    await page.getByRole('button', { name: 'Reconnect' }).click();
    await page.waitForFunction((id) => {
      const tab = document.querySelector('.tab');
      return tab && tab.dataset.id !== id && tab.dataset.state === 'connected';
    }, first);
    const tabs = (await server.call('get_runtime_state')).tabs;
    assert.equal(tabs.length, 1);
    assert.notEqual(tabs[0].id, first);
    assert.match(await screenText(page), /mv\$/);
  });

  test('a serial tab shows the board, echoes typing and offers the ESP32 reset buttons', async () => {
    // A board stand-in on a PTY: it answers the first five bytes it gets, then echoes.
    const dir = mkdtempSync(join(tmpdir(), 'morvane-e2e-pty-'));
    const link = join(dir, 'ttyBOARD');
    writeFileSync(join(dir, 'board.sh'), "x=$(head -c 5)\nprintf 'board heard %s\\r\\n' \"$x\"\nexec cat\n");
    const board = spawn('socat', [`pty,raw,echo=0,link=${link}`, `EXEC:sh ${join(dir, 'board.sh')}`], { stdio: 'ignore' });
    try {
      for (let i = 0; i < 100 && !existsSync(link); i++) await page.waitForTimeout(50);
      assert.ok(existsSync(link), 'socat made no PTY');
      await server.call('save_session', { name: 'Board', protocol: 'serial', host: link, port: 115200 });
      await page.reload();
      await page.waitForSelector('html[data-ready="1"]');
      await page.locator('.session', { hasText: 'Board' }).dblclick();
      await page.locator('.tab.active[data-state="connected"]', { hasText: 'Board' }).waitFor();
      await page.locator('.term-pane:not([hidden]) .xterm').click();
      await page.keyboard.type('hello');
      await waitForScreen(page, /board heard hello/);
      await page.keyboard.type('-again');
      await waitForScreen(page, /-again/);
      await shot('10-serial-tab');
      // A PTY has no modem lines: the reset runs, fails in the background and says so.
      await page.getByRole('button', { name: 'Reset board' }).click();
      for (let i = 0; i < 100 && !server.output().includes('[esp_reset:hard_reset]'); i++) await page.waitForTimeout(50);
      assert.match(server.output(), /\[esp_reset:hard_reset\]/);
      assert.equal(await page.getByRole('button', { name: 'Bootloader' }).count(), 1);
      // The flash panel: the chip list comes from the native table, the session's last choices
      // pre-fill it, and a refusal shows its translated reason.
      await page.locator('button[data-panel="esp-flash"]').click();
      const panel = page.locator('.side-panel .esp-flash');
      await panel.waitFor();
      await panel.locator('option[value="esp32c3"]').waitFor({ state: 'attached' });
      assert.equal(await panel.locator('select').first().inputValue(), 'auto');
      await panel.getByRole('button', { name: 'Flash', exact: true }).click();
      await page.locator('.toast', { hasText: 'ESP flash requires at least one file' }).waitFor();
      await shot('10-esp-flash-panel');
      await page.locator('button[data-panel="esp-flash"]').click();
      await page.locator('.tab', { hasText: 'Local shell' }).click();
      assert.equal(await page.getByRole('button', { name: 'Reset board' }).count(), 0, 'only serial tabs reset boards');
    } finally {
      board.kill();
      rmSync(dir, { recursive: true, force: true });
    }
  });

  test('the toolbar offers what the tab\'s protocol contributes, and nothing of another protocol', async () => {
    const port = await closedPort();
    await server.call('save_session', { name: 'Nowhere', protocol: 'ssh', host: '127.0.0.1', port, username: 'nobody' });
    await page.reload();
    await page.waitForSelector('html[data-ready="1"]');
    await page.locator('.session', { hasText: 'Nowhere' }).dblclick();
    await page.locator('.tab.active', { hasText: 'Nowhere' }).waitFor();
    assert.equal(await page.locator('.toolbar').isVisible(), true);
    assert.equal(await page.locator('.toolbar [data-op]').count(), 0, 'an SSH tab has no serial tools');
    assert.equal(await page.getByRole('button', { name: 'Reset board' }).count(), 0);
    // The serial tab keeps its tools while its board is gone: they follow the protocol.
    await page.locator('.tab', { hasText: 'Board' }).click();
    assert.deepEqual(await page.locator('.toolbar [data-op]').evaluateAll((els) => els.map((e) => e.dataset.op)),
      ['hard_reset_esp', 'enter_bootloader_esp']);
  });

  test('a contributed side panel opens beside its tab\'s terminal and stays with that tab', async () => {
    await page.evaluate(() => {
      const m = window.__morvane;
      m.contributions.ssh = { buttons: [], panels: [{ id: 'probe', ops: ['get_runtime_state'], label: 'x.running', hint: 'h.reading_on', icon: 'folder' }] };
      m.panelViews.probe = (tab) => {
        const el = document.createElement('p');
        el.className = 'probe-view';
        el.textContent = `panel of ${tab.id}`;
        return el;
      };
    });
    const sshTab = page.locator('.tab', { hasText: 'Nowhere' });
    await sshTab.click();
    const toggle = page.locator('.toolbar [data-panel="probe"]');
    assert.equal(await toggle.getAttribute('aria-pressed'), 'false');
    assert.equal(await page.locator('.side-panel').isHidden(), true);
    const paneWidth = () => page.locator('.term-pane:not([hidden])').evaluate((e) => e.clientWidth);
    const wideWidth = await paneWidth();
    const wide = await visibleSize();
    await toggle.click();
    await page.locator('.side-panel .probe-view').waitFor();
    const tabId = await sshTab.getAttribute('data-id');
    assert.equal(await page.locator('.side-panel .probe-view').innerText(), `panel of ${tabId}`);
    assert.equal(await page.locator('.side-panel .panel-head h2').innerText(), 'Transfer');
    assert.equal(await toggle.getAttribute('aria-pressed'), 'true');
    let narrow = wide;
    for (let i = 0; i < 100 && narrow.cols === wide.cols; i++) {
      await page.waitForTimeout(50);
      narrow = await visibleSize();
    }
    assert.ok(narrow.cols < wide.cols, `the terminal keeps ${wide.cols} columns beside the panel`);
    await shot('11-side-panel');

    // Another protocol's tab has no such panel; coming back finds it open again.
    await page.locator('.tab', { hasText: 'Board' }).click();
    assert.equal(await page.locator('.side-panel').isHidden(), true);
    assert.equal(await page.locator('.toolbar [data-panel="probe"]').count(), 0);
    assert.equal(await page.locator('.toolbar [data-panel="assistant"]').count(), 1);
    assert.equal(await page.locator('.toolbar [data-panel="esp-flash"]').count(), 1);
    await sshTab.click();
    await page.locator('.side-panel .probe-view').waitFor();

    await page.locator('.side-panel .panel-head button').click();
    assert.equal(await page.locator('.side-panel').isHidden(), true);
    assert.equal(await page.locator('.toolbar [data-panel="probe"]').getAttribute('aria-pressed'), 'false');
    assert.equal(await paneWidth(), wideWidth, 'the terminal takes the room back');
    let back = narrow;
    for (let i = 0; i < 100 && back.cols === narrow.cols; i++) {
      await page.waitForTimeout(50);
      back = await visibleSize();
    }
    assert.ok(back.cols > narrow.cols, `the terminal stays at ${narrow.cols} columns`);
  });

  test('many busy hidden tabs each move on within seconds, and none holds the others up', async () => {
    const N = 30;
    // One session per tab: connecting a session that already has a tab only brings it forward.
    const sessions = [];
    for (let i = 0; i < N; i++) {
      sessions.push(await server.call('save_session', {
        name: `Busy ${i}`, protocol: 'conpty', conpty_shell: 'custom',
        conpty_custom_command: `awk 'BEGIN { for (;;) printf "%09d busy busy busy busy busy busy busy busy busy busy busy busy\\n", i++ }'`,
      }));
    }
    await page.evaluate(() => {
      window.__busy = {};
      window.__morvaneTap = (id, text) => {
        window.__busy[id] = (window.__busy[id] || 0) + text.length;
      };
    });
    const ids = [];
    let quietTab;
    try {
      // And one that prints 3,000 lines while hidden, then goes quiet.
      const quiet = await server.call('save_session', {
        name: 'Quiet', protocol: 'conpty', conpty_shell: 'custom',
        conpty_custom_command: "sleep 3; seq -f '%09g quiet' 1 3000; exec sleep 600",
      });
      sessions.push(quiet);
      quietTab = (await server.call('connect_session', quiet.id)).tab_id;
      for (const sess of sessions.slice(0, N)) ids.push((await server.call('connect_session', sess.id)).tab_id);
      assert.equal(new Set(ids).size, N);
      // All of them stay hidden behind the last one opened, which is brought to the front.
      await page.locator(`.tab[data-id="${ids[N - 1]}"]`).click();
      // A hidden terminal draws nothing while its output is parsed (xterm.js would redraw
      // every row after each scroll, measuring every character again in a pane with no size).
      await page.evaluate((hidden) => {
        window.__redrawn = {};
        window.__watch = hidden.map((id) => {
          const rows = document.querySelector(`.term-pane[data-tab="${id}"] .xterm-rows`);
          const mo = new MutationObserver((list) => {
            window.__redrawn[id] = (window.__redrawn[id] || 0) + list.length;
          });
          mo.observe(rows, { childList: true, subtree: true, characterData: true });
          return mo;
        });
      }, ids.slice(0, N - 1));
      const start = await page.evaluate(() => ({ ...window.__busy }));
      await page.waitForTimeout(8000);
      const end = await page.evaluate(() => ({ ...window.__busy }));
      const redrawn = await page.evaluate(() => {
        for (const mo of window.__watch) mo.disconnect();
        return window.__redrawn;
      });
      const stuck = ids.slice(0, N - 1).filter((id) => !((end[id] || 0) > (start[id] || 0)));
      assert.deepEqual(stuck, [], `${stuck.length} of ${N - 1} hidden tabs got nothing in 8 s`);
      assert.deepEqual(redrawn, {}, 'hidden terminals redrew their rows');
      // Shown again, a tab draws its newest lines and its scroll bar stands at the bottom, also
      // when nothing arrives after it shows.
      for (const [id, last] of [[quietTab, /000003000 quiet/], [ids[0], /\d{9} busy/]]) {
        await page.locator(`.tab[data-id="${id}"]`).click();
        await page.waitForFunction(([tab, text]) => {
          const pane = document.querySelector(`.term-pane[data-tab="${tab}"]`);
          const rows = [...pane.querySelectorAll('.xterm-rows > div')].map((r) => r.textContent);
          const slider = pane.querySelector('.scrollbar.vertical .slider');
          const bar = pane.querySelector('.scrollbar.vertical');
          if (!slider || !bar || !rows.some((r) => new RegExp(text).test(r))) return false;
          const bottom = slider.offsetTop + slider.offsetHeight;
          return slider.offsetTop > 0 && Math.abs(bottom - bar.clientHeight) <= 2;
        }, [id, last.source], { timeout: 5000 });
      }
    } finally {
      await page.evaluate(() => {
        window.__morvaneTap = undefined;
      });
      for (const id of [...ids, quietTab]) if (id) await server.call('close_tab', id);
      for (const sess of sessions) await server.call('delete_session', sess.id);
    }
  });

  test('a page that parses slowly loses nothing of a flood larger than the output bound', async () => {
    // 5 MB of numbered lines, more than the 2,000,000 characters a tab may hold: a drop would
    // show as a gap. The page is made slower still by a busy wait on every piece it gets.
    const LINES = 50000;
    const body = 'x'.repeat(90);
    const sess = await server.call('save_session', {
      name: 'Flood', protocol: 'conpty', conpty_shell: 'custom',
      conpty_custom_command: `sleep 0.5; awk 'BEGIN { for (i = 0; i < ${LINES}; i++) printf "%08d ${body}\\n", i; print "FLOOD-END" }'; exec sleep 3600`,
    });
    await page.evaluate(() => {
      window.__flood = new Map();
      window.__morvaneTap = (id, data) => {
        const text = typeof data === 'string' ? data : new TextDecoder().decode(data);
        if (!window.__flood.has(id)) window.__flood.set(id, { pieces: [], tail: '' });
        const f = window.__flood.get(id);
        f.pieces.push(text);
        f.tail = (f.tail + text).slice(-40);
        const until = performance.now() + 20;
        while (performance.now() < until);
      };
    });
    const quiet = await server.call('save_session', { name: 'Beside the flood', protocol: 'conpty', conpty_shell: 'custom', conpty_custom_command: 'exec sleep 3600' });
    let id = null;
    let other = null;
    try {
      // The tab starts hidden (drained in the background) and is brought to the front while
      // the flood runs, so both roads carry part of it, one after the other.
      id = (await server.call('connect_session', sess.id)).tab_id;
      await page.locator(`.tab[data-id="${id}"]`).click();
      // Sent to the back and brought forward again twice mid-flood: each time the requests
      // under way finish before the background drain takes over, and the other way round.
      other = (await server.call('connect_session', quiet.id)).tab_id;
      for (const at of [1000000, 2500000]) {
        await page.waitForFunction(([tab, n]) => (window.__flood.get(tab)?.pieces.reduce((a, p) => a + p.length, 0) || 0) > n, [id, at], { timeout: 120000, polling: 50 });
        await page.locator(`.tab[data-id="${other}"]`).click();
        await page.waitForTimeout(300);
        await page.locator(`.tab[data-id="${id}"]`).click();
      }
      await page.waitForFunction((tab) => window.__flood.get(tab)?.tail.includes('FLOOD-END'), id, { timeout: 120000, polling: 100 });
      const got = await page.evaluate((tab) => window.__flood.get(tab).pieces.join(''), id);
      const start = got.indexOf('00000000 ');
      assert.ok(start >= 0, 'the first line arrived');
      let expected = '';
      for (let i = 0; i < LINES; i++) expected += `${String(i).padStart(8, '0')} ${body}\r\n`;
      expected += 'FLOOD-END';
      const seen = got.slice(start, start + expected.length);
      if (seen !== expected) {
        let at = 0;
        while (at < seen.length && seen[at] === expected[at]) at++;
        assert.fail(`the output differs from character ${at}: ${JSON.stringify(seen.slice(at, at + 60))}`);
      }
    } finally {
      await page.evaluate(() => {
        window.__morvaneTap = undefined;
      });
      if (id) await server.call('close_tab', id);
      if (other) await server.call('close_tab', other);
      await server.call('delete_session', quiet.id);
    }
  });
});
