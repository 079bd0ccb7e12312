// The peers a daemon suite starts for each test (the real ntfy server, the devnode, a fresh connector folder),
// and a daemon started on them that has subscribed. Each is stopped or removed when the test ends.
import { start as startDevnode } from '../../../tools/devnode/devnode.mjs';
import { makeConnectorsDir, spawnExe } from './exe.mjs';
import { startNtfy } from './ntfy.mjs';

// ntfy: startNtfy's options; node: the devnode's (its agent answers after 50 ms unless they say otherwise).
export async function startPeers(t, { ntfy = {}, node = {} } = {}) {
  const srv = await startNtfy(ntfy);
  t.after(() => srv.close());
  const dev = await startDevnode({ unref: true, replyDelayMs: 50, ...node });
  t.after(() => dev.close());
  const conn = await makeConnectorsDir();
  t.after(() => conn.cleanup());
  return { srv, dev, conn };
}

export async function startDaemon(t, conn, env) {
  const d = await spawnExe(['--daemon'], { env, connectorsDir: conn.dir });
  t.after(() => d.close());
  await d.waitForOutput(/subscribed to /, { stream: 'stderr', timeoutMs: 8000 });
  return d;
}
