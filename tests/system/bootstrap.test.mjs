// How the bootstrap chooses its dependencies' versions from what Debian's suites offer (scripts/lib/pick-version,
// fed simulated `apt-cache madison` listings, no network), and the bootstrap itself falling back when told to
// prefer a suite that lacks them (from the package lists it already fetched).
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import path from 'node:path';
import { describe, test } from 'node:test';
import { cleanEnv, repoRoot, runProcess } from './lib/common.mjs';

const pickVersion = path.join(repoRoot, 'scripts', 'lib', 'pick-version');
const MIRROR = 'http://mirror.invalid/debian';
const src = (name, version, suite) => `${name.padStart(10)} | ${version} | ${MIRROR} ${suite}/main Sources`;
const bin = (name, version, suite) => `${name.padStart(10)} | ${version} | ${MIRROR} ${suite}/main amd64 Packages`;
const MBEDTLS = ['--name', 'mbedtls', '--kind', 'Sources', '--series', '3.6', '--min', '3.6.7', '--fallback',
  '--suites', 'trixie forky sid trixie-backports'];
const NTFY_NEXT = ['--name', 'ntfy', '--kind', 'Packages', '--suites', 'forky sid trixie-backports', '--min', '2.16'];

async function pick(args, listing) {
  const r = await runProcess(pickVersion, args, { input: listing.join('\n') + '\n' });
  return r.code === 0 ? r.stdout.trim() : `exit ${r.code}`;
}

describe('choosing versions from the suites', () => {
  const cases = [
    { what: 'today: forky and sid carry 3.6.7, trixie 3.6.6', args: MBEDTLS, want: '3.6.7-3 forky ok',
      listing: [src('mbedtls', '3.6.6-0.1~deb13u1', 'trixie'), src('mbedtls', '3.6.7-3', 'forky'), src('mbedtls', '3.6.7-3', 'sid')] },
    { what: 'forky moved to 3.6.8', args: MBEDTLS, want: '3.6.8-1 forky ok',
      listing: [src('mbedtls', '3.6.6-0.1~deb13u1', 'trixie'), src('mbedtls', '3.6.8-1', 'forky'), src('mbedtls', '3.6.7-3', 'sid')] },
    { what: 'patch levels compare as numbers, an epoch is ignored', args: MBEDTLS, want: '1:3.6.10-1 sid ok',
      listing: [src('mbedtls', '3.6.9-2', 'forky'), src('mbedtls', '1:3.6.10-1', 'sid')] },
    { what: 'forky and sid moved to 4.x: the backport of the 3.6 series', args: MBEDTLS, want: '3.6.7-1~bpo13+1 trixie-backports ok',
      listing: [src('mbedtls', '3.6.6-0.1~deb13u1', 'trixie'), src('mbedtls', '4.0.0-1', 'forky'), src('mbedtls', '4.0.1-2', 'sid'),
        src('mbedtls', '3.6.7-1~bpo13+1', 'trixie-backports')] },
    { what: 'forky and sid moved to 4.x, no backport: the newest 3.6 as a fallback', args: MBEDTLS, want: '3.6.6-0.1~deb13u1 trixie fallback',
      listing: [src('mbedtls', '3.6.6-0.1~deb13u1', 'trixie'), src('mbedtls', '4.0.0-1', 'forky'), src('mbedtls', '4.0.1-2', 'sid')] },
    { what: 'binary packages renamed: only the source package counts', args: MBEDTLS, want: '3.6.7-3 forky ok',
      listing: [bin('libmbedtls-dev', '3.6.9-1', 'forky'), bin('libmbedtls22', '3.6.9-1', 'forky'),
        src('mbedtls', '3.6.6-0.1~deb13u1', 'trixie'), src('mbedtls', '3.6.7-3', 'forky')] },
    { what: 'nothing newer than trixie', args: MBEDTLS, want: '3.6.6-0.1~deb13u1 trixie fallback',
      listing: [src('mbedtls', '3.6.6-0.1~deb13u1', 'trixie')] },
    { what: 'a suite not searched is ignored', args: MBEDTLS, want: '3.6.7-3 forky ok',
      listing: [src('mbedtls', '3.6.9-1', 'experimental'), src('mbedtls', '3.6.7-3', 'forky')] },
    { what: 'no 3.6 at all', args: MBEDTLS, want: 'exit 1',
      listing: [src('mbedtls', '2.28.3-1', 'bookworm'), src('mbedtls', '4.0.0-1', 'forky')] },
    { what: 'the newest ntfy 2.16 or later, whatever its version', args: NTFY_NEXT, want: '2.31.2-1 sid ok',
      listing: [bin('ntfy', '2.11.0-2+b4', 'trixie'), bin('ntfy', '2.27.0-1', 'forky'), bin('ntfy', '2.31.2-1', 'sid'), src('ntfy', '2.40.0-1', 'sid')] },
    { what: 'no ntfy 2.16 or later in the newer suites', args: NTFY_NEXT, want: 'exit 1',
      listing: [bin('ntfy', '2.11.0-2+b4', 'trixie'), bin('ntfy', '2.15.0-1', 'forky')] },
  ];
  for (const c of cases) {
    test(c.what, async () => assert.equal(await pick(c.args, c.listing), c.want));
  }
});

describe('the bootstrap told to prefer a suite that lacks the packages', () => {
  const lists = path.join(repoRoot, '.deps', 'apt', 'etc', 'apt', 'sources.list');
  test('falls back to the newest Mbed TLS 3.6 there is and says what that costs', { skip: !existsSync(lists) && 'no package lists in .deps/apt yet' }, async () => {
    const r = await runProcess(path.join(repoRoot, 'scripts', 'bootstrap'), ['--choose-only'],
      { env: cleanEnv({ QV_DEPS_SUITES: 'bookworm-backports' }), timeoutMs: 120000 });
    assert.equal(r.code, 0, r.stderr);
    assert.match(r.stderr, /suite bookworm-backports is not in the package lists/);
    assert.match(r.stderr, /Mbed TLS 3\.6\.\d+: TLS 1\.2 servers with RSA keys that sign with RSA-PSS cannot be reached/);
    assert.match(r.stderr, /chosen: Mbed TLS 3\.6\.[0-6]-\S+ \(trixie, fallback\)/);
    assert.match(r.stderr, /second run against a newer server is skipped/);
  });
});
