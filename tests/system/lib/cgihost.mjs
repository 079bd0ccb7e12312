// A tiny CGI web server on 127.0.0.1: each HTTP request to the script's path runs the chimewick
// executable once with the CGI environment a web server gives it (method, query, body on standard
// input, HTTP_* headers) and relays its answer; a "Status:" header line sets the HTTP status.
import { spawn } from 'node:child_process';
import http from 'node:http';
import { trackChild } from './common.mjs';
import { assertExe, exeEnv } from './exe.mjs';

const REQUEST_TIMEOUT_MS = 20000;

// Splits a CGI answer into status, headers and body; a missing Status header means 200.
export function splitCgiAnswer(buf) {
  let end = buf.indexOf('\r\n\r\n');
  let sep = 4;
  const lf = buf.indexOf('\n\n');
  if (end < 0 || (lf >= 0 && lf < end)) {
    end = lf;
    sep = 2;
  }
  if (end < 0) return null;
  let status = 200;
  const headers = [];
  for (const line of buf.subarray(0, end).toString('latin1').split(/\r?\n/)) {
    const colon = line.indexOf(':');
    if (colon <= 0) continue;
    const name = line.slice(0, colon).trim();
    const value = line.slice(colon + 1).trim();
    if (name.toLowerCase() === 'status') status = Number.parseInt(value, 10) || 500;
    else headers.push([name, value]);
  }
  return { status, headers, body: buf.subarray(end + sep) };
}

function cgiEnv(req, url, body, host) {
  const env = {
    GATEWAY_INTERFACE: 'CGI/1.1',
    SERVER_PROTOCOL: `HTTP/${req.httpVersion}`,
    SERVER_SOFTWARE: 'qv-cgihost',
    SERVER_NAME: '127.0.0.1',
    SERVER_PORT: String(host.port),
    REMOTE_ADDR: req.socket.remoteAddress ?? '127.0.0.1',
    REQUEST_METHOD: req.method,
    SCRIPT_NAME: host.scriptName,
    PATH_INFO: '',
    QUERY_STRING: url.search.replace(/^\?/, ''),
    REQUEST_URI: req.url,
  };
  if (body.length > 0 || req.method === 'POST') env.CONTENT_LENGTH = String(body.length);
  for (const [name, value] of Object.entries(req.headers)) {
    const key = name.toUpperCase().replace(/-/g, '_');
    if (key === 'CONTENT_TYPE') env.CONTENT_TYPE = String(value);
    else if (key !== 'CONTENT_LENGTH') env[`HTTP_${key}`] = Array.isArray(value) ? value.join(', ') : String(value);
  }
  return env;
}

// Starts the host. Options: connectorsDir (QV_CONNECTORS_DIR and HOME of every run; null sets neither),
// env (more variables for every run, e.g. BOT_PASSWORD), scriptName ('/cgi-bin/chimewick').
// Resolves with {url (the script's address), origin, port, scriptName, requests, close()}; requests
// lists {method, url, status} of every CGI run, oldest first.
export async function startCgiHost({ connectorsDir = null, env = {}, scriptName = '/cgi-bin/chimewick' } = {}) {
  const exe = await assertExe();
  const host = { scriptName, requests: [], port: 0 };
  const server = http.createServer((req, res) => {
    const url = new URL(req.url, 'http://127.0.0.1');
    if (url.pathname !== scriptName) {
      res.writeHead(404, { 'Content-Type': 'text/plain' }).end('not found\n');
      return;
    }
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => {
      const body = Buffer.concat(chunks);
      const childEnv = exeEnv(connectorsDir, { ...env, ...cgiEnv(req, url, body, host) });
      const child = spawn(exe, [], { env: childEnv, stdio: ['pipe', 'pipe', 'pipe'] });
      trackChild(child);
      const out = [];
      const err = [];
      child.stdout.on('data', (c) => out.push(c));
      child.stderr.on('data', (c) => err.push(c));
      child.stdin.on('error', () => {});
      child.stdin.end(body);
      const timer = setTimeout(() => child.kill('SIGKILL'), REQUEST_TIMEOUT_MS);
      // 'close' waits for standard output to close: a daemon started from here must not keep it.
      child.on('close', (code, signal) => {
        clearTimeout(timer);
        const answer = splitCgiAnswer(Buffer.concat(out));
        const record = { method: req.method, url: req.url, status: answer ? answer.status : 502, code, signal };
        host.requests.push(record);
        if (!answer) {
          record.stderr = Buffer.concat(err).toString();
          res.writeHead(502, { 'Content-Type': 'text/plain' }).end('bad CGI answer\n');
          return;
        }
        for (const [name, value] of answer.headers) res.setHeader(name, value);
        res.statusCode = answer.status;
        res.end(answer.body);
      });
    });
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen({ port: 0, host: '127.0.0.1', exclusive: true }, resolve);
  });
  server.unref();
  host.port = server.address().port;
  host.origin = `http://127.0.0.1:${host.port}`;
  host.url = host.origin + scriptName;
  host.close = () => new Promise((resolve) => {
    server.closeAllConnections?.();
    server.close(() => resolve());
  });
  return host;
}
