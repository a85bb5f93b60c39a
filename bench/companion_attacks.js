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
// (VmRSS, VmHWM), and how long the page's own requests took. Then the
// lock-out attempts of a user's own script: 256 idle TCP connections, 32
// event streams, 200 update-check POSTs, and sites flooding the consent
// route and sending malformed Origins; for each, what the page gets.
// Clients speak plain HTTP, as the page is opened, or with --tls TLS.
//
//   node bench/companion_attacks.js [--daemon path/to/daemon.js] [--tls] [clients...]
// (default 64 128; --daemon measures another version of the server)

const fs = require('fs');
const net = require('net');
const path = require('path');
const h = require('../companion/tests/harness.js');

const kDejaVu = '/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf';
const kZenHei = '/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc';

function args() {
  const rest = process.argv.slice(2);
  let daemon = h.shippedDaemon();
  const at = rest.indexOf('--daemon');
  if (at !== -1) daemon = path.resolve(rest.splice(at, 2)[1]);
  const tls = rest.indexOf('--tls');
  if (tls !== -1) rest.splice(tls, 1);
  return {daemon, tls: tls !== -1, clients: rest.length ? rest.map(Number) : [64, 128]};
}

const fontPath = (file, postscript) =>
  `/font?path=${encodeURIComponent(file)}&postscript=${encodeURIComponent(postscript)}`;

// GET that only counts the body. Resolves {status, bytes, ms}.
function fetchCounting(port, via, urlPath) {
  const start = process.hrtime.bigint();
  return new Promise((resolve, reject) => {
    const req = via.client.get({host: '127.0.0.1', port, path: urlPath, agent: false,
      ...via.options, headers: {Host: `127.0.0.1:${port}`}}, (res) => {
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
function stallingClient(port, via, urlPath) {
  return new Promise((resolve, reject) => {
    const req = via.client.get({host: '127.0.0.1', port, path: urlPath, agent: false,
      ...via.options, headers: {Host: `127.0.0.1:${port}`}}, (res) => {
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

async function pageWorks(port, via) {
  const start = process.hrtime.bigint();
  const page = await h.request(port, via, {path: '/'});
  const json = await h.request(port, via, {path: '/catalogue.json'});
  const ms = Number(process.hrtime.bigint() - start) / 1e6;
  return `${page.status === 200 && json.status === 200 ? 'works' : 'FAILS'} (${ms.toFixed(0)} ms)`;
}

const msSince = (start) => (Number(process.hrtime.bigint() - start) / 1e6).toFixed(0);

async function lockOut(daemon, creds, catalogue, via) {
  const {server, port} = await startServer(daemon, creds, catalogue);

  const idle = await Promise.all(Array.from({length: 256}, () => new Promise((resolve) => {
    const s = net.connect(port, '127.0.0.1', () => resolve(s));
    s.on('error', () => resolve(s));
  })));
  const closedAt = idle.map((s) => new Promise((resolve) => s.on('close', () => resolve(
      process.hrtime.bigint()))));
  let start = process.hrtime.bigint();
  const page = await h.request(port, via, {path: '/catalogue.json'}).then((r) => r.status,
      (e) => e.code || e.message);
  console.log(`256 idle connections: the page's request got ${page} after ${msSince(start)} ms`);
  const closed = await Promise.race([Promise.all(closedAt),
    new Promise((resolve) => setTimeout(() => resolve(null), 150 * 1000))]);
  console.log(closed ? `  all 256 closed by the server, the last ${msSince(start)} ms after it`
                     : '  not all closed within 150 s');
  for (const s of idle) s.destroy();

  const streams = Array.from({length: 32}, () => h.openEvents(port, via));
  await Promise.all(streams.map((s) => s.next()));
  start = process.hrtime.bigint();
  const mine = h.openEvents(port, via);
  const got = await mine.next().then(() => 'its catalogue event', (e) => e.message);
  console.log(`32 event streams open: the page's stream got ${got} after ${msSince(start)} ms`);
  for (const s of [...streams, mine]) s.close();

  const lines = server.stdout.text.length;
  const logs = server.stderr.text.length;
  const agent = new via.client.Agent({keepAlive: true, maxSockets: 4, ...via.options});
  start = process.hrtime.bigint();
  await Promise.all(Array.from({length: 200}, () => new Promise((resolve) => {
    via.client.request({host: '127.0.0.1', port, method: 'POST', path: '/check-for-updates', agent,
      ...via.options, headers: {Host: `127.0.0.1:${port}`,
        Origin: `${via.scheme}://127.0.0.1:${port}`}}, (res) => res.resume().on('end', resolve))
        .on('error', resolve).end();
  })));
  const burstMs = msSince(start);
  agent.destroy();
  // Requests after the first join one line at the end of the window.
  const count = (text, what) => text.split(what).length - 1;
  const asked = () => [...server.stderr.text.slice(logs).matchAll(
      /asked for an update check(?: \((\d+) requests)?/g)]
      .reduce((n, m) => n + Number(m[1] || 1), 0);
  while (asked() < 200) {
    if (!await server.stderr.waitFor(/asked for an update check.*\n/,
        {timeoutMs: 15 * 1000}).then(() => true, () => false)) break;
  }
  while (count(server.stdout.text.slice(lines), 'CHECK FOR UPDATES') <
      count(server.stderr.text.slice(logs), 'asked for an update check')) {
    await server.stdout.waitFor('CHECK FOR UPDATES\n');
  }
  console.log(`200 update-check POSTs in ${burstMs} ms: within ${msSince(start)} ms, ` +
      `${count(server.stdout.text.slice(lines), 'CHECK FOR UPDATES')} lines to the agent and ` +
      `${count(server.stderr.text.slice(logs), 'asked for an update check')} log lines`);

  // 1,000 sites asking for a consent page, then 1,000 requests with
  // malformed Origins, fifty at a time.
  const statuses = async (make) => {
    const tally = new Map();
    for (let k = 0; k < 1000; k += 50) {
      const got = await Promise.all(Array.from({length: 50}, (_, i) => h.request(port, via,
          make(k + i)).then((r) => r.status, (e) => e.code || e.message)));
      for (const status of got) tally.set(status, (tally.get(status) || 0) + 1);
    }
    return [...tally].map(([status, n]) => `${n} ${status}`).join(', ');
  };
  const before = server.stderr.text.length;
  start = process.hrtime.bigint();
  const consents = await statuses((k) => ({method: 'POST', path: '/api/consent',
    headers: {Origin: `https://site-${k}.example`}}));
  const malformed = await statuses((k) => ({path: '/api/fonts',
    headers: {Origin: ['null', `https://x${k}.example/path`, 'https://*.example', `x${k}`][k % 4]}}));
  console.log(`1,000 consent requests and 1,000 malformed Origins in ${msSince(start)} ms: ` +
      `answered ${consents}; ${malformed}; ` +
      `${server.stderr.text.slice(before).split('\n').length - 1} log lines; ` +
      `the page ${await pageWorks(port, via)}`);
  await server.stop();
}

async function main() {
  const {daemon, tls, clients} = args();
  for (const f of [kDejaVu, kZenHei]) {
    if (!fs.existsSync(f)) throw new Error(`${f} is missing: scripts/deps bench installs it`);
  }
  const dir = h.tempDir('kavri-bench-');
  const creds = h.makeCredentials(dir);
  const via = tls ? h.overTls(creds.ca) : h.plain;
  const spanning = path.join(dir, 'spanning.ttc');
  fs.writeFileSync(spanning, h.makeSpanningCollection(fs.readFileSync(kDejaVu), 2000));
  const catalogue = {
    [spanning]: [h.face('DejaVu Sans', 'Book', {postscript: 'DejaVuSans'})],
    [kZenHei]: [h.face('WenQuanYi Zen Hei', 'Regular', {postscript: 'WenQuanYiZenHei'})],
  };
  console.log(`server: ${daemon}, clients over ${tls ? 'TLS' : 'plain HTTP'}`);
  console.log('scenario       answered(bytes)  file(bytes)  rss(MiB)  peak(MiB)  ' +
      'page request(ms)  page');

  {
    const {server, port} = await startServer(daemon, creds, catalogue);
    const got = await fetchCounting(port, via, fontPath(spanning, 'DejaVuSans'));
    const mem = h.memoryKiB(server.child.pid);
    console.log(`spanning       ${String(got.bytes).padStart(15)}  ` +
        `${String(fs.statSync(spanning).size).padStart(11)}  ${mib(mem.rss)}  ${mib(mem.peak)}  ` +
        `${got.ms.toFixed(0).padStart(16)}  ${await pageWorks(port, via)}`);
    await server.stop();
  }

  for (const n of clients) {
    const {server, port} = await startServer(daemon, creds, catalogue);
    const url = fontPath(kZenHei, 'WenQuanYiZenHei');
    const stalled = [];
    const start = process.hrtime.bigint();
    for (let i = 0; i < n; i++) stalled.push(stallingClient(port, via, url));
    const heads = await Promise.allSettled(stalled);
    const answered = heads.filter((r) => r.status === 'fulfilled' && r.value.status === 200).length;
    const got = await fetchCounting(port, via, url);
    const mem = h.memoryKiB(server.child.pid);
    console.log(`stalled ${String(n).padStart(3)}    ${String(got.bytes).padStart(15)}  ` +
        `${String(fs.statSync(kZenHei).size).padStart(11)}  ${mib(mem.rss)}  ${mib(mem.peak)}  ` +
        `${got.ms.toFixed(0).padStart(16)}  ${await pageWorks(port, via)}; ` +
        `${answered}/${n} stalled clients got a head`);
    const dropped = await server.stderr.waitFor('dropped a reader that stopped reading',
        {anywhere: true, timeoutMs: 60 * 1000}).then(() => 'dropped', () => 'never dropped');
    console.log(`             stalled readers ${dropped} ` +
        `${((Number(process.hrtime.bigint() - start) / 1e9)).toFixed(1)} s after they asked`);
    for (const r of heads) if (r.status === 'fulfilled') r.value.close();
    await server.stop();
  }
  await lockOut(daemon, creds, catalogue, via);
  fs.rmSync(dir, {recursive: true, force: true});
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
