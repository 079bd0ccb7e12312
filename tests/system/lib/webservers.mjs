// Runs the web server configurations shipped in contrib/webservers/ (lighttpd, Apache 2.4 with mod_cgid,
// nginx with fcgiwrap) exactly as written there, with only their marked @PLACEHOLDERS@ filled in: a free
// loopback port, a copy of the chimewick executable, the connector folder and the node password. Each
// server gets a fresh folder for its pid, log and socket files. Started as root, a server runs its CGI
// programs as www-data (no server runs them as root), so the folders they use are given to that user.
import { spawn } from 'node:child_process';
import { access, chmod, chown, constants, copyFile, mkdir, readFile, writeFile } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import {
  cleanEnv, freePort, makeTempDir, ownsListeningPort, pidAlive, removeDir, repoRoot, runProcess, spawnProcess,
  trackChild, waitUntil, withTimeout,
} from './common.mjs';
import { assertExe } from './exe.mjs';

export const CONFIG_DIR = path.join(repoRoot, 'contrib', 'webservers');
const START_TIMEOUT_MS = 10000;
// Apache gives its workers a few seconds to end before it kills them itself.
const STOP_TIMEOUT_MS = 10000;
const PORT_ATTEMPTS = 5;
const ROOT_WEB_USER = 'www-data';

// Per server: its configuration file, the binaries it needs, and how it is started.
export const SERVERS = {
  lighttpd: {
    file: 'lighttpd.conf',
    binaries: ['/usr/sbin/lighttpd'],
    args: (conf) => ['-D', '-f', conf],
  },
  apache: {
    file: 'apache2.conf',
    binaries: ['/usr/sbin/apache2'],
    args: (conf) => ['-f', conf, '-DFOREGROUND'],
  },
  nginx: {
    file: 'nginx.conf',
    binaries: ['/usr/sbin/nginx', '/usr/sbin/fcgiwrap'],
    args: (conf, dir) => ['-c', conf, '-p', dir, '-g', 'daemon off;'],
    fcgiwrap: true,
  },
};

// The binaries a server needs that are missing (to skip its tests with a reason).
export async function missingBinaries(kind) {
  const missing = [];
  for (const bin of SERVERS[kind].binaries) {
    try {
      await access(bin, constants.X_OK);
    } catch {
      missing.push(bin);
    }
  }
  return missing;
}

// Fills in the placeholders; one left over means the file gained a value the tests do not know.
export function fillConfig(text, values) {
  let out = text;
  for (const [name, value] of Object.entries(values)) out = out.split(`@${name}@`).join(String(value));
  const left = /@[A-Z_]+@/.exec(out);
  if (left) throw new Error(`unfilled placeholder ${left[0]} in the configuration`);
  return out;
}

async function webUser() {
  if (process.getuid() === 0) {
    const uid = Number((await runProcess('id', ['-u', ROOT_WEB_USER])).stdout.trim());
    const gid = Number((await runProcess('id', ['-g', ROOT_WEB_USER])).stdout.trim());
    const group = (await runProcess('id', ['-gn', ROOT_WEB_USER])).stdout.trim();
    return { user: ROOT_WEB_USER, group, uid, gid };
  }
  const group = (await runProcess('id', ['-gn'])).stdout.trim();
  return { user: os.userInfo().username, group, uid: process.getuid(), gid: process.getgid() };
}

// Signals a whole process group, if it is still there.
function killGroup(pid, signal) {
  try {
    process.kill(-pid, signal);
  } catch {
    // already gone
  }
}

// fcgiwrap on a unix socket in dir, as the web user (it runs the program as itself), started as the
// configuration's comment says. It leads a process group of its own: its workers and the programs it
// runs go with it.
async function startFcgiwrap(dir, who) {
  const socket = path.join(dir, 'fcgiwrap.sock');
  const opts = { env: cleanEnv(), stdio: ['ignore', 'pipe', 'pipe'], detached: true };
  if (process.getuid() === 0) Object.assign(opts, { uid: who.uid, gid: who.gid });
  const child = spawn('/usr/sbin/fcgiwrap', ['-s', `unix:${socket}`], opts);
  trackChild(child);
  process.once('exit', () => killGroup(child.pid, 'SIGKILL'));
  let output = '';
  child.stdout.on('data', (c) => { output += c; });
  child.stderr.on('data', (c) => { output += c; });
  const exited = new Promise((resolve) => child.once('close', resolve));
  await waitUntil(async () => {
    if (child.exitCode !== null) throw new Error(`fcgiwrap ended at once: ${output}`);
    return access(socket).then(() => true, () => false);
  }, { timeoutMs: START_TIMEOUT_MS, what: 'the fcgiwrap socket' });
  return {
    output: () => output,
    async close() {
      killGroup(child.pid, 'SIGTERM');
      await withTimeout(exited, STOP_TIMEOUT_MS, 'fcgiwrap to stop').catch(() => killGroup(child.pid, 'SIGKILL'));
    },
  };
}

// Starts one server. Options: connectorsDir (QV_CONNECTORS_DIR, given to the web user), password
// (BOT_PASSWORD). Resolves with {kind, url (the program's address), port, pid, dir, config, log(), close()}.
export async function startWebServer(kind, { connectorsDir, password }) {
  const server = SERVERS[kind];
  const missing = await missingBinaries(kind);
  if (missing.length > 0) throw new Error(`missing ${missing.join(', ')}: run scripts/bootstrap`);
  const exe = await assertExe();
  const template = await readFile(path.join(CONFIG_DIR, server.file), 'utf8');
  const who = await webUser();
  const dir = await makeTempDir(`qv-${kind}-`);
  const cleanup = [];
  const closeAll = async () => {
    for (const step of cleanup.splice(0).reverse()) await step();
    await removeDir(dir);
  };
  try {
    const cgiBin = path.join(dir, 'cgi-bin', 'chimewick');
    await mkdir(path.dirname(cgiBin));
    await mkdir(path.join(dir, 'www'));
    await copyFile(exe, cgiBin);
    await chmod(cgiBin, 0o755);
    await chmod(dir, 0o755);
    if (process.getuid() === 0) {
      for (const d of [dir, path.join(dir, 'www'), connectorsDir]) await chown(d, who.uid, who.gid);
    }
    let fcgi = null;
    if (server.fcgiwrap) {
      fcgi = await startFcgiwrap(dir, who);
      cleanup.push(() => fcgi.close());
    }
    const log = async () => {
      const text = await readFile(path.join(dir, 'error.log'), 'utf8').catch(() => '');
      return fcgi ? `${text}${fcgi.output()}` : text;
    };
    const confFile = path.join(dir, server.file);
    for (let attempt = 0; attempt < PORT_ATTEMPTS; attempt++) {
      const port = await freePort();
      const config = fillConfig(template, {
        PORT: port, CGI_BIN: cgiBin, STATE_DIR: connectorsDir, PASSWORD: password, USER: who.user,
        GROUP: who.group, RUN_DIR: dir,
      });
      await writeFile(confFile, config);
      const proc = spawnProcess(server.binaries[0], server.args(confFile, dir), { env: cleanEnv() });
      // Another process may have taken the port meanwhile: only our own listener counts.
      await waitUntil(async () => !proc.running() || ownsListeningPort(proc.pid, port),
        { timeoutMs: START_TIMEOUT_MS, what: `${kind} to listen on ${port}` }).catch(async (err) => {
        await proc.stop({ signal: 'SIGKILL' });
        throw new Error(`${err.message}: ${proc.stderr()} ${await log()}`);
      });
      if (!proc.running()) {
        if (!/address already in use/i.test(`${proc.stderr()} ${await log()}`)) {
          throw new Error(`${kind} did not start: ${proc.stderr()} ${await log()}`);
        }
        continue;
      }
      cleanup.push(() => proc.stop({ timeoutMs: STOP_TIMEOUT_MS }));
      return {
        kind, port, pid: proc.pid, dir, config, log,
        url: `http://127.0.0.1:${port}/cgi-bin/chimewick`,
        running: () => pidAlive(proc.pid),
        close: closeAll,
      };
    }
    throw new Error(`${kind} found no free port after ${PORT_ATTEMPTS} attempts`);
  } catch (err) {
    await closeAll();
    throw err;
  }
}
