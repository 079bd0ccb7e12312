// Benchmark: the delivery run under faults (tests/system/lib/faults.mjs) at a larger N: the node down and
// back, answering 503, the ntfy server restarted, the daemon killed and started again twice, an agent
// answering in bursts. Prints sent / delivered / lost / duplicated each way and the time from the node
// coming back to the inbound queue drained. Started by bench/delivery.sh.
//
//   node bench/delivery.mjs EXE        MESSAGES=600
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
  if (r.inbound.lost || r.replies.lost) process.exitCode = 1;
} finally {
  await stopAll();
}
