// Nothing lost under faults: the node down and back, answering 503, its conversation started again, answering
// slowly, the ntfy server restarted, the disk under the state folder full, the daemon killed and started again twice, with an
// agent answering in bursts. Every message reaches /inbox and every reply reaches the topic; what arrives twice
// is reported (a kill between a delivery and its record may repeat that one delivery). Then one suite per fault
// the field found on its own.
import assert from 'node:assert/strict';
import { mkdir, readFile, writeFile } from 'node:fs/promises';
import { describe, test } from 'node:test';
import { start as startDevnode } from '../../tools/devnode/devnode.mjs';
import { sleep, waitUntil } from './lib/common.mjs';
import { makeConnectorsDir, spawnExe } from './lib/exe.mjs';
import { runDeliveryUnderFaults, smallDisk } from './lib/faults.mjs';
import { startNtfy } from './lib/ntfy.mjs';
import { startDaemon, startPeers } from './lib/peers.mjs';
import { poll, publish, subscribe } from './lib/stream.mjs';

const SESSION = 'main:delivery';
const readJson = async (file) => JSON.parse(await readFile(file, 'utf8'));

const daemonEnv = (srv, dev, topic, extra = {}) => ({
  NTFY_SERVER_URL: srv.url, NTFY_TOPIC: topic, NTFY_TARGET_SESSION: SESSION, NTFY_BOT_API_URL: dev.url,
  NTFY_ALLOW_ALL: '1', NTFY_REPLY_POLL_MS: '200', NTFY_RECONNECT_MIN_MS: '200', NTFY_RECONNECT_MAX_MS: '400',
  ...extra,
});

const relayed = (sub) => sub.messages.filter((m) => m.title === 'QUORVANE BOT').map((m) => m.message);

test('every message and every reply gets through node outages, a conversation reset, a slow node, a full disk, a server restart and two kills', { timeout: 180000 }, async (t) => {
  const r = await runDeliveryUnderFaults({ n: 36, after: (fn) => t.after(fn), say: (s) => t.diagnostic(s) });
  t.diagnostic(`inbound ${JSON.stringify(r.inbound)} replies ${JSON.stringify(r.replies)} drain ${Math.round(r.drainMs)} ms; full disk ${r.fullDisk}`);
  if (r.inbound.lost || r.replies.lost) t.diagnostic(`daemon.log:\n${r.log.slice(-6000)}`);
  assert.equal(r.inbound.lost, 0, `messages lost: ${r.inbound.missing}`);
  assert.equal(r.replies.lost, 0, `replies lost: ${r.replies.missing}`);
  // A kill between a delivery and its record may repeat it; so may the slow node's time-out.
  assert.ok(r.inbound.duplicated <= r.kills + r.slowCopies, `messages delivered twice: ${r.inbound.duplicated}`);
  assert.ok(r.replies.duplicated <= r.kills, `replies published twice: ${r.replies.duplicated}`);
  assert.equal(r.status.queued_count, 0);
});

describe('the node conversation', () => {
  test('a conversation that starts again restarts the reply cursor, while running and across a restart', async (t) => {
    const topic = 'dl_reset';
    const { srv, dev, conn } = await startPeers(t, { node: { reply: 'echo: {text}' } });
    const sub = await subscribe(srv.url, topic);
    t.after(() => sub.close());
    const env = daemonEnv(srv, dev, topic);
    const d = await startDaemon(t, conn, env);
    const exchange = async (text) => {
      await publish(srv.url, topic, text);
      await sub.waitForMessage(`echo: [ntfy] ${text}`, { timeoutMs: 5000 });
    };
    for (const text of ['one', 'two', 'three']) await exchange(text);
    dev.reset();
    for (const text of ['four', 'five']) await exchange(text);
    await d.close();
    dev.reset();
    dev.appendReply(SESSION, 'written while no daemon ran');
    await startDaemon(t, conn, env);
    await sub.waitForMessage('written while no daemon ran', { timeoutMs: 5000 });
    for (const text of ['six', 'seven']) await exchange(text);
    assert.deepEqual(relayed(sub), ['one', 'two', 'three', 'four', 'five'].map((x) => `echo: [ntfy] ${x}`)
      .concat(['written while no daemon ran', 'echo: [ntfy] six', 'echo: [ntfy] seven']));
  });
});

describe('replies the server will not take as they are', () => {
  // Paragraphs, lines and words in Latin, Cyrillic and CJK script, about 11,000 bytes.
  const longReply = () => Array.from({ length: 20 }, (_, p) => Array.from({ length: 4 },
    (_, l) => `paragraph ${p} line ${l}: ${'слово 単語 word '.repeat(5)}`).join('\n')).join('\n\n');

  test('a reply over 4,096 bytes arrives in numbered parts that fit, and the replies after it too (default visitor limits)', async (t) => {
    const topic = 'dl_long';
    const { srv, dev, conn } = await startPeers(t, { ntfy: { defaultLimits: true }, node: { autoReply: false } });
    const sub = await subscribe(srv.url, topic);
    t.after(() => sub.close());
    const d = await startDaemon(t, conn, daemonEnv(srv, dev, topic, { NTFY_REPLY_POLL_MS: '700' }));
    const text = longReply();
    assert.ok(Buffer.byteLength(text) > 9000 && Buffer.byteLength(text) < 12000); // under the longest reply the node hands out
    dev.appendReply(SESSION, text);
    dev.appendReply(SESSION, 'after the long one');
    await sub.waitForMessage('after the long one', { timeoutMs: 15000 });
    const parts = relayed(sub).slice(0, -1);
    assert.ok(parts.length >= 3, `${parts.length} parts`);
    parts.forEach((part, k) => {
      assert.ok(part.startsWith(`(${k + 1}/${parts.length}) `), part.slice(0, 20));
      assert.ok(Buffer.byteLength(part) <= 4096, `part ${k + 1} has ${Buffer.byteLength(part)} bytes`);
    });
    const joined = parts.map((part) => part.replace(/^\(\d+\/\d+\) /, '')).join('');
    assert.equal(joined.replace(/\s+/g, ''), text.replace(/\s+/g, ''), 'the parts make the whole reply, no letter cut');
    const ids = sub.messages.filter((e) => e.title === 'QUORVANE BOT').map((e) => e.id);
    await waitUntil(async () => { const ledger = await readJson(d.file('sent.json')); return ids.every((id) => ledger.includes(id)); },
      { what: 'every part in the ledger' });
    assert.doesNotMatch(await readFile(d.file('daemon.log'), 'utf8'), /reply publish failed/);
  });

  test('a token that can read but not write: publishing backs off and the status says so', async (t) => {
    const topic = 'dl_readonly';
    const srv = await startNtfy({ auth: true, defaultLimits: true, users: [{ name: 'reader', access: { [topic]: 'ro' } }] });
    t.after(() => srv.close());
    const dev = await startDevnode({ unref: true, autoReply: false });
    t.after(() => dev.close());
    const conn = await makeConnectorsDir();
    t.after(() => conn.cleanup());
    const d = await startDaemon(t, conn, daemonEnv(srv, dev, topic, { NTFY_TOKEN: `Bearer ${srv.tokens.reader}` }));
    dev.appendReply(SESSION, 'cannot go out');
    await d.waitForOutput(/reply publish failed: ntfy server answered 403/, { stream: 'stderr', timeoutMs: 5000 });
    await sleep(6000);
    const failures = (await readFile(d.file('daemon.log'), 'utf8')).split('reply publish failed').length - 1;
    // Backing off 1 s, 2 s, 4 s: four tries in six seconds at most, where the poll rate made thirty.
    assert.ok(failures <= 4, `${failures} publishes refused in 6 s`);
    assert.match((await readJson(d.file('status.json'))).last_error, /^publish: the access token cannot publish to dl_readonly \(ntfy server answered 403/);
  });
});

describe('a slow node', () => {
  test('a node that answers /inbox after 21 s gets the message at most twice', { timeout: 120000 }, async (t) => {
    const topic = 'dl_slow';
    const { srv, dev, conn } = await startPeers(t, { node: { autoReply: false, inboxDelayMs: 21000 } });
    const d = await startDaemon(t, conn, daemonEnv(srv, dev, topic));
    await publish(srv.url, topic, 'take your time');
    // The first post times out after 20 s although the node took it; the second waits long enough.
    await waitUntil(async () => (await readJson(d.file('status.json'))).inbound_count === 1,
      { timeoutMs: 70000, intervalMs: 500, what: 'the slow node to answer a post' });
    await sleep(3000);
    const copies = dev.inboxFor(SESSION).filter((m) => m.text === '[ntfy] take your time').length;
    assert.ok(copies >= 1 && copies <= 2, `${copies} copies`);
    assert.equal((await readJson(d.file('status.json'))).queued_count, 0);
  });
});

describe('the stream position', () => {
  const texts = (dev) => dev.inboxFor(SESSION).map((m) => m.text);

  test('a stored position ahead of the server clock drops nothing, also after a server restart', async (t) => {
    const topic = 'dl_clock';
    const { srv, dev, conn } = await startPeers(t);
    const ahead = Math.floor(Date.now() / 1000) + 3600; // a server whose clock stepped back an hour
    await mkdir(conn.stateDir, { recursive: true, mode: 0o700 });
    await writeFile(conn.file('stream.json'), JSON.stringify({ last_id: 'aheadMsg0001', last_time: ahead,
      tail: ['aheadMsg0001'], server: srv.url, topic }), { mode: 0o600 });
    const d = await startDaemon(t, conn, daemonEnv(srv, dev, topic, { NTFY_CATCHUP_S: '86400' }));
    await publish(srv.url, topic, 'after the start');
    await dev.waitForInbox('[ntfy] after the start');
    await srv.restart();
    await d.waitForOutput(/subscribed|stream (closed|read)/, { stream: 'stderr' });
    await waitUntil(async () => (await readJson(d.file('status.json'))).connected === 1, { what: 'the daemon back on the server' });
    await publish(srv.url, topic, 'after the server restart');
    await dev.waitForInbox('[ntfy] after the server restart', { timeoutMs: 8000 });
    await sleep(600);
    assert.deepEqual(texts(dev), ['[ntfy] after the start', '[ntfy] after the server restart']);
  });

  test('a scheduled message that fires while the daemon is stopped is delivered once after the start', { timeout: 90000 }, async (t) => {
    const topic = 'dl_scheduled';
    const { srv, dev, conn } = await startPeers(t);
    const env = daemonEnv(srv, dev, topic);
    const d = await startDaemon(t, conn, env);
    await publish(srv.url, topic, 'scheduled first', { headers: { 'X-Delay': '10s' } });
    await publish(srv.url, topic, 'plain second');
    await dev.waitForInbox('[ntfy] plain second');
    await d.close();
    await waitUntil(async () => (await poll(srv.url, topic)).events.some((e) => e.message === 'scheduled first'),
      { timeoutMs: 40000, intervalMs: 500, what: 'the scheduled message to fire' });
    await startDaemon(t, conn, env);
    await dev.waitForInbox('[ntfy] scheduled first', { timeoutMs: 8000 });
    await publish(srv.url, topic, 'plain third');
    await dev.waitForInbox('[ntfy] plain third');
    await sleep(600);
    assert.deepEqual(texts(dev), ['[ntfy] plain second', '[ntfy] scheduled first', '[ntfy] plain third']);
  });

  test('a position belongs to its topic: after a switch, what was published earlier on the new topic never arrives', async (t) => {
    const { srv, dev, conn } = await startPeers(t);
    const d = await startDaemon(t, conn, daemonEnv(srv, dev, 'dl_topic_a'));
    await publish(srv.url, 'dl_topic_a', 'on a');
    await dev.waitForInbox('[ntfy] on a');
    await d.close();
    const earlier = await publish(srv.url, 'dl_topic_b', 'earlier on b');
    await waitUntil(() => Date.now() / 1000 >= earlier.json.time + 1, { what: 'the next second' });
    const b = await startDaemon(t, conn, daemonEnv(srv, dev, 'dl_topic_b'));
    await b.waitForOutput(/the stored position belongs to .*\/dl_topic_a: starting from now/, { stream: 'stderr' });
    await publish(srv.url, 'dl_topic_b', 'new on b');
    await dev.waitForInbox('[ntfy] new on b');
    await sleep(600);
    assert.deepEqual(texts(dev), ['[ntfy] on a', '[ntfy] new on b']);
  });
});

describe('a full disk', () => {
  test('a message that can be neither posted nor queued holds the stream and arrives once the disk has room', async (t) => {
    const disk = await smallDisk((fn) => t.after(fn));
    if (disk.skip) {
      t.skip(disk.skip);
      return;
    }
    const topic = 'dl_full';
    const srv = await startNtfy();
    t.after(() => srv.close());
    const dev = await startDevnode({ unref: true, autoReply: false });
    t.after(() => dev.close());
    const d = await spawnExe(['--daemon'], { env: daemonEnv(srv, dev, topic), connectorsDir: disk.dir });
    t.after(() => d.close());
    await d.waitForOutput(/subscribed to /, { stream: 'stderr', timeoutMs: 8000 });
    await publish(srv.url, topic, 'before the disk filled');
    await dev.waitForInbox('[ntfy] before the disk filled');
    await dev.stopListening();
    await disk.fill();
    for (const text of ['one', 'two', 'three']) await publish(srv.url, topic, `full ${text}`);
    await d.waitForOutput(/inbox message from \S+ (neither posted nor queued|lost)/, { stream: 'stderr', timeoutMs: 10000 });
    await sleep(2500); // held a while: tried again and held again
    await disk.free();
    await dev.listenAgain();
    await dev.waitForInbox('[ntfy] full three', { timeoutMs: 30000 });
    assert.match(d.stderr(), /stream held: a message could be neither posted nor queued/);
    await publish(srv.url, topic, 'after');
    await dev.waitForInbox('[ntfy] after');
    await sleep(600);
    assert.deepEqual(dev.inboxFor(SESSION).map((m) => m.text),
      ['before the disk filled', 'full one', 'full two', 'full three', 'after'].map((x) => `[ntfy] ${x}`));
  });
});
