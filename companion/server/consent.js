'use strict';
// How a web site comes to be allowed: only ever by the user, on a page of
// the server's own. A window a site opens carries no Origin, so the site
// first asks by a CORS request, whose Origin the browser vouches for, and
// gets a one-time address of a consent page that names that origin. Only
// that page's answer counts: it comes from the server's own origin, by a
// same-origin fetch, with a token that only the page holds.

const crypto = require('crypto');
const {isAllowable, parseOrigin} = require('./allowed_sites.js');
const {isOwnPagePost} = require('./guards.js');
const {monotonicMs} = require('./log.js');
const {methodNotAllowed, reply, replyJson} = require('./reply.js');
const {readBody} = require('./request_body.js');

const kMaxPending = 16;            // consent pages open at once, over all sites
const kPendingMs = 10 * 60 * 1000; // a page not answered by then is gone
const kMaxAnswerBytes = 1024;
const kScript = "@page:consent.js@";
const kText = 'text/plain; charset=utf-8';

const escapeHtml = (s) => String(s).replace(/[&<>"']/g, (c) => `&#${c.charCodeAt(0)};`);


// The consent pages asked for and not yet answered: at most one per site,
// and a few in all.
class Consent {
  // `sites` the AllowedSites; `familyCount()` how many families the page
  // would hand over; `port()` the server's port.
  constructor(sites, {familyCount, port, repeatLog}) {
    this.sites_ = sites;
    this.familyCount_ = familyCount;
    this.port_ = port;
    this.repeatLog_ = repeatLog;
    this.pending_ = new Map();  // id -> {origin, token, until}
  }

  // A site's CORS request for a consent page. Its Origin has been checked to
  // be a well-formed origin; the answer is readable by it.
  ask(req, res, origin) {
    if (req.method !== 'POST') return methodNotAllowed(res, 'POST');
    req.resume();
    this.expire_();
    if (this.sites_.has(origin)) return replyJson(res, 200, {allowed: true});
    for (const [id, entry] of this.pending_) {
      if (entry.origin !== origin) continue;
      return replyJson(res, 200, {allowed: false, consent: this.address_(id)});
    }
    if (this.pending_.size >= kMaxPending) {
      this.repeatLog_.note('consent', `${kMaxPending} consent pages are waiting for an answer; ` +
          'refusing to open another');
      return replyJson(res, 429, {error: 'busy',
        message: 'Too many sites are asking for the fonts at once; try again later.'});
    }
    const id = crypto.randomBytes(16).toString('hex');
    this.pending_.set(id, {origin, token: crypto.randomBytes(32).toString('hex'),
      until: monotonicMs() + kPendingMs});
    return replyJson(res, 200, {allowed: false, consent: this.address_(id)});
  }

  // The server's own routes of the flow: the page, its script, its answer.
  // Returns false for a path that is none of them.
  handle(req, res, url) {
    const route = {
      '/consent': () => this.page_(req, res, url),
      '/consent.js': () => script(req, res),
      '/consent/answer': () => this.answer_(req, res),
    }[url.pathname];
    if (!route) return false;
    route();
    return true;
  }

  address_(id) {
    return `http://127.0.0.1:${this.port_()}/consent?id=${id}`;
  }

  expire_() {
    const now = monotonicMs();
    for (const [id, entry] of this.pending_) {
      if (entry.until <= now) this.pending_.delete(id);
    }
  }

  // The consent page: what the site asks for, named exactly as its browser
  // sent it, and the two answers. Framing is refused by the headers every
  // answer carries; no opener policy, so the answer can reach the site's
  // window.
  page_(req, res, url) {
    if (req.method !== 'GET' && req.method !== 'HEAD') return methodNotAllowed(res, 'GET, HEAD');
    this.expire_();
    const id = url.searchParams.get('id');
    const entry = id && this.pending_.get(id);
    res.setHeader('Cache-Control', 'no-store');
    if (!entry) {
      return reply(res, 404, 'text/html; charset=utf-8', pageHtml('Nothing to answer',
          '<p>This request for your fonts has been answered or has expired. ' +
          'Ask again from the site.</p>', {}));
    }
    const families = this.familyCount_();
    const origin = escapeHtml(entry.origin);
    const allowable = isAllowable(entry.origin);
    const body = `<p class="origin"><strong id="origin">${origin}</strong></p>
<p>wants to use the fonts installed for your account: the names and files of the
${families} installed ${families === 1 ? 'family' : 'families'}, and to hear when they change.</p>
${allowable ? '' : '<p id="warning" class="warning">This site is not served securely (https://), ' +
  'so anyone on the network could pose as it: it cannot be allowed.</p>'}
<p id="result" role="status"></p>
<p><button id="allow" type="button" disabled>Allow</button>
<button id="deny" type="button" disabled>Don't allow</button></p>`;
    return reply(res, 200, 'text/html; charset=utf-8', pageHtml('Allow a site to use your fonts?',
        body, {id, token: entry.token, origin: entry.origin}));
  }

  // The consent page's answer: {id, token, allow}. A site cannot send it:
  // its Origin would be its own, and it never sees the token.
  async answer_(req, res) {
    if (req.method !== 'POST') return methodNotAllowed(res, 'POST');
    if (!isOwnPagePost(req.headers, this.port_())) return reply(res, 403, kText, 'forbidden\n');
    const body = await readBody(req, kMaxAnswerBytes);
    if (!body) return reply(res, 413, kText, 'too large\n');
    let answer = null;
    try {
      answer = JSON.parse(body.toString('utf8'));
    } catch (e) {
      answer = null;
    }
    this.expire_();
    const entry = answer && typeof answer.id === 'string' && this.pending_.get(answer.id);
    if (!entry || typeof answer.token !== 'string' || typeof answer.allow !== 'boolean' ||
        !sameSecret(answer.token, entry.token)) {
      return reply(res, 403, kText, 'forbidden\n');
    }
    this.pending_.delete(answer.id);
    if (!answer.allow) return replyJson(res, 200, {allowed: false});
    if (!parseOrigin(entry.origin) || !isAllowable(entry.origin)) {
      return replyJson(res, 403, {allowed: false, error: 'not-allowable'});
    }
    if (!this.sites_.add(entry.origin)) {
      return replyJson(res, 500, {allowed: false, error: 'not-kept'});
    }
    return replyJson(res, 200, {allowed: true});
  }
}

function script(req, res) {
  if (req.method !== 'GET' && req.method !== 'HEAD') return methodNotAllowed(res, 'GET, HEAD');
  res.setHeader('Cache-Control', 'no-cache');
  return reply(res, 200, 'text/javascript; charset=utf-8', kScript);
}

function sameSecret(a, b) {
  const x = Buffer.from(a);
  const y = Buffer.from(b);
  return x.length === y.length && crypto.timingSafeEqual(x, y);
}

function pageHtml(title, body, data) {
  const attributes = Object.entries(data)
      .map(([name, value]) => ` data-${name}="${escapeHtml(value)}"`).join('');
  return `<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="color-scheme" content="light dark">
<title>${escapeHtml(title)}</title>
<link rel="stylesheet" href="/app.css">
<script type="module" src="/consent.js"></script>
</head>
<body class="consent"${attributes}>
<main>
<h1>${escapeHtml(title)}</h1>
${body}
</main>
</body>
</html>
`;
}

module.exports = {Consent, kMaxPending};
