'use strict';
// Headless Chromium driven over the DevTools protocol on a pipe (fds 3 and 4,
// NUL-framed JSON), for the page's test and its benchmark.

const {spawn} = require('child_process');
const fs = require('fs');
const path = require('path');
const h = require('./harness.js');

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

// A headless Chromium with one tab at `url`, its profile under `dir`.
// Resolves {evaluate(body), send(method, params), close()} once the page has
// loaded; `send` goes to the tab.
async function openPage(url, dir) {
  const browser = spawn(findChromium(), [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
    '--disable-quic', '--no-first-run', '--no-default-browser-check',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--disable-extensions', '--remote-debugging-pipe',
    `--user-data-dir=${path.join(dir, 'profile')}`, 'about:blank',
  ], {stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe']});
  const exited = new Promise((resolve) => browser.on('exit', resolve));
  browser.stdio[3].on('error', () => {});
  const log = new h.OutputWatcher(browser.stderr, 'chromium');
  const tools = new DevTools(browser.stdio[3], browser.stdio[4]);
  browser.on('exit', (code) => {
    if (code) process.stderr.write(`chromium exited with ${code}:\n${log.text}\n`);
  });
  const close = async () => {
    await tools.send('Browser.close').catch(() => {});
    if (browser.exitCode === null && browser.signalCode === null) {
      const timer = setTimeout(() => browser.kill('SIGKILL'), h.kWaitMs);
      await exited;
      clearTimeout(timer);
    }
  };
  try {
    const {targetId} = await tools.send('Target.createTarget', {url: 'about:blank'});
    const {sessionId} = await tools.send('Target.attachToTarget', {targetId, flatten: true});
    await tools.send('Page.enable', {}, sessionId);
    const loaded = tools.nextEvent('Page.loadEventFired', sessionId);
    const nav = await tools.send('Page.navigate', {url}, sessionId);
    if (nav.errorText) throw new Error(`navigation to ${url} failed: ${nav.errorText}`);
    await loaded;
    return {
      evaluate: (body) => evaluate(tools, sessionId, body),
      send: (method, params) => tools.send(method, params, sessionId),
      close,
    };
  } catch (e) {
    await close();
    throw e;
  }
}

module.exports = {findChromium, openPage};
