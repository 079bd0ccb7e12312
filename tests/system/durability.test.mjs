// What must survive a power loss does: the daemon runs under strace while a sender pairs, messages are
// queued (node down), handed over (node back) and replied to, and a setup save writes config.json; the trace
// must show every promised file's data flushed before its rename, each queue file's folder flushed after it
// is created, and the stream position never moved before the queue file it depends on.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readFile } from 'node:fs/promises';
import path from 'node:path';
import { test } from 'node:test';
import { start as startDevnode } from '../../tools/devnode/devnode.mjs';
import { runProcess, spawnProcess, waitUntil } from './lib/common.mjs';
import { assertExe, exeEnv, makeConnectorsDir } from './lib/exe.mjs';
import { checkFlushRules, STRACE_ARGS } from './lib/flushrules.mjs';
import { startNtfy } from './lib/ntfy.mjs';
import { publish, subscribe } from './lib/stream.mjs';

const SESSION = 'main:durable';
const TOPIC = 'durable_topic';

let strace = null;
try {
  strace = execFileSync('sh', ['-c', 'command -v strace'], { encoding: 'utf8' }).trim();
} catch { /* reported by the skip */ }

test('the checker finds each break of the flush rule', () => {
  const dir = '/s/chimewick';
  const q = `${dir}/inbox-queue`;
  const lines = (...ls) => ls.join('\n');
  const ok = lines(
    `openat(AT_FDCWD</w>, "${q}/00000000000000000001.tmp.ab", O_WRONLY|O_CREAT|O_EXCL, 0600) = 3<${q}/00000000000000000001.tmp.ab>`,
    `write(3<${q}/00000000000000000001.tmp.ab>, ""..., 9) = 9`,
    `fdatasync(3<${q}/00000000000000000001.tmp.ab>) = 0`,
    `rename("${q}/00000000000000000001.tmp.ab", "${q}/00000000000000000001") = 0`,
    `fsync(4<${q}>) = 0`,
    `write(3<${dir}/stream.json.tmp.cd>, ""..., 9) = 9`,
    `fdatasync(3<${dir}/stream.json.tmp.cd>) = 0`,
    `rename("${dir}/stream.json.tmp.cd", "${dir}/stream.json") = 0`,
    `write(3<${dir}/status.json.tmp.ef>, ""..., 9) = 9`,
    `rename("${dir}/status.json.tmp.ef", "${dir}/status.json") = 0`);
  assert.deepEqual(checkFlushRules(ok, { stateDir: dir }), []);
  const unflushed = ok.replace(`fdatasync(3<${dir}/stream.json.tmp.cd>) = 0`, '');
  assert.deepEqual(checkFlushRules(unflushed, { stateDir: dir }),
    [`${dir}/stream.json was renamed into place from ${dir}/stream.json.tmp.cd without a flush of its data`]);
  const noFolderFlush = ok.replace(`fsync(4<${q}>) = 0`, '');
  assert.deepEqual(checkFlushRules(noFolderFlush, { stateDir: dir }), [
    `stream.json moved on before the folder flush of queue file ${q}/00000000000000000001`,
    `queue file ${q}/00000000000000000001 was created without a later folder flush`,
  ]);
  const lateFolderFlush = noFolderFlush + `\nfsync(4<${q}>) = 0`;
  assert.deepEqual(checkFlushRules(lateFolderFlush, { stateDir: dir }),
    [`stream.json moved on before the folder flush of queue file ${q}/00000000000000000001`]);
  // The stream position rewritten in place: each write flushed before the next, and never ahead of a
  // queue file's folder flush.
  const inPlace = (...ls) => lines(
    `rename("${q}/00000000000000000002.tmp.ab", "${q}/00000000000000000002") = 0`, ...ls);
  const pw = `pwrite64(5<${dir}/stream.json>, ""..., 300, 32768) = 300`;
  const sync = `fdatasync(5<${dir}/stream.json>) = 0`;
  const qsync = `fsync(4<${q}>) = 0`;
  assert.deepEqual(checkFlushRules(inPlace(qsync, pw, sync, pw, sync), { stateDir: dir }), []);
  assert.deepEqual(checkFlushRules(inPlace(qsync, pw, pw, sync), { stateDir: dir }),
    [`${dir}/stream.json was written in place again without a flush of the write before`]);
  assert.deepEqual(checkFlushRules(inPlace(qsync, pw), { stateDir: dir }), [`${dir}/stream.json was written in place without a flush`]);
  assert.deepEqual(checkFlushRules(inPlace(pw, sync, qsync), { stateDir: dir }),
    [`stream.json moved on before the folder flush of queue file ${q}/00000000000000000002`]);
});

test('a daemon pairing, queueing, delivering and replying flushes what it promises', { skip: !strace && 'strace is missing: run scripts/bootstrap' }, async (t) => {
  const exe = await assertExe();
  const srv = await startNtfy();
  t.after(() => srv.close());
  const dev = await startDevnode({ unref: true, autoReply: false });
  t.after(() => dev.close());
  const conn = await makeConnectorsDir();
  t.after(() => conn.cleanup());
  const trace = path.join(conn.dir, 'trace.txt');
  const traceSave = path.join(conn.dir, 'trace-save.txt');

  // A setup save writes config.json (the token and the password live there).
  const body = JSON.stringify({ action: 'save', topic: TOPIC, server_url: srv.url, target_session: SESSION, bot_api_url: dev.url });
  const saved = await runProcess(strace, [...STRACE_ARGS, '-o', traceSave, exe], {
    env: exeEnv(conn.dir, { REQUEST_METHOD: 'POST', QUERY_STRING: '', GATEWAY_INTERFACE: 'CGI/1.1', CONTENT_TYPE: 'application/json', CONTENT_LENGTH: String(Buffer.byteLength(body)) }),
    input: body,
  });
  assert.match(saved.stdout, /"ok":true/, saved.stdout + saved.stderr);

  const daemon = spawnProcess(strace, [...STRACE_ARGS, '-o', trace, exe, '--daemon'], {
    env: exeEnv(conn.dir, { NTFY_REPLY_POLL_MS: '300', NTFY_RECONNECT_MIN_MS: '200', NTFY_RECONNECT_MAX_MS: '400' }),
  });
  t.after(() => daemon.stop());
  await daemon.waitForOutput(/subscribed to /, { stream: 'stderr', timeoutMs: 15000 });

  // Pairing writes pending.json, then approved.json.
  const sub = await subscribe(srv.url, TOPIC);
  t.after(() => sub.close());
  await publish(srv.url, TOPIC, 'hello, may I?');
  const challenge = await sub.waitForMessage(/PAIR [A-Z2-9]{8}/, { timeoutMs: 5000 });
  await publish(srv.url, TOPIC, `PAIR ${/PAIR ([A-Z2-9]{8})/.exec(challenge.message)[1]}`);
  await sub.waitForMessage('Paired. Your messages now reach the agent.');

  // Node down: the messages wait in the queue; back: they are handed over and answered.
  await dev.stopListening();
  for (const text of ['one while down', 'two while down']) await publish(srv.url, TOPIC, text);
  const status = async () => JSON.parse(await readFile(conn.file('status.json'), 'utf8'));
  await waitUntil(async () => (await status()).queued_count === 2, { timeoutMs: 10000, what: 'two queued messages' });
  await dev.listenAgain();
  await dev.waitForInbox(/two while down/, { timeoutMs: 10000 });
  await publish(srv.url, TOPIC, 'three, directly');
  await dev.waitForInbox(/three, directly/, { timeoutMs: 5000 });
  dev.appendReply(SESSION, 'an answer');
  await sub.waitForMessage(/an answer/, { timeoutMs: 5000 });

  // The daemon's own pid (strace's child) gets the stop, so it ends in order and strace with it.
  const pid = Number((await readFile(conn.file('daemon.pid'), 'utf8')).trim());
  process.kill(pid, 'SIGTERM');
  await daemon.waitExit(10000);

  const text = await readFile(trace, 'utf8');
  assert.match(text, /inbox-queue\/\d{20}"\) = 0/, 'the run queued messages');
  for (const file of ['approved.json', 'pending.json', 'stream.json', 'sent.json']) {
    assert.match(text, new RegExp(`rename\\([^)]*${file}"\\) = 0`), `the run wrote ${file}`);
  }
  // After it is made, the stream position is rewritten in place.
  assert.match(text, /pwrite64\(\d+<[^>]*stream\.json>/, 'the run wrote stream.json in place');
  assert.deepEqual(checkFlushRules(text, { stateDir: conn.stateDir }), []);
  const saveText = await readFile(traceSave, 'utf8');
  assert.match(saveText, /config\.json"\) = 0/, 'the save wrote config.json');
  assert.deepEqual(checkFlushRules(saveText, { stateDir: conn.stateDir }), []);
});
