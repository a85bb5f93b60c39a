'use strict';
// The companion server as the agent runs it: a child process fed a real
// certificate container and catalogues on its standard input, queried over
// HTTPS on loopback.

const assert = require('node:assert/strict');
const fs = require('fs');
const net = require('net');
const path = require('path');
const {spawn} = require('child_process');
const {once} = require('events');
const https = require('https');
const tls = require('tls');
const {describe, it, before, after} = require('node:test');
const {assemble} = require('./assemble.js');
const h = require('./harness.js');
const {kDefaultPort} = require('./server/port.js');

const kDejaVu = '/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf';
const kZenHei = '/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc';

function whySkipFonts() {
  const missing = [kDejaVu, kZenHei].filter((f) => !fs.existsSync(f));
  return missing.length > 0 && `${missing[0]} is missing (scripts/deps test installs it)`;
}

// Shortened waits, so that what they bound happens within a test.
const kLimits = {stallMs: 2000, handshakeMs: 2000, updateCheckMs: 2000, repeatLogMs: 2000};

describe('companion server', () => {
  let dir;
  let creds;
  let server;
  let port;
  let fontA;
  let fontB;
  const get = (urlPath, headers) => h.request(port, creds.ca, {path: urlPath, headers});
  const post = (urlPath, headers) => h.request(port, creds.ca, {method: 'POST', path: urlPath, headers});
  const fontUrl = (file) => `/font?path=${encodeURIComponent(file)}`;

  before(async () => {
    dir = h.tempDir('kavri-companion-');
    creds = h.makeCredentials(dir);
    fontA = path.join(dir, 'alpha.ttf');
    fontB = path.join(dir, 'beta family.otf');
    fs.writeFileSync(fontA, Buffer.concat([Buffer.from([0, 1, 0, 0]), Buffer.alloc(5000, 7)]));
    fs.writeFileSync(fontB, Buffer.from('OTTO and the rest of a font'));
    server = h.spawnCompanion({KAVRI_COMPANION_LIMITS: JSON.stringify(kLimits)});
    server.send(`${creds.container};${creds.passphrase}\n`);
    server.send(JSON.stringify({[fontA]: [h.face('Alpha', 'Regular')]}) + '\n');
    port = await server.port();
    await server.stderr.waitFor('catalogue 1:');
  });

  after(async () => {
    if (server) await server.stop();
    fs.rmSync(dir, {recursive: true, force: true});
  });

  it('ServesTheCatalogueAndThePage', async () => {
    const json = await get('/catalogue.json');
    assert.equal(json.status, 200);
    assert.equal(json.headers['content-type'], 'application/json');
    assert.deepEqual(JSON.parse(json.body), {[fontA]: [h.face('Alpha', 'Regular')]});

    // The page's files come out byte for byte as written under page/.
    const pageFile = (name) => fs.readFileSync(path.join(__dirname, 'page', name));
    for (const [urlPath, type, file] of [['/', /^text\/html/, 'index.html'],
      ['/app.js', /^text\/javascript/, 'page.js'], ['/app.css', /^text\/css/, 'page.css']]) {
      const page = await get(urlPath);
      assert.equal(page.status, 200, urlPath);
      assert.match(page.headers['content-type'], type);
      assert.match(page.headers['content-security-policy'], /script-src 'self'/);
      assert.deepEqual(page.body, pageFile(file), urlPath);
    }
  });

  it('ServesOnlyFontFilesOfTheCurrentCatalogue', async () => {
    const font = await get(fontUrl(fontA));
    assert.equal(font.status, 200);
    assert.equal(font.headers['content-type'], 'font/ttf');
    assert.deepEqual(font.body, fs.readFileSync(fontA));
    const again = await get(fontUrl(fontA), {'If-None-Match': font.headers.etag});
    assert.equal(again.status, 304);

    for (const other of [fontB, '/etc/passwd', `${fontA}/../alpha.ttf`, dir]) {
      assert.equal((await get(fontUrl(other))).status, 404, other);
    }
    assert.equal((await get('/font')).status, 404);
  });

  it('RefusesOtherHostsAndOrigins', async () => {
    for (const host of ['evil.example', `evil.example:${port}`, `127.0.0.1:${port + 1}`]) {
      assert.equal((await get('/catalogue.json', {Host: host})).status, 421, host);
    }
    assert.equal((await get('/catalogue.json', {Host: `localhost:${port}`})).status, 200);
    assert.equal((await get('/catalogue.json', {Origin: 'https://evil.example'})).status, 403);
    assert.equal((await get(fontUrl(fontA), {'Sec-Fetch-Site': 'cross-site'})).status, 403);

    assert.equal((await post('/check-for-updates')).status, 403);
    assert.equal((await post('/check-for-updates', {Origin: 'https://evil.example'})).status, 403);
    assert.equal((await post('/check-for-updates', {Origin: 'null'})).status, 403);
    assert.equal((await post('/check-for-updates', {Host: `evil.example:${port}`,
      Origin: `https://evil.example:${port}`})).status, 421);
    assert.equal((await get('/check-for-updates')).status, 405);
    assert.equal((await post('/catalogue.json', {Origin: `https://127.0.0.1:${port}`})).status, 405);
    assert.equal(server.stdout.text, '', 'no refused request may reach the agent');
  });

  it('UpdateCheckFromItsOwnPageReachesTheAgent', async () => {
    const res = await post('/check-for-updates', {Origin: `https://127.0.0.1:${port}`,
      'Sec-Fetch-Site': 'same-origin'});
    assert.equal(res.status, 204);
    await server.stdout.waitFor('CHECK FOR UPDATES\n');
    assert.equal(server.stdout.text, 'CHECK FOR UPDATES\n');
  });

  // However many come at once, the agent gets one line per window, and every
  // request is counted in the log line of the check it joined.
  it('UpdateChecksAreCoalesced', async () => {
    const agent = new https.Agent({keepAlive: true, maxSockets: 4, ca: creds.ca});
    const headers = {Host: `127.0.0.1:${port}`, Origin: `https://127.0.0.1:${port}`};
    const postOnce = () => new Promise((resolve, reject) => {
      https.request({host: '127.0.0.1', port, method: 'POST', path: '/check-for-updates',
        servername: 'localhost', agent, headers}, (res) => {
        res.resume();
        res.on('end', () => resolve(res.statusCode));
      }).on('error', reject).end();
    });
    const linesBefore = server.stdout.text.length;
    const logBefore = server.stderr.text.length;
    const start = process.hrtime.bigint();
    try {
      const statuses = await Promise.all(Array.from({length: 200}, postOnce));
      assert.ok(statuses.every((s) => s === 204));
    } finally {
      agent.destroy();
    }
    const asked = () => [...server.stderr.text.slice(logBefore).matchAll(
        /the page asked for an update check(?: \((\d+) requests joined in one\))?\n/g)];
    while (asked().reduce((n, m) => n + Number(m[1] || 1), 0) < 200) {
      await server.stderr.waitFor(/the page asked for an update check.*\n/);
    }
    const lines = () => server.stdout.text.slice(linesBefore).split('\n').filter(Boolean);
    while (lines().length < asked().length) await server.stdout.waitFor('CHECK FOR UPDATES\n');
    const elapsedMs = Number(process.hrtime.bigint() - start) / 1e6;
    assert.ok(lines().every((l) => l === 'CHECK FOR UPDATES'));
    assert.equal(lines().length, asked().length, 'one log line per line to the agent');
    // Lines are at least a window apart, and the first came after `start`.
    assert.ok(lines().length <= 1 + elapsedMs / kLimits.updateCheckMs,
        `${lines().length} lines in ${elapsedMs} ms`);
  });

  // Other users' clients are cut off before TLS: a client run as nobody gets
  // no byte of the catalogue or of a font it cannot read, and is logged once.
  it('AnswersOnlyItsOwnUser', async () => {
    const probe = `
      const net = require('net');
      const tls = require('tls');
      const [port, fontPath] = process.argv.slice(1);
      const ask = (path) => new Promise((resolve) => {
        const s = tls.connect({host: '127.0.0.1', port, rejectUnauthorized: false});
        let secure = false;
        let bytes = 0;
        s.on('secureConnect', () => {
          secure = true;
          s.write('GET ' + path + ' HTTP/1.1\\r\\nHost: 127.0.0.1:' + port + '\\r\\n\\r\\n');
        });
        s.on('data', (d) => { bytes += d.length; });
        s.on('error', () => {});
        s.on('close', () => resolve({path, secure, bytes}));
      });
      const raw = () => new Promise((resolve) => {
        const s = net.connect(port, '127.0.0.1', () => s.write('GET / HTTP/1.1\\r\\n\\r\\n'));
        let bytes = 0;
        s.on('data', (d) => { bytes += d.length; });
        s.on('error', () => {});
        s.on('close', () => resolve({path: 'plain', secure: false, bytes}));
      });
      const font = '/font?path=' + encodeURIComponent(fontPath);
      Promise.all([ask('/catalogue.json'), ask(font), raw()])
          .then((r) => console.log(JSON.stringify(r)));
    `;
    const child = spawn(process.execPath, ['-e', probe, String(port), fontA],
        {uid: 65534, gid: 65534, cwd: '/', stdio: ['ignore', 'pipe', 'inherit']});
    const out = new h.OutputWatcher(child.stdout, 'nobody\'s client');
    const [line] = await out.waitFor(/^\[.*\]$/m);
    for (const r of JSON.parse(line)) {
      assert.deepEqual(r, {path: r.path, secure: false, bytes: 0}, r.path);
    }
    await h.within(once(child, 'exit'), 'the end of nobody\'s client');
    await server.stderr.waitFor('refusing connections from uid 65534: only uid 0 is answered',
        {anywhere: true});
    assert.equal(server.stderr.text.split('refusing connections from uid 65534').length - 1, 1);

    const mine = await get('/catalogue.json');
    assert.equal(mine.status, 200);
    assert.ok(mine.body.includes(fontA));
  });

  // Connections that never start TLS are dropped after the handshake limit;
  // a full house of them gives way to a client that does.
  it('IdleConnectionsCannotLockThePageOut', async () => {
    const connect = () => new Promise((resolve, reject) => {
      const s = net.connect(port, '127.0.0.1', () => resolve(s));
      s.on('error', reject);
    });
    const idle = await Promise.all(Array.from({length: 256}, connect));
    const closed = idle.map((s) => once(s, 'close'));
    try {
      const res = await get('/catalogue.json');
      assert.equal(res.status, 200);
      await h.within(Promise.all(closed), 'closing every idle connection');
      await server.stderr.waitFor('TLS handshake failed or took too long', {anywhere: true});
    } finally {
      for (const s of idle) s.destroy();
    }
  });

  // The newest page gets its stream; the oldest one gives way.
  it('TheNewestEventStreamTakesTheOldestsPlace', async () => {
    const streams = [];
    try {
      for (let i = 0; i < 33; i++) {
        streams.push(h.openEvents(port, creds.ca));
        await streams[i].next();
      }
      await h.within(streams[0].ended, 'closing the oldest stream');
      server.send(JSON.stringify({[fontA]: [h.face('Alpha', 'Bold', {weight: 700})]}) + '\n');
      for (const stream of streams.slice(1)) {
        assert.deepEqual((await stream.next()).families[0].styles, ['Bold']);
      }
      await server.stderr.waitFor('closed the oldest one\'s event stream', {anywhere: true});
    } finally {
      for (const stream of streams) stream.close();
    }
  });

  it('PushesNewCataloguesAndKeepsTheLastGoodOne', async () => {
    const events = h.openEvents(port, creds.ca);
    try {
      const first = await events.next();
      assert.deepEqual(first.families.map((f) => f.family), ['Alpha']);
      assert.equal(first.families[0].sample.path, fontA);

      const second = {
        [fontA]: [h.face('Alpha', 'Regular')],
        [fontB]: [h.face('Beta', 'Regular', {localizedFamily: 'Бета', localizedStyle: 'Обычный'})],
      };
      // Split mid-character across writes, as a pipe may deliver it.
      const bytes = Buffer.from(JSON.stringify(second) + '\n');
      const cut = bytes.indexOf(Buffer.from('Бета')) + 1;
      server.send(bytes.subarray(0, cut));
      server.send(bytes.subarray(cut));
      const pushed = await events.next();
      assert.equal(pushed.generation, first.generation + 1);
      assert.deepEqual(pushed.families.map((f) => [f.family, f.name]),
          [['Alpha', 'Alpha'], ['Beta', 'Бета']]);
      assert.equal((await get(fontUrl(fontB))).headers['content-type'], 'font/otf');

      server.send('{"/x.ttf": [{"family": 1}]}\n');
      await server.stderr.waitFor(/ignoring malformed catalogue .*keeping the last good one/);
      server.send('not json at all\n');
      await server.stderr.waitFor(/ignoring malformed catalogue/);
      assert.deepEqual(JSON.parse((await get('/catalogue.json')).body), second);

      // A catalogue without the first file takes its font off the page.
      server.send(JSON.stringify({[fontB]: second[fontB]}) + '\n');
      const third = await events.next();
      assert.deepEqual(third.families.map((f) => f.family), ['Beta']);
      assert.equal((await get(fontUrl(fontA))).status, 404);
    } finally {
      events.close();
    }
  });

  it('ServesAFaceOfACollectionAsAFontOfItsOwn', async () => {
    const alpha = h.makeFont('Alpha-Regular', {filler: 'a'});
    const beta = h.makeFont('Beta-Bold', {filler: 'b'});
    const collection = path.join(dir, 'both.ttc');
    fs.writeFileSync(collection, h.makeCollection([alpha, beta]));
    server.send(JSON.stringify({[collection]: [h.face('Alpha', 'Regular'),
      h.face('Beta', 'Bold', {weight: 700})]}) + '\n');
    await server.stderr.waitFor(/catalogue \d+: 2 faces in 1 files/);

    const face = await get(`${fontUrl(collection)}&postscript=Beta-Bold`);
    assert.equal(face.status, 200);
    assert.equal(face.headers['content-type'], 'font/ttf');
    assert.deepEqual(h.fontTables(face.body), h.fontTables(beta));
    for (const query of ['', '&postscript=Nobody']) {
      const whole = await get(fontUrl(collection) + query);
      assert.equal(whole.headers['content-type'], 'font/collection', query);
      assert.deepEqual(whole.body, fs.readFileSync(collection), query);
    }
  });

  // A directory whose 2,000 extra tables each span the whole file describes
  // a face 2,000 times the file's size: it is not cut, and the answer is no
  // larger than the file. A real collection's face is cut whole meanwhile.
  it('AnswersNoMoreThanTheFileHolds', {skip: whySkipFonts()}, async () => {
    const spanning = path.join(dir, 'spanning.ttc');
    fs.writeFileSync(spanning, h.makeSpanningCollection(fs.readFileSync(kDejaVu), 2000));
    server.send(JSON.stringify({
      [spanning]: [h.face('DejaVu Sans', 'Book', {postscript: 'DejaVuSans'})],
      [kZenHei]: [h.face('WenQuanYi Zen Hei', 'Regular', {postscript: 'WenQuanYiZenHei'})],
    }) + '\n');
    await server.stderr.waitFor(/catalogue \d+: 2 faces in 2 files/);

    const refused = await get(`${fontUrl(spanning)}&postscript=DejaVuSans`);
    assert.equal(refused.status, 200);
    assert.deepEqual(refused.body, fs.readFileSync(spanning));

    const zenhei = fs.readFileSync(kZenHei);
    const cut = await get(`${fontUrl(kZenHei)}&postscript=WenQuanYiZenHei`);
    assert.equal(cut.headers['content-type'], 'font/ttf');
    assert.ok(cut.body.length <= zenhei.length);
    assert.deepEqual(h.fontTables(cut.body), h.fontTables(zenhei, zenhei.readUInt32BE(12)));
  });

  // A reader that stops reading holds a chunk, not the file, and is dropped
  // once it has taken nothing for the stall limit; others are served meanwhile.
  it('DropsAReaderThatStopsReading', async () => {
    const big = path.join(dir, 'big.ttf');
    fs.writeFileSync(big, Buffer.from([0, 1, 0, 0]));
    fs.truncateSync(big, 256 * 1024 * 1024);  // sparse: no disk, all zeros
    server.send(JSON.stringify({[big]: [h.face('Big', 'Regular')], [fontA]: [h.face('Alpha',
      'Regular')]}) + '\n');
    await server.stderr.waitFor(/catalogue \d+: 2 faces in 2 files/);

    const stalled = tls.connect({host: '127.0.0.1', port, ca: creds.ca, servername: 'localhost'});
    stalled.on('error', () => {});
    await h.within(once(stalled, 'secureConnect'), 'the TLS handshake');
    stalled.write(`GET ${fontUrl(big)} HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n\r\n`);
    try {
      // Nothing reads `stalled` from here on.
      const font = await get(fontUrl(fontA));
      assert.deepEqual(font.body, fs.readFileSync(fontA));
      await server.stderr.waitFor('dropped a reader that stopped reading', {anywhere: true});
      const {peak} = h.memoryKiB(server.child.pid);
      assert.ok(peak < 256 * 1024, `the server held ${peak} KiB for a 256 MiB answer`);
    } finally {
      stalled.destroy();
    }
  });

  // A page that stops taking events holds at most one it has not taken: at
  // the next, it is dropped (it reconnects and gets the current one).
  it('DropsAnEventStreamWhosePageStopsReading', async () => {
    const stalled = tls.connect({host: '127.0.0.1', port, ca: creds.ca, servername: 'localhost'});
    stalled.on('error', () => {});
    await h.within(once(stalled, 'secureConnect'), 'the TLS handshake');
    stalled.write(`GET /events HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n\r\n`);
    const events = h.openEvents(port, creds.ca);
    try {
      await events.next();
      // Each catalogue is an event of about 1 MB; the socket buffers fill and
      // then the stalled page holds the rest.
      const dropped = server.stderr.waitFor('dropped an event stream whose page stopped reading',
          {anywhere: true});
      let sent = 0;
      let done = false;
      dropped.then(() => { done = true; }, () => {});
      while (!done) {
        const big = {};
        for (let i = 0; i < 5000; i++) {
          big[`/usr/share/fonts/many/font-${sent}-${i}.ttf`] = [h.face(`Family ${i}`, 'Regular')];
        }
        server.send(JSON.stringify(big) + '\n');
        sent += 1;
        await events.next();
        assert.ok(sent < 64, 'the stalled page is still sent events');
      }
      await dropped;
    } finally {
      events.close();
      stalled.destroy();
    }
  });

  it('KeepsRunningWithALargeCatalogue', async () => {
    const big = {};
    for (let i = 0; i < 3000; i++) {
      big[`/usr/share/fonts/many/font-${i}.ttf`] = [
        h.face(`Family ${i % 700}`, `Style ${i}`, {weight: 100 * (1 + (i % 9)), stretch: 1 + (i % 9),
          italic: i % 2 === 0, localizedFamily: `Familie ${i % 700}`, localizedStyle: `Stil ${i}`})];
    }
    server.send(JSON.stringify(big) + '\n');
    await server.stderr.waitFor(/catalogue \d+: 3000 faces in 3000 files/);
    const json = await get('/catalogue.json');
    assert.equal(Object.keys(JSON.parse(json.body)).length, 3000);
  });

  it('DropsALineOverTheLimitAndReadsTheNextOne', async () => {
    const over = Buffer.alloc(64 * 1024 * 1024 + 1, 'x');
    server.send(over);
    server.send('\n{}\n');
    await server.stderr.waitFor(/ignoring a line from the agent: line of 67108865 bytes/);
    await server.stderr.waitFor(/catalogue \d+: 0 faces in 0 files/);
    assert.equal((await get('/catalogue.json')).body.toString(), '{}');
  });
});

describe('companion server start', () => {
  let dir;
  let creds;
  before(() => {
    dir = h.tempDir('kavri-companion-');
    creds = h.makeCredentials(dir);
  });
  after(() => fs.rmSync(dir, {recursive: true, force: true}));

  it('WrongPassPhraseEndsItWithAClearMessage', async () => {
    const server = h.spawnCompanion();
    const wrong = creds.passphrase.replace(/^./, (c) => (c === 'A' ? 'B' : 'A'));
    server.send(`${creds.container};${wrong}\n`);
    const {code} = await server.exited;
    assert.notEqual(code, 0);
    await server.stderr.waitFor(/cannot open the certificate container/);
    assert.ok(!server.stderr.text.includes(wrong), 'the pass phrase is never printed');
    assert.ok(!server.stderr.text.includes(creds.passphrase));
  });

  it('MalformedHandshakeEndsIt', async () => {
    const server = h.spawnCompanion();
    server.send('{}\n');
    assert.notEqual((await server.exited).code, 0);
    await server.stderr.waitFor(/bad handshake/);
  });

  it('InputEndingBeforeTheHandshakeEndsIt', async () => {
    const server = h.spawnCompanion();
    server.send(`${creds.container};${creds.passphrase}`);
    assert.notEqual((await server.stop()).code, 0);
    await server.stderr.waitFor(/ended before the handshake/);
  });

  it('EndOfInputEndsARunningServer', async () => {
    const server = h.spawnCompanion();
    server.send(`${creds.container};${creds.passphrase}\n{}\n`);
    await server.port();
    assert.deepEqual(await server.stop(), {code: 0, signal: null});
  });

  it('DefaultPortInUseFallsBackToAFreePort', async () => {
    const blocker = net.createServer();
    await new Promise((resolve, reject) => {
      blocker.once('error', (e) => (e.code === 'EADDRINUSE' ? resolve() : reject(e)));
      blocker.listen(kDefaultPort, '127.0.0.1', resolve);
    });
    try {
      const server = h.spawnCompanion({KAVRI_PORT: undefined});
      server.send(`${creds.container};${creds.passphrase}\n`);
      await server.stderr.waitFor(`port ${kDefaultPort} is in use; taking a free port instead`);
      assert.notEqual(await server.port(), kDefaultPort);
      await server.stop();
    } finally {
      blocker.close();
    }
  });

  it('FixedPortInUseIsAClearError', async () => {
    const first = h.spawnCompanion();
    first.send(`${creds.container};${creds.passphrase}\n`);
    const port = await first.port();
    const second = h.spawnCompanion({KAVRI_PORT: String(port)});
    second.send(`${creds.container};${creds.passphrase}\n`);
    assert.notEqual((await second.exited).code, 0);
    await second.stderr.waitFor(`cannot listen on 127.0.0.1:${port}`);
    await first.stop();
  });
});

// The server ships as one file that reads nothing beside it: every test above
// runs it alone in a folder of its own.
describe('the shipped file', () => {
  it('DependsOnlyOnTheBytesOfItsSources', () => {
    const root = h.tempDir('kavri-sources-');
    try {
      for (const name of ['daemon.js', 'server', 'page']) {
        fs.cpSync(path.join(__dirname, name), path.join(root, name), {recursive: true});
      }
      assert.deepEqual(assemble(root), assemble());
      const module = path.join(root, 'server', 'extra.js');
      for (const [text, why] of [
        ["require('../harness.js');\n", /requires \.\.\/harness\.js, which is not one of/],
        ["require('./missing.js');\n", /requires \.\/missing\.js, which is not one of/],
        ["require('left-pad');\n", /requires left-pad, which is not a Node built-in/],
        ['const page = "@page:missing.html@";\n', /names missing\.html, which is not in/],
      ]) {
        fs.writeFileSync(module, text);
        assert.throws(() => assemble(root), why);
      }
      fs.writeFileSync(module, "require('node:fs');\n");
      fs.writeFileSync(path.join(root, 'page', 'unused.css'), '');
      assert.throws(() => assemble(root), /no source has a marker for unused\.css/);
    } finally {
      fs.rmSync(root, {recursive: true, force: true});
    }
  });

  it('ItsSourceRunsBesideItsModulesButWantsItsPage', async () => {
    const server = h.spawnCompanion({}, path.join(__dirname, 'daemon.js'));
    assert.equal((await server.exited).code, 1);
    await server.stderr.waitFor('this is the server\'s source without its page');
  });
});
