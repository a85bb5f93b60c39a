'use strict';
// Other web sites and the server: which origins can be allowed, the file
// that keeps them, and the shipped server answering sites as a browser
// makes them ask: refused (readably) until the user allows them on the
// consent page, then the faces, their bytes and news of changes, and
// refused again once removed. A site can never allow itself.

const assert = require('node:assert/strict');
const fs = require('fs');
const http = require('http');
const path = require('path');
const {describe, it, before, after} = require('node:test');
const {AllowedSites, allowedSitesFile, isAllowable} = require('./server/allowed_sites.js');
const {isFindablePort} = require('./server/port.js');
const {fullNameOf} = require('./server/web_api.js');
const h = require('./tests/harness.js');

const kDejaVu = '/usr/share/fonts/truetype/dejavu';
const kSans = path.join(kDejaVu, 'DejaVuSans.ttf');
const kSerif = path.join(kDejaVu, 'DejaVuSerif.ttf');
const kMono = path.join(kDejaVu, 'DejaVuSansMono.ttf');
const kSite = 'https://fonts-app.example';

function whySkipFonts() {
  const missing = [kSans, kSerif, kMono].find((f) => !fs.existsSync(f));
  return missing ? `${missing} is missing (fonts-dejavu-core)` : false;
}

describe('allowed sites', () => {
  it('OnlyHttpsOriginsAndHttpOnLoopbackCanBeAllowed', () => {
    for (const origin of ['https://example.com', 'https://app.example.com:8443',
      'https://xn--bcher-kva.example', 'https://192.0.2.7', 'https://[2001:db8::1]',
      'http://localhost', 'http://localhost:3000', 'http://127.0.0.1:5173', 'http://[::1]:8080']) {
      assert.equal(isAllowable(origin), true, origin);
    }
    for (const origin of ['null', 'file://', 'http://example.com', 'http://192.168.1.2:8080',
      'http://127.0.0.2', 'http://localhost.example.com', 'https://*.example.com',
      'https://example.com/', 'https://example.com/path', 'HTTPS://EXAMPLE.COM',
      'https://Example.com', 'https://user@example.com', 'https://example.com:443',
      'ws://localhost', 'chrome-extension://abcdef', 'https://exa mple.com', '',
      'https://' + 'a'.repeat(400) + '.com', undefined, 42, 'https://example.com\n']) {
      assert.equal(isAllowable(origin), false, String(origin));
    }
  });

  it('LiveInTheAccountsConfigDirectory', () => {
    assert.equal(allowedSitesFile({HOME: '/home/a'}), '/home/a/.config/kavri/allowed-sites');
    assert.equal(allowedSitesFile({HOME: '/home/a', XDG_CONFIG_HOME: '/cfg'}),
        '/cfg/kavri/allowed-sites');
    assert.equal(allowedSitesFile({HOME: '/home/a', XDG_CONFIG_HOME: 'cfg'}),
        '/home/a/.config/kavri/allowed-sites');
    assert.equal(allowedSitesFile({}), null);
  });

  // A hand edit counts at once; a file that cannot be trusted allows
  // nothing, is said once, and stays as it is until the list is changed.
  it('TakeHandEditsAndNeverTrustOrOverwriteABadFile', () => {
    const dir = h.tempDir('kavri-sites-');
    try {
      const file = path.join(dir, 'kavri', 'allowed-sites');
      const said = [];
      const removed = [];
      const sites = new AllowedSites(file, {log: (m) => said.push(m), onRemoved: (o) => removed.push(o)});
      assert.deepEqual(sites.list(), []);
      assert.equal(sites.add('http://example.com'), false);
      assert.equal(sites.add(kSite), true);
      assert.equal(sites.add('http://localhost:3000'), true);
      assert.equal(fs.statSync(path.dirname(file)).mode & 0o777, 0o700);
      assert.equal(fs.statSync(file).mode & 0o777, 0o600);
      assert.deepEqual(new AllowedSites(file).list(), [kSite, 'http://localhost:3000']);
      assert.deepEqual(fs.readdirSync(path.dirname(file)), ['allowed-sites']);

      fs.writeFileSync(file, `# mine\n\n  https://other.example  \n${kSite}\n`);
      assert.deepEqual(sites.list(), ['https://other.example', kSite]);
      assert.deepEqual(removed, ['http://localhost:3000']);

      const bad = {
        malformed: `${kSite}\nhttp://example.com\n`,
        pattern: 'https://*.example.com\n',
        binary: Buffer.from([0x68, 0x74, 0x74, 0x70, 0, 0xff, 0xfe]),
        huge: `${kSite}\n`.repeat(4000),
      };
      for (const [kind, bytes] of Object.entries(bad)) {
        said.length = 0;
        fs.writeFileSync(file, bytes);
        assert.equal(sites.has(kSite), false, kind);
        assert.deepEqual(sites.list(), [], kind);
        assert.equal(said.length, 1, `${kind}: said once: ${said}`);
        assert.match(said[0], /allows no site/);
        assert.deepEqual(fs.readFileSync(file), Buffer.from(bytes), kind);
      }
      // A link elsewhere, and something that is no file, are not followed.
      const elsewhere = path.join(dir, 'elsewhere');
      fs.writeFileSync(elsewhere, `${kSite}\n`);
      fs.rmSync(file);
      fs.symlinkSync(elsewhere, file);
      assert.equal(sites.has(kSite), false);
      assert.match(sites.fault, /it is a link/);
      fs.rmSync(file);
      fs.mkdirSync(file);
      assert.equal(sites.has(kSite), false);
      assert.match(sites.fault, /not a regular file/);
      fs.rmdirSync(file);
      fs.symlinkSync(elsewhere, file);
      // The user's next change replaces it, with what they allowed since.
      assert.equal(sites.add('https://new.example'), true);
      assert.equal(fs.lstatSync(file).isFile(), true);
      assert.deepEqual(sites.list(), ['https://new.example']);
      assert.equal(sites.fault, null);
      assert.equal(fs.readFileSync(elsewhere, 'utf8'), `${kSite}\n`);
      assert.equal(sites.remove('https://new.example'), true);
      assert.deepEqual(new AllowedSites(file).list(), []);
    } finally {
      fs.rmSync(dir, {recursive: true, force: true});
    }
  });

  it('DerivesAFullNameAsFontsNameTheirFaces', () => {
    assert.equal(fullNameOf('DejaVu Sans', 'Book'), 'DejaVu Sans');
    assert.equal(fullNameOf('Inter', 'Regular'), 'Inter');
    assert.equal(fullNameOf('DejaVu Sans', 'Bold Oblique'), 'DejaVu Sans Bold Oblique');
  });
});

// A request as a browser sends it for a page of `origin`: a CORS fetch
// (Origin, cross-site fetch metadata), or what `headers` says.
function asSite(origin, headers = {}) {
  return {Origin: origin, 'Sec-Fetch-Site': 'cross-site', 'Sec-Fetch-Mode': 'cors',
    'Sec-Fetch-Dest': 'empty', ...headers};
}

const json = (res) => JSON.parse(res.body.toString('utf8'));

// The faces of the list's columns, as records.
function facesOf(list) {
  return list.postscriptName.map((postscriptName, i) => ({
    family: list.families[list.family[i]], fullName: list.fullName[i], postscriptName,
    style: list.style[i], weight: list.weight[i], stretch: list.stretch[i],
    italic: list.italic[i] === 1, localizedFamily: list.localizedFamily[i] || undefined,
    file: list.files[list.file[i]], format: list.formats[list.file[i]],
    usable: list.usable[list.file[i]] === 1, facts: list.facts[i]}));
}

// The web API's event stream for `origin`: its text, watched, and whether
// it ended.
function openSiteEvents(port, origin) {
  return new Promise((resolve, reject) => {
    const req = http.request({host: '127.0.0.1', port, path: '/api/events', agent: false,
      headers: {Host: `127.0.0.1:${port}`, Accept: 'text/event-stream', ...asSite(origin)}});
    req.on('error', reject);
    req.on('response', (res) => {
      const ended = new Promise((done) => res.on('close', done));
      res.on('error', () => {});
      resolve({status: res.statusCode, headers: res.headers,
        text: new h.OutputWatcher(res, 'the site\'s events'), ended, close: () => req.destroy()});
    });
    req.end();
  });
}

describe('the server and other sites', {skip: whySkipFonts(), timeout: 10 * h.kWaitMs}, () => {
  let dir;
  let creds;
  let account;
  let server;
  let port;
  let catalogue;
  const sitesFile = () => path.join(account, '.config', 'kavri', 'allowed-sites');

  const start = async () => {
    server = h.spawnCompanion({HOME: account, XDG_CONFIG_HOME: undefined,
      KAVRI_COMPANION_LIMITS: JSON.stringify({repeatLogMs: 200})});
    server.send(`${creds.container};${creds.passphrase}\n${JSON.stringify(catalogue)}\n`);
    port = await server.port();
  };
  const get = (urlPath, headers) => h.request(port, h.plain, {path: urlPath, headers});
  const post = (urlPath, headers, body) => h.request(port, h.plain,
      {method: 'POST', path: urlPath, headers, body});
  const own = (headers = {}) => ({Origin: `http://127.0.0.1:${port}`,
    'Sec-Fetch-Site': 'same-origin', 'Sec-Fetch-Mode': 'cors', ...headers});
  // The consent page as the window a site opened shows it: {id, token, html}.
  const consentPage = async (origin) => {
    const asked = await post('/api/consent', asSite(origin));
    assert.equal(asked.status, 200);
    assert.equal(asked.headers['access-control-allow-origin'], origin);
    const address = new URL(json(asked).consent);
    assert.equal(`${address.origin}`, `http://127.0.0.1:${port}`);
    const page = await get(`${address.pathname}${address.search}`, {'Sec-Fetch-Site': 'cross-site',
      'Sec-Fetch-Mode': 'navigate', 'Sec-Fetch-Dest': 'document'});
    assert.equal(page.status, 200);
    const html = page.body.toString('utf8');
    return {address, id: address.searchParams.get('id'), html, headers: page.headers,
      token: /data-token="([0-9a-f]+)"/.exec(html)[1]};
  };
  const answer = (consent, allow, headers = own(), token = consent.token) =>
    post('/consent/answer', {'Content-Type': 'application/json', ...headers},
        JSON.stringify({id: consent.id, token, allow}));

  before(async () => {
    dir = h.tempDir('kavri-web-');
    account = path.join(dir, 'home');
    creds = h.makeCredentials(dir);
    const collection = path.join(dir, 'two.ttc');
    fs.writeFileSync(collection, h.makeCollection([kSans, kSerif].map((f) => fs.readFileSync(f))));
    catalogue = {
      [kSans]: [h.face('DejaVu Sans', 'Book')],
      [collection]: [h.face('Two Sans', 'Bold', {postscript: 'DejaVuSans', weight: 700}),
        h.face('Two Serif', 'Italic', {postscript: 'DejaVuSerif', italic: true, stretch: 3,
          localizedFamily: 'Deux Serif'})],
      [path.join(dir, 'Old.pfb')]: [h.face('Old Roman', 'Regular')],
    };
    await start();
  });

  after(async () => {
    if (server) await server.stop();
    fs.rmSync(dir, {recursive: true, force: true});
  });

  it('ServesTheClientModuleToAnyOrigin', async () => {
    for (const headers of [asSite('https://anyone.example'), asSite('http://example.com'), {}]) {
      const res = await get('/kavri-fonts.js', headers);
      assert.equal(res.status, 200);
      assert.equal(res.headers['content-type'], 'text/javascript; charset=utf-8');
      assert.equal(res.headers['access-control-allow-origin'], '*');
      assert.match(res.body.toString(), /export async function queryLocalFonts/);
    }
  });

  // Refused in a way the site can read, saying how to ask, and no font data.
  it('RefusesSitesNotAllowedReadablyAndMalformedOriginsUnreadably', async () => {
    for (const route of ['/api/fonts', `/api/font?file=${encodeURIComponent(kSans)}`,
      '/api/events']) {
      const res = await get(route, asSite(kSite));
      assert.equal(res.status, 403, route);
      assert.equal(res.headers['access-control-allow-origin'], kSite);
      assert.equal(res.headers.vary, 'Origin');
      assert.equal(res.headers['access-control-allow-credentials'], undefined);
      assert.equal(json(res).error, 'not-allowed');
      assert.match(json(res).message, /POST \/api\/consent/);
    }
    const status = await get('/api/status', asSite(kSite));
    assert.deepEqual([status.status, json(status)], [200, {allowed: false}]);
    for (const origin of ['null', 'https://a.example/x', 'https://*.example', 'file://',
      'https://a.example, https://b.example', 'x'.repeat(5000)]) {
      const res = await get('/api/fonts', asSite(origin));
      assert.equal(res.status, 400, origin);
      assert.equal(res.headers['access-control-allow-origin'], undefined);
    }
    // The page's own routes stay its own, whatever the site.
    for (const route of ['/catalogue.json', '/sites', '/events']) {
      const res = await get(route, asSite(kSite));
      assert.equal(res.status, 403, route);
      assert.equal(res.headers['access-control-allow-origin'], undefined);
    }
    // A site's load without CORS carries no Origin; it is refused too.
    const noCors = await get('/api/fonts', {'Sec-Fetch-Site': 'cross-site',
      'Sec-Fetch-Mode': 'no-cors', 'Sec-Fetch-Dest': 'script'});
    assert.equal(noCors.status, 403);
  });

  // The consent page names the site exactly and cannot be framed; only its
  // own answer, with its token, counts.
  it('ASiteCannotAllowItself', async () => {
    const consent = await consentPage(kSite);
    assert.match(consent.html, new RegExp(`<strong id="origin">${kSite}</strong>`));
    assert.match(consent.html, /4 installed families/);
    // Both come disabled: a click aimed at the site that opened the window
    // lands on nothing.
    assert.match(consent.html, /<button id="allow"[^>]* disabled>Allow<\/button>/);
    assert.match(consent.html, /<button id="deny"[^>]* disabled>Don't allow<\/button>/);
    assert.equal(consent.headers['x-frame-options'], 'DENY');
    assert.match(consent.headers['content-security-policy'], /frame-ancestors 'none'/);
    assert.equal(consent.headers['cross-origin-opener-policy'], undefined);
    // Asked again while it is open: the same page, one per site.
    assert.equal(json(await post('/api/consent', asSite(kSite))).consent, consent.address.href);
    // Framed, fetched or answered by the site itself: refused.
    const framed = await get(`${consent.address.pathname}${consent.address.search}`,
        {'Sec-Fetch-Site': 'cross-site', 'Sec-Fetch-Mode': 'navigate', 'Sec-Fetch-Dest': 'iframe'});
    assert.equal(framed.status, 403);
    const fetched = await get(`${consent.address.pathname}${consent.address.search}`, asSite(kSite));
    assert.equal(fetched.status, 403);
    for (const path of ['/consent/answer', `${consent.address.pathname}${consent.address.search}`]) {
      const res = await post(path, {'Content-Type': 'application/json', ...asSite(kSite)},
          JSON.stringify({id: consent.id, token: consent.token, allow: true}));
      assert.equal(res.status, 403, path);
    }
    // From the page's origin but without the token, with another site's
    // token, or from another site's page.
    const other = await consentPage('https://other.example');
    assert.equal((await answer(consent, true, own(), '')).status, 403);
    assert.equal((await answer(consent, true, own(), other.token)).status, 403);
    assert.equal((await answer(consent, true, own({'Sec-Fetch-Site': 'cross-site'}))).status, 403);
    assert.equal((await post('/consent/answer', own(), 'x'.repeat(100000))).status, 413);
    assert.equal(json(await get('/api/status', asSite(kSite))).allowed, false);
    // A plain http site off loopback is never allowed, even on "Allow".
    const plainSite = await consentPage('http://plain.example');
    assert.match(plainSite.html, /cannot be allowed/);
    const refused = await answer(plainSite, true);
    assert.deepEqual([refused.status, json(refused)], [403, {allowed: false, error: 'not-allowable'}]);
    assert.equal(json(await get('/api/status', asSite('http://plain.example'))).allowed, false);
    // "Don't allow" ends the page too; each page is answered once.
    assert.deepEqual(json(await answer(other, false)), {allowed: false});
    assert.equal((await answer(other, true)).status, 403);
    assert.equal(json(await get('/api/status', asSite('https://other.example'))).allowed, false);
    assert.equal(fs.existsSync(sitesFile()), false);
    assert.deepEqual(json(await answer(consent, true)), {allowed: true});
  });

  it('AFloodOfConsentRequestsIsBounded', async () => {
    const answers = [];
    for (let k = 0; k < 40; k++) answers.push(await post('/api/consent', asSite(`https://s${k}.example`)));
    const statuses = answers.map((a) => a.status);
    assert.ok(statuses.includes(429), statuses.join());
    assert.ok(statuses.filter((s) => s === 200).length <= 16);
    assert.match(json(answers[39]).message, /Too many sites/);
    await server.stderr.waitFor('consent pages are waiting for an answer', {anywhere: true});
  });

  // Allowed: exactly the catalogue's faces, the bytes of each (a
  // collection's face cut out), news of a change; removed: refused again at
  // once, its stream ended.
  it('AnAllowedSiteGetsTheFacesTheirBytesAndChangesUntilRemoved', async () => {
    const list = await get('/api/fonts', asSite(kSite));
    assert.equal(list.status, 200);
    assert.equal(list.headers['access-control-allow-origin'], kSite);
    assert.equal(list.headers.vary, 'Origin');
    const faces = facesOf(json(list));
    assert.deepEqual(faces.map((f) => [f.family, f.fullName, f.postscriptName, f.style, f.weight,
      f.stretch, f.italic, f.format, f.usable]), [
      ['DejaVu Sans', 'DejaVu Sans', 'DejaVuSans-Book', 'Book', 400, 5, false, 'truetype', true],
      ['Two Serif', 'Two Serif Italic', 'DejaVuSerif', 'Italic', 400, 3, true, 'collection', true],
      ['Old Roman', 'Old Roman', 'OldRoman-Regular', 'Regular', 400, 5, false, 'type1', false],
      ['Two Sans', 'Two Sans Bold', 'DejaVuSans', 'Bold', 700, 5, false, 'collection', true],
    ]);
    assert.equal(faces[1].localizedFamily, 'Deux Serif');

    const bytes = await get(`/api/font?file=${encodeURIComponent(kSans)}&postscript=DejaVuSans-Book`,
        asSite(kSite));
    assert.equal(bytes.headers['access-control-allow-origin'], kSite);
    assert.deepEqual(bytes.body, fs.readFileSync(kSans));
    const cut = await get(`/api/font?file=${encodeURIComponent(faces[1].file)}&postscript=DejaVuSerif`,
        asSite(kSite));
    assert.equal(cut.headers['content-type'], 'font/ttf');
    assert.deepEqual(h.fontTables(cut.body).get('glyf').data,
        h.fontTables(fs.readFileSync(kSerif)).get('glyf').data);
    const stranger = await get(`/api/font?file=${encodeURIComponent(kMono)}`, asSite(kSite));
    assert.equal(stranger.status, 404);

    const events = await openSiteEvents(port, kSite);
    assert.equal(events.status, 200);
    assert.equal(events.headers['access-control-allow-origin'], kSite);
    await events.text.waitFor(/event: fonts\ndata: \{"generation":1\}/);
    server.send(`${JSON.stringify({...catalogue, [kMono]: [h.face('DejaVu Sans Mono', 'Book')]})}\n`);
    await events.text.waitFor(/event: fonts\ndata: \{"generation":2\}/);
    const later = facesOf(json(await get('/api/fonts', asSite(kSite))));
    assert.ok(later.some((f) => f.family === 'DejaVu Sans Mono'));

    // The page lists the site; its "Remove" ends the site's stream at once.
    const listed = await get('/sites', {'Sec-Fetch-Site': 'same-origin'});
    assert.deepEqual(json(listed), {sites: [kSite], findable: isFindablePort(port), fault: null});
    assert.equal((await post('/sites/remove', asSite(kSite), JSON.stringify({origin: kSite})))
        .status, 403);
    const removal = await post('/sites/remove', {'Content-Type': 'application/json', ...own()},
        JSON.stringify({origin: kSite}));
    assert.equal(removal.status, 204);
    await h.within(events.ended, 'the removed site\'s stream ending');
    assert.equal((await get('/api/fonts', asSite(kSite))).status, 403);
    assert.deepEqual(json(await get('/sites', {})).sites, []);
  });

  // Kept across a restart; a hand edit counts without one, open streams
  // of a site it removes ending by the next change at the latest.
  it('TheAllowedSitesSurviveARestartAndTakeHandEdits', async () => {
    fs.writeFileSync(sitesFile(), `${kSite}\n`);
    assert.equal((await get('/api/fonts', asSite(kSite))).status, 200);
    await server.stop();
    await start();
    assert.equal((await get('/api/fonts', asSite(kSite))).status, 200);
    const events = await openSiteEvents(port, kSite);
    await events.text.waitFor('event: fonts');
    fs.writeFileSync(sitesFile(), `# ${kSite} no more\n`);
    server.send(`${JSON.stringify(catalogue)}\n`);
    await h.within(events.ended, 'the stream of a site removed by hand ending');
    assert.doesNotMatch(events.text.text, /"generation":2/);
    fs.writeFileSync(sitesFile(), 'http://example.com\n');
    assert.equal((await get('/api/fonts', asSite(kSite))).status, 403);
    assert.equal((await get('/api/fonts', asSite(kSite))).status, 403);
    const said = server.stderr.text.split('allows no site').length - 1;
    assert.equal(said, 1, server.stderr.text);
    assert.equal(fs.readFileSync(sitesFile(), 'utf8'), 'http://example.com\n');
  });
});
