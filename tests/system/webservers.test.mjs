// The setup page and API behind each web server configuration in contrib/webservers/, used as shipped
// (lighttpd, Apache 2.4 with mod_cgid, nginx with fcgiwrap): the page in Chromium, the node password in
// each of its three forms, saves with a sized and with a chunked body, and a daemon start and stop.
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { readFile } from 'node:fs/promises';
import { after, before, describe, test } from 'node:test';
import { chromium } from 'playwright-core';
import { start as startDevnode } from '../../tools/devnode/devnode.mjs';
import { httpRequest, makeTempDir, pidAlive, removeDir, waitUntil } from './lib/common.mjs';
import { makeConnectorsDir } from './lib/exe.mjs';
import { startNtfy } from './lib/ntfy.mjs';
import { missingBinaries, SERVERS, startWebServer } from './lib/webservers.mjs';

const CHROMIUM = process.env.QV_CHROMIUM || '/usr/bin/chromium';
const CHROMIUM_ARGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];
const PASSWORD = 'web-pw-7';
const SESSION = 'main:chat';

const readJson = async (file) => JSON.parse(await readFile(file, 'utf8'));

let browser;

before(async () => {
  if (!existsSync(CHROMIUM)) throw new Error(`Chromium is missing at ${CHROMIUM}: run scripts/bootstrap`);
  const profile = await makeTempDir('qv-chromium-');
  const ctx = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM, headless: true, args: CHROMIUM_ARGS,
  });
  browser = { ctx, close: async () => { await ctx.close(); await removeDir(profile); } };
});

after(async () => {
  await browser?.close();
});

// The daemon's pid from its pid file, or 0.
async function daemonPid(conn) {
  try {
    const pid = Number.parseInt(await readFile(conn.file('daemon.pid'), 'utf8'), 10);
    return pid > 0 && pidAlive(pid) ? pid : 0;
  } catch {
    return 0;
  }
}

// A connector folder and the server serving chimewick from it. One hook, in this order: a daemon
// started through the server is detached from it, and its pid file lives in the folder that goes last.
async function serve(t, kind) {
  const conn = await makeConnectorsDir();
  let web;
  t.after(async () => {
    const pid = await daemonPid(conn);
    if (pid) {
      process.kill(pid, 'SIGTERM');
      await waitUntil(() => !pidAlive(pid), { timeoutMs: 5000, what: 'the daemon to stop' })
        .catch(() => process.kill(pid, 'SIGKILL'));
    }
    await web?.close();
    await conn.cleanup();
  });
  web = await startWebServer(kind, { connectorsDir: conn.dir, password: PASSWORD });
  return { conn, web };
}

const withPassword = { 'X-Bot-Password': PASSWORD };

for (const kind of Object.keys(SERVERS)) {
  const missing = await missingBinaries(kind);
  describe(`behind ${kind}`, { skip: missing.length > 0 && `missing ${missing.join(', ')}` }, () => {
    test('the password gate admits the header, the bearer token and the pwd field; the state folder arrives',
      async (t) => {
        const { conn, web } = await serve(t, kind);
        const info = (suffix = '', headers = {}) => httpRequest(`${web.url}?action=info${suffix}`, { headers });
        for (const refused of [await info(), await info('&pwd=wrong'), await info('', { 'X-Bot-Password': 'wrong' }),
          await info('', { Authorization: `Basic ${PASSWORD}` })]) {
          assert.equal(refused.status, 401, await web.log());
          assert.deepEqual(refused.json, { ok: false, error: 'invalid node password' });
        }
        for (const admitted of [await info('', withPassword), await info('', { Authorization: `Bearer ${PASSWORD}` }),
          await info(`&pwd=${PASSWORD}`)]) {
          assert.equal(admitted.status, 200, `${admitted.text} ${await web.log()}`);
          assert.equal(admitted.json.connector_dir, conn.stateDir);
        }
      });

    test('save takes a body with a Content-Length and a chunked one', async (t) => {
      const { conn, web } = await serve(t, kind);
      const sized = JSON.stringify({ action: 'save', topic: 'sized_body', priority: 2 });
      const r1 = await httpRequest(web.url, {
        method: 'POST', body: sized,
        headers: { ...withPassword, 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(sized) },
      });
      assert.equal(r1.status, 200, `${r1.text} ${await web.log()}`);
      assert.equal((await readJson(conn.file('config.json'))).topic, 'sized_body');

      const r2 = await httpRequest(web.url, {
        method: 'POST', body: JSON.stringify({ action: 'save', topic: 'chunked_body', priority: 4 }),
        headers: { ...withPassword, 'Content-Type': 'application/json', 'Transfer-Encoding': 'chunked' },
      });
      assert.equal(r2.status, 200, `${r2.text} ${await web.log()}`);
      assert.equal(r2.json.config.topic, 'chunked_body');
      const stored = await readJson(conn.file('config.json'));
      assert.equal(stored.topic, 'chunked_body');
      assert.equal(stored.priority, 4);
    });

    test('the setup page loads in Chromium and saves', async (t) => {
      const { conn, web } = await serve(t, kind);
      const page = await browser.ctx.newPage();
      t.after(() => page.close());
      page.setDefaultTimeout(10000);
      const problems = [];
      page.on('pageerror', (err) => problems.push(err.message));
      const first = await page.goto(`${web.url}?pwd=${PASSWORD}`);
      assert.equal(first.status(), 200);
      await waitUntil(async () => (await page.locator('#runPill').textContent()) === 'daemon: stopped',
        { timeoutMs: 10000, what: 'the page to show the daemon stopped' });
      await page.click('#tabSetup');
      await page.fill('#f_topic', `${kind}_page`);
      await page.fill('#f_session', 'main');
      await page.click('#saveBtn');
      await waitUntil(async () => /^Saved at /.test(await page.locator('#msg').textContent()),
        { timeoutMs: 10000, what: 'the page to say it saved' });
      assert.equal((await readJson(conn.file('config.json'))).topic, `${kind}_page`);
      assert.deepEqual(problems, []);
      // Its open connections would hold up the server's stop.
      await page.close();
    });

    test('a daemon starts and stops through the API', async (t) => {
      const srv = await startNtfy();
      t.after(() => srv.close());
      const dev = await startDevnode({ unref: true, replyDelayMs: 50 });
      t.after(() => dev.close());
      const { conn, web } = await serve(t, kind);
      const post = (action, body = {}) => httpRequest(`${web.url}?action=${action}`,
        { method: 'POST', body, headers: withPassword, timeoutMs: 10000 });

      const saved = await post('save', { server_url: srv.url, topic: `web_${kind}`, target_session: SESSION, bot_api_url: dev.url });
      assert.equal(saved.status, 200, saved.text);
      const started = await post('start');
      assert.equal(started.status, 200, `${started.text} ${await web.log()}`);
      assert.deepEqual(started.json, { ok: true, started: true });
      const pid = await waitUntil(() => daemonPid(conn), { timeoutMs: 8000, what: 'the daemon to write its pid file' });
      await waitUntil(async () => (await post('status')).json.status.connected === 1,
        { timeoutMs: 8000, what: 'the daemon to subscribe' });

      const stopped = await post('stop');
      assert.equal(stopped.status, 200, stopped.text);
      assert.deepEqual(stopped.json, { ok: true, stopped: true });
      assert.equal(pidAlive(pid), false);
      assert.equal((await post('status')).json.status.running, 0);
    });
  });
}
