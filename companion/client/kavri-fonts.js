// The fonts installed on this computer, for the web apps the user allowed.
// One module with no dependencies: import it from the fonts server
// (http://127.0.0.1:PORT/kavri-fonts.js), which it then talks to, or bundle
// it, and it finds the server on the ports where each account's server
// listens. Import it on a user action: browsers ask the user before a site
// reaches this computer's own addresses, and the import itself may ask.
//
//   queryLocalFonts({postscriptNames})  the faces, as the web platform's
//                                       own gives them, with more fields
//   requestFontAccess()                 asks the user (call it from a click)
//   onFontsChanged(callback)            the list now and at every change

const kFirstPort = 47823;
const kLastPort = 47830;
const kRetryMs = 5000;
const kLoopbackNames = ['127.0.0.1', 'localhost'];

// The server this module came from, if it came from one.
function ownServer() {
  try {
    const url = new URL(import.meta.url);
    if (url.pathname === '/kavri-fonts.js' && url.protocol === 'http:' &&
        kLoopbackNames.includes(url.hostname)) {
      return url.origin;
    }
  } catch (e) {
    // Bundled into something import.meta.url does not describe.
  }
  return null;
}

// The server's status at `origin` ({allowed}), or null when no fonts server
// answers there (nothing listens, or another account's closes at once).
async function probe(origin) {
  try {
    const response = await fetch(`${origin}/api/status`, {credentials: 'omit', cache: 'no-store'});
    if (!response.ok) return null;
    const status = await response.json();
    return typeof status.allowed === 'boolean' ? status : null;
  } catch (e) {
    return null;
  }
}

let located = null;  // Promise of the server's origin, or of null

async function locate() {
  // A copy served at the same path by an app of its own is no server.
  const own = ownServer();
  if (own && await probe(own)) return own;
  const origins = [];
  for (let port = kFirstPort; port <= kLastPort; port++) origins.push(`http://127.0.0.1:${port}`);
  const answers = await Promise.all(origins.map(probe));
  const found = answers.findIndex(Boolean);
  return found < 0 ? null : origins[found];
}

// The server's origin; throws NotFoundError when none answers.
async function server() {
  if (!located) located = locate();
  const origin = await located;
  if (!origin) {
    located = null;
    throw new DOMException('No fonts server answered on this computer.', 'NotFoundError');
  }
  return origin;
}

async function get(path) {
  const origin = await server();
  let response;
  try {
    response = await fetch(`${origin}${path}`, {credentials: 'omit', cache: 'no-store'});
  } catch (e) {
    located = null;
    throw new DOMException('The fonts server stopped answering.', 'NotFoundError');
  }
  if (response.status === 403) {
    const refusal = await response.json().catch(() => ({}));
    throw new DOMException(refusal.message || 'This site is not allowed to use the fonts.',
        'NotAllowedError');
  }
  if (!response.ok) {
    throw new DOMException(`The fonts server answered ${response.status}.`, 'NotFoundError');
  }
  return {origin, response};
}

const kStretches = ['ultra-condensed', 'extra-condensed', 'condensed', 'semi-condensed', 'normal',
  'semi-expanded', 'expanded', 'extra-expanded', 'ultra-expanded'];

// One face: the web platform's four names, what the server knows beyond
// them, and blob() for its bytes (a collection's face as a font of its own).
class FontData {
  // Face `i` of the server's list, which comes in columns.
  constructor(list, i) {
    const file = list.file[i];
    const facts = list.facts[i];
    const bits = list.factBits;
    this.family = list.families[list.family[i]];
    this.fullName = list.fullName[i];
    this.postscriptName = list.postscriptName[i];
    this.style = list.style[i];
    this.weight = list.weight[i];
    this.stretch = kStretches[list.stretch[i] - 1] || 'normal';
    this.italic = list.italic[i] === 1;
    if (list.localizedFamily[i]) this.localizedFamily = list.localizedFamily[i];
    if (list.localizedStyle[i]) this.localizedStyle = list.localizedStyle[i];
    this.file = list.files[file];
    this.format = list.formats[file];
    this.usable = list.usable[file] === 1;
    this.variable = facts & bits.read ? (facts & bits.variable) !== 0 : null;
    this.monospaced = facts & bits.read ? (facts & bits.mono) !== 0 : null;
    this.languages = facts & bits.mapped
      ? list.languages.filter((code, k) => facts & (bits.firstLanguage << k)) : null;
  }

  async blob() {
    const query = new URLSearchParams({file: this.file, postscript: this.postscriptName});
    const {response} = await get(`/api/font?${query}`);
    return response.blob();
  }
}

// The installed faces; with `postscriptNames`, only those named. Rejects
// with NotAllowedError while this site is not allowed, NotFoundError when
// no server answers.
export async function queryLocalFonts(options = {}) {
  const {response} = await get('/api/fonts');
  const list = await response.json();
  const wanted = Array.isArray(options.postscriptNames) ? new Set(options.postscriptNames) : null;
  const faces = [];
  for (let i = 0; i < list.postscriptName.length; i++) {
    if (!wanted || wanted.has(list.postscriptName[i])) faces.push(new FontData(list, i));
  }
  return faces;
}

// Opens the consent page, where the user allows this site or not, and
// resolves to their answer. Call it from a click: the window is opened at
// once, while the click still counts, and sent to the page once the server
// has given its address.
export async function requestFontAccess() {
  const popup = window.open('about:blank', '', 'popup,width=560,height=480');
  if (!popup) {
    throw new DOMException('The consent window was blocked: call requestFontAccess() from a ' +
        'click.', 'InvalidStateError');
  }
  let ask;
  let origin;
  try {
    origin = await server();
    const response = await fetch(`${origin}/api/consent`, {method: 'POST', credentials: 'omit'});
    ask = await response.json();
    if (!response.ok) {
      throw new DOMException(ask.message || 'The server refused.', 'NotAllowedError');
    }
  } catch (e) {
    popup.close();
    throw e;
  }
  if (ask.allowed) {
    popup.close();
    return true;
  }
  const consentOrigin = new URL(ask.consent).origin;
  return new Promise((resolve) => {
    const done = (allowed) => {
      window.removeEventListener('message', onMessage);
      clearInterval(watch);
      resolve(allowed);
    };
    const onMessage = (event) => {
      if (event.origin !== consentOrigin || event.source !== popup) return;
      if (event.data && event.data.type === 'kavri-font-access') done(event.data.allowed === true);
    };
    window.addEventListener('message', onMessage);
    // Once the window is closed, its message lost or never sent, the server
    // says what the answer was.
    const watch = setInterval(async () => {
      if (!popup.closed) return;
      clearInterval(watch);
      const status = await probe(origin);
      done(Boolean(status && status.allowed));
    }, 500);
    popup.location.href = ask.consent;
  });
}

// Calls `callback` with the list of faces (as queryLocalFonts gives it) now
// and whenever the installed fonts change; returns a function that stops it.
// While the site is not allowed or no server answers, it keeps trying.
export function onFontsChanged(callback) {
  let stopped = false;
  let events = null;
  let retry = null;
  let generation = null;
  const connect = async () => {
    retry = null;
    let origin;
    try {
      origin = await server();
    } catch (e) {
      if (!stopped) retry = setTimeout(connect, kRetryMs);
      return;
    }
    if (stopped) return;
    events = new EventSource(`${origin}/api/events`);
    events.addEventListener('fonts', async (event) => {
      const now = JSON.parse(event.data).generation;
      if (now === generation) return;
      generation = now;
      try {
        const faces = await queryLocalFonts();
        if (!stopped && generation === now) callback(faces);
      } catch (e) {
        // Refused or gone: the stream ends too, and is tried again.
      }
    });
    events.addEventListener('error', () => {
      if (events.readyState !== EventSource.CLOSED || stopped) return;
      events = null;
      located = null;
      retry = setTimeout(connect, kRetryMs);
    });
  };
  connect();
  return () => {
    stopped = true;
    clearTimeout(retry);
    if (events) events.close();
  };
}
