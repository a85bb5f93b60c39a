'use strict';
// How the companion server copes with large catalogues: for each size, the
// time from writing the line to the server having taken it, to a page's
// event carrying it, and to /catalogue.json answering with it; the server's
// CPU time from the line to the event (less swayed by a busy machine than
// the times), and its resident memory afterwards and at its peak so far.
// After the sizes of a large system's shape (32 faces a family), the largest
// again with a family per face, as a library of single display fonts has.
// Targets at 50,000 faces, either shape: the event within 500 ms, under
// 128 MiB resident at the peak.
//
//   node bench/companion_catalogue.js [faces...]   (default 2000 10000 50000)

const fs = require('fs');
const h = require('../companion/tests/harness.js');

const syntheticPath = (family, file) =>
  `/usr/share/fonts/opentype/family-${family}/face-${file}.ttc`;

// `faces` faces, four to a file, `perFamily` to a family; pathOf(family,
// file number) names the files. As an object, and as the line the agent
// sends.
function catalogueObject(faces, perFamily = 32, pathOf = syntheticPath) {
  const c = {};
  for (let i = 0; i < faces; i++) {
    const family = Math.floor(i / perFamily);
    const file = pathOf(family, Math.floor(i / 4));
    (c[file] = c[file] || []).push(h.face(`Family ${family}`, `Style ${i % 32}`, {
      weight: 100 * (1 + (i % 9)), stretch: 1 + (i % 9), italic: i % 2 === 1,
      localizedFamily: `Famille ${family}`, localizedStyle: `Style ${i % 32}`,
    }));
  }
  return c;
}

function catalogue(faces, perFamily, pathOf) {
  return JSON.stringify(catalogueObject(faces, perFamily, pathOf)) + '\n';
}

function procStatus(pid, field) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(status.match(new RegExp(`${field}:\\s+(\\d+)`))[1]);
}

// User and system CPU time of a process, in ms.
function cpuMs(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(fields[11]) + Number(fields[12])) * 10;  // clock ticks of 10 ms
}

async function main() {
  const sizes = process.argv.length > 2 ? process.argv.slice(2).map(Number) : [2000, 10000, 50000];
  const runs = sizes.map((faces) => ({faces, perFamily: 32}));
  runs.push({faces: sizes[sizes.length - 1], perFamily: 1});
  const dir = h.tempDir('kavri-bench-');
  const creds = h.makeCredentials(dir);
  const server = h.spawnCompanion();
  const pid = server.child.pid;
  server.send(`${creds.container};${creds.passphrase}\n{}\n`);
  const port = await server.port();
  const events = h.openEvents(port, h.plain);
  await events.next();
  console.log(`idle server: ${procStatus(pid, 'VmRSS')} KiB resident`);
  console.log('faces  families  line(MiB)  taken(ms)  event(ms)  json(ms)  cpu(ms)' +
      '  rss(KiB)  peak(KiB)');
  for (const {faces, perFamily} of runs) {
    const line = catalogue(faces, perFamily);
    const cpuBefore = cpuMs(pid);
    const start = process.hrtime.bigint();
    const ms = () => (Number(process.hrtime.bigint() - start) / 1e6).toFixed(1);
    const taken = server.stderr.waitFor(new RegExp(`catalogue \\d+: ${faces} faces`));
    server.send(line);
    await taken;
    const takenMs = ms();
    const event = await events.next();
    const eventMs = ms();
    const cpu = cpuMs(pid) - cpuBefore;
    const json = await h.request(port, h.plain, {path: '/catalogue.json'});
    if (json.body.length !== Buffer.byteLength(line) - 1) throw new Error('catalogue differs');
    console.log(`${String(faces).padStart(5)}  ${String(event.families.length).padStart(8)}` +
        `  ${(line.length / 1048576).toFixed(2).padStart(9)}` +
        `  ${takenMs.padStart(9)}  ${eventMs.padStart(9)}  ${ms().padStart(8)}` +
        `  ${String(cpu).padStart(7)}  ${String(procStatus(pid, 'VmRSS')).padStart(8)}` +
        `  ${String(procStatus(pid, 'VmHWM')).padStart(9)}`);
  }
  console.log('targets at 50000 faces: event(ms) <= 500, peak(KiB) < 131072');
  events.close();
  await server.stop();
  fs.rmSync(dir, {recursive: true, force: true});
}

if (require.main === module) {
  main().catch((e) => {
    console.error(e);
    process.exit(1);
  });
} else {
  module.exports = {catalogue, catalogueObject};
}
