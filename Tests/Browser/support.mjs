// What the browser tests share: loading playwright-core from the repository's
// node_modules (loudly, when it is missing), launching Debian's chromium, a reader
// for stored ZIP archives, and a deadline for the whole run.
import { existsSync } from 'node:fs';
import { fileURLToPath, pathToFileURL } from 'node:url';
import path from 'node:path';

export const repoRoot = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
export const chromiumPath = process.env.QUORVEX_CHROMIUM || '/usr/bin/chromium';

export class TestFailure extends Error {}

export function check(condition, message) {
  if (!condition) throw new TestFailure(message);
}

export async function loadPlaywright() {
  const entry = path.join(repoRoot, 'node_modules', 'playwright-core', 'index.mjs');
  if (!existsSync(entry)) {
    throw new TestFailure(`${entry} is missing: run ./scripts/setup (it runs npm ci at the repository root)`);
  }
  check(existsSync(chromiumPath), `${chromiumPath} is missing: run ./scripts/setup (it installs Debian's chromium)`);
  return import(pathToFileURL(entry).href);
}

// CI runs as root, where chromium refuses its sandbox.
export async function launchChromium(playwright) {
  return playwright.chromium.launch({
    executablePath: chromiumPath,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
  });
}

// Collects what the page complains about, so a failure names the script error.
export function watchPage(page) {
  const errors = [];
  page.on('pageerror', (e) => errors.push('page error: ' + e.message));
  // A failed load is named by its response below; the browser's own favicon probe is
  // not the page's.
  page.on('console', (m) => {
    if (m.type() === 'error' && !m.text().startsWith('Failed to load resource')) errors.push('console error: ' + m.text());
  });
  page.on('response', (r) => {
    if (r.status() >= 400 && !r.url().endsWith('/favicon.ico')) errors.push(`${r.status()} for ${r.url()}`);
  });
  return errors;
}

// Runs main() under a deadline; prints one clear line and exits non-zero on failure.
export function runTest(name, seconds, main, cleanup) {
  let finished = false;
  const finish = async (code, message) => {
    if (finished) return;
    finished = true;
    try {
      await cleanup();
    } catch (e) {
      console.error(`[${name}] cleanup failed: ${e && e.message}`);
    }
    if (message) console.error(message);
    process.exit(code);
  };
  const timer = setTimeout(() => finish(1, `[${name}] FAILED: still running after ${seconds} s`), seconds * 1000);
  main().then(
    () => {
      clearTimeout(timer);
      console.log(`[${name}] passed`);
      return finish(0);
    },
    (e) => {
      clearTimeout(timer);
      const why = e instanceof TestFailure ? e.message : (e && e.stack) || String(e);
      return finish(1, `[${name}] FAILED: ${why}`);
    });
  for (const signal of ['SIGINT', 'SIGTERM']) {
    process.on(signal, () => finish(1, `[${name}] interrupted by ${signal}`));
  }
}

// The entries of a ZIP archive, read from its central directory; stored (method 0)
// entries can be read back. Throws TestFailure on anything malformed.
export function readZip(buffer) {
  const bytes = Buffer.from(buffer);
  let eocd = -1;
  for (let i = bytes.length - 22; i >= Math.max(0, bytes.length - 22 - 65535); --i) {
    if (bytes.readUInt32LE(i) === 0x06054b50) {
      eocd = i;
      break;
    }
  }
  check(eocd >= 0, 'archive has no end-of-central-directory record');
  const count = bytes.readUInt16LE(eocd + 10);
  let at = bytes.readUInt32LE(eocd + 16);
  const entries = new Map();
  for (let n = 0; n < count; ++n) {
    check(at + 46 <= bytes.length && bytes.readUInt32LE(at) === 0x02014b50, `central directory entry ${n} is malformed`);
    const method = bytes.readUInt16LE(at + 10);
    const size = bytes.readUInt32LE(at + 20);
    const nameLength = bytes.readUInt16LE(at + 28);
    const extraLength = bytes.readUInt16LE(at + 30);
    const commentLength = bytes.readUInt16LE(at + 32);
    const localOffset = bytes.readUInt32LE(at + 42);
    const name = bytes.toString('utf8', at + 46, at + 46 + nameLength);
    entries.set(name, { method, size, localOffset });
    at += 46 + nameLength + extraLength + commentLength;
  }
  const read = (name) => {
    const entry = entries.get(name);
    check(entry, `archive has no ${name}`);
    check(entry.method === 0, `${name} is not stored uncompressed (method ${entry.method})`);
    const local = entry.localOffset;
    check(bytes.readUInt32LE(local) === 0x04034b50, `${name}: bad local header`);
    const start = local + 30 + bytes.readUInt16LE(local + 26) + bytes.readUInt16LE(local + 28);
    return bytes.subarray(start, start + entry.size);
  };
  return { names: [...entries.keys()], read, json: (name) => JSON.parse(read(name).toString('utf8')) };
}

// The centre of the white square ring the sample draws where it was clicked, searched
// for near (x, y); null when there is none. The ring is matched as a shape rather than
// taken as the extent of every white pixel: the sample's sun can pass behind the ring,
// and the JPEG's shared colour samples whiten its edge next to the ring's.
export function whiteRingCentre(rgba, width, height, x, y, radius) {
  const isWhite = (px, py) => {
    if (px < 0 || py < 0 || px >= width || py >= height) return false;
    const i = (py * width + px) * 4;
    return rgba[i] > 215 && rgba[i + 1] > 215 && rgba[i + 2] > 215;
  };
  // The share of white pixels on the square outline whose corners are `inset` pixels in
  // from those of the ring of half-size r at (cx, cy).
  const outline = (cx, cy, r, inset) => {
    const lo = -r + inset;
    const hi = r - 1 - inset;
    if (hi <= lo) return 0;
    let white = 0;
    let all = 0;
    for (let d = lo; d <= hi; ++d) {
      for (const [px, py] of [[cx + d, cy + lo], [cx + d, cy + hi], [cx + lo, cy + d], [cx + hi, cy + d]]) {
        white += isWhite(px, py) ? 1 : 0;
        ++all;
      }
    }
    return white / all;
  };
  // A ring's bars are white along their middles and its inside is mostly not; of the
  // candidates, the one whose bars are white out to both edges is centred.
  const near = 8;
  let best = null;
  for (let cy = Math.round(y) - near; cy <= Math.round(y) + near; ++cy) {
    for (let cx = Math.round(x) - near; cx <= Math.round(x) + near; ++cx) {
      for (let r = 6; r <= radius; ++r) {
        const middle = outline(cx, cy, r, 1);
        if (middle < 0.8 || outline(cx, cy, r, 4) > 0.5) continue;
        const score = (outline(cx, cy, r, 0) + middle + outline(cx, cy, r, 2)) / 3;
        if (!best || score > best.score) best = { x: cx, y: cy, r, score };
      }
    }
  }
  return best;
}
