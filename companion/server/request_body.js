'use strict';
// The body of a small request the page or a site sends.

// Resolves to the body, or to null as soon as it is larger than `max` bytes
// (the rest is read and dropped while the refusal goes out) or the request
// fails.
function readBody(req, max) {
  return new Promise((resolve) => {
    const chunks = [];
    let size = 0;
    const onData = (c) => {
      size += c.length;
      if (size <= max) return chunks.push(c);
      req.removeListener('data', onData);
      req.resume();
      return resolve(null);
    };
    req.on('data', onData);
    req.on('end', () => resolve(Buffer.concat(chunks)));
    req.on('error', () => resolve(null));
  });
}

module.exports = {readBody};
