#!/usr/bin/env node
// Stand-in for the chat-agent node on this machine: its loopback /inbox and /conversation API, an agent that
// answers every inbox message after a delay, and a /_dev/ control API (plus an importable one) with which
// tests inspect and script it. Node's standard library only.
//
//   node tools/devnode/devnode.mjs [--port 8150] [--host 127.0.0.1] [--password P] [--delay MS]
//                                  [--reply 'echo: {text}'] [--no-reply] [--verbose]
import { createHash, timingSafeEqual } from 'node:crypto';
import { realpathSync } from 'node:fs';
import http from 'node:http';
import { performance } from 'node:perf_hooks';
import { fileURLToPath } from 'node:url';

const DEFAULT_PORT = 8150;
const DEFAULT_REPLY = 'echo: {text}';
const DEFAULT_REPLY_DELAY_MS = 100;
const DEFAULT_LIMIT = 100;
const MAX_LIMIT = 1000;
const MAX_BODY_BYTES = 1 << 20;
const REQUEST_LOG_MAX = 5000;
const LOOPBACK = new Set(['127.0.0.1', 'localhost', '::1']);

const PASSWORD_REFUSAL = { ok: false, error: 'invalid node password' };

function sameSecret(given, expected) {
  // Hashing first gives equal lengths, so the comparison time says nothing about the password.
  const a = createHash('sha256').update(String(given)).digest();
  const b = createHash('sha256').update(String(expected)).digest();
  return timingSafeEqual(a, b);
}

function sendJson(res, status, value) {
  const body = JSON.stringify(value);
  res.writeHead(status, { 'Content-Type': 'application/json; charset=utf-8', 'Content-Length': Buffer.byteLength(body) });
  res.end(body);
}

function readBody(req) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    let size = 0;
    req.on('data', (chunk) => {
      size += chunk.length;
      if (size > MAX_BODY_BYTES) {
        reject(Object.assign(new Error('request body too large'), { status: 413 }));
        req.destroy();
        return;
      }
      chunks.push(chunk);
    });
    req.on('end', () => resolve(Buffer.concat(chunks).toString('utf8')));
    req.on('error', reject);
  });
}

// Strict integer query value: digits with an optional minus sign, nothing else.
function intParam(params, name, fallback) {
  const raw = params.get(name);
  if (raw === null) return fallback;
  if (!/^-?\d{1,18}$/.test(raw)) return NaN;
  return Number(raw);
}

function makeReply(template, text, session) {
  if (typeof template === 'function') return String(template(text, session));
  return String(template).split('{text}').join(text);
}

// start({port=0, host='127.0.0.1', password='', replyDelayMs=100, reply='echo: {text}', autoReply=true,
//        replyRole='assistant', inboxDelayMs=0, verbose=false,
//        unref=false}) -> the node record (see the end of this file).
export async function start(options = {}) {
  const host = options.host ?? '127.0.0.1';
  if (!LOOPBACK.has(host)) throw new Error(`devnode listens on loopback only, not ${host}`);
  const config = {
    password: options.password ?? '',
    replyDelayMs: options.replyDelayMs ?? DEFAULT_REPLY_DELAY_MS,
    reply: options.reply ?? DEFAULT_REPLY,
    autoReply: options.autoReply ?? true,
    replyRole: options.replyRole ?? 'assistant',
    inboxDelayMs: options.inboxDelayMs ?? 0, // the /inbox answer comes this much after the message is in
  };
  const verbose = Boolean(options.verbose);
  const sessions = new Map(); // id -> array of entries, position = index + 1
  const inbox = [];
  const requests = [];
  const waiters = new Set();
  const timers = new Set();
  let down = null; // null, or {mode: 'status'|'reset'|'hang', status, body}
  let inboxSeq = 0;

  const say = (line) => { if (verbose) process.stderr.write(`devnode: ${line}\n`); };
  const entriesOf = (session) => {
    if (!sessions.has(session)) sessions.set(session, []);
    return sessions.get(session);
  };
  const notify = () => {
    for (const waiter of waiters) {
      const value = waiter.check();
      if (value) {
        clearTimeout(waiter.timer);
        waiters.delete(waiter);
        waiter.resolve(value);
      }
    }
  };
  const waitFor = (check, timeoutMs, what) => {
    const value = check();
    if (value) return Promise.resolve(value);
    return new Promise((resolve, reject) => {
      const waiter = { check, resolve };
      waiter.timer = setTimeout(() => {
        waiters.delete(waiter);
        reject(new Error(`devnode: timed out after ${timeoutMs} ms waiting for ${what}`));
      }, timeoutMs);
      waiters.add(waiter);
    });
  };

  // Appends one conversation entry and returns its position. An object gets a time stamp unless it has
  // one; anything else (a test's deliberately odd entry) is stored as it is.
  const appendEntry = (session, entry) => {
    const list = entriesOf(session);
    const stored = entry !== null && typeof entry === 'object' && !Array.isArray(entry) && Object.keys(entry).length > 0
      && !('time' in entry) ? { ...entry, time: Date.now() } : entry;
    list.push(stored);
    notify();
    return list.length;
  };
  const appendReply = (session, content, { role = config.replyRole } = {}) => {
    const position = appendEntry(session, { role, content });
    say(`agent reply in ${session} at ${position}: ${content}`);
    return position;
  };

  const scheduleReply = (session, text) => {
    if (!config.autoReply) return;
    const content = makeReply(config.reply, text, session);
    const timer = setTimeout(() => {
      timers.delete(timer);
      appendReply(session, content);
    }, Math.max(0, config.replyDelayMs));
    timers.add(timer);
  };

  const logRequest = (entry) => {
    requests.push(entry);
    if (requests.length > REQUEST_LOG_MAX) requests.splice(0, requests.length - REQUEST_LOG_MAX);
    notify();
  };

  // --- the node's API ----------------------------------------------------------------------------------
  async function handleInbox(req, res, params, record) {
    if (req.method !== 'POST') return sendJson(res, 405, { ok: false, error: 'method not allowed' });
    const session = params.get('id');
    if (!session) return sendJson(res, 400, { ok: false, error: 'missing id' });
    const mode = params.get('mode');
    if (mode !== 'queue') return sendJson(res, 400, { ok: false, error: `unsupported mode ${mode}` });
    const type = (req.headers['content-type'] ?? '').split(';')[0].trim().toLowerCase();
    if (type !== 'application/json') return sendJson(res, 415, { ok: false, error: 'expected application/json' });
    const raw = await readBody(req);
    let body;
    try {
      body = JSON.parse(raw);
    } catch {
      return sendJson(res, 400, { ok: false, error: 'body is not json' });
    }
    if (body === null || typeof body !== 'object' || typeof body.text !== 'string' || body.text === '') {
      return sendJson(res, 400, { ok: false, error: 'missing text' });
    }
    const position = appendEntry(session, { role: 'user', content: body.text });
    const message = {
      seq: ++inboxSeq, session, mode, text: body.text, bodyMode: body.mode, body: raw, headers: req.headers,
      position, receivedAt: Date.now(), at: performance.now(),
    };
    inbox.push(message);
    record.inbox = message.seq;
    say(`inbox ${session} #${message.seq}: ${body.text}`);
    notify();
    scheduleReply(session, body.text);
    if (config.inboxDelayMs > 0) await new Promise((resolve) => setTimeout(resolve, config.inboxDelayMs));
    return sendJson(res, 200, { ok: true, queued: true, id: session, position });
  }

  // Positions count from 1. `after` >= 0 answers the entries after that position, oldest first, at most
  // `limit`; a negative `after` answers the newest `limit` entries, so a client that starts with -1 is
  // placed at the end of the conversation instead of being handed its beginning.
  function handleConversation(req, res, params, record) {
    if (req.method !== 'GET') return sendJson(res, 405, { ok: false, error: 'method not allowed' });
    const session = params.get('id');
    if (!session) return sendJson(res, 400, { ok: false, error: 'missing id' });
    const after = intParam(params, 'after', -1);
    const limit = intParam(params, 'limit', DEFAULT_LIMIT);
    if (Number.isNaN(after)) return sendJson(res, 400, { ok: false, error: 'after must be an integer' });
    if (Number.isNaN(limit) || limit < 1 || limit > MAX_LIMIT) {
      return sendJson(res, 400, { ok: false, error: `limit must be 1 to ${MAX_LIMIT}` });
    }
    const list = sessions.get(session) ?? [];
    const first = after < 0 ? Math.max(0, list.length - limit) : Math.min(after, list.length);
    const messages = list.slice(first, first + limit);
    record.after = after;
    record.returned = messages.length;
    return sendJson(res, 200, { ok: true, id: session, start_index: first, total: list.length, messages });
  }

  // --- the control API -----------------------------------------------------------------------------------
  async function handleControl(req, res, url) {
    const params = url.searchParams;
    const route = `${req.method} ${url.pathname}`;
    const body = req.method === 'POST' ? await readBody(req) : '';
    let input = {};
    if (body.trim() !== '') {
      try {
        input = JSON.parse(body);
      } catch {
        return sendJson(res, 400, { ok: false, error: 'body is not json' });
      }
    }
    switch (route) {
      case 'GET /_dev/state':
        return sendJson(res, 200, { ok: true, config: publicConfig(), down, inboxCount: inbox.length,
          sessions: Object.fromEntries([...sessions].map(([id, list]) => [id, list.length])) });
      case 'GET /_dev/inbox': {
        const session = params.get('id');
        const since = intParam(params, 'after', 0);
        const messages = inbox.filter((m) => (!session || m.session === session) && m.seq > since);
        return sendJson(res, 200, { ok: true, messages });
      }
      case 'GET /_dev/conversation':
        return sendJson(res, 200, { ok: true, id: params.get('id'), entries: sessions.get(params.get('id') ?? '') ?? [] });
      case 'GET /_dev/requests':
        return sendJson(res, 200, { ok: true, requests });
      case 'POST /_dev/reply': {
        const session = params.get('id') ?? input.id;
        if (!session) return sendJson(res, 400, { ok: false, error: 'missing id' });
        const position = 'raw' in input ? appendEntry(session, input.raw)
          : appendReply(session, String(input.content ?? ''), { role: input.role ?? config.replyRole });
        return sendJson(res, 200, { ok: true, position });
      }
      case 'POST /_dev/config':
        applyConfig(input);
        return sendJson(res, 200, { ok: true, config: publicConfig() });
      case 'POST /_dev/down':
        setDown(input);
        return sendJson(res, 200, { ok: true, down });
      case 'POST /_dev/up':
        down = null;
        return sendJson(res, 200, { ok: true, down });
      case 'POST /_dev/reset':
        reset();
        return sendJson(res, 200, { ok: true });
      default:
        return sendJson(res, 404, { ok: false, error: `no control route ${route}` });
    }
  }

  const publicConfig = () => ({ ...config, password: config.password ? '(set)' : '',
    reply: typeof config.reply === 'function' ? '(function)' : config.reply });

  function applyConfig(input) {
    if (input.replyDelayMs !== undefined) config.replyDelayMs = Number(input.replyDelayMs);
    if (input.reply !== undefined) config.reply = input.reply;
    if (input.autoReply !== undefined) config.autoReply = Boolean(input.autoReply);
    if (input.replyRole !== undefined) config.replyRole = String(input.replyRole);
    if (input.password !== undefined) config.password = String(input.password ?? '');
  }

  // mode 'status' answers `status` (503) with `body`; 'reset' drops the connection without an answer;
  // 'hang' accepts the request and never answers.
  function setDown(spec = {}) {
    const s = typeof spec === 'string' ? { mode: spec } : spec;
    const mode = s.mode ?? 'status';
    if (!['status', 'reset', 'hang'].includes(mode)) {
      throw Object.assign(new Error(`unknown down mode ${mode}`), { status: 400 });
    }
    down = { mode, status: s.status ?? 503, body: s.body ?? 'node is down' };
  }

  function reset() {
    for (const timer of timers) clearTimeout(timer);
    timers.clear();
    sessions.clear();
    inbox.length = 0;
    requests.length = 0;
    inboxSeq = 0;
    down = null;
  }

  async function route(req, res) {
    const url = new URL(req.url, 'http://devnode.invalid');
    if (url.pathname.startsWith('/_dev/')) return handleControl(req, res, url);
    const record = { method: req.method, path: req.url, pathname: url.pathname, headers: req.headers,
      at: performance.now(), receivedAt: Date.now(), status: 0 };
    res.on('finish', () => { record.status = res.statusCode; logRequest(record); });
    res.on('close', () => { if (!res.writableFinished) logRequest(record); });
    if (down) {
      if (down.mode === 'reset') return req.socket.destroy();
      if (down.mode === 'hang') return undefined;
      res.writeHead(down.status, { 'Content-Type': 'text/plain; charset=utf-8' });
      return res.end(down.body);
    }
    if (config.password && !sameSecret(req.headers['x-bot-password'] ?? '', config.password)) {
      return sendJson(res, 401, PASSWORD_REFUSAL);
    }
    if (url.pathname === '/inbox') return handleInbox(req, res, url.searchParams, record);
    if (url.pathname === '/conversation') return handleConversation(req, res, url.searchParams, record);
    return sendJson(res, 404, { ok: false, error: 'not found' });
  }

  const server = http.createServer((req, res) => {
    route(req, res).catch((err) => {
      if (!res.headersSent) sendJson(res, err.status ?? 500, { ok: false, error: err.message });
      else res.destroy();
    });
  });
  // Keep-alive is off: the program opens one connection per request, and a lingering idle socket would
  // only delay close().
  server.keepAliveTimeout = 1;
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen({ port: options.port ?? 0, host, exclusive: true }, () => {
      server.off('error', reject);
      resolve();
    });
  });
  // A test that forgets close() must not keep its process alive; the command line keeps the reference.
  if (options.unref) server.unref();
  const { port } = server.address();
  let listening = true;
  const urlHost = host === '::1' ? '[::1]' : host;

  return {
    url: `http://${urlHost}:${port}`,
    port,
    host,
    server,
    config,
    inbox, // live list of {seq, session, mode, text, bodyMode, body, headers, position, receivedAt, at}
    requests, // live list of node API requests: {method, path, pathname, headers, status, at, receivedAt, ...}
    inboxFor: (session) => inbox.filter((m) => m.session === session),
    conversation: (session) => [...(sessions.get(session) ?? [])],
    appendReply,
    appendEntry,
    setReplyDelay: (ms) => { config.replyDelayMs = ms; },
    setReply: (template) => { config.reply = template; },
    setAutoReply: (on) => { config.autoReply = Boolean(on); },
    setPassword: (password) => { config.password = password ?? ''; },
    setDown,
    setUp: () => { down = null; },
    isDown: () => down !== null,
    reset,
    // Resolves with the first inbox message (from seq `after` on) that satisfies match: a predicate, the
    // exact text, or a RegExp over the text.
    waitForInbox(match = () => true, { timeoutMs = 5000, after = 0 } = {}) {
      const test = typeof match === 'function' ? match
        : match instanceof RegExp ? (m) => match.test(m.text) : (m) => m.text === match;
      return waitFor(() => inbox.find((m) => m.seq > after && test(m)), timeoutMs, `inbox message ${match}`);
    },
    // Resolves with the first logged node API request that satisfies pred (e.g. a /conversation poll).
    waitForRequest(pred, { timeoutMs = 5000, from = 0 } = {}) {
      return waitFor(() => requests.slice(from).find(pred), timeoutMs, 'a matching request');
    },
    // Resolves once the session holds at least `count` entries; with the entries.
    waitForEntries(session, count, { timeoutMs = 5000 } = {}) {
      return waitFor(() => ((sessions.get(session)?.length ?? 0) >= count ? [...sessions.get(session)] : null),
        timeoutMs, `${count} entries in ${session}`);
    },
    // The node not running at all: connections are refused until listenAgain(), which takes the same port
    // back and keeps every session, message and setting.
    async stopListening() {
      if (!listening) return;
      listening = false;
      server.closeAllConnections();
      await new Promise((resolve) => server.close(() => resolve()));
    },
    async listenAgain() {
      if (listening) return;
      await new Promise((resolve, reject) => {
        server.once('error', reject);
        server.listen({ port, host, exclusive: true }, () => {
          server.off('error', reject);
          resolve();
        });
      });
      listening = true;
    },
    async close() {
      for (const timer of timers) clearTimeout(timer);
      timers.clear();
      for (const waiter of waiters) {
        clearTimeout(waiter.timer);
      }
      waiters.clear();
      if (!listening) return;
      listening = false;
      server.closeAllConnections();
      await new Promise((resolve) => server.close(() => resolve()));
    },
  };
}

// --- command line ----------------------------------------------------------------------------------------
function parseArgs(argv) {
  const opts = { port: DEFAULT_PORT };
  const value = (i, name) => {
    if (i + 1 >= argv.length) throw new Error(`${name} needs a value`);
    return argv[i + 1];
  };
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    switch (arg) {
      case '--port': opts.port = Number(value(i, arg)); i++; break;
      case '--host': opts.host = value(i, arg); i++; break;
      case '--password': opts.password = value(i, arg); i++; break;
      case '--delay': opts.replyDelayMs = Number(value(i, arg)); i++; break;
      case '--reply': opts.reply = value(i, arg); i++; break;
      case '--no-reply': opts.autoReply = false; break;
      case '--verbose': opts.verbose = true; break;
      case '--help':
        process.stdout.write('usage: devnode.mjs [--port 8150] [--host 127.0.0.1] [--password P] [--delay MS]\n'
          + "                  [--reply 'echo: {text}'] [--no-reply] [--verbose]\n");
        process.exit(0);
        break;
      default: throw new Error(`unknown argument ${arg}`);
    }
  }
  if (!Number.isInteger(opts.port) || opts.port < 0 || opts.port > 65535) throw new Error('--port must be 0 to 65535');
  if (opts.replyDelayMs !== undefined && !(opts.replyDelayMs >= 0)) throw new Error('--delay must be 0 or more');
  return opts;
}

async function main() {
  let node;
  try {
    node = await start(parseArgs(process.argv.slice(2)));
  } catch (err) {
    process.stderr.write(`devnode: ${err.message}\n`);
    process.exit(2);
  }
  process.stdout.write(`devnode listening on ${node.url}${node.config.password ? ' (password required)' : ''}\n`);
  const stop = () => {
    node.close().then(() => process.exit(0));
  };
  process.on('SIGINT', stop);
  process.on('SIGTERM', stop);
}

const invokedDirectly = (() => {
  try {
    return process.argv[1] && realpathSync(process.argv[1]) === realpathSync(fileURLToPath(import.meta.url));
  } catch {
    return false;
  }
})();
if (invokedDirectly) main();

// Node record returned by start():
//   url, port, host, server, config
//   inbox, requests (live lists), inboxFor(session), conversation(session)
//   appendReply(session, content, {role}), appendEntry(session, anyValue)   -> position
//   setReplyDelay(ms), setReply('text {text}' | fn(text, session)), setAutoReply(bool), setPassword(p)
//   setDown('status' | 'reset' | 'hang' | {mode, status, body}), setUp(), isDown(), reset()
//   stopListening(), listenAgain()   connections refused meanwhile, same port and state afterwards
//   waitForInbox(match, {timeoutMs, after}), waitForRequest(pred, {timeoutMs, from}),
//   waitForEntries(session, count, {timeoutMs}), close()
// Control API over HTTP (never password-guarded, loopback only):
//   GET /_dev/state | /_dev/inbox?id=&after=<seq> | /_dev/conversation?id= | /_dev/requests
//   POST /_dev/reply?id= {content, role} or {raw}    POST /_dev/config {replyDelayMs, reply, autoReply,
//   replyRole, password}    POST /_dev/down {mode, status, body}    POST /_dev/up    POST /_dev/reset
