// The system-test harness checked against its real peers: the ntfy server helper and stream collector,
// the devnode stand-in for the chat-agent node (as chimewick talks to it), and the executable runner.
import assert from 'node:assert/strict';
import { createServer } from 'node:http';
import net from 'node:net';
import path from 'node:path';
import tls from 'node:tls';
import { describe, test } from 'node:test';
import { start as startDevnode } from '../../tools/devnode/devnode.mjs';
import {
  cleanEnv, httpRequest, ownsListeningPort, pidAlive, repoRoot, runProcess, spawnProcess, spkiPin, waitUntil,
  withTimeout,
} from './lib/common.mjs';
import { exeEnv, makeConnectorsDir, runCgi, runExe } from './lib/exe.mjs';
import { startNtfy } from './lib/ntfy.mjs';
import { basic, bearer, poll, publish, subscribe } from './lib/stream.mjs';

const devnodeScript = path.join(repoRoot, 'tools', 'devnode', 'devnode.mjs');

async function ntfyFor(t, options) {
  const srv = await startNtfy(options);
  t.after(() => srv.close());
  return srv;
}

async function subscribeFor(t, ...args) {
  const sub = await subscribe(...args);
  t.after(() => sub.close());
  return sub;
}

async function devnodeFor(t, options) {
  const node = await startDevnode({ unref: true, ...options });
  t.after(() => node.close());
  return node;
}

describe('ntfy server helper and stream collector', () => {
  test('a published message reaches the stream with its title, tags, priority and markdown', async (t) => {
    const srv = await ntfyFor(t);
    assert.ok(await srv.running());
    const sub = await subscribeFor(t, srv.url, 'harness_basic');
    assert.equal(sub.events[0].event, 'open');

    const pub = await publish(srv.url, 'harness_basic', 'hello **there**',
      { title: 'Greeting', tags: ['wave', 'test'], priority: 4, markdown: true });
    assert.equal(pub.status, 200);
    assert.match(pub.id, /^[A-Za-z0-9]+$/);

    const ev = await sub.waitForMessage('hello **there**');
    assert.equal(ev.id, pub.id);
    assert.equal(ev.topic, 'harness_basic');
    assert.equal(ev.title, 'Greeting');
    assert.deepEqual(ev.tags, ['wave', 'test']);
    assert.equal(ev.priority, 4);
    assert.equal(ev.content_type, 'text/markdown');
  });

  test('since=<id> replays only what came after that id; the cache keeps everything', async (t) => {
    const srv = await ntfyFor(t);
    const ids = [];
    for (const text of ['one', 'two', 'three']) ids.push((await publish(srv.url, 'harness_since', text)).id);

    const sub = await subscribeFor(t, srv.url, 'harness_since', { since: ids[0] });
    const replayed = await sub.waitForCount(2);
    assert.deepEqual(replayed.map((e) => e.id), ids.slice(1));

    const cached = await poll(srv.url, 'harness_since');
    assert.deepEqual(cached.events.map((e) => e.message), ['one', 'two', 'three']);
  });

  test('an access-controlled topic refuses anonymous and wrong credentials and takes a token', async (t) => {
    const srv = await ntfyFor(t, { auth: true, users: [{ name: 'alice', access: { harness_secret: 'rw' } }] });
    const token = srv.tokens.alice;
    assert.match(token, /^tk_/);

    assert.equal((await publish(srv.url, 'harness_secret', 'anon')).status, 403);
    assert.equal((await publish(srv.url, 'harness_secret', 'wrong', { auth: bearer('tk_wrongwrongwrongwrongwrongwro') })).status, 401);
    const refused = await subscribeFor(t, srv.url, 'harness_secret');
    assert.equal(refused.status, 403);

    const sub = await subscribeFor(t, srv.url, 'harness_secret', { auth: bearer(token) });
    assert.equal(sub.status, 200);
    const viaToken = await publish(srv.url, 'harness_secret', 'with token', { auth: bearer(token) });
    assert.equal(viaToken.status, 200);
    const viaBasic = await publish(srv.url, 'harness_secret', 'with basic', { auth: basic('alice', srv.passwords.alice) });
    assert.equal(viaBasic.status, 200);
    await sub.waitForMessage('with basic');
    assert.deepEqual(sub.messages.map((e) => e.message), ['with token', 'with basic']);
  });

  test('stop ends open streams; restart comes back on the same port with the cache intact', async (t) => {
    const srv = await ntfyFor(t);
    const port = srv.port;
    const firstPid = srv.pid;
    const before = await publish(srv.url, 'harness_restart', 'before');
    const sub = await subscribeFor(t, srv.url, 'harness_restart');

    await srv.stop();
    await withTimeout(sub.ended, 5000, 'the stream to end');
    assert.equal(await srv.running(), false);
    assert.equal(pidAlive(firstPid), false);
    await assert.rejects(publish(srv.url, 'harness_restart', 'while down', { timeoutMs: 1000 }));

    await srv.restart();
    assert.equal(srv.port, port);
    assert.notEqual(srv.pid, firstPid);
    assert.ok(await srv.running());
    const replay = await subscribeFor(t, srv.url, 'harness_restart', { since: 'all' });
    const ev = await replay.waitForMessage('before');
    assert.equal(ev.id, before.id);
  });

  test('tls: the server presents the generated certificate, whose pin the helper reports', async (t) => {
    const srv = await ntfyFor(t, { tls: true });
    assert.match(srv.httpsUrl, /^https:\/\/localhost:\d+$/);
    const presented = await new Promise((resolve, reject) => {
      const socket = tls.connect({ host: '127.0.0.1', port: srv.httpsPort, servername: 'localhost', rejectUnauthorized: false },
        () => {
          const cert = socket.getPeerX509Certificate();
          socket.end();
          resolve(cert);
        });
      socket.on('error', reject);
    });
    assert.equal(spkiPin(presented.publicKey.export({ type: 'spki', format: 'der' })), srv.tls.pin);
    assert.match(srv.tls.pin, /^[0-9a-f]{64}$/);

    await assert.rejects(publish(srv.httpsUrl, 'harness_tls', 'untrusted'), /self-signed|certificate/i);
    const pub = await publish(srv.httpsUrl, 'harness_tls', 'trusted', { ca: srv.tls.certPem });
    assert.equal(pub.status, 200);
  });

  test('a port answered by another process is not taken for our server', async (t) => {
    const impostor = createServer((req, res) => {
      res.writeHead(200, { 'Content-Type': 'application/json' });
      res.end('{"healthy":true}');
    });
    await new Promise((resolve) => impostor.listen(0, '127.0.0.1', resolve));
    t.after(() => new Promise((resolve) => impostor.close(resolve)));
    const { port } = impostor.address();
    assert.equal(await ownsListeningPort(process.pid, port), true);

    await assert.rejects(startNtfy({ port }), /ntfy exited while starting|timed out/);
  });
});

describe('devnode, as chimewick uses it', () => {
  const inbox = (node, session, text, { password, headers = {} } = {}) => httpRequest(
    `${node.url}/inbox?id=${encodeURIComponent(session)}&mode=queue`,
    { method: 'POST', headers: { 'Content-Type': 'application/json', ...(password ? { 'X-Bot-Password': password } : {}), ...headers },
      body: JSON.stringify({ text, mode: 'queue' }) },
  );
  const conversation = (node, session, after, { limit = 100, password } = {}) => httpRequest(
    `${node.url}/conversation?id=${encodeURIComponent(session)}&after=${after}&limit=${limit}`,
    { headers: { Accept: 'application/json', ...(password ? { 'X-Bot-Password': password } : {}) } },
  );
  // Positions as chimewick computes them: start_index + 1 + k.
  const positions = (answer) => answer.json.messages.map((_, k) => answer.json.start_index + 1 + k);

  test('an inbox message joins the session and the agent answers after its delay', async (t) => {
    const node = await devnodeFor(t, { replyDelayMs: 30 });
    const res = await inbox(node, 'main session', '[ntfy] hello');
    assert.equal(res.status, 200);
    assert.equal(node.inbox.length, 1);
    assert.equal(node.inbox[0].session, 'main session');
    assert.equal(node.inbox[0].text, '[ntfy] hello');
    assert.equal(node.inbox[0].bodyMode, 'queue');

    await node.waitForEntries('main session', 2);
    const all = await conversation(node, 'main session', 0);
    assert.equal(all.status, 200);
    assert.deepEqual(all.json.messages.map((m) => [m.role, m.content]),
      [['user', '[ntfy] hello'], ['assistant', 'echo: [ntfy] hello']]);
    assert.deepEqual(positions(all), [1, 2]);

    const afterUser = await conversation(node, 'main session', 1);
    assert.deepEqual(positions(afterUser), [2]);
    assert.equal(afterUser.json.messages[0].role, 'assistant');
    assert.deepEqual((await conversation(node, 'main session', 2)).json.messages, []);
    assert.deepEqual((await conversation(node, 'other', 0)).json.messages, []);
  });

  // The bytes chimewick's own client writes: its fixed head lines, the caller's lines, the length line.
  const rawRequest = (node, method, target, lines, body = '') => new Promise((resolve, reject) => {
    const head = [`${method} ${target} HTTP/1.1`, `Host: 127.0.0.1:${node.port}`, 'User-Agent: quorvane-bot-chimewick/1.0.0',
      'Accept: */*', 'Accept-Encoding: identity', 'Connection: close', ...lines];
    if (body.length > 0 || method === 'POST') head.push(`Content-Length: ${Buffer.byteLength(body)}`);
    const socket = net.connect(node.port, '127.0.0.1', () => socket.end(`${head.join('\r\n')}\r\n\r\n${body}`));
    const chunks = [];
    socket.on('data', (c) => chunks.push(c));
    socket.on('end', () => {
      const text = Buffer.concat(chunks).toString('utf8');
      const split = text.indexOf('\r\n\r\n');
      resolve({ status: Number(text.slice(9, 12)), head: text.slice(0, split), body: text.slice(split + 4) });
    });
    socket.on('error', reject);
    socket.setTimeout(2000, () => socket.destroy(new Error('the node did not close the connection')));
  });

  test('answers the exact requests chimewick writes, percent-encoded session included, and closes', async (t) => {
    const node = await devnodeFor(t, { password: 'pw', replyDelayMs: 0, reply: 'ok' });
    const session = 'B%C3%BCro%201';
    const body = JSON.stringify({ text: '[ntfy] hi', mode: 'queue' });
    const posted = await rawRequest(node, 'POST', `/inbox?id=${session}&mode=queue`,
      ['Content-Type: application/json', 'X-Bot-Password: pw'], body);
    assert.equal(posted.status, 200, posted.body);
    assert.equal(node.inbox[0].session, 'Büro 1');
    assert.equal(node.inbox[0].body, body);
    await node.waitForEntries('Büro 1', 2);

    const polled = await rawRequest(node, 'GET', `/conversation?id=${session}&after=1&limit=100`,
      ['Accept: application/json', 'X-Bot-Password: pw']);
    assert.equal(polled.status, 200, polled.body);
    const answer = JSON.parse(polled.body);
    assert.equal(answer.start_index, 1);
    assert.deepEqual(answer.messages.map((m) => [m.role, m.content]), [['assistant', 'ok']]);
  });

  test('after=-1 places a new reader at the end; paging by position visits every entry once', async (t) => {
    const node = await devnodeFor(t, { autoReply: false });
    for (let i = 1; i <= 5; i++) node.appendReply('s', `reply ${i}`);

    const seed = await conversation(node, 's', -1, { limit: 2 });
    assert.deepEqual(positions(seed), [4, 5]);

    const seen = [];
    let cursor = 0;
    for (let round = 0; round < 10; round++) {
      const page = await conversation(node, 's', cursor, { limit: 2 });
      if (page.json.messages.length === 0) break;
      seen.push(...page.json.messages.map((m) => m.content));
      cursor = Math.max(cursor, ...positions(page));
    }
    assert.deepEqual(seen, ['reply 1', 'reply 2', 'reply 3', 'reply 4', 'reply 5']);
    assert.equal(cursor, 5);
  });

  test('with a password, every request must carry X-Bot-Password', async (t) => {
    const node = await devnodeFor(t, { password: 's3cret', replyDelayMs: 0 });
    const cases = [
      ['inbox without password', () => inbox(node, 's', 'x'), 401],
      ['inbox with a wrong password', () => inbox(node, 's', 'x', { password: 's3cre' }), 401],
      ['inbox with the password as bearer only', () => inbox(node, 's', 'x', { headers: { Authorization: 'Bearer s3cret' } }), 401],
      ['conversation without password', () => conversation(node, 's', 0), 401],
      ['inbox with the password', () => inbox(node, 's', 'x', { password: 's3cret' }), 200],
      ['conversation with the password', () => conversation(node, 's', 0, { password: 's3cret' }), 200],
    ];
    for (const [name, call, status] of cases) {
      const res = await call();
      assert.equal(res.status, status, name);
      if (status === 401) assert.deepEqual(res.json, { ok: false, error: 'invalid node password' }, name);
    }
    assert.deepEqual(node.inbox.map((m) => m.text), ['x']);
  });

  test('requests that do not match what chimewick sends are refused', async (t) => {
    const node = await devnodeFor(t, { autoReply: false });
    const post = (query, body, type = 'application/json') => httpRequest(`${node.url}/inbox?${query}`,
      { method: 'POST', headers: { 'Content-Type': type }, body });
    const cases = [
      ['GET on /inbox', () => httpRequest(`${node.url}/inbox?id=s&mode=queue`), 405],
      ['no session id', () => post('mode=queue', '{"text":"a","mode":"queue"}'), 400],
      ['another mode', () => post('id=s&mode=now', '{"text":"a","mode":"queue"}'), 400],
      ['not json content', () => post('id=s&mode=queue', '{"text":"a"}', 'text/plain'), 415],
      ['body not json', () => post('id=s&mode=queue', '{"text":'), 400],
      ['no text', () => post('id=s&mode=queue', '{"mode":"queue"}'), 400],
      ['after not a number', () => httpRequest(`${node.url}/conversation?id=s&after=1x&limit=100`), 400],
      ['limit zero', () => httpRequest(`${node.url}/conversation?id=s&after=0&limit=0`), 400],
      ['unknown path', () => httpRequest(`${node.url}/nothing`), 404],
    ];
    for (const [name, call, status] of cases) assert.equal((await call()).status, status, name);
    assert.equal(node.inbox.length, 0);
  });

  test('down modes: an error status with a body, a reset connection, a request never answered, refusal', async (t) => {
    const node = await devnodeFor(t, { autoReply: false });
    node.setDown({ mode: 'status', status: 503, body: 'agent busy' });
    const busy = await inbox(node, 's', 'x');
    assert.equal(busy.status, 503);
    assert.equal(busy.text, 'agent busy');

    node.setDown('reset');
    await assert.rejects(inbox(node, 's', 'x'), /socket hang up|ECONNRESET/);

    node.setDown('hang');
    await assert.rejects(httpRequest(`${node.url}/conversation?id=s&after=0&limit=100`, { timeoutMs: 300 }), /timed out/);

    node.setUp();
    assert.equal((await inbox(node, 's', 'x')).status, 200);
    assert.deepEqual(node.inbox.map((m) => m.text), ['x']);

    await node.stopListening();
    await assert.rejects(inbox(node, 's', 'y'), /ECONNREFUSED/);
    await node.listenAgain();
    assert.equal((await inbox(node, 's', 'z')).status, 200);
    assert.deepEqual(node.inbox.map((m) => m.text), ['x', 'z']);
  });

  test('the HTTP control API inspects and scripts the node', async (t) => {
    const node = await devnodeFor(t, { autoReply: false });
    const control = (route, body) => httpRequest(`${node.url}/_dev/${route}`,
      body === undefined ? {} : { method: 'POST', body });

    await control('config', { replyDelayMs: 0, reply: 're: {text}', autoReply: true });
    await inbox(node, 'c', 'ping');
    await node.waitForEntries('c', 2);
    const listed = await control('inbox?id=c');
    assert.deepEqual(listed.json.messages.map((m) => m.text), ['ping']);

    const scripted = await control('reply?id=c', { content: 'scripted', role: 'assistant' });
    assert.equal(scripted.json.position, 3);
    const odd = await control('reply?id=c', { raw: 42 });
    assert.equal(odd.json.position, 4);
    const conv = await control('conversation?id=c');
    assert.deepEqual(conv.json.entries.map((e) => (typeof e === 'object' ? e.content : e)), ['ping', 're: ping', 'scripted', 42]);

    await control('down', { mode: 'status', status: 500, body: 'broken' });
    assert.equal((await conversation(node, 'c', 0)).status, 500);
    assert.equal((await control('state')).json.down.status, 500);
    await control('up', {});
    assert.equal((await conversation(node, 'c', 0)).status, 200);
    const requests = (await control('requests')).json.requests;
    assert.ok(requests.some((r) => r.pathname === '/conversation' && r.status === 500));

    await control('reset', {});
    assert.deepEqual((await control('state')).json.sessions, {});
    assert.equal((await control('nothing')).status, 404);
  });

  test('standalone: prints one ready line, guards with the password, stops on SIGTERM', async (t) => {
    const proc = spawnProcess(process.execPath, [devnodeScript, '--port', '0', '--password', 'pw', '--delay', '0']);
    t.after(() => proc.stop());
    const ready = await proc.waitForOutput(/listening on (http:\/\/127\.0\.0\.1:\d+)/);
    assert.equal(ready.trim().split('\n').length, 1);
    const url = /listening on (http:\/\/127\.0\.0\.1:\d+)/.exec(ready)[1];
    assert.equal((await httpRequest(`${url}/conversation?id=s&after=0&limit=100`)).status, 401);
    const ok = await httpRequest(`${url}/conversation?id=s&after=0&limit=100`, { headers: { 'X-Bot-Password': 'pw' } });
    assert.equal(ok.status, 200);
    assert.deepEqual(await proc.stop(), { code: 0, signal: null });

    const refused = await runProcess(process.execPath, [devnodeScript, '--port', '0', '--host', '0.0.0.0']);
    assert.equal(refused.code, 2);
    assert.match(refused.stderr, /loopback only/);
  });
});

describe('executable runner', () => {
  test('chimewick --meta prints the discovery metadata', async () => {
    const res = await runExe(['--meta']);
    assert.equal(res.code, 0, res.stderr);
    const meta = JSON.parse(res.stdout);
    assert.equal(meta.id, 'chimewick');
    assert.equal(meta.version, '1.0.2');
    assert.deepEqual(meta.tools, ['ntfy_send']);
  });

  test('children never inherit variables that steer chimewick', async (t) => {
    const saved = { NTFY_TOPIC: process.env.NTFY_TOPIC, BOT_PASSWORD: process.env.BOT_PASSWORD };
    t.after(() => {
      for (const [k, v] of Object.entries(saved)) {
        if (v === undefined) delete process.env[k];
        else process.env[k] = v;
      }
    });
    process.env.NTFY_TOPIC = 'leaked';
    process.env.BOT_PASSWORD = 'leaked';
    const conn = await makeConnectorsDir();
    t.after(() => conn.cleanup());
    const env = exeEnv(conn.dir, { NTFY_PRIORITY: '5' });
    assert.equal(env.NTFY_TOPIC, undefined);
    assert.equal(env.BOT_PASSWORD, undefined);
    assert.equal(env.NTFY_PRIORITY, '5');
    assert.equal(env.QV_CONNECTORS_DIR, conn.dir);
    assert.equal(env.HOME, conn.dir);
    assert.equal(cleanEnv({ PATH: undefined }).PATH, undefined);
  });

  test('runCgi speaks CGI: the password gate answers 401 as JSON', async () => {
    const res = await runCgi({ password: 'pw', query: { action: 'status' } });
    assert.equal(res.code, 0, res.stderr);
    assert.equal(res.status, 401);
    assert.match(res.headers['content-type'], /^application\/json/);
    assert.deepEqual(res.json, { ok: false, error: 'invalid node password' });
  });

  test('stop escalates to SIGKILL for a child that ignores SIGTERM', async (t) => {
    const stubborn = spawnProcess(process.execPath,
      ['-e', 'process.on("SIGTERM", () => {}); console.log("up"); setInterval(() => {}, 1000);']);
    t.after(() => stubborn.stop({ signal: 'SIGKILL' }));
    await stubborn.waitForOutput('up');
    assert.deepEqual(await stubborn.stop({ timeoutMs: 300 }), { code: null, signal: 'SIGKILL' });
    assert.equal(pidAlive(stubborn.pid), false);
  });

  test('children a test forgets are killed when its process exits, which it does at once', async () => {
    const common = path.join(repoRoot, 'tests', 'system', 'lib', 'common.mjs');
    const script = `import { spawnProcess } from ${JSON.stringify(common)};
      const p = spawnProcess('sleep', ['30']); console.log(p.pid);`;
    const res = await runProcess(process.execPath, ['--input-type=module', '-e', script], { timeoutMs: 5000 });
    assert.equal(res.code, 0, res.stderr);
    const pid = Number.parseInt(res.stdout, 10);
    assert.ok(pid > 0);
    await waitUntil(() => !pidAlive(pid), { timeoutMs: 2000, what: `forgotten child ${pid} to be gone` });
  });
});
