'use strict';
// How the page copes with a large library, in headless Chromium: for a
// catalogue of 50,000 faces (a large system's shape, 32 faces a family, and a
// library of single fonts, a family a face) whose files are real fonts, plus
// one family of 72 styles, the page's times against its targets:
//
//   drawn     from the catalogue event reaching the page to the end of the
//             first frame that shows its families (target 300 ms), and to
//             the frame that draws the last of the first screen's samples
//             in its own face
//   search    per keystroke in the search box, from the key event to the end
//             of the next frame (95th percentile, target 50 ms)
//   filter    per change of a filter, from the change to the end of the
//             next frame, once the files' facts are read (95th percentile,
//             target 50 ms)
//   open      from Enter on the family of 72 styles, shown in the list, to
//             the end of the frame that draws its first face (the list's)
//             and its second (a face not loaded before) in their own faces
//             (target 100 ms)
//   sample    per keystroke in the sample text (median and 95th percentile)
//
// "End of the next frame" is performance.now() in a task queued from
// requestAnimationFrame, so style, layout and paint of the change are in it.
// Keys are sent as real key events over the DevTools protocol.
//
//   node bench/companion_page.js [faces]   (default 50000)

const fs = require('fs');
const path = require('path');
const h = require('../companion/tests/harness.js');
const {findChromium, openPage} = require('../companion/tests/browsers.js');
const {catalogueObject} = require('./companion_catalogue.js');

// Installed in the page: each key event's time to the end of the next frame,
// and a promise of the end of the frame after the next change to the list.
const kRecorder = `async () => {
  window.kavriKeyTimes = [];
  window.kavriFrame = () => new Promise((resolve) =>
    requestAnimationFrame(() => setTimeout(() => resolve(performance.now()), 0)));
  window.addEventListener('keydown', (e) => {
    const start = e.timeStamp;
    kavriFrame().then((end) => window.kavriKeyTimes.push(end - start));
  }, true);
  window.kavriListDrawn = new Promise((resolve) => {
    const observer = new MutationObserver(() => {
      if (!document.getElementById('families').firstChild) return;
      observer.disconnect();
      kavriFrame().then(resolve);
    });
    observer.observe(document.getElementById('families'), {childList: true});
  });
}`;

const kKeyCodes = {Backspace: 8, Enter: 13};

async function press(page, key) {
  const text = key.length === 1 ? key : '';
  const code = kKeyCodes[key] || key.toUpperCase().charCodeAt(0);
  await page.send('Input.dispatchKeyEvent', {type: text ? 'keyDown' : 'rawKeyDown', key, text,
    windowsVirtualKeyCode: code});
  await page.send('Input.dispatchKeyEvent', {type: 'keyUp', key, windowsVirtualKeyCode: code});
}

// Types `keys` into the element `selector`, one at a time, each after the
// last one's frame; resolves the times in ms.
async function typeInto(page, selector, keys) {
  await page.evaluate(`async () => {
    document.querySelector('${selector}').focus();
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

function percentile(times, p) {
  const sorted = [...times].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.ceil(p * sorted.length) - 1)];
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

// Filter settings applied one after another: [control id, value].
const kFilterSteps = [['slant', 'italic'], ['slant', 'upright'], ['slant', ''],
  ['weight-min', '300'], ['weight-min', '600'], ['weight-max', '800'], ['weight-min', '100'],
  ['weight-max', '900'], ['width-min', '3'], ['width-max', '7'], ['width-min', '1'],
  ['width-max', '9'], ['mono', true], ['mono', false], ['variable', true], ['variable', false],
  ['language', 'cyrillic'], ['language', 'arabic'], ['language', 'ja'], ['language', ''],
  ['slant', 'italic'], ['language', 'greek'], ['mono', true], ['mono', false],
  ['language', ''], ['slant', '']];

async function measure(faces, perFamily) {
  const dir = h.tempDir('kavri-page-bench-');
  const library = fontLibrary(dir, Math.ceil(faces / 4) + 72);
  const creds = h.makeCredentials(dir);
  const server = h.spawnCompanion();
  server.send(`${creds.container};${creds.passphrase}\n{}\n`);
  const page = await openPage(`http://127.0.0.1:${await server.port()}/`, dir);
  try {
    await page.send('Emulation.setDeviceMetricsOverride', {width: 1280, height: 900,
      deviceScaleFactor: 1, mobile: false});
    await page.evaluate(kRecorder);
    const c = catalogueObject(faces, perFamily, (family, file) => library[file]);
    for (let i = 0; i < 72; i++) {
      c[library[library.length - 1 - i]] = [h.face('Grande', `Style ${i}`, {
        weight: 100 * (1 + (i % 9)), stretch: 1 + (Math.floor(i / 9) % 9), italic: i % 2 === 1,
        localizedFamily: 'Famille Grande'})];
    }
    server.send(JSON.stringify(c) + '\n');
    const drawn = await page.evaluate(`async (waitFor) => {
      await waitFor(() => document.body.dataset.generation === '2');
      const event = performance.getEntriesByName('catalogue received').pop().startTime;
      const list = await window.kavriListDrawn;
      // The samples on screen, each drawn once its face has come.
      await waitFor(() => [...document.querySelectorAll('li.family > .sample')].every((s) =>
        s.dataset.shown || s.getBoundingClientRect().top >= innerHeight));
      const faces = await kavriFrame();
      return {list: list - event, faces: faces - event,
        status: document.getElementById('status').textContent};
    }`);
    // Names are "Famille N": the first keys match every family, the last few.
    const query = 'famille 12';
    const search = await typeInto(page, '#search',
        [...query, ...Array(query.length).fill('Backspace')]);
    const sample = await typeInto(page, '#sample-text', [...'Hamburgefonstiv']);

    // The family of 72 styles, opened from the keyboard once the list shows
    // it in its face: its first face is then drawn at once, the others as
    // they come.
    await page.evaluate(`async (waitFor) => {
      const search = document.getElementById('search');
      search.value = 'grande';
      search.dispatchEvent(new Event('input'));
      await waitFor(() => document.querySelectorAll('li.family').length === 1 &&
          document.querySelector('li.family > .sample').dataset.shown);
      window.kavriOpenKey = new Promise((resolve) => window.addEventListener('keydown',
          (e) => resolve(e.timeStamp), {once: true}));
    }`);
    await typeInto(page, 'li.family', []);
    const opening = page.evaluate(`async (waitFor) => {
      const start = await window.kavriOpenKey;
      const drawn = (row) => waitFor(() => {
        const sample = document.querySelectorAll('.faces .sample')[row];
        return sample && sample.dataset.shown;
      }).then(kavriFrame).then((end) => end - start);
      const [first, next] = await Promise.all([drawn(0), drawn(1)]);
      return {first, next, rows: document.querySelectorAll('.faces .face').length};
    }`);
    await press(page, 'Enter');
    const opened = await opening;

    // Filters, once the server has read every file's facts.
    const filter = await page.evaluate(`async (waitFor) => {
      const search = document.getElementById('search');
      search.value = '';
      search.dispatchEvent(new Event('input'));
      document.getElementById('mono').checked = true;
      document.getElementById('mono').dispatchEvent(new Event('change'));
      const readFor = performance.now();
      await new Promise((resolve) => {
        const poll = () => (document.getElementById('status').textContent.includes('reading')
          ? setTimeout(poll, 20) : resolve());
        poll();
      });
      const factsMs = performance.now() - readFor;
      const times = [];
      for (const [id, value] of ${JSON.stringify(kFilterSteps)}) {
        const control = document.getElementById(id);
        const start = performance.now();
        if (control.type === 'checkbox') control.checked = value; else control.value = value;
        control.dispatchEvent(new Event('change'));
        times.push((await kavriFrame()) - start);
      }
      return {times, factsMs};
    }`);
    if (process.env.KAVRI_BENCH_VERBOSE) {
      console.log([search, sample, filter.times].map((t) => t.map((ms) => ms.toFixed(0))
          .join(' ')).join(' | '));
    }
    const ms = (n) => n.toFixed(0).padStart(6);
    console.log(`${drawn.status.padEnd(30)}  ${ms(drawn.list)}  ${ms(drawn.faces)}` +
        `  ${ms(percentile(search, 0.95))}  ${ms(percentile(filter.times, 0.95))}` +
        `  ${ms(opened.first)} /${ms(opened.next)} (${opened.rows})` +
        `  ${ms(percentile(sample, 0.5))} /${ms(percentile(sample, 0.95))}` +
        `  ${ms(filter.factsMs)}`);
  } finally {
    await page.close();
    await server.stop();
    fs.rmSync(dir, {recursive: true, force: true});
  }
}

async function main() {
  if (!findChromium()) throw new Error('chromium is not installed (apt-get install chromium)');
  const faces = Number(process.argv[2] || 50000);
  console.log('catalogue                       drawn: list   faces' +
      '  search p95  filter p95  open 72: 1st / 2nd  sample p50/p95  facts read after (ms)');
  await measure(faces, 32);
  await measure(faces, 1);
  console.log('targets                                  300             50          50' +
      '      100 /   100');
}

if (require.main === module) {
  main().catch((e) => {
    console.error(e);
    process.exit(1);
  });
} else {
  module.exports = {fontLibrary, percentile};
}
