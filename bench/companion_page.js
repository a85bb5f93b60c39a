'use strict';
// How the page copes with a large library, in headless Chromium: for a
// catalogue of 50,000 faces (a large system's shape, 32 faces a family, and a
// library of single fonts, a family a face) whose files are real fonts, the
// time from the catalogue line to the page showing it with its samples' faces
// loaded; then, per keystroke in the search box and in the sample text, the
// time from the key event to the end of the next frame drawn after it
// (performance.now() in a task queued from requestAnimationFrame, so style,
// layout and paint of the change are in it). Keys are sent as real key events
// over the DevTools protocol.
//
//   node bench/companion_page.js [faces]   (default 50000)

const fs = require('fs');
const path = require('path');
const h = require('../companion/harness.js');
const {findChromium, openPage} = require('../companion/chromium.js');
const {catalogue} = require('./companion_catalogue.js');

// Installed in the page: each key event's time to the end of the next frame.
const kRecorder = `async () => {
  window.kavriKeyTimes = [];
  window.addEventListener('keydown', (e) => {
    const start = e.timeStamp;
    requestAnimationFrame(() => setTimeout(() => {
      window.kavriKeyTimes.push(performance.now() - start);
    }, 0));
  }, true);
}`;

async function press(page, key) {
  const text = key.length === 1 ? key : '';
  const code = key.length === 1 ? key.toUpperCase().charCodeAt(0) : 8;
  await page.send('Input.dispatchKeyEvent', {type: text ? 'keyDown' : 'rawKeyDown', key, text,
    windowsVirtualKeyCode: code});
  await page.send('Input.dispatchKeyEvent', {type: 'keyUp', key, windowsVirtualKeyCode: code});
}

// Types `keys` into the box `id`, one at a time, each after the last one's
// frame; resolves the times in ms.
async function typeInto(page, id, keys) {
  await page.evaluate(`async () => {
    document.getElementById('${id}').focus();
    window.kavriKeyTimes.length = 0;
  }`);
  for (let i = 0; i < keys.length; i++) {
    await press(page, keys[i]);
    await page.evaluate(`async () => new Promise((resolve) => {
      const poll = () => (window.kavriKeyTimes.length > ${i} ? resolve() : setTimeout(poll, 5));
      poll();
    })`);
  }
  return page.evaluate('async () => window.kavriKeyTimes');
}

function describe(times) {
  const sorted = [...times].sort((a, b) => a - b);
  const median = sorted[Math.floor(sorted.length / 2)];
  return `${median.toFixed(1)} / ${sorted[sorted.length - 1].toFixed(1)}`;
}

// A library of real fonts to load: `count` hard links (copies where links
// cannot be made) to this machine's TrueType fonts, in turn.
function fontLibrary(dir, count) {
  const fonts = [];
  const walk = (d) => {
    for (const e of fs.readdirSync(d, {withFileTypes: true})) {
      if (e.isDirectory()) walk(path.join(d, e.name));
      else if (e.name.endsWith('.ttf')) fonts.push(path.join(d, e.name));
    }
  };
  walk('/usr/share/fonts/truetype');
  fonts.sort();
  const library = path.join(dir, 'library');
  fs.mkdirSync(library);
  const files = [];
  for (let i = 0; i < count; i++) {
    const file = path.join(library, `face-${i}.ttf`);
    try {
      fs.linkSync(fonts[i % fonts.length], file);
    } catch (e) {
      fs.copyFileSync(fonts[i % fonts.length], file);
    }
    files.push(file);
  }
  return files;
}

async function measure(faces, perFamily) {
  const dir = h.tempDir('kavri-page-bench-');
  const library = fontLibrary(dir, Math.ceil(faces / 4));
  const creds = h.makeCredentials(dir);
  const server = h.spawnCompanion();
  server.send(`${creds.container};${creds.passphrase}\n{}\n`);
  const page = await openPage(`http://127.0.0.1:${await server.port()}/`, dir);
  try {
    await page.evaluate(kRecorder);
    const line = catalogue(faces, perFamily, (family, file) => library[file]);
    const start = process.hrtime.bigint();
    server.send(line);
    const families = await page.evaluate(`async (waitFor) => {
      await waitFor(() => document.body.dataset.generation === '2');
      await document.fonts.ready;
      return document.getElementById('status').textContent;
    }`);
    const shownMs = Number(process.hrtime.bigint() - start) / 1e6;
    // Names are "Famille N": the first keys match every family, the last few.
    const query = 'famille 12';
    const keys = [...query, ...Array(query.length).fill('Backspace')];
    const search = await typeInto(page, 'search', keys);
    const sample = await typeInto(page, 'sample-text', [...'Hamburgefonstiv']);
    if (process.env.KAVRI_BENCH_VERBOSE) {
      console.log([search, sample].map((t) => t.map((ms) => ms.toFixed(0)).join(' ')).join(' | '));
    }
    console.log(`${families.padEnd(30)}  ${shownMs.toFixed(0).padStart(8)}` +
        `  ${describe(search).padStart(18)}  ${describe(sample).padStart(18)}`);
  } finally {
    await page.close();
    await server.stop();
    fs.rmSync(dir, {recursive: true, force: true});
  }
}

async function main() {
  if (!findChromium()) throw new Error('chromium is not installed (apt-get install chromium)');
  const faces = Number(process.argv[2] || 50000);
  console.log('catalogue                       shown(ms)  search key median/max' +
      '  sample key median/max (ms)');
  await measure(faces, 32);
  await measure(faces, 1);
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
