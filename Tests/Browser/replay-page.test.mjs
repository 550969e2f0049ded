// Records a session with the sample game, opens its replay page in headless chromium
// and checks the page against what the backend's store holds:
//   - the frame count and every frame's time and place equal the stored archives'
//     manifests (read here from the raw objects, with our own ZIP reader);
//   - one batch mark per archive, one gesture mark per recorded input event;
//   - at a tap that the sample answered with a white marker ring, the overlay's tap dot
//     sits on that ring in the frame's own pixels;
//   - the folder the sample writes without --serve opens from disk;
// and takes a screenshot of the player.
//
//   node Tests/Browser/replay-page.test.mjs <DemoGame binary> <screenshot.png>
//
// QUORVEX_REPLAY_TEST_SECONDS sets how long the sample records (game seconds, paced).
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readdirSync, rmSync, statSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import {
  TestFailure, check, launchChromium, loadPlaywright, readZip, runTest, watchPage, whiteRingCentre,
} from './support.mjs';

const NAME = 'replay-page';
const [demoPath, screenshotPath] = process.argv.slice(2);
const seconds = Number(process.env.QUORVEX_REPLAY_TEST_SECONDS || 13);
const children = [];
let browser = null;
const scratch = mkdtempSync(path.join(os.tmpdir(), 'quorvex-replay-test-'));

// Starts the sample game and resolves with the first stdout line matching pattern.
function startDemo(args, pattern, env) {
  const child = spawn(demoPath, args, { stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, ...env } });
  children.push(child);
  let output = '';
  const found = new Promise((resolve, reject) => {
    let buffered = '';
    child.stdout.on('data', (chunk) => {
      buffered += chunk.toString();
      output += chunk.toString();
      const lines = buffered.split('\n');
      buffered = lines.pop();
      for (const line of lines) {
        const m = line.match(pattern);
        if (m) resolve(m[1].trim());
      }
    });
    child.stderr.on('data', (chunk) => { output += chunk.toString(); });
    child.on('error', (e) => reject(new TestFailure(`could not start ${demoPath}: ${e.message}`)));
    child.on('exit', (code, signal) => {
      const m = output.match(pattern);
      if (m) resolve(m[1].trim());
      else resolve(null);
      child.exitedWith = { code, signal };
    });
  });
  return { child, found, output: () => output };
}

function stopChild(child) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve();
  return new Promise((resolve) => {
    const hard = setTimeout(() => child.kill('SIGKILL'), 10000);
    child.once('exit', () => {
      clearTimeout(hard);
      resolve();
    });
    child.kill('SIGINT');
  });
}

async function getJson(url) {
  const r = await fetch(url);
  check(r.ok, `GET ${url} answered ${r.status}`);
  return r.json();
}

async function getBytes(url) {
  const r = await fetch(url);
  check(r.ok, `GET ${url} answered ${r.status}`);
  return Buffer.from(await r.arrayBuffer());
}

// What the store holds for the session, read from the raw archives: frames in the
// manifest's order with their archive's index in the name-ordered object list, and the
// input recorded in events.json.
async function readStore(base, sessionId) {
  const listing = await getJson(`${base}/dev/sessions/${encodeURIComponent(sessionId)}/objects`);
  const objects = [...listing.objects].sort((a, b) => (a.name < b.name ? -1 : a.name > b.name ? 1 : 0));
  check(objects.length > 0, `the store holds no archive for ${sessionId}`);
  const frames = [];
  const input = [];
  for (const [objectIndex, object] of objects.entries()) {
    const zip = readZip(await getBytes(base + object.url));
    const manifest = zip.json('manifest.json');
    for (const f of manifest.frames) {
      check(zip.names.includes(`frames/${f.attachmentId}.jpeg`), `${object.name} lists ${f.attachmentId} but holds no image for it`);
      frames.push({ t: f.timestamp, objectIndex, attachmentId: f.attachmentId, width: f.width, height: f.height });
    }
    input.push(zip.json('events.json').inputEvents || {});
  }
  frames.sort((a, b) => a.t - b.t);
  const all = (key) => input.flatMap((events) => events[key] || []);
  return {
    archives: objects.length,
    frames,
    taps: all('taps'),
    mouseButtons: all('mouseButtons'),
    inputCount: ['taps', 'swipes', 'longPresses', 'keyEvents', 'mouseButtons', 'scrolls']
      .reduce((sum, key) => sum + all(key).length, 0),
  };
}

// Taps the sample answered with a marker in a stored frame: the ring appears on the
// press and lasts 1.5 s, so the frame must come after the press and within 1.4 s
// of it (with a frame a second, every tap made while capturing has one). A mouse tap's press is the left-button Down before it; a touch tap ends a
// moment after its press.
function tapsWithMarkerFrame(store) {
  const out = [];
  for (const tap of store.taps) {
    const up = store.mouseButtons.find((b) => b.button === 0 && b.action === 'Up' && Math.abs(b.timestamp - tap.timestamp) <= 50);
    const down = up && store.mouseButtons.filter((b) => b.button === 0 && b.action === 'Down' && b.timestamp <= up.timestamp).pop();
    const pressedAt = down ? down.timestamp : tap.timestamp - 100;
    const frame = store.frames.find((f) => f.t >= pressedAt + 20 && f.t <= pressedAt + 1400);
    if (frame) out.push({ tap, frame, mouse: !!up });
  }
  return out;
}

async function checkTimeline(page, store) {
  const seen = await page.evaluate(() => ({
    frames: window.quorvexReplay.frames(),
    count: window.quorvexReplay.frameCount(),
    countText: document.getElementById('frame-count').textContent,
    batchMarks: document.querySelectorAll('#timeline .mark-batch').length,
    gestureMarks: document.querySelectorAll('#timeline .mark-gesture').length,
    eventMarks: document.querySelectorAll('#timeline .mark-event').length,
    gestures: window.quorvexReplay.gestures().length,
  }));
  check(seen.count === store.frames.length, `the page shows ${seen.count} frames, the store holds ${store.frames.length}`);
  check(seen.countText === String(store.frames.length), `#frame-count says "${seen.countText}", the store holds ${store.frames.length}`);
  store.frames.forEach((want, i) => {
    const got = seen.frames[i];
    check(got && got.t === want.t && got.objectIndex === want.objectIndex && got.attachmentId === want.attachmentId,
      `frame ${i}: page has ${JSON.stringify(got)}, store has ${JSON.stringify(want)}`);
  });
  check(seen.batchMarks === store.archives, `${seen.batchMarks} batch marks for ${store.archives} stored archives`);
  check(seen.gestureMarks === store.inputCount && seen.gestures === store.inputCount,
    `${seen.gestureMarks} gesture marks and ${seen.gestures} gestures for ${store.inputCount} recorded input events`);
  return seen;
}

// Seeks to the frame after the tap and compares the overlay's dot with the ring the
// sample drew into that frame.
async function checkTapOverlay(page, { tap, frame, mouse }) {
  const got = await page.evaluate(async (t) => {
    await window.quorvexReplay.seek(t);
    const canvas = document.getElementById('frame-canvas');
    const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
    return {
      index: window.quorvexReplay.currentFrameIndex(),
      frame: window.quorvexReplay.frames()[window.quorvexReplay.currentFrameIndex()],
      shapes: window.quorvexReplay.overlayShapes(),
      width: canvas.width,
      height: canvas.height,
      rgba: Array.from(pixels.data),
    };
  }, frame.t);
  const what = `${mouse ? 'mouse' : 'touch'} tap at (${tap.x}, ${tap.y}) t=${tap.timestamp}`;
  check(got.frame.t === frame.t, `${what}: seek(${frame.t}) showed the frame at ${got.frame.t}`);
  check(got.width === frame.width && got.height === frame.height,
    `${what}: #frame-canvas is ${got.width}x${got.height}, the frame is ${frame.width}x${frame.height}`);
  const dots = got.shapes.filter((s) => s.kind === 'tap');
  check(dots.length > 0, `${what}: no tap dot drawn over frame ${got.index} (shapes: ${JSON.stringify(got.shapes)})`);
  const results = dots.map((dot) => ({ dot, ring: whiteRingCentre(got.rgba, got.width, got.height, dot.x, dot.y, 32) }));
  const hit = results.find(({ dot, ring }) => ring && Math.abs(ring.x - dot.x) <= 4 && Math.abs(ring.y - dot.y) <= 4);
  check(hit, `${what}: no tap dot lies within 4 px of a white marker ring in frame ${got.index}: ` +
    JSON.stringify(results));
  return hit;
}

async function checkServedPage(playwright, playerUrl, pngPath) {
  const base = new URL(playerUrl).origin;
  const sessionId = new URL(playerUrl).searchParams.get('session');
  check(sessionId, `the replay URL ${playerUrl} names no session`);
  const store = await readStore(base, sessionId);
  browser = await launchChromium(playwright);
  const page = await browser.newPage({ viewport: { width: 1360, height: 900 } });
  const errors = watchPage(page);
  await page.goto(playerUrl);
  await page.waitForFunction(() => document.body.dataset.ready === '1' || document.body.dataset.failed === '1',
    null, { timeout: 30000 });
  check(await page.evaluate(() => document.body.dataset.ready === '1'),
    `the player did not load: ${await page.textContent('#status')} ${errors.join('; ')}`);
  await checkTimeline(page, store);
  const candidates = tapsWithMarkerFrame(store);
  check(candidates.some((c) => c.mouse),
    `no mouse tap is followed within 1.4 s of its press by a stored frame; taps ${JSON.stringify(store.taps)}, ` +
    `frame times ${JSON.stringify(store.frames.map((f) => f.t))}`);
  for (const candidate of candidates) {
    const { dot, ring } = await checkTapOverlay(page, candidate);
    console.log(`[${NAME}] ${candidate.mouse ? 'mouse' : 'touch'} tap: dot (${dot.x.toFixed(1)}, ${dot.y.toFixed(1)}), ring centre (${ring.x}, ${ring.y}), half-size ${ring.r}, match ${ring.score.toFixed(2)}`);
  }
  // The list links to the player.
  await page.goto(`${base}/replay/`);
  await page.waitForFunction(() => document.body.dataset.listReady === '1' || document.body.dataset.failed === '1', null, { timeout: 30000 });
  const links = await page.$$eval('#session-table a.session-link', (as) => as.map((a) => a.textContent));
  check(links.includes(sessionId), `the session list does not link ${sessionId}: ${JSON.stringify(links)}`);
  await page.click(`#session-table a.session-link >> text="${sessionId}"`);
  await page.waitForFunction(() => document.body.dataset.ready === '1', null, { timeout: 30000 });
  // Back at the mouse tap for the picture.
  await page.evaluate((t) => window.quorvexReplay.seek(t), candidates.find((c) => c.mouse).frame.t);
  mkdirSync(path.dirname(pngPath), { recursive: true });
  await page.screenshot({ path: pngPath });
  check(errors.length === 0, `the page reported errors: ${errors.join('; ')}`);
  await page.close();
  return store;
}

async function checkWrittenFolder(playwright) {
  const run = startDemo(['--seconds', '8', '--out', path.join(scratch, 'replay')], /^\[demo\] replay folder: (.+)$/m, { TMPDIR: scratch });
  const folder = await run.found;
  await new Promise((resolve) => (run.child.exitCode !== null ? resolve() : run.child.once('exit', resolve)));
  if (!folder) {
    console.log(`[${NAME}] the sample named no replay folder without --serve; the from-disk check did not run`);
    return;
  }
  const framesDir = path.join(folder, 'frames');
  check(existsSync(framesDir), `the written folder ${folder} holds no frames/ folder`);
  const onDisk = readdirSync(framesDir).flatMap((d) => readdirSync(path.join(framesDir, d))
    .filter((f) => f.endsWith('.jpeg') && statSync(path.join(framesDir, d, f)).isFile()));
  const page = await browser.newPage();
  const errors = watchPage(page);
  await page.goto(pathToFileURL(path.join(folder, 'index.html')).href);
  await page.waitForFunction(() => document.body.dataset.ready === '1' || document.body.dataset.listReady === '1' ||
    document.body.dataset.failed === '1', null, { timeout: 30000 });
  const state = await page.evaluate(() => ({
    ready: document.body.dataset.ready === '1',
    count: window.quorvexReplay ? window.quorvexReplay.frameCount() : -1,
    status: document.getElementById('status').textContent,
  }));
  check(state.ready, `the written folder ${folder} did not open as a player: ${state.status} ${errors.join('; ')}`);
  check(state.count === onDisk.length, `from disk the page shows ${state.count} frames, ${folder}/frames holds ${onDisk.length}`);
  check(errors.length === 0, `the page from disk reported errors: ${errors.join('; ')}`);
  console.log(`[${NAME}] written folder ${folder}: ${state.count} frames`);
  await page.close();
}

runTest(NAME, 120, async () => {
  check(demoPath && screenshotPath, 'usage: replay-page.test.mjs <DemoGame binary> <screenshot.png>');
  const playwright = await loadPlaywright();
  const served = startDemo(['--serve', '--port', '0', '--seconds', String(seconds)], /^\[demo\] replay: (\S+)/m,
    { TMPDIR: scratch });
  const playerUrl = await served.found;
  check(playerUrl, `the sample printed no "[demo] replay: <URL>" line; it exited with ` +
    `${JSON.stringify(served.child.exitedWith)}; output:\n${served.output().slice(-3000)}`);
  console.log(`[${NAME}] player: ${playerUrl}`);
  const store = await checkServedPage(playwright, playerUrl, path.resolve(screenshotPath));
  console.log(`[${NAME}] ${store.frames.length} frames in ${store.archives} archive(s), ${store.inputCount} input events; screenshot ${screenshotPath}`);
  // Ctrl-C ends a whole recording cleanly (and a sanitizer's report would show here).
  await stopChild(served.child);
  check(served.child.exitCode === 0, `the sample exited with ${served.child.exitCode} (signal ` +
    `${served.child.signalCode}) after SIGINT; output:\n${served.output().slice(-3000)}`);
  await checkWrittenFolder(playwright);
}, async () => {
  if (browser) await browser.close();
  await Promise.all(children.map(stopChild));
  rmSync(scratch, { recursive: true, force: true });
});
