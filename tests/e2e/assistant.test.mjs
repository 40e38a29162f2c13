// The assistant panel in a real browser against `morvane --serve`, with the stand-in for the
// Claude Code tool (tests/assistant/fake_claude.sh) as "claude" on the search path: the status,
// a question with the terminal's text, a proposed command that reaches the tab only when its
// button is pressed, a follow-up that resumes, and a cancel while a reply is pending.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { chmodSync, copyFileSync, existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

import { launchBrowser, screenshotDir, screenText, startServe, waitForScreen } from './harness.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const root = mkdtempSync(join(tmpdir(), 'morvane-ai-e2e-'));
const runs = join(root, 'runs');
const bin = join(root, 'bin');
const home = join(root, 'home');
let server;
let browser;
let page;
let tabId;

const mode = (m) => writeFileSync(join(runs, 'mode'), m);
const runCount = () => readdirSync(runs).filter((f) => /^run-\d+\.argv$/.test(f)).length;
const argvOf = (n) => readFileSync(join(runs, `run-${n}.argv`), 'utf8').split('\0').slice(0, -1);
const stdinOf = (n) => readFileSync(join(runs, `run-${n}.stdin`), 'utf8');

describe('the assistant panel', () => {
  before(async () => {
    for (const d of [runs, bin, home]) mkdirSync(d, { recursive: true });
    copyFileSync(join(here, '..', 'assistant', 'fake_claude.sh'), join(bin, 'claude'));
    chmodSync(join(bin, 'claude'), 0o755);
    // The program started below inherits these.
    process.env.PATH = `${bin}:${process.env.PATH}`;
    process.env.HOME = home;
    process.env.FAKE_CLAUDE_DIR = runs;
    server = await startServe();
    const sess = await server.call('save_session', { name: 'Shell', protocol: 'conpty', conpty_shell: 'custom', conpty_custom_command: "env PS1='ai$ ' /bin/sh" });
    tabId = (await server.call('connect_session', sess.id)).tab_id;
    browser = await launchBrowser();
    const ctx = await browser.browser.newContext({ viewport: { width: 1280, height: 760 } });
    page = await ctx.newPage();
    page.on('pageerror', (e) => console.error('page error:', e.message));
    await page.goto(server.url);
    await page.waitForSelector('html[data-ready="1"]');
    await waitForScreen(page, /ai\$/);
  });

  after(async () => {
    await browser?.close();
    const code = await server?.stop();
    rmSync(root, { recursive: true, force: true });
    assert.equal(code, 0, `morvane --serve did not quit cleanly:\n${server?.output()}`);
  });

  test('the panel opens from the toolbar and shows the tool and the sign-in hint', async () => {
    await page.locator('[data-panel="assistant"]').click();
    const panel = page.locator('.side-panel');
    await panel.locator('.ai-state', { hasText: 'Claude Code is installed but not signed in' }).waitFor({ timeout: 10000 });
    assert.equal((await panel.locator('.ai-version').innerText()).trim(), '· 2.1.7 (Claude Code)');
    await panel.locator('.ai-hint', { hasText: 'Not signed in to Claude Code' }).waitFor();
    assert.equal(await panel.locator('select.ai-model').inputValue(), 'claude-opus-4-7');
    assert.equal(await panel.locator('.ai-effort input').isChecked(), true);
  });

  test('a question goes with the terminal text; the proposed command waits for its button', async () => {
    await page.locator('.term-pane:not([hidden]) .xterm-helper-textarea').focus();
    await page.keyboard.type('echo marker-$((5*5))\n');
    await waitForScreen(page, /marker-25/);
    mode('propose');
    await page.locator('.ai-input').fill('what did I just run?');
    await page.locator('.ai-input').press('Enter');
    const reply = page.locator('.ai-msg.assistant').last();
    await reply.waitFor({ timeout: 15000 });
    assert.match(await reply.locator('.ai-text').innerText(), /Try this:/);
    await page.screenshot({ path: join(screenshotDir(), 'assistant-reply.png') });
    const prompt = stdinOf(1);
    assert.ok(prompt.startsWith('what did I just run?\n\n----- 當前 target 分頁設定（conpty · Shell） -----\n'), prompt);
    assert.match(prompt, /----- 當前終端機輸出（[^\n]*-----\n[\s\S]*marker-25/);
    // Nothing was typed yet.
    await page.waitForTimeout(500);
    assert.doesNotMatch(await screenText(page), /injected-42/);
    assert.equal(await reply.locator('.ai-proposal code').innerText(), 'echo injected-$((6*7))');
    await reply.locator('button[data-action="run"]').click();
    await waitForScreen(page, /injected-42/);
  });

  test('a follow-up resumes the conversation', async () => {
    mode('json');
    await page.locator('.ai-input').fill('and now?');
    await page.locator('.ai-input').press('Enter');
    await page.locator('.ai-msg.assistant', { hasText: 'answer 2 to: and now?' }).waitFor({ timeout: 15000 });
    assert.deepEqual(argvOf(2).slice(-2), ['--resume', 'sess-1']);
  });

  test('cancel ends a pending reply at once', async () => {
    mode('hang');
    await page.locator('.ai-input').fill('take your time');
    await page.locator('.ai-input').press('Enter');
    const cancel = page.locator('.ai-reset[data-mode="cancel"]');
    await cancel.waitFor();
    const deadline = Date.now() + 15000;
    while (!existsSync(join(runs, 'child.pid')) && Date.now() < deadline) await page.waitForTimeout(50);
    const t0 = Date.now();
    await cancel.click();
    await page.locator('.ai-msg.note', { hasText: 'The reply was cancelled.' }).waitFor({ timeout: 5000 }).catch(async (e) => {
      throw new Error(`${e.message}\npanel: ${await page.locator('.ai-log').innerText()}\nruns: ${readdirSync(runs)}\n${server.output().slice(-3000)}`);
    });
    assert.ok(Date.now() - t0 < 5000);
    await page.locator('.ai-reset[data-mode="new"]').waitFor();
    assert.equal(runCount(), 3);
  });
});
