'use strict';
// How the face view copes, in headless Chromium, on a catalogue of 50,000
// faces that also holds WenQuanYi Zen Hei (42,285 characters in a 17 MB
// collection), Inter's variable font and DejaVu Sans, against its targets:
//
//   open      from the click on a face's row to the end of the frame that
//             draws the first row of its glyphs, the server reading the
//             font's tables for the first time (target 150 ms): once the
//             list has drawn the face's sample (its font loaded, as when a
//             reader picks a face they see), and for the CJK face also
//             before, when the browser must first load its 17 MB: the
//             first rows then come in a stand-in font, and the time to the
//             frame that draws them in the face itself is given beside
//   scroll    per step of the CJK face's glyph grid: the frame that draws
//             the newly scrolled-in rows, from its start to the end of its
//             rendering (95th percentile, target 20 ms); steps of a third of
//             a screen, then jumps across the grid
//             and the main thread's CPU time in each frame task of the
//             scrolling (from Chromium's trace), which a loaded machine
//             does not stretch
//   axis      per move of the variable face's weight slider: the frame that
//             takes it, from the change to the end of its rendering (95th
//             percentile, target 16 ms)
//   idle      a frame with no change, measured the same way: the floor
//   server    the server's reading of a 20 MB font's view tables, first
//             and median of 20 (target 30 ms), beside reading the whole
//             file, which the view never does: the largest installed font,
//             or, where none is that big, a copy of its first face made
//             20 MB by a table of filler (in a scratch directory, so the
//             machine's fonts stay as they are)
//
// A frame's end is performance.now() in a task queued from its
// requestAnimationFrame callback, so its style, layout and paint are in it;
// rasterising happens off the main thread and is not.
//
//   node bench/companion_specimen.js [faces]   (default 50000)

const fs = require('fs');
const path = require('path');
const h = require('../companion/tests/harness.js');
const {findChromium, openPage} = require('../companion/tests/browsers.js');
const {readAt} = require('../companion/server/font_file.js');
const {readSpecimen} = require('../companion/server/specimen.js');
const {catalogueObject} = require('./companion_catalogue.js');

const kFonts = {
  wqy: '/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc',
  interVariable: '/usr/share/fonts/truetype/inter-vf/Inter.var.ttf',
  dejavu: '/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf',
};

// kavriFrame(): the end of the next frame. kavriTimed(change): the length of
// the frame that makes `change`. kavriScrolled(): the length of the frame
// that answers the next scroll, its callbacks run before the page's own.
const kFrame = `window.kavriFrame = () => new Promise((resolve) =>
  requestAnimationFrame(() => setTimeout(() => resolve(performance.now()), 0)));
window.kavriTimed = (change) => new Promise((resolve) => requestAnimationFrame(() => {
  const start = performance.now();
  change();
  setTimeout(() => resolve(performance.now() - start), 0);
}));
window.kavriScrolled = () => new Promise((resolve) => document.addEventListener('scroll',
  () => requestAnimationFrame(() => {
    const start = performance.now();
    setTimeout(() => resolve(performance.now() - start), 0);
  }), {capture: true, once: true}));`;

// The main thread's own CPU time in each task that ran a frame (its
// callbacks, style, layout and paint) from a Chromium trace: unlike the
// frames' lengths, it does not grow when other work on the machine takes
// the thread's core.
function frameCpu(trace) {
  const events = trace.traceEvents || trace;
  const main = new Set(events.filter((e) => e.ph === 'M' && e.name === 'thread_name' &&
      e.args.name === 'CrRendererMain').map((e) => `${e.pid}:${e.tid}`));
  const mine = events.filter((e) => e.ph === 'X' && main.has(`${e.pid}:${e.tid}`))
      .sort((a, b) => a.ts - b.ts);
  const framed = new Set(['FireAnimationFrame', 'UpdateLayoutTree', 'Layout', 'PrePaint', 'Paint']);
  const times = [];
  let task = null;
  let counted = false;
  for (const e of mine) {
    if (e.name === 'RunTask' && e.tdur !== undefined) {
      task = e;
      counted = false;
    } else if (task && !counted && framed.has(e.name) && e.ts <= task.ts + task.dur) {
      times.push(task.tdur / 1000);
      counted = true;
    }
  }
  return times;
}

function percentile(times, p) {
  const sorted = [...times].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.ceil(p * sorted.length) - 1)];
}

// The largest font file installed, for the server's reading.
function largestFont() {
  let best = null;
  const walk = (d) => {
    for (const e of fs.readdirSync(d, {withFileTypes: true})) {
      const file = path.join(d, e.name);
      if (e.isDirectory()) walk(file);
      else if (/\.(ttf|otf|ttc|otc)$/i.test(e.name)) {
        const size = fs.statSync(file).size;
        if (!best || size > best.size) best = {file, size};
      }
    }
  };
  walk('/usr/share/fonts');
  return best;
}

const kBigFont = 20 * 1024 * 1024;

// A font of at least kBigFont bytes: `big` itself, or its first face with a
// filler table (sorted first, so the view tables lie beyond it) in `dir`.
function bigFont(big, dir) {
  if (big.size >= kBigFont) return big;
  const font = fs.readFileSync(big.file);
  const collection = font.toString('latin1', 0, 4) === 'ttcf';
  const tables = h.fontTables(font, collection ? font.readUInt32BE(12) : 0);
  const size = [...tables.values()].reduce((n, t) => n + t.data.length, 0);
  tables.set('APAD', {checksum: 0, data: Buffer.alloc(kBigFont - size)});
  const sorted = new Map([...tables].sort(([a], [b]) => (a < b ? -1 : 1)));
  const file = path.join(dir, `${path.basename(big.file).replace(/\.\w+$/, '')}-padded.ttf`);
  fs.writeFileSync(file, h.layOutFonts([sorted], false));
  return {file, size: fs.statSync(file).size};
}

async function serverReads(file) {
  const times = [];
  for (let i = 0; i < 21; i++) {
    const handle = await fs.promises.open(file);
    const size = (await handle.stat()).size;
    const start = process.hrtime.bigint();
    await readSpecimen((o, n) => readAt(handle, o, n), size, null);
    times.push(Number(process.hrtime.bigint() - start) / 1e6);
    await handle.close();
  }
  const start = process.hrtime.bigint();
  await fs.promises.readFile(file);
  const whole = Number(process.hrtime.bigint() - start) / 1e6;
  return {first: times[0], median: percentile(times.slice(1), 0.5), whole};
}

// Opens `family` from the search box and then the row of `file`: ms from the
// click to the frame that draws the first row of glyphs (in a stand-in font
// while the face loads) and to the frame that draws them in the face; with
// `seen`, once the list has drawn the face's sample.
async function openFace(page, family, file, seen) {
  return page.evaluate(`async (waitFor) => {
    ${kFrame}
    const back = document.querySelector('.specimen .back');
    if (back) back.click();
    const search = document.getElementById('search');
    search.value = ${JSON.stringify(family)};
    search.dispatchEvent(new Event('input'));
    const item = await waitFor(() => [...document.querySelectorAll('li.family')].find((li) =>
      li.dataset.family === ${JSON.stringify(family)}));
    if (item.getAttribute('aria-expanded') !== 'true') item.click();
    const row = await waitFor(() => [...item.querySelectorAll('.face')].find((r) =>
      r.querySelector('.path').textContent === ${JSON.stringify(file)}));
    if (${seen}) await waitFor(() => row.querySelector('.sample').dataset.shown);
    await kavriFrame();
    const start = performance.now();
    row.click();
    await waitFor(() => document.querySelector('.specimen .glyph'));
    const glyphs = (await kavriFrame()) - start;
    const family = document.querySelector('.glyph-space').style.fontFamily.split(',')[0]
        .replace(/"/g, '');
    await Promise.all([...document.fonts].filter((f) => f.family === family)
        .map((f) => f.loaded.catch(() => {})));
    return {glyphs, face: (await kavriFrame()) - start};
  }`);
}

async function measure(faces) {
  const dir = h.tempDir('kavri-specimen-bench-');
  const creds = h.makeCredentials(dir);
  const server = h.spawnCompanion();
  server.send(`${creds.container};${creds.passphrase}\n`);
  const c = catalogueObject(faces);
  c[kFonts.wqy] = [h.face('WenQuanYi Zen Hei', 'Regular', {postscript: 'WenQuanYiZenHei'})];
  c[kFonts.interVariable] = ['Thin', 'Regular', 'Black'].map((style, k) =>
    h.face('Inter', style, {weight: [100, 400, 900][k], postscript: `Inter-${style}`}));
  c[kFonts.dejavu] = [h.face('DejaVu Sans', 'Book')];
  server.send(JSON.stringify(c) + '\n');
  const page = await openPage(`http://127.0.0.1:${await server.port()}/`, dir);
  try {
    await page.send('Emulation.setDeviceMetricsOverride', {width: 1280, height: 900,
      deviceScaleFactor: 1, mobile: false});
    await page.evaluate(`async (waitFor) => waitFor(() => document.body.dataset.generation)`);
    const open = {
      cold: await openFace(page, 'WenQuanYi Zen Hei', kFonts.wqy, false),
      latin: await openFace(page, 'DejaVu Sans', kFonts.dejavu, true),
      variable: await openFace(page, 'Inter', kFonts.interVariable, true),
    };

    const axis = await page.evaluate(`async (waitFor) => {
      ${kFrame}
      const weight = await waitFor(() => document.querySelector('.axes input[name=wght]'));
      weight.scrollIntoView();
      const times = [];
      const idle = [];
      for (let k = 0; k < 80; k++) {
        times.push(await kavriTimed(() => {
          weight.value = String(100 + (k * 37) % 800);
          weight.dispatchEvent(new Event('input'));
        }));
        idle.push(await kavriTimed(() => {}));
      }
      return {times, idle};
    }`);

    open.seen = await openFace(page, 'WenQuanYi Zen Hei', kFonts.wqy, true);
    const scrollAround = `async (waitFor) => {
      ${kFrame}
      const scroller = await waitFor(() => document.querySelector('.glyph-scroller'));
      scroller.scrollTop = 0;
      scroller.scrollIntoView();
      await waitFor(() => scroller.querySelector('.glyph'));
      const times = [];
      // Steps of a third of a screen, then jumps across the grid.
      for (let k = 0; k < 150; k++) {
        await kavriFrame();
        const frame = kavriScrolled();
        scroller.scrollTop = k < 100 ? scroller.scrollTop + scroller.clientHeight / 3
                                     : (k * 7919 % 100) / 100 * scroller.scrollHeight;
        times.push(await frame);
      }
      return {times, cells: scroller.querySelectorAll('.glyph').length,
        glyphs: document.querySelector('.glyph-count').textContent};
    }`;
    const scroll = await page.evaluate(scrollAround);
    // Again, traced: tracing slows the frames it records.
    const trace = path.join(dir, 'scroll-trace.json');
    await page.page.tracing.start({path: trace, categories: ['devtools.timeline',
      'disabled-by-default-devtools.timeline']});
    await page.evaluate(scrollAround);
    await page.page.tracing.stop();
    scroll.cpu = frameCpu(JSON.parse(fs.readFileSync(trace, 'utf8')));
    return {open, axis, scroll};
  } finally {
    await page.close();
    await server.stop();
    fs.rmSync(dir, {recursive: true, force: true});
  }
}

async function main() {
  if (!findChromium()) throw new Error('chromium is not installed (apt-get install chromium)');
  const faces = Number(process.argv[2] || 50000);
  const {open, axis, scroll} = await measure(faces);
  const dir = h.tempDir('kavri-specimen-font-');
  let big;
  let reads;
  try {
    big = bigFont(largestFont(), dir);
    reads = await serverReads(big.file);
  } finally {
    fs.rmSync(dir, {recursive: true, force: true});
  }
  const ms = (n) => `${n.toFixed(1)} ms`.padStart(10);
  console.log(`catalogue of ${faces.toLocaleString()} faces; the CJK face: ${scroll.glyphs}, ` +
      `${scroll.cells} cells in the page`);
  const row = (what, measured, target) =>
    console.log(`${what.padEnd(46)}${ms(measured)}${target ? ms(target) : ''}`);
  const p95 = (t) => percentile(t, 0.95);
  console.log(`${''.padEnd(46)}  measured    target`);
  row('open to first glyphs: CJK, sample drawn', open.seen.glyphs, 150);
  row('                      variable, sample drawn', open.variable.glyphs, 150);
  row('                      Latin, sample drawn', open.latin.glyphs, 150);
  row('                      CJK, font not loaded', open.cold.glyphs, 150);
  row('          ... then drawn in the face itself', open.cold.face, 0);
  row(`scroll frame p95: steps (p50 ${percentile(scroll.times.slice(0, 100), 0.5).toFixed(1)})`,
      p95(scroll.times.slice(0, 100)), 20);
  row(`                  jumps (p50 ${percentile(scroll.times.slice(100), 0.5).toFixed(1)})`,
      p95(scroll.times.slice(100)), 20);
  row(`  main-thread CPU per frame p95 (p50 ${percentile(scroll.cpu, 0.5).toFixed(1)})`,
      p95(scroll.cpu), 20);
  row(`axis slider frame p95 (p50 ${percentile(axis.times, 0.5).toFixed(1)})`, p95(axis.times),
      16);
  row(`idle frame p95 (p50 ${percentile(axis.idle, 0.5).toFixed(1)})`, p95(axis.idle), 0);
  console.log(`the server reads ${path.basename(big.file)}, ${(big.size / 1e6).toFixed(1)} MB:`);
  row('  its view tables: first', reads.first, 30);
  row('                   median', reads.median, 30);
  row('  the whole file, read', reads.whole, 0);
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
