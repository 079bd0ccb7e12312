// Benchmark: the delivery run under faults (tests/system/lib/faults.mjs) at a larger N: the node down and
// back, answering 503, its conversation started again, answering slowly, the ntfy server restarted, the
// state folder's disk full, the daemon killed and started again twice, an agent answering in bursts.
// Prints sent / delivered / lost / duplicated each way and the time from the node coming back to the
// inbound queue drained. When anything is lost it keeps the daemon's state folder (daemon.log,
// status.json, stream.json, the queue) and the devnode's record in KEEP_DIR (default: a new folder under
// the system's temporary folder) and prints where. Started by bench/delivery.sh.
//
//   node bench/delivery.mjs EXE        MESSAGES=600 KEEP_DIR=...
import { cp, mkdtemp, writeFile } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { runDeliveryUnderFaults } from '../tests/system/lib/faults.mjs';

const exe = process.argv[2];
if (!exe) {
  process.stderr.write('usage: node bench/delivery.mjs EXE\n');
  process.exit(2);
}
process.env.QV_EXE = exe;
const n = Number.parseInt(process.env.MESSAGES ?? '600', 10) || 600;
const say = (text) => process.stderr.write(`delivery bench: ${text}\n`);

const cleanups = [];
const stopAll = async () => {
  while (cleanups.length > 0) {
    const stop = cleanups.pop();
    await Promise.resolve().then(stop).catch((err) => say(`cleanup: ${err.message}`));
  }
};
for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => stopAll().finally(() => process.exit(130)));

// Copies what explains a loss before the cleanups remove it.
async function keepEvidence(r) {
  const dir = process.env.KEEP_DIR || await mkdtemp(path.join(os.tmpdir(), 'chimewick-delivery-'));
  await cp(r.stateDir, path.join(dir, 'state'), { recursive: true }).catch((err) => say(`state folder: ${err.message}`));
  await writeFile(path.join(dir, 'devnode.json'), JSON.stringify(r.node, null, 1));
  await writeFile(path.join(dir, 'result.json'), JSON.stringify({ inbound: r.inbound, replies: r.replies, status: r.status }, null, 1));
  return dir;
}

const row = (name, t) => `${name.padEnd(10)} ${String(t.sent).padStart(6)} ${String(t.delivered).padStart(10)}`
  + ` ${String(t.lost).padStart(6)} ${String(t.duplicated).padStart(11)}`;
try {
  const started = Date.now();
  const r = await runDeliveryUnderFaults({ n, after: (fn) => cleanups.push(fn), say, deadlineMs: 120000 });
  console.log(`delivery under faults: ${n} messages, ${r.kills} kills, ${((Date.now() - started) / 1000).toFixed(1)} s`);
  console.log(`${'way'.padEnd(10)} ${'sent'.padStart(6)} ${'delivered'.padStart(10)} ${'lost'.padStart(6)} ${'duplicated'.padStart(11)}`);
  console.log(row('inbound', r.inbound));
  console.log(row('replies', r.replies));
  console.log(`queue: peak ${r.queuedPeak} waiting; drained ${Math.round(r.drainMs)} ms after the node came back`);
  console.log(`full disk: ${r.fullDisk}; duplicates allowed: ${r.kills} kills + ${r.slowCopies} slow-node time-out`);
  if (r.inbound.lost || r.replies.lost) {
    console.log(`lost ${r.inbound.missing.join(',')} inbound, ${r.replies.missing.join(',')} replies; kept in ${await keepEvidence(r)}`);
    process.exitCode = 1;
  }
} finally {
  await stopAll();
}
