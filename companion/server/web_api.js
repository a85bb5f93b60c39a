'use strict';
// What other web sites may ask: the installed faces, a face's bytes and
// news of changes, answered only for the sites this account allowed, each
// answer readable by that site alone (CORS with its own origin, never *).
// A site not allowed gets a refusal it can read, saying how to ask; one
// whose Origin is malformed gets nothing it can read. The client module,
// which is code and no data, goes to anyone.

const {parseOrigin} = require('./allowed_sites.js');
const {faceText, kFile, kFamily, kKind, kLocalizedFamily, kLocalizedStyle, kPostscript, kStride,
  kStyle} = require('./catalogue.js');
const {hasText, Writer} = require('./catalogue_event.js');
const {EventStreams} = require('./event_streams.js');
const {browserCanShow} = require('./families.js');
const {kFactBits} = require('./font_facts.js');
const {isForeignRequest, isOwnOrigin} = require('./guards.js');
const {kLanguages} = require('./languages.js');
const {methodNotAllowed, reply, replyJson, writeInPieces} = require('./reply.js');

const kClient = "@client:kavri-fonts.js@";
// Styles a face's full name leaves out, as fonts name their regular face.
const kPlainStyles = new Set(['regular', 'book', 'normal', 'roman', 'plain', 'standard']);
const kFormats = [[/\.ttf$/i, 'truetype'], [/\.otf$/i, 'opentype'], [/\.(ttc|otc)$/i, 'collection'],
  [/\.woff$/i, 'woff'], [/\.woff2$/i, 'woff2'], [/\.(pfa|pfb|t1)$/i, 'type1'],
  [/\.(pcf|bdf|snf|pfr|fon|fnt)$/i, 'bitmap'], [/\.dfont$/i, 'suitcase']];
const kHowToAsk = 'This site may not use the fonts installed on this computer. Ask the user ' +
    'from a click: POST /api/consent gives the address of a page where they can allow it ' +
    '(requestFontAccess() of /kavri-fonts.js does this).';

function formatOf(file) {
  for (const [pattern, format] of kFormats) if (pattern.test(file)) return format;
  return 'unknown';
}

// The full name a face's own name table would most likely give.
function fullNameOf(family, style) {
  return !style || kPlainStyles.has(style.toLowerCase()) ? family : `${family} ${style}`;
}

// The faces as the web app gets them, one JSON text in columns (each face
// an entry of each column, in the order the page lists them; files and
// families named once), which the client module makes into objects:
//   generation, files, formats, usable (per file), families,
//   family, file (numbers into those), style, fullName, postscriptName,
//   localizedFamily, localizedStyle (0 when the font has none), weight,
//   stretch (1 to 9: ultra-condensed to ultra-expanded), italic (0 or 1),
//   languages (the codes of the language bits, in order), factBits (what
//   each bit of a face's facts means), and last facts (0 while the file is
//   not read).
// Made in two parts: all but the facts once per catalogue, the facts, which
// come in as the files are read, at each request.

// Whether a face's style is the one a full name leaves out; only short
// names (escapes and all) are read to tell.
function isPlainStyle(catalogue, f) {
  const start = catalogue.rows[f * kStride + kStyle];
  const length = catalogue.rows[f * kStride + kStyle + 1] - start - 2;
  return length <= 0 ||
      (length <= 48 && kPlainStyles.has(faceText(catalogue, f, kStyle).toLowerCase()));
}

// The list up to its facts: the JSON text without its last member and brace,
// its texts the line's own string literals, copied.
function listWithoutFacts({generation, catalogue, grouping}) {
  if (!catalogue) {
    return Buffer.from(`{"generation":${generation},"files":[],"formats":[],"usable":[],` +
        '"families":[],"family":[],"file":[],"style":[],"fullName":[],"postscriptName":[],' +
        '"localizedFamily":[],"localizedStyle":[],"weight":[],"stretch":[],"italic":[],' +
        `"languages":${JSON.stringify(kLanguages.map((l) => l.code))},` +
        `"factBits":${JSON.stringify(kFactBits)}`);
  }
  const {rows, files, bytes, faceCount} = catalogue;
  const {first, counts, order} = grouping;
  const room = Buffer.allocUnsafeSlow(4096 + 3 * bytes.length + 64 * faceCount + 32 * files.size);
  const w = new Writer(bytes, room);
  const list = (name, count, write) => {
    w.open(name);
    for (let i = 0; i < count; i++) {
      write(i);
      w.byte(0x2c);
    }
    w.close();
  };
  const paths = files.texts();
  const quoted = (text) => w.ascii(`"${text}"`);
  w.ascii(`{"generation":${generation}`);
  list('files', files.size, (k) => w.span(files.starts[k], files.ends[k]));
  list('formats', files.size, (k) => quoted(formatOf(paths[k])));
  list('usable', files.size, (k) => w.int(browserCanShow(paths[k]) ? 1 : 0));
  list('families', first.length, (k) => w.text(rows, first[k], kFamily));
  w.open('family');
  for (let k = 0; k < counts.length; k++) {
    for (let n = 0; n < counts[k]; n++) {
      w.int(k);
      w.byte(0x2c);
    }
  }
  w.close();
  const face = (name, write) =>
    list(name, order.length, (i) => write(order[i], order[i] * kStride));
  face('file', (f, row) => w.int(rows[row + kFile]));
  face('style', (f) => w.text(rows, f, kStyle));
  face('fullName', (f, row) => {
    if (isPlainStyle(catalogue, f)) return w.text(rows, f, kFamily);
    w.span(rows[row + kFamily], rows[row + kFamily + 1] - 1);
    w.byte(0x20);
    return w.span(rows[row + kStyle] + 1, rows[row + kStyle + 1]);
  });
  face('postscriptName', (f) => w.text(rows, f, kPostscript));
  for (const [name, at] of [['localizedFamily', kLocalizedFamily],
    ['localizedStyle', kLocalizedStyle]]) {
    face(name, (f) => (hasText(rows, f, at) ? w.text(rows, f, at) : w.byte(0x30)));
  }
  face('weight', (f, row) => w.int(Math.floor(rows[row + kKind] / 100)));
  face('stretch', (f, row) => w.int(Math.floor(rows[row + kKind] / 10) % 10));
  face('italic', (f, row) => w.int(rows[row + kKind] % 10));
  w.ascii(`,"languages":${JSON.stringify(kLanguages.map((l) => l.code))}`);
  w.ascii(`,"factBits":${JSON.stringify(kFactBits)}`);
  return Buffer.from(w.out.subarray(0, w.at));
}

// The whole list, as one buffer.
function faceList(current) {
  return Buffer.concat([listWithoutFacts(current), factsColumn(current)]);
}

// The list's last member, the facts, and its closing brace.
function factsColumn({grouping, facts}) {
  const n = grouping ? grouping.order.length : 0;
  const bits = new Array(n);
  for (let i = 0; i < n; i++) bits[i] = facts ? facts.bits(i) : 0;
  return Buffer.from(`,"facts":${JSON.stringify(bits)}}`);
}

class WebApi {
  // `sites` the AllowedSites, `consent` the Consent; `source`: {current()}
  // the catalogue served ({generation, catalogue, grouping, facts}),
  // {serveFont(req, res, file, postscript)} a face's bytes as the page gets
  // them, {port()}.
  constructor(sites, consent, source, repeatLog) {
    this.sites_ = sites;
    this.consent_ = consent;
    this.source_ = source;
    this.repeatLog_ = repeatLog;
    this.list_ = null;  // {generation, bytes} of the list without its facts
    this.streams_ = new EventStreams({
      event: () => Buffer.from('event: fonts\ndata: ' +
          `{"generation":${this.source_.current().generation}}\n\n`),
      facts: () => null,
    }, repeatLog);
  }

  // Whether this module answers `pathname`.
  static owns(pathname) {
    return pathname === '/kavri-fonts.js' || pathname.startsWith('/api/');
  }

  catalogueChanged() {
    this.list_ = null;
    this.sites_.list();  // a site a hand edit removed hears no more
    this.streams_.catalogueChanged();
  }

  // A site stopped being allowed: its streams end now.
  removed(origin) {
    this.streams_.close(origin);
  }

  keepAlive() {
    this.sites_.list();  // a hand edit that removed a site ends its streams
    this.streams_.keepAlive();
  }

  handle(req, res, url) {
    if (url.pathname === '/kavri-fonts.js') return this.serveClient_(req, res);
    res.setHeader('Vary', 'Origin');
    const origin = req.headers.origin;
    const port = this.source_.port();
    const own = origin === undefined || isOwnOrigin(origin, port);
    if (own) {
      // The server's own page, or a request no site made; a site's request
      // that carries no Origin (a no-cors load) is refused as ever.
      if (isForeignRequest(req.method, url.pathname, req.headers, port)) {
        return reply(res, 403, 'text/plain; charset=utf-8', 'forbidden\n');
      }
      return this.route_(req, res, url, null);
    }
    if (!parseOrigin(origin)) {
      this.repeatLog_.note('origin', 'refused a request with a malformed Origin');
      return replyJson(res, 400,
          {error: 'bad-origin', message: 'The Origin header is not an origin.'});
    }
    res.setHeader('Access-Control-Allow-Origin', origin);
    if (req.method === 'OPTIONS') return preflight(req, res);
    if (url.pathname === '/api/consent') return this.consent_.ask(req, res, origin);
    const allowed = this.sites_.has(origin);
    if (url.pathname === '/api/status') {
      if (req.method !== 'GET' && req.method !== 'HEAD') return methodNotAllowed(res, 'GET, HEAD');
      return replyJson(res, 200, {allowed});
    }
    if (!allowed) return replyJson(res, 403, {error: 'not-allowed', message: kHowToAsk});
    return this.route_(req, res, url, origin);
  }

  route_(req, res, url, origin) {
    const known = ['/api/fonts', '/api/font', '/api/events', '/api/status'];
    if (!known.includes(url.pathname)) {
      return replyJson(res, 404, {error: 'not-found', message: 'No such route.'});
    }
    if (req.method !== 'GET' && req.method !== 'HEAD') return methodNotAllowed(res, 'GET, HEAD');
    if (url.pathname === '/api/status') return replyJson(res, 200, {allowed: true});
    if (url.pathname === '/api/events') return this.streams_.open(req, res, origin);
    if (url.pathname === '/api/font') {
      return this.source_.serveFont(req, res, url.searchParams.get('file'),
          url.searchParams.get('postscript'));
    }
    const current = this.source_.current();
    if (!this.list_ || this.list_.generation !== current.generation) {
      this.list_ = {generation: current.generation, bytes: listWithoutFacts(current)};
    }
    const base = this.list_.bytes;
    const tail = factsColumn(current);
    res.writeHead(200, {'Content-Type': 'application/json', 'Cache-Control': 'no-store',
      'Content-Length': base.length + tail.length});
    if (req.method === 'HEAD') return res.end();
    return writeInPieces(res, base).then((whole) => whole && res.end(tail));
  }

  serveClient_(req, res) {
    if (req.method !== 'GET' && req.method !== 'HEAD') return methodNotAllowed(res, 'GET, HEAD');
    // Browsers fetch modules with CORS; this is code, the same for everyone.
    res.setHeader('Access-Control-Allow-Origin', '*');
    res.setHeader('Cross-Origin-Resource-Policy', 'cross-origin');
    res.setHeader('Cache-Control', 'no-cache');
    return reply(res, 200, 'text/javascript; charset=utf-8', kClient);
  }
}


// What a site may send: simple GETs and POSTs, no credentials.
function preflight(req, res) {
  res.setHeader('Access-Control-Allow-Methods', 'GET, HEAD, POST');
  res.setHeader('Access-Control-Max-Age', '600');
  if (req.headers['access-control-request-private-network'] === 'true') {
    res.setHeader('Access-Control-Allow-Private-Network', 'true');
  }
  req.resume();
  return reply(res, 204);
}

module.exports = {WebApi, faceList, fullNameOf};
