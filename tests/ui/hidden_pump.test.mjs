// The hidden tabs' pump, without a browser: the native side and the clock are stand-ins the
// test answers, so what happens when the visible tab is hidden mid-turn can be seen in order.
import { test } from 'node:test';
import assert from 'node:assert/strict';

import { hiddenPump } from '../../ui/src/hidden_pump.js';

const tick = () => new Promise((resolve) => setImmediate(resolve));
async function settle() {
  for (let i = 0; i < 8; i++) await tick();
}

function rig(tabs) {
  const calls = []; // {op, args, answer(value)}
  const rests = []; // pending pauses: {ms, end()}
  const pump = hiddenPump({
    call: (op, ...args) => new Promise((resolve) => calls.push({ op, args, answer: resolve })),
    canWait: () => true,
    getTabs: () => tabs,
    pause: (ms) => new Promise((resolve) => rests.push({ ms, end: resolve })),
    pageHidden: () => false,
    holdSeconds: 25,
  });
  const next = (op) => {
    const i = calls.findIndex((c) => c.op === op);
    assert.ok(i >= 0, `a ${op} call is under way (calls: ${calls.map((c) => c.op).join(', ') || 'none'})`);
    return calls.splice(i, 1)[0];
  };
  // The first rest ends and the turn after it asks its question.
  const firstTurn = async () => {
    await settle();
    rests.shift().end();
    await settle();
  };
  return { pump, calls, rests, next, firstTurn };
}

function tab(id, streaming = false) {
  const t = { id, streaming, written: [] };
  t.write = async (text) => {
    t.written.push(text);
  };
  return t;
}

test('one question covers every tab; only hidden tabs with output are drained, in pieces', async () => {
  const visible = tab('v', true);
  const quiet = tab('q');
  const busy = tab('b');
  const r = rig([visible, quiet, busy]);
  await settle();
  assert.equal(r.rests.length, 1);
  assert.equal(r.rests[0].ms, 1000);
  r.rests.shift().end();
  await settle();
  const wait = r.next('wait_terminal_output');
  assert.deepEqual(wait.args, [['v', 'q', 'b'], 25]);
  // The visible tab's own output is its stream's, whatever the question says.
  wait.answer(['v', 'b']);
  await settle();
  const drain = r.next('drain_terminals');
  assert.deepEqual(drain.args[0], ['b']);
  drain.answer({ b: 'one' });
  await settle();
  r.next('drain_terminals').answer({});
  await settle();
  assert.deepEqual(busy.written, ['one']);
  assert.deepEqual(visible.written, []);
  assert.equal(r.calls.length, 0);
  assert.equal(r.rests.length, 1, 'the turn ends in a rest');
});

test('a tab hidden while the question is held is drained as soon as its output ends the wait', async () => {
  const visible = tab('v', true);
  const other = tab('o');
  const r = rig([visible, other]);
  await r.firstTurn();
  const wait = r.next('wait_terminal_output');
  // The user switches tabs: v's stream ends and its producer goes on into the native buffer.
  visible.streaming = false;
  r.pump.kick();
  wait.answer(['v']);
  await settle();
  const drain = r.next('drain_terminals');
  assert.deepEqual(drain.args[0], ['v']);
  drain.answer({ v: 'flood' });
  await settle();
  assert.deepEqual(visible.written, ['flood']);
});

test('a kick ends the rest, and one that comes during a turn skips the next rest', async () => {
  const visible = tab('v', true);
  const r = rig([visible]);
  await settle();
  // Only the visible tab: nothing to ask about, the pump rests.
  assert.equal(r.rests.length, 1);
  assert.equal(r.calls.length, 0);
  visible.streaming = false;
  r.pump.kick();
  await settle();
  r.next('wait_terminal_output').answer(['v']);
  await settle();
  const drain = r.next('drain_terminals');
  // Shown again and hidden again while this turn drains: no rest before the next question.
  visible.streaming = true;
  r.pump.kick();
  visible.streaming = false;
  drain.answer({ v: 'x' });
  await settle();
  r.next('drain_terminals').answer({});
  await settle();
  assert.equal(r.rests.length, 1, 'the first rest was ended by the kick and never began again');
  r.next('wait_terminal_output');
});

test('a drained piece is its tab\'s when the answer comes: a tab shown meanwhile writes it before its stream', async () => {
  const visible = tab('v', true);
  const hidden = tab('h');
  const r = rig([visible, hidden]);
  await r.firstTurn();
  r.next('wait_terminal_output').answer(['h']);
  await settle();
  const drain = r.next('drain_terminals');
  assert.equal(hidden.draining, true);
  // Shown while the drain is under way: the tab waits for it (TermTab.stream).
  const order = [];
  hidden.drained = () => {
    order.push(`stream starts after ${JSON.stringify(hidden.held)}`);
    hidden.write(hidden.held);
    hidden.held = '';
    hidden.streaming = true;
  };
  drain.answer({ h: 'older' });
  await settle();
  assert.equal(hidden.draining, false);
  assert.deepEqual(order, ['stream starts after "older"']);
  assert.deepEqual(hidden.written, ['older'], 'written once, by the tab');
  assert.equal(r.calls.length, 0, 'a streaming tab gets no more pieces from the pump');
});
