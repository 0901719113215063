// The viewer page of "velk serve": channel list, waveform pane with zoom and
// pan (each window asked of the server at the pane's pixel width), the event
// list with magnitudes and beach balls, marks of the selected event, and the
// server's notices of new rows.
'use strict';

const state = {
  channels: [],        // from /api/channels
  events: [],          // from /api/events
  chan: null,          // the selected channel record
  t0: 0, t1: 0,        // the window shown
  data: null,          // the last envelope received for the window
  evid: null,          // the selected event (evid, or orid when evid < 0)
  event: null,         // its details
  request: 0,          // number of the latest samples request
  knownEvents: new Set(),
};

const $ = (id) => document.getElementById(id);

function fmtTime(t) {
  if (t === null || t === undefined || !isFinite(t)) return '-';
  return new Date(t * 1000).toISOString().replace('T', ' ').replace('Z', '').slice(0, 22);
}

async function getJSON(url) {
  const r = await fetch(url, { cache: 'no-store' });
  const body = await r.json();
  if (!r.ok) throw new Error(body.error || r.statusText);
  return body;
}

function setStatus(text, live) {
  const s = $('dbstatus');
  s.textContent = text;
  s.classList.toggle('live', !!live);
}

// ------------------------------------------------------------ channels

function filterMatches(text, ch) {
  if (!text) return true;
  const name = ch.sta + '.' + ch.chan;
  try {
    return new RegExp(text, 'i').test(name) || new RegExp(text, 'i').test(ch.sta + ' ' + ch.chan);
  } catch (e) {
    return name.toLowerCase().includes(text.toLowerCase());
  }
}

function renderChannels() {
  const ul = $('channels');
  const text = $('filter').value.trim();
  ul.textContent = '';
  let shown = 0;
  for (const ch of state.channels) {
    if (!filterMatches(text, ch)) continue;
    shown++;
    const li = document.createElement('li');
    li.className = 'channel';
    li.dataset.sta = ch.sta;
    li.dataset.chan = ch.chan;
    if (state.chan && state.chan.sta === ch.sta && state.chan.chan === ch.chan) li.classList.add('selected');
    const name = document.createElement('span');
    name.className = 'name';
    name.textContent = ch.sta + ' ' + ch.chan;
    const span = document.createElement('span');
    span.className = 'span';
    span.textContent = fmtTime(ch.tstart).slice(11, 19) + '-' + fmtTime(ch.tend).slice(11, 19) + ' (' + ch.wfdisc + ')';
    span.title = fmtTime(ch.tstart) + ' to ' + fmtTime(ch.tend) + ', ' + ch.wfdisc + ' wfdisc rows, ' +
      ch.arrival + ' arrivals, ' + ch.detection + ' detections';
    li.append(name, span);
    li.addEventListener('click', () => selectChannel(ch));
    ul.append(li);
  }
  $('chancount').textContent = shown + ' of ' + state.channels.length;
}

async function loadChannels() {
  const body = await getJSON('/api/channels');
  state.channels = body.channels;
  if (state.chan) {
    const same = state.channels.find((c) => c.sta === state.chan.sta && c.chan === state.chan.chan);
    if (same) state.chan = same;
  }
  renderChannels();
}

function selectChannel(ch) {
  const first = !state.chan;
  state.chan = ch;
  $('chanlabel').textContent = ch.sta + ' ' + ch.chan;
  renderChannels();
  // Keep the window when it still lies on the channel's span.
  if (first || !(state.t1 > ch.tstart && state.t0 < ch.tend)) {
    state.t0 = ch.tstart;
    state.t1 = ch.tend > ch.tstart ? ch.tend : ch.tstart + 60;
  }
  fetchWindow();
}

// ------------------------------------------------------------ waveform

const canvas = $('wave');

function paneWidth() {
  return Math.max(1, Math.min(8192, Math.round(canvas.clientWidth * (window.devicePixelRatio || 1))));
}

let fetchTimer = null;
function fetchWindow() {
  clearTimeout(fetchTimer);
  fetchTimer = setTimeout(doFetch, 40);
  draw();
}

async function doFetch() {
  const ch = state.chan;
  if (!ch) return;
  const n = ++state.request;
  const width = paneWidth();
  const q = new URLSearchParams({ sta: ch.sta, chan: ch.chan, t0: state.t0, t1: state.t1, width });
  try {
    const body = await getJSON('/api/samples?' + q);
    if (n !== state.request) return;  // a later window is on its way
    state.data = body;
    draw();
  } catch (e) {
    if (n !== state.request) return;
    state.data = null;
    draw(e.message);
  }
}

function niceStep(span, target) {
  const raw = span / target;
  const p = Math.pow(10, Math.floor(Math.log10(raw)));
  for (const m of [1, 2, 5, 10]) if (m * p >= raw) return m * p;
  return 10 * p;
}

// Time marks of the selected event on the selected channel's station.
function eventMarks() {
  const ev = state.event, ch = state.chan;
  if (!ev || !ch) return [];
  const marks = [];
  const org = ev.origins.find((o) => o.preferred) || ev.origins[0];
  if (!org) return marks;
  for (const a of org.associations)
    if (a.sta === ch.sta && a.time) marks.push({ t: a.time, label: a.phase, kind: 'pick' });
  for (const p of org.predicted) {
    if (p.sta !== ch.sta) continue;
    if (p.P) marks.push({ t: p.P, label: 'P', kind: 'pred' });
    if (p.S) marks.push({ t: p.S, label: 'S', kind: 'pred' });
  }
  for (const d of org.detections)
    if (d.sta === ch.sta && (d.chan === ch.chan || !d.chan)) marks.push({ t: d.time, label: d.phase, kind: 'det' });
  return marks;
}

const markColour = { pick: '#c0392b', pred: '#2463b0', det: '#1e8c4a' };

function draw(message) {
  const dpr = window.devicePixelRatio || 1;
  const w = Math.max(1, Math.round(canvas.clientWidth * dpr)), h = Math.max(1, Math.round(canvas.clientHeight * dpr));
  if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; }
  const g = canvas.getContext('2d');
  g.fillStyle = '#fff';
  g.fillRect(0, 0, w, h);
  const axis = 22 * dpr, top = 8 * dpr, ph = h - axis - top;
  $('window').textContent = state.chan ? fmtTime(state.t0) + ' \u2013 ' + fmtTime(state.t1) : '';
  canvas.dataset.drawn = '0';
  if (!state.chan) return;
  const span = state.t1 - state.t0;
  const xOf = (t) => ((t - state.t0) / span) * w;
  // Time axis.
  g.strokeStyle = '#dde';
  g.fillStyle = '#556';
  g.font = (11 * dpr) + 'px sans-serif';
  const step = niceStep(span, 8);
  for (let t = Math.ceil(state.t0 / step) * step; t <= state.t1; t += step) {
    const x = xOf(t);
    g.beginPath(); g.moveTo(x, top); g.lineTo(x, top + ph); g.stroke();
    const label = step >= 1 ? fmtTime(t).slice(11, 19) : fmtTime(t).slice(14, 22);
    g.fillText(label, x + 2, h - 6 * dpr);
  }
  const d = state.data;
  if (message) {
    g.fillStyle = '#b33';
    g.fillText(message, 10, top + 14 * dpr);
  }
  let drawn = 0;
  if (d && d.sta === state.chan.sta && d.chan === state.chan.chan) {
    let lo = Infinity, hi = -Infinity;
    for (let i = 0; i < d.width; i++) {
      if (d.min[i] === null) continue;
      lo = Math.min(lo, d.min[i]); hi = Math.max(hi, d.max[i]);
    }
    if (lo <= hi) {
      const mid = (lo + hi) / 2, half = Math.max((hi - lo) / 2, 1e-30);
      const yOf = (v) => top + ph / 2 - ((v - mid) / half) * (ph / 2) * 0.95;
      // The envelope came for d.t0..d.t1; place it on the current window.
      const cw = ((d.t1 - d.t0) / span) * w / d.width, x0 = xOf(d.t0);
      g.strokeStyle = '#1d2330';
      g.lineWidth = Math.max(1, dpr);
      g.beginPath();
      let pen = false;
      for (let i = 0; i < d.width; i++) {
        if (d.min[i] === null) { pen = false; continue; }
        const x = x0 + (i + 0.5) * cw;
        const ya = yOf(d.max[i]), yb = yOf(d.min[i]);
        if (!pen) g.moveTo(x, ya); else g.lineTo(x, ya);
        g.lineTo(x, Math.max(yb, ya + 0.5));
        pen = true;
        drawn++;
      }
      g.stroke();
      // Gaps: shaded columns with no data inside the channel's span.
      g.fillStyle = 'rgba(220,120,40,0.10)';
      for (let i = 0; i < d.width; i++) {
        const t = d.t0 + (i + 0.5) * (d.t1 - d.t0) / d.width;
        if (d.min[i] === null && t >= state.chan.tstart && t <= state.chan.tend)
          g.fillRect(x0 + i * cw, top, Math.ceil(cw), ph);
      }
    } else if (!message) {
      g.fillStyle = '#889';
      g.fillText('no samples in this window', 10, top + 14 * dpr);
    }
  }
  // The selected event's marks.
  for (const m of eventMarks()) {
    const x = xOf(m.t);
    if (x < 0 || x > w) continue;
    g.strokeStyle = markColour[m.kind];
    g.fillStyle = markColour[m.kind];
    g.lineWidth = Math.max(1, 1.5 * dpr);
    g.setLineDash(m.kind === 'pred' ? [6 * dpr, 4 * dpr] : m.kind === 'det' ? [2 * dpr, 3 * dpr] : []);
    g.beginPath(); g.moveTo(x, top); g.lineTo(x, top + ph); g.stroke();
    g.setLineDash([]);
    g.fillText(m.label, x + 3, top + (m.kind === 'pick' ? 12 : m.kind === 'pred' ? 26 : 40) * dpr);
  }
  canvas.dataset.drawn = String(drawn);
  canvas.dataset.marks = String(eventMarks().length);
}

// Mouse: the wheel zooms about the pointer, dragging pans.
canvas.addEventListener('wheel', (e) => {
  if (!state.chan) return;
  e.preventDefault();
  const f = Math.exp(e.deltaY * 0.0015);
  const r = canvas.getBoundingClientRect();
  const at = state.t0 + ((e.clientX - r.left) / r.width) * (state.t1 - state.t0);
  let span = (state.t1 - state.t0) * f;
  span = Math.min(Math.max(span, 0.05), 31 * 86400);
  const frac = (at - state.t0) / (state.t1 - state.t0);
  state.t0 = at - frac * span;
  state.t1 = state.t0 + span;
  fetchWindow();
}, { passive: false });

let drag = null;
canvas.addEventListener('mousedown', (e) => {
  if (!state.chan) return;
  drag = { x: e.clientX, t0: state.t0, t1: state.t1 };
  canvas.classList.add('dragging');
});
window.addEventListener('mousemove', (e) => {
  if (!drag) return;
  const r = canvas.getBoundingClientRect();
  const dt = ((e.clientX - drag.x) / r.width) * (drag.t1 - drag.t0);
  state.t0 = drag.t0 - dt;
  state.t1 = drag.t1 - dt;
  fetchWindow();
});
window.addEventListener('mouseup', () => { drag = null; canvas.classList.remove('dragging'); });
canvas.addEventListener('dblclick', () => {
  if (!state.chan) return;
  state.t0 = state.chan.tstart;
  state.t1 = state.chan.tend > state.chan.tstart ? state.chan.tend : state.chan.tstart + 60;
  fetchWindow();
});
window.addEventListener('resize', () => fetchWindow());

// ------------------------------------------------------------ events

function magText(mags) {
  if (!mags || !mags.length) return '-';
  const m = mags[0];
  return m.magtype + ' ' + m.magnitude.toFixed(1);
}

function eventKey(ev) { return ev.evid >= 0 ? 'e' + ev.evid : 'o' + ev.prefor; }

function renderEvents() {
  const ul = $('events');
  ul.textContent = '';
  const list = state.events.slice().sort((a, b) => b.time - a.time);
  for (const ev of list) {
    const li = document.createElement('li');
    li.className = 'event';
    li.dataset.evid = ev.evid;
    li.dataset.orid = ev.prefor;
    const key = eventKey(ev);
    if (state.knownEvents.size && !state.knownEvents.has(key)) li.classList.add('new');
    if (state.evid === key) li.classList.add('selected');
    if (ev.mtid !== null) {
      const img = document.createElement('img');
      img.src = '/api/beachball?size=64&mtid=' + ev.mtid;
      img.alt = 'mechanism';
      li.append(img);
    }
    const mag = document.createElement('span');
    mag.className = 'mag';
    mag.textContent = magText(ev.magnitudes);
    mag.title = ev.magnitudes.map((m) => m.magtype + ' ' + m.magnitude.toFixed(2)).join(', ');
    const when = document.createElement('span');
    when.className = 'when';
    when.textContent = fmtTime(ev.time).slice(0, 19);
    const where = document.createElement('span');
    where.className = 'where';
    where.textContent = ev.lat.toFixed(2) + ', ' + ev.lon.toFixed(2) + ', ' + ev.depth.toFixed(0) + ' km' +
      (ev.norigins > 1 ? ' (' + ev.norigins + ' origins)' : '');
    li.append(mag, when, where);
    li.addEventListener('click', () => selectEvent(ev));
    ul.append(li);
  }
  state.knownEvents = new Set(state.events.map(eventKey));
  $('evcount').textContent = String(state.events.length);
}

async function loadEvents() {
  const body = await getJSON('/api/events');
  state.events = body.events;
  renderEvents();
  if (state.evid) await loadEvent(false);
}

async function loadEvent(moveWindow) {
  const key = state.evid;
  const url = key[0] === 'e' ? '/api/event?evid=' + key.slice(1) : '/api/event?orid=' + key.slice(1);
  try {
    const ev = await getJSON(url);
    if (state.evid !== key) return;
    state.event = ev;
  } catch (e) {
    state.event = null;
  }
  renderEventDetail();
  if (moveWindow && state.event && state.chan) {
    const org = state.event.origins.find((o) => o.preferred) || state.event.origins[0];
    const p = org.predicted.find((x) => x.sta === state.chan.sta);
    if (p && p.P) {
      state.t0 = p.P - 60;
      state.t1 = (p.S || p.P + 60) + 120;
    }
  }
  fetchWindow();
}

function selectEvent(ev) {
  state.evid = eventKey(ev);
  renderEvents();
  loadEvent(true);
}

function cell(row, text, th) {
  const c = document.createElement(th ? 'th' : 'td');
  c.textContent = text;
  row.append(c);
}

function renderEventDetail() {
  const box = $('evdetail');
  box.textContent = '';
  const ev = state.event;
  if (!ev) return;
  const org = ev.origins.find((o) => o.preferred) || ev.origins[0];
  if (!org) return;
  if (org.mtid !== null) {
    const img = document.createElement('img');
    img.className = 'ball';
    img.src = '/api/beachball?size=120&mtid=' + org.mtid;
    img.alt = 'beach ball';
    box.append(img);
  }
  const h = document.createElement('div');
  h.textContent = 'event ' + ev.evid + ', origin ' + org.orid + ' (' + org.auth + '): ' + fmtTime(org.time) + '  ' +
    org.lat.toFixed(3) + ', ' + org.lon.toFixed(3) + ', ' + org.depth.toFixed(1) + ' km  ' +
    org.magnitudes.map((m) => m.magtype + ' ' + m.magnitude.toFixed(1)).join(', ');
  box.append(h);
  const t = document.createElement('table');
  const hr = document.createElement('tr');
  for (const name of ['sta', 'distance', 'P', 'S', 'picks']) cell(hr, name, true);
  t.append(hr);
  for (const p of org.predicted) {
    const r = document.createElement('tr');
    cell(r, p.sta);
    cell(r, p.distance.toFixed(2) + '\u00b0');
    cell(r, p.P ? (p.P - org.time).toFixed(2) : '-');
    cell(r, p.S ? (p.S - org.time).toFixed(2) : '-');
    cell(r, org.associations.filter((a) => a.sta === p.sta)
      .map((a) => a.phase + ' ' + (a.time ? (a.time - org.time).toFixed(2) : '-')).join(', '));
    t.append(r);
  }
  box.append(t);
}

// ------------------------------------------------------------ notices

function listen() {
  const es = new EventSource('/api/stream');
  es.onopen = () => setStatus('live', true);
  es.onerror = () => setStatus('reconnecting\u2026', false);
  es.onmessage = (m) => {
    let n;
    try { n = JSON.parse(m.data); } catch (e) { return; }
    if (n.kind === 'channels') loadChannels().then(() => state.chan && fetchWindow()).catch(() => {});
    else loadEvents().catch(() => {});
  };
}

$('filter').addEventListener('input', renderChannels);

(async function start() {
  listen();
  try {
    await Promise.all([loadChannels(), loadEvents()]);
  } catch (e) {
    setStatus('error: ' + e.message, false);
  }
  draw();
})();
