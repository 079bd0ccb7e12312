// Publishing over TLS to OpenSSL servers: only TLS 1.2 with an RSA certificate (OpenSSL then signs its
// key exchange with RSA-PSS), only TLS 1.2 with an ECDSA certificate, and only TLS 1.3, each trusted
// through NTFY_CA_FILE, through the MCP server's ntfy_send and the publish path behind it.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { describe, test } from 'node:test';
import { repoRoot } from './lib/common.mjs';
import { connectMcp } from './lib/mcpclient.mjs';
import { startTlsPeer } from './lib/tlspeer.mjs';

// When no Mbed TLS 3.6.7 or later was to be had, the bootstrap builds an older 3.6 and says so; that one
// refuses the RSA-PSS signature of a TLS 1.2 key exchange, so exactly that case is expected to fail.
function olderMbedTls() {
  try {
    const chosen = readFileSync(path.join(repoRoot, '.deps', 'chosen.env'), 'utf8');
    if (/^MBEDTLS_FALLBACK=1$/m.test(chosen)) return /^MBEDTLS_VERSION=(.*)$/m.exec(chosen)[1];
  } catch { /* a build from the system's libraries: they were checked at configure time */ }
  return null;
}
const older = olderMbedTls();

const connect = async (t, env) => (await connectMcp(t, env)).client;

const peers = [
  { name: 'TLS 1.2 only, RSA certificate', version: '1.2', keyType: 'rsa',
    expectedToFail: older && `Mbed TLS ${older}: TLS 1.2 servers with RSA keys that sign with RSA-PSS cannot be reached` },
  { name: 'TLS 1.2 only, ECDSA certificate', version: '1.2', keyType: 'ec' },
  { name: 'TLS 1.3 only, ECDSA certificate', version: '1.3', keyType: 'ec' },
  { name: 'TLS 1.3 only, RSA certificate', version: '1.3', keyType: 'rsa' },
];

describe('publishing to OpenSSL TLS servers', () => {
  for (const peer of peers) {
    test(`${peer.name}: ntfy_send publishes`, async (t) => {
      const srv = await startTlsPeer(peer);
      t.after(() => srv.close());
      const client = await connect(t, { NTFY_SERVER_URL: srv.url, NTFY_TOPIC: 'tls_peer', NTFY_CA_FILE: srv.cert.certFile });
      const result = await client.callTool({ name: 'ntfy_send', arguments: { message: `over ${peer.name}` } });
      if (peer.expectedToFail) {
        t.diagnostic(`expected to fail: ${peer.expectedToFail}`);
        assert.equal(result.isError, true, `published although ${peer.expectedToFail}`);
        return;
      }
      assert.equal(result.content[0].text, `published to tls_peer (id ${srv.publishId}, priority 3)`, srv.log());
      assert.equal(srv.requests.length, 1);
      assert.match(srv.requests[0], /^POST \/tls_peer HTTP\/1\.1\r\n/);
      assert.ok(srv.requests[0].endsWith(`\r\n\r\nover ${peer.name}`), srv.requests[0]);
    });
  }
});
