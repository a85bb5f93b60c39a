'use strict';
// A font file sent from disk: its media type, and its bytes at the pace the
// reader takes them.

const fs = require('fs');

const kChunkBytes = 64 * 1024;

// Media type of a font file from its first bytes, as browsers want it.
function fontMediaType(head) {
  if (head.length < 4) return 'application/octet-stream';
  const tag = head.toString('latin1', 0, 4);
  if (tag === '\x00\x01\x00\x00' || tag === 'true') return 'font/ttf';
  if (tag === 'OTTO') return 'font/otf';
  if (tag === 'ttcf') return 'font/collection';
  if (tag === 'wOFF') return 'font/woff';
  if (tag === 'wOF2') return 'font/woff2';
  return 'application/octet-stream';
}

// Up to `length` bytes of the file at `offset`; fewer only at its end.
async function readAt(handle, offset, length) {
  const buffer = Buffer.alloc(length);
  let done = 0;
  while (done < length) {
    const {bytesRead} = await handle.read(buffer, done, length - done, offset + done);
    if (bytesRead === 0) break;
    done += bytesRead;
  }
  return buffer.subarray(0, done);
}

// The status (bigint fields) of the regular file at `path`, or null.
async function regularFile(path) {
  try {
    const st = await fs.promises.stat(path, {bigint: true});
    return st.isFile() ? st : null;
  } catch (e) {
    return null;
  }
}

// What `use(read, size)` makes of the file at `path`, opened only if it is
// still the file `stat` (bigint fields) describes; null when it is not or
// cannot be read. `read(offset, length)` is readAt on it.
async function readUnchanged(path, stat, use) {
  let handle = null;
  try {
    // Non-blocking, so a FIFO put at a listed path cannot hang a worker.
    handle = await fs.promises.open(path, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
    const now = await handle.stat({bigint: true});
    if (now.ino !== stat.ino || now.dev !== stat.dev || now.ctimeNs !== stat.ctimeNs ||
        now.size !== stat.size) {
      return null;  // replaced since
    }
    return await use((o, n) => readAt(handle, o, n), Number(stat.size));
  } catch (e) {
    return null;
  } finally {
    if (handle) handle.close().catch(() => {});
  }
}

// Resolves when `res` can take more, rejects when its reader has gone or has
// taken nothing for `stallMs`.
function drained(res, stallMs) {
  return new Promise((resolve, reject) => {
    const done = (error) => {
      clearTimeout(timer);
      res.removeListener('drain', onDrain);
      res.removeListener('close', onClose);
      if (error) reject(error); else resolve();
    };
    const onDrain = () => done();
    const onClose = () => done(new Error('the reader went away'));
    const timer = setTimeout(() => done(new StallError()), stallMs);
    res.on('drain', onDrain);
    res.on('close', onClose);
  });
}

class StallError extends Error {
  constructor() {
    super('the reader stopped reading');
  }
}

// Sends a plan's bytes, reading the file a chunk at a time as the reader
// takes them, so a reader that does not read holds one chunk, not the file.
async function sendPlan(res, handle, plan, stallMs) {
  const write = async (chunk) => {
    if (res.destroyed) throw new Error('the reader went away');
    if (!res.write(chunk)) await drained(res, stallMs);
  };
  if (plan.head.length > 0) await write(plan.head);
  for (const piece of plan.pieces) {
    for (let done = 0; done < piece.length;) {
      const n = Math.min(kChunkBytes, piece.length - done);
      const chunk = await readAt(handle, piece.offset + done, n);
      if (chunk.length !== n) throw new Error('the file shrank while it was sent');
      await write(chunk);
      done += n;
    }
    if (piece.padded > piece.length) await write(Buffer.alloc(piece.padded - piece.length));
  }
  res.end();
}

module.exports = {fontMediaType, readAt, readUnchanged, regularFile, sendPlan, StallError};
