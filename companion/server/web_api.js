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
const {EventStreams} = require('./event_streams.js');
const {browserCanShow} = require('./families.js');
const {kFactBits} = require('./font_facts.js');
const {isForeignRequest, isOwnOrigin} = require('./guards.js');
const {kLanguages} = require('./languages.js');
const {methodNotAllowed, reply, writeInPieces} = require('./reply.js');

const kClient = "@client:kavri-fonts.js@";
const kStretches = ['ultra-condensed', 'extra-condensed', 'condensed', 'semi-condensed', 'normal',
  'semi-expanded', 'expanded', 'extra-expanded', 'ultra-expanded'];
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

// The faces as the web app gets them, one JSON text, in the order the page
// lists them.
function faceList({generation, catalogue, order, facts}) {
  if (!catalogue) return Buffer.from('{"generation":0,"faces":[]}');
  const parts = [];
  const fileInfo = new Map();
  for (let i = 0; i < order.length; i++) {
    const f = order[i];
    const row = f * kStride;
    const fileNumber = catalogue.rows[row + kFile];
    let info = fileInfo.get(fileNumber);
    if (!info) {
      const file = catalogue.files.text(fileNumber);
      info = {file, format: formatOf(file), usable: browserCanShow(file)};
      fileInfo.set(fileNumber, info);
    }
    const kind = catalogue.rows[row + kKind];
    const family = faceText(catalogue, f, kFamily);
    const style = faceText(catalogue, f, kStyle);
    const face = {
      family, fullName: fullNameOf(family, style),
      postscriptName: faceText(catalogue, f, kPostscript) || '', style,
      weight: Math.floor(kind / 100) || 400,
      stretch: kStretches[Math.floor(kind / 10) % 10 - 1] || 'normal',
      italic: kind % 10 === 1,
    };
    const localizedFamily = faceText(catalogue, f, kLocalizedFamily);
    const localizedStyle = faceText(catalogue, f, kLocalizedStyle);
    if (localizedFamily !== undefined) face.localizedFamily = localizedFamily;
    if (localizedStyle !== undefined) face.localizedStyle = localizedStyle;
    face.file = info.file;
    face.format = info.format;
    face.usable = info.usable;
    const bits = facts ? facts.bits(i) : 0;
    face.variable = bits ? (bits & kFactBits.variable) !== 0 : null;
    face.monospaced = bits ? (bits & kFactBits.mono) !== 0 : null;
    face.languages = bits & kFactBits.mapped
      ? kLanguages.filter((l, k) => bits & (kFactBits.firstLanguage << k)).map((l) => l.code)
      : null;
    parts.push(JSON.stringify(face));
  }
  return Buffer.from(`{"generation":${generation},"faces":[${parts.join(',')}]}`);
}

class WebApi {
  // `sites` the AllowedSites, `consent` the Consent; `source`: {current()}
  // the catalogue served ({generation, catalogue, order, facts}),
  // {serveFont(req, res, file, postscript)} a face's bytes as the page gets
  // them, {port()}.
  constructor(sites, consent, source, repeatLog) {
    this.sites_ = sites;
    this.consent_ = consent;
    this.source_ = source;
    this.repeatLog_ = repeatLog;
    this.list_ = null;  // {key, bytes} of the last list made
    this.streams_ = new EventStreams({
      event: () => Buffer.from(`event: fonts\ndata: {"generation":${this.source_.current().generation}}\n\n`),
      facts: () => null,
    }, repeatLog);
  }

  // Whether this module answers `pathname`.
  static owns(pathname) {
    return pathname === '/kavri-fonts.js' || pathname.startsWith('/api/');
  }

  catalogueChanged() {
    this.list_ = null;
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
      return json(res, 400, {error: 'bad-origin', message: 'The Origin header is not an origin.'});
    }
    res.setHeader('Access-Control-Allow-Origin', origin);
    if (req.method === 'OPTIONS') return preflight(req, res);
    if (url.pathname === '/api/consent') return this.consent_.ask(req, res, origin);
    const allowed = this.sites_.has(origin);
    if (url.pathname === '/api/status') {
      if (req.method !== 'GET' && req.method !== 'HEAD') return methodNotAllowed(res, 'GET, HEAD');
      return json(res, 200, {allowed});
    }
    if (!allowed) return json(res, 403, {error: 'not-allowed', message: kHowToAsk});
    return this.route_(req, res, url, origin);
  }

  route_(req, res, url, origin) {
    const known = ['/api/fonts', '/api/font', '/api/events', '/api/status'];
    if (!known.includes(url.pathname)) {
      return json(res, 404, {error: 'not-found', message: 'No such route.'});
    }
    if (req.method !== 'GET' && req.method !== 'HEAD') return methodNotAllowed(res, 'GET, HEAD');
    if (url.pathname === '/api/status') return json(res, 200, {allowed: true});
    if (url.pathname === '/api/events') return this.streams_.open(req, res, origin);
    if (url.pathname === '/api/font') {
      return this.source_.serveFont(req, res, url.searchParams.get('file'),
          url.searchParams.get('postscript'));
    }
    const bytes = this.list();
    res.writeHead(200, {'Content-Type': 'application/json', 'Cache-Control': 'no-store',
      'Content-Length': bytes.length});
    if (req.method === 'HEAD') return res.end();
    return writeInPieces(res, bytes).then((whole) => whole && res.end());
  }

  // The list, made again only when the catalogue or its facts moved on.
  list() {
    const current = this.source_.current();
    const key = `${current.generation}:${current.facts ? current.facts.count : 0}`;
    if (!this.list_ || this.list_.key !== key) this.list_ = {key, bytes: faceList(current)};
    return this.list_.bytes;
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

function json(res, status, value) {
  res.setHeader('Cache-Control', 'no-store');
  reply(res, status, 'application/json', JSON.stringify(value));
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
