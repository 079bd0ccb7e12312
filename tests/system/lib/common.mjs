// Small pieces every system-test helper shares: the repository root, free loopback ports, waiting with a
// deadline, a clean environment for child processes, a loopback HTTP client, and the safety net that
// kills every child we started when the test process exits.
import { spawn } from 'node:child_process';
import { createHash } from 'node:crypto';
import { readFileSync } from 'node:fs';
import { mkdtemp, readdir, readFile, readlink, rm } from 'node:fs/promises';
import http from 'node:http';
import https from 'node:https';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const repoRoot = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..', '..');

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Polls `check` until it returns something truthy and returns that. Every wait has a deadline: a test that
// waits forever hides the failure it should report, and a pending timer also keeps the process alive while
// children and sockets are unreferenced (see trackChild).
export async function waitUntil(check, { timeoutMs = 5000, intervalMs = 20, what = 'condition' } = {}) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() >= deadline) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
    await sleep(Math.min(intervalMs, Math.max(1, deadline - Date.now())));
  }
}

// Resolves with `promise`'s value, or rejects when it has not settled within timeoutMs.
export function withTimeout(promise, timeoutMs, what = 'operation') {
  let timer;
  const expiry = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out after ${timeoutMs} ms waiting for ${what}`)), timeoutMs);
  });
  return Promise.race([promise, expiry]).finally(() => clearTimeout(timer));
}

// A port that was free a moment ago. Other processes on the machine hold common test ports, so never pick a
// fixed one; whoever starts a server on it must still check that the listener is really theirs.
export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.unref();
    server.on('error', reject);
    server.listen({ port: 0, host: '127.0.0.1', exclusive: true }, () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

export async function makeTempDir(prefix = 'qv-sys-') {
  return mkdtemp(path.join(os.tmpdir(), prefix));
}

// Cleanups run in the order they were registered, so a folder may go while a daemon that was started later
// still writes into it: rm walks it again when a file appeared meanwhile (ENOTEMPTY).
export async function removeDir(dir) {
  if (dir) await rm(dir, { recursive: true, force: true, maxRetries: 10, retryDelay: 50 });
}

// Variables that steer chimewick or ntfy (and CGI variables) never leak from the shell that runs the tests
// into a child: a developer's NTFY_TOKEN or QV_CONNECTORS_DIR would otherwise change what a test exercises.
const STEERING = /^(NTFY_|QV_|BOT_PASSWORD$|HTTP_|QUERY_STRING$|REQUEST_METHOD$|CONTENT_LENGTH$|CONTENT_TYPE$|GATEWAY_INTERFACE$)/;

export function cleanEnv(extra = {}) {
  const env = {};
  for (const [key, value] of Object.entries(process.env)) {
    if (!STEERING.test(key)) env[key] = value;
  }
  for (const [key, value] of Object.entries(extra)) {
    if (value === undefined || value === null) delete env[key];
    else env[key] = String(value);
  }
  return env;
}

// A zombie counts as gone: a killed process whose parent has already exited waits for the machine's init
// to reap it, which can take a second here.
export function pidAlive(pid) {
  if (!pid) return false;
  try {
    process.kill(pid, 0);
  } catch (err) {
    return err.code === 'EPERM';
  }
  try {
    const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2, stat.lastIndexOf(')') + 3) !== 'Z';
  } catch {
    return false;
  }
}

// --- children we started --------------------------------------------------------------------------------
// Children and their pipes are unreferenced so that a test which forgets one cannot keep its file's process
// (and with it the whole test run) alive; the exit hook then kills whatever is left.
const children = new Set();

process.on('exit', () => {
  for (const child of children) {
    if (child.exitCode === null && child.signalCode === null) {
      try {
        process.kill(child.pid, 'SIGKILL');
      } catch {
        // already gone
      }
    }
  }
});

export function trackChild(child) {
  children.add(child);
  child.once('exit', () => children.delete(child));
  child.unref();
  for (const stream of [child.stdin, child.stdout, child.stderr]) {
    // A pipe's handle lives on the socket; unref() keeps it from holding the event loop.
    if (stream && typeof stream.unref === 'function') stream.unref();
  }
  return child;
}

// Starts a process with piped output collected as text, tracked for cleanup. The returned record:
//   child, pid, stdout(), stderr()         the process and everything it has written so far
//   exited                                 promise of {code, signal}, settles once the process is gone
//   waitForOutput(match, {stream, timeoutMs})  resolves with the text once stdout/stderr matches
//   waitExit(timeoutMs)                    exited with a deadline
//   write(text), endInput()                standard input
//   kill(signal)                           sends a signal if it still runs
//   stop({signal, timeoutMs})              signal, wait, then SIGKILL; resolves with {code, signal}
export function spawnProcess(command, args = [], { env = cleanEnv(), cwd, stdin = 'pipe' } = {}) {
  const child = spawn(command, args, { env, cwd, stdio: [stdin, 'pipe', 'pipe'] });
  const out = { stdout: '', stderr: '' };
  child.stdout.setEncoding('utf8');
  child.stderr.setEncoding('utf8');
  child.stdout.on('data', (chunk) => { out.stdout += chunk; });
  child.stderr.on('data', (chunk) => { out.stderr += chunk; });
  const exited = new Promise((resolve) => {
    // 'close' comes after the pipes are drained, so the collected output is complete by then.
    child.once('close', (code, signal) => resolve({ code, signal }));
    child.once('error', (err) => resolve({ code: null, signal: null, error: err }));
  });
  trackChild(child);
  const running = () => child.exitCode === null && child.signalCode === null;
  const proc = {
    child,
    pid: child.pid,
    exited,
    stdout: () => out.stdout,
    stderr: () => out.stderr,
    running: () => running() && pidAlive(child.pid),
    waitExit: (timeoutMs = 5000) => withTimeout(exited, timeoutMs, `exit of ${path.basename(command)}`),
    waitForOutput(match, { stream = 'stdout', timeoutMs = 5000 } = {}) {
      const test = typeof match === 'string' ? (text) => text.includes(match) : (text) => match.test(text);
      return waitUntil(() => (test(out[stream]) ? out[stream] : null),
        { timeoutMs, what: `${stream} of ${path.basename(command)} to show ${match}` });
    },
    write(text) {
      child.stdin.write(text);
    },
    endInput() {
      child.stdin.end();
    },
    kill(signal = 'SIGTERM') {
      if (!running()) return false;
      try {
        return process.kill(child.pid, signal);
      } catch {
        return false;
      }
    },
    async stop({ signal = 'SIGTERM', timeoutMs = 3000 } = {}) {
      proc.kill(signal);
      try {
        return await withTimeout(exited, timeoutMs, 'process to stop');
      } catch {
        proc.kill('SIGKILL');
        return withTimeout(exited, 5000, 'process to die after SIGKILL');
      }
    },
  };
  return proc;
}

// Runs a command to its end; rejects only when it cannot be started or outlives timeoutMs (then it is killed).
export async function runProcess(command, args = [], { env = cleanEnv(), cwd, input, timeoutMs = 10000 } = {}) {
  const proc = spawnProcess(command, args, { env, cwd, stdin: 'pipe' });
  proc.child.stdin.on('error', () => {}); // a child that exits without reading its input is not our failure
  if (input !== undefined) proc.child.stdin.end(input);
  else proc.child.stdin.end();
  let result;
  try {
    result = await withTimeout(proc.exited, timeoutMs, `${path.basename(command)} ${args.join(' ')}`);
  } catch (err) {
    await proc.stop({ signal: 'SIGKILL' });
    throw err;
  }
  if (result.error) throw result.error;
  return { code: result.code, signal: result.signal, stdout: proc.stdout(), stderr: proc.stderr() };
}

// --- who listens on a port ----------------------------------------------------------------------------
// A health answer only proves that somebody answers on the port. To know the answer came from the server we
// started, find the socket inode listening on the port (/proc/net/tcp*) among the process's descriptors.
async function listeningInodes(port) {
  const inodes = new Set();
  const hexPort = port.toString(16).toUpperCase().padStart(4, '0');
  for (const table of ['/proc/net/tcp', '/proc/net/tcp6']) {
    let text;
    try {
      text = await readFile(table, 'utf8');
    } catch {
      continue;
    }
    for (const line of text.split('\n').slice(1)) {
      const cols = line.trim().split(/\s+/);
      if (cols.length < 10) continue;
      const local = cols[1];
      const state = cols[3];
      if (state === '0A' && local.endsWith(`:${hexPort}`)) inodes.add(cols[9]);
    }
  }
  return inodes;
}

export async function ownsListeningPort(pid, port) {
  const inodes = await listeningInodes(port);
  if (inodes.size === 0) return false;
  let fds;
  try {
    fds = await readdir(`/proc/${pid}/fd`);
  } catch {
    return false;
  }
  for (const fd of fds) {
    let target;
    try {
      target = await readlink(`/proc/${pid}/fd/${fd}`);
    } catch {
      continue;
    }
    const m = /^socket:\[(\d+)\]$/.exec(target);
    if (m && inodes.has(m[1])) return true;
  }
  return false;
}

// --- a loopback HTTP client ----------------------------------------------------------------------------
const LOOPBACK_HOSTS = new Set(['127.0.0.1', 'localhost', '[::1]', '::1']);

// Tests only ever talk to servers on this machine; refuse anything else so a typo cannot leave it.
export function assertLoopback(url) {
  const u = url instanceof URL ? url : new URL(url);
  if (!LOOPBACK_HOSTS.has(u.hostname)) throw new Error(`refusing a non-loopback address in a test: ${u.href}`);
  return u;
}

// One request, whole answer. Options: method, headers, body (string, Buffer or object sent as JSON), ca (PEM
// to trust for https), timeoutMs, localAddress (a loopback source address, so that a server counts the
// request to another visitor). Resolves with {status, headers, text, json} (json undefined unless the body
// parses); rejects on connection failures and time-outs.
export function httpRequest(url, { method = 'GET', headers = {}, body, ca, timeoutMs = 5000, localAddress } = {}) {
  const u = assertLoopback(url);
  const lib = u.protocol === 'https:' ? https : http;
  let payload = body;
  const hdrs = { ...headers };
  if (payload !== undefined && typeof payload === 'object' && !Buffer.isBuffer(payload)) {
    payload = JSON.stringify(payload);
    if (!Object.keys(hdrs).some((k) => k.toLowerCase() === 'content-type')) hdrs['Content-Type'] = 'application/json';
  }
  return new Promise((resolve, reject) => {
    const req = lib.request(u, { method, headers: hdrs, ca, agent: false, localAddress }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => {
        const text = Buffer.concat(chunks).toString('utf8');
        let json;
        try {
          json = JSON.parse(text);
        } catch {
          json = undefined;
        }
        resolve({ status: res.statusCode, headers: res.headers, text, json });
      });
      res.on('error', reject);
    });
    req.setTimeout(timeoutMs, () => req.destroy(new Error(`request to ${u.href} timed out after ${timeoutMs} ms`)));
    req.on('error', reject);
    if (payload !== undefined) req.write(payload);
    req.end();
  });
}

// SHA-256 of a certificate's SubjectPublicKeyInfo (DER) as 64 lower-case hex digits: the pin format.
export function spkiPin(publicKeyDer) {
  return createHash('sha256').update(publicKeyDer).digest('hex');
}
