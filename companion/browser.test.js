'use strict';
// The page in a real browser: headless Chromium, driven over the DevTools
// protocol on a pipe (fds 3 and 4, NUL-framed JSON), opens the server's page,
// finds the families of real fonts listed in their own faces, sees a family
// pushed later appear, and asks for an update check with its button. Every
// wait is for the event itself, inside the page.

const assert = require('node:assert/strict');
const {spawn} = require('child_process');
const fs = require('fs');
const path = require('path');
const {describe, it, before, after} = require('node:test');
const h = require('./harness.js');

const kDejaVu = '/usr/share/fonts/truetype/dejavu';
const kFonts = {
  sans: path.join(kDejaVu, 'DejaVuSans.ttf'),
  sansBold: path.join(kDejaVu, 'DejaVuSans-Bold.ttf'),
  serif: path.join(kDejaVu, 'DejaVuSerif.ttf'),
  mono: path.join(kDejaVu, 'DejaVuSansMono.ttf'),
};

function findChromium() {
  const names = process.env.KAVRI_CHROMIUM ? [process.env.KAVRI_CHROMIUM]
      : ['chromium', 'chromium-browser'];
  for (const name of names) {
    const candidates = name.includes('/') ? [name]
        : (process.env.PATH || '').split(':').map((dir) => path.join(dir, name));
    for (const file of candidates) {
      try {
        fs.accessSync(file, fs.constants.X_OK);
        return file;
      } catch (e) { /* next */ }
    }
  }
  return null;
}

function whySkip() {
  if (!findChromium()) return 'chromium is not installed (apt-get install chromium)';
  const missing = Object.values(kFonts).filter((f) => !fs.existsSync(f));
  if (missing.length) return `fonts-dejavu-core is not installed (${missing[0]} missing)`;
  return false;
}

// A DevTools protocol client on the browser's pipe.
class DevTools {
  constructor(input, output) {
    this.input_ = input;
    this.nextId_ = 1;
    this.pending_ = new Map();
    this.listeners_ = new Set();
    let buffered = '';
    output.setEncoding('utf8');
    output.on('data', (text) => {
      buffered += text;
      let end;
      while ((end = buffered.indexOf('\0')) !== -1) {
        this.dispatch_(JSON.parse(buffered.slice(0, end)));
        buffered = buffered.slice(end + 1);
      }
    });
    output.on('close', () => {
      for (const {reject} of this.pending_.values()) reject(new Error('the browser went away'));
      this.pending_.clear();
    });
  }

  send(method, params = {}, sessionId = undefined) {
    const id = this.nextId_++;
    this.input_.write(JSON.stringify({id, method, params, sessionId}) + '\0');
    return new Promise((resolve, reject) => {
      // Evaluations bound their own waits; this only catches a browser that hangs.
      const timer = setTimeout(() => {
        this.pending_.delete(id);
        reject(new Error(`${method}: no answer from the browser`));
      }, 2 * h.kWaitMs);
      this.pending_.set(id, {
        method,
        resolve: (v) => { clearTimeout(timer); resolve(v); },
        reject: (e) => { clearTimeout(timer); reject(e); },
      });
    });
  }

  // Resolves with the params of the next event `method` (of `sessionId`).
  // Register before the command that causes it.
  nextEvent(method, sessionId) {
    return new Promise((resolve) => {
      const listener = (m) => {
        if (m.method !== method || m.sessionId !== sessionId) return;
        this.listeners_.delete(listener);
        resolve(m.params);
      };
      this.listeners_.add(listener);
    });
  }

  dispatch_(message) {
    if (message.id === undefined) {
      for (const listener of [...this.listeners_]) listener(message);
      return;
    }
    const call = this.pending_.get(message.id);
    if (!call) return;
    this.pending_.delete(message.id);
    if (message.error) {
      call.reject(new Error(`${call.method}: ${message.error.message}`));
    } else {
      call.resolve(message.result);
    }
  }
}

// Runs `body` (the source of an async function) in the page and returns its
// value. It may call waitFor(fn), which resolves when fn() gives something
// truthy after any change to the document; the whole run is bounded.
async function evaluate(tools, sessionId, body) {
  const expression = `(async () => {
    const waitFor = (fn) => new Promise((resolve) => {
      const now = fn();
      if (now) return resolve(now);
      const observer = new MutationObserver(() => {
        const value = fn();
        if (value) { observer.disconnect(); resolve(value); }
      });
      observer.observe(document, {subtree: true, childList: true, attributes: true,
                                  characterData: true});
    });
    const run = (${body});
    let timer;
    const timeout = new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error('timed out in the page; it shows: ' +
          document.body.innerText.slice(0, 2000))), ${h.kWaitMs});
    });
    try { return await Promise.race([run(waitFor), timeout]); } finally { clearTimeout(timer); }
  })()`;
  const result = await tools.send('Runtime.evaluate',
      {expression, awaitPromise: true, returnByValue: true}, sessionId);
  if (result.exceptionDetails) {
    const e = result.exceptionDetails;
    throw new Error(`in the page: ${e.exception ? e.exception.description : e.text}`);
  }
  return result.result.value;
}

describe('the page in headless Chromium', {skip: whySkip(), timeout: 10 * h.kWaitMs}, () => {
  let dir;
  let creds;
  let server;
  let port;
  let browser;
  let browserExited;
  let tools;
  let session;
  let initial;

  before(async () => {
    dir = h.tempDir('kavri-browser-');
    creds = h.makeCredentials(dir);
    // Two faces in one collection file, as CJK fonts come.
    const collection = path.join(dir, 'collected.ttc');
    fs.writeFileSync(collection, h.makeCollection([kFonts.sans, kFonts.serif].map(
        (f) => fs.readFileSync(f))));
    initial = {
      [kFonts.sans]: [h.face('DejaVu Sans', 'Book')],
      [kFonts.sansBold]: [h.face('DejaVu Sans', 'Bold', {weight: 700})],
      [kFonts.serif]: [h.face('DejaVu Serif', 'Book')],
      [collection]: [h.face('Collected Sans', 'Book', {postscript: 'DejaVuSans'}),
        h.face('Collected Serif', 'Book', {postscript: 'DejaVuSerif'})],
    };
    server = h.spawnCompanion();
    server.send(`${creds.container};${creds.passphrase}\n`);
    server.send(JSON.stringify(initial) + '\n');
    port = await server.port();

    browser = spawn(findChromium(), [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
      '--disable-quic', '--no-first-run', '--no-default-browser-check',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--disable-extensions', '--ignore-certificate-errors', '--remote-debugging-pipe',
      `--user-data-dir=${path.join(dir, 'profile')}`, 'about:blank',
    ], {stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe']});
    browserExited = new Promise((resolve) => browser.on('exit', resolve));
    browser.stdio[3].on('error', () => {});
    const log = new h.OutputWatcher(browser.stderr, 'chromium');
    tools = new DevTools(browser.stdio[3], browser.stdio[4]);
    browser.on('exit', (code) => {
      if (code) process.stderr.write(`chromium exited with ${code}:\n${log.text}\n`);
    });

    const {targetId} = await tools.send('Target.createTarget', {url: 'about:blank'});
    ({sessionId: session} = await tools.send('Target.attachToTarget', {targetId, flatten: true}));
    await tools.send('Page.enable', {}, session);
    const loaded = tools.nextEvent('Page.loadEventFired', session);
    const nav = await tools.send('Page.navigate', {url: `https://127.0.0.1:${port}/`}, session);
    assert.equal(nav.errorText, undefined, `navigation failed: ${nav.errorText}`);
    await loaded;
  });

  after(async () => {
    if (tools) await tools.send('Browser.close').catch(() => {});
    if (browser && browser.exitCode === null && browser.signalCode === null) {
      const timer = setTimeout(() => browser.kill('SIGKILL'), h.kWaitMs);
      await browserExited;
      clearTimeout(timer);
    }
    if (server) await server.stop();
    if (dir) fs.rmSync(dir, {recursive: true, force: true});
  });

  it('ListsTheInstalledFamiliesEachInItsOwnFace', async () => {
    const page = await evaluate(tools, session, `async (waitFor) => {
      const items = await waitFor(() => {
        const all = document.querySelectorAll('li.family');
        return all.length === 4 && all;
      });
      const samples = await waitFor(() => {
        const all = [...document.querySelectorAll('.sample')];
        return all.every((s) => s.style.fontFamily) && all;
      });
      const faces = [...document.fonts].filter((f) => f.family.startsWith('kavri-face-'));
      await Promise.all(faces.map((f) => f.load()));
      const context = document.createElement('canvas').getContext('2d');
      const width = (sample) => {
        context.font = '40px ' + sample.style.fontFamily;
        return context.measureText('Hamburgefonstiv').width;
      };
      return {
        families: [...items].map((li) => li.dataset.family),
        styles: [...document.querySelectorAll('.styles')].map((s) => s.textContent),
        faces: faces.map((f) => f.status),
        rendered: samples.map((s) => document.fonts.check('20px ' + s.style.fontFamily, s.textContent)),
        widths: samples.map(width),
        status: document.getElementById('status').textContent,
      };
    }`);
    assert.deepEqual(page.families, ['Collected Sans', 'Collected Serif', 'DejaVu Sans', 'DejaVu Serif']);
    assert.deepEqual(page.styles, ['Book', 'Book', 'Book · Bold', 'Book']);
    assert.deepEqual(page.faces, ['loaded', 'loaded', 'loaded', 'loaded']);
    assert.deepEqual(page.rendered, [true, true, true, true]);
    assert.equal(page.status, '4 families, 5 faces');
    // Each face of the collection shows as itself, not as its first face.
    const [collectedSans, collectedSerif, sans, serif] = page.widths;
    assert.equal(collectedSans, sans);
    assert.equal(collectedSerif, serif);
    assert.notEqual(sans, serif);
  });

  it('ShowsAFamilyPushedLaterWithoutAReload', async () => {
    await evaluate(tools, session, `async () => { window.kavriSamePage = true; }`);
    server.send(JSON.stringify({...initial,
      [kFonts.mono]: [h.face('DejaVu Sans Mono', 'Book')]}) + '\n');
    const page = await evaluate(tools, session, `async (waitFor) => {
      const mono = await waitFor(() => document.querySelector('li[data-family="DejaVu Sans Mono"]'));
      const sample = mono.querySelector('.sample');
      await waitFor(() => sample.style.fontFamily);
      const face = [...document.fonts].find((f) => sample.style.fontFamily.includes(f.family));
      await face.load();
      return {
        samePage: window.kavriSamePage === true,
        families: [...document.querySelectorAll('li.family')].map((li) => li.dataset.family),
        monoFace: face.status,
      };
    }`);
    assert.deepEqual(page, {samePage: true, monoFace: 'loaded',
      families: ['Collected Sans', 'Collected Serif', 'DejaVu Sans', 'DejaVu Sans Mono',
        'DejaVu Serif']});
  });

  it('CheckForUpdatesButtonReachesTheAgent', async () => {
    const status = await evaluate(tools, session, `async (waitFor) => {
      document.getElementById('check').click();
      return waitFor(() => {
        const text = document.getElementById('status').textContent;
        return text.startsWith('Asked') || text.includes('refused') ? text : null;
      });
    }`);
    assert.equal(status, 'Asked for an update check.');
    await server.stdout.waitFor('CHECK FOR UPDATES\n');
  });
});
