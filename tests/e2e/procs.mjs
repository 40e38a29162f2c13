// The process tree as /proc shows it: the page tests and the benchmarks find what they
// started (a browser's processes, sshd's sessions) through it.
import { readdirSync, readFileSync } from 'node:fs';

// [pid, parent pid] of every process.
export function processTable() {
  const rows = [];
  for (const name of readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    try {
      const f = readFileSync(`/proc/${name}/stat`, 'utf8');
      const rest = f.slice(f.lastIndexOf(')') + 2).split(' ');
      rows.push([Number(name), Number(rest[1])]);
    } catch {
      /* gone meanwhile */
    }
  }
  return rows;
}

// root and every process below it, parents before their children.
export function descendants(root) {
  const kids = new Map();
  for (const [pid, ppid] of processTable()) {
    if (!kids.has(ppid)) kids.set(ppid, []);
    kids.get(ppid).push(pid);
  }
  const out = [];
  const queue = [root];
  while (queue.length) {
    const p = queue.shift();
    out.push(p);
    for (const c of kids.get(p) || []) queue.push(c);
  }
  return out;
}
