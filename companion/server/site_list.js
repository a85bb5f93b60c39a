'use strict';
// The page's own routes for the allowed sites: the list, with whether web
// apps can find this server at all, and the removal of a site, which only
// the page itself can ask for.

const {isOwnPagePost} = require('./guards.js');
const {methodNotAllowed, reply} = require('./reply.js');
const {isFindablePort} = require('./port.js');
const {readBody} = require('./request_body.js');

const kMaxRemoveBytes = 1024;
const kText = 'text/plain; charset=utf-8';

function list(req, res, sites, port) {
  if (req.method !== 'GET' && req.method !== 'HEAD') return methodNotAllowed(res, 'GET, HEAD');
  res.setHeader('Cache-Control', 'no-store');
  return reply(res, 200, 'application/json', JSON.stringify({sites: sites.list(),
    findable: isFindablePort(port), fault: sites.fault}));
}

// {"origin": ORIGIN}, from the page only.
function remove(req, res, sites, port) {
  if (req.method !== 'POST') return methodNotAllowed(res, 'POST');
  if (!isOwnPagePost(req.headers, port)) return reply(res, 403, kText, 'forbidden\n');
  return readBody(req, kMaxRemoveBytes).then((body) => {
    let origin = null;
    try {
      if (body) origin = JSON.parse(body.toString()).origin;
    } catch (e) {
      origin = null;
    }
    if (typeof origin !== 'string') return reply(res, 400, kText, 'bad request\n');
    if (!sites.remove(origin)) return reply(res, 500, kText, 'the list could not be kept\n');
    return reply(res, 204);
  });
}

// Answers `/sites` and `/sites/remove`; false for any other path. The caller
// has refused other sites' requests already.
function handleSiteList(req, res, url, sites, port) {
  const route = {'/sites': list, '/sites/remove': remove}[url.pathname];
  if (!route) return false;
  route(req, res, sites, port);
  return true;
}

module.exports = {handleSiteList};
