'use strict';
// The companion server as the agent runs it: a child process fed a real
// certificate container and catalogues on its standard input, queried on
// loopback over plain HTTP, as browsers open its page, and over TLS.

const assert = require('node:assert/strict');
const fs = require('fs');
const net = require('net');
const path = require('path');
const {execFileSync, spawn} = require('child_process');
const {once} = require('events');
const {describe, it, before, after} = require('node:test');
const {assemble} = require('./assemble.js');
const h = require('./tests/harness.js');
const {kFactBits} = require('./server/font_facts.js');
const {kLanguages} = require('./server/languages.js');
const {kFirstPort, kLastPort} = require('./server/port.js');

const kDejaVu = '/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf';
const kZenHei = '/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc';
const kDejaVuMono = '/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf';

// Resolves when `socket` closes, reset or not.
const closing = (socket) => new Promise((resolve) => socket.on('close', resolve));

// How often `line` is in a log, a repeat's summary ("LINE (3 times in the
// last 2 s)") counting for its repeats.
function timesLogged(text, line) {
  const escaped = line.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
  return [...text.matchAll(new RegExp(`${escaped}(?: \\((\\d+) times[^\n]*)?\n`, 'g'))]
      .reduce((n, m) => n + Number(m[1] || 1), 0);
}

function whyNoNetworkNamespace() {
  try {
    execFileSync('unshare', ['--net', 'true'], {stdio: 'ignore'});
    return false;
  } catch (e) {
    return `cannot make a network namespace here (unshare --net: ${e.message})`;
  }
}

function whySkipFonts() {
  const missing = [kDejaVu, kZenHei, kDejaVuMono].filter((f) => !fs.existsSync(f));
  return missing.length > 0 && `${missing[0]} is missing (scripts/deps test installs it)`;
}

// Shortened waits, so that what they bound happens within a test.
const kLimits = {stallMs: 2000, handshakeMs: 2000, headersMs: 2000, updateCheckMs: 2000,
  repeatLogMs: 200};

describe('companion server', () => {
  let dir;
  let creds;
  let server;
  let port;
  let fontA;
  let fontB;
  // Each guard holds on both: plain HTTP and TLS.
  let vias;
  const get = (urlPath, headers, via = h.plain) => h.request(port, via, {path: urlPath, headers});
  const post = (urlPath, headers, via = h.plain) =>
    h.request(port, via, {method: 'POST', path: urlPath, headers});
  const fontUrl = (file) => `/font?path=${encodeURIComponent(file)}`;
  const ownOrigin = (via) => `${via.scheme}://127.0.0.1:${port}`;

  before(async () => {
    dir = h.tempDir('kavri-companion-');
    creds = h.makeCredentials(dir);
    vias = [h.plain, h.overTls(creds.ca)];
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
    for (const via of vias) {
      const json = await get('/catalogue.json', {}, via);
      assert.equal(json.status, 200);
      assert.equal(json.headers['content-type'], 'application/json');
      assert.deepEqual(JSON.parse(json.body), {[fontA]: [h.face('Alpha', 'Regular')]});

      // The page's files come out byte for byte as written under page/.
      const pageFile = (name) => fs.readFileSync(path.join(__dirname, 'page', name));
      const modules = ['model.js', 'samples.js', 'family_view.js', 'address.js']
          .map((file) => [`/${file}`, /^text\/javascript/, file]);
      for (const [urlPath, type, file] of [['/', /^text\/html/, 'index.html'],
        ['/app.js', /^text\/javascript/, 'page.js'], ['/app.css', /^text\/css/, 'page.css'],
        ...modules]) {
        const page = await get(urlPath, {}, via);
        const what = `${via.scheme} ${urlPath}`;
        assert.equal(page.status, 200, what);
        assert.match(page.headers['content-type'], type);
        assert.match(page.headers['content-security-policy'], /script-src 'self'/);
        assert.equal(page.headers['x-frame-options'], 'DENY', what);
        // The page is also served plain: a browser told to keep to TLS could not open it.
        assert.equal(page.headers['strict-transport-security'], undefined, what);
        assert.deepEqual(page.body, pageFile(file), what);
      }
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
    for (const via of vias) {
      const status = async (answer) => (await answer).status;
      for (const host of ['evil.example', `evil.example:${port}`, `127.0.0.1:${port + 1}`]) {
        assert.equal(await status(get('/catalogue.json', {Host: host}, via)), 421, host);
      }
      assert.equal(await status(get('/catalogue.json', {Host: `localhost:${port}`}, via)), 200);
      for (const origin of ['https://evil.example', 'http://evil.example',
        `http://127.0.0.1:${port + 1}`, `http://evil.example:${port}`]) {
        assert.equal(await status(get('/catalogue.json', {Origin: origin}, via)), 403, origin);
        assert.equal(await status(post('/check-for-updates', {Origin: origin}, via)), 403, origin);
      }
      assert.equal(await status(get(fontUrl(fontA), {'Sec-Fetch-Site': 'cross-site'}, via)), 403);

      assert.equal(await status(post('/check-for-updates', {}, via)), 403);
      assert.equal(await status(post('/check-for-updates', {Origin: 'null'}, via)), 403);
      assert.equal(await status(post('/check-for-updates', {Host: `evil.example:${port}`,
        Origin: `${via.scheme}://evil.example:${port}`}, via)), 421);
      assert.equal(await status(get('/check-for-updates', {}, via)), 405);
      assert.equal(await status(post('/catalogue.json', {Origin: ownOrigin(via)}, via)), 405);
    }
    assert.equal(server.stdout.text, '', 'no refused request may reach the agent');
  });

  it('UpdateCheckFromItsOwnPageReachesTheAgent', async () => {
    const res = await post('/check-for-updates', {Origin: ownOrigin(h.plain),
      'Sec-Fetch-Site': 'same-origin'});
    assert.equal(res.status, 204);
    await server.stdout.waitFor('CHECK FOR UPDATES\n');
    assert.equal(server.stdout.text, 'CHECK FOR UPDATES\n');
  });

  // However many come at once, over either, the agent gets one line per
  // window, and every request is counted in the log line of the check it joined.
  it('UpdateChecksAreCoalesced', async () => {
    const agents = vias.map((via) =>
      new via.client.Agent({keepAlive: true, maxSockets: 2, ...via.options}));
    const postOnce = (_, i) => new Promise((resolve, reject) => {
      const via = vias[i % 2];
      via.client.request({host: '127.0.0.1', port, method: 'POST', path: '/check-for-updates',
        agent: agents[i % 2], ...via.options,
        headers: {Host: `127.0.0.1:${port}`, Origin: ownOrigin(via)}}, (res) => {
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
      for (const agent of agents) agent.destroy();
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

  // Other users' clients are cut off before a byte is read: a client run as
  // nobody gets no byte of the catalogue or of a font it cannot read, over
  // TLS or plain, and is logged once.
  it('AnswersOnlyItsOwnUser', async () => {
    const probe = `
      const net = require('net');
      const tls = require('tls');
      const [port, fontPath] = process.argv.slice(1);
      const ask = (path, secure) => new Promise((resolve) => {
        const s = secure ? tls.connect({host: '127.0.0.1', port, rejectUnauthorized: false})
                         : net.connect(port, '127.0.0.1');
        let handshake = false;
        let bytes = 0;
        s.on(secure ? 'secureConnect' : 'connect', () => {
          handshake = secure;
          s.write('GET ' + path + ' HTTP/1.1\\r\\nHost: 127.0.0.1:' + port + '\\r\\n\\r\\n');
        });
        s.on('data', (d) => { bytes += d.length; });
        s.on('error', () => {});
        s.on('close', () => resolve({path, secure, handshake, bytes}));
      });
      const font = '/font?path=' + encodeURIComponent(fontPath);
      Promise.all([ask('/catalogue.json', true), ask(font, true), ask('/catalogue.json', false),
        ask(font, false)]).then((r) => console.log(JSON.stringify(r)));
    `;
    const child = spawn(process.execPath, ['-e', probe, String(port), fontA],
        {uid: 65534, gid: 65534, cwd: '/', stdio: ['ignore', 'pipe', 'inherit']});
    const out = new h.OutputWatcher(child.stdout, 'nobody\'s client');
    const [line] = await out.waitFor(/^\[.*\]$/m);
    const answers = JSON.parse(line);
    assert.equal(answers.length, 4);
    for (const r of answers) {
      assert.deepEqual(r, {path: r.path, secure: r.secure, handshake: false, bytes: 0},
          `${r.secure ? 'TLS' : 'plain'} ${r.path}`);
    }
    await h.within(once(child, 'exit'), 'the end of nobody\'s client');
    await server.stderr.waitFor('refusing connections from uid 65534: only uid 0 is answered',
        {anywhere: true});
    assert.equal(server.stderr.text.split('refusing connections from uid 65534').length - 1, 1);

    for (const via of vias) {
      const mine = await get('/catalogue.json', {}, via);
      assert.equal(mine.status, 200);
      assert.ok(mine.body.includes(fontA));
    }
  });

  // Connections that never send a byte, or start a TLS handshake or a
  // request and never finish it, are dropped after their limits; a full house
  // of them gives way to a client that asks, over either.
  it('IdleConnectionsCannotLockThePageOut', async () => {
    const starts = [null, Buffer.from([0x16, 0x03, 0x01]), Buffer.from('GET / HTTP/1.1\r\n')];
    const connect = (_, i) => new Promise((resolve, reject) => {
      const s = net.connect(port, '127.0.0.1', () => {
        if (starts[i % 3]) s.write(starts[i % 3]);
        resolve(s);
      });
      s.on('error', reject);
    });
    const idle = await Promise.all(Array.from({length: 256}, connect));
    const closed = idle.map(closing);
    try {
      for (const via of vias) assert.equal((await get('/catalogue.json', {}, via)).status, 200);
      await h.within(Promise.all(closed), 'closing every idle connection');
      for (const why of ['sent nothing within 2 s', 'TLS handshake failed or took too long',
        'request did not come in time']) {
        await server.stderr.waitFor(why, {anywhere: true});
      }
    } finally {
      for (const s of idle) s.destroy();
    }
  });

  // The newest page gets its stream; the oldest one gives way.
  it('TheNewestEventStreamTakesTheOldestsPlace', async () => {
    const streams = [];
    try {
      for (let i = 0; i < 33; i++) {
        streams.push(h.openEvents(port, vias[i % 2]));
        await streams[i].next();
      }
      await h.within(streams[0].ended, 'closing the oldest stream');
      server.send(JSON.stringify({[fontA]: [h.face('Alpha', 'Bold', {weight: 700})]}) + '\n');
      for (const stream of streams.slice(1)) {
        assert.deepEqual((await stream.next()).styles, ['Bold']);
      }
      await server.stderr.waitFor('closed the oldest one\'s event stream', {anywhere: true});
    } finally {
      for (const stream of streams) stream.close();
    }
  });

  it('PushesNewCataloguesAndKeepsTheLastGoodOne', async () => {
    const events = h.openEvents(port, h.plain);
    try {
      const first = await events.next();
      assert.deepEqual(first.families, ['Alpha']);
      assert.deepEqual(first.files, [fontA]);

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
      assert.deepEqual(h.familiesOf(pushed).map((f) => [f.family, f.name]),
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
      assert.deepEqual(third.families, ['Beta']);
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

  // Facts the catalogue does not carry, read from the files themselves: for
  // a collection, each face's own; for a file that cannot be read, none.
  it('AnswersTheFactsOfTheFacesAPageShows', {skip: whySkipFonts()}, async () => {
    const events = h.openEvents(port, h.plain);
    try {
      await events.next();
      server.send(JSON.stringify({
        [kZenHei]: [h.face('WenQuanYi Zen Hei', 'Regular', {postscript: 'WenQuanYiZenHei'}),
          h.face('WenQuanYi Zen Hei Mono', 'Regular', {postscript: 'WenQuanYiZenHeiMono'})],
        [kDejaVuMono]: [h.face('DejaVu Sans Mono', 'Book')],
        [path.join(dir, 'gone.ttf')]: [h.face('Gone', 'Regular')],
      }) + '\n');
      const {generation, families} = await events.next();
      assert.deepEqual(families, ['DejaVu Sans Mono', 'Gone', 'WenQuanYi Zen Hei',
        'WenQuanYi Zen Hei Mono']);
      const res = await get(`/facts?generation=${generation}&faces=0,1,3`);
      assert.equal(res.status, 200);
      const {facts, extra} = JSON.parse(res.body);
      const korean = kFactBits.firstLanguage << kLanguages.findIndex((l) => l.code === 'ko');
      const {read, mono, mapped} = kFactBits;
      assert.deepEqual(facts.filter((_, k) => k % 2 === 0), [0, 1, 3]);
      const [sansMono, gone, zenhei] = facts.filter((_, k) => k % 2 === 1);
      assert.equal(sansMono & (read | mono | mapped | korean), read | mono | mapped);
      assert.equal(gone, read);
      assert.equal(zenhei & (read | mapped | korean), read | mapped | korean);
      assert.deepEqual(extra, {});

      assert.equal((await get(`/facts?generation=${generation + 1}&faces=0`)).status, 409);
      for (const faces of ['4', '-1', 'x', Array(513).fill(0).join(',')]) {
        assert.equal((await get(`/facts?generation=${generation}&faces=${faces}`)).status, 400);
      }
    } finally {
      events.close();
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
  // (Its socket closes only once it reads what the kernel still holds.)
  it('DropsAReaderThatStopsReading', async () => {
    const big = path.join(dir, 'big.ttf');
    fs.writeFileSync(big, Buffer.from([0, 1, 0, 0]));
    fs.truncateSync(big, 256 * 1024 * 1024);  // sparse: no disk, all zeros
    server.send(JSON.stringify({[big]: [h.face('Big', 'Regular')], [fontA]: [h.face('Alpha',
      'Regular')]}) + '\n');
    await server.stderr.waitFor(/catalogue \d+: 2 faces in 2 files/);

    const dropped = 'dropped a reader that stopped reading';
    for (const via of vias) {
      const before = timesLogged(server.stderr.text, dropped);
      const stalled = await h.within(h.connect(port, via), `a ${via.scheme} connection`);
      stalled.write(`GET ${fontUrl(big)} HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n\r\n`);
      try {
        // Nothing reads `stalled` from here on.
        const font = await get(fontUrl(fontA), {}, via);
        assert.deepEqual(font.body, fs.readFileSync(fontA));
        await server.stderr.waitFor((text) => timesLogged(text, dropped) > before,
            {anywhere: true});
        const {peak} = h.memoryKiB(server.child.pid);
        assert.ok(peak < 256 * 1024, `the server held ${peak} KiB for a 256 MiB answer`);
      } finally {
        stalled.destroy();
      }
    }
  });

  // A page that stops taking events holds at most one it has not taken: at
  // the next, it is dropped (it reconnects and gets the current one).
  it('DropsAnEventStreamWhosePageStopsReading', async () => {
    const dropped = 'dropped an event stream whose page stopped reading';
    const before = timesLogged(server.stderr.text, dropped);
    const stalled = await Promise.all(vias.map((via) => h.connect(port, via)));
    for (const s of stalled) s.write(`GET /events HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n\r\n`);
    const events = h.openEvents(port, h.plain);
    try {
      await events.next();
      // Each catalogue is an event of about 1 MB; the socket buffers fill and
      // then the stalled pages hold the rest.
      for (let sent = 0; timesLogged(server.stderr.text, dropped) < before + 2; sent++) {
        assert.ok(sent < 64, 'a stalled page is still sent events');
        const big = {};
        for (let i = 0; i < 5000; i++) {
          big[`/usr/share/fonts/many/font-${sent}-${i}.ttf`] = [h.face(`Family ${i}`, 'Regular')];
        }
        server.send(JSON.stringify(big) + '\n');
        await events.next();
      }
    } finally {
      events.close();
      for (const s of stalled) s.destroy();
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
    // Without a runtime directory the address is only logged.
    const server = h.spawnCompanion({XDG_RUNTIME_DIR: undefined});
    server.send(`${creds.container};${creds.passphrase}\n{}\n`);
    await server.port();
    assert.deepEqual(await server.stop(), {code: 0, signal: null});
    assert.doesNotMatch(server.stderr.text, /cannot/);
  });

  // Each account keeps one address whoever starts first, in the short range
  // web apps look in: the first port of it no other account holds is
  // remembered; another account holding that makes it take the next free
  // one of the range; its own other server holding it does not. Past the
  // range, a free port, and the page says web apps cannot find it. In a
  // network namespace of its own, where the range is nobody else's.
  it('EachAccountKeepsItsAddressWhoeverStartsFirst', {skip: whyNoNetworkNamespace()}, async () => {
    const holder = spawn('unshare', ['--net', 'sh', '-c', 'echo ready; exec cat'],
        {stdio: ['pipe', 'pipe', 'inherit']});
    const holderExited = once(holder, 'exit');
    const inNamespace = ['nsenter', `--net=/proc/${holder.pid}/ns/net`, '--'];
    const asUser = (uid) => [...inNamespace, 'setpriv', `--reuid=${uid}`, `--regid=${uid}`,
      '--clear-groups'];
    const homes = [];
    const account = (uid) => {
      const home = h.tempDir(`kavri-${uid}-`);
      homes.push(home);
      fs.chownSync(home, uid, uid);
      return {wrap: uid === 0 ? inNamespace : asUser(uid), env: {HOME: home,
        XDG_STATE_HOME: path.join(home, 'state'), XDG_RUNTIME_DIR: path.join(home, 'run')},
      state: path.join(home, 'state/kavri/port'), address: path.join(home, 'run/kavri/address')};
    };
    const accounts = {root: account(0), nobody: account(65534), late: account(65531)};
    const running = [];
    const start = async (who, env = {}) => {
      const server = h.spawnCompanion({KAVRI_PORT: undefined, ...accounts[who].env, ...env},
          undefined, {wrap: accounts[who].wrap});
      running.push(server);
      server.send(`${creds.container};${creds.passphrase}\n`);
      return {server, port: await server.port()};
    };
    const filesSay = (who, port) => {
      const {address, state} = accounts[who];
      assert.equal(fs.readFileSync(address, 'utf8'), `http://127.0.0.1:${port}/\n`, who);
      assert.equal(fs.readFileSync(state, 'utf8'), `${port}\n`, who);
      for (const dir of [address, state].map((file) => path.dirname(file))) {
        assert.equal(fs.statSync(dir).mode & 0o777, 0o700, dir);
      }
    };
    // Other accounts' listeners on `ports`, in the namespace.
    const occupy = async (uid, ports) => {
      const child = spawn(asUser(uid)[0], [...asUser(uid).slice(1), process.execPath, '-e', `
        const net = require('net');
        Promise.all(${JSON.stringify(ports)}.map((p) => new Promise((resolve) =>
          net.createServer((s) => s.destroy()).listen(p, '127.0.0.1', resolve))))
          .then(() => console.log('ready'));
        process.stdin.on('end', () => process.exit(0)).resume();`],
      {stdio: ['pipe', 'pipe', 'inherit']});
      await new h.OutputWatcher(child.stdout, 'a listener').waitFor('ready');
      return child;
    };
    const occupiers = [];
    try {
      await new h.OutputWatcher(holder.stdout, 'the namespace').waitFor('ready');
      const first = await start('root');
      assert.equal(first.port, kFirstPort);
      filesSay('root', kFirstPort);
      const second = await start('nobody');
      assert.equal(second.port, kFirstPort + 1);
      filesSay('nobody', second.port);
      assert.equal(fs.statSync(accounts.nobody.state).uid, 65534);

      // Its own account's (a predecessor not gone) is waited for, then stood
      // in for this run alone; the address goes elsewhere to keep the first's.
      const again = await start('root', {XDG_RUNTIME_DIR: path.join(accounts.root.env.HOME,
        'run-again')});
      await again.server.stderr.waitFor(`port ${kFirstPort} is in use; taking a free port ` +
          'instead', {anywhere: true});
      assert.notEqual(again.port, kFirstPort);
      filesSay('root', kFirstPort);

      for (const server of running.splice(0)) assert.equal((await server.stop()).code, 0);
      const nobodyAgain = await start('nobody');
      const rootAgain = await start('root');
      assert.deepEqual([nobodyAgain.port, rootAgain.port], [second.port, kFirstPort]);
      filesSay('nobody', second.port);
      filesSay('root', kFirstPort);
      for (const {server} of [nobodyAgain, rootAgain]) {
        assert.doesNotMatch(server.stderr.text, /free port|remembering/);
      }

      // Its remembered port taken by another account while it was stopped:
      // the next free one of the range, kept from then on.
      assert.equal((await nobodyAgain.server.stop()).code, 0);
      occupiers.push(await occupy(65533, [kFirstPort + 1]));
      const moved = await start('nobody');
      assert.equal(moved.port, kFirstPort + 2);
      await moved.server.stderr.waitFor(`port ${kFirstPort + 1} is held by another account`,
          {anywhere: true});
      filesSay('nobody', kFirstPort + 2);

      // The range full: a free port, remembered, and the page says so.
      const rest = [];
      for (let p = kFirstPort + 3; p <= kLastPort; p++) rest.push(p);
      occupiers.push(await occupy(65532, rest));
      const late = await start('late');
      assert.ok(late.port < kFirstPort || late.port > kLastPort, `${late.port}`);
      await late.server.stderr.waitFor(`ports ${kFirstPort} to ${kLastPort} are held by other ` +
          'accounts; taking a free port, where web apps cannot find this server', {anywhere: true});
      filesSay('late', late.port);
    } finally {
      for (const server of running) await server.stop();
      for (const child of occupiers) child.stdin.end();
      holder.stdin.end();
      await holderExited;
      for (const dir of homes) fs.rmSync(dir, {recursive: true, force: true});
    }
  });

  // A port set is taken as it is: never another, and never remembered.
  it('ASetPortIsTakenAsGivenOrNotAtAll', async () => {
    const first = h.spawnCompanion();
    first.send(`${creds.container};${creds.passphrase}\n`);
    const port = await first.port();
    assert.equal(fs.readFileSync(path.join(first.env.XDG_RUNTIME_DIR, 'kavri/address'), 'utf8'),
        `http://127.0.0.1:${port}/\n`);
    assert.ok(!fs.existsSync(path.join(first.env.HOME, '.local/state/kavri')));
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
      for (const name of ['daemon.js', 'server', 'page', 'client']) {
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
      assert.throws(() => assemble(root), /no source has a marker for page\/unused\.css/);
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
