'use strict';
// What a hostile local client can make the companion server hold, and
// whether the page still works meanwhile. A fresh server per scenario, so
// each peak is its own:
//  - spanning: the page asks for the face of a 792 KB collection that wraps
//    DejaVu Sans and whose directory also lists 2,000 tables that each span
//    the whole file;
//  - stalled N: N clients ask for a face of the 16 MB wqy-zenhei.ttc, take
//    the response head and never read on; then a reading client fetches the
//    same face and the catalogue.
// For each: bytes answered, the server's resident memory now and at its peak
// (VmRSS, VmHWM), and how long the page's own requests took.
//
//   node bench/companion_attacks.js [--daemon path/to/daemon.js] [clients...]
// (default 64 128; --daemon measures another version of the server)

const fs = require('fs');
const https = require('https');
const path = require('path');
const h = require('../companion/harness.js');

const kDejaVu = '/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf';
const kZenHei = '/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc';

function args() {
  const rest = process.argv.slice(2);
  let daemon = h.shippedDaemon();
  const at = rest.indexOf('--daemon');
  if (at !== -1) daemon = path.resolve(rest.splice(at, 2)[1]);
  return {daemon, clients: rest.length ? rest.map(Number) : [64, 128]};
}

const fontPath = (file, postscript) =>
  `/font?path=${encodeURIComponent(file)}&postscript=${encodeURIComponent(postscript)}`;

// GET that only counts the body. Resolves {status, bytes, ms}.
function fetchCounting(port, ca, urlPath) {
  const start = process.hrtime.bigint();
  return new Promise((resolve, reject) => {
    const req = https.get({host: '127.0.0.1', port, path: urlPath, ca, agent: false,
      servername: 'localhost', headers: {Host: `127.0.0.1:${port}`}}, (res) => {
      let bytes = 0;
      res.on('data', (c) => { bytes += c.length; });
      res.on('end', () => resolve({status: res.statusCode, bytes,
        ms: Number(process.hrtime.bigint() - start) / 1e6}));
      res.on('error', reject);
    });
    req.on('error', reject);
  });
}

// A client that takes the response head and then stops reading for good.
function stallingClient(port, ca, urlPath) {
  return new Promise((resolve, reject) => {
    const req = https.get({host: '127.0.0.1', port, path: urlPath, ca, agent: false,
      servername: 'localhost', headers: {Host: `127.0.0.1:${port}`}}, (res) => {
      res.pause();
      res.socket.pause();
      resolve({status: res.statusCode, close: () => req.destroy()});
    });
    req.on('error', reject);
  });
}

async function startServer(daemon, creds, catalogue) {
  const server = h.spawnCompanion({}, daemon);
  server.send(`${creds.container};${creds.passphrase}\n${JSON.stringify(catalogue)}\n`);
  const port = await server.port();
  await server.stderr.waitFor('catalogue 1:');
  return {server, port};
}

const mib = (kib) => (kib / 1024).toFixed(1).padStart(7);

async function pageWorks(port, ca) {
  const start = process.hrtime.bigint();
  const page = await h.request(port, ca, {path: '/'});
  const json = await h.request(port, ca, {path: '/catalogue.json'});
  const ms = Number(process.hrtime.bigint() - start) / 1e6;
  return `${page.status === 200 && json.status === 200 ? 'works' : 'FAILS'} (${ms.toFixed(0)} ms)`;
}

async function main() {
  const {daemon, clients} = args();
  for (const f of [kDejaVu, kZenHei]) {
    if (!fs.existsSync(f)) throw new Error(`${f} is missing: scripts/deps bench installs it`);
  }
  const dir = h.tempDir('kavri-bench-');
  const creds = h.makeCredentials(dir);
  const spanning = path.join(dir, 'spanning.ttc');
  fs.writeFileSync(spanning, h.makeSpanningCollection(fs.readFileSync(kDejaVu), 2000));
  const catalogue = {
    [spanning]: [h.face('DejaVu Sans', 'Book', {postscript: 'DejaVuSans'})],
    [kZenHei]: [h.face('WenQuanYi Zen Hei', 'Regular', {postscript: 'WenQuanYiZenHei'})],
  };
  console.log(`server: ${daemon}`);
  console.log('scenario       answered(bytes)  file(bytes)  rss(MiB)  peak(MiB)  ' +
      'page request(ms)  page');

  {
    const {server, port} = await startServer(daemon, creds, catalogue);
    const got = await fetchCounting(port, creds.ca, fontPath(spanning, 'DejaVuSans'));
    const mem = h.memoryKiB(server.child.pid);
    console.log(`spanning       ${String(got.bytes).padStart(15)}  ` +
        `${String(fs.statSync(spanning).size).padStart(11)}  ${mib(mem.rss)}  ${mib(mem.peak)}  ` +
        `${got.ms.toFixed(0).padStart(16)}  ${await pageWorks(port, creds.ca)}`);
    await server.stop();
  }

  for (const n of clients) {
    const {server, port} = await startServer(daemon, creds, catalogue);
    const url = fontPath(kZenHei, 'WenQuanYiZenHei');
    const stalled = [];
    const start = process.hrtime.bigint();
    for (let i = 0; i < n; i++) stalled.push(stallingClient(port, creds.ca, url));
    const heads = await Promise.allSettled(stalled);
    const answered = heads.filter((r) => r.status === 'fulfilled' && r.value.status === 200).length;
    const got = await fetchCounting(port, creds.ca, url);
    const mem = h.memoryKiB(server.child.pid);
    console.log(`stalled ${String(n).padStart(3)}    ${String(got.bytes).padStart(15)}  ` +
        `${String(fs.statSync(kZenHei).size).padStart(11)}  ${mib(mem.rss)}  ${mib(mem.peak)}  ` +
        `${got.ms.toFixed(0).padStart(16)}  ${await pageWorks(port, creds.ca)}; ` +
        `${answered}/${n} stalled clients got a head`);
    const dropped = await server.stderr.waitFor('dropped a reader that stopped reading',
        {anywhere: true, timeoutMs: 60 * 1000}).then(() => 'dropped', () => 'never dropped');
    console.log(`             stalled readers ${dropped} ` +
        `${((Number(process.hrtime.bigint() - start) / 1e9)).toFixed(1)} s after they asked`);
    for (const r of heads) if (r.status === 'fulfilled') r.value.close();
    await server.stop();
  }
  fs.rmSync(dir, {recursive: true, force: true});
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
