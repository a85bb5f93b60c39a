'use strict';
// How the companion server copes with large catalogues: for each size, the
// time from writing the line to the server having taken it, to a page's
// event carrying it, and to /catalogue.json answering with it; and the
// server's resident memory afterwards.
//
//   node bench/companion_catalogue.js [faces...]   (default 2000 10000 50000)

const fs = require('fs');
const path = require('path');
const h = require('../companion/harness.js');

function catalogue(faces) {
  const c = {};
  for (let i = 0; i < faces; i++) {
    // Four faces per file, a family per eight files: like a large system.
    const file = `/usr/share/fonts/opentype/family-${Math.floor(i / 32)}/face-${Math.floor(i / 4)}.ttc`;
    (c[file] = c[file] || []).push(h.face(`Family ${Math.floor(i / 32)}`, `Style ${i % 32}`, {
      weight: 100 * (1 + (i % 9)), stretch: 1 + (i % 9), italic: i % 2 === 1,
      localizedFamily: `Famille ${Math.floor(i / 32)}`, localizedStyle: `Style ${i % 32}`,
    }));
  }
  return JSON.stringify(c) + '\n';
}

function rssKiB(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(status.match(/VmRSS:\s+(\d+)/)[1]);
}

async function main() {
  const sizes = process.argv.length > 2 ? process.argv.slice(2).map(Number) : [2000, 10000, 50000];
  const dir = h.tempDir('kavri-bench-');
  const creds = h.makeCredentials(dir);
  const server = h.spawnCompanion();
  server.send(`${creds.container};${creds.passphrase}\n{}\n`);
  const port = await server.port();
  const events = h.openEvents(port, creds.ca);
  await events.next();
  console.log(`idle server: ${rssKiB(server.child.pid)} KiB resident`);
  console.log('faces  line(MiB)  taken(ms)  event(ms)  json(ms)  rss(KiB)');
  for (const faces of sizes) {
    const line = catalogue(faces);
    const start = process.hrtime.bigint();
    const ms = () => (Number(process.hrtime.bigint() - start) / 1e6).toFixed(1);
    const taken = server.stderr.waitFor(new RegExp(`catalogue \\d+: ${faces} faces`));
    server.send(line);
    await taken;
    const takenMs = ms();
    await events.next();
    const eventMs = ms();
    const json = await h.request(port, creds.ca, {path: '/catalogue.json'});
    if (json.body.length !== Buffer.byteLength(line) - 1) throw new Error('catalogue differs');
    console.log(`${String(faces).padStart(5)}  ${(line.length / 1048576).toFixed(2).padStart(9)}` +
        `  ${takenMs.padStart(9)}  ${eventMs.padStart(9)}  ${ms().padStart(8)}` +
        `  ${String(rssKiB(server.child.pid)).padStart(8)}`);
  }
  events.close();
  await server.stop();
  fs.rmSync(dir, {recursive: true, force: true});
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
