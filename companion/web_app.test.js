'use strict';
// A web app on another origin uses the account's fonts through the client
// module, in headless Chromium and Firefox: an https:// site (a name the
// browser maps to loopback, with a certificate of the test's own authority)
// is refused until the user presses "Allow" on the consent page, then lists
// exactly the catalogue's faces, draws with a face's bytes and hears of a
// font installed later; it stays allowed across a restart and is refused
// again once "Remove" is pressed on the page. The site cannot allow itself
// (posting the answer, framing the consent page, another site's token),
// and a plain http:// site off loopback cannot be allowed at all, while a
// developer's own app on http://localhost can. The
// loopback permission is granted as the user would grant it.

const assert = require('node:assert/strict');
const {execFileSync, spawn} = require('child_process');
const {once} = require('events');
const fs = require('fs');
const http = require('http');
const https = require('https');
const path = require('path');
const {describe, it, before, after} = require('node:test');
const {isFindablePort, kFirstPort} = require('./server/port.js');
const {kBrowsers, launchBrowser, whyNoBrowser} = require('./tests/browsers.js');
const h = require('./tests/harness.js');

const kDejaVu = '/usr/share/fonts/truetype/dejavu';
const kSans = path.join(kDejaVu, 'DejaVuSans.ttf');
const kSerif = path.join(kDejaVu, 'DejaVuSerif.ttf');
const kMono = path.join(kDejaVu, 'DejaVuSansMono.ttf');
const kAppName = 'app.test';
const kPlainName = 'plain.test';

function whySkip(which) {
  const missing = [kSans, kSerif, kMono].find((f) => !fs.existsSync(f));
  if (missing) return `${missing} is missing (fonts-dejavu-core)`;
  if (!fs.existsSync('/usr/bin/certutil')) return 'certutil is missing (libnss3-tools)';
  return whyNoBrowser(which);
}

// The web app: a button that asks for the fonts, and the client module
// loaded from the account's server at `serverPort()`.
function appPage(serverPort) {
  return `<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>A web app</title></head>
<body><button id="ask" type="button">Use my fonts</button>
<script type="module">
  window.server = 'http://127.0.0.1:${serverPort}';
  // What reaches this window by postMessage: the consent page's answer.
  window.messages = [];
  window.addEventListener('message', (event) => {
    window.messages.push({origin: event.origin, data: event.data});
    document.body.dataset.messages = window.messages.length;
  });
  window.kavri = await import(window.server + '/kavri-fonts.js');
  document.getElementById('ask').addEventListener('click', () => {
    window.answer = window.kavri.requestFontAccess();
  });
  document.body.dataset.ready = 'true';
</script></body></html>
`;
}

// A site serving the web app on 127.0.0.1, over TLS when given `tls`.
function startSite(serverPort, tls = null) {
  const handler = (req, res) => {
    res.writeHead(200, {'Content-Type': 'text/html; charset=utf-8', 'Cache-Control': 'no-store'});
    res.end(appPage(serverPort()));
  };
  const server = tls ? https.createServer(tls, handler) : http.createServer(handler);
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve({
    port: server.address().port,
    close: () => new Promise((done) => {
      server.closeAllConnections();
      server.close(done);
    }),
  })));
}

const refusal = `async () => {
  try {
    await window.kavri.queryLocalFonts();
    return 'listed';
  } catch (e) {
    return e.name;
  }
}`;

for (const which of kBrowsers) {
  describe(`a web app in headless ${which}`, {skip: whySkip(which), timeout: 10 * h.kWaitMs},
      () => {
        let dir;
        let creds;
        let server;
        let serverPort = 0;
        let account;
        let browser;
        let sites = [];
        let appOrigin;
        let plainOrigin;
        let app;
        let catalogue;

        const startServer = async (env = {}) => {
          server = h.spawnCompanion({HOME: account, XDG_CONFIG_HOME: undefined, ...env});
          server.send(`${creds.container};${creds.passphrase}\n${JSON.stringify(catalogue)}\n`);
          serverPort = await server.port();
        };
        // Opens the site's app and waits for the module to have loaded.
        const openApp = async (origin) => {
          const tab = await browser.open(`${origin}/`);
          await tab.evaluate(`async (waitFor) => waitFor(() => document.body.dataset.ready)`);
          return tab;
        };
        // Clicks the app's button and resolves the consent window it opens.
        const askFromApp = async (tab) => {
          const consent = browser.waitForPage((url) => url.includes('/consent?id='));
          await tab.click('#ask');
          const page = await consent;
          await page.evaluate(`async (waitFor) => waitFor(() => document.body &&
              document.body.dataset.ready)`);
          return page;
        };

        before(async () => {
          dir = h.tempDir(`kavri-app-${which}-`);
          account = path.join(dir, 'home');
          creds = h.makeCredentials(dir);
          const collection = path.join(dir, 'two.ttc');
          fs.writeFileSync(collection, h.makeCollection([kSans, kSerif].map((f) =>
            fs.readFileSync(f))));
          catalogue = {
            [kSans]: [h.face('DejaVu Sans', 'Book', {postscript: 'DejaVuSans'})],
            [kSerif]: [h.face('DejaVu Serif', 'Book', {postscript: 'DejaVuSerif'})],
            [collection]: [h.face('Two Sans', 'Book', {postscript: 'DejaVuSans'}),
              h.face('Two Serif', 'Book', {postscript: 'DejaVuSerif'})],
          };
          await startServer();
          const certificate = h.makeSiteCertificate(dir, [kAppName, kPlainName]);
          const secure = await startSite(() => serverPort, {key: certificate.key,
            cert: certificate.cert});
          const plain = await startSite(() => serverPort);
          sites = [secure, plain];
          appOrigin = `https://${kAppName}:${secure.port}`;
          plainOrigin = `http://${kPlainName}:${plain.port}`;
          browser = await launchBrowser(which, dir, {trust: certificate.ca,
            hosts: [kAppName, kPlainName]});
          // What the user grants when the browser asks whether the site may
          // reach this computer's own addresses (a secure site's question
          // only: the plain one is never asked).
          await browser.grant(appOrigin, 'loopback-network');
          app = await openApp(appOrigin);
        });

        after(async () => {
          if (browser) await browser.close();
          for (const site of sites) await site.close();
          if (server) await server.stop();
          if (dir) fs.rmSync(dir, {recursive: true, force: true});
        });

        it('IsRefusedBeforeConsentAndCannotAllowItself', async () => {
          assert.equal(await app.evaluate(refusal), 'NotAllowedError');
          // Another site's consent page, and so its token, as if leaked.
          const other = await h.request(serverPort, h.plain, {method: 'POST',
            path: '/api/consent', headers: {Origin: 'https://other.example'}});
          const otherAddress = new URL(JSON.parse(other.body).consent);
          const otherPage = await h.request(serverPort, h.plain,
              {path: `${otherAddress.pathname}${otherAddress.search}`});
          const otherToken = /data-token="([0-9a-f]+)"/.exec(otherPage.body.toString())[1];
          const tried = await app.evaluate(`async (waitFor) => {
            const asked = await (await fetch(server + '/api/consent', {method: 'POST'})).json();
            const address = new URL(asked.consent);
            const id = address.searchParams.get('id');
            const tries = {};
            for (const [name, path, token] of [['answer', '/consent/answer', ${JSON.stringify(otherToken)}],
              ['page', address.pathname + address.search, ${JSON.stringify(otherToken)}],
              ['guess', '/consent/answer', '0'.repeat(64)]]) {
              try {
                const res = await fetch(server + path, {method: 'POST',
                  body: JSON.stringify({id, token, allow: true})});
                tries[name] = res.status;
              } catch (e) {
                tries[name] = e.name;
              }
            }
            const frame = document.createElement('iframe');
            frame.id = 'framed';
            const loaded = new Promise((resolve) => { frame.onload = resolve; });
            frame.src = asked.consent;
            document.body.append(frame);
            await loaded;
            const status = await (await fetch(server + '/api/status')).json();
            return {tries, status, consent: asked.consent};
          }`);
          assert.deepEqual(tried.tries, {answer: 'TypeError', page: 'TypeError', guess: 'TypeError'});
          assert.deepEqual(tried.status, {allowed: false});
          // The framed consent page never shows: no button to press in it.
          const framed = app.page.frames().filter((f) => f !== app.page.mainFrame());
          for (const frame of framed) {
            const button = await frame.evaluate(() => Boolean(document.getElementById('allow')))
                .catch(() => false);
            assert.equal(button, false, `${which} showed the consent page in a frame`);
          }
          assert.equal(await app.evaluate(refusal), 'NotAllowedError');
        });

        it('AfterAllowListsTheFacesDrawsWithOneAndHearsOfChanges', async (t) => {
          const consent = await askFromApp(app);
          assert.equal(await consent.evaluate(`async () =>
            document.getElementById('origin').textContent`), appOrigin);
          await consent.click('#allow');
          assert.equal(await app.evaluate(`async () => window.answer`), true);
          // Told by the consent page itself, aimed at this site's origin.
          assert.deepEqual(await app.evaluate(`async (waitFor) => {
            await waitFor(() => document.body.dataset.messages);
            return window.messages;
          }`), [{origin: `http://127.0.0.1:${serverPort}`,
            data: {type: 'kavri-font-access', allowed: true}}]);

          const listed = await app.evaluate(`async () => (await window.kavri.queryLocalFonts())
            .map((f) => [f.family, f.fullName, f.postscriptName, f.style, f.file,
              typeof f.blob])`);
          const expected = Object.entries(catalogue).flatMap(([file, faces]) =>
            faces.map((f) => [f.family, f.family, f.postscript, f.style, file, 'function']));
          assert.deepEqual(listed.sort(), expected.sort());

          // A collection's face, cut out, draws as the font it came from.
          const drawn = await app.evaluate(`async () => {
            const all = await window.kavri.queryLocalFonts({postscriptNames: ['DejaVuSerif']});
            const context = document.createElement('canvas').getContext('2d');
            const widths = {};
            for (const face of all) {
              const bytes = await face.blob();
              const font = new FontFace('Picked ' + face.family, await bytes.arrayBuffer());
              await font.load();
              document.fonts.add(font);
              context.font = '40px "Picked ' + face.family + '"';
              context.fillText('Hamburgefonstiv', 0, 40);
              widths[face.family] = context.measureText('Hamburgefonstiv').width;
            }
            context.font = '40px monospace';
            return {families: all.map((f) => f.family).sort(), widths,
              fallback: context.measureText('Hamburgefonstiv').width};
          }`);
          assert.deepEqual(drawn.families, ['DejaVu Serif', 'Two Serif']);
          assert.equal(drawn.widths['Two Serif'], drawn.widths['DejaVu Serif']);
          assert.notEqual(drawn.widths['Two Serif'], drawn.fallback);

          // Told of a font installed after it loaded.
          await app.evaluate(`async (waitFor) => {
            window.changes = [];
            window.stopChanges = window.kavri.onFontsChanged((faces) => {
              window.changes.push(faces.map((f) => f.family));
              document.body.dataset.changes = window.changes.length;
            });
            await waitFor(() => window.changes.length === 1);
          }`);
          const installed = process.hrtime.bigint();
          server.send(`${JSON.stringify({...catalogue,
            [kMono]: [h.face('DejaVu Sans Mono', 'Book')]})}\n`);
          const heard = await app.evaluate(`async (waitFor) => {
            await waitFor(() => window.changes.length === 2);
            window.stopChanges();
            return window.changes[1];
          }`);
          t.diagnostic(`${which} heard of the new font after ` +
              `${Number(process.hrtime.bigint() - installed) / 1e6} ms`);
          assert.ok(heard.includes('DejaVu Sans Mono'));
        });

        it('StaysAllowedAcrossARestartUntilRemovedOnThePage', async () => {
          await server.stop();
          await startServer({KAVRI_PORT: String(serverPort)});
          assert.equal(await app.evaluate(refusal), 'listed');
          const page = await browser.open(`http://127.0.0.1:${serverPort}/`);
          await page.evaluate(`async (waitFor) => waitFor(() =>
            document.querySelector('#allowed-sites li[data-origin="${appOrigin}"] button'))`);
          // A port set outside the range web apps look in: the page says so.
          assert.equal(/^Web apps cannot find this/.test(await page.evaluate(`async () =>
            document.getElementById('sites-note').textContent`)), !isFindablePort(serverPort));
          await page.click(`#allowed-sites li[data-origin="${appOrigin}"] button`);
          await page.evaluate(`async (waitFor) => waitFor(() =>
            document.querySelectorAll('#allowed-sites li').length === 0)`);
          assert.equal(await app.evaluate(refusal), 'NotAllowedError');
          await page.close();
        });

        it('APlainHttpSiteCannotBeAllowedButADevelopersOwnOnLocalhostCan', async () => {
          const plainApp = await openApp(plainOrigin);
          const consent = await askFromApp(plainApp);
          assert.match(await consent.evaluate(`async () =>
            document.getElementById('warning').textContent`), /cannot be allowed/);
          await consent.click('#allow');
          assert.equal(await plainApp.evaluate(`async () => window.answer`), false);
          assert.equal(await plainApp.evaluate(refusal), 'NotAllowedError');
          await plainApp.close();

          const ownApp = await openApp(`http://localhost:${new URL(plainOrigin).port}`);
          await (await askFromApp(ownApp)).click('#allow');
          assert.equal(await ownApp.evaluate(`async () => window.answer`), true);
          assert.equal(await ownApp.evaluate(refusal), 'listed');
          await ownApp.close();
        });
      });
}

// A network namespace with loopback and a link of its own, which Chromium
// needs to count itself online; the link leads nowhere.
const kNamespace = 'ip link set lo up && ip link add k0 type veth peer name k1 && ' +
    'ip addr add 192.0.2.1/24 dev k0 && ip link set k0 up && ip link set k1 up && ' +
    'ip route add default via 192.0.2.2 dev k0';

function whyNoNetworkNamespace() {
  try {
    execFileSync('unshare', ['--net', 'sh', '-c', kNamespace], {stdio: 'ignore'});
    return false;
  } catch (e) {
    return `cannot make a network namespace with a link here (${e.message})`;
  }
}

// The example app, bundling the module, finds the account's server on the
// ports servers take, past another account's server that closes the
// connection at once, asks, lists the face and draws with it; "no server"
// is told apart once the account's is gone. In a
// network namespace of the test's own, where the ports are nobody else's;
// Chromium runs in it too.
describe('a bundled module in headless chromium',
    {skip: whySkip('chromium') || whyNoNetworkNamespace(), timeout: 10 * h.kWaitMs}, () => {
      let dir;
      let holder;
      let holderExited;
      let inNamespace;
      const running = [];
      let browser;

      before(async () => {
        dir = h.tempDir('kavri-bundled-');
        holder = spawn('unshare', ['--net', 'sh', '-c', `${kNamespace} && echo ready; exec cat`],
            {stdio: ['pipe', 'pipe', 'inherit']});
        holderExited = once(holder, 'exit');
        inNamespace = ['nsenter', `--net=/proc/${holder.pid}/ns/net`, '--'];
        await new h.OutputWatcher(holder.stdout, 'the namespace').waitFor('ready');
        browser = await launchBrowser('chromium', dir, {wrap: inNamespace});
      });

      after(async () => {
        if (browser) await browser.close();
        for (const child of running) await child.stop();
        if (holder) {
          holder.stdin.end();
          await holderExited;
        }
        fs.rmSync(dir, {recursive: true, force: true});
      });

      it('FindsTheAccountsServerPastAnotherAccountsAndTellsWhenNoneAnswers', async () => {
        const creds = h.makeCredentials(dir);
        const catalogue = {[kSans]: [h.face('DejaVu Sans', 'Book')]};
        const start = (home, wrap) => {
          const server = h.spawnCompanion({KAVRI_PORT: undefined, HOME: home,
            XDG_CONFIG_HOME: undefined, XDG_STATE_HOME: undefined}, undefined, {wrap});
          running.push(server);
          server.send(`${creds.container};${creds.passphrase}\n${JSON.stringify(catalogue)}\n`);
          return server;
        };
        const nobody = path.join(dir, 'nobody');
        fs.mkdirSync(nobody);
        fs.chownSync(nobody, 65534, 65534);
        const other = start(nobody, [...inNamespace, 'setpriv', '--reuid=65534', '--regid=65534',
          '--clear-groups']);
        assert.equal(await other.port(), kFirstPort);
        const own = start(path.join(dir, 'own'), inNamespace);
        assert.equal(await own.port(), kFirstPort + 1);

        // The example app, bundling the module, served by a developer's own
        // server on loopback in the namespace.
        const app = spawn(inNamespace[0], [...inNamespace.slice(1), process.execPath, '-e', `
          const fs = require('fs');
          const http = require('http');
          const path = require('path');
          const root = ${JSON.stringify(path.dirname(__dirname))};
          const types = {'.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css'};
          http.createServer((req, res) => {
            const file = req.url.endsWith('/') ? req.url + 'index.html' : req.url;
            if (!/^\\/(examples\\/web_app\\/[a-z]+|companion\\/client\\/kavri-fonts)\\.(html|js|css)$/
                .test(file)) {
              res.writeHead(404);
              return res.end();
            }
            res.writeHead(200, {'Content-Type': types[path.extname(file)]});
            res.end(fs.readFileSync(path.join(root, file)));
          }).listen(0, '127.0.0.1', function () { console.log('port ' + this.address().port); });
          process.stdin.on('end', () => process.exit(0)).resume();`],
        {stdio: ['pipe', 'pipe', 'inherit']});
        running.push({stop: () => {
          app.stdin.end();
          return once(app, 'exit');
        }});
        const appPort = (await new h.OutputWatcher(app.stdout, 'the app').waitFor(/port (\d+)/))[1];
        const tab = await browser.open(`http://localhost:${appPort}/examples/web_app/`);
        await tab.click('#connect');
        assert.match(await tab.evaluate(`async (waitFor) => waitFor(() =>
          !document.getElementById('allow').hidden && document.getElementById('status')
              .textContent)`), /not allowed/);
        const consent = browser.waitForPage((url) => url.includes('/consent?id='));
        await tab.click('#allow');
        const page = await consent;
        assert.equal(new URL(page.page.url()).port, String(kFirstPort + 1));
        await page.evaluate(`async (waitFor) => waitFor(() => document.body.dataset.ready)`);
        await page.click('#allow');
        // The app lists the face, loads it and draws the text with it.
        const shown = await tab.evaluate(`async (waitFor) => {
          const status = await waitFor(() => {
            const text = document.getElementById('status').textContent;
            return text.startsWith('DejaVu Sans (') && text;
          });
          const canvas = document.getElementById('preview');
          const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
          return {status, faces: [...document.getElementById('face').options].map((o) => o.text),
            inked: pixels.data.some((v, k) => k % 4 === 3 && v > 0)};
        }`);
        assert.deepEqual(shown, {status: `DejaVu Sans (${kSans})`, faces: ['DejaVu Sans'],
          inked: true});
        await tab.evaluate(`async () => {
          window.kavri = await import('/companion/client/kavri-fonts.js');
        }`);
        assert.equal(await tab.evaluate(refusal), 'listed');
        await own.stop();
        assert.equal(await tab.evaluate(refusal), 'NotFoundError');
      });
    });
