// The page's bridge over WebView2's message channel. No WebView2 runs here: the channel is a
// stand-in with WebView2's two members the page uses (postMessage, a 'message' event whose
// data is the parsed JSON the native side posted).
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';

import { webviewChannel } from '../../ui/src/webview_channel.js';

function fakeWebview() {
  const listeners = [];
  return {
    sent: [],
    failNext: null,
    addEventListener(type, fn) {
      if (type === 'message') listeners.push(fn);
    },
    postMessage(msg) {
      if (this.failNext) {
        const e = this.failNext;
        this.failNext = null;
        throw e;
      }
      // WebView2 passes a structured copy, never the page's own object.
      this.sent.push(structuredClone(msg));
    },
    answer(data) {
      for (const fn of listeners) fn({ data });
    },
  };
}

describe('calls over the WebView2 channel', () => {
  test('answers arriving out of order reach their own calls', async () => {
    const wv = fakeWebview();
    const ch = webviewChannel(wv);
    const a = ch.call('get_runtime_state', []);
    const b = ch.call('drain_terminal', ['1a2b']);
    assert.deepEqual(wv.sent.map((m) => m.op), ['get_runtime_state', 'drain_terminal']);
    assert.deepEqual(wv.sent[1].args, ['1a2b']);
    assert.notEqual(wv.sent[0].id, wv.sent[1].id);
    wv.answer({ id: wv.sent[1].id, ok: true, result: 'text\u00e9\r\n' });
    wv.answer({ id: wv.sent[0].id, ok: true, result: { tabs: [], n: 0 } });
    assert.equal(await b, 'text\u00e9\r\n');
    assert.deepEqual(await a, { tabs: [], n: 0 });
    assert.equal(ch.waiting, 0);
  });

  test('an error answer rejects with the host error type and its message', async () => {
    const wv = fakeWebview();
    class HostError extends Error {}
    const ch = webviewChannel(wv, (msg) => new HostError(msg));
    const p = ch.call('connect', [{}]);
    wv.answer({ id: wv.sent[0].id, ok: false, error: 'unknown operation: connect' });
    await assert.rejects(p, (e) => e instanceof HostError && e.message === 'unknown operation: connect');
    // A falsy result is still a result, not an error.
    const q = ch.call('exists', []);
    wv.answer({ id: wv.sent[1].id, ok: true, result: false });
    assert.equal(await q, false);
  });

  test('stray, malformed and repeated answers are ignored', async () => {
    const wv = fakeWebview();
    const ch = webviewChannel(wv);
    const p = ch.call('ping', []);
    const id = wv.sent[0].id;
    for (const junk of [null, 'text', 42, [], {}, { id: 'x', ok: true }, { id: id + 1, ok: true, result: 'wrong' },
                        { id: 1.5, ok: true }]) {
      wv.answer(junk);
    }
    assert.equal(ch.waiting, 1);
    wv.answer({ id, ok: true, result: 'right' });
    wv.answer({ id, ok: true, result: 'again' });
    assert.equal(await p, 'right');
    assert.equal(ch.waiting, 0);
  });

  test('a refused postMessage fails that call only', async () => {
    const wv = fakeWebview();
    const ch = webviewChannel(wv);
    wv.failNext = new Error('DataCloneError');
    await assert.rejects(ch.call('send', [() => 0]), /DataCloneError/);
    assert.equal(ch.waiting, 0);
    const ok = ch.call('send', ['x']);
    wv.answer({ id: wv.sent[0].id, ok: true, result: null });
    assert.equal(await ok, null);
  });
});

describe('the transport inside a WebView2 window', () => {
  test('it is the desktop host and its calls travel over the channel', async () => {
    const wv = fakeWebview();
    globalThis.window = { chrome: { webview: wv }, __MORVANE__: { ops: ['ping'] } };
    globalThis.location = { search: '', protocol: 'https:' };
    const transport = await import('../../ui/src/transport.js');
    assert.equal(transport.hostKind, 'desktop');
    const p = transport.call('ping', 1, 'two');
    assert.deepEqual(wv.sent.map(({ op, args }) => ({ op, args })), [{ op: 'ping', args: [1, 'two'] }]);
    wv.answer({ id: wv.sent[0].id, ok: false, error: 'gone' });
    await assert.rejects(p, (e) => e instanceof transport.BridgeError && e.message === 'gone');
  });
});
