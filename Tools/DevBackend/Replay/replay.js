// The replay page: a list of recorded sessions and a player for one of them.
//
// The same file runs served by the dev backend (data fetched from api/...) and from
// an exported folder opened from disk (data from data.js, which sets
// window.QUORVEX_REPLAY_DATA). Every string in the data came from a game or an SDK
// we do not control, so it only ever reaches the page as text (textContent), and the
// only URLs the page loads are the data's relative frame urls, checked first.
(function () {
  'use strict';

  // A gesture stays on screen from a little before it ended until 1.5 s after.
  const GESTURE_BEFORE_MS = 250;
  const GESTURE_AFTER_MS = 1500;
  const SPEEDS = [0.5, 1, 2, 4];
  const MAX_TEXT = 300; // longest piece of outside text shown as is
  const MOUSE_MATCH_MS = 50;

  const $ = (id) => document.getElementById(id);

  // ---- Hostile input: bounded text, finite numbers, arrays only where arrays belong.

  function text(value) {
    if (value === null || value === undefined) return '';
    const s = typeof value === 'string' ? value : String(value);
    return s.length > MAX_TEXT ? s.slice(0, MAX_TEXT) + '…' : s;
  }

  function num(value, fallback) {
    return typeof value === 'number' && Number.isFinite(value) ? value : fallback;
  }

  function list(value) {
    return Array.isArray(value) ? value : [];
  }

  function obj(value) {
    return value && typeof value === 'object' && !Array.isArray(value) ? value : {};
  }

  // A frame url must be relative to this page and stay below it: no scheme, no
  // leading slash or backslash, no "..". Anything else is dropped and reported.
  function safeRelativeUrl(url) {
    if (typeof url !== 'string' || url.length === 0 || url.length > 2000) return null;
    if (/^[a-z][a-z0-9+.-]*:/i.test(url) || /^[\\/]/.test(url) || /[\\\u0000-\u001f]/.test(url)) {
      return null;
    }
    if (url.split('/').some((part) => part === '..' || part === '.' || /^%2e%2e$/i.test(part))) {
      return null;
    }
    return url;
  }

  // ---- Coordinate mapping: recorded point -> frame pixels.

  // Desktop points lose the viewport's place on the desktop; viewport points scale by
  // the capture's size against the viewport's.
  function toFramePoint(x, y, space, detail, frame) {
    let px = x;
    let py = y;
    if (space === 'desktop' && detail.viewportOrigin) {
      px -= detail.viewportOrigin.x;
      py -= detail.viewportOrigin.y;
    }
    const vw = detail.viewport.width;
    const vh = detail.viewport.height;
    const sx = vw > 0 ? frame.width / vw : 1;
    const sy = vh > 0 ? frame.height / vh : 1;
    return { x: px * sx, y: py * sy };
  }

  // ---- Data: normalise one session's detail into what the player draws.

  function normaliseFrame(raw, problems) {
    const f = obj(raw);
    const url = safeRelativeUrl(f.url);
    if (url === null) problems.push('A frame url was not a relative url and was not loaded.');
    return {
      t: num(f.t, 0),
      objectIndex: num(f.objectIndex, -1),
      attachmentId: text(f.attachmentId),
      width: Math.max(1, Math.min(8192, Math.round(num(f.width, 640)))),
      height: Math.max(1, Math.min(8192, Math.round(num(f.height, 360)))),
      captureDurationMs: num(f.captureDurationMs, null),
      mainThreadCaptureMs: num(f.mainThreadCaptureMs, null),
      url: url,
    };
  }

  const GESTURE_KINDS = ['tap', 'swipe', 'longPress', 'key', 'mouseButton', 'scroll'];

  function normaliseGesture(raw) {
    const g = obj(raw);
    if (!GESTURE_KINDS.includes(g.kind) || !Number.isFinite(g.t)) return null;
    const out = { kind: g.kind, t: g.t, space: g.space === 'desktop' ? 'desktop' : 'viewport' };
    for (const key of ['x', 'y', 'startX', 'startY', 'endX', 'endY', 'durationMs', 'pressure',
      'deltaX', 'deltaY', 'button', 'keyCode', 'objectIndex']) {
      out[key] = num(g[key], 0);
    }
    out.key = text(g.key);
    out.action = text(g.action);
    return out;
  }

  function byTime(a, b) {
    return a.t - b.t;
  }

  function normaliseDetail(raw) {
    const d = obj(raw);
    const problems = list(d.problems).map(text);
    const viewport = obj(d.viewport);
    const origin = d.viewportOrigin && typeof d.viewportOrigin === 'object'
      ? { x: num(d.viewportOrigin.x, NaN), y: num(d.viewportOrigin.y, NaN) } : null;
    const detail = {
      id: text(d.id),
      startedAtMs: num(d.startedAtMs, null),
      endedAtMs: num(d.endedAtMs, null),
      state: text(d.state),
      endReason: text(d.endReason),
      device: obj(d.device),
      app: obj(d.app),
      sdk: obj(d.sdk),
      inGameId: text(d.inGameId),
      developerPayload: text(d.developerPayload),
      viewport: { width: num(viewport.width, 0), height: num(viewport.height, 0) },
      viewportOrigin: origin && Number.isFinite(origin.x) && Number.isFinite(origin.y) ? origin : null,
      batches: list(d.batches).map((b) => normaliseBatch(b)),
      frames: list(d.frames).map((f) => normaliseFrame(f, problems)).sort(byTime),
      gestures: list(d.gestures).map(normaliseGesture).filter(Boolean).sort(byTime),
      gameEvents: list(d.gameEvents).map((e) => ({
        t: num(obj(e).t, NaN), name: text(obj(e).name), data: text(obj(e).data),
      })).filter((e) => Number.isFinite(e.t)).sort(byTime),
      problems: problems,
    };
    return detail;
  }

  function normaliseBatch(raw) {
    const b = obj(raw);
    return {
      objectIndex: num(b.objectIndex, -1),
      object: text(b.object),
      bytes: num(b.bytes, null),
      store: text(b.store),
      sequenceNumber: num(b.sequenceNumber, null),
      timestamp: num(b.timestamp, null),
      inGameId: text(b.inGameId),
      firstFrameMs: num(b.firstFrameMs, null),
      lastFrameMs: num(b.lastFrameMs, null),
      frames: num(b.frames, 0),
      metadata: obj(b.metadata),
      problem: text(b.problem),
    };
  }

  // ---- Where the data comes from: the exported data.js, or the backend's api.

  function source() {
    const embedded = window.QUORVEX_REPLAY_DATA;
    if (embedded && typeof embedded === 'object') {
      const details = obj(embedded.details);
      return {
        sessions: () => Promise.resolve(list(embedded.sessions)),
        detail: (id) => Object.prototype.hasOwnProperty.call(details, id)
          ? Promise.resolve(details[id])
          : Promise.reject(new Error('This folder holds no session with that id.')),
      };
    }
    const getJson = (url) => fetch(url, { credentials: 'same-origin' }).then((r) => {
      if (!r.ok) throw new Error('The backend answered ' + r.status + ' for ' + url);
      return r.json();
    });
    return {
      sessions: () => getJson('api/sessions').then((j) => list(obj(j).sessions)),
      detail: (id) => getJson('api/sessions/' + encodeURIComponent(id)),
    };
  }

  // ---- Small DOM helpers; text only.

  function el(tag, className, content) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (content !== undefined) node.textContent = text(content);
    return node;
  }

  function setStatus(message, isError) {
    const status = $('status');
    status.textContent = message;
    status.classList.toggle('error', !!isError);
    status.hidden = message === '';
  }

  function formatTime(ms) {
    if (!Number.isFinite(ms)) return '—';
    const d = new Date(ms);
    return Number.isNaN(d.getTime()) ? '—' : d.toLocaleString();
  }

  function formatDuration(ms) {
    if (!Number.isFinite(ms) || ms < 0) return '—';
    const s = ms / 1000;
    return s < 60 ? s.toFixed(1) + ' s' : Math.floor(s / 60) + ' min ' + Math.round(s % 60) + ' s';
  }

  function fillFacts(dl, rows) {
    dl.replaceChildren();
    for (const [name, value] of rows) {
      dl.append(el('dt', '', name), el('dd', '', value === '' || value === null ? '—' : value));
    }
  }

  // An object received from outside, shown as name/value lines (one level deep).
  function objectRows(prefix, value) {
    return Object.keys(obj(value)).slice(0, 40).map((key) => {
      const v = value[key];
      return [prefix + ' ' + text(key), v && typeof v === 'object' ? text(JSON.stringify(v)) : text(v)];
    });
  }

  // ---- The session list.

  function showList(sessions, linkBase) {
    $('list-view').hidden = false;
    $('page-title').textContent = sessions.length + ' session(s)';
    const body = document.querySelector('#session-table tbody');
    body.replaceChildren();
    for (const raw of sessions) {
      const s = obj(raw);
      const row = document.createElement('tr');
      const link = el('a', 'session-link', s.id);
      link.href = linkBase + '?session=' + encodeURIComponent(text(s.id));
      const idCell = document.createElement('td');
      idCell.append(link);
      const device = obj(s.device);
      const app = obj(s.app);
      row.append(
        idCell,
        el('td', '', formatTime(num(s.startedAtMs, NaN))),
        el('td', '', formatDuration(num(s.durationMs, NaN))),
        el('td', '', s.state),
        el('td', '', num(s.batches, 0)),
        el('td', '', num(s.frames, 0)),
        el('td', '', [device.name, device.model, device.osName, device.platform]
          .map(text).filter(Boolean).join(' · ')),
        el('td', '', [app.name, app.version].map(text).filter(Boolean).join(' ')));
      body.append(row);
    }
    setStatus(sessions.length ? '' : 'No sessions recorded yet.');
    document.body.dataset.listReady = '1';
  }

  // ---- The player.

  function Player(detail) {
    this.detail = detail;
    this.index = -1;
    this.playing = false;
    this.speed = 1;
    this.images = new Map();
    this.drawToken = 0;
    this.lastDrawn = Promise.resolve();
    this.shapes = [];
    const times = [].concat(
      detail.frames.map((f) => f.t),
      detail.gestures.map((g) => g.t),
      detail.gameEvents.map((e) => e.t),
      detail.batches.map((b) => b.timestamp).filter(Number.isFinite));
    this.t0 = detail.frames.length ? detail.frames[0].t : (times.length ? Math.min(...times) : 0);
    if (Number.isFinite(detail.startedAtMs)) this.t0 = Math.min(this.t0, detail.startedAtMs);
    this.t1 = times.length ? Math.max(this.t0, ...times) : this.t0;
    this.playhead = this.t0;
  }

  // The last frame at or before ms (the first frame when ms comes before every frame).
  Player.prototype.frameAt = function (ms) {
    const frames = this.detail.frames;
    let lo = 0;
    let hi = frames.length - 1;
    let found = 0;
    while (lo <= hi) {
      const mid = (lo + hi) >> 1;
      if (frames[mid].t <= ms) {
        found = mid;
        lo = mid + 1;
      } else {
        hi = mid - 1;
      }
    }
    return frames.length ? found : -1;
  };

  Player.prototype.image = function (i) {
    if (this.images.has(i)) return this.images.get(i);
    const frame = this.detail.frames[i];
    const loaded = new Promise((resolve) => {
      if (!frame.url) {
        resolve(null);
        return;
      }
      const img = new Image();
      img.onload = () => resolve(img);
      img.onerror = () => resolve(null);
      img.src = frame.url;
    });
    this.images.set(i, loaded);
    return loaded;
  };

  // Moves the playhead; draws the frame it lands on. Resolves once that frame (or a
  // later request that overtook it) is on the canvas.
  Player.prototype.moveTo = function (ms) {
    this.playhead = Math.max(this.t0, Math.min(this.t1, ms));
    this.updateClock();
    const i = this.frameAt(this.playhead);
    if (i === this.index || i < 0) return this.lastDrawn;
    this.index = i;
    const token = ++this.drawToken;
    this.lastDrawn = this.image(i).then((img) => {
      if (token !== this.drawToken) return this.lastDrawn;
      this.paint(i, img);
      return undefined;
    });
    this.updateFrameFacts();
    return this.lastDrawn;
  };

  Player.prototype.paint = function (i, img) {
    const frame = this.detail.frames[i];
    for (const canvas of [$('frame-canvas'), $('overlay-canvas')]) {
      if (canvas.width !== frame.width) canvas.width = frame.width;
      if (canvas.height !== frame.height) canvas.height = frame.height;
    }
    const ctx = $('frame-canvas').getContext('2d');
    if (img) {
      ctx.drawImage(img, 0, 0, frame.width, frame.height);
    } else {
      ctx.fillStyle = '#333';
      ctx.fillRect(0, 0, frame.width, frame.height);
      ctx.fillStyle = '#ddd';
      ctx.font = '16px sans-serif';
      ctx.fillText('This frame could not be loaded.', 16, 32);
    }
    this.drawOverlay(frame);
  };

  Player.prototype.activeGestures = function (frame) {
    return this.detail.gestures.filter(
      (g) => frame.t >= g.t - GESTURE_BEFORE_MS && frame.t <= g.t + GESTURE_AFTER_MS);
  };

  Player.prototype.drawOverlay = function (frame) {
    const canvas = $('overlay-canvas');
    const ctx = canvas.getContext('2d');
    ctx.clearRect(0, 0, canvas.width, canvas.height);
    const unit = Math.max(1, frame.width / 640);
    const shapes = [];
    let badgeY = 8 * unit;
    const items = $('active-gestures');
    items.replaceChildren();
    for (const g of this.activeGestures(frame)) {
      const age = frame.t - g.t;
      // Fades from full strength at the gesture's end to a third of it 1.5 s later.
      ctx.globalAlpha = age <= 0 ? 1 : Math.max(0.35, 1 - age / GESTURE_AFTER_MS);
      const at = (x, y) => toFramePoint(x, y, g.space, this.detail, frame);
      if (g.kind === 'tap') {
        const p = at(g.x, g.y);
        dot(ctx, p, 7 * unit, '#ff3b30');
        shapes.push({ kind: 'tap', x: p.x, y: p.y });
      } else if (g.kind === 'longPress') {
        const p = at(g.x, g.y);
        ring(ctx, p, 16 * unit, 4 * unit, '#ffcc00');
        shapes.push({ kind: 'longPress', x: p.x, y: p.y });
      } else if (g.kind === 'swipe') {
        const a = at(g.startX, g.startY);
        const b = at(g.endX, g.endY);
        arrow(ctx, a, b, 4 * unit, '#34c759');
        shapes.push({ kind: 'swipe', x: b.x, y: b.y, startX: a.x, startY: a.y });
      } else if (g.kind === 'mouseButton') {
        const p = at(g.x, g.y);
        marker(ctx, p, 5 * unit, g.action === 'Down' ? '#0a84ff' : '#64d2ff');
        shapes.push({ kind: 'mouseButton', x: p.x, y: p.y });
      } else if (g.kind === 'scroll') {
        const p = at(g.x, g.y);
        badge(ctx, p, (g.deltaY < 0 ? '▼ ' : g.deltaY > 0 ? '▲ ' : '◆ ') + Math.abs(g.deltaY || g.deltaX), unit);
        shapes.push({ kind: 'scroll', x: p.x, y: p.y });
      } else if (g.kind === 'key') {
        const p = { x: 8 * unit, y: badgeY };
        badge(ctx, p, 'key ' + g.key + ' ' + g.action, unit, true);
        badgeY += 22 * unit;
        shapes.push({ kind: 'key', x: p.x, y: p.y });
      }
      items.append(el('li', '', describeGesture(g, age)));
    }
    ctx.globalAlpha = 1;
    this.shapes = shapes;
  };

  function describeGesture(g, age) {
    const when = (age >= 0 ? '+' : '') + (age / 1000).toFixed(2) + ' s';
    const where = g.kind === 'swipe'
      ? '(' + g.startX + ', ' + g.startY + ') → (' + g.endX + ', ' + g.endY + ')'
      : g.kind === 'key' ? g.key + ' ' + g.action : '(' + g.x + ', ' + g.y + ')';
    return when + ' ' + g.kind + ' ' + where + (g.kind === 'key' ? '' : ' ' + g.space);
  }

  function dot(ctx, p, r, color) {
    ctx.beginPath();
    ctx.arc(p.x, p.y, r, 0, Math.PI * 2);
    ctx.fillStyle = color;
    ctx.fill();
    ctx.lineWidth = 2;
    ctx.strokeStyle = '#000';
    ctx.stroke();
  }

  function ring(ctx, p, r, width, color) {
    ctx.beginPath();
    ctx.arc(p.x, p.y, r, 0, Math.PI * 2);
    ctx.lineWidth = width;
    ctx.strokeStyle = color;
    ctx.stroke();
  }

  function marker(ctx, p, r, color) {
    ctx.fillStyle = color;
    ctx.strokeStyle = '#000';
    ctx.lineWidth = 1;
    ctx.fillRect(p.x - r, p.y - r, r * 2, r * 2);
    ctx.strokeRect(p.x - r, p.y - r, r * 2, r * 2);
  }

  function arrow(ctx, a, b, width, color) {
    const angle = Math.atan2(b.y - a.y, b.x - a.x);
    const head = width * 4;
    ctx.strokeStyle = color;
    ctx.fillStyle = color;
    ctx.lineWidth = width;
    ctx.beginPath();
    ctx.moveTo(a.x, a.y);
    ctx.lineTo(b.x - Math.cos(angle) * head * 0.8, b.y - Math.sin(angle) * head * 0.8);
    ctx.stroke();
    ctx.beginPath();
    ctx.moveTo(b.x, b.y);
    ctx.lineTo(b.x - head * Math.cos(angle - 0.45), b.y - head * Math.sin(angle - 0.45));
    ctx.lineTo(b.x - head * Math.cos(angle + 0.45), b.y - head * Math.sin(angle + 0.45));
    ctx.closePath();
    ctx.fill();
  }

  // Canvas text is drawn as pixels, never parsed: outside text is safe here.
  function badge(ctx, p, label, unit, fromCorner) {
    ctx.font = Math.round(12 * unit) + 'px sans-serif';
    const w = ctx.measureText(label).width + 10 * unit;
    const h = 18 * unit;
    const x = fromCorner ? p.x : p.x - w / 2;
    const y = fromCorner ? p.y : p.y - h / 2;
    ctx.fillStyle = 'rgba(0,0,0,0.75)';
    ctx.fillRect(x, y, w, h);
    ctx.fillStyle = '#fff';
    ctx.fillText(label, x + 5 * unit, y + 13 * unit);
  }

  Player.prototype.batchOf = function (frame) {
    return this.detail.batches.find((b) => b.objectIndex === frame.objectIndex) || null;
  };

  Player.prototype.updateFrameFacts = function () {
    const frame = this.detail.frames[this.index];
    $('frame-index').textContent = String(this.index + 1);
    $('frame-time').textContent = frame
      ? ' · ' + formatTime(frame.t) + ' · ' + text(frame.attachmentId) +
        ' · ' + frame.width + '×' + frame.height +
        (frame.captureDurationMs === null ? '' : ' · capture ' + frame.captureDurationMs + ' ms')
      : '';
    const batch = frame ? this.batchOf(frame) : null;
    const m = batch ? batch.metadata : {};
    fillFacts($('metadata-panel'), batch ? [
      ['Batch', '#' + text(batch.sequenceNumber) + ' (' + batch.object + ')'],
      ['Store', batch.store + (batch.bytes === null ? '' : ', ' + batch.bytes + ' bytes')],
      ['Frames', batch.frames],
      ['In-game id', batch.inGameId],
      ['CPU', Number.isFinite(m.cpuUsagePercent) ? m.cpuUsagePercent + ' %' : text(m.cpuUsagePercent)],
      ['Memory', Number.isFinite(m.memoryUsageMb) ? m.memoryUsageMb + ' MB' : text(m.memoryUsageMb)],
      ['Battery', m.batteryLevel === -1 ? 'unknown' : text(m.batteryLevel)],
      ['Orientation', text(m.screenOrientation)],
      ['Sealed at', formatTime(batch.timestamp)],
    ].concat(batch.problem ? [['Problem', batch.problem]] : []) : [['Batch', 'none']]);
    for (const li of $('event-list').children) {
      li.classList.toggle('current', frame && Math.abs(Number(li.dataset.t) - frame.t) <= GESTURE_AFTER_MS);
    }
  };

  Player.prototype.updateClock = function () {
    const offset = this.playhead - this.t0;
    $('scrubber').value = String(Math.round(offset));
    $('clock').textContent = formatDuration(offset) + ' / ' + formatDuration(this.t1 - this.t0);
    const span = Math.max(1, this.t1 - this.t0);
    $('timeline-cursor').style.left = (offset / span * 100) + '%';
  };

  Player.prototype.step = function (delta) {
    this.pause();
    const frames = this.detail.frames;
    if (!frames.length) return this.lastDrawn;
    const i = Math.max(0, Math.min(frames.length - 1, this.index + delta));
    return this.moveTo(frames[i].t);
  };

  Player.prototype.play = function () {
    if (this.playing || !this.detail.frames.length) return;
    if (this.playhead >= this.t1) this.moveTo(this.t0);
    this.playing = true;
    $('play-pause').textContent = 'Pause';
    let last = performance.now();
    const tick = (now) => {
      if (!this.playing) return;
      const dt = (now - last) * this.speed;
      last = now;
      this.moveTo(this.playhead + dt);
      if (this.playhead >= this.t1) {
        this.pause();
        return;
      }
      requestAnimationFrame(tick);
    };
    requestAnimationFrame(tick);
  };

  Player.prototype.pause = function () {
    this.playing = false;
    $('play-pause').textContent = 'Play';
  };

  Player.prototype.buildTimeline = function () {
    const timeline = $('timeline');
    const span = Math.max(1, this.t1 - this.t0);
    const place = (className, t, title) => {
      const mark = el('div', className);
      // Kept inside the strip so a mark at either end stays visible.
      const share = Math.max(0, Math.min(100, (t - this.t0) / span * 100));
      mark.style.left = 'min(' + share + '%, calc(100% - 3px))';
      mark.title = text(title);
      mark.dataset.t = String(t);
      timeline.append(mark);
    };
    for (const f of this.detail.frames) place('mark-frame', f.t, 'frame ' + f.attachmentId);
    for (const b of this.detail.batches) {
      const t = Number.isFinite(b.timestamp) ? b.timestamp : (b.lastFrameMs ?? b.firstFrameMs ?? this.t0);
      place('mark-batch', t, 'batch #' + b.sequenceNumber + ' sealed, ' + b.frames + ' frame(s)');
    }
    for (const e of this.detail.gameEvents) place('mark-event', e.t, 'event ' + e.name);
    for (const g of this.detail.gestures) place('mark-gesture', g.t, g.kind);
    timeline.addEventListener('click', (ev) => {
      const box = timeline.getBoundingClientRect();
      this.pause();
      this.moveTo(this.t0 + (ev.clientX - box.left) / box.width * span);
    });
  };

  Player.prototype.fillSession = function () {
    const d = this.detail;
    fillFacts($('session-panel'), [
      ['Id', d.id],
      ['State', d.state + (d.endReason ? ' (' + d.endReason + ')' : '')],
      ['Started', formatTime(d.startedAtMs)],
      ['Ended', formatTime(d.endedAtMs)],
      ['In-game id', d.inGameId],
      ['Payload', d.developerPayload],
      ['Viewport', d.viewport.width + '×' + d.viewport.height],
      ['Viewport origin', d.viewportOrigin ? d.viewportOrigin.x + ', ' + d.viewportOrigin.y : 'unknown'],
      ['Device', [d.device.name, d.device.model, d.device.osName, d.device.platform].map(text).filter(Boolean).join(' · ')],
      ['App', [d.app.name, d.app.version].map(text).filter(Boolean).join(' ')],
      ['SDK', Object.keys(d.sdk).slice(0, 4).map((k) => text(d.sdk[k])).filter(Boolean).join(' ')],
    ]);
    // Everything the session was created with, folded away: it is long.
    fillFacts($('session-raw'), objectRows('device', d.device).concat(
      objectRows('app', d.app), objectRows('sdk', d.sdk)));
    const note = $('mapping-note');
    const notes = [];
    if (!d.viewportOrigin && d.gestures.some((g) => g.space === 'desktop' && g.kind !== 'key')) {
      notes.push('The session names no viewport origin: touch and scroll points (desktop pixels) are drawn unshifted.');
    }
    if (!(d.viewport.width > 0 && d.viewport.height > 0)) {
      notes.push('The session names no viewport size: points are drawn unscaled.');
    }
    note.textContent = notes.join(' ');
    note.hidden = notes.length === 0;
    const events = $('event-list');
    events.replaceChildren();
    for (const e of d.gameEvents) {
      const li = el('li', '', formatDuration(e.t - this.t0) + ' ' + e.name + (e.data ? ' ' + e.data : ''));
      li.dataset.t = String(e.t);
      events.append(li);
    }
    const problems = $('problem-list');
    problems.replaceChildren();
    const all = d.problems.concat(d.batches.filter((b) => b.problem).map((b) => b.object + ': ' + b.problem));
    for (const p of all.length ? all : ['none']) problems.append(el('li', all.length ? '' : 'empty', p));
  };

  Player.prototype.wireControls = function () {
    $('play-pause').addEventListener('click', () => (this.playing ? this.pause() : this.play()));
    $('prev-frame').addEventListener('click', () => this.step(-1));
    $('next-frame').addEventListener('click', () => this.step(1));
    $('speed').addEventListener('change', (ev) => {
      const v = Number(ev.target.value);
      this.speed = SPEEDS.includes(v) ? v : 1;
    });
    const scrubber = $('scrubber');
    scrubber.max = String(Math.round(this.t1 - this.t0));
    scrubber.addEventListener('input', () => {
      this.pause();
      this.moveTo(this.t0 + Number(scrubber.value));
    });
    document.addEventListener('keydown', (ev) => {
      if (ev.target && ev.target.tagName === 'SELECT') return;
      if (ev.key === 'ArrowLeft' || ev.key === 'ArrowRight') {
        ev.preventDefault();
        this.step(ev.key === 'ArrowLeft' ? -1 : 1);
      } else if (ev.key === ' ' && !(ev.target && ev.target.tagName === 'BUTTON')) {
        ev.preventDefault();
        this.playing ? this.pause() : this.play();
      }
    });
  };

  function publishHooks(player) {
    const copy = (items) => items.map((item) => Object.assign({}, item));
    window.quorvexReplay = {
      frameCount: () => player.detail.frames.length,
      frames: () => copy(player.detail.frames),
      gestures: () => copy(player.detail.gestures),
      seek: (ms) => {
        player.pause();
        // Forces a redraw decision even when the playhead stays on the same frame.
        return player.moveTo(Number(ms)).then(() => undefined);
      },
      currentFrameIndex: () => player.index,
      overlayShapes: () => copy(player.shapes),
    };
  }

  function showPlayer(rawDetail) {
    const detail = normaliseDetail(rawDetail);
    $('player-view').hidden = false;
    $('page-title').textContent = detail.id;
    document.title = 'Quorvex replay · ' + detail.id;
    $('frame-count').textContent = String(detail.frames.length);
    const player = new Player(detail);
    player.buildTimeline();
    player.fillSession();
    player.wireControls();
    publishHooks(player);
    player.updateClock();
    if (!detail.frames.length) {
      fillFacts($('metadata-panel'), [['Batch', 'none']]);
      setStatus('This session has no frames.');
      document.body.dataset.ready = '1';
      return Promise.resolve();
    }
    return player.moveTo(player.t0).then(() => {
      setStatus('');
      document.body.dataset.ready = '1';
    });
  }

  function start() {
    const data = source();
    const params = new URLSearchParams(location.search);
    const wanted = params.get('session');
    const fromDisk = location.protocol === 'file:';
    // From disk the list links back to this file; served, "?session=" keeps /replay/.
    const linkBase = fromDisk ? location.pathname.split('/').pop() || 'index.html' : '';
    data.sessions()
      .then((sessions) => {
        if (wanted !== null && wanted !== '') {
          return data.detail(wanted).then(showPlayer);
        }
        if (window.QUORVEX_REPLAY_DATA && sessions.length === 1) {
          return data.detail(text(obj(sessions[0]).id)).then(showPlayer);
        }
        showList(sessions, linkBase);
        return undefined;
      })
      .catch((err) => {
        setStatus('Could not load the replay: ' + text(err && err.message), true);
        document.body.dataset.failed = '1';
      });
  }

  start();
})();
