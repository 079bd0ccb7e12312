// The Windows executable (build-windows/chimewick.exe) under Wine against the same real peers on
// 127.0.0.1: the discovery texts byte for byte, the CGI gate, setup API actions with the state folder in
// the Wine prefix (a linked one refused), approvals at once that all land, an MCP session with the official client publishing to the real ntfy server (plain and
// TLS), and the daemon started detached and stopped through the setup API while it bridges a message.
// Skipped when the Windows executable or Wine is missing (scripts/build-windows makes both).
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { createHash } from 'node:crypto';
import { existsSync } from 'node:fs';
import { mkdir, open, readdir, readFile, rm, symlink } from 'node:fs/promises';
import path from 'node:path';
import { before, describe, test } from 'node:test';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { start as startDevnode } from '../../tools/devnode/devnode.mjs';
import {
  cleanEnv, freePort, makeTempDir, removeDir, repoRoot, runProcess, trackChild, waitUntil, withTimeout,
} from './lib/common.mjs';
import { parseCgi } from './lib/exe.mjs';
import { startNtfy } from './lib/ntfy.mjs';
import { publish, subscribe } from './lib/stream.mjs';

const winExe = process.env.QV_WIN_EXE || path.join(repoRoot, 'build-windows', 'chimewick.exe');
const prefix = process.env.WINEPREFIX || path.join(repoRoot, 'build-windows', 'wineprefix');

function findWine() {
  try {
    return execFileSync('sh', ['-c', 'command -v wine'], { encoding: 'utf8' }).trim() || null;
  } catch {
    return null;
  }
}
const wine = findWine();
const skip = !existsSync(winExe) ? `${winExe} is missing (scripts/build-windows)` : !wine ? 'wine is not installed' : false;

// Loader errors stay on: with plain -all a missing DLL only shows as exit status 53.
function wineEnv(env = {}) {
  return cleanEnv({ WINEPREFIX: prefix, WINEDEBUG: '-all,err+module', WINEDLLOVERRIDES: 'mscoree,mshtml=', ...env });
}

// Runs the executable to its end. Standard error goes to a file, not a pipe: Wine gives every process
// it starts the Unix standard error of its parent, so a daemon started by a CGI request would hold a
// pipe open for its whole life (on Windows it inherits nothing). Wine hands back only the low byte of
// a Windows exit code.
async function runWin(args, { env, input, timeoutMs = 20000 } = {}) {
  const dir = await makeTempDir('qv-win-');
  const errFile = path.join(dir, 'stderr');
  const err = await open(errFile, 'w');
  try {
    const child = trackChild(spawn(wine, [winExe, ...args], { env: wineEnv(env), stdio: ['pipe', 'pipe', err.fd] }));
    let stdout = '';
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', (chunk) => { stdout += chunk; });
    child.stdin.on('error', () => {});
    child.stdin.end(input ?? '');
    const exited = new Promise((resolve) => child.once('close', (code, signal) => resolve({ code, signal })));
    let result;
    try {
      result = await withTimeout(exited, timeoutMs, `wine chimewick.exe ${args.join(' ')}`);
    } catch (e) {
      child.kill('SIGKILL');
      throw e;
    }
    return {
      code: result.code === null ? null : result.code % 256, signal: result.signal, stdout,
      stderr: await readFile(errFile, 'utf8'),
    };
  } finally {
    await err.close();
    await removeDir(dir);
  }
}

// Starts the executable as a long-running child, its standard error in a file (as runWin, for the
// same reason). Returns {exited (the low byte of the exit code), running(), stderr(), end()}.
async function startWin(args, env) {
  const dir = await makeTempDir('qv-win-');
  const errFile = path.join(dir, 'stderr');
  const err = await open(errFile, 'w');
  const child = trackChild(spawn(wine, [winExe, ...args], { env: wineEnv(env), stdio: ['ignore', 'ignore', err.fd] }));
  await err.close();
  const exited = new Promise((resolve) => child.once('exit', (code) => resolve(code === null ? null : code % 256)));
  return {
    exited,
    running: () => child.exitCode === null && child.signalCode === null,
    stderr: () => readFile(errFile, 'utf8'),
    end: async () => {
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
      await removeDir(dir);
    },
  };
}

// Runs a Wine tool with no pipe of ours attached, to its end.
function runDetached(command, args) {
  return new Promise((resolve) => {
    const child = spawn(command, args, { env: wineEnv(), stdio: 'ignore' });
    child.once('error', () => resolve(null));
    child.once('exit', (code) => resolve(code));
  });
}

// A connectors root on the prefix's drive C:, as Windows sees it (`win`) and as this test reads it.
// Whatever still uses it is ended first (root.beforeRemoval): a running program makes the folder
// again on every state access, which a removal would race with.
let roots = 0;
async function stateRoot(t) {
  const name = `qv-sys-${process.pid}-${++roots}`;
  const unix = path.join(prefix, 'drive_c', name);
  await mkdir(unix, { recursive: true });
  const users = [];
  t.after(async () => {
    for (const end of users.reverse()) await end().catch(() => {});
    await rm(unix, { recursive: true, force: true, maxRetries: 5 });
  });
  return {
    win: `C:\\${name}`, dir: `C:\\${name}\\chimewick`, file: (n) => path.join(unix, 'chimewick', n),
    beforeRemoval: (end) => users.push(end),
  };
}

// A Linux file as Windows under Wine names it (drive Z: is the Unix root).
const zPath = (file) => `Z:${file.split('/').join('\\')}`;

async function cgi(root, { method = 'GET', query = {}, body, password, headers = {}, env = {} } = {}) {
  const text = body === undefined ? undefined : typeof body === 'string' ? body : JSON.stringify(body);
  const vars = {
    REQUEST_METHOD: method,
    QUERY_STRING: typeof query === 'string' ? query : new URLSearchParams(query).toString(),
    GATEWAY_INTERFACE: 'CGI/1.1',
    ...(root ? { QV_CONNECTORS_DIR: root.win } : {}),
    ...(password === undefined ? {} : { BOT_PASSWORD: password }),
    ...(text === undefined ? {} : { CONTENT_LENGTH: String(Buffer.byteLength(text)), CONTENT_TYPE: 'application/json' }),
  };
  for (const [name, value] of Object.entries(headers)) vars[`HTTP_${name.toUpperCase().replace(/-/g, '_')}`] = value;
  const res = await runWin([], { env: { ...vars, ...env }, input: text });
  return { ...res, ...parseCgi(res.stdout) };
}

const api = (root, action, body) => cgi(root, { method: body === undefined ? 'GET' : 'POST', query: { action }, body });
const readJson = async (file) => JSON.parse(await readFile(file, 'utf8'));

const META = '{"name":"ntfy","desc":"Push channel","version":"1.0.2","slug":"ntfy","id":"chimewick","kind":"hybrid",'
  + '"mcp":true,"daemon":true,"menus":false,"verified":"mock","category":"network","capabilities":['
  + '"https_outbound_ntfy_publish","https_outbound_ntfy_subscribe_stream","loopback_node_inbox_bridge",'
  + '"pairing_allowlist_state_0600","bundled_root_store_tls_verification","stdio_mcp_jsonrpc_server"],"tools":["ntfy_send"]}';
const SCHEMA = '{"tools":[{"name":"ntfy_send","description":"Send an ntfy push notification from the agent: alerts, '
  + 'report summaries, \'task finished\' pings. Posts to the configured ntfy server (default https://ntfy.sh) and the '
  + 'configured topic. Returns the published message id.","inputSchema":{  "type":"object",  "properties":{    '
  + '"message":{"type":"string","description":"Notification body (required)."},    "title":{"type":"string",'
  + '"description":"Optional notification title."},    "priority":{"type":"integer","description":"ntfy priority 1..5 '
  + '(min low .. max urgent). Default 3.","minimum":1,"maximum":5},    "tags":{"type":"string","description":'
  + '"Optional comma-separated emoji tag names, e.g. \'warning,bell\'."},    "topic":{"type":"string","description":'
  + '"Optional override topic (defaults to the configured publish topic)."}  },  "required":["message"]}}]}';
const USAGE = [
  'chimewick 1.0.2 -- QUORVANE BOT ntfy channel connector',
  '  --meta            JSON discovery metadata (unauthenticated)',
  '  --mcp             stdio MCP server exposing the ntfy_send tool',
  '  --schema          the tool schema only',
  '  --daemon          channel gateway: ntfy <-> node /inbox bridge',
  '  (no args, CGI)    Setup & Topic Pairing UI + ?action= JSON API',
];

describe('the Windows executable under Wine', { skip }, () => {
  // Wine starts the prefix's own services from the first program that runs, and they keep that
  // program's Unix standard streams: started by a test's run they would hold its output pipe open.
  // So the server is kept up (scripts/test already runs one; otherwise it ends 30 s after the last
  // program) and the services are started here first, with no pipe attached.
  before(async () => {
    await mkdir(prefix, { recursive: true });
    await runDetached('wineserver', ['-p30']);
    await runDetached(wine, ['wineboot']);
  });

  test('discovery texts: the exact bytes, each line ended by CR LF (they are written before binary mode)', async () => {
    const cases = [
      [['--meta'], {}, `${META}\r\n`],
      [['-m'], {}, `${META}\r\n`],
      [[], { QV_PLUGIN_META: '0' }, `${META}\r\n`],
      [['--schema'], {}, `${SCHEMA}\r\n`],
      [['--help'], {}, USAGE.map((l) => `${l}\r\n`).join('')],
      [['-s', '-h'], {}, USAGE.map((l) => `${l}\r\n`).join('')],
    ];
    for (const [args, env, want] of cases) {
      const r = await runWin(args, { env });
      assert.equal(r.code, 0, r.stderr);
      assert.equal(r.stdout, want, `${args.join(' ') || 'QV_PLUGIN_META'}`);
    }
    assert.deepEqual(JSON.parse(SCHEMA).tools[0].inputSchema.required, ['message']);
  });

  test('the CGI gate answers 401 with the exact bytes, and admits the node password', async (t) => {
    const root = await stateRoot(t);
    const refused = await cgi(root, { query: { action: 'status' }, password: 'n0de' });
    assert.equal(refused.code, 0);
    assert.equal(refused.stdout, 'Status: 401\r\nContent-Type: application/json; charset=utf-8\r\n'
      + 'Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n\r\n'
      + '{"ok":false,"error":"invalid node password"}\n');
    const admitted = await cgi(root, { query: { action: 'status' }, password: 'n0de', headers: { 'X-Bot-Password': 'n0de' } });
    assert.equal(admitted.status, 200, admitted.stdout);
    assert.equal(admitted.json.ok, true);
    const byQuery = await cgi(root, { query: { action: 'info', pwd: 'n0de' }, password: 'n0de' });
    assert.equal(byQuery.status, 200);
    assert.equal(byQuery.json.connector_dir, root.dir);
  });

  test('setup API actions keep the state folder in the Wine prefix', async (t) => {
    const root = await stateRoot(t);
    const info = await api(root, 'info');
    assert.equal(info.status, 200, info.stdout);
    assert.equal(info.json.connector_dir, root.dir);
    const unconfigured = await api(root, 'start', {});
    assert.equal(unconfigured.status, 400, unconfigured.stdout);
    assert.equal(unconfigured.json.ok, false);
    assert.equal(existsSync(root.file('daemon.log')), false);

    const save = await api(root, 'save', { topic: 'win_topic', target_session: 'main:chat', priority: 4, title_prefix: 'Win' });
    assert.equal(save.status, 200, save.stdout);
    assert.equal(save.json.valid, true, save.stdout);
    const stored = await readJson(root.file('config.json'));
    assert.equal(stored.topic, 'win_topic');
    assert.equal(stored.priority, 4);
    assert.equal((await api(root, 'config')).json.config.title_prefix, 'Win');

    assert.deepEqual((await api(root, 'pending')).json, { ok: true, pending: [] });
    assert.deepEqual((await api(root, 'logs')).json, { ok: true, log: '', bytes: 0 });
    const stop = await api(root, 'stop', {});
    assert.equal(stop.status, 404);
    assert.deepEqual(stop.json, { ok: false, error: 'the daemon is not running' });
  });

  test('twenty approvals at once: every one answered ok is in approved.json', async (t) => {
    const root = await stateRoot(t);
    const keys = Array.from({ length: 20 }, (_, i) => createHash('sha256').update(`win sender ${i}`).digest('hex'));
    const answers = await Promise.all(keys.map((key) => api(root, 'approve', { key })));
    for (const r of answers) {
      if (r.json?.ok !== true) assert.deepEqual(r.json, { ok: false, error: 'cannot write the pairing store' }, r.stdout);
    }
    const ok = keys.filter((key, i) => answers[i].json?.ok === true);
    assert.ok(ok.length > 0);
    const stored = (await readJson(root.file('approved.json'))).map((e) => e.key);
    assert.deepEqual(ok.filter((key) => !stored.includes(key)), []);
    assert.equal(stored.length, ok.length);
  });

  test('a state folder that is a link (a reparse point to Windows) is refused by name', async (t) => {
    const root = await stateRoot(t);
    const elsewhere = await makeTempDir('qv-win-elsewhere-');
    t.after(() => removeDir(elsewhere));
    await symlink(elsewhere, path.dirname(root.file('x')));
    const save = await api(root, 'save', { topic: 'win_topic' });
    assert.equal(save.status, 500, save.stdout);
    assert.deepEqual(save.json, {
      ok: false, error: `state folder ${root.dir} is a link or junction: replace it with a folder of your own`,
    });
    assert.deepEqual(await readdir(elsewhere), []);
  });

  test('without QV_CONNECTORS_DIR the state folder is under LOCALAPPDATA', async () => {
    const local = (await runProcess(wine, ['cmd', '/c', 'echo %LOCALAPPDATA%'], { env: wineEnv() })).stdout.trim();
    assert.match(local, /^C:\\users\\[^\\]+\\AppData\\Local$/);
    const info = await cgi(null, { query: { action: 'info' } });
    assert.equal(info.json.connector_dir, `${local}\\quorvane\\connectors\\chimewick`);
  });

  test('an MCP session with the official client publishes to the real ntfy server, over http and https', async (t) => {
    const srv = await startNtfy({ tls: true });
    t.after(() => srv.close());
    const root = await stateRoot(t);
    const connect = async (env) => {
      const transport = new StdioClientTransport({
        command: wine, args: [winExe, '--mcp'], env: wineEnv({ QV_CONNECTORS_DIR: root.win, ...env }), stderr: 'pipe',
      });
      const client = new Client({ name: 'chimewick-windows-test', version: '1.0.0' });
      await client.connect(transport);
      root.beforeRemoval(() => client.close());
      return client;
    };
    const client = await connect({ NTFY_SERVER_URL: srv.url, NTFY_TOPIC: 'win_mcp' });
    assert.deepEqual(client.getServerVersion(), { name: 'chimewick', version: '1.0.2' });
    assert.deepEqual((await client.listTools()).tools, JSON.parse(SCHEMA).tools);

    const sub = await subscribe(srv.url, 'win_mcp');
    t.after(() => sub.close());
    const result = await client.callTool({ name: 'ntfy_send', arguments: { message: 'from windows', title: 'Win', priority: 5 } });
    assert.equal(result.isError, false, result.content[0].text);
    const m = /^published to win_mcp \(id ([A-Za-z0-9]+), priority 5\)$/.exec(result.content[0].text);
    assert.ok(m, result.content[0].text);
    const ev = await sub.waitForMessage('from windows');
    assert.equal(ev.id, m[1]);
    assert.equal(ev.title, 'Win');
    assert.deepEqual(ev.tags, ['quorvane']);
    // The answer goes out before the id is noted in the ledger.
    await waitUntil(async () => {
      try {
        return JSON.stringify(await readJson(root.file('sent.json'))) === JSON.stringify([m[1]]);
      } catch {
        return false;
      }
    }, { what: 'the id in sent.json' });

    // TLS through Mbed TLS and Winsock: the self-signed server is refused by the embedded roots,
    // accepted with its certificate from a file named the Windows way, and accepted by its key's pin.
    const tlsEnv = { NTFY_SERVER_URL: srv.httpsUrl, NTFY_TOPIC: 'win_mcp' };
    const untrusted = await connect(tlsEnv);
    const refused = await untrusted.callTool({ name: 'ntfy_send', arguments: { message: 'must not arrive' } });
    assert.equal(refused.isError, true);
    assert.match(refused.content[0].text, /tls certificate rejected/);
    for (const [how, env] of [['ca file', { NTFY_CA_FILE: zPath(srv.tls.certFile) }], ['pin', { NTFY_TLS_PIN: srv.tls.pin }]]) {
      const secure = await connect({ ...tlsEnv, ...env });
      const overTls = await secure.callTool({ name: 'ntfy_send', arguments: { message: `over tls by ${how}` } });
      assert.equal(overTls.isError, false, overTls.content[0].text);
      await sub.waitForMessage(`over tls by ${how}`);
    }
  });

  test('the setup API starts the daemon detached; it bridges a message both ways and stops in order', async (t) => {
    const srv = await startNtfy();
    t.after(() => srv.close());
    const node = await startDevnode({ unref: true, replyDelayMs: 50, reply: 'echo: {text}' });
    t.after(() => node.close());
    const root = await stateRoot(t);
    root.beforeRemoval(() => api(root, 'stop', {}));
    const topic = 'win_daemon';
    const save = await api(root, 'save', {
      server_url: srv.url, topic, target_session: 'main:chat', bot_api_url: node.url, allow_all: true, reply_poll_ms: 200,
    });
    assert.equal(save.json.valid, true, save.stdout);

    // The request that starts the daemon ends at once: the daemon holds none of its output.
    const started = await api(root, 'start', {});
    assert.equal(started.status, 200, started.stdout);
    assert.deepEqual(started.json, { ok: true, started: true });
    await waitUntil(async () => {
      try {
        return (await readJson(root.file('status.json'))).connected === 1;
      } catch {
        return false;
      }
    }, { timeoutMs: 15000, what: 'the daemon to subscribe' });
    const pid = Number.parseInt(await readFile(root.file('daemon.pid'), 'utf8'), 10);
    assert.ok(pid > 0);
    const running = await api(root, 'status');
    assert.equal(running.json.status.running, 1);
    const again = await api(root, 'start', {});
    assert.equal(again.status, 409);

    const sub = await subscribe(srv.url, topic);
    t.after(() => sub.close());
    await publish(srv.url, topic, 'hello from the phone');
    const forwarded = await node.waitForInbox(/hello from the phone/, { timeoutMs: 10000 });
    assert.equal(forwarded.session, 'main:chat');
    const reply = await sub.waitForMessage(/echo: .*hello from the phone/, { timeoutMs: 10000 });
    assert.ok(reply.tags.includes('quorvane'));

    const stopped = await api(root, 'stop', {});
    assert.equal(stopped.status, 200, stopped.stdout);
    assert.deepEqual(stopped.json, { ok: true, stopped: true });
    assert.equal(existsSync(root.file('daemon.pid')), false);
    assert.equal((await api(root, 'stop', {})).status, 404);
    const after = await api(root, 'status');
    assert.equal(after.json.status.running, 0);
    // Asked through its stop event, the daemon ended in order before the setup UI noted the stop.
    assert.equal(after.json.status.connected, 0);
    const lines = (await api(root, 'logs')).json.log.trimEnd().split('\n').map((l) => l.slice(l.indexOf(' ') + 1));
    assert.equal(lines.at(-1), 'daemon stopped by the setup UI');
    assert.equal(lines.at(-2), 'daemon stopped');
    assert.ok(lines.includes('daemon started by the setup UI'));
  });

  test('two daemons started at the same instant: one runs, the other exits 3, and stop leaves none', { timeout: 240000 }, async (t) => {
    const root = await stateRoot(t);
    root.beforeRemoval(() => api(root, 'stop', {}));
    const save = await api(root, 'save', {
      server_url: `http://127.0.0.1:${await freePort()}`, topic: 'win_race', target_session: 'main:chat',
      bot_api_url: `http://127.0.0.1:${await freePort()}`,
    });
    assert.equal(save.json.valid, true, save.stdout);
    for (let round = 0; round < 3; round++) {
      const pair = await Promise.all([0, 1].map(() => startWin(['--daemon'], { QV_CONNECTORS_DIR: root.win })));
      for (const d of pair) root.beforeRemoval(() => d.end());
      const first = await withTimeout(Promise.race(pair.map((d, i) => d.exited.then((code) => ({ code, i })))),
        30000, `round ${round}: one daemon to give way`);
      assert.equal(first.code, 3, `round ${round}`);
      // Standard error is in text mode on Windows: the line ends in CR LF.
      assert.equal(await pair[first.i].stderr(), 'chimewick --daemon: another daemon is already running (daemon.pid)\r\n');
      const winner = pair[1 - first.i];
      await waitUntil(() => existsSync(root.file('daemon.pid')), { timeoutMs: 15000, what: 'the pid file' });
      assert.equal(winner.running(), true, `round ${round}`);
      assert.equal((await api(root, 'status')).json.status.running, 1);
      assert.deepEqual((await api(root, 'stop', {})).json, { ok: true, stopped: true });
      assert.equal(await withTimeout(winner.exited, 15000, 'the daemon to stop'), 0);
      assert.equal((await api(root, 'status')).json.status.running, 0);
    }
  });
});
