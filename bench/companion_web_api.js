'use strict';
// What a web app gets from the server with a large library, in headless
// Chromium, with the server's own page open in another tab: for a catalogue
// of 50,000 faces whose files are real fonts (some faces in collections,
// cut out when asked for), against their targets:
//
//   list      queryLocalFonts() of the client module, from the call to the
//             faces as the app's objects: the first call, and the median of
//             the next ones (target 300 ms)
//   bytes     a face's first bytes, from the fetch to the first chunk read,
//             over faces across the list, a collection's among them (median
//             and 95th percentile, target 50 ms)
//   change    from a new catalogue sent to the server to onFontsChanged's
//             callback with the new list (target 1000 ms)
//   peak      the server's peak resident memory by the end (target < 128 MiB)
//
//   node bench/companion_web_api.js [faces]   (default 50000)

const fs = require('fs');
const http = require('http');
const path = require('path');
const h = require('../companion/tests/harness.js');
const {launchBrowser, whyNoBrowser} = require('../companion/tests/browsers.js');
const {catalogueObject} = require('./companion_catalogue.js');
const {fontLibrary, percentile} = require('./companion_page.js');

const kDejaVu = '/usr/share/fonts/truetype/dejavu';
const kCollections = 8;
const kListRuns = 6;
const kByteFaces = 40;

// The web app: the client module from the server, nothing else.
function startApp(serverPort) {
  const server = http.createServer((req, res) => {
    res.writeHead(200, {'Content-Type': 'text/html; charset=utf-8'});
    res.end(`<!DOCTYPE html><html lang="en"><head><meta charset="utf-8"><title>App</title>
      </head><body><script type="module">
        window.server = 'http://127.0.0.1:${serverPort}';
        window.kavri = await import(window.server + '/kavri-fonts.js');
        document.body.dataset.ready = 'true';
      </script></body></html>`);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

async function measure(faces) {
  const dir = h.tempDir('kavri-web-bench-');
  const account = path.join(dir, 'home');
  const library = fontLibrary(dir, Math.ceil(faces / 4));
  const creds = h.makeCredentials(dir);
  const server = h.spawnCompanion({HOME: account, XDG_CONFIG_HOME: undefined});
  server.send(`${creds.container};${creds.passphrase}\n{}\n`);
  const port = await server.port();
  const app = await startApp(port);
  const appOrigin = `http://localhost:${app.address().port}`;
  // Allowed as the page's consent would have it.
  fs.mkdirSync(path.join(account, '.config', 'kavri'), {recursive: true});
  fs.writeFileSync(path.join(account, '.config', 'kavri', 'allowed-sites'), `${appOrigin}\n`);
  const browser = await launchBrowser('chromium', dir);
  try {
    const c = catalogueObject(faces, 32, (family, file) => library[file]);
    const two = [path.join(kDejaVu, 'DejaVuSans.ttf'), path.join(kDejaVu, 'DejaVuSerif.ttf')]
        .map((f) => fs.readFileSync(f));
    for (let i = 0; i < kCollections; i++) {
      const file = path.join(dir, `collection-${i}.ttc`);
      fs.writeFileSync(file, h.makeCollection(two));
      c[file] = [h.face(`Collected ${i}`, 'Sans', {postscript: 'DejaVuSans'}),
        h.face(`Collected ${i}`, 'Serif', {postscript: 'DejaVuSerif'})];
    }
    server.send(JSON.stringify(c) + '\n');
    const page = await browser.open(`http://127.0.0.1:${port}/`);
    await page.evaluate(`async (waitFor) => waitFor(() => document.body.dataset.generation === '2' &&
        document.querySelector('li.family'))`);
    const web = await browser.open(`${appOrigin}/`);
    await web.evaluate(`async (waitFor) => waitFor(() => document.body.dataset.ready)`);

    const list = await web.evaluate(`async () => {
      const times = [];
      let count = 0;
      for (let i = 0; i < ${kListRuns}; i++) {
        const start = performance.now();
        const faces = await window.kavri.queryLocalFonts();
        times.push(performance.now() - start);
        count = faces.length;
        window.faces = faces;
      }
      return {times, count};
    }`);
    const bytes = await web.evaluate(`async () => {
      const faces = window.faces;
      const picked = [];
      for (let i = 0; i < ${kByteFaces}; i++) {
        picked.push(faces[Math.floor(i * faces.length / ${kByteFaces})]);
      }
      picked.push(...faces.filter((f) => f.format === 'collection').slice(0, 4));
      const times = [];
      for (const face of picked) {
        const query = new URLSearchParams({file: face.file, postscript: face.postscriptName});
        const start = performance.now();
        const response = await fetch(window.server + '/api/font?' + query);
        const reader = response.body.getReader();
        await reader.read();
        times.push(performance.now() - start);
        await reader.cancel();
      }
      return times;
    }`);
    await web.evaluate(`async () => new Promise((resolve) => {
      window.heard = [];
      window.kavri.onFontsChanged((faces) => {
        window.heard.push({at: performance.now(), count: faces.length});
        if (window.heard.length === 1) resolve();
      });
    })`);
    const sentAt = await web.evaluate('async () => performance.now()');
    c[path.join(kDejaVu, 'DejaVuSansMono.ttf')] = [h.face('DejaVu Sans Mono', 'Book')];
    server.send(JSON.stringify(c) + '\n');
    const heard = await web.evaluate(`async () => new Promise((resolve) => {
      const poll = () => (window.heard.length > 1 ? resolve(window.heard[1]) : setTimeout(poll, 5));
      poll();
    })`);
    const peak = h.memoryKiB(server.child.pid).peak / 1024;
    const ms = (n) => n.toFixed(0).padStart(7);
    const warm = list.times.slice(1);
    console.log(`${list.count.toLocaleString('en').padEnd(10)}${ms(list.times[0])}` +
        `${ms(percentile(warm, 0.5))}      ${ms(percentile(bytes, 0.5))} /${ms(percentile(bytes, 0.95))}` +
        `    ${ms(heard.at - sentAt)}     ${peak.toFixed(0).padStart(5)}`);
  } finally {
    await browser.close();
    app.close();
    await server.stop();
    fs.rmSync(dir, {recursive: true, force: true});
  }
}

async function main() {
  const why = whyNoBrowser('chromium');
  if (why) throw new Error(why);
  const faces = Number(process.argv[2] || 50000);
  console.log('faces     list: first    p50   first bytes p50 /    p95   change (ms)   peak (MiB)');
  await measure(faces);
  console.log('targets            300    300                50 /     50        1000        < 128');
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
