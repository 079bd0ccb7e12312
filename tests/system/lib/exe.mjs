// Runs the built chimewick executable for system tests: one-shot runs with captured output, long-running
// modes (daemon, MCP server) as tracked children, and CGI requests the way the node's web server makes them.
// Each run gets a fresh connector folder (QV_CONNECTORS_DIR) and HOME unless the test passes its own.
import { access, constants } from 'node:fs/promises';
import path from 'node:path';
import { cleanEnv, makeTempDir, removeDir, repoRoot, runProcess, spawnProcess } from './common.mjs';

export function exePath() {
  return process.env.QV_EXE || path.join(repoRoot, 'build', 'chimewick');
}

export async function assertExe() {
  const exe = exePath();
  try {
    await access(exe, constants.X_OK);
  } catch {
    throw new Error(`the chimewick executable is missing at ${exe}: run scripts/build (or set QV_EXE)`);
  }
  return exe;
}

// A fresh folder to use as QV_CONNECTORS_DIR; the program keeps its files in <dir>/chimewick.
// Returns {dir, stateDir, file(name), cleanup()}.
export async function makeConnectorsDir() {
  const dir = await makeTempDir('qv-conn-');
  return {
    dir,
    stateDir: path.join(dir, 'chimewick'),
    file: (name) => path.join(dir, 'chimewick', name),
    cleanup: () => removeDir(dir),
  };
}

// The environment of one run: the test process's environment without any variable that steers chimewick
// (NTFY_*, QV_*, BOT_PASSWORD, CGI variables), HOME and QV_CONNECTORS_DIR pointing at `dir`, then `env`
// (a value of undefined removes a variable, e.g. {QV_CONNECTORS_DIR: undefined}).
export function exeEnv(dir, env = {}) {
  const base = dir ? { HOME: dir, QV_CONNECTORS_DIR: dir } : {};
  return cleanEnv({ ...base, ...env });
}

// Settles the connector folder of one call: the caller's (kept) or a fresh one (removed by cleanup()).
async function connectorsFor(opts) {
  if (opts.connectorsDir === null) return { dir: null, stateDir: null, cleanup: async () => {} };
  if (opts.connectorsDir) {
    return { dir: opts.connectorsDir, stateDir: path.join(opts.connectorsDir, 'chimewick'), cleanup: async () => {} };
  }
  return makeConnectorsDir();
}

// Runs chimewick to its end. Options: env, input (standard input text), timeoutMs (default 10000),
// connectorsDir (a folder to use, or null to set neither HOME nor QV_CONNECTORS_DIR), keep (do not
// remove a fresh folder). Resolves with {code, signal, stdout, stderr, dir, stateDir}.
export async function runExe(args = [], opts = {}) {
  const exe = await assertExe();
  const conn = await connectorsFor(opts);
  try {
    const res = await runProcess(exe, args, {
      env: exeEnv(conn.dir, opts.env), cwd: opts.cwd, input: opts.input, timeoutMs: opts.timeoutMs ?? 10000,
    });
    return { ...res, dir: conn.dir, stateDir: conn.stateDir };
  } finally {
    if (!opts.connectorsDir && !opts.keep) await conn.cleanup();
  }
}

// Starts chimewick as a long-running child (`--daemon`, `--mcp`, ...). The record is spawnProcess's (pid,
// stdout(), stderr(), waitForOutput, write, kill, stop, exited, waitExit) plus dir, stateDir, file(name)
// and close(): stop it (SIGTERM, then SIGKILL after 3 s) and remove a folder this call made.
export async function spawnExe(args = [], opts = {}) {
  const exe = await assertExe();
  const conn = await connectorsFor(opts);
  const proc = spawnProcess(exe, args, { env: exeEnv(conn.dir, opts.env), cwd: opts.cwd, stdin: opts.stdin ?? 'pipe' });
  proc.child.stdin?.on('error', () => {});
  proc.dir = conn.dir;
  proc.stateDir = conn.stateDir;
  proc.file = (name) => path.join(conn.stateDir, name);
  proc.close = async () => {
    try {
      return await proc.stop();
    } finally {
      if (!opts.connectorsDir && !opts.keep) await conn.cleanup();
    }
  };
  return proc;
}

// Splits a CGI answer into its header lines and body. A missing Status header means 200, as for a web
// server. Header names are lower-cased.
export function parseCgi(stdout) {
  const m = /\r?\n\r?\n/.exec(stdout);
  const head = m ? stdout.slice(0, m.index) : stdout;
  const body = m ? stdout.slice(m.index + m[0].length) : '';
  const headers = {};
  for (const line of head.split(/\r?\n/)) {
    const colon = line.indexOf(':');
    if (colon > 0) headers[line.slice(0, colon).trim().toLowerCase()] = line.slice(colon + 1).trim();
  }
  const status = headers.status ? Number.parseInt(headers.status, 10) : 200;
  let json;
  try {
    json = JSON.parse(body);
  } catch {
    json = undefined;
  }
  return { status, headers, body, json, rawHead: head };
}

// One CGI request, as the node's web server would run it. Options: method ('GET'), query (string or
// object), body (string, or object sent as JSON), password (BOT_PASSWORD of the node), headers (HTTP request
// headers, turned into HTTP_* variables), env, connectorsDir, keep, timeoutMs.
// Resolves with runExe's result plus {status, headers, body, json}.
export async function runCgi(opts = {}) {
  const method = opts.method ?? 'GET';
  const query = typeof opts.query === 'string' ? opts.query : new URLSearchParams(opts.query ?? {}).toString();
  let body = opts.body;
  const headers = { ...(opts.headers ?? {}) };
  if (body !== undefined && typeof body === 'object') {
    body = JSON.stringify(body);
    headers['Content-Type'] ??= 'application/json';
  }
  const env = { REQUEST_METHOD: method, QUERY_STRING: query, GATEWAY_INTERFACE: 'CGI/1.1' };
  if (opts.password !== undefined) env.BOT_PASSWORD = opts.password;
  if (body !== undefined) env.CONTENT_LENGTH = String(Buffer.byteLength(body));
  for (const [name, value] of Object.entries(headers)) {
    const key = name.toUpperCase().replace(/-/g, '_');
    if (key === 'CONTENT_TYPE') env.CONTENT_TYPE = value;
    else env[`HTTP_${key}`] = value;
  }
  const res = await runExe([], { ...opts, input: body, env: { ...env, ...(opts.env ?? {}) } });
  return { ...res, ...parseCgi(res.stdout) };
}
