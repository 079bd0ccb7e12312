// The demo: a real ntfy server and the devnode on loopback, chimewick's daemon between them, a
// scripted phone that pairs and asks a question, one line per step, and the setup page served by
// lighttpd. With --serve (or at a terminal) it keeps running for the page until Ctrl-C. Everything
// it starts stops with it.
import { spawn } from 'node:child_process';
import { mkdir, mkdtemp, readFile, rm, writeFile } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { start as startDevnode } from '../devnode/devnode.mjs';
import { cleanEnv, repoRoot, waitUntil } from '../../tests/system/lib/common.mjs';
import { startNtfy } from '../../tests/system/lib/ntfy.mjs';
import { startLighttpd } from '../../tests/system/lib/lighttpd.mjs';
import { httpRequest } from '../../tests/system/lib/common.mjs';
import { publish, subscribe } from '../../tests/system/lib/stream.mjs';

const exe = path.join(repoRoot, 'build', 'chimewick');
const TOPIC = 'chimewick_demo';
const SESSION = 'main:demo';
const step = (text) => process.stdout.write(`demo: ${text}\n`);

const started = [];
async function stopAll() {
  for (const stop of started.reverse()) {
    try {
      await stop();
    } catch {
      // best effort: the demo is ending anyway
    }
  }
}

async function main() {
  const dir = await mkdtemp(path.join(os.tmpdir(), 'chimewick-demo-'));
  started.push(() => rm(dir, { recursive: true, force: true }));
  const stateDir = path.join(dir, 'chimewick');

  const srv = await startNtfy();
  started.push(() => srv.close());
  step(`ntfy server listening at ${srv.url}`);
  const node = await startDevnode({ replyDelayMs: 300, reply: (text) => `Hi! You asked: ${text.split('] ').slice(1).join('] ')}` });
  started.push(() => node.close());
  step(`devnode (stand-in for the chat-agent node) listening at ${node.url}`);

  await mkdir(stateDir, { recursive: true, mode: 0o700 });
  const config = {
    server_url: srv.url, topic: TOPIC, publish_topic: TOPIC, bot_api_url: node.url, target_session: SESSION,
    reply_poll_ms: 300,
  };
  await writeFile(path.join(stateDir, 'config.json'), JSON.stringify(config, null, 4), { mode: 0o600 });
  step(`configuration written to ${path.join(stateDir, 'config.json')}`);

  const env = cleanEnv({ QV_CONNECTORS_DIR: dir, HOME: dir });
  const daemon = spawn(exe, ['--daemon'], { env, stdio: ['ignore', 'ignore', 'pipe'] });
  started.push(() => new Promise((resolve) => {
    if (daemon.exitCode !== null) return resolve();
    daemon.once('exit', resolve);
    daemon.kill('SIGTERM');
  }));
  let daemonLog = '';
  daemon.stderr.on('data', (chunk) => { daemonLog += chunk; });
  await waitUntil(() => /subscribed to /.test(daemonLog), { timeoutMs: 10000, what: 'the daemon to subscribe' });
  step(`daemon running (pid ${daemon.pid}), subscribed to ${TOPIC}`);

  const phone = await subscribe(srv.url, TOPIC);
  started.push(() => phone.close());
  step('phone: "Hello there"');
  await publish(srv.url, TOPIC, 'Hello there');
  const challenge = await phone.waitForMessage(/PAIR [A-Z2-9]{8}/, { timeoutMs: 10000 });
  const code = /PAIR ([A-Z2-9]{8})/.exec(challenge.message)[1];
  step(`chimewick -> phone: "${challenge.title}" asking for PAIR ${code}`);
  step(`phone: "PAIR ${code}"`);
  await publish(srv.url, TOPIC, `PAIR ${code}`);
  const paired = await phone.waitForMessage(/^Paired\./, { timeoutMs: 10000 });
  step(`chimewick -> phone: "${paired.message}"`);
  step('phone: "What can you do?"');
  await publish(srv.url, TOPIC, 'What can you do?');
  const inbox = await node.waitForInbox(/What can you do\?/, { timeoutMs: 10000 });
  step(`node /inbox received: ${JSON.stringify(inbox.text)}`);
  const reply = await phone.waitForMessage(/^Hi! You asked/, { timeoutMs: 10000 });
  step(`chimewick -> phone: "${reply.message}" (title "${reply.title}", tags ${reply.tags.join(',')})`);
  const readStatus = async () => JSON.parse(await readFile(path.join(stateDir, 'status.json'), 'utf8'));
  const status = await waitUntil(async () => { const s = await readStatus(); return s.outbound_count > 0 && s; },
    { what: 'the reply in the status' });
  step(`status: inbound ${status.inbound_count}, outbound ${status.outbound_count}, blocked ${status.blocked_count}, connected ${status.connected}`);
  step('round trip complete');

  // The setup page and API, served by a real CGI web server on the same state directory.
  const web = await startLighttpd({ cgiEnv: { QV_CONNECTORS_DIR: dir, HOME: dir } });
  started.push(() => web.close());
  // A daemon started from the page is detached; the setup API stops whichever one runs.
  started.push(() => httpRequest(`${web.url}?action=stop`, { method: 'POST', body: '{}' }).catch(() => {}));
  const api = await httpRequest(`${web.url}?action=status`);
  const running = api.json?.status?.running;
  step(`setup page: ${web.url}  (API says running=${running}; approve senders, send tests, stop/start, read the log)`);
  if (process.argv.includes('--serve') || process.stdin.isTTY) {
    step('serving the setup page; press Ctrl-C to stop everything');
    await new Promise(() => {});
  }
}

let exitCode = 0;
process.on('SIGINT', async () => { await stopAll(); process.exit(130); });
process.on('SIGTERM', async () => { await stopAll(); process.exit(143); });
try {
  await main();
} catch (err) {
  process.stderr.write(`demo: failed: ${err.message}\n`);
  exitCode = 1;
} finally {
  await stopAll();
}
process.exit(exitCode);
