// The MCP server driven by the official MCP client, publishing to the real ntfy server.
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { describe, test } from 'node:test';
import { waitUntil } from './lib/common.mjs';
import { runExe } from './lib/exe.mjs';
import { startReverseProxy } from './lib/lighttpd.mjs';
import { connectMcp } from './lib/mcpclient.mjs';
import { startNtfy } from './lib/ntfy.mjs';
import { bearer, subscribe } from './lib/stream.mjs';

const connect = connectMcp;

const send = (client, args) => client.callTool({ name: 'ntfy_send', arguments: args });
const textOf = (result) => result.content[0].text;

describe('MCP server with the official client', () => {
  test('handshake, tool list equal to --schema, ping', async (t) => {
    const { client } = await connect(t, { NTFY_TOPIC: 'unused' });
    assert.deepEqual(client.getServerVersion(), { name: 'chimewick', version: '1.0.2' });
    assert.equal(client.getInstructions(), 'ntfy push + channel connector for QUORVANE BOT. Use ntfy_send to deliver notifications.');
    const schema = JSON.parse((await runExe(['--schema'])).stdout);
    const listed = await client.listTools();
    assert.deepEqual(listed.tools, schema.tools);
    assert.deepEqual(await client.ping(), {});
  });

  test('ntfy_send publishes with title, tags, priority and markdown, and notes the id', async (t) => {
    const srv = await startNtfy();
    t.after(() => srv.close());
    const sub = await subscribe(srv.url, 'mcp_pub');
    t.after(() => sub.close());
    const { client, conn } = await connect(t, { NTFY_SERVER_URL: srv.url, NTFY_TOPIC: 'mcp_pub', NTFY_MARKDOWN: '1' });
    const result = await send(client, { message: 'build **done**', title: 'CI', tags: 'white_check_mark,bell', priority: 4 });
    assert.equal(result.isError, false);
    const m = /^published to mcp_pub \(id ([A-Za-z0-9]+), priority 4\)$/.exec(textOf(result));
    assert.ok(m, textOf(result));
    const ev = await sub.waitForMessage('build **done**');
    assert.equal(ev.id, m[1]);
    assert.equal(ev.title, 'CI');
    assert.deepEqual(ev.tags, ['white_check_mark', 'bell', 'quorvane']);
    assert.equal(ev.priority, 4);
    assert.equal(ev.content_type, 'text/markdown');
    // The id is noted right after the answer goes out.
    await waitUntil(async () => {
      try {
        return JSON.parse(await readFile(conn.file('sent.json'), 'utf8'))[0] === m[1];
      } catch {
        return false;
      }
    }, { what: 'the id in sent.json' });
    assert.deepEqual(JSON.parse(await readFile(conn.file('sent.json'), 'utf8')), [m[1]]);

    const other = await send(client, { message: 'elsewhere', topic: 'mcp_other', priority: 9 });
    assert.match(textOf(other), /^published to mcp_other \(id [A-Za-z0-9]+, priority 3\)$/);
  });

  test('ntfy_send to a server below a path behind a reverse proxy', async (t) => {
    const srv = await startNtfy();
    t.after(() => srv.close());
    const proxy = await startReverseProxy({ target: srv.url, prefix: '/ntfy/' });
    t.after(() => proxy.close());
    const sub = await subscribe(srv.url, 'mcp_proxied');
    t.after(() => sub.close());
    const { client } = await connect(t, { NTFY_SERVER_URL: proxy.url, NTFY_TOPIC: 'mcp_proxied' });
    const result = await send(client, { message: 'via /ntfy' });
    assert.equal(result.isError, false, textOf(result));
    await sub.waitForMessage('via /ntfy');
  });

  test('failures come back as tool results with isError', async (t) => {
    const srv = await startNtfy();
    t.after(() => srv.close());
    const { client } = await connect(t, { NTFY_SERVER_URL: srv.url, NTFY_TOPIC: 'mcp_fail' });
    const dotted = await send(client, { message: 'x', topic: 'has.dot' });
    assert.equal(dotted.isError, true);
    assert.match(textOf(dotted), /^ntfy_send failed: ntfy server answered 40\d: \{/);
    await srv.stop();
    const down = await send(client, { message: 'x' });
    assert.equal(down.isError, true);
    assert.equal(textOf(down), `ntfy_send failed: cannot connect to 127.0.0.1:${srv.port}: connection refused`);
    await assert.rejects(send(client, { message: '' }), /ntfy_send requires a non-empty 'message'/);
  });

  test('a protected topic answers 403 without the token and accepts it with one', async (t) => {
    const srv = await startNtfy({ auth: true, users: [{ name: 'agent', access: { mcp_auth: 'rw' } }] });
    t.after(() => srv.close());
    const anonymous = await connect(t, { NTFY_SERVER_URL: srv.url, NTFY_TOPIC: 'mcp_auth' });
    const refused = await send(anonymous.client, { message: 'secret' });
    assert.equal(refused.isError, true);
    assert.match(textOf(refused), /^ntfy_send failed: ntfy server answered 403: /);
    const withToken = await connect(t, { NTFY_SERVER_URL: srv.url, NTFY_TOPIC: 'mcp_auth', NTFY_TOKEN: bearer(srv.tokens.agent) });
    const ok = await send(withToken.client, { message: 'secret' });
    assert.equal(ok.isError, false, textOf(ok));
  });

  test('TLS: a self-signed server is refused, then accepted with its pin', async (t) => {
    const srv = await startNtfy({ tls: true });
    t.after(() => srv.close());
    const sub = await subscribe(srv.url, 'mcp_tls');
    t.after(() => sub.close());
    const plain = await connect(t, { NTFY_SERVER_URL: srv.httpsUrl, NTFY_TOPIC: 'mcp_tls' });
    const refused = await send(plain.client, { message: 'over tls' });
    assert.equal(refused.isError, true);
    assert.equal(textOf(refused), 'ntfy_send failed: tls certificate rejected (not trusted: no trusted root signed it, no matching pin)');
    const pinned = await connect(t, { NTFY_SERVER_URL: srv.httpsUrl, NTFY_TOPIC: 'mcp_tls', NTFY_TLS_PIN: `sha256/nope, ${srv.tls.pin.toUpperCase()}` });
    const ok = await send(pinned.client, { message: 'over tls' });
    assert.equal(ok.isError, false, textOf(ok));
    await sub.waitForMessage('over tls');
  });
});
