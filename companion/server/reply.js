'use strict';
// The plain answers every route ends with.

function reply(res, status, type, body, length = body === undefined ? undefined : Buffer.byteLength(body)) {
  if (type) res.setHeader('Content-Type', type);
  if (length !== undefined) res.setHeader('Content-Length', length);
  res.writeHead(status);
  res.end(body);
}

function methodNotAllowed(res, allow) {
  res.setHeader('Allow', allow);
  reply(res, 405, 'text/plain; charset=utf-8', 'method not allowed\n');
}

module.exports = {reply, methodNotAllowed};
