// The setup page in a real browser (Chromium from Debian, driven by playwright-core), served as a
// CGI program on 127.0.0.1: themes and embedding, the node password on every request, each tab
// against the real setup API, daemon and ntfy server, escaping, and screenshots in artifacts/.
import assert from 'node:assert/strict';
import { existsSync, readFileSync } from 'node:fs';
import { mkdir, readFile, writeFile } from 'node:fs/promises';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { chromium } from 'playwright-core';
import { start as startDevnode } from '../../tools/devnode/devnode.mjs';
import { startCgiHost } from './lib/cgihost.mjs';
import { startLighttpd } from './lib/lighttpd.mjs';
import { httpRequest, makeTempDir, pidAlive, removeDir, repoRoot, sleep, waitUntil } from './lib/common.mjs';
import { makeConnectorsDir } from './lib/exe.mjs';
import { startNtfy } from './lib/ntfy.mjs';
import { publish, subscribe } from './lib/stream.mjs';

const CHROMIUM = process.env.QV_CHROMIUM || '/usr/bin/chromium';
const CHROMIUM_ARGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];
const SHOTS = path.join(repoRoot, 'artifacts', 'setup-page');
const DESKTOP = { width: 1100, height: 900 };
const PHONE = { width: 390, height: 844 };
const PICK_BLOCK = readFileSync(path.join(repoRoot, 'src', 'setup', 'theme_pick.html'), 'utf8');
const BRIDGE_BLOCK = readFileSync(path.join(repoRoot, 'src', 'setup', 'theme_bridge.html'), 'utf8');
const CSP = "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:; "
  + "connect-src 'self'; form-action 'none'; base-uri 'none'";
const TABS = ['tabStatus', 'tabSetup', 'tabPair', 'tabSend', 'tabLog'];

let browser;

before(async () => {
  if (!existsSync(CHROMIUM)) throw new Error(`Chromium is missing at ${CHROMIUM}: run scripts/bootstrap`);
  const profile = await makeTempDir('qv-chromium-');
  // A fresh profile each run; the persistent context is how a profile folder is given.
  const ctx = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM, headless: true, args: CHROMIUM_ARGS, viewport: DESKTOP,
  });
  browser = { ctx, close: async () => { await ctx.close(); await removeDir(profile); } };
});

after(async () => {
  await browser?.close();
});

const count = (hay, needle) => hay.split(needle).length - 1;

// A daemon started from the page is detached from everything the test started, so it is
// stopped here by the pid it recorded.
async function stopDaemonOf(conn) {
  let pid;
  try {
    pid = Number.parseInt(await readFile(conn.file('daemon.pid'), 'utf8'), 10);
  } catch {
    return;
  }
  if (!pid || !(await pidAlive(pid))) return;
  try {
    process.kill(pid, 'SIGTERM');
  } catch {
    return;
  }
  await waitUntil(async () => !(await pidAlive(pid)), { timeoutMs: 5000, what: 'the daemon to stop' })
    .catch(() => process.kill(pid, 'SIGKILL'));
}

// A connector folder and a CGI host serving chimewick from it.
async function serve(t, env = {}) {
  const conn = await makeConnectorsDir();
  let host;
  // One hook, in this order: the daemon's pid file lives in the folder that goes last.
  t.after(async () => {
    await stopDaemonOf(conn);
    await host?.close();
    await conn.cleanup();
  });
  host = await startCgiHost({ connectorsDir: conn.dir, env });
  return { conn, host };
}

// A new tab that records the API requests and answers, and what the page must never do:
// throw, or break the content security policy.
async function openPage(t, url, { colorScheme = 'dark', viewport = DESKTOP } = {}) {
  const page = await browser.ctx.newPage();
  t.after(() => page.close());
  page.setDefaultTimeout(10000);
  await page.setViewportSize(viewport);
  await page.emulateMedia({ colorScheme });
  page.problems = [];
  page.apiRequests = [];
  page.apiAnswers = [];
  page.on('pageerror', (err) => page.problems.push(`page error: ${err.message}`));
  page.on('console', (msg) => {
    if (/Content Security Policy|Refused to/i.test(msg.text())) page.problems.push(`console: ${msg.text()}`);
  });
  page.on('request', (req) => {
    if (new URL(req.url()).searchParams.has('action')) page.apiRequests.push(req);
  });
  page.on('response', async (res) => {
    if (!new URL(res.url()).searchParams.has('action')) return;
    const entry = { url: res.url(), status: res.status(), text: '' };
    page.apiAnswers.push(entry);
    entry.text = await res.text().catch(() => '');
  });
  if (url) page.firstResponse = await page.goto(url);
  return page;
}

function noProblems(page) {
  assert.deepEqual(page.problems, [], 'the page threw or broke its content security policy');
}

const text = (page, sel) => page.locator(sel).textContent();
const value = (page, sel) => page.locator(sel).inputValue();
const themeOf = (target) => target.evaluate(() => document.documentElement.getAttribute('data-theme'));
const storedTheme = (target) => target.evaluate(() => localStorage.getItem('bot_theme'));

async function waitText(page, sel, want, what = sel) {
  const test = typeof want === 'string' ? (s) => s === want : (s) => want.test(s);
  return waitUntil(async () => {
    const s = await text(page, sel);
    return test(s) ? s : false;
  }, { timeoutMs: 10000, what: `${what} to read ${want}` });
}

// Waits for the notice line to show this text (a string or a pattern) and returns {kind, text}.
async function waitNotice(page, want) {
  const match = typeof want === 'string' ? (s) => s === want : (s) => want.test(s);
  return waitUntil(async () => {
    const n = await page.evaluate(() => {
      const m = document.getElementById('msg');
      return { kind: m.className.replace('notice', '').trim(), text: m.textContent, shown: !m.hidden };
    });
    return n.shown && match(n.text) ? n : false;
  }, { timeoutMs: 10000, intervalMs: 25, what: `the notice ${want}` });
}

// Clicks Save and waits for its notice and for the form reload that follows a stored save, so that
// later typing is not overwritten by that reload.
async function save(page, want) {
  const from = page.apiAnswers.length;
  await page.click('#saveBtn');
  const shown = await waitNotice(page, want);
  if (shown.kind !== 'err') {
    await waitUntil(() => {
      const later = page.apiAnswers.slice(from).map((a) => new URL(a.url).searchParams.get('action'));
      const config = later.indexOf('config');
      return config >= 0 && later.indexOf('status', config) > config;
    }, { what: 'the form to reload' });
  }
  return shown;
}

async function figure(page, label) {
  return page.evaluate((l) => {
    for (const box of document.querySelectorAll('#kpis .kpi')) {
      if (box.querySelector('.k').textContent === l) return box.querySelector('.v').textContent;
    }
    return null;
  }, label);
}

async function statusLoaded(page) {
  await waitUntil(async () => (await text(page, '#runPill')) !== 'daemon: checking', { what: 'the first status' });
}

async function rows(page, body) {
  return page.evaluate((id) => [...document.querySelectorAll(`#${id} tr`)].map((tr) => ({
    label: tr.querySelector('.who-label')?.textContent ?? null,
    key: tr.querySelector('.who-key')?.textContent ?? null,
    cells: [...tr.querySelectorAll('td')].map((td) => td.textContent),
  })), body);
}

async function clickRowButton(page, body, key, label) {
  const row = page.locator(`#${body} tr`).filter({ hasText: key });
  await row.getByRole('button', { name: label }).click();
}

async function api(host, action, body) {
  const res = await httpRequest(`${host.url}?action=${action}`, body ? { method: 'POST', body } : {});
  return res.json;
}

async function shoot(page, name) {
  await mkdir(SHOTS, { recursive: true });
  await page.screenshot({ path: path.join(SHOTS, `${name}.png`), fullPage: true });
}

describe('the served document', () => {
  test('exact head, each theme block once, no mark byte, the same page whatever the theme query', async (t) => {
    const { host } = await serve(t);
    const plain = await httpRequest(host.url);
    for (const query of ['?theme=light', '?theme=dark&embed=1', '?embed=true']) {
      const res = await httpRequest(host.url + query);
      assert.equal(res.status, 200);
      assert.equal(res.text, plain.text, query);
    }
    assert.equal(plain.status, 200);
    assert.equal(plain.headers['content-type'], 'text/html; charset=utf-8');
    assert.equal(plain.headers['cache-control'], 'no-store');
    assert.equal(plain.headers['x-content-type-options'], 'nosniff');
    assert.equal(plain.headers['x-frame-options'], 'SAMEORIGIN');
    assert.equal(plain.headers['content-security-policy'], CSP);
    assert.equal(count(plain.text, PICK_BLOCK), 1);
    assert.equal(count(plain.text, BRIDGE_BLOCK), 1);
    assert.ok(!plain.text.includes('\x01') && !plain.text.includes('\x02'));
    assert.ok(plain.text.startsWith('<!doctype html>'));
  });

  test('with a node password the page itself answers 401 without it', async (t) => {
    const { host } = await serve(t, { BOT_PASSWORD: 'sesame' });
    const refused = await httpRequest(`${host.url}?theme=dark`);
    assert.equal(refused.status, 401);
    assert.deepEqual(refused.json, { ok: false, error: 'invalid node password' });
    assert.equal((await httpRequest(`${host.url}?theme=dark&pwd=sesame`)).status, 200);
    assert.equal((await httpRequest(host.url, { headers: { 'X-Bot-Password': 'sesame' } })).status, 200);
  });
});

describe('any CGI web server', () => {
  test('behind lighttpd the page finds its API at its own address and saves through a POST', async (t) => {
    const conn = await makeConnectorsDir();
    t.after(() => conn.cleanup());
    const web = await startLighttpd({ cgiEnv: { QV_CONNECTORS_DIR: conn.dir, HOME: conn.dir } });
    t.after(() => web.close());
    const page = await openPage(t, `${web.url}?theme=light`);
    await waitText(page, '#runPill', 'daemon: stopped');
    assert.equal(await text(page, '#verTxt'), 'v1.0.2');
    await page.click('#tabSetup');
    await page.fill('#f_topic', 'lighttpd_topic');
    await page.fill('#f_session', 'main');
    await save(page, /^Saved at /);
    assert.equal(JSON.parse(await readFile(conn.file('config.json'), 'utf8')).topic, 'lighttpd_topic');
    await page.click('#tabPair');
    await waitText(page, '#apprBody', 'No approved senders yet.');
    for (const req of page.apiRequests) assert.equal(new URL(req.url()).pathname, new URL(web.url).pathname);
    noProblems(page);
  });
});

describe('themes and embedding', () => {
  test('the address beats the stored theme, the stored theme beats the browser preference', async (t) => {
    const { host } = await serve(t);
    const page = await openPage(t, host.url, { colorScheme: 'light' });
    assert.equal(await themeOf(page), 'light', 'nothing stored: the browser preference');
    assert.equal(await storedTheme(page), 'light');

    await page.evaluate(() => localStorage.setItem('bot_theme', 'dark'));
    await page.reload();
    assert.equal(await themeOf(page), 'dark', 'a stored dark theme beats a light preference');

    await page.goto(`${host.url}?theme=light`);
    assert.equal(await themeOf(page), 'light', 'theme=light overrides the stored dark theme');
    assert.equal(await storedTheme(page), 'light', 'and is stored');

    await page.emulateMedia({ colorScheme: 'dark' });
    await page.goto(`${host.url}?theme=purple`);
    assert.equal(await themeOf(page), 'light', 'an unknown theme falls back to the stored one');

    await page.evaluate(() => localStorage.removeItem('bot_theme'));
    await page.goto(host.url);
    assert.equal(await themeOf(page), 'dark', 'nothing stored, dark preference');
    const bg = () => page.evaluate(() => getComputedStyle(document.body).backgroundColor);
    const darkBg = await bg();

    await page.click('#themeBtn');
    assert.equal(await themeOf(page), 'light');
    assert.equal(await storedTheme(page), 'light');
    assert.notEqual(await bg(), darkBg, 'the palette follows the theme');
    await page.click('#themeBtn');
    assert.equal(await themeOf(page), 'dark');
    assert.equal(await storedTheme(page), 'dark');
    assert.equal(await page.evaluate(() => window.qvTheme()), 'dark');
    noProblems(page);
  });

  test('embed=1 or embed=true adds the class and hides the toggle and the title; other values do not', async (t) => {
    const { host } = await serve(t);
    const cases = [['embed=1', true], ['embed=true', true], ['theme=light&embed=1', true], ['embed=yes', false],
      ['embed=TRUE', false], ['embed=0', false], ['', false]];
    const page = await openPage(t, null);
    for (const [query, embedded] of cases) {
      await page.goto(`${host.url}?${query}`);
      const root = await page.evaluate(() => document.documentElement.classList.contains('embedded'));
      assert.equal(root, embedded, query);
      assert.equal(await page.locator('#themeBtn').isVisible(), !embedded, query);
      assert.equal(await page.locator('h1').isVisible(), !embedded, query);
      assert.ok(await page.locator('#runPill').isVisible(), 'the pills stay');
    }
    noProblems(page);
  });

  test('a host frame answering the theme request switches the page and its storage', async (t) => {
    const { host } = await serve(t);
    const page = await openPage(t, `${host.url}?theme=dark`);
    assert.equal(await storedTheme(page), 'dark');
    // The host lives on the same origin: the page may only be framed by its own origin.
    await page.route(`${host.origin}/host.html`, (route) => route.fulfill({
      contentType: 'text/html',
      body: `<!doctype html><title>node</title><script>
        window.asked = 0;
        addEventListener('message', (ev) => {
          if (ev.data && ev.data.type === 'qv-theme-request') {
            window.asked++;
            ev.source.postMessage({ type: 'qv-theme', theme: 'light' }, '*');
          }
        });
      </script><iframe id="f" src="${host.scriptName}?embed=1" style="width:1000px;height:700px"></iframe>`,
    }));
    await page.goto(`${host.origin}/host.html`);
    const frame = await waitUntil(() => page.frames().find((f) => f.url().includes(host.scriptName)),
      { what: 'the framed page' });
    await waitUntil(async () => (await themeOf(frame)) === 'light', { what: 'the frame to take the host theme' });
    assert.equal(await storedTheme(frame), 'light');
    assert.equal(await page.evaluate(() => window.asked), 1);
    assert.equal(await frame.evaluate(() => document.documentElement.classList.contains('embedded')), true);

    // Later theme changes from the host apply once, with the page's own event; junk is ignored.
    await frame.evaluate(() => {
      window.seen = [];
      addEventListener('bot-theme', (ev) => window.seen.push(ev.detail));
    });
    const post = (msg) => page.evaluate((m) => document.getElementById('f').contentWindow.postMessage(m, '*'), msg);
    await post({ type: 'qv-theme', theme: 'dark' });
    await waitUntil(async () => (await themeOf(frame)) === 'dark', { what: 'the dark theme' });
    for (const junk of [{ type: 'qv-theme', theme: 'dark' }, { type: 'qv-theme', theme: 'purple' },
      { type: 'other', theme: 'light' }, 'qv-theme', null]) await post(junk);
    await post({ type: 'qv-theme', theme: 'light' });
    await waitUntil(async () => (await themeOf(frame)) === 'light', { what: 'the light theme' });
    assert.deepEqual(await frame.evaluate(() => window.seen), ['dark', 'light']);
    assert.equal(await frame.evaluate(() => window.qvTheme()), 'light');
    noProblems(page);
  });
});

describe('the node password on every request', () => {
  test('pwd in the address travels, still encoded, on every API request', async (t) => {
    const { host } = await serve(t, { BOT_PASSWORD: 'p@ss w0rd&x' });
    const pwd = 'p%40ss%20w0rd%26x';
    const page = await openPage(t, `${host.url}?theme=light&pwd=${pwd}`);
    assert.equal(page.firstResponse.status(), 200);
    await statusLoaded(page);
    for (const tab of TABS) {
      await page.click(`#${tab}`);
      await sleep(150);
    }
    await page.click('#tabSetup');
    await page.fill('#f_topic', 'pw_topic');
    await save(page, /^Saved\. Note: /);
    await page.click('#tabStatus');
    await page.click('#refreshBtn');
    await sleep(300);
    const actions = new Set(page.apiRequests.map((r) => new URL(r.url()).searchParams.get('action')));
    for (const a of ['status', 'config', 'pending', 'approved', 'logs', 'save']) assert.ok(actions.has(a), a);
    for (const req of page.apiRequests) {
      assert.ok(req.url().endsWith(`&pwd=${pwd}`), req.url());
    }
    assert.ok(page.apiAnswers.length > 0);
    for (const answer of page.apiAnswers) assert.equal(answer.status, 200, answer.url);
    assert.equal(await figure(page, 'Topic'), 'pw_topic');
    noProblems(page);
  });

  test('without pwd in the address no request carries one', async (t) => {
    const { host } = await serve(t);
    const page = await openPage(t, `${host.url}?theme=dark`);
    await statusLoaded(page);
    await page.click('#tabPair');
    await page.click('#tabLog');
    await sleep(300);
    assert.ok(page.apiRequests.length >= 5);
    for (const req of page.apiRequests) assert.ok(!req.url().includes('pwd'), req.url());
    noProblems(page);
  });
});

describe('setup form', () => {
  test('save stores secrets write-only; "(stored)" pins and blank secret boxes keep what is stored', async (t) => {
    const { conn, host } = await serve(t);
    const pins = 'ab'.repeat(32);
    const token = 'Bearer tk_page_secret_1';
    const page = await openPage(t, `${host.url}?theme=light`);
    await statusLoaded(page);
    assert.equal(await value(page, '#f_prio'), '3');
    assert.equal(await value(page, '#f_poll'), '700');
    await page.click('#tabSetup');
    await page.fill('#f_server', 'http://127.0.0.1:9');
    await page.fill('#f_topic', '  page_topic ');
    await page.fill('#f_session', 'main');
    await page.fill('#f_token', token);
    await page.fill('#f_pins', pins);
    await page.fill('#f_pwd', 'node-secret-1');
    await page.fill('#f_prio', '9');
    await page.fill('#f_reply', '> ');
    await page.check('#f_md');
    const saved = await save(page, /^Saved at \d\d:\d\d:\d\d\.$/);
    assert.equal(saved.kind, 'ok');
    await waitUntil(async () => (await value(page, '#f_pins')) === '(stored)', { what: 'the pins box to read (stored)' });
    assert.equal(await text(page, '#tokState'), 'stored (hidden)');
    assert.equal(await text(page, '#pwdState'), 'stored (hidden)');
    assert.equal(await value(page, '#f_token'), '');
    assert.equal(await value(page, '#f_pwd'), '');
    assert.equal(await value(page, '#f_topic'), 'page_topic', 'texts are trimmed');
    assert.equal(await value(page, '#f_reply'), '> ', 'the reply prefix is not');
    assert.equal(await value(page, '#f_prio'), '5', 'the stored priority is clamped');
    assert.equal(await page.locator('#f_md').isChecked(), true);
    await waitText(page, '#tlsPill', 'tls: pinned');

    let stored = JSON.parse(await readFile(conn.file('config.json'), 'utf8'));
    assert.equal(stored.bearer_token, token);
    assert.equal(stored.allowed_pins, pins);
    assert.equal(stored.bot_password, 'node-secret-1');

    page.apiRequests.length = 0;
    await page.fill('#f_topic', 'page_topic_2');
    await save(page, /^Saved at /);
    const post = page.apiRequests.find((r) => r.url().includes('action=save'));
    assert.equal(post.method(), 'POST');
    assert.equal(post.headers()['content-type'], 'application/json');
    const sent = JSON.parse(post.postData());
    assert.equal(sent.topic, 'page_topic_2');
    for (const secret of ['allowed_pins', 'bearer_token', 'bot_password']) assert.ok(!(secret in sent), secret);
    assert.equal(sent.markdown, true);
    stored = JSON.parse(await readFile(conn.file('config.json'), 'utf8'));
    assert.equal(stored.topic, 'page_topic_2');
    assert.equal(stored.bearer_token, token);
    assert.equal(stored.allowed_pins, pins);
    assert.equal(stored.bot_password, 'node-secret-1');

    // A configuration that is not complete is stored all the same, with a note.
    await page.fill('#f_topic', '');
    await page.fill('#f_ptopic', '');
    const note = await save(page, /^Saved\. Note: /);
    assert.equal(note.kind, 'info');

    await sleep(300);
    for (const answer of page.apiAnswers) {
      for (const secret of [token, pins, 'node-secret-1']) assert.ok(!answer.text.includes(secret), answer.url);
    }
    noProblems(page);
  });

  test('pairing codes with the publish topic as the topic warn on Status and Pairing; a separate one does not', async (t) => {
    const { host } = await serve(t);
    const page = await openPage(t, `${host.url}?theme=light`);
    await statusLoaded(page);
    const warnings = () => page.evaluate(() => ['pairWarnSt', 'pairWarnPr'].map((id) => !document.getElementById(id).hidden));
    await page.click('#tabSetup');
    await page.fill('#f_topic', 'shared_topic');
    await page.fill('#f_ptopic', '');
    await page.fill('#f_session', 'main');
    assert.equal(await page.locator('#f_pair').isChecked(), true, 'pairing codes are on by default');
    await save(page, /^Saved at /);
    await page.click('#tabStatus');
    await page.locator('#pairWarnSt').waitFor({ state: 'visible' });
    assert.match(await text(page, '#pairWarnSt'), /anyone who can read the topic can pair itself.*separate publish topic.*pairing codes off/);
    assert.match(await text(page, '#policyTxt'), /pairing code that is published on the publish topic/);
    await page.click('#tabPair');
    assert.deepEqual(await warnings(), [true, true]);
    assert.equal(await page.locator('#pairWarnPr').isVisible(), true);

    await page.click('#tabSetup');
    await page.fill('#f_ptopic', 'owner_only_topic');
    await save(page, /^Saved at /);
    await waitUntil(async () => (await warnings()).every((shown) => !shown), { what: 'the warnings to go' });
    await page.click('#tabPair');
    assert.equal(await page.locator('#pairWarnPr').isVisible(), false);

    // Without pairing codes, or with every sender allowed, the texts say so and there is no warning.
    await page.click('#tabSetup');
    await page.fill('#f_ptopic', '');
    await page.uncheck('#f_pair');
    await save(page, /^Saved at /);
    await waitText(page, '#policyTxt', 'Nothing from an unknown sender is forwarded until you approve it on this page.');
    assert.deepEqual(await warnings(), [false, false]);
    await page.check('#f_all');
    await save(page, /^Saved at /);
    await waitText(page, '#policyTxt', /^Every sender is allowed: everything published on the topic is forwarded/);
    noProblems(page);
  });

  test('a guessable topic on a public server warns on Status and Setup; a generated name or a private server does not', async (t) => {
    const { host } = await serve(t);
    const page = await openPage(t, `${host.url}?theme=light`);
    await statusLoaded(page);
    const shown = () => page.evaluate(() => ['topicWarnSt', 'topicWarnSf', 'genTopicBtn'].map((id) => !document.getElementById(id).hidden));
    await page.click('#tabSetup');
    await page.fill('#f_server', 'https://ntfy.sh');
    await page.fill('#f_topic', 'home_alerts');
    await page.fill('#f_session', 'main');
    await save(page, /^Saved at /);
    assert.match(await text(page, '#topicWarnSf'), /the topic "home_alerts" on the public server can be guessed \(about 53 bits/);
    await page.click('#tabStatus');
    await page.locator('#topicWarnSt').waitFor({ state: 'visible' });
    assert.deepEqual(await shown(), [true, true, true]);

    await page.click('#tabSetup');
    await page.click('#genTopicBtn');
    const generated = await value(page, '#f_topic');
    assert.match(generated, /^cw-[A-Za-z0-9_-]{22}$/);
    assert.equal(await value(page, '#f_ptopic'), generated, 'a publish topic that was the topic follows it');
    await save(page, /^Saved at /);
    await waitUntil(async () => (await shown()).every((on) => !on), { what: 'the warnings to go' });

    await page.fill('#f_server', 'http://192.168.1.20:8080');
    await page.fill('#f_topic', 'home_alerts');
    assert.equal(await page.locator('#topicWarnSf').isVisible(), false, 'a server on a private address');
    noProblems(page);
  });

  test('with private device topics a device added on the Pairing tab shows its topic, a subscribe link and its QR code', async (t) => {
    const { host } = await serve(t);
    const page = await openPage(t, `${host.url}?theme=light`);
    await statusLoaded(page);
    assert.equal(await page.locator('#addDevCard').isVisible(), false);
    await page.click('#tabSetup');
    await page.fill('#f_server', 'http://127.0.0.1:9');
    await page.fill('#f_topic', 'lobby_t');
    await page.fill('#f_session', 'main');
    await page.check('#f_private');
    await save(page, /^Saved at /);
    assert.equal(await page.locator('#f_private').isChecked(), true, 'the switch is stored');
    await page.click('#tabPair');
    await page.locator('#addDevCard').waitFor({ state: 'visible' });
    assert.match(await text(page, '#pairPolicy'), /^A message on the lobby is only a request/);
    await page.fill('#a_label', 'phone');
    await page.click('#addDevBtn');
    const shown = await waitNotice(page, /^Device added: subscribe to lobby_t-[A-Za-z0-9_-]{22} on it\.$/);
    const topic = /(lobby_t-\S+) on it/.exec(shown.text)[1];
    await waitUntil(async () => (await rows(page, 'apprBody')).some((r) => r.label === 'phone'), { what: 'the device row' });
    assert.equal(await text(page, '#apprBody .topic-name'), topic);
    assert.equal(await page.locator('#apprBody a.topic-link').getAttribute('href'), `http://127.0.0.1:9/${topic}`);
    const [entry] = (await api(host, 'approved')).approved;
    assert.equal(entry.topic, topic);
    // Its QR code, drawn from the rows the API gives, with a quiet zone of four modules.
    const qr = await page.evaluate(() => {
      const c = document.querySelector('#apprBody canvas.qr');
      return c && { w: c.width, dark: c.getContext('2d').getImageData(4, 4, 1, 1).data[0] };
    });
    assert.deepEqual(qr, { w: entry.qr.length + 8, dark: 0 });
    noProblems(page);
  });

  test('saving another server says that the old token and pins were removed', async (t) => {
    const { conn, host } = await serve(t);
    const page = await openPage(t, `${host.url}?theme=light`);
    await statusLoaded(page);
    await page.click('#tabSetup');
    await page.fill('#f_server', 'http://127.0.0.1:9');
    await page.fill('#f_topic', 'moving');
    await page.fill('#f_session', 'main');
    await page.fill('#f_token', 'Bearer tk_old_server');
    await page.fill('#f_pins', 'cd'.repeat(32));
    await save(page, /^Saved at /);
    await waitUntil(async () => (await value(page, '#f_pins')) === '(stored)', { what: 'the pins box to read (stored)' });
    await page.fill('#f_server', 'http://127.0.0.1:10/other');
    const shown = await save(page, /token was removed/);
    assert.equal(shown.kind, 'info');
    assert.equal(shown.text, 'Saved. The access token was removed because the server changed; enter the token for the '
      + "new server. The allowed pins were removed because the server changed; pin the new server's key if it needs one.");
    const stored = JSON.parse(await readFile(conn.file('config.json'), 'utf8'));
    assert.equal(stored.bearer_token, '');
    assert.equal(stored.allowed_pins, '');
    noProblems(page);
  });

  test('failures show their notices and placeholders', async (t) => {
    const { host } = await serve(t);
    const page = await openPage(t, `${host.url}?theme=dark`);
    await statusLoaded(page);
    assert.equal(await text(page, '#runPill'), 'daemon: stopped');
    assert.equal(await page.locator('#stopBtn').isDisabled(), true);
    assert.equal(await page.locator('#startBtn').isDisabled(), false);
    assert.equal(await figure(page, 'State'), 'stopped');
    assert.equal(await figure(page, 'Topic'), '(not set)');
    assert.equal(await figure(page, 'Last error'), 'none');
    assert.equal(await figure(page, 'Last inbound'), '-');
    const labels = await page.evaluate(() => [...document.querySelectorAll('#kpis .kpi .k')].map((k) => k.textContent));
    assert.deepEqual(labels.slice(labels.indexOf('Session')), ['Session', 'Server', 'Policy', 'Last error', 'Queued for the node', 'Dropped from the queue']);

    await page.click('#tabSend');
    await page.fill('#s_msg', '   ');
    const before = page.apiRequests.length;
    await page.click('#sendBtn');
    assert.equal((await waitNotice(page, 'Write a message first.')).kind, 'err');
    assert.equal(page.apiRequests.length, before, 'nothing is sent');
    await page.fill('#s_msg', 'hello');
    await page.click('#sendBtn');
    await waitNotice(page, 'Publish failed: no topic configured');

    await page.click('#tabSetup');
    await page.click('#testBtn');
    await waitNotice(page, 'Test failed: set a topic first');

    await page.click('#tabStatus');
    await page.click('#startBtn');
    assert.equal((await waitNotice(page, /^Start failed: /)).kind, 'err');
    await page.locator('#stopBtn').evaluate((b) => { b.disabled = false; });
    await page.click('#stopBtn');
    await waitNotice(page, 'Stop failed: the daemon is not running');

    await page.click('#tabPair');
    await waitText(page, '#pendBody', 'Nothing waiting. Publish anything on the subscribe topic to create a request.');
    await waitText(page, '#apprBody', 'No approved senders yet.');
    await page.click('#tabLog');
    await waitText(page, '#logBox', /daemon|\(empty/);

    // With the web server gone every call fails as a network failure.
    await host.close();
    await page.click('#tabStatus');
    await page.click('#refreshBtn');
    await waitText(page, '#runPill', 'daemon: unreachable');
    assert.match(await page.locator('#runPill').getAttribute('class'), /\bbad\b/);
    await page.click('#tabPair');
    await waitText(page, '#pendBody', 'Unavailable.');
    await waitText(page, '#apprBody', 'Unavailable.');
    await page.click('#tabLog');
    await waitText(page, '#logBox', 'Log unavailable.');
    await page.click('#tabSetup');
    await page.click('#saveBtn');
    await waitNotice(page, 'Save failed: network error');
    await page.click('#tabSend');
    await page.click('#sendBtn');
    await waitNotice(page, 'Publish failed: network');
    noProblems(page);
  });
});

describe('the whole flow against the real daemon and ntfy server', () => {
  test('start, pairing rows approved and denied, revoke, send, test, log, stop; escaping; screenshots', async (t) => {
    const srv = await startNtfy();
    t.after(() => srv.close());
    const node = await startDevnode({ unref: true, replyDelayMs: 50 });
    t.after(() => node.close());
    const { conn, host } = await serve(t);
    const topic = 'page_flow';
    const sub = await subscribe(srv.url, topic);
    t.after(() => sub.close());

    const page = await openPage(t, `${host.url}?theme=light`);
    await statusLoaded(page);
    await page.click('#tabSetup');
    await page.fill('#f_server', srv.url);
    await page.fill('#f_topic', topic);
    await page.fill('#f_session', 'main');
    await page.fill('#f_api', node.url);
    await page.fill('#f_tags', 'robot');
    await save(page, /^Saved at /);

    // Start: saves first, then starts; the buttons follow the daemon.
    await page.click('#tabStatus');
    await page.click('#startBtn');
    await waitNotice(page, 'Daemon started.');
    await waitText(page, '#runPill', 'daemon: running');
    assert.match(await page.locator('#runPill').getAttribute('class'), /\bgood\b/);
    assert.equal(await page.locator('#startBtn').isDisabled(), true);
    assert.equal(await page.locator('#stopBtn').isDisabled(), false);
    assert.equal(await text(page, '#tlsPill'), 'tls: plain http');
    await waitUntil(async () => {
      await page.click('#refreshBtn');
      return (await figure(page, 'State')) === 'subscribed';
    }, { timeoutMs: 10000, intervalMs: 300, what: 'the daemon to subscribe' });

    // Three unknown senders: one whose tags and message are markup and quotes.
    const evilMessage = `<img src=x onerror="window.__pwned=1"><script>window.__pwned=2</script> "dq" & 'sq' `
      + 'x'.repeat(150);
    const evilTags = ['<b>bold</b>', '"q"', "it's"];
    await publish(srv.url, topic, evilMessage, { tags: evilTags });
    await publish(srv.url, topic, 'hello from bob', { tags: ['bob'] });
    await publish(srv.url, topic, 'hello from carol', { tags: ['carol'] });
    const queued = await waitUntil(async () => {
      const j = await api(host, 'pending');
      return j.pending.length === 3 ? j.pending : false;
    }, { timeoutMs: 10000, what: 'three pending senders' });
    const evil = queued.find((p) => p.label.includes('<b>bold</b>'));
    const bob = queued.find((p) => p.label.includes('bob'));
    const carol = queued.find((p) => p.label.includes('carol'));
    assert.ok(evil && bob && carol, JSON.stringify(queued));
    assert.ok(evil.label.includes('"q"') && evil.label.includes("it's"));

    await page.click('#tabPair');
    await waitUntil(async () => (await rows(page, 'pendBody')).length === 3, { what: 'three pending rows' });
    assert.equal(await text(page, '#pendCount'), '(3)');
    const shown = (await rows(page, 'pendBody')).find((r) => r.key === evil.key);
    assert.equal(shown.label, evil.label, 'the label is shown as text');
    assert.equal(shown.cells[1], `${[...evil.sample].slice(0, 140).join('')}\u2026`, 'the sample, cut to 140');
    assert.ok(shown.cells[1].startsWith('<img src=x onerror='));
    assert.equal(shown.cells[2], evil.code);
    assert.match(shown.cells[3], /^\d+s x1$/);
    assert.equal(await page.evaluate(() => document.querySelectorAll('#pendBody img, #pendBody script, #pendBody b').length), 0);

    // Approve from the page; pair carol by code on the topic.
    await clickRowButton(page, 'pendBody', evil.key, 'Approve');
    await waitNotice(page, 'Sender approved.');
    await waitUntil(async () => (await rows(page, 'pendBody')).length === 2, { what: 'the approved row to leave the queue' });
    await publish(srv.url, topic, `PAIR ${carol.code}`, { tags: ['carol'] });
    await sub.waitForMessage('Paired. Your messages now reach the agent.');
    await page.click('#tabPair');
    await waitUntil(async () => (await rows(page, 'apprBody')).length === 2, { what: 'two approved rows' });
    const approved = await rows(page, 'apprBody');
    const evilRow = approved.find((r) => r.key === evil.key);
    assert.equal(evilRow.label, evil.label, 'the approval kept the label');
    assert.equal(evilRow.cells[3], 'ui');
    assert.equal(approved.find((r) => r.key === carol.key).cells[3], 'code');
    assert.equal(await page.evaluate(() => document.querySelectorAll('#apprBody img, #apprBody script, #apprBody b').length), 0);

    // The approved sender reaches the agent, and the reply comes back.
    await publish(srv.url, topic, 'second message from the markup sender', { tags: evilTags });
    await node.waitForInbox(/second message from the markup sender/, { timeoutMs: 10000 });
    await sub.waitForMessage(/^echo: /, { timeoutMs: 10000 });
    await page.click('#tabStatus');
    await waitUntil(async () => {
      await page.click('#refreshBtn');
      return (await figure(page, 'Replies sent')) === '1' && (await figure(page, 'Inbound')) === '1';
    }, { timeoutMs: 10000, intervalMs: 300, what: 'the counters' });
    assert.match(await figure(page, 'Last inbound'), /^\d+s$/);

    // Screenshots of every tab in both themes, on a desktop window and a phone-sized one.
    await page.click('#tabSend');
    await page.fill('#s_msg', 'Dinner is ready');
    for (const [viewport, suffix] of [[DESKTOP, ''], [PHONE, '-phone']]) {
      await page.setViewportSize(viewport);
      for (const theme of ['light', 'dark']) {
        await page.evaluate((th) => window.qvApplyTheme(th), theme);
        for (const tab of TABS) {
          await page.click(`#${tab}`);
          if (tab === 'tabPair') await waitUntil(async () => (await rows(page, 'apprBody')).length === 2);
          if (tab === 'tabLog') await waitText(page, '#logBox', /daemon started by the setup UI/);
          await sleep(200);
          await shoot(page, `${theme}-${tab.slice(3).toLowerCase()}${suffix}`);
        }
      }
    }
    await page.setViewportSize(DESKTOP);
    await page.evaluate(() => window.qvApplyTheme('light'));

    // Deny the one left waiting, revoke one approval.
    await page.click('#tabPair');
    await waitUntil(async () => (await rows(page, 'pendBody')).some((r) => r.key === bob.key));
    await clickRowButton(page, 'pendBody', bob.key, 'Deny');
    await waitNotice(page, 'Request removed.');
    await waitText(page, '#pendBody', 'Nothing waiting. Publish anything on the subscribe topic to create a request.');
    assert.equal(await text(page, '#pendCount'), '');
    await clickRowButton(page, 'apprBody', evil.key, 'Revoke');
    await waitNotice(page, 'Sender revoked.');
    await waitUntil(async () => (await rows(page, 'apprBody')).length === 1, { what: 'the revoked row to go' });
    assert.deepEqual((await api(host, 'approved')).approved.map((a) => a.key), [carol.key]);

    // Publish from the Send tab, and the test notification from the Setup tab.
    await page.click('#tabSend');
    await page.fill('#s_title', 'From the page');
    await page.fill('#s_tags', 'tada');
    await page.click('#sendBtn');
    const sentNotice = await waitNotice(page, /^Published to page_flow \(id [A-Za-z0-9]+\)\.$/);
    const published = await sub.waitForMessage('Dinner is ready');
    assert.equal(sentNotice.text, `Published to page_flow (id ${published.id}).`);
    assert.equal(published.title, 'From the page');
    await page.click('#tabSetup');
    await page.click('#testBtn');
    const testNotice = await waitNotice(page, /^Published \(id [A-Za-z0-9]+\)\. Check your phone\.$/);
    const testMsg = await sub.waitForMessage(/^chimewick test notification/);
    assert.equal(testNotice.text, `Published (id ${testMsg.id}). Check your phone.`);

    // Stop; the log tells both.
    await page.click('#tabStatus');
    await page.click('#stopBtn');
    await waitNotice(page, 'Daemon stopped.');
    await waitText(page, '#runPill', 'daemon: stopped');
    assert.equal(await page.locator('#startBtn').isDisabled(), false);
    assert.equal(await page.locator('#stopBtn').isDisabled(), true);
    assert.equal(await figure(page, 'State'), 'stopped');
    await page.click('#tabLog');
    await waitText(page, '#logBox', /daemon stopped by the setup UI/);

    assert.equal(await page.evaluate(() => window.__pwned), undefined, 'no script from the data ran');
    noProblems(page);
  });
});

describe('what the page tells the owner', () => {
  test('a save while the daemon runs asks for a restart; Restart to apply stops, then starts, saying each step', async (t) => {
    const srv = await startNtfy();
    t.after(() => srv.close());
    const node = await startDevnode({ unref: true, replyDelayMs: 50 });
    t.after(() => node.close());
    const { conn, host } = await serve(t);
    const page = await openPage(t, `${host.url}?theme=light`);
    await statusLoaded(page);
    await page.click('#tabSetup');
    await page.fill('#f_server', srv.url);
    await page.fill('#f_topic', 'restart_topic');
    await page.fill('#f_session', 'main');
    await page.fill('#f_api', node.url);
    await save(page, /^Saved at /);
    await page.click('#tabStatus');
    await page.click('#startBtn');
    await waitNotice(page, 'Daemon started.');
    await waitText(page, '#runPill', 'daemon: running');
    assert.equal(await page.locator('#restartBox').isVisible(), false);
    const pidOf = async () => Number.parseInt(await readFile(conn.file('daemon.pid'), 'utf8'), 10);
    const first = await waitUntil(pidOf, { what: 'the pid file' });

    await sleep(1100); // config.json's stamp has whole seconds
    await page.click('#tabSetup');
    await page.fill('#f_tags', 'after_restart');
    await save(page, /^Saved at \d\d:\d\d:\d\d\. The running daemon keeps its settings until it restarts \(Status tab\)\.$/);
    await page.click('#tabStatus');
    await page.locator('#restartBox').waitFor({ state: 'visible' });
    await page.evaluate(() => {
      const m = document.getElementById('msg');
      window.steps = [];
      new MutationObserver(() => window.steps.push(m.textContent)).observe(m, { childList: true, characterData: true, subtree: true });
    });
    await page.click('#restartBtn');
    await waitNotice(page, 'Restarted: the daemon stopped, then started with the saved settings.');
    assert.deepEqual([...new Set(await page.evaluate(() => window.steps))], ['Restarting: stopping the daemon\u2026',
      'Restarting: the daemon stopped; starting it\u2026', 'Restarted: the daemon stopped, then started with the saved settings.']);
    const second = await waitUntil(async () => {
      const pid = await pidOf().catch(() => 0);
      return pid && pid !== first && pidAlive(pid) ? pid : false;
    }, { what: 'a new daemon' });
    assert.ok(!pidAlive(first));
    await page.locator('#restartBox').waitFor({ state: 'hidden' });
    assert.equal((await api(host, 'status')).status.restart_needed, false);
    const log = await readFile(conn.file('daemon.log'), 'utf8');
    assert.match(log, /daemon stopped by the setup UI\n.*daemon started by the setup UI\n/s);
    assert.match(log, new RegExp(`daemon start topic=restart_topic`));
    assert.ok(second > 0);
    noProblems(page);
  });

  test('settings the web server sets show as set by it and stay out of a save; an API save of one says it will not apply', async (t) => {
    const { conn, host } = await serve(t, { BOT_PASSWORD: 'sesame', NTFY_TOPIC: 'env_topic' });
    const page = await openPage(t, `${host.url}?pwd=sesame`);
    await statusLoaded(page);
    await page.click('#tabSetup');
    await waitUntil(() => page.locator('#f_pwd').isDisabled(), { what: 'the password box to be locked' });
    assert.equal(await text(page, '#pwdState'), 'set by the web server');
    assert.equal(await page.locator('#f_topic').isDisabled(), true);
    assert.equal(await value(page, '#f_topic'), 'env_topic');
    const notes = await page.locator('.env-note').allTextContents();
    assert.equal(notes.length, 2);
    for (const n of notes) assert.equal(n, "Set by the web server's environment, which wins over this page: change it there.");
    assert.equal(await page.locator('#f_session').isDisabled(), false);
    await page.fill('#f_session', 'main');
    page.apiRequests.length = 0;
    await save(page, /^Saved at /);
    const sent = JSON.parse(page.apiRequests.find((r) => r.url().includes('action=save')).postData());
    assert.equal(sent.target_session, 'main');
    for (const key of ['topic', 'bot_password']) assert.ok(!(key in sent), key);
    assert.equal(JSON.parse(await readFile(conn.file('config.json'), 'utf8')).target_session, 'main');

    const r = await httpRequest(`${host.url}?action=save&pwd=sesame`, { method: 'POST', body: { bot_password: 'other', tags: 'x' } });
    assert.deepEqual(r.json.env_overrides, ['topic', 'bot_password']);
    assert.deepEqual(r.json.not_applied, ['bot_password']);
    // The gate still wants the environment's password.
    assert.equal((await httpRequest(`${host.url}?action=status&pwd=other`)).status, 401);
    assert.equal((await httpRequest(`${host.url}?action=status&pwd=sesame`)).status, 200);
    noProblems(page);
  });

  test('the Status tab explains a 403 in words and counts the program\'s own echoes apart from blocked senders', async (t) => {
    const { conn, host } = await serve(t);
    await mkdir(conn.stateDir, { recursive: true, mode: 0o700 });
    await writeFile(conn.file('status.json'), JSON.stringify({ last_error: 'subscribe http 403', blocked_count: 2, own_echo_count: 5 }),
      { mode: 0o600 });
    const page = await openPage(t, `${host.url}?theme=light`);
    await statusLoaded(page);
    await page.locator('#authNote').waitFor({ state: 'visible' });
    assert.equal(await text(page, '#authNote'), 'The ntfy server answered 403: the access token lacks read permission on '
      + 'the topic, which the daemon needs to receive messages. Grant it on the server (ntfy access) or use a token that has it.');
    assert.equal(await figure(page, 'Blocked'), '2');
    assert.equal(await figure(page, 'Own echoes dropped'), '5');
    noProblems(page);
  });

  test('a browser without the password gets a sign-in form; the password stays in the tab and travels as a header', async (t) => {
    const { host } = await serve(t, { BOT_PASSWORD: 'p@ss w0rd' });
    const page = await openPage(t, `${host.url}?theme=dark`);
    assert.equal(page.firstResponse.status(), 401);
    assert.equal(page.firstResponse.headers()['content-type'], 'text/html; charset=utf-8');
    assert.equal(page.firstResponse.headers()['content-security-policy'], CSP);
    await page.fill('#pwd', 'wrong');
    await page.click('#signinBtn');
    await waitText(page, '#msg', 'That is not the node password.');
    await page.fill('#pwd', 'p@ss w0rd');
    await page.click('#signinBtn');
    await statusLoaded(page);
    assert.equal(await themeOf(page), 'dark');
    await page.click('#tabPair');
    await page.click('#tabLog');
    await waitText(page, '#logBox', /daemon|\(empty/);
    assert.ok(page.apiRequests.length >= 4);
    for (const req of page.apiRequests) {
      assert.ok(!req.url().includes('pwd'), req.url());
      assert.equal((await req.allHeaders())['x-bot-password'], 'p@ss w0rd', req.url());
    }
    for (const answer of page.apiAnswers) assert.equal(answer.status, 200, answer.url);
    assert.equal(await page.evaluate(() => sessionStorage.getItem('chimewick_pwd')), 'p@ss w0rd');
    assert.ok(!page.url().includes('pwd'));

    // A reload signs in again from the tab's storage, without asking.
    await page.reload();
    await statusLoaded(page);
    assert.equal(await page.locator('#signin').count(), 0);
    // The API keeps its JSON refusal, whatever the request accepts; ?pwd= still works.
    const refused = await httpRequest(`${host.url}?action=status`, { headers: { Accept: 'text/html' } });
    assert.equal(refused.status, 401);
    assert.deepEqual(refused.json, { ok: false, error: 'invalid node password' });
    assert.equal((await httpRequest(`${host.url}?pwd=p%40ss%20w0rd`, { headers: { Accept: 'text/html' } })).status, 200);
    noProblems(page);
  });
});
