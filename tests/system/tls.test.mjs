// Publishing over TLS to OpenSSL servers: only TLS 1.2 with an RSA certificate (OpenSSL then signs its
// key exchange with RSA-PSS), only TLS 1.2 with an ECDSA certificate, and only TLS 1.3, each trusted
// through NTFY_CA_FILE, through the MCP server's ntfy_send and the publish path behind it.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import { connectMcp } from './lib/mcpclient.mjs';
import { startTlsPeer } from './lib/tlspeer.mjs';

const connect = async (t, env) => (await connectMcp(t, env)).client;

const peers = [
  { name: 'TLS 1.2 only, RSA certificate', version: '1.2', keyType: 'rsa' },
  { name: 'TLS 1.2 only, ECDSA certificate', version: '1.2', keyType: 'ec' },
  { name: 'TLS 1.3 only, ECDSA certificate', version: '1.3', keyType: 'ec' },
];

describe('publishing to OpenSSL TLS servers', () => {
  for (const peer of peers) {
    test(`${peer.name}: ntfy_send publishes`, async (t) => {
      const srv = await startTlsPeer(peer);
      t.after(() => srv.close());
      const client = await connect(t, { NTFY_SERVER_URL: srv.url, NTFY_TOPIC: 'tls_peer', NTFY_CA_FILE: srv.cert.certFile });
      const result = await client.callTool({ name: 'ntfy_send', arguments: { message: `over ${peer.name}` } });
      assert.equal(result.content[0].text, `published to tls_peer (id ${srv.publishId}, priority 3)`, srv.log());
      assert.equal(srv.requests.length, 1);
      assert.match(srv.requests[0], /^POST \/tls_peer HTTP\/1\.1\r\n/);
      assert.ok(srv.requests[0].endsWith(`\r\n\r\nover ${peer.name}`), srv.requests[0]);
    });
  }
});
