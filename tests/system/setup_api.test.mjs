// The setup API against real peers: test and send through the real ntfy server (and a running daemon
// that drops the echo as its own), the API behind lighttpd as a real CGI web server (status line, headers
// at the gate, POST bodies, a detached daemon start and a stop), and many requests at once while a daemon
// handles messages, and two hundred approvals at once.
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { readdir, readFile } from 'node:fs/promises';
import { describe, test } from 'node:test';
import { start as startDevnode } from '../../tools/devnode/devnode.mjs';
import { httpRequest, pidAlive, sleep, waitUntil } from './lib/common.mjs';
import { makeConnectorsDir, runCgi, spawnExe } from './lib/exe.mjs';
import { startLighttpd } from './lib/lighttpd.mjs';
import { startNtfy } from './lib/ntfy.mjs';
import { publish, subscribe } from './lib/stream.mjs';

const SESSION = 'main:chat';
const TEST_MESSAGE = 'chimewick test notification from this node. If you can read this, publishing works.';

const readJson = async (file) => JSON.parse(await readFile(file, 'utf8'));

async function peers(t, { node = false } = {}) {
  const srv = await startNtfy();
  t.after(() => srv.close());
  const conn = await makeConnectorsDir();
  t.after(() => conn.cleanup());
  let dev;
  if (node) {
    dev = await startDevnode({ unref: true, replyDelayMs: 50 });
    t.after(() => dev.close());
  }
  return { srv, conn, dev };
}

// One API request in the shared connector folder.
function api(conn, action, body, opts = {}) {
  return runCgi({
    method: body === undefined ? 'GET' : 'POST', query: { action }, body, connectorsDir: conn.dir, ...opts,
  });
}

async function saved(conn, fields) {
  const r = await api(conn, 'save', fields);
  assert.equal(r.status, 200, r.stdout);
  assert.equal(r.json.ok, true, r.stdout);
  return r.json;
}

async function subscribeFor(t, url, topic) {
  const sub = await subscribe(url, topic);
  t.after(() => sub.close());
  return sub;
}

// Stops whatever daemon the pid file of this folder names, even when the test failed half-way.
function stopDaemonAfter(t, conn) {
  t.after(async () => {
    let pid = 0;
    try {
      pid = Number.parseInt(await readFile(conn.file('daemon.pid'), 'utf8'), 10);
    } catch {
      return;
    }
    if (pid > 0 && pidAlive(pid)) {
      process.kill(pid, 'SIGTERM');
      await waitUntil(() => !pidAlive(pid), { timeoutMs: 5000, what: 'the daemon to stop' }).catch(() => {
        process.kill(pid, 'SIGKILL');
      });
    }
  });
}

describe('test and send through the real ntfy server', () => {
  test('test publishes the fixed notification to the publish topic and notes its id', async (t) => {
    const { srv, conn } = await peers(t);
    await saved(conn, { server_url: srv.url, topic: 'api_in', publish_topic: 'api_out', title_prefix: 'Ops' });
    const sub = await subscribeFor(t, srv.url, 'api_out');

    const r = await api(conn, 'test');
    assert.equal(r.status, 200, r.stdout);
    assert.deepEqual(Object.keys(r.json), ['ok', 'published_id', 'topic']);
    assert.equal(r.json.topic, 'api_out');
    const ev = await sub.waitForMessage(TEST_MESSAGE);
    assert.equal(ev.id, r.json.published_id);
    assert.equal(ev.title, 'Ops test');
    assert.deepEqual(ev.tags, ['bell', 'quorvane']);
    assert.equal(ev.priority ?? 3, 3);
    assert.ok((await readJson(conn.file('sent.json'))).includes(ev.id));
  });

  test('send publishes the written message with its title, tags, priority and topic', async (t) => {
    const { srv, conn } = await peers(t);
    await saved(conn, { server_url: srv.url, topic: 'api_send', tags: 'robot', priority: 2 });
    const sub = await subscribeFor(t, srv.url, 'api_send');
    const other = await subscribeFor(t, srv.url, 'api_elsewhere');

    const r = await api(conn, 'send', { message: '  disk is full  ', title: 'Alert', tags: 'warning', priority: 5 });
    assert.equal(r.status, 200, r.stdout);
    const ev = await sub.waitForMessage('disk is full');
    assert.equal(ev.id, r.json.published_id);
    assert.equal(ev.title, 'Alert');
    assert.deepEqual(ev.tags, ['warning', 'quorvane']);
    assert.equal(ev.priority, 5);

    const r2 = await api(conn, 'send', { message: 'plain', topic: 'api_elsewhere', priority: 9 });
    assert.equal(r2.json.topic, 'api_elsewhere');
    const ev2 = await other.waitForMessage('plain');
    assert.equal(ev2.title, undefined);
    assert.deepEqual(ev2.tags, ['robot', 'quorvane']);
    assert.equal(ev2.priority, 2);
    const ledger = await readJson(conn.file('sent.json'));
    assert.ok(ledger.includes(ev.id) && ledger.includes(ev2.id));

    const refused = await api(conn, 'send', { message: 'x', topic: 'bad topic' });
    assert.equal(refused.status, 502);
    assert.deepEqual(refused.json, { ok: false, error: 'topic contains forbidden characters' });
  });

  test('a daemon on the same topic drops what send published as its own', async (t) => {
    const { srv, conn, dev } = await peers(t, { node: true });
    // Everyone is admitted, so only the loop guard keeps the notification from the agent.
    await saved(conn, {
      server_url: srv.url, topic: 'api_loop', target_session: SESSION, bot_api_url: dev.url, allow_all: true,
    });
    const d = await spawnExe(['--daemon'], { connectorsDir: conn.dir });
    t.after(() => d.close());
    await d.waitForOutput(/subscribed to /, { stream: 'stderr', timeoutMs: 8000 });
    const sub = await subscribeFor(t, srv.url, 'api_loop');
    const before = (await readJson(conn.file('status.json'))).own_echo_count;

    const r = await api(conn, 'send', { message: 'note to self' });
    assert.equal(r.status, 200, r.stdout);
    await sub.waitForMessage('note to self');
    await waitUntil(async () => (await readJson(conn.file('status.json'))).own_echo_count === before + 1,
      { what: 'the daemon to drop its own notification' });
    // A stranger's message on the same topic does reach the agent, so the daemon was listening.
    await publish(srv.url, 'api_loop', 'from a person');
    await dev.waitForInbox(/from a person/);
    assert.equal(dev.inbox.filter((m) => /note to self/.test(m.text)).length, 0);
  });
});

describe('behind lighttpd', () => {
  test('the status line carries the CGI status, the headers reach the gate and a POST body is read', async (t) => {
    const conn = await makeConnectorsDir();
    t.after(() => conn.cleanup());
    const web = await startLighttpd({ cgiEnv: { QV_CONNECTORS_DIR: conn.dir, HOME: conn.dir, BOT_PASSWORD: 'n0de-pw' } });
    t.after(() => web.close());

    const refused = await httpRequest(`${web.url}?action=info`);
    assert.equal(refused.status, 401);
    assert.deepEqual(refused.json, { ok: false, error: 'invalid node password' });
    assert.equal(refused.headers['content-type'], 'application/json; charset=utf-8');
    assert.equal(refused.headers['cache-control'], 'no-store');

    const byHeader = await httpRequest(`${web.url}?action=info`, { headers: { 'X-Bot-Password': 'n0de-pw' } });
    assert.equal(byHeader.status, 200);
    assert.equal(byHeader.json.connector_dir, conn.stateDir);
    const byBearer = await httpRequest(`${web.url}?action=info`, { headers: { Authorization: 'Bearer n0de-pw' } });
    assert.equal(byBearer.status, 200);
    assert.equal((await httpRequest(`${web.url}?action=info`, { headers: { Authorization: 'bearer n0de-pw' } })).status, 401);

    // The action and the fields travel in the body; the query string has neither.
    const save = await httpRequest(web.url, {
      method: 'POST', headers: { 'X-Bot-Password': 'n0de-pw' }, body: { action: 'save', topic: 'via_web', priority: 4 },
    });
    assert.equal(save.status, 200, save.text);
    assert.equal(save.json.config.topic, 'via_web');
    assert.equal((await readJson(conn.file('config.json'))).priority, 4);

    const unknown = await httpRequest(`${web.url}?action=nope`, { headers: { 'X-Bot-Password': 'n0de-pw' } });
    assert.equal(unknown.status, 400);
    assert.deepEqual(unknown.json, { ok: false, error: 'unknown action' });
    const stop = await httpRequest(`${web.url}?action=stop&pwd=n0de-pw`);
    assert.equal(stop.status, 404);
    assert.deepEqual(stop.json, { ok: false, error: 'the daemon is not running' });
  });

  test('start answers at once and the daemon keeps running; stop then ends it', async (t) => {
    const { srv, conn, dev } = await peers(t, { node: true });
    const web = await startLighttpd({ cgiEnv: { QV_CONNECTORS_DIR: conn.dir, HOME: conn.dir } });
    t.after(() => web.close());
    stopDaemonAfter(t, conn);
    const post = (action, body) => httpRequest(`${web.url}?action=${action}`, { method: 'POST', body: body ?? {} });

    assert.equal((await post('save', { server_url: srv.url, topic: 'api_web', target_session: SESSION, bot_api_url: dev.url })).status, 200);
    // A daemon that kept the CGI's output open would hold this answer until it ends: it never would.
    const started = await post('start');
    assert.equal(started.status, 200, started.text);
    assert.deepEqual(started.json, { ok: true, started: true });

    const pid = await waitUntil(async () => {
      try {
        const n = Number.parseInt(await readFile(conn.file('daemon.pid'), 'utf8'), 10);
        return n > 0 && pidAlive(n) ? n : 0;
      } catch {
        return 0;
      }
    }, { timeoutMs: 8000, what: 'the daemon to write its pid file' });
    const again = await post('start');
    assert.equal(again.status, 409);
    assert.deepEqual(again.json, { ok: false, error: 'the daemon is already running' });

    // The daemon works after the request that started it is long over.
    const sub = await subscribeFor(t, srv.url, 'api_web');
    await waitUntil(async () => (await readJson(conn.file('status.json'))).connected === 1,
      { timeoutMs: 8000, what: 'the daemon to subscribe' });
    await publish(srv.url, 'api_web', 'anyone there?');
    await sub.waitForMessage(/PAIR [A-Z2-9]{8}/, { timeoutMs: 5000 });
    const status = await post('status');
    assert.equal(status.json.status.running, 1);
    assert.equal(status.json.status.connected, 1);

    const stopped = await post('stop');
    assert.equal(stopped.status, 200, stopped.text);
    assert.deepEqual(stopped.json, { ok: true, stopped: true });
    assert.equal(pidAlive(pid), false);
    assert.equal((await post('stop')).status, 404);
    const after = await post('status');
    assert.equal(after.json.status.running, 0);
    assert.equal(after.json.status.connected, 0);

    const lines = (await post('logs')).json.log.trimEnd().split('\n').map((l) => l.slice(l.indexOf(' ') + 1));
    assert.equal(lines.at(-1), 'daemon stopped by the setup UI');
    assert.equal(lines.at(-2), 'daemon stopped');
    assert.ok(lines.includes('daemon started by the setup UI'));
  });
});

describe('many requests at once', () => {
  test('two hundred approvals at once: every one answered ok is in approved.json', async (t) => {
    const conn = await makeConnectorsDir();
    t.after(() => conn.cleanup());
    const keys = Array.from({ length: 200 }, (_, i) => createHash('sha256').update(`sender ${i}`).digest('hex'));
    const answers = await Promise.all(keys.map((key, i) => api(conn, 'approve', { key, label: `sender ${i}` })));
    // A request that cannot have the state folder in time says so; none may claim a change it lost.
    for (const r of answers) {
      if (r.json?.ok !== true) assert.deepEqual(r.json, { ok: false, error: 'cannot write the pairing store' }, r.stdout);
    }
    const ok = keys.filter((key, i) => answers[i].json?.ok === true);
    assert.ok(ok.length > 0);
    const stored = (await readJson(conn.file('approved.json'))).map((e) => e.key);
    assert.deepEqual(ok.filter((key) => !stored.includes(key)), []);
    assert.equal(stored.length, ok.length);
  });

  test('parallel approve, deny and save while a daemon queues senders: every file parses, no temporary is left', async (t) => {
    const { srv, conn, dev } = await peers(t, { node: true });
    const topic = 'api_busy';
    await saved(conn, { server_url: srv.url, topic, target_session: SESSION, bot_api_url: dev.url, reply_poll_ms: 100 });
    const d = await spawnExe(['--daemon'], { connectorsDir: conn.dir });
    t.after(() => d.close());
    await d.waitForOutput(/subscribed to /, { stream: 'stderr', timeoutMs: 8000 });

    // Twelve senders (told apart by their tags) wait in the queue.
    for (let i = 0; i < 12; i++) await publish(srv.url, topic, `hello ${i}`, { tags: [`sender${i}`] });
    const keys = await waitUntil(async () => {
      const r = await api(conn, 'pending');
      return r.json.pending.length === 12 ? r.json.pending.map((e) => e.key) : null;
    }, { timeoutMs: 10000, what: 'twelve queued senders' });

    // Meanwhile more senders keep the daemon writing the queue and the status.
    let publishing = true;
    const traffic = (async () => {
      for (let i = 0; publishing; i++) {
        await publish(srv.url, topic, `more ${i}`, { tags: [`late${i % 20}`] });
        await sleep(5);
      }
    })();
    const requests = [];
    for (let round = 0; round < 4; round++) {
      keys.forEach((key, i) => {
        const action = ['approve', 'deny', 'unapprove'][(i + round) % 3];
        requests.push(api(conn, action, { key, label: `sender ${i}` }));
      });
      requests.push(api(conn, 'save', { tags: `round${round}`, priority: round + 1, markdown: round % 2 === 0 }));
      requests.push(api(conn, 'save', { reply_prefix: `r${round}: ` }));
      requests.push(api(conn, 'pending'));
      requests.push(api(conn, 'status'));
    }
    const answers = await Promise.all(requests);
    publishing = false;
    await traffic;
    for (const r of answers) {
      assert.equal(r.status, 200, r.stdout);
      assert.equal(r.json?.ok, true, r.stdout);
    }
    // Let the daemon finish what it received, then stop it in order.
    await sleep(300);
    await d.close();

    const names = await readdir(conn.stateDir);
    for (const name of ['config.json', 'pending.json', 'approved.json', 'sent.json', 'status.json']) {
      assert.ok(names.includes(name), `${name} exists`);
      JSON.parse(await readFile(conn.file(name), 'utf8'));
    }
    assert.deepEqual(names.filter((n) => /\.tmp|\.qvwritable/.test(n)), []);
    const config = await readJson(conn.file('config.json'));
    assert.match(config.tags, /^round[0-3]$/);
  });
});

describe('answers that tell the owner the truth', () => {
  test('tokens as people write them reach the server; a write-only token is caught by the test action', async (t) => {
    const srv = await startNtfy({
      auth: true,
      users: [{ name: 'owner', access: { tk_in: 'rw', tk_out: 'rw' } }, { name: 'writer', access: { tk_in: 'wo', tk_out: 'wo' } }],
    });
    t.after(() => srv.close());
    const conn = await makeConnectorsDir();
    t.after(() => conn.cleanup());
    await saved(conn, { server_url: srv.url, topic: 'tk_in', publish_topic: 'tk_out', target_session: SESSION });
    // A bare token with the line break a paste brings, and user:password, as Basic credentials.
    const forms = [[`${srv.tokens.owner}\n`, `Bearer ${srv.tokens.owner}`],
      [' owner:pw-owner ', `Basic ${Buffer.from('owner:pw-owner').toString('base64')}`]];
    for (const [given, sent] of forms) {
      await saved(conn, { bearer_token: given });
      assert.equal((await readJson(conn.file('config.json'))).bearer_token, sent);
      const r = await api(conn, 'test');
      assert.equal(r.status, 200, r.stdout);
    }
    // The writer may publish the test notification, but the daemon could never read the topic.
    await saved(conn, { bearer_token: srv.tokens.writer });
    const r = await api(conn, 'test');
    assert.equal(r.status, 502, r.stdout);
    assert.match(r.json.error, /^published \(id \w+\), but reading the topic tk_in failed, so the daemon could not subscribe: ntfy server answered 403/);
    // What cannot be a header value is refused at the save.
    const bad = await api(conn, 'save', { bearer_token: `${srv.tokens.owner}\nX-Other: 1` });
    assert.equal(bad.status, 400);
    assert.equal((await readJson(conn.file('config.json'))).bearer_token, `Bearer ${srv.tokens.writer}`);
  });

  test('a body over 1 MiB answers 413 with or without CONTENT_LENGTH, one that never ends 408; nothing is saved', async (t) => {
    const conn = await makeConnectorsDir();
    t.after(() => conn.cleanup());
    await saved(conn, { topic: 'before' });
    const big = JSON.stringify({ topic: 'after', tags: 'x'.repeat(1048576) });
    const tooLarge = { ok: false, error: 'the request body is larger than 1 MiB (1048576 bytes): nothing was done' };
    for (const env of [{}, { CONTENT_LENGTH: undefined }]) {
      const r = await api(conn, 'save', big, { env });
      assert.equal(r.status, 413, JSON.stringify(env));
      assert.deepEqual(r.json, tooLarge);
    }
    // A web server that passes fewer bytes than CONTENT_LENGTH and never ends the input.
    const proc = await spawnExe([], {
      connectorsDir: conn.dir,
      env: { REQUEST_METHOD: 'POST', QUERY_STRING: 'action=save', CONTENT_LENGTH: '100', GATEWAY_INTERFACE: 'CGI/1.1' },
    });
    t.after(() => proc.close());
    proc.write('{"topic":"af');
    await proc.waitExit(15000);
    assert.match(proc.stdout(), /^Status: 408\r\n/);
    assert.ok(proc.stdout().includes('{"ok":false,"error":"the request body did not arrive within 10 s: nothing was done"}'));
    assert.equal((await readJson(conn.file('config.json'))).topic, 'before');
  });
});
