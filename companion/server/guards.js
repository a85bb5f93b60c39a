'use strict';
// What keeps other sites' pages out: requests are answered only for the
// server's own names and from its own page.

// The page is served both plain and over TLS, under both names.
function ownOrigins(port) {
  return ['http', 'https'].flatMap((scheme) =>
    [`${scheme}://127.0.0.1:${port}`, `${scheme}://localhost:${port}`]);
}

// DNS rebinding defence: a page from any other name that resolves to loopback
// carries that name in Host.
function isAllowedHost(host, port) {
  if (typeof host !== 'string') return false;
  const h = host.toLowerCase();
  return h === `127.0.0.1:${port}` || h === `localhost:${port}`;
}

function isOwnOrigin(origin, port) {
  return typeof origin === 'string' && ownOrigins(port).includes(origin.toLowerCase());
}

// Pages another site may open by a link or a window: the page itself, and
// the consent page a site asking for the fonts opens.
const kOpenable = new Set(['/', '/consent']);

// Requests that another site's page makes the browser send: anything with a
// foreign Origin, and anything the browser marks as cross-site except opening
// an openable page in a window of its own (never in a frame).
function isForeignRequest(method, pathname, headers, port) {
  if (headers.origin !== undefined && !isOwnOrigin(headers.origin, port)) return true;
  const site = headers['sec-fetch-site'];
  if (site === undefined || site === 'same-origin' || site === 'none') return false;
  const dest = headers['sec-fetch-dest'];
  return !(method === 'GET' && kOpenable.has(pathname) && headers['sec-fetch-mode'] === 'navigate' &&
      (dest === undefined || dest === 'document'));
}

// The update-check request changes state, so it must come from the page
// itself: browsers always send Origin with a POST.
function isOwnPagePost(headers, port) {
  const site = headers['sec-fetch-site'];
  return isOwnOrigin(headers.origin, port) && (site === undefined || site === 'same-origin');
}

const kSecurityHeaders = {
  'X-Content-Type-Options': 'nosniff',
  'Referrer-Policy': 'no-referrer',
  'Cross-Origin-Resource-Policy': 'same-origin',
  'X-Frame-Options': 'DENY',
  'Content-Security-Policy': "default-src 'none'; script-src 'self'; style-src 'self'; " +
      "font-src 'self'; connect-src 'self'; base-uri 'none'; form-action 'none'; " +
      "frame-ancestors 'none'",
};

module.exports = {isAllowedHost, isOwnOrigin, isForeignRequest, isOwnPagePost, kSecurityHeaders};
