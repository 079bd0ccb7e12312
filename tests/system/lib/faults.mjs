// The delivery run under faults, shared by the system suite (small N) and the benchmark (large N): an approved
// sender publishes N numbered messages while the node goes down and comes back, answers 503, starts its
// conversation again, answers slowly, the ntfy server restarts, the disk under the state folder fills up (a
// small tmpfs, where this machine lets the tests mount one), and the daemon is killed (SIGKILL) and started
// again twice; an agent answers every message, in bursts. Counts what reached the node's /inbox and what
// reached the topic, each way: delivered, lost, twice.
import { open, readFile, rm } from 'node:fs/promises';
import path from 'node:path';
import { performance } from 'node:perf_hooks';
import { start as startDevnode } from '../../../tools/devnode/devnode.mjs';
import { makeTempDir, removeDir, runProcess, sleep, waitUntil } from './common.mjs';
import { makeConnectorsDir, spawnExe } from './exe.mjs';
import { startNtfy } from './ntfy.mjs';
import { poll, publish, subscribe } from './stream.mjs';

const SESSION = 'main:faults';
const TOPIC = 'delivery_faults';
const REPLY_BURST_MS = 400; // the agent answers what arrived since its last burst, all at once
const KILLS = 2;
const SLOW_NODE_MS = 21000; // longer than the daemon's 20 s exchange deadline: the node may get that message twice
const DISK_KB = 65536; // roomy for the state folder of a long run, filled on purpose in one phase

const readJson = async (file) => JSON.parse(await readFile(file, 'utf8'));

// A connectors folder on a small tmpfs of its own, so a test can fill the disk under the state folder:
// {dir, fill(), free()}, or {skip: reason} where this machine does not let the tests mount one (not root,
// or no mount rights in a container). `after(fn)` registers the unmount.
export async function smallDisk(after, sizeKb = 2048) {
  if (process.platform !== 'linux' || process.getuid?.() !== 0) return { skip: 'mounting a tmpfs needs root on Linux' };
  const dir = await makeTempDir('qv-disk-');
  const mounted = await runProcess('mount', ['-t', 'tmpfs', '-o', `size=${sizeKb}k,mode=0700`, 'tmpfs', dir], { timeoutMs: 10000 });
  if (mounted.code !== 0) {
    await removeDir(dir);
    return { skip: `cannot mount a tmpfs here: ${mounted.stderr.trim()}` };
  }
  after(async () => {
    await runProcess('umount', ['-l', dir], { timeoutMs: 10000 });
    await removeDir(dir);
  });
  const filler = path.join(dir, 'filler');
  return {
    dir,
    // Writes until the disk says it is full.
    async fill() {
      const f = await open(filler, 'a');
      const chunk = Buffer.alloc(4096, 120);
      try {
        for (;;) await f.write(chunk);
      } catch (err) {
        if (err.code !== 'ENOSPC') throw err;
      } finally {
        await f.close();
      }
    },
    free: () => rm(filler, { force: true }),
  };
}
const messageText = (i) => `m-${i} under faults`;
const replyText = (i) => `r-${i}`;

// How many times each number 0..n-1 occurs in the texts, by the pattern's first group.
function tally(texts, pattern, n) {
  const counts = new Array(n).fill(0);
  for (const text of texts) {
    const m = pattern.exec(text);
    if (m && Number(m[1]) < n) counts[Number(m[1])]++;
  }
  return {
    sent: n,
    delivered: counts.filter((c) => c > 0).length,
    lost: counts.filter((c) => c === 0).length,
    duplicated: counts.reduce((sum, c) => sum + (c > 1 ? c - 1 : 0), 0),
    missing: counts.flatMap((c, i) => (c === 0 ? [i] : [])).slice(0, 20),
  };
}

// run({n, after, say, deadlineMs}): `after(fn)` registers a cleanup. Resolves with
// {inbound, replies, drainMs, queuedPeak, kills, slowCopies (deliveries the slow node may get twice), fullDisk
// ('ran' or why it was skipped), status, log (the last daemon's daemon.log), stateDir, node ({inbox, requests,
// conversation}: the devnode's record, the part before the conversation reset included)}.
export async function runDeliveryUnderFaults({ n = 36, after, say = () => {}, deadlineMs = 30000 }) {
  const srv = await startNtfy();
  after(() => srv.close());
  const dev = await startDevnode({ unref: true, autoReply: false });
  after(() => dev.close());
  const disk = await smallDisk(after, DISK_KB);
  const conn = disk.skip ? await makeConnectorsDir() : { dir: disk.dir, cleanup: async () => {} };
  after(() => conn.cleanup());
  const env = {
    NTFY_SERVER_URL: srv.url, NTFY_TOPIC: TOPIC, NTFY_TARGET_SESSION: SESSION, NTFY_BOT_API_URL: dev.url,
    NTFY_REPLY_POLL_MS: '300', NTFY_RECONNECT_MIN_MS: '200', NTFY_RECONNECT_MAX_MS: '400',
  };
  let daemon = null;
  const startDaemon = async () => {
    daemon = await spawnExe(['--daemon'], { env, connectorsDir: conn.dir });
    const mine = daemon;
    after(() => mine.close());
    await daemon.waitForOutput(/subscribed to /, { stream: 'stderr', timeoutMs: 10000 });
  };
  const status = () => readJson(daemon.file('status.json'));
  const kill = async () => {
    daemon.kill('SIGKILL');
    await daemon.waitExit(5000);
  };

  // Pairing through the real flow, so the sender is approved as a phone user's would be.
  await startDaemon();
  const sub = await subscribe(srv.url, TOPIC);
  await publish(srv.url, TOPIC, 'hello, may I?');
  const challenge = await sub.waitForMessage(/PAIR [A-Z2-9]{8}/, { timeoutMs: 5000 });
  await publish(srv.url, TOPIC, `PAIR ${/PAIR ([A-Z2-9]{8})/.exec(challenge.message)[1]}`);
  await sub.waitForMessage('Paired. Your messages now reach the agent.');
  sub.close();

  // The agent: every message seen since the last burst is answered at once, so several replies often land
  // between two of the daemon's polls. A message the node got twice is answered once.
  const answered = new Set();
  const burst = () => {
    for (const m of dev.inboxFor(SESSION)) {
      const got = /m-(\d+) under faults/.exec(m.text);
      if (got && !answered.has(got[1])) {
        answered.add(got[1]);
        dev.appendReply(SESSION, replyText(got[1]));
      }
    }
  };
  const agent = setInterval(burst, REPLY_BURST_MS);
  after(() => clearInterval(agent));

  let next = 0;
  const phase = Math.max(1, Math.floor(n / 6));
  const publishSome = async (count) => {
    for (let k = 0; k < count && next < n; k++) await publish(srv.url, TOPIC, messageText(next++));
  };
  // What the node received before its conversation was reset (the reset empties its record).
  const before = { inbox: [], requests: [], conversation: [] };
  const inboxAll = () => before.inbox.concat(dev.inboxFor(SESSION));
  const inboxHas = (count) => inboxAll().filter((m) => /m-\d+ under faults/.test(m.text)).length >= count;
  const repliesOnTopic = async () => (await poll(srv.url, TOPIC)).events.filter((e) => e.event === 'message').map((e) => e.message);
  let queuedPeak = 0;
  const queuedAtLeast = (count, what) => waitUntil(async () => {
    const q = (await status()).queued_count ?? 0;
    queuedPeak = Math.max(queuedPeak, q);
    return q >= count;
  }, { timeoutMs: deadlineMs, intervalMs: 50, what });

  say('all up');
  await publishSome(phase);

  say('the node starts its conversation again');
  await waitUntil(() => inboxHas(next), { timeoutMs: deadlineMs, intervalMs: 50, what: 'every message so far at the node' });
  burst();
  await waitUntil(async () => tally(await repliesOnTopic(), /^r-(\d+)$/, next).lost === 0,
    { timeoutMs: deadlineMs, intervalMs: 200, what: 'every reply so far on the topic before the reset' });
  before.inbox.push(...dev.inboxFor(SESSION));
  before.requests.push(...dev.requests);
  before.conversation.push(...dev.conversation(SESSION));
  dev.reset();
  // The daemon notices a conversation shorter than its cursor; one that outgrows the cursor between two
  // of its polls cannot be told from the old one (a limit of that rule), so the burst waits for the notice.
  await publishSome(1);
  await waitUntil(() => /conversation started again/.test(daemon.stderr()),
    { timeoutMs: deadlineMs, intervalMs: 50, what: 'the daemon to notice the conversation started again' });
  await publishSome(phase - 1);

  await waitUntil(() => inboxHas(next), { timeoutMs: deadlineMs, intervalMs: 50, what: 'every message so far at the node' });
  say(`node slow: answers /inbox after ${SLOW_NODE_MS / 1000} s`);
  dev.config.inboxDelayMs = SLOW_NODE_MS;
  const slowFrom = next;
  await publishSome(1);
  await waitUntil(() => /did not answer within/.test(daemon.stderr()),
    { timeoutMs: SLOW_NODE_MS + deadlineMs, intervalMs: 100, what: 'the post to the slow node to time out' });
  dev.config.inboxDelayMs = 0;
  await publishSome(phase - 1);
  await waitUntil(() => inboxHas(next), { timeoutMs: deadlineMs, intervalMs: 50, what: `the messages from ${slowFrom} on at the node` });

  let fullDisk = 'ran';
  if (disk.skip) {
    fullDisk = `skipped: ${disk.skip}`;
    say(`full disk ${fullDisk}`);
  } else {
    say('node down and the state folder\'s disk full: messages can be neither posted nor queued');
    await dev.stopListening();
    await disk.fill();
    await publishSome(phase);
    await waitUntil(() => /stream held: /.test(daemon.stderr()), { timeoutMs: deadlineMs, intervalMs: 50, what: 'the stream to be held' });
    await sleep(1500);
    await disk.free();
    await dev.listenAgain();
    await waitUntil(() => inboxHas(next), { timeoutMs: deadlineMs, intervalMs: 50, what: 'the held messages at the node' });
  }

  say('node down: connections refused');
  await dev.stopListening();
  const downFrom = next;
  await publishSome(phase);
  await queuedAtLeast(next - downFrom, 'the messages to wait in the queue while the node is down');
  await dev.listenAgain();
  const back = performance.now();
  await waitUntil(async () => (await status()).queued_count === 0,
    { timeoutMs: deadlineMs, intervalMs: 20, what: 'the queue to drain after the node came back' });
  const drainMs = performance.now() - back;

  say('ntfy server restart');
  await srv.restart();
  await publishSome(phase);

  say('daemon killed; messages published while it is gone');
  await kill();
  await publishSome(phase);
  await startDaemon();

  say('node answers 503; daemon killed with messages queued');
  dev.setDown({ mode: 'status', status: 503 });
  const failFrom = next;
  await publishSome(phase);
  await queuedAtLeast(next - failFrom, 'the messages to wait in the queue while the node answers 503');
  await kill();
  dev.setUp();
  await startDaemon();

  say('all up again');
  await publishSome(n - next);
  const texts = (list) => list.map((m) => m.text ?? m.message ?? '');
  try {
    await waitUntil(() => inboxHas(n), { timeoutMs: deadlineMs, intervalMs: 50, what: 'every message at the node' });
  } catch { /* counted below */ }
  burst();
  let events = [];
  try {
    await waitUntil(async () => {
      events = await repliesOnTopic();
      return tally(events, /^r-(\d+)$/, n).lost === 0;
    }, { timeoutMs: deadlineMs, intervalMs: 200, what: 'every reply on the topic' });
  } catch { /* counted below */ }
  const inbound = tally(texts(inboxAll()), /m-(\d+) under faults/, n);
  const replies = tally(events, /^r-(\d+)$/, n);
  const log = await readFile(daemon.file('daemon.log'), 'utf8').catch(() => '');
  const node = { inbox: inboxAll(), requests: before.requests.concat(dev.requests),
    conversation: before.conversation.concat(dev.conversation(SESSION)) };
  return { inbound, replies, drainMs, queuedPeak, kills: KILLS, slowCopies: 1, fullDisk, status: await status(), log,
    stateDir: daemon.stateDir, node };
}
