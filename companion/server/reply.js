'use strict';
// The plain answers every route ends with.

function reply(res, status, type, body, length = body === undefined ? undefined : Buffer.byteLength(body)) {
  if (type) res.setHeader('Content-Type', type);
  if (length !== undefined) res.setHeader('Content-Length', length);
  res.writeHead(status);
  res.end(body);
}

const kPieceBytes = 64 * 1024;

// Resolves when `res` can take more or has gone.
function writable(res) {
  return new Promise((resolve) => {
    const done = () => {
      res.removeListener('drain', done);
      res.removeListener('close', done);
      resolve();
    };
    res.on('drain', done);
    res.on('close', done);
  });
}

// Writes `bytes` a piece at a time as the reader takes them: handed to the
// socket whole, megabytes would be copied (and encrypted) at once for each
// reader. Resolves whether all went out before the reader went away.
async function writeInPieces(res, bytes) {
  for (let at = 0; at < bytes.length; at += kPieceBytes) {
    if (res.destroyed) return false;
    if (!res.write(bytes.subarray(at, at + kPieceBytes))) await writable(res);
  }
  return !res.destroyed;
}

function methodNotAllowed(res, allow) {
  res.setHeader('Allow', allow);
  reply(res, 405, 'text/plain; charset=utf-8', 'method not allowed\n');
}

// `value` as JSON, never cached: answers that change with the allowed sites.
function replyJson(res, status, value) {
  res.setHeader('Cache-Control', 'no-store');
  reply(res, status, 'application/json', JSON.stringify(value));
}

module.exports = {reply, replyJson, methodNotAllowed, writeInPieces};
