'use strict';
// Real browsers for the page's tests and benchmarks: Debian's Chromium and
// Firefox ESR, headless, driven by puppeteer-core (the DevTools protocol for
// Chromium, WebDriver BiDi for Firefox), with no flag that waives a check.
// A profile may trust a test certificate authority of its own, and may map
// a few names to loopback, as a hosts file would.

const {execFileSync} = require('child_process');
const fs = require('fs');
const path = require('path');
const h = require('./harness.js');

const kBrowsers = ['chromium', 'firefox'];
const kNames = {chromium: ['chromium', 'chromium-browser'], firefox: ['firefox-esr', 'firefox']};
const kOverride = {chromium: 'KAVRI_CHROMIUM', firefox: 'KAVRI_FIREFOX'};

function findBrowser(which) {
  const override = process.env[kOverride[which]];
  const names = override ? [override] : kNames[which];
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

const findChromium = () => findBrowser('chromium');
const findFirefox = () => findBrowser('firefox');

function puppeteer() {
  return require('puppeteer-core');
}

// Why `which` browser cannot run here, or false.
function whyNoBrowser(which) {
  if (!findBrowser(which)) {
    return `${which} is not installed (scripts/deps test installs it)`;
  }
  try {
    puppeteer();
  } catch (e) {
    return 'puppeteer-core is not installed (npm ci, as scripts/deps test runs it)';
  }
  return false;
}

// An NSS certificate store in `dir` trusting `ca` (PEM) to name sites, as
// both browsers read them; none without certutil.
function trustAuthority(dir, ca) {
  fs.mkdirSync(dir, {recursive: true});
  const caFile = path.join(dir, 'test-ca.pem');
  fs.writeFileSync(caFile, ca);
  const quiet = {stdio: ['ignore', 'ignore', 'pipe']};
  execFileSync('certutil', ['-d', `sql:${dir}`, '-N', '--empty-password'], quiet);
  execFileSync('certutil', ['-d', `sql:${dir}`, '-A', '-n', 'kavri test authority', '-t', 'C,,',
    '-i', caFile], quiet);
}

// Runs `body` (the source of an async function) in `page` and returns its
// value. It may call waitFor(fn), which resolves when fn() gives something
// truthy after any change to the document; the whole run is bounded.
async function evaluate(page, body) {
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
          (document.body ? document.body.innerText.slice(0, 2000) : ''))), ${h.kWaitMs});
    });
    try { return await Promise.race([run(waitFor), timeout]); } finally { clearTimeout(timer); }
  })()`;
  try {
    return await page.evaluate(expression);
  } catch (e) {
    throw new Error(`in the page: ${e.message}`);
  }
}

// A tab, with what the tests do in it.
function tab(page, browser) {
  return {
    page,
    evaluate: (body) => evaluate(page, body),
    // Text typed into the focused element, as a person types it.
    type: (text) => page.keyboard.type(text),
    press: (key) => page.keyboard.press(key),
    click: (selector) => page.click(selector),
    goto: (url) => page.goto(url, {waitUntil: 'load'}),
    // A DevTools protocol command to the tab (Chromium only).
    async send(method, params) {
      if (browser.which !== 'chromium') throw new Error(`${method} is Chromium's own`);
      if (!this.session_) this.session_ = await page.createCDPSession();
      return this.session_.send(method, params);
    },
    close: () => page.close(),
  };
}

// A new tab. Firefox may replace a new tab's first document while it makes
// the tab, and then answers that the tab it made is gone: a race inside the
// browser, not the page's doing, so another tab is asked for.
async function newPage(browser) {
  for (let attempt = 1; ; attempt++) {
    try {
      return await browser.newPage();
    } catch (e) {
      if (attempt === 3 || !/DiscardedBrowsingContext|no such frame/.test(e.message)) throw e;
    }
  }
}

// A headless `which` ('chromium' or 'firefox') with its profile under
// `dir`. `trust`: a certificate authority (PEM) the profile trusts; `hosts`:
// names the browser resolves to 127.0.0.1; `wrap`: a command that runs it
// (in another network namespace: Chromium only, whose driver talks over a
// pipe). Resolves {which, browser (puppeteer's), open(url),
// waitForPage(test), grant(origin, name), close()}.
async function launchBrowser(which, dir, {trust = null, hosts = [], wrap = []} = {}) {
  const profile = path.join(dir, `${which}-profile`);
  const home = path.join(dir, `${which}-home`);
  fs.mkdirSync(profile, {recursive: true});
  fs.mkdirSync(home, {recursive: true});
  let executablePath = findBrowser(which);
  if (wrap.length > 0) {
    const quote = (word) => `'${word.replace(/'/g, "'\\''")}'`;
    const script = path.join(dir, `${which}-wrapped`);
    fs.writeFileSync(script, `#!/bin/sh\nexec ${[...wrap, executablePath].map(quote).join(' ')} "$@"\n`,
        {mode: 0o755});
    executablePath = script;
  }
  const options = {executablePath, headless: true, userDataDir: profile,
    env: {...process.env, HOME: home}, protocolTimeout: 2 * h.kWaitMs};
  if (which === 'chromium') {
    if (trust) trustAuthority(path.join(home, '.pki', 'nssdb'), trust);
    Object.assign(options, {browser: 'chrome', pipe: true, args: [
      '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--disable-quic',
      '--no-first-run', '--no-default-browser-check', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-extensions',
      ...(hosts.length ? [`--host-resolver-rules=${hosts.map((n) => `MAP ${n} 127.0.0.1`)
          .join(', ')}`] : []),
    ]});
  } else {
    if (trust) trustAuthority(profile, trust);
    Object.assign(options, {browser: 'firefox', extraPrefsFirefox: {
      'network.dns.localDomains': hosts.join(','),
      'browser.shell.checkDefaultBrowser': false,
    }});
  }
  const browser = await puppeteer().launch(options);
  const wrapper = {
    which,
    browser,
    async open(url) {
      const page = await newPage(browser);
      const t = tab(page, wrapper);
      if (url) await t.goto(url);
      return t;
    },
    // The next page opened whose address passes `test` (a popup); call it
    // before what opens it.
    async waitForPage(test) {
      const before = new Set(browser.targets());
      const target = await browser.waitForTarget((t) => !before.has(t) && t.type() === 'page' &&
          test(t.url()), {timeout: h.kWaitMs});
      return tab(await target.page(), wrapper);
    },
    // A permission granted to `origin`, as the user would on its prompt.
    grant: (origin, name) => browser.setPermission(origin,
        {permission: {name}, state: 'granted'}),
    close: () => browser.close().catch(() => {}),
  };
  return wrapper;
}

// A headless browser with one tab at `url`, its profile under `dir`.
// Resolves {evaluate(body), type, press, click, goto, send, close()} once
// the page has loaded; closing it closes the browser.
async function openPage(url, dir, {browser: which = 'chromium', ...options} = {}) {
  const browser = await launchBrowser(which, dir, options);
  try {
    const t = await browser.open(url);
    return {...t, close: () => browser.close(), browser};
  } catch (e) {
    await browser.close();
    throw e;
  }
}

module.exports = {kBrowsers, findBrowser, findChromium, findFirefox, whyNoBrowser, launchBrowser,
  openPage};
