// The replay page against data made for it, opened from disk as an exported folder:
//   - every gesture kind lands on the frame pixel the coordinate rules give (desktop
//     points shifted by the viewport origin, then scaled to the capture's size);
//   - a gesture shows on frames from 250 ms before to 1500 ms after it, not beyond;
//   - seek shows the last frame at or before the time; stepping and the scrubber move;
//   - text from the data stays text, ids with markup link to their own player, and
//     frame urls that are not plain relative paths are never requested.
//
//   node Tests/Browser/replay-page-data.test.mjs
import { copyFileSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { check, launchChromium, loadPlaywright, repoRoot, runTest, watchPage } from './support.mjs';

const NAME = 'replay-page-data';
const folder = mkdtempSync(path.join(os.tmpdir(), 'quorvex-replay-data-'));
let browser = null;

const HOSTILE = '<img src=x onerror="document.body.dataset.pwned=1">';
const VIEWPORT = { width: 640, height: 360 };
const ORIGIN = { x: 120, y: 110 };

function frame(objectIndex, t, width, height, attachmentId, url) {
  return { t, objectIndex, attachmentId, width, height, captureDurationMs: 30, mainThreadCaptureMs: 0,
    url: url === undefined ? `frames/${objectIndex}/${attachmentId}.jpeg` : url };
}

function batch(objectIndex, frames, extra) {
  return { objectIndex, object: `batch-${objectIndex}.zip`, bytes: 1000, store: 'gcs', sequenceNumber: objectIndex + 1,
    timestamp: frames[frames.length - 1].t + 10, inGameId: 'player-1', firstFrameMs: frames[0].t,
    lastFrameMs: frames[frames.length - 1].t, frames: frames.length,
    metadata: { memoryUsageMb: 20, cpuUsagePercent: 12.5, batteryLevel: -1, screenOrientation: 'Landscape' },
    problem: '', ...extra };
}

function session(id, detail) {
  const frames = detail.frames;
  const summary = { id, startedAtMs: frames[0].t, durationMs: frames[frames.length - 1].t - frames[0].t,
    state: 'Ended', batches: detail.batches.length, frames: frames.length,
    device: { name: HOSTILE, model: 'M', osName: 'Debian', platform: 'Linux' }, app: { name: 'Game', version: '1' } };
  return { summary, detail: { id, startedAtMs: frames[0].t, endedAtMs: frames[frames.length - 1].t, state: 'Ended',
    endReason: 'ManualOrExternal', device: summary.device, app: summary.app, sdk: { version: 'test' },
    inGameId: 'player-1', developerPayload: '', viewport: VIEWPORT, viewportOrigin: ORIGIN, gameEvents: [],
    problems: [], ...detail } };
}

// Every kind at once over a capture at half the viewport's size.
const mappingFrames = [frame(0, 1000, 320, 180, 'frame_0')];
const mapping = session('mapping', {
  frames: mappingFrames,
  batches: [batch(0, mappingFrames)],
  gestures: [
    { kind: 'tap', t: 1000, x: 100, y: 60, pressure: 1, space: 'viewport', objectIndex: 0 },
    { kind: 'tap', t: 1000, x: 620, y: 270, pressure: 0.7, space: 'desktop', objectIndex: 0 },
    { kind: 'swipe', t: 1000, startX: 680, startY: 410, endX: 480, endY: 370, durationMs: 500, space: 'desktop' },
    { kind: 'longPress', t: 1000, x: 200, y: 100, durationMs: 750, space: 'viewport' },
    { kind: 'mouseButton', t: 1000, button: 0, action: 'Down', x: 300, y: 200, space: 'viewport' },
    { kind: 'scroll', t: 1000, deltaX: 0, deltaY: -1, x: 440, y: 290, space: 'desktop' },
    { kind: 'key', t: 1000, keyCode: 87, key: 'W', action: 'Down' },
  ],
  gameEvents: [{ t: 1000, name: HOSTILE, data: '<b>x</b>' }],
});

// One tap at 5000 and frames just inside and outside the time it is shown.
const windowFrames = [4749, 4750, 5000, 6500, 6501].map((t, i) => frame(i < 3 ? 0 : 1, t, 640, 360, `frame_${i}`));
const windowed = session('window', {
  frames: windowFrames,
  batches: [batch(0, windowFrames.slice(0, 3)), batch(1, windowFrames.slice(3), { inGameId: 'player-2' })],
  gestures: [{ kind: 'tap', t: 5000, x: 64, y: 36, pressure: 1, space: 'viewport', objectIndex: 0 }],
  gameEvents: [{ t: 4800, name: 'a', data: '' }, { t: 6000, name: 'b', data: '' }],
});

// No viewport origin, an id with markup, and frame urls that must not be followed.
const hostileId = 'h<b>"&?x=1#y';
const badUrls = ['https://example.invalid/f.jpeg', '../outside.jpeg', '/abs.jpeg', 'javascript:alert(1)',
  'frames/0/../../outside.jpeg', '//example.invalid/f.jpeg'];
const hostileFrames = [frame(0, 100, 640, 360, 'frame_0'),
  ...badUrls.map((url, i) => frame(0, 200 + i * 100, 640, 360, `bad_${i}`, url))];
const hostile = session(hostileId, {
  frames: hostileFrames,
  batches: [batch(0, hostileFrames, { inGameId: HOSTILE })],
  viewportOrigin: null,
  gestures: [{ kind: 'tap', t: 100, x: 50, y: 60, pressure: 1, space: 'desktop', objectIndex: 0 }],
  developerPayload: HOSTILE,
});

const sessions = [mapping, windowed, hostile];

// JPEGs drawn by the browser itself, one per distinct size.
async function writeFolder(page) {
  for (const name of ['index.html', 'replay.js', 'replay.css']) {
    copyFileSync(path.join(repoRoot, 'Tools', 'DevBackend', 'Replay', name), path.join(folder, name));
  }
  for (const s of sessions) {
    for (const f of s.detail.frames) {
      if (!f.url.startsWith('frames/') || f.url.includes('..')) continue;
      const data = await page.evaluate(([w, h, seed]) => {
        const c = document.createElement('canvas');
        c.width = w;
        c.height = h;
        const ctx = c.getContext('2d');
        ctx.fillStyle = `hsl(${seed * 47 % 360}, 60%, 40%)`;
        ctx.fillRect(0, 0, w, h);
        return c.toDataURL('image/jpeg', 0.8).split(',')[1];
      }, [f.width, f.height, f.t]);
      mkdirSync(path.join(folder, path.dirname(f.url)), { recursive: true });
      writeFileSync(path.join(folder, f.url), Buffer.from(data, 'base64'));
    }
  }
  const data = { sessions: sessions.map((s) => s.summary), details: Object.fromEntries(sessions.map((s) => [s.detail.id, s.detail])) };
  // "</" escaped so no string can close the script element the file is loaded by.
  writeFileSync(path.join(folder, 'data.js'),
    `window.QUORVEX_REPLAY_DATA = ${JSON.stringify(data).replace(/<\//g, '<\\/')};\n`);
}

async function openPlayer(page, id) {
  await page.goto(pathToFileURL(path.join(folder, 'index.html')).href + '?session=' + encodeURIComponent(id));
  await page.waitForFunction(() => document.body.dataset.ready === '1' || document.body.dataset.failed === '1', null, { timeout: 15000 });
  check(await page.evaluate(() => document.body.dataset.ready === '1'),
    `player for ${JSON.stringify(id)} did not load: ${await page.textContent('#status')}`);
}

const shapesAt = (page, t) => page.evaluate(async (ms) => {
  await window.quorvexReplay.seek(ms);
  return { index: window.quorvexReplay.currentFrameIndex(), shapes: window.quorvexReplay.overlayShapes() };
}, t);

async function checkMapping(page) {
  await openPlayer(page, 'mapping');
  const { shapes } = await shapesAt(page, 1000);
  // Frame is 320x180 for a 640x360 viewport at desktop (120, 110): half scale.
  const expected = [
    { kind: 'tap', x: 50, y: 30, why: 'viewport tap scaled' },
    { kind: 'tap', x: 250, y: 80, why: 'desktop tap shifted then scaled' },
    { kind: 'swipe', x: 180, y: 130, startX: 280, startY: 150, why: 'desktop swipe, end and start' },
    { kind: 'longPress', x: 100, y: 50, why: 'viewport long press' },
    { kind: 'mouseButton', x: 150, y: 100, why: 'mouse button in viewport pixels' },
    { kind: 'scroll', x: 160, y: 90, why: 'desktop scroll' },
  ];
  for (const want of expected) {
    const hit = shapes.find((s) => s.kind === want.kind && Math.abs(s.x - want.x) < 0.01 && Math.abs(s.y - want.y) < 0.01 &&
      (want.startX === undefined || (Math.abs(s.startX - want.startX) < 0.01 && Math.abs(s.startY - want.startY) < 0.01)));
    check(hit, `${want.why}: expected ${JSON.stringify(want)} among ${JSON.stringify(shapes)}`);
  }
  check(shapes.some((s) => s.kind === 'key'), `no key badge among ${JSON.stringify(shapes)}`);
  check(shapes.length === 7, `7 gestures active, ${shapes.length} shapes drawn`);
  const canvas = await page.evaluate(() => ['frame-canvas', 'overlay-canvas'].map((id) => {
    const c = document.getElementById(id);
    return [c.width, c.height];
  }));
  check(JSON.stringify(canvas) === '[[320,180],[320,180]]', `canvases are ${JSON.stringify(canvas)}, the frame is 320x180`);
  check(await page.isHidden('#mapping-note'), 'the mapping note shows although the session names its viewport origin');
  check((await page.$$('#timeline .mark-event')).length === 1, 'one game event, one .mark-event');
}

async function checkWindowAndNavigation(page) {
  await openPlayer(page, 'window');
  const cases = [ // seek time -> frame shown, whether the tap at 5000 is drawn
    [4749, 0, false], [4750, 1, true], [4999, 1, true], [5000, 2, true], [6499, 2, true],
    [6500, 3, true], [6501, 4, false], [0, 0, false], [1e15, 4, false],
  ];
  for (const [t, index, drawn] of cases) {
    const got = await shapesAt(page, t);
    check(got.index === index, `seek(${t}) showed frame ${got.index}, expected ${index}`);
    const hasTap = got.shapes.some((s) => s.kind === 'tap' && s.x === 64 && s.y === 36);
    check(hasTap === drawn, `seek(${t}): tap drawn ${hasTap}, expected ${drawn}`);
  }
  const marks = await page.evaluate(() => ['batch', 'event', 'gesture', 'frame'].map((k) => document.querySelectorAll(`#timeline .mark-${k}`).length));
  check(JSON.stringify(marks) === '[2,2,1,5]', `timeline marks batch/event/gesture/frame are ${JSON.stringify(marks)}`);
  // The panel follows the batch of the frame shown.
  await shapesAt(page, 6500);
  check((await page.textContent('#metadata-panel')).includes('player-2'), 'metadata panel does not show the second batch');
  await shapesAt(page, 4750);
  check((await page.textContent('#metadata-panel')).includes('player-1'), 'metadata panel does not show the first batch');
  // Arrow keys and buttons step one frame; the scrubber seeks.
  const index = () => page.evaluate(() => window.quorvexReplay.currentFrameIndex());
  await page.keyboard.press('ArrowRight');
  check(await index() === 2, 'ArrowRight did not step to the next frame');
  await page.click('#prev-frame');
  check(await index() === 1, 'the previous-frame button did not step back');
  await page.keyboard.press('ArrowLeft');
  await page.keyboard.press('ArrowLeft');
  check(await index() === 0, 'stepping back stops at the first frame');
  await page.$eval('#scrubber', (s) => {
    s.value = String(6500 - 4749);
    s.dispatchEvent(new Event('input', { bubbles: true }));
  });
  check(await index() === 3, 'the scrubber did not seek to 6500');
  // Playing at 4x runs to the end and stops.
  await shapesAt(page, 4749);
  await page.selectOption('#speed', '4');
  await page.click('#play-pause');
  await page.waitForFunction(() => window.quorvexReplay.currentFrameIndex() === 4 &&
    document.getElementById('play-pause').textContent === 'Play', null, { timeout: 15000 });
}

async function checkHostileData(page) {
  const requested = [];
  page.on('request', (r) => requested.push(r.url()));
  // The list: rows as text, links that reach each player.
  await page.goto(pathToFileURL(path.join(folder, 'index.html')).href);
  await page.waitForFunction(() => document.body.dataset.listReady === '1', null, { timeout: 15000 });
  const rows = await page.$$eval('#session-table tbody tr', (trs) => trs.map((tr) => tr.textContent));
  check(rows.length === 3, `the list shows ${rows.length} rows for 3 sessions`);
  check(rows.every((r) => r.includes(HOSTILE)), 'the device name is not shown as the text it is');
  await page.click(`#session-table a.session-link >> text=${JSON.stringify(hostileId)}`);
  await page.waitForFunction(() => document.body.dataset.ready === '1' || document.body.dataset.failed === '1',
    null, { timeout: 15000 });
  check(await page.evaluate(() => new URLSearchParams(location.search).get('session')) === hostileId,
    'the link of an id with markup and query characters does not reach its player');
  check((await page.textContent('#page-title')) === hostileId, 'the player title is not the session id as text');
  const panel = await page.textContent('#session-panel');
  check(panel.includes(HOSTILE), 'the payload/device text is not shown literally');
  check(!(await page.evaluate(() => document.body.dataset.pwned)), 'markup from the data ran');
  check(await page.evaluate(() => document.querySelectorAll('img, script:not([src]), b, i').length === 0),
    'markup from the data became elements');
  // No viewport origin: desktop points unshifted, and the page says so.
  const { shapes } = await shapesAt(page, 100);
  check(shapes.some((s) => s.kind === 'tap' && s.x === 50 && s.y === 60), `desktop tap without origin: ${JSON.stringify(shapes)}`);
  check(await page.isVisible('#mapping-note'), 'no note that desktop points are drawn unshifted');
  // Every frame with a bad url draws a placeholder; none of those urls is requested.
  for (const f of hostileFrames.slice(1)) await shapesAt(page, f.t);
  const outside = requested.filter((u) => !u.startsWith(pathToFileURL(folder).href + '/'));
  check(outside.length === 0, `the page requested urls outside its folder: ${JSON.stringify(outside)}`);
  const problems = await page.$$eval('#problem-list li', (lis) => lis.length);
  check(problems >= badUrls.length, `${problems} problems listed for ${badUrls.length} rejected frame urls`);
}

runTest(NAME, 120, async () => {
  const playwright = await loadPlaywright();
  browser = await launchChromium(playwright);
  const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  const errors = watchPage(page);
  await writeFolder(page);
  await checkMapping(page);
  await checkWindowAndNavigation(page);
  await checkHostileData(page);
  check(errors.length === 0, `the page reported errors: ${errors.join('; ')}`);
}, async () => {
  if (browser) await browser.close();
  rmSync(folder, { recursive: true, force: true });
});
