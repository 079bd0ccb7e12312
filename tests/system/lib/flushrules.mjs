// Reads an strace of chimewick (strace -f -y, file system calls) and reports every break of the rule that
// makes a promised state file survive a power loss: its data flushed before the rename that publishes it
// (or, for a file rewritten in place, before the run goes on to write it again or ends), a queue file's
// folder flushed after the rename that creates it, and the stream position never moved (renamed into place
// or written in place) while a queue file before it still waits for its folder flush. status.json, the log
// and the pid file promise nothing and are left out.
import path from 'node:path';

export const STRACE_ARGS = ['-f', '-qq', '-y', '-s', '0', '-e',
  'trace=openat,write,pwrite64,fsync,fdatasync,close,rename,renameat,renameat2,unlink,unlinkat'];

const UNPROMISED = new Set(['status.json', 'daemon.pid', 'daemon.log', 'daemon.log.1']);
const isQueueFile = (file) => path.basename(path.dirname(file)) === 'inbox-queue' && /^\d{20}$/.test(path.basename(file));

// One call per line: [pid] name(args) = result. Unfinished/resumed halves are joined by strace -f only
// when the calls interleave, which a single-threaded daemon does not do.
function parseLine(line) {
  const m = /^(?:\[pid\s+\d+\]\s+|\d+\s+)?(\w+)\((.*)\)\s+=\s+(-?\d+)/.exec(line);
  if (!m) return null;
  const [, name, args, result] = m;
  const fdPath = /^-?\d+<([^>]*)>/.exec(args)?.[1];
  const strings = [...args.matchAll(/"((?:[^"\\]|\\.)*)"/g)].map((s) => s[1]);
  return { name, fdPath, strings, ok: Number(result) >= 0 };
}

// Returns the list of problems found, each a sentence naming the file; empty when the trace keeps the rule.
export function checkFlushRules(traceText, { stateDir }) {
  const problems = [];
  const dirtySince = new Map(); // file -> true while written and not flushed since
  let queueAwaitingDirFlush = []; // queue files renamed into place, their folder not flushed yet
  for (const line of traceText.split('\n')) {
    const call = parseLine(line);
    if (!call || !call.ok) continue;
    const { name, fdPath, strings } = call;
    if (name === 'write' && fdPath) dirtySince.set(fdPath, true);
    else if (name === 'pwrite64' && fdPath && fdPath.startsWith(stateDir) && !UNPROMISED.has(path.basename(fdPath))) {
      if (dirtySince.get(fdPath)) problems.push(`${fdPath} was written in place again without a flush of the write before`);
      if (path.basename(fdPath) === 'stream.json' && queueAwaitingDirFlush.length) {
        problems.push(`stream.json moved on before the folder flush of queue file ${queueAwaitingDirFlush[0]}`);
      }
      dirtySince.set(fdPath, true);
    } else if ((name === 'fdatasync' || name === 'fsync') && fdPath) {
      dirtySince.delete(fdPath);
      if (queueAwaitingDirFlush.length && path.basename(fdPath) === 'inbox-queue') {
        queueAwaitingDirFlush = queueAwaitingDirFlush.filter((f) => path.dirname(f) !== fdPath);
      }
    } else if (name.startsWith('rename')) {
      const [from, to] = strings;
      if (!to || !to.startsWith(stateDir) || UNPROMISED.has(path.basename(to))) continue;
      if (dirtySince.get(from)) problems.push(`${to} was renamed into place from ${from} without a flush of its data`);
      dirtySince.delete(from);
      if (path.basename(to) === 'stream.json' && queueAwaitingDirFlush.length) {
        problems.push(`stream.json moved on before the folder flush of queue file ${queueAwaitingDirFlush[0]}`);
      }
      if (isQueueFile(to)) queueAwaitingDirFlush.push(to);
    }
  }
  for (const file of queueAwaitingDirFlush) problems.push(`queue file ${file} was created without a later folder flush`);
  for (const [file, dirty] of dirtySince) {
    if (dirty && file.startsWith(stateDir) && path.basename(file) === 'stream.json') problems.push(`${file} was written in place without a flush`);
  }
  return problems;
}
