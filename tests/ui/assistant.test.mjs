// The assistant's proposals come from the reply text: only the three known actions, with their
// arguments checked, become buttons.
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';

import { parseProposals, replyText } from '../../ui/src/proposals.js';

describe('proposals in a reply', () => {
  test('run, toggle and read_tab lines in action blocks, in order', () => {
    const reply = 'Try this:\n```action\nrun ls -la /var/log\ntoggle crhaslf\n```\nthen\n```action\nread_tab 0a1b2c3d\n```';
    assert.deepEqual(parseProposals(reply), [
      { kind: 'run', command: 'ls -la /var/log' },
      { kind: 'toggle', flag: 'crhaslf' },
      { kind: 'read_tab', tabId: '0a1b2c3d' },
    ]);
  });

  test('nothing outside action blocks, and nothing unknown or malformed', () => {
    assert.deepEqual(parseProposals('```sh\nrm -rf /\n```\nrun ls'), []);
    assert.deepEqual(parseProposals('```action\nrun\ntoggle password\nread_tab ../x\ndelete all\n```'), []);
    assert.deepEqual(parseProposals(''), []);
    assert.deepEqual(parseProposals(undefined), []);
    // An unclosed block proposes nothing.
    assert.deepEqual(parseProposals('```action\nrun reboot'), []);
  });

  test('the shown text leaves the action blocks out', () => {
    assert.equal(replyText('Look:\n```action\nrun ls\n```\ndone'), 'Look:\n\ndone');
  });
});
