// Runs the real ntfy server (the Debian package the bootstrap unpacks into .deps/) on free loopback ports
// with a configuration written into a temporary folder: optional access control with users and tokens,
// optional TLS with a freshly made certificate, stop and restart on the same ports.
import { X509Certificate } from 'node:crypto';
import { access, readFile, writeFile } from 'node:fs/promises';
import path from 'node:path';
import {
  cleanEnv, freePort, httpRequest, makeTempDir, ownsListeningPort, pidAlive, removeDir, repoRoot, runProcess,
  spawnProcess, spkiPin, waitUntil,
} from './common.mjs';

// The two servers the bootstrap unpacks: Debian 13's 2.11, and 'next', the newest 2.16 or later a newer
// Debian suite offers, which also sends message updates (with sequence_id) and the events message_delete
// and message_clear. Nothing here depends on which version 'next' is.
export const ntfyBinaries = {
  '2.11': path.join(repoRoot, '.deps', 'ntfy', 'usr', 'bin', 'ntfy'),
  next: path.join(repoRoot, '.deps', 'ntfy-next', 'usr', 'bin', 'ntfy'),
};
// The version a server is started with unless its options say otherwise: QV_NTFY_VERSION, or 2.11.
export const ntfyVersion = process.env.QV_NTFY_VERSION || '2.11';

const START_TIMEOUT_MS = 15000;
const PORT_ATTEMPTS = 5;

// Everything ntfy reads from server.yml is written here as "key: value" with JSON-quoted strings (valid YAML).
function yamlLine(key, value) {
  if (typeof value === 'number' || typeof value === 'boolean') return `${key}: ${value}`;
  if (Array.isArray(value)) return `${key}:\n${value.map((v) => `  - ${JSON.stringify(String(v))}`).join('\n')}`;
  return `${key}: ${JSON.stringify(String(value))}`;
}

// A self-signed certificate for `host` (its only name unless altNames says otherwise; "localhost" also
// gets IP 127.0.0.1). Returns the file names, the PEM text and the public-key pin.
export async function makeCertificate(dir, { host = 'localhost', altNames, keyType = 'ec', days = 2 } = {}) {
  const keyFile = path.join(dir, 'key.pem');
  const certFile = path.join(dir, 'cert.pem');
  const isIp = /^[0-9.]+$/.test(host) || host.includes(':');
  const names = altNames ?? (host === 'localhost' ? ['DNS:localhost', 'IP:127.0.0.1'] : [`${isIp ? 'IP' : 'DNS'}:${host}`]);
  const keyArgs = keyType === 'rsa' ? ['-newkey', 'rsa:2048'] : ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1'];
  const args = ['req', '-x509', ...keyArgs, '-nodes', '-sha256', '-days', String(days), '-subj', `/CN=${host}`,
    '-keyout', keyFile, '-out', certFile];
  if (names.length > 0) args.push('-addext', `subjectAltName=${names.join(',')}`);
  const res = await runProcess('openssl', args, { timeoutMs: 20000 });
  if (res.code !== 0) throw new Error(`openssl could not make a certificate: ${res.stderr}`);
  const certPem = await readFile(certFile, 'utf8');
  const cert = new X509Certificate(certPem);
  const pin = spkiPin(cert.publicKey.export({ type: 'spki', format: 'der' }));
  return { host, keyFile, certFile, certPem, pin, altNames: names };
}

function buildConfig(s) {
  const lines = [
    yamlLine('base-url', `http://127.0.0.1:${s.port}`),
    yamlLine('listen-http', `127.0.0.1:${s.port}`),
    yamlLine('cache-file', path.join(s.dir, 'cache.db')),
    yamlLine('cache-duration', s.options.cacheDuration ?? '12h'),
    yamlLine('log-level', s.options.logLevel ?? 'info'),
  ];
  // Suites that publish a lot are exempt from the visitor rate limits; defaultLimits keeps them on, as users meet them.
  if (!s.options.defaultLimits) lines.push(yamlLine('visitor-request-limit-exempt-hosts', '127.0.0.1'));
  if (s.options.keepalive) lines.push(yamlLine('keepalive-interval', s.options.keepalive));
  // Files published with a message are kept here and served below base-url as /file/<id>.
  if (s.options.attachments) lines.push(yamlLine('attachment-cache-dir', path.join(s.dir, 'attachments')));
  if (s.options.auth) {
    lines.push(yamlLine('auth-file', path.join(s.dir, 'user.db')));
    lines.push(yamlLine('auth-default-access', s.options.defaultAccess ?? 'deny-all'));
  }
  if (s.tls) {
    lines.push(yamlLine('listen-https', `127.0.0.1:${s.httpsPort}`));
    lines.push(yamlLine('key-file', s.tls.keyFile));
    lines.push(yamlLine('cert-file', s.tls.certFile));
  }
  for (const [key, value] of Object.entries(s.options.extra ?? {})) lines.push(yamlLine(key, value));
  return `${lines.join('\n')}\n`;
}

// Starts the process and waits until it answers /v1/health on its port AND holds the listening sockets
// itself: ntfy takes a moment to start, and another process may already sit on the port and answer.
async function launch(s) {
  await writeFile(s.configFile, buildConfig(s), { mode: 0o600 });
  const proc = spawnProcess(s.binary, ['serve', '--config', s.configFile], { env: cleanEnv(), cwd: s.dir, stdin: 'ignore' });
  s.proc = proc;
  try {
    await waitUntil(async () => {
      if (!proc.running()) throw new Error(`ntfy exited while starting:\n${proc.stdout()}${proc.stderr()}`);
      try {
        const res = await httpRequest(`http://127.0.0.1:${s.port}/v1/health`, { timeoutMs: 1000 });
        if (res.status !== 200 || !res.json || res.json.healthy !== true) return false;
      } catch {
        return false;
      }
      if (!(await ownsListeningPort(proc.pid, s.port))) return false;
      return !s.tls || ownsListeningPort(proc.pid, s.httpsPort);
    }, { timeoutMs: START_TIMEOUT_MS, intervalMs: 25, what: `ntfy to listen on 127.0.0.1:${s.port}` });
  } catch (err) {
    await proc.stop({ signal: 'SIGKILL' });
    s.proc = null;
    throw err;
  }
}

// Options:
//   auth: true                   access control with auth-default-access deny-all (defaultAccess to change)
//   users: [{name, password='pw-<name>', role='user', access={topic: 'rw'|'ro'|'wo'|'deny'}, token=true}]
//                                made after the start (the auth file exists only once the server ran)
//   tls: true | {host, altNames, keyType}   also listen with https on a second port, self-signed
//   keepalive: '45s'             keepalive-interval; cacheDuration; logLevel; extra: {key: value}
//   attachments: true            accept files published with a message (attachment-cache-dir)
//   defaultLimits: true          the visitor rate limits apply to 127.0.0.1 too (ntfy's defaults)
//   port, httpsPort              fixed ports (default: free ones picked by binding port 0)
//   version: '2.11' | 'next'     the server version (default: QV_NTFY_VERSION, or 2.11)
// Returns the server record described in README-like form at the end of this file.
export async function startNtfy(options = {}) {
  const version = options.version ?? ntfyVersion;
  const binary = ntfyBinaries[version];
  if (!binary) throw new Error(`no ntfy server version ${version}`);
  try {
    await access(binary);
  } catch {
    throw new Error(`the ntfy server is missing at ${binary}: run scripts/bootstrap first`);
  }
  const dir = await makeTempDir('qv-ntfy-');
  const s = { options, version, binary, dir, configFile: path.join(dir, 'server.yml'), proc: null, tls: null, port: 0, httpsPort: 0 };
  try {
    if (options.tls) s.tls = await makeCertificate(dir, options.tls === true ? {} : options.tls);
    const fixed = options.port !== undefined;
    for (let attempt = 1; ; attempt++) {
      s.port = options.port ?? await freePort();
      if (s.tls) s.httpsPort = options.httpsPort ?? await freePort();
      try {
        await launch(s);
        break;
      } catch (err) {
        // A port picked by us can be taken by someone else before ntfy binds it: pick again.
        if (fixed || attempt >= PORT_ATTEMPTS) throw err;
      }
    }
    const server = serverRecord(s);
    for (const user of options.users ?? []) await server.addUser(user);
    return server;
  } catch (err) {
    if (s.proc) await s.proc.stop({ signal: 'SIGKILL' });
    await removeDir(dir);
    throw err;
  }
}

function serverRecord(s) {
  const cli = async (args, env = {}) => {
    const res = await runProcess(s.binary, [args[0], '--config', s.configFile, ...args.slice(1)],
      { env: cleanEnv(env), cwd: s.dir, timeoutMs: 15000 });
    const output = `${res.stdout}${res.stderr}`;
    if (res.code !== 0) throw new Error(`ntfy ${args.join(' ')} failed (${res.code}): ${output}`);
    return output;
  };
  const server = {
    get url() { return `http://127.0.0.1:${s.port}`; },
    get httpsUrl() { return s.tls ? `https://${s.tls.host === 'localhost' ? 'localhost' : '127.0.0.1'}:${s.httpsPort}` : null; },
    get port() { return s.port; },
    get httpsPort() { return s.httpsPort || null; },
    get pid() { return s.proc ? s.proc.pid : null; },
    version: s.version,
    dir: s.dir,
    configFile: s.configFile,
    tls: s.tls,
    tokens: {},
    passwords: {},
    log: () => (s.proc ? `${s.proc.stdout()}${s.proc.stderr()}` : ''),
    cli,
    async running() {
      return Boolean(s.proc && s.proc.running() && pidAlive(s.proc.pid) && await ownsListeningPort(s.proc.pid, s.port));
    },
    async addUser({ name, password = `pw-${name}`, role = 'user', access: grants = {}, token = true }) {
      await cli(['user', 'add', `--role=${role}`, name], { NTFY_PASSWORD: password });
      server.passwords[name] = password;
      for (const [topic, perm] of Object.entries(grants)) await server.allow(name, topic, perm);
      if (token) server.tokens[name] = await server.addToken(name);
      return server.tokens[name];
    },
    // user "everyone" (or "*") grants to anonymous visitors.
    async allow(user, topic, perm = 'rw') {
      await cli(['access', user, topic, perm]);
    },
    async addToken(user) {
      const out = await cli(['token', 'add', user]);
      const m = /\btk_[A-Za-z0-9]+/.exec(out);
      if (!m) throw new Error(`no token in the output of ntfy token add: ${out}`);
      return m[0];
    },
    // SIGTERM (or the given signal), then SIGKILL after 3 s. Open subscriptions end with a bare close.
    async stop({ signal = 'SIGTERM' } = {}) {
      if (!s.proc) return null;
      const result = await s.proc.stop({ signal });
      s.proc = null;
      return result;
    },
    // Starts again on the same ports with the same configuration and cache (so `since` still replays).
    async restart() {
      await server.stop();
      await launch(s);
      return server;
    },
    async close() {
      try {
        await server.stop();
      } finally {
        await removeDir(s.dir);
      }
    },
  };
  return server;
}

// Server record:
//   url                http://127.0.0.1:<port>   httpsUrl  https://localhost:<httpsPort> (tls only)
//   port, httpsPort, pid, dir, configFile, version ('2.11' or 'next')
//   tls                {host, certFile, keyFile, certPem, pin, altNames} or null
//   tokens[name]       the token made for each user of options.users; passwords[name]
//   addUser({...}), allow(user, topic, perm), addToken(user), cli([args])
//   running()          pid alive and it holds the listening port
//   stop({signal}), restart(), close() (stop and remove the folder), log()
