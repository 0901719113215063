// Drives headless Chromium through its DevTools protocol against a running
// "velk serve": loads the page, clicks a channel, checks that the waveform
// is drawn, clicks the event and checks its marks, zooms with the wheel,
// prints DRAWN and waits for a new event to reach the list (the test
// appends it), then saves a screenshot.  Prints OK and exits 0 on success,
// FAIL and exits 1 otherwise.
//
// node serve_browser.mjs CHROMIUM URL SCREENSHOT PROFILE_DIR
//
// The protocol's WebSocket is spoken by the few lines below (client frames
// masked, text messages, any length), so any node version will do.
import { spawn } from 'node:child_process';
import { writeFileSync, mkdirSync } from 'node:fs';
import http from 'node:http';
import crypto from 'node:crypto';

// A WebSocket client: connect(url, onText) resolves to a send(text) function.
function connect(wsUrl, onText) {
  return new Promise((resolve, reject) => {
    const u = new URL(wsUrl);
    const req = http.request({ host: u.hostname, port: u.port, path: u.pathname, headers: {
      Connection: 'Upgrade', Upgrade: 'websocket', 'Sec-WebSocket-Version': '13',
      'Sec-WebSocket-Key': crypto.randomBytes(16).toString('base64') } });
    req.on('error', reject);
    req.on('upgrade', (res, socket, head) => {
      let buf = head, parts = [];
      socket.on('data', (d) => {
        buf = Buffer.concat([buf, d]);
        for (;;) {
          if (buf.length < 2) return;
          const fin = buf[0] & 0x80, op = buf[0] & 0x0f;
          let len = buf[1] & 0x7f, at = 2;
          if (len === 126) { if (buf.length < 4) return; len = buf.readUInt16BE(2); at = 4; }
          else if (len === 127) { if (buf.length < 10) return; len = Number(buf.readBigUInt64BE(2)); at = 10; }
          if (buf.length < at + len) return;
          const payload = buf.subarray(at, at + len);
          buf = buf.subarray(at + len);
          if (op === 1 || op === 0) {
            parts.push(payload);
            if (fin) { onText(Buffer.concat(parts).toString('utf8')); parts = []; }
          }
        }
      });
      resolve((text) => {
        const data = Buffer.from(text, 'utf8'), mask = crypto.randomBytes(4);
        let header;
        if (data.length < 126) header = Buffer.from([0x81, 0x80 | data.length]);
        else if (data.length < 65536) { header = Buffer.alloc(4); header[0] = 0x81; header[1] = 0x80 | 126; header.writeUInt16BE(data.length, 2); }
        else { header = Buffer.alloc(10); header[0] = 0x81; header[1] = 0x80 | 127; header.writeBigUInt64BE(BigInt(data.length), 2); }
        const masked = Buffer.alloc(data.length);
        for (let i = 0; i < data.length; i++) masked[i] = data[i] ^ mask[i & 3];
        socket.write(Buffer.concat([header, mask, masked]));
      });
    });
    req.end();
  });
}

const [chromiumPath, url, shotPath, profile] = process.argv.slice(2);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
let browser = null;

function fail(msg) {
  console.log('FAIL ' + msg);
  if (browser) browser.kill('SIGKILL');
  process.exit(1);
}
setTimeout(() => fail('timed out'), 55000);

mkdirSync(profile, { recursive: true });
browser = spawn(chromiumPath, [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--disable-dev-shm-usage', '--user-data-dir=' + profile, '--remote-debugging-port=0',
  '--window-size=1280,800', 'about:blank',
], { stdio: ['ignore', 'ignore', 'pipe'] });
browser.on('exit', (code) => { if (!done) fail('chromium ended early with ' + code); });
let done = false;

const wsUrl = await new Promise((resolve) => {
  let text = '';
  browser.stderr.on('data', (d) => {
    text += d;
    const m = text.match(/DevTools listening on (ws:\/\/\S+)/);
    if (m) resolve(m[1]);
  });
});

let nextId = 1;
const pending = new Map();
const wsSend = await connect(wsUrl, (text) => {
  const msg = JSON.parse(text);
  if (msg.id && pending.has(msg.id)) {
    const { resolve, reject } = pending.get(msg.id);
    pending.delete(msg.id);
    if (msg.error) reject(new Error(JSON.stringify(msg.error))); else resolve(msg.result);
  }
});
function send(method, params = {}, sessionId) {
  const id = nextId++;
  wsSend(JSON.stringify({ id, method, params, sessionId }));
  return new Promise((resolve, reject) => pending.set(id, { resolve, reject }));
}

const { targetId } = await send('Target.createTarget', { url: 'about:blank' });
const { sessionId } = await send('Target.attachToTarget', { targetId, flatten: true });
const page = (method, params) => send(method, params, sessionId);
await page('Page.enable');
await page('Runtime.enable');
await page('Emulation.setDeviceMetricsOverride', { width: 1280, height: 800, deviceScaleFactor: 1, mobile: false });

async function evaluate(expr) {
  const r = await page('Runtime.evaluate', { expression: expr, returnByValue: true, awaitPromise: true });
  if (r.exceptionDetails) throw new Error(expr + ': ' + JSON.stringify(r.exceptionDetails));
  return r.result.value;
}
async function waitFor(expr, what, ms = 20000) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    try { if (await evaluate(expr)) return; } catch (e) { /* page still loading */ }
    await sleep(100);
  }
  fail('waiting for ' + what);
}
async function click(selector) {
  const box = await evaluate(`(() => { const r = document.querySelector(${JSON.stringify(selector)}).getBoundingClientRect();
    return { x: r.left + r.width / 2, y: r.top + r.height / 2 }; })()`);
  for (const type of ['mousePressed', 'mouseReleased'])
    await page('Input.dispatchMouseEvent', { type, x: box.x, y: box.y, button: 'left', clickCount: 1 });
}

try {
  await page('Page.navigate', { url });
  await waitFor("document.querySelectorAll('li.channel').length >= 18", 'the channel list');
  await waitFor("document.querySelectorAll('li.event').length >= 1", 'the event list');
  // The filter narrows the list.
  await evaluate(`(() => { const f = document.getElementById('filter'); f.value = 'KV03';
    f.dispatchEvent(new Event('input')); })()`);
  await waitFor("[...document.querySelectorAll('li.channel')].every(li => li.dataset.sta === 'KV03')", 'the filter');
  await click("li.channel[data-chan='BHZ']");
  await waitFor("Number(document.getElementById('wave').dataset.drawn) > 500", 'the waveform');
  // Ink on the canvas: dark pixels of the trace.
  const ink = await evaluate(`(() => { const c = document.getElementById('wave');
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data; let n = 0;
    for (let i = 0; i < d.length; i += 4) if (d[i] < 80 && d[i + 1] < 80 && d[i + 2] < 80) n++; return n; })()`);
  if (ink < 1000) fail('the waveform has only ' + ink + ' dark pixels');
  // The event: its picks and predictions on this station, window moved to them.
  await click("li.event[data-evid='1']");
  await waitFor("Number(document.getElementById('wave').dataset.marks) >= 2", 'the event marks');
  await waitFor("document.querySelectorAll('#evdetail tr').length > 1", 'the event details');
  // Zoom in with the wheel: a narrower window, fetched again.
  const before = await evaluate('state.t1 - state.t0');
  const box = await evaluate(`(() => { const r = document.getElementById('wave').getBoundingClientRect();
    return { x: r.left + r.width / 2, y: r.top + r.height / 2 }; })()`);
  await page('Input.dispatchMouseEvent', { type: 'mouseWheel', x: box.x, y: box.y, deltaX: 0, deltaY: -400 });
  await waitFor(`state.t1 - state.t0 < ${before} * 0.9 && state.data && Math.abs(state.data.t0 - state.t0) < 1e-6`,
    'the zoomed window');
  await waitFor("Number(document.getElementById('wave').dataset.drawn) > 500", 'the zoomed waveform');
  const events = await evaluate("document.querySelectorAll('li.event').length");
  console.log('DRAWN ' + events);
  await waitFor(`document.querySelectorAll('li.event').length > ${events}`, 'the appended event', 30000);
  await waitFor("document.querySelector('li.event[data-evid=\"21\"]') !== null", 'event 21');
  await sleep(300);
  const shot = await page('Page.captureScreenshot', { format: 'png' });
  writeFileSync(shotPath, Buffer.from(shot.data, 'base64'));
  done = true;
  console.log('OK ' + shotPath);
  browser.kill('SIGTERM');
  process.exit(0);
} catch (e) {
  fail(e.message);
}
