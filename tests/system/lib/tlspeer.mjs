// An OpenSSL TLS server on a free loopback port (`openssl s_server`) that answers one HTTP request per
// connection the way an ntfy server answers a publish: a peer whose TLS version, certificate key type
// and signature choices are OpenSSL's own, which the ntfy server (Go) does not show.
import { freePort, makeTempDir, ownsListeningPort, removeDir, spawnProcess, waitUntil } from './common.mjs';
import { makeCertificate } from './ntfy.mjs';

const START_TIMEOUT_MS = 10000;
const PORT_ATTEMPTS = 5;
const PUBLISH_ID = 'tlspeer0001';

// The end of a request once its headers and Content-Length bytes of body are in `text`, else -1.
function requestEnd(text) {
  const head = text.indexOf('\r\n\r\n');
  if (head < 0) return -1;
  const m = /\r\ncontent-length:\s*(\d+)/i.exec(text.slice(0, head));
  const end = head + 4 + (m ? Number(m[1]) : 0);
  return Buffer.byteLength(text) >= end ? end : -1;
}

// s_server relays what the client sends to its standard output and what it reads on standard input to
// the client; -quiet keeps its own chatter (and the one-letter commands on stdin) out of both.
function launch(s, port) {
  const versionFlag = s.version === '1.3' ? '-tls1_3' : '-tls1_2';
  const proc = spawnProcess('openssl', ['s_server', '-quiet', '-accept', `127.0.0.1:${port}`, versionFlag,
    '-cert', s.cert.certFile, '-key', s.cert.keyFile]);
  let pending = '';
  proc.child.stdout.on('data', (chunk) => {
    pending += chunk;
    const end = requestEnd(pending);
    if (end < 0) return;
    s.requests.push(pending.slice(0, end));
    pending = '';
    const body = JSON.stringify({ id: PUBLISH_ID, time: Math.floor(Date.now() / 1000), event: 'message', topic: 'tls', message: 'ok' });
    proc.write(`HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: ${Buffer.byteLength(body)}\r\n`
      + `Connection: close\r\n\r\n${body}`);
  });
  return proc;
}

// Options: version '1.2' (only TLS 1.2) or '1.3' (only TLS 1.3); keyType 'rsa' or 'ec' for the certificate
// (made for localhost and 127.0.0.1). Returns {url, port, cert, publishId, requests, log(), close()}.
export async function startTlsPeer({ version = '1.2', keyType = 'ec' } = {}) {
  const dir = await makeTempDir('qv-tlspeer-');
  const s = { version, requests: [], cert: null, proc: null };
  try {
    s.cert = await makeCertificate(dir, { keyType });
    for (let attempt = 1; ; attempt++) {
      const port = await freePort();
      const proc = launch(s, port);
      try {
        await waitUntil(async () => {
          if (!proc.running()) throw new Error(`openssl s_server exited while starting:\n${proc.stderr()}`);
          return ownsListeningPort(proc.pid, port);
        }, { timeoutMs: START_TIMEOUT_MS, what: `openssl s_server to listen on 127.0.0.1:${port}` });
        s.proc = proc;
        s.port = port;
        break;
      } catch (err) {
        await proc.stop({ signal: 'SIGKILL' });
        // A port picked by us can be taken by someone else before s_server binds it: pick again.
        if (attempt >= PORT_ATTEMPTS) throw err;
      }
    }
  } catch (err) {
    await removeDir(dir);
    throw err;
  }
  return {
    url: `https://localhost:${s.port}`,
    port: s.port,
    cert: s.cert,
    publishId: PUBLISH_ID,
    requests: s.requests,
    log: () => `${s.proc.stdout()}${s.proc.stderr()}`,
    async close() {
      try {
        await s.proc.stop({ signal: 'SIGKILL' });
      } finally {
        await removeDir(dir);
      }
    },
  };
}
