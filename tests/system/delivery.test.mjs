// Nothing lost under faults: the node down and back, answering 503, the ntfy server restarted, the daemon
// killed and started again twice, with an agent answering in bursts. Every message reaches /inbox and every
// reply reaches the topic; what arrives twice is reported (a kill between a delivery and its record may
// repeat that one delivery).
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { runDeliveryUnderFaults } from './lib/faults.mjs';

test('every message and every reply gets through node outages, a server restart and two kills', async (t) => {
  const r = await runDeliveryUnderFaults({ n: 36, after: (fn) => t.after(fn), say: (s) => t.diagnostic(s) });
  t.diagnostic(`inbound ${JSON.stringify(r.inbound)} replies ${JSON.stringify(r.replies)} drain ${Math.round(r.drainMs)} ms`);
  if (r.inbound.lost || r.replies.lost) t.diagnostic(`daemon.log:\n${r.log.slice(-6000)}`);
  assert.equal(r.inbound.lost, 0, `messages lost: ${r.inbound.missing}`);
  assert.equal(r.replies.lost, 0, `replies lost: ${r.replies.missing}`);
  assert.ok(r.inbound.duplicated <= r.kills, `messages delivered twice: ${r.inbound.duplicated}`);
  assert.ok(r.replies.duplicated <= r.kills, `replies published twice: ${r.replies.duplicated}`);
  assert.equal(r.status.queued_count, 0);
});
