// Benchmark: chimewick's channel gateway (--daemon) against the ntfy command-line client bridging a topic to
// a command, and chimewick with private device topics on beside off (`ntfy subscribe <url>/<topic> '<command>'`), in one run against the real ntfy server and the
// devnode on 127.0.0.1. Started by bench/daemon.sh; prints medians, rates, memory and their ratios.
//
//   node bench/daemon.mjs EXE
//   MESSAGES=10000 LATENCY_SAMPLES=200 REPLY_SAMPLES=40 REPLY_POLL_MS=700 PUBLISHERS=4 STREAM_ROUNDS=4
//   SERVER_PROBE=2000 STRACE_MESSAGES=1000 BASELINE_EXE=<another build of chimewick>
//
// The server runs with its message cache off, so that it takes messages faster than either bridge handles
// them; how fast it takes them alone, with the cache off and on, is printed first.
//
// The anchor's command writes the message id into a FIFO this process reads, so "handled" means the same
// moment for both: the anchor ran its command, the daemon's POST reached the devnode's /inbox.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { performance } from 'node:perf_hooks';
import { start as startDevnode } from '../tools/devnode/devnode.mjs';
import { cleanEnv, makeTempDir, removeDir, sleep, spawnProcess, waitUntil, withTimeout } from '../tests/system/lib/common.mjs';
import { exeEnv } from '../tests/system/lib/exe.mjs';
import { ntfyBinaries, startNtfy } from '../tests/system/lib/ntfy.mjs';
import { subscribe } from '../tests/system/lib/stream.mjs';

const positive = (name, fallback) => {
  const value = Number.parseInt(process.env[name] ?? '', 10);
  return Number.isFinite(value) && value > 0 ? value : fallback;
};
const MESSAGES = positive('MESSAGES', 10000);
const LATENCY_SAMPLES = positive('LATENCY_SAMPLES', 200);
const REPLY_SAMPLES = positive('REPLY_SAMPLES', 40);
const REPLY_POLL_MS = positive('REPLY_POLL_MS', 700);
const PUBLISHERS = positive('PUBLISHERS', 4);
const STREAM_ROUNDS = positive('STREAM_ROUNDS', 4);
const SERVER_PROBE = positive('SERVER_PROBE', 2000);
const STRACE_MESSAGES = positive('STRACE_MESSAGES', 1000);
// Another build of chimewick (today's main, say) run beside this one on its own topic, in the same rounds.
const BASELINE_EXE = process.env.BASELINE_EXE || '';

const ANCHOR_TOPIC = 'bench_anchor';
const DAEMON_TOPIC = 'bench_daemon';
const SESSION = 'main:bench';
const TLS_TOPIC = 'bench_daemon_tls';
const TLS_SESSION = 'main:bench-tls';
const PRIVATE_LOBBY = 'bench_lobby';
const PRIVATE_SESSION = 'main:bench-private';
const BASE_TOPIC = 'bench_daemon_base';
const BASE_SESSION = 'main:bench-base';
const WAIT_MS = 5000;              // one message's deadline in the latency runs
const START_MS = 15000;            // a process to subscribe
const STREAM_BASE_MS = 20000;      // a throughput run: this plus STREAM_PER_MESSAGE_MS per message
const STREAM_PER_MESSAGE_MS = 20;
const RSS_MESSAGES = 10000;        // the memory goal is stated after this many messages

const exe = process.argv[2];
if (!exe) {
  process.stderr.write('usage: node bench/daemon.mjs EXE\n');
  process.exit(2);
}
const say = (text) => process.stderr.write(`daemon bench: ${text}\n`);

// --- cleanup: everything started is stopped, also on an interrupt --------------------------------------------
const cleanups = [];
async function stopAll() {
  while (cleanups.length > 0) {
    const stop = cleanups.pop();
    try {
      await stop();
    } catch (err) {
      say(`cleanup: ${err.message}`);
    }
  }
}
for (const signal of ['SIGINT', 'SIGTERM']) {
  process.on(signal, () => {
    stopAll().finally(() => process.exit(130));
  });
}

// --- the bridges must stay up: a wait for one that has exited would only run into its deadline ------------------
const watched = [];
function checkAlive() {
  for (const { name, proc } of watched) {
    if (!proc.running()) throw new Error(`${name} exited: ${proc.stderr().slice(-2000)}`);
  }
}

// --- small statistics ------------------------------------------------------------------------------------------
const sorted = (v) => [...v].sort((a, b) => a - b);
const quantile = (v, q) => (v.length === 0 ? NaN : sorted(v)[Math.min(v.length - 1, Math.floor(q * v.length))]);
const median = (v) => {
  const s = sorted(v);
  const h = Math.floor(s.length / 2);
  return s.length === 0 ? NaN : s.length % 2 === 1 ? s[h] : (s[h - 1] + s[h]) / 2;
};
const mean = (v) => (v.length === 0 ? NaN : v.reduce((a, b) => a + b, 0) / v.length);
const fmt = (x, digits = 2) => (Number.isFinite(x) ? x.toFixed(digits) : 'n/a');
const row = (label, value, unit = '') => process.stdout.write(`  ${label.padEnd(58)} ${value.padStart(10)} ${unit}\n`);
const goal = (label, met) => process.stdout.write(`  ${label.padEnd(58)} ${(met ? 'met' : 'MISSED').padStart(10)}\n`);
const randomBetween = (lo, hi) => lo + Math.random() * (hi - lo);

// --- /proc readings ----------------------------------------------------------------------------------------------
function memoryKb(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  const field = (name) => Number((new RegExp(`^${name}:\\s+(\\d+) kB`, 'm').exec(status) ?? [])[1]);
  return { rss: field('VmRSS'), hwm: field('VmHWM') };
}

// CPU time of a process and of its children it has waited for, in ms.
function cpuMs(pid) {
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  const f = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  const ticks = Number(f[11]) + Number(f[12]) + Number(f[13]) + Number(f[14]);
  return (ticks * 1000) / 100; // USER_HZ is 100 on Linux
}

// --- publishing ----------------------------------------------------------------------------------------------------
// One POST to the topic on a kept-alive connection. Resolves with {at, id}: `at` is when the answer was read.
function post(agent, port, topic, text) {
  return new Promise((resolve, reject) => {
    const req = http.request({
      host: '127.0.0.1', port, path: `/${topic}`, method: 'POST', agent,
      headers: { 'Content-Length': Buffer.byteLength(text) },
    }, (res) => {
      let body = '';
      res.setEncoding('utf8');
      res.on('data', (chunk) => { body += chunk; });
      res.on('end', () => {
        const at = performance.now();
        if (res.statusCode !== 200) return reject(new Error(`publish answered ${res.statusCode}: ${body}`));
        let id;
        try {
          id = JSON.parse(body).id;
        } catch {
          return reject(new Error(`publish answer without an id: ${body}`));
        }
        return resolve({ at, id });
      });
    });
    req.setTimeout(WAIT_MS, () => req.destroy(new Error('publish timed out')));
    req.on('error', reject);
    req.end(text);
  });
}

// Publishes count messages made by text(i) with PUBLISHERS requests in flight, as fast as the server answers.
async function publishStream(agent, port, topic, count, text) {
  const ids = new Array(count);
  let next = 0;
  let last = 0;
  const worker = async () => {
    while (next < count) {
      const i = next++;
      const r = await post(agent, port, topic, text(i));
      ids[i] = r.id;
      last = Math.max(last, r.at);
    }
  };
  await Promise.all(Array.from({ length: PUBLISHERS }, worker));
  return { ids, lastAnswered: last };
}

// --- the anchor's FIFO -------------------------------------------------------------------------------------------
// Opened read-write, so the FIFO never reports an end when a command closes its end.
function openFifo(file) {
  execFileSync('mkfifo', ['-m', '600', file]);
  const fd = fs.openSync(file, fs.constants.O_RDWR | fs.constants.O_NONBLOCK);
  const sock = new net.Socket({ fd, readable: true, writable: false });
  const fifo = { seen: new Map(), order: [], waiters: new Map(), sock };
  let pending = '';
  sock.setEncoding('utf8');
  sock.on('data', (chunk) => {
    const at = performance.now();
    pending += chunk;
    let nl;
    while ((nl = pending.indexOf('\n')) >= 0) {
      const id = pending.slice(0, nl);
      pending = pending.slice(nl + 1);
      if (!fifo.seen.has(id)) fifo.seen.set(id, at);
      fifo.order.push(id);
      const waiter = fifo.waiters.get(id);
      if (waiter) {
        fifo.waiters.delete(id);
        waiter(at);
      }
    }
  });
  fifo.waitFor = (id, timeoutMs) => {
    if (fifo.seen.has(id)) return Promise.resolve(fifo.seen.get(id));
    return withTimeout(new Promise((resolve) => fifo.waiters.set(id, resolve)), timeoutMs, `the anchor to run for ${id}`)
      .finally(() => fifo.waiters.delete(id));
  };
  fifo.close = () => sock.destroy();
  return fifo;
}

// --- the two bridges -----------------------------------------------------------------------------------------------
async function startAnchor(srv, dir, agent) {
  const fifoFile = path.join(dir, 'anchor.fifo');
  const fifo = openFifo(fifoFile);
  cleanups.push(async () => fifo.close());
  const command = `printf '%s\\n' "$NTFY_ID" >> '${fifoFile}'`;
  const proc = spawnProcess(ntfyBinaries['2.11'], ['subscribe', `${srv.url}/${ANCHOR_TOPIC}`, command],
    { env: cleanEnv({ HOME: dir, TMPDIR: dir }), cwd: dir, stdin: 'ignore' });
  cleanups.push(() => proc.stop());
  // The client says nothing once subscribed: publish until a command has run.
  let k = 0;
  await waitUntil(async () => {
    if (!proc.running()) throw new Error(`ntfy subscribe exited: ${proc.stderr()}`);
    const { id } = await post(agent, srv.port, ANCHOR_TOPIC, `warm-up ${k++}`);
    await sleep(100);
    return fifo.seen.has(id);
  }, { timeoutMs: START_MS, intervalMs: 1, what: 'ntfy subscribe to run its command' });
  return { proc, fifo };
}

// A daemon on its own topic and session; `server` is the server's http or https address, `trust` more settings.
async function startDaemon(node, dir, { server, topic, session, trust = {}, program = exe }) {
  const env = exeEnv(dir, {
    NTFY_SERVER_URL: server, NTFY_TOPIC: topic, NTFY_TARGET_SESSION: session, NTFY_BOT_API_URL: node.url,
    NTFY_REPLY_POLL_MS: REPLY_POLL_MS, ...trust,
  });
  const proc = spawnProcess(program, ['--daemon'], { env, stdin: 'ignore' });
  cleanups.push(() => proc.stop());
  await proc.waitForOutput(/subscribed to /, { stream: 'stderr', timeoutMs: START_MS });
  return proc;
}

// With private topics: one device approved beforehand (approved.json as the page writes it), so its
// messages come on its own topic, beside the lobby, in the daemon's one subscription.
async function startPrivateDaemon(node, dir, server) {
  const device = `${PRIVATE_LOBBY}-${'x'.repeat(22)}`;
  fs.mkdirSync(path.join(dir, 'chimewick'), { mode: 0o700 });
  const entry = { key: 'b'.repeat(64), label: 'bench', added_at: 1, last_seen: 1, count: 0, via: 0, topic: device };
  fs.writeFileSync(path.join(dir, 'chimewick', 'approved.json'), JSON.stringify([entry]), { mode: 0o600 });
  const proc = await startDaemon(node, dir, { server, topic: PRIVATE_LOBBY, session: PRIVATE_SESSION,
    trust: { NTFY_PRIVATE_TOPICS: '1' } });
  return { proc, device };
}

// The real pairing flow, as a phone does it: the daemon challenges the unknown sender, the sender answers
// with the code, and from then on it is one approved sender.
async function pair(srv, node, agent, topic, session) {
  const phone = await subscribe(srv.url, topic);
  try {
    const from = phone.mark();
    await post(agent, srv.port, topic, 'hello');
    const challenge = await phone.waitForMessage(/PAIR [A-Z0-9]{4,16}/, { timeoutMs: WAIT_MS, from });
    const code = /PAIR ([A-Z0-9]{4,16})/.exec(challenge.message)[1];
    await post(agent, srv.port, topic, `PAIR ${code}`);
    await phone.waitForMessage(/^Paired\./, { timeoutMs: WAIT_MS, from });
    await post(agent, srv.port, topic, 'paired and ready');
    await node.waitForInbox((m) => m.session === session && m.text.endsWith('paired and ready'), { timeoutMs: WAIT_MS });
  } finally {
    phone.close();
  }
}

// --- measurements --------------------------------------------------------------------------------------------------
// Publish answered -> handled, one message at a time, anchor and daemon taking turns. The time from the
// publish request's start is kept too: ntfy hands the event to its subscribers before it answers, so a
// fast bridge can finish before the answer is read.
async function inboundLatency(srv, node, anchor, agent) {
  const r = { ours: [], theirs: [], oursFromSent: [], theirsFromSent: [], lostOurs: 0, lostTheirs: 0 };
  for (let i = 0; i < LATENCY_SAMPLES; i++) {
    let sent = performance.now();
    const a = await post(agent, srv.port, ANCHOR_TOPIC, `latency ${i}`);
    try {
      const at = await anchor.fifo.waitFor(a.id, WAIT_MS);
      r.theirs.push(at - a.at);
      r.theirsFromSent.push(at - sent);
    } catch {
      checkAlive();
      r.lostTheirs++;
    }
    await sleep(randomBetween(5, 25));
    const text = `latency ${i}`;
    const seen = node.inbox.length;
    sent = performance.now();
    const d = await post(agent, srv.port, DAEMON_TOPIC, text);
    try {
      const m = await waitUntil(() => node.inbox.slice(seen).find((e) => e.text.endsWith(`] ${text}`)),
        { timeoutMs: WAIT_MS, intervalMs: 1, what: `the inbox to receive ${text}` });
      r.ours.push(m.at - d.at);
      r.oursFromSent.push(m.at - sent);
    } catch {
      checkAlive();
      r.lostOurs++;
    }
    await sleep(randomBetween(5, 25));
  }
  return r;
}

// Devnode appends a reply -> the reply's event on the topic. The relay polls every REPLY_POLL_MS, so the
// appends are spread evenly over that period (shuffled), counted from the previous reply's arrival, which
// follows a poll closely.
async function replyLatency(srv, node) {
  const phone = await subscribe(srv.url, DAEMON_TOPIC);
  const latencies = [];
  let lost = 0;
  try {
    const arrival = async (text) => {
      const from = phone.mark();
      const ev = await phone.waitForMessage(text, { timeoutMs: REPLY_POLL_MS * 3 + WAIT_MS, from });
      return phone.received.find((r) => r.event === ev).at;
    };
    node.appendReply(SESSION, 'reply warm-up');
    await arrival('reply warm-up');
    const offsets = Array.from({ length: REPLY_SAMPLES }, (_, k) => ((k + Math.random()) / REPLY_SAMPLES) * REPLY_POLL_MS);
    for (let k = offsets.length - 1; k > 0; k--) {
      const j = Math.floor(Math.random() * (k + 1));
      [offsets[k], offsets[j]] = [offsets[j], offsets[k]];
    }
    for (let k = 0; k < offsets.length; k++) {
      await sleep(offsets[k]);
      const text = `reply ${k}`;
      const appended = performance.now();
      node.appendReply(SESSION, text);
      try {
        latencies.push((await arrival(text)) - appended);
      } catch {
        checkAlive();
        lost++;
      }
    }
  } finally {
    phone.close();
  }
  return { latencies, lost };
}

// One batch of `count` messages from one sender, published as fast as the server takes them; handled per
// second up to the last one handled. counter(ids) makes the check of what has been handled so far: a function
// answering {count, lastAt}, reading only what arrived since its previous call (the bench must not eat the
// CPU it measures).
async function throughput(srv, agent, topic, pid, counter, label, count) {
  const cpuBefore = cpuMs(pid);
  const serverBefore = cpuMs(srv.pid);
  const benchBefore = process.cpuUsage();
  const started = performance.now();
  const { ids, lastAnswered } = await publishStream(agent, srv.port, topic, count, (i) => `stream ${label} ${i}`);
  const deadline = started + STREAM_BASE_MS + STREAM_PER_MESSAGE_MS * count;
  const handled = counter(ids);
  let state = handled();
  while (state.count < count && performance.now() < deadline) {
    checkAlive();
    await sleep(20);
    state = handled();
  }
  const end = state.count === count ? state.lastAt : performance.now();
  return {
    count,
    handled: state.count,
    rate: (state.count * 1000) / (end - started),
    publishMs: lastAnswered - started,
    cpu: cpuMs(pid) - cpuBefore,
    serverCpu: cpuMs(srv.pid) - serverBefore,
    benchCpu: ((u) => (u.user + u.system) / 1000)(process.cpuUsage(benchBefore)),
  };
}

const hasStrace = () => {
  try {
    execFileSync('strace', ['-V'], { stdio: 'ignore' });
    return true;
  } catch {
    return false;
  }
};

// System calls per message: strace -c attached to the running daemon for one batch of STRACE_MESSAGES (its
// own batch, after the timed rounds: tracing slows a process down). {perMessage, top: [[name, calls]...]}.
async function syscallsPerMessage(srv, agent, topic, pid, counter, label) {
  const file = path.join(os.tmpdir(), `qv-bench-strace-${pid}-${Date.now()}.txt`);
  const tracer = spawnProcess('strace', ['-c', '-f', '-p', String(pid), '-o', file], { stdin: 'ignore' });
  cleanups.push(() => tracer.stop({ signal: 'SIGINT' }));
  await sleep(500); // attached once it prints nothing more than its start
  const r = await throughput(srv, agent, topic, pid, counter, label, STRACE_MESSAGES);
  tracer.kill('SIGINT');
  await tracer.waitExit(10000);
  const rows = fs.readFileSync(file, 'utf8').split('\n').map((l) => l.trim().split(/\s+/)).filter((f) => f.length >= 5 && /^\d/.test(f[0]));
  fs.rmSync(file, { force: true });
  // Columns: % time, seconds, usecs/call, calls, [errors,] name; the last row is the total.
  const calls = (f) => Number(f[3]);
  const total = rows.find((f) => f[f.length - 1] === 'total');
  const top = rows.filter((f) => f[f.length - 1] !== 'total').sort((a, b) => calls(b) - calls(a)).slice(0, 8)
    .map((f) => [f[f.length - 1], calls(f)]);
  return { perMessage: total ? calls(total) / r.handled : NaN, handled: r.handled, top };
}

// The batches of one bridge added up: rates per batch, everything else in sums.
function series() {
  const t = { rates: [], count: 0, handled: 0, publishMs: 0, cpu: 0, serverCpu: 0, benchCpu: 0 };
  t.add = (r) => {
    t.rates.push(r.rate);
    for (const key of ['count', 'handled', 'publishMs', 'cpu', 'serverCpu', 'benchCpu']) t[key] += r[key];
  };
  t.lost = () => t.count - t.handled;
  t.rate = () => median(t.rates);
  t.publishRate = () => (t.count * 1000) / t.publishMs;
  t.per = (key) => t[key] / t.count;
  return t;
}

// The anchor has handled a message once its id came through the FIFO.
const fifoCounter = (fifo, from) => (ids) => {
  const expected = new Set(ids);
  const done = new Set();
  let next = from;
  let lastAt = 0;
  return () => {
    for (; next < fifo.order.length; next++) {
      const id = fifo.order[next];
      if (expected.has(id) && !done.has(id)) {
        done.add(id);
        lastAt = Math.max(lastAt, fifo.seen.get(id));
      }
    }
    return { count: done.size, lastAt };
  };
};

// The daemon has handled a message once the devnode's /inbox received it; `twice` counts repeats.
const inboxCounter = (node, from, label, tally) => () => {
  const done = new Set();
  let next = from;
  let lastAt = 0;
  const pattern = new RegExp(`\\] stream ${label} (\\d+)$`);
  return () => {
    for (; next < node.inbox.length; next++) {
      const m = pattern.exec(node.inbox[next].text);
      if (!m) continue;
      if (done.has(m[1])) {
        tally.twice++;
        continue;
      }
      done.add(m[1]);
      lastAt = Math.max(lastAt, node.inbox[next].at);
    }
    return { count: done.size, lastAt };
  };
};

// How fast the server alone takes SERVER_PROBE messages into a topic nobody subscribed to.
async function serverRate(srv) {
  const agent = new http.Agent({ keepAlive: true, maxSockets: PUBLISHERS });
  try {
    const started = performance.now();
    const { lastAnswered } = await publishStream(agent, srv.port, 'bench_nobody', SERVER_PROBE, (i) => `probe ${i}`);
    return (SERVER_PROBE * 1000) / (lastAnswered - started);
  } finally {
    agent.destroy();
  }
}

const loadAverage = () => fs.readFileSync('/proc/loadavg', 'utf8').split(' ')[0];

async function main() {
  const loadAtStart = loadAverage();
  const dir = await makeTempDir('qv-bench-daemon-');
  cleanups.push(() => removeDir(dir));
  say(`the server alone, ${SERVER_PROBE} messages with its cache on, then off`);
  const cached = await startNtfy({ logLevel: 'warn' });
  let cachedRate;
  try {
    cachedRate = await serverRate(cached);
  } finally {
    await cached.close();
  }
  const srv = await startNtfy({ logLevel: 'warn', cacheDuration: '0', tls: true });
  cleanups.push(() => srv.close());
  const uncachedRate = await serverRate(srv);
  const node = await startDevnode({ autoReply: false });
  cleanups.push(() => node.close());
  const agent = new http.Agent({ keepAlive: true, maxSockets: PUBLISHERS });
  cleanups.push(async () => agent.destroy());

  const anchorDir = path.join(dir, 'anchor');
  const daemonDir = path.join(dir, 'daemon');
  const tlsDir = path.join(dir, 'daemon-tls');
  const privateDir = path.join(dir, 'daemon-private');
  for (const d of [anchorDir, daemonDir, tlsDir, privateDir]) fs.mkdirSync(d, { mode: 0o700 });
  say(`ntfy ${srv.url} and ${srv.httpsUrl}, devnode ${node.url}; starting the anchor and the daemons`);
  const anchor = await startAnchor(srv, anchorDir, agent);
  watched.push({ name: 'ntfy subscribe', proc: anchor.proc });
  const daemon = await startDaemon(node, daemonDir, { server: srv.url, topic: DAEMON_TOPIC, session: SESSION });
  const baseDir = path.join(dir, 'daemon-base');
  let base = null;
  if (BASELINE_EXE) {
    fs.mkdirSync(baseDir, { mode: 0o700 });
    base = await startDaemon(node, baseDir, { server: srv.url, topic: BASE_TOPIC, session: BASE_SESSION, program: BASELINE_EXE });
    watched.push({ name: 'the baseline daemon', proc: base });
    await pair(srv, node, agent, BASE_TOPIC, BASE_SESSION);
  }
  // The same over https, trusting the server's self-signed certificate, as most servers are reached.
  const tlsDaemon = await startDaemon(node, tlsDir,
    { server: srv.httpsUrl, topic: TLS_TOPIC, session: TLS_SESSION, trust: { NTFY_CA_FILE: srv.tls.certFile } });
  const priv = await startPrivateDaemon(node, privateDir, srv.url);
  watched.push({ name: 'the daemon', proc: daemon }, { name: 'the https daemon', proc: tlsDaemon },
    { name: 'the private-topics daemon', proc: priv.proc });
  await pair(srv, node, agent, DAEMON_TOPIC, SESSION);
  await pair(srv, node, agent, TLS_TOPIC, TLS_SESSION);
  const rssStart = { ours: memoryKb(daemon.pid), tls: memoryKb(tlsDaemon.pid), theirs: memoryKb(anchor.proc.pid) };

  say(`inbound latency, ${LATENCY_SAMPLES} messages each, taking turns`);
  const lat = await inboundLatency(srv, node, anchor, agent);
  say(`reply latency, ${REPLY_SAMPLES} replies, reply_poll_ms ${REPLY_POLL_MS}`);
  const reply = await replyLatency(srv, node);

  // The machine is shared: the three bridges take turns in rounds, so that a change of load falls on all.
  say(`inbound throughput, ${MESSAGES} messages each in ${STREAM_ROUNDS} rounds, taking turns`);
  const tpTheirs = series();
  const tpOurs = series();
  const tpTls = series();
  const tpBase = series();
  const tally = { twice: 0 };
  const tlsTally = { twice: 0 };
  const tpPrivate = series();
  const privateTally = { twice: 0 };
  const baseTally = { twice: 0 };
  const runs = [
    (n, round) => throughput(srv, agent, ANCHOR_TOPIC, anchor.proc.pid,
      fifoCounter(anchor.fifo, anchor.fifo.order.length), `anchor r${round}`, n).then(tpTheirs.add),
    (n, round) => throughput(srv, agent, DAEMON_TOPIC, daemon.pid,
      inboxCounter(node, node.inbox.length, `daemon r${round}`, tally), `daemon r${round}`, n).then(tpOurs.add),
    (n, round) => throughput(srv, agent, TLS_TOPIC, tlsDaemon.pid,
      inboxCounter(node, node.inbox.length, `https r${round}`, tlsTally), `https r${round}`, n).then(tpTls.add),
    (n, round) => throughput(srv, agent, priv.device, priv.proc.pid,
      inboxCounter(node, node.inbox.length, `private r${round}`, privateTally), `private r${round}`, n)
      .then(tpPrivate.add),
  ];
  if (base) {
    runs.push((n, round) => throughput(srv, agent, BASE_TOPIC, base.pid,
      inboxCounter(node, node.inbox.length, `base r${round}`, baseTally), `base r${round}`, n).then(tpBase.add));
  }
  for (let round = 0; round < STREAM_ROUNDS; round++) {
    const n = Math.floor(MESSAGES / STREAM_ROUNDS) + (round < MESSAGES % STREAM_ROUNDS ? 1 : 0);
    for (let k = 0; k < runs.length; k++) await runs[(round + k) % runs.length](n, round);
  }
  const roundRatios = tpOurs.rates.map((r, i) => r / tpTheirs.rates[i]);
  let traced = null;
  let tracedBase = null;
  if (hasStrace()) {
    say(`system calls per message under strace -c, ${STRACE_MESSAGES} messages each`);
    traced = await syscallsPerMessage(srv, agent, DAEMON_TOPIC, daemon.pid,
      inboxCounter(node, node.inbox.length, 'daemon strace', tally), 'daemon strace');
    if (base) {
      tracedBase = await syscallsPerMessage(srv, agent, BASE_TOPIC, base.pid,
        inboxCounter(node, node.inbox.length, 'base strace', baseTally), 'base strace');
    }
  }
  const rssTheirs = memoryKb(anchor.proc.pid);
  watched.shift();
  await anchor.proc.stop();
  const rssOurs = memoryKb(daemon.pid);
  const rssTls = memoryKb(tlsDaemon.pid);
  const duplicates = tally.twice;
  const handledByDaemon = node.inboxFor(SESSION).length;
  const handledByTls = node.inboxFor(TLS_SESSION).length;

  // --- report ---
  const out = (text) => process.stdout.write(`${text}\n`);
  out(`channel gateway against \`ntfy subscribe <url> '<command>'\`, one run, loopback ntfy ${srv.url}`);
  row('machine load (1 min) at start / end', `${loadAtStart} / ${loadAverage()}`);
  row(`ntfy server alone, ${PUBLISHERS} publishers: message cache on / off`,
    `${fmt(cachedRate, 0)} / ${fmt(uncachedRate, 0)}`, 'msg/s');
  out(` inbound latency, publish answered -> handled (${LATENCY_SAMPLES} each, taking turns), ms`);
  row('chimewick: devnode received /inbox, median', fmt(median(lat.ours)));
  row('chimewick: p90 / max', `${fmt(quantile(lat.ours, 0.9))} / ${fmt(Math.max(...lat.ours))}`);
  row('anchor: the command ran (FIFO read), median', fmt(median(lat.theirs)));
  row('anchor: p90 / max', `${fmt(quantile(lat.theirs, 0.9))} / ${fmt(Math.max(...lat.theirs))}`);
  row('lost within 5 s (chimewick / anchor)', `${lat.lostOurs} / ${lat.lostTheirs}`);
  row('ratio chimewick / anchor (medians)', fmt(median(lat.ours) / median(lat.theirs)));
  row('from the publish request\'s start: chimewick / anchor, median',
    `${fmt(median(lat.oursFromSent))} / ${fmt(median(lat.theirsFromSent))}`);
  row('  ratio', fmt(median(lat.oursFromSent) / median(lat.theirsFromSent)));
  goal('goal: median <= 2 ms and ratio <= 1',
    median(lat.ours) <= 2 && median(lat.ours) / median(lat.theirs) <= 1 && lat.lostOurs === 0);
  out(` inbound throughput, ${MESSAGES} messages from one approved sender in ${STREAM_ROUNDS} rounds, ${PUBLISHERS} publishers in flight`);
  const list = (v, digits = 0) => v.map((x) => fmt(x, digits)).join(' ');
  row('server accepted (publishing into the chimewick topic)', fmt(tpOurs.publishRate(), 0), 'msg/s');
  row('chimewick handled, median of rounds', fmt(tpOurs.rate(), 0), 'msg/s');
  row('  rounds', list(tpOurs.rates), 'msg/s');
  row('chimewick lost / forwarded twice', `${tpOurs.lost()} / ${duplicates}`);
  row('chimewick CPU per message', fmt(tpOurs.per('cpu'), 3), 'ms');
  row('server accepted (publishing into the anchor topic)', fmt(tpTheirs.publishRate(), 0), 'msg/s');
  row('anchor handled, median of rounds', fmt(tpTheirs.rate(), 0), 'msg/s');
  row('  rounds', list(tpTheirs.rates), 'msg/s');
  row('anchor lost', `${tpTheirs.lost()}`);
  row('anchor CPU per message (with its shells)', fmt(tpTheirs.per('cpu'), 3), 'ms');
  row('CPU per message: ntfy server / this bench (publisher, devnode)',
    `${fmt(tpOurs.per('serverCpu'), 3)} / ${fmt(tpOurs.per('benchCpu'), 3)}`, 'ms');
  row('  the same during the anchor runs',
    `${fmt(tpTheirs.per('serverCpu'), 3)} / ${fmt(tpTheirs.per('benchCpu'), 3)}`, 'ms');
  row('ratio chimewick / anchor, median of the rounds\' ratios', fmt(median(roundRatios)));
  row('  rounds', list(roundRatios, 2));
  row('chimewick over https (NTFY_CA_FILE) handled, median', fmt(tpTls.rate(), 0), 'msg/s');
  row('  rounds', list(tpTls.rates), 'msg/s');
  row('  lost / forwarded twice / CPU per message (ms)',
    `${tpTls.lost()} / ${tlsTally.twice} / ${fmt(tpTls.per('cpu'), 3)}`);
  const tlsRatio = median(tpTls.rates.map((r, i) => r / tpTheirs.rates[i]));
  goal('goal: >= 600 msg/s with none lost, ratio >= 2.4',
    tpOurs.rate() >= 600 && tpOurs.lost() === 0 && duplicates === 0 && median(roundRatios) >= 2.4);
  goal(`  the same over https (ratio ${fmt(tlsRatio)})`,
    tpTls.rate() >= 600 && tpTls.lost() === 0 && tlsTally.twice === 0 && tlsRatio >= 2.4);
  out(' private device topics on (one device topic beside the lobby) beside off (the plain daemon above)');
  const privateRatio = median(tpPrivate.rates.map((r, i) => r / tpOurs.rates[i]));
  row('private topics on: handled, median of rounds', fmt(tpPrivate.rate(), 0), 'msg/s');
  row('  rounds', list(tpPrivate.rates), 'msg/s');
  row('  lost / forwarded twice', `${tpPrivate.lost()} / ${privateTally.twice}`);
  row('CPU per message, on / off', `${fmt(tpPrivate.per('cpu'), 3)} / ${fmt(tpOurs.per('cpu'), 3)}`, 'ms');
  row('ratio on / off: throughput (median of rounds) / CPU per message',
    `${fmt(privateRatio)} / ${fmt(tpPrivate.per('cpu') / tpOurs.per('cpu'))}`);
  goal('goal: within 10 % of off, none lost',
    privateRatio >= 0.9 && tpPrivate.per('cpu') <= 1.1 * tpOurs.per('cpu') && tpPrivate.lost() === 0);
  if (traced) {
    out(` system calls per message, strace -c over ${STRACE_MESSAGES} messages (its own batch)`);
    row('chimewick', fmt(traced.perMessage, 1));
    row('  most frequent', traced.top.map(([name, n]) => `${name} ${fmt(n / traced.handled, 1)}`).join(', '));
    goal('goal: <= 25', traced.perMessage <= 25);
  }
  if (base) {
    out(` beside the baseline build ${BASELINE_EXE}, the same rounds`);
    row('baseline handled, median of rounds', fmt(tpBase.rate(), 0), 'msg/s');
    row('  rounds', list(tpBase.rates), 'msg/s');
    row('baseline lost / forwarded twice', `${tpBase.lost()} / ${baseTally.twice}`);
    row('CPU per message: chimewick / baseline', `${fmt(tpOurs.per('cpu'), 3)} / ${fmt(tpBase.per('cpu'), 3)}`, 'ms');
    if (tracedBase) {
      row('system calls per message: chimewick / baseline', `${fmt(traced.perMessage, 1)} / ${fmt(tracedBase.perMessage, 1)}`);
      row('  baseline most frequent', tracedBase.top.map(([name, n]) => `${name} ${fmt(n / tracedBase.handled, 1)}`).join(', '));
    }
    goal('goal: CPU per message and throughput no worse than the baseline',
      tpOurs.per('cpu') <= tpBase.per('cpu') && tpOurs.rate() >= tpBase.rate());
  }
  out(` reply latency, devnode appends a reply -> its event on the topic (reply_poll_ms ${REPLY_POLL_MS}), ms`);
  row('median', fmt(median(reply.latencies), 1));
  row('mean / p90 / max', `${fmt(mean(reply.latencies), 0)} / ${fmt(quantile(reply.latencies, 0.9), 0)} / ${fmt(Math.max(...reply.latencies), 0)}`);
  row('lost', `${reply.lost}`);
  goal(`goal: median <= reply_poll_ms/2 + 50 = ${REPLY_POLL_MS / 2 + 50}`,
    median(reply.latencies) <= REPLY_POLL_MS / 2 + 50 && reply.lost === 0);
  out(` resident memory (VmRSS), MB`);
  row('chimewick after start', fmt(rssStart.ours.rss / 1024));
  row(`chimewick after ${handledByDaemon} messages (peak)`, `${fmt(rssOurs.rss / 1024)} (${fmt(rssOurs.hwm / 1024)})`);
  row('chimewick over https after start', fmt(rssStart.tls.rss / 1024));
  row(`chimewick over https after ${handledByTls} messages (peak)`, `${fmt(rssTls.rss / 1024)} (${fmt(rssTls.hwm / 1024)})`);
  row('anchor after start', fmt(rssStart.theirs.rss / 1024));
  row(`anchor after ${anchor.fifo.order.length} messages (peak)`, `${fmt(rssTheirs.rss / 1024)} (${fmt(rssTheirs.hwm / 1024)})`);
  row('ratio chimewick / anchor (http / https)', `${fmt(rssOurs.rss / rssTheirs.rss)} / ${fmt(rssTls.rss / rssTheirs.rss)}`);
  goal(`goal: <= 4 MB and ratio <= 0.2${MESSAGES < RSS_MESSAGES ? ` (stated for ${RSS_MESSAGES} messages)` : ''}`,
    rssOurs.rss <= 4096 && rssOurs.rss / rssTheirs.rss <= 0.2);
  goal('  the same over https', rssTls.rss <= 4096 && rssTls.rss / rssTheirs.rss <= 0.2);
}

let exitCode = 0;
try {
  await main();
} catch (err) {
  say(`failed: ${err.stack ?? err.message}`);
  exitCode = 1;
} finally {
  await stopAll();
}
process.exit(exitCode);
