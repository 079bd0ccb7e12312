// Watches an ntfy topic the way a phone does: a JSON-stream subscription that collects every event, with
// waits for the event a test expects; plus publishing and one-shot polling of a topic.
import http from 'node:http';
import https from 'node:https';
import { performance } from 'node:perf_hooks';
import { assertLoopback, httpRequest } from './common.mjs';

export { waitUntil, withTimeout, sleep } from './common.mjs';

export const bearer = (token) => `Bearer ${token}`;
export const basic = (user, password) => `Basic ${Buffer.from(`${user}:${password}`).toString('base64')}`;

function topicUrl(baseUrl, topic, suffix = '', query = {}) {
  const u = assertLoopback(new URL(`${baseUrl.replace(/\/+$/, '')}/${topic}${suffix}`));
  for (const [key, value] of Object.entries(query)) {
    if (value !== undefined && value !== null) u.searchParams.set(key, String(value));
  }
  return u;
}

// Opens GET /<topic>/json. Options: since (id, unix time, "all"), auth (whole Authorization value), ca (PEM
// for https), headers, waitOpen (default true: resolve once ntfy's "open" event arrived, so a publish made
// afterwards is certain to be delivered), timeoutMs for that. A refused subscription (403, 401, ...) still
// resolves: look at sub.status and sub.body.
export function subscribe(baseUrl, topic, { since, auth, ca, headers = {}, waitOpen = true, timeoutMs = 5000 } = {}) {
  const u = topicUrl(baseUrl, topic, '/json', { since });
  const lib = u.protocol === 'https:' ? https : http;
  const hdrs = { ...headers };
  if (auth) hdrs.Authorization = auth;

  const sub = {
    url: u.href,
    status: 0,
    headers: {},
    body: '',
    events: [],
    lines: [],
    received: [], // {event, at} with at from performance.now(), for latency measurements
    waiters: new Set(),
    ended: null,
    closed: false,
    get messages() { return this.events.filter((e) => e.event === 'message'); },
    isOpen() { return !sub.closed && sub.status === 200; },
    // Index to pass as `from` so that a wait only considers events that arrive later.
    mark() { return sub.events.length; },
    // Resolves with the first event (from index `from` on) for which pred is true; rejects after timeoutMs.
    waitFor(pred, { timeoutMs: wait = 5000, from = 0, what = 'a matching event' } = {}) {
      for (let i = from; i < sub.events.length; i++) if (pred(sub.events[i])) return Promise.resolve(sub.events[i]);
      return new Promise((resolve, reject) => {
        const waiter = { pred, from, resolve, reject };
        waiter.timer = setTimeout(() => {
          sub.waiters.delete(waiter);
          reject(new Error(`timed out after ${wait} ms waiting for ${what} on ${sub.url}; events so far: ${JSON.stringify(sub.events)}`));
        }, wait);
        sub.waiters.add(waiter);
      });
    },
    // match: the exact message text, a RegExp for it, or a predicate over the event.
    waitForMessage(match, opts = {}) {
      const test = typeof match === 'function' ? match
        : match instanceof RegExp ? (e) => match.test(e.message ?? '') : (e) => e.message === match;
      return sub.waitFor((e) => e.event === 'message' && test(e), { what: `message ${match}`, ...opts });
    },
    // Resolves with the list once `count` events satisfy pred.
    async waitForCount(count, pred = (e) => e.event === 'message', opts = {}) {
      const matches = () => sub.events.slice(opts.from ?? 0).filter(pred);
      if (matches().length >= count) return matches();
      await sub.waitFor(() => matches().length >= count, { what: `${count} matching events`, ...opts });
      return matches();
    },
    close() {
      sub.closed = true;
      req.destroy();
    },
  };

  const deliver = (event) => {
    sub.events.push(event);
    sub.received.push({ event, at: performance.now() });
    const index = sub.events.length - 1;
    for (const waiter of sub.waiters) {
      if (index >= waiter.from && waiter.pred(event)) {
        clearTimeout(waiter.timer);
        sub.waiters.delete(waiter);
        waiter.resolve(event);
      }
    }
  };

  let resolveEnded;
  sub.ended = new Promise((resolve) => { resolveEnded = resolve; });
  const req = lib.request(u, { method: 'GET', headers: hdrs, ca, agent: false });
  // An open subscription must not keep the test process alive on its own.
  req.on('socket', (socket) => socket.unref());

  return new Promise((resolve, reject) => {
    let settled = false;
    const settle = (fn, value) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      fn(value);
    };
    const timer = setTimeout(() => {
      settle(reject, new Error(`subscription to ${u.href} did not open within ${timeoutMs} ms`));
      req.destroy();
    }, timeoutMs);

    req.on('response', (res) => {
      sub.status = res.statusCode;
      sub.headers = res.headers;
      res.setEncoding('utf8');
      let pending = '';
      res.on('data', (chunk) => {
        if (sub.status !== 200) {
          sub.body += chunk;
          return;
        }
        pending += chunk;
        let nl;
        while ((nl = pending.indexOf('\n')) >= 0) {
          const line = pending.slice(0, nl);
          pending = pending.slice(nl + 1);
          if (line.trim() === '') continue;
          sub.lines.push(line);
          let event;
          try {
            event = JSON.parse(line);
          } catch {
            continue; // kept in lines; a test that cares can look there
          }
          deliver(event);
          if (event.event === 'open') settle(resolve, sub);
        }
      });
      // ntfy ends a stream without its last chunk when it stops: Node reports that as 'aborted'/'error'.
      res.on('end', () => resolveEnded({ how: 'end' }));
      res.on('aborted', () => resolveEnded({ how: sub.closed ? 'closed' : 'aborted' }));
      res.on('error', (error) => resolveEnded({ how: sub.closed ? 'closed' : 'error', error }));
      if (sub.status !== 200 || !waitOpen) {
        if (sub.status !== 200) {
          res.on('end', () => settle(resolve, sub));
        } else {
          settle(resolve, sub);
        }
      }
    });
    req.on('error', (error) => {
      resolveEnded({ how: sub.closed ? 'closed' : 'error', error });
      settle(reject, error);
    });
    req.on('close', () => resolveEnded({ how: sub.closed ? 'closed' : 'end' }));
    req.end();
  });
}

// POST /<topic>. Options: title, tags (array or text), priority, markdown, auth, ca, headers. Resolves with
// {status, json, text, id} where id is the message id ntfy answered with (undefined on failure).
export async function publish(baseUrl, topic, message, { title, tags, priority, markdown, auth, ca, headers = {}, timeoutMs = 5000 } = {}) {
  const hdrs = { ...headers };
  if (title !== undefined) hdrs.Title = title;
  if (tags !== undefined) hdrs.Tags = Array.isArray(tags) ? tags.join(',') : tags;
  if (priority !== undefined) hdrs.Priority = String(priority);
  if (markdown) hdrs.Markdown = 'yes';
  if (auth) hdrs.Authorization = auth;
  const res = await httpRequest(topicUrl(baseUrl, topic), { method: 'POST', headers: hdrs, body: message, ca, timeoutMs });
  return { ...res, id: res.json && res.json.id };
}

// What the server's cache holds for a topic, without waiting: GET /<topic>/json?poll=1&since=<since>.
// Resolves with {status, events}.
export async function poll(baseUrl, topic, { since = 'all', auth, ca, timeoutMs = 5000 } = {}) {
  const headers = auth ? { Authorization: auth } : {};
  const res = await httpRequest(topicUrl(baseUrl, topic, '/json', { poll: 1, since }), { headers, ca, timeoutMs });
  const events = res.status === 200
    ? res.text.split('\n').filter((l) => l.trim() !== '').map((l) => JSON.parse(l))
    : [];
  return { status: res.status, events, text: res.text };
}
