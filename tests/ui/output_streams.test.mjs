// The visible tab's output stream, without a browser: the native side is a stand-in whose
// answers the test gives, in any order, so that pieces overtaking each other, a request
// that fails after taking a piece, the budget of unparsed text and stopping can be seen.
import { test } from 'node:test';
import assert from 'node:assert/strict';

import { outputStreams, outputWorkerSource } from '../../ui/src/output_streams.js';

const CFG = { high: 100, piece: 30, lanes: 3, flood: 10, gather: 20, hold: 7 };
const tick = () => new Promise((resolve) => setImmediate(resolve));
async function settle() {
  for (let i = 0; i < 5; i++) await tick();
}

function rig(cfg = CFG) {
  const asked = []; // requests under way: {tab, wait, min, answer(piece), fail()}
  const posted = [];
  const send = outputStreams(
    (tab, wait, min) => new Promise((resolve, reject) => {
      asked.push({ tab, wait, min, answer: resolve, fail: () => reject(new Error('gone')) });
    }),
    (m) => posted.push(m),
    cfg,
  );
  const take = (i = 0) => asked.splice(i, 1)[0];
  const texts = () => posted.filter((m) => m.text !== undefined).map((m) => m.text);
  // Started at the stream's beginning, then a first piece of `first` (flooding when large).
  const flood = async (first) => {
    send({ op: 'start', tab: 't', gen: 1 });
    await settle();
    take().answer(piece(0, ''));
    await settle();
    take().answer(piece(0, first));
    await settle();
  };
  return { asked, posted, send, take, texts, flood };
}
const piece = (from, text) => ({ from, to: from + text.length, text });

test('a quiet tab has one request waiting; a flood adds the others', async () => {
  const r = rig();
  r.send({ op: 'start', tab: 't', gen: 1 });
  await settle();
  // Only one request until the first answer says where the stream stands.
  assert.equal(r.asked.length, 1);
  r.take().answer({ from: 7, to: 7, text: '' });
  await settle();
  // Quiet: one request waits, for long.
  assert.equal(r.asked.length, 1);
  assert.equal(r.asked[0].wait, 7);
  assert.equal(r.asked[0].min, 0);
  r.take().answer(piece(7, 'a'.repeat(12)));
  await settle();
  // A large piece: the tab floods, another request joins (a third would not fit in the
  // budget: 12 unparsed and three full pieces is more than 100) and both ask to gather.
  assert.equal(r.asked.length, 2);
  assert.deepEqual(r.asked.map((a) => a.min), [20, 20]);
  assert.equal(r.asked.filter((a) => a.wait === 7).length, 1);
  // Small pieces again: the extra requests end, the one that waits long stays.
  r.asked.splice(0).forEach((a, i) => a.answer(piece(19 + i, i === 0 ? 'b' : '')));
  await settle();
  assert.equal(r.asked.length, 1);
  assert.equal(r.asked[0].wait, 7);
});

test('out-of-order answers are written in order once the gap fills', async () => {
  const r = rig();
  await r.flood('x'.repeat(10));
  const [a, b, c] = [r.take(), r.take(), r.take()];
  c.answer(piece(25, 'z'.repeat(10)));
  b.answer(piece(18, 'y'.repeat(7)));
  await settle();
  assert.deepEqual(r.texts(), ['x'.repeat(10)]);
  a.answer(piece(10, 'w'.repeat(8)));
  await settle();
  assert.deepEqual(r.texts(), ['x'.repeat(10), 'w'.repeat(8), 'y'.repeat(7), 'z'.repeat(10)]);
});

test('a failed request does not hold back the pieces after it', async () => {
  const r = rig();
  await r.flood('x'.repeat(10));
  const [a, b] = [r.take(), r.take()];
  b.answer(piece(40, 'later'));
  await settle();
  assert.deepEqual(r.texts(), ['x'.repeat(10)]);
  a.fail(); // it may have taken 10..40 with it: what came after goes now
  await settle();
  assert.deepEqual(r.texts(), ['x'.repeat(10), 'later']);
});

test('requests wait while xterm.js holds too much, and go on as it parses', async () => {
  const r = rig();
  await r.flood('p'.repeat(60));
  // 60 unparsed: room for one more full piece (30) within 100, not two.
  assert.equal(r.asked.length, 1);
  r.take().answer(piece(60, 'q'.repeat(30)));
  await settle();
  assert.equal(r.asked.length, 0); // 90 unparsed
  r.send({ op: 'parsed', tab: 't', n: 60 });
  await settle();
  assert.equal(r.asked.length, 2); // 30 unparsed: two pieces' room
  r.send({ op: 'parsed', tab: 't', n: 30 });
  await settle();
  assert.equal(r.asked.length, 3);
});

test('stopping lets the requests under way finish; starting again before the end goes on', async () => {
  const r = rig();
  await r.flood('x'.repeat(12));
  assert.equal(r.asked.length, 2);
  r.send({ op: 'stop', tab: 't' });
  r.take().answer(piece(12, 'tail'));
  await settle();
  assert.deepEqual(r.texts(), ['x'.repeat(12), 'tail']); // an answer after the stop still counts
  assert.equal(r.asked.length, 1); // no new request
  r.send({ op: 'start', tab: 't', gen: 2 });
  r.asked.splice(0).forEach((a) => a.answer(piece(16, '')));
  await settle();
  assert.ok(r.asked.length >= 1); // the same stream goes on
  assert.equal(r.posted.filter((m) => m.ended !== undefined).length, 0);
  r.send({ op: 'stop', tab: 't' });
  r.asked.splice(0).forEach((a) => a.answer(piece(16, '')));
  await settle();
  assert.deepEqual(r.posted.filter((m) => m.ended !== undefined), [{ tab: 't', ended: 2 }]);
});

test('the worker script stands alone', async () => {
  const posted = [];
  const requests = [];
  const scope = {
    postMessage: (m, transfer) => posted.push({ m, transfer }),
    fetch: async (url) => {
      requests.push(url);
      // Held open from the third on, as a quiet tab's requests are.
      if (requests.length > 2) return new Promise(() => {});
      return {
        ok: true,
        arrayBuffer: async () => new TextEncoder().encode(requests.length === 2 ? 'hello' : '').buffer,
        headers: { get: (h) => (h === 'X-Output-From' ? '0' : h === 'X-Output-To' ? (requests.length === 2 ? '5' : '0') : null) },
      };
    },
    setTimeout,
    encodeURIComponent,
  };
  const src = outputWorkerSource('http://127.0.0.1:1', 'tok', CFG);
  const body = new Function(...Object.keys(scope), `let onmessage; ${src}; return (m) => onmessage({ data: m });`);
  const deliver = body(...Object.values(scope));
  deliver({ op: 'start', tab: 'a b', gen: 1 });
  await settle();
  assert.equal(requests[0], 'http://127.0.0.1:1/output?token=tok&tab=a%20b&wait=7&min=0');
  // The piece goes as its bytes, the buffer handed over rather than copied.
  const { m, transfer } = posted[0];
  assert.equal(m.tab, 'a b');
  assert.equal(new TextDecoder().decode(m.text), 'hello');
  assert.deepEqual(transfer, [m.text.buffer]);
});

test('shown again after the long request ended, the tab gets a new one', async () => {
  const r = rig();
  await r.flood('x'.repeat(12));
  assert.deepEqual(r.asked.map((a) => a.wait).sort(), [0.2, 7]);
  r.send({ op: 'stop', tab: 't' });
  r.take(r.asked.findIndex((a) => a.wait === 7)).answer(piece(12, ''));
  await settle();
  r.send({ op: 'start', tab: 't', gen: 2 });
  await settle();
  // The flood ends: the short request finds little and stops asking; the long one is back.
  r.take(r.asked.findIndex((a) => a.wait === 0.2)).answer(piece(12, 'y'));
  await settle();
  assert.deepEqual(r.asked.map((a) => a.wait), [7]);
  assert.deepEqual(r.texts(), ['x'.repeat(12), 'y']);
});
