// Runs Debian's lighttpd as a real CGI web server on a free loopback port, with a configuration written
// into a temporary folder: the chimewick executable is the CGI handler of "/chimewick.cgi", and the
// variables a node's web server would hand its CGI programs (connector folder, node password) are set
// with mod_setenv, since lighttpd passes none of its own environment on.
import { access, constants, mkdir, readFile, writeFile } from 'node:fs/promises';
import path from 'node:path';
import {
  cleanEnv, freePort, makeTempDir, ownsListeningPort, pidAlive, removeDir, spawnProcess, waitUntil,
} from './common.mjs';
import { assertExe } from './exe.mjs';

export const lighttpdBinary = '/usr/sbin/lighttpd';

const START_TIMEOUT_MS = 10000;
const PORT_ATTEMPTS = 5;

const quote = (text) => JSON.stringify(String(text));

function buildConfig({ dir, docroot, port, exe, cgiEnv }) {
  const env = Object.entries(cgiEnv).map(([k, v]) => `${quote(k)} => ${quote(v)}`).join(', ');
  return [
    'server.modules = ("mod_setenv", "mod_cgi")',
    `server.document-root = ${quote(docroot)}`,
    'server.bind = "127.0.0.1"',
    `server.port = ${port}`,
    `server.errorlog = ${quote(path.join(dir, 'error.log'))}`,
    `server.upload-dirs = (${quote(dir)})`,
    // The handler gets the script's path as its one argument, which chimewick skips.
    `cgi.assign = (".cgi" => ${quote(exe)})`,
    `setenv.add-environment = (${env})`,
    '',
  ].join('\n');
}

async function assertLighttpd() {
  try {
    await access(lighttpdBinary, constants.X_OK);
  } catch {
    throw new Error(`lighttpd is missing at ${lighttpdBinary}: run scripts/bootstrap`);
  }
}

// Starts lighttpd on a free port with the configuration buildConf(port) gives, in the folder dir
// (removed again when the start fails or on close).
async function launch(dir, buildConf) {
  const confFile = path.join(dir, 'lighttpd.conf');
  const log = async () => readFile(path.join(dir, 'error.log'), 'utf8').catch(() => '');
  for (let attempt = 0; attempt < PORT_ATTEMPTS; attempt++) {
    const port = await freePort();
    await writeFile(confFile, buildConf(port));
    const proc = spawnProcess(lighttpdBinary, ['-D', '-f', confFile], { env: cleanEnv() });
    try {
      // Another process may have taken the port meanwhile: only our own listener counts.
      await waitUntil(async () => !proc.running() || ownsListeningPort(proc.pid, port),
        { timeoutMs: START_TIMEOUT_MS, what: `lighttpd to listen on ${port}` });
    } catch (err) {
      await proc.stop({ signal: 'SIGKILL' });
      await removeDir(dir);
      throw err;
    }
    if (!proc.running()) continue;
    return {
      port,
      pid: proc.pid,
      dir,
      log,
      running: () => pidAlive(proc.pid),
      async close() {
        await proc.stop();
        await removeDir(dir);
      },
    };
  }
  const text = await log();
  await removeDir(dir);
  throw new Error(`lighttpd did not start after ${PORT_ATTEMPTS} attempts: ${text}`);
}

// Starts lighttpd. Options: cgiEnv (variables every CGI run gets, e.g. {QV_CONNECTORS_DIR, HOME,
// BOT_PASSWORD}). Resolves with {url (the CGI's address), port, pid, dir, log(), running(), close()}.
export async function startLighttpd({ cgiEnv = {} } = {}) {
  await assertLighttpd();
  const exe = await assertExe();
  const dir = await makeTempDir('qv-lighttpd-');
  const docroot = path.join(dir, 'www');
  await mkdir(docroot);
  await writeFile(path.join(docroot, 'chimewick.cgi'), '');
  const server = await launch(dir, (port) => buildConfig({ dir, docroot, port, exe: path.resolve(exe), cgiEnv }));
  return { url: `http://127.0.0.1:${server.port}/chimewick.cgi`, ...server };
}

// Starts lighttpd as a reverse proxy that serves the HTTP server at `target` (a loopback base
// URL) below `prefix` (e.g. "/ntfy/"), streaming in both directions, as self-hosted ntfy servers
// are often deployed. Resolves with {url (the proxied base, no trailing slash), port, ..., close()}.
export async function startReverseProxy({ target, prefix = '/ntfy/' }) {
  await assertLighttpd();
  const { hostname, port: targetPort } = new URL(target);
  const dir = await makeTempDir('qv-proxy-');
  const docroot = path.join(dir, 'www');
  await mkdir(docroot);
  const conf = (port) => [
    'server.modules = ("mod_proxy")',
    `server.document-root = ${quote(docroot)}`,
    'server.bind = "127.0.0.1"',
    `server.port = ${port}`,
    `server.errorlog = ${quote(path.join(dir, 'error.log'))}`,
    // A subscription is an endless response: pass each piece on as it comes.
    'server.stream-response-body = 2',
    'server.stream-request-body = 2',
    `$HTTP["url"] =~ ${quote(`^${prefix}`)} {`,
    `  proxy.server = ("" => (("host" => ${quote(hostname)}, "port" => ${Number(targetPort)})))`,
    `  proxy.header = ("map-urlpath" => (${quote(prefix)} => "/"))`,
    '}',
    '',
  ].join('\n');
  const server = await launch(dir, conf);
  return { url: `http://127.0.0.1:${server.port}${prefix.replace(/\/+$/, '')}`, ...server };
}
