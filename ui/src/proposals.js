// The actions an assistant reply proposes. They are fenced blocks, one action a line (the
// prompt documents in resources/architecture teach the tool this form):
//   ```action
//   run <command>          type the command into this tab (with or without Enter)
//   toggle lfhascr         switch a display flag of this tab's session (lfhascr, crhaslf)
//   read_tab <tab id>      ask to read another tab's recent output
//   ```
const FLAGS = ['lfhascr', 'crhaslf'];

// The actions a reply proposes, in order; unknown lines are left out.
export function parseProposals(reply) {
  const found = [];
  const block = /```action[^\n]*\n([\s\S]*?)```/g;
  for (let m; (m = block.exec(String(reply || '')));) {
    for (const raw of m[1].split('\n')) {
      const line = raw.trim();
      const sp = line.indexOf(' ');
      const verb = sp < 0 ? line : line.slice(0, sp);
      const arg = sp < 0 ? '' : line.slice(sp + 1).trim();
      if (verb === 'run' && arg) found.push({ kind: 'run', command: arg });
      else if (verb === 'toggle' && FLAGS.includes(arg)) found.push({ kind: 'toggle', flag: arg });
      else if (verb === 'read_tab' && /^[0-9a-f]{8}$/.test(arg)) found.push({ kind: 'read_tab', tabId: arg });
    }
  }
  return found;
}

// The reply without its action blocks (they are shown as buttons).
export function replyText(reply) {
  return String(reply || '').replace(/```action[^\n]*\n[\s\S]*?```/g, '').trim();
}

