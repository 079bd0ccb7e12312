// The official MCP client connected to `chimewick --mcp` over standard input and output, with a
// fresh connector folder; both are closed when the test ends.
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { exeEnv, exePath, makeConnectorsDir } from './exe.mjs';

export async function connectMcp(t, env) {
  const conn = await makeConnectorsDir();
  t.after(() => conn.cleanup());
  const transport = new StdioClientTransport({ command: exePath(), args: ['--mcp'], env: exeEnv(conn.dir, env), stderr: 'pipe' });
  const client = new Client({ name: 'chimewick-system-test', version: '1.0.0' });
  await client.connect(transport);
  t.after(() => client.close());
  return { client, conn };
}
