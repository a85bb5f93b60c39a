'use strict';
// The files the server keeps for its account: the port its page is
// remembered on, so the address stays put, and the address it is on now,
// where a person or a script can find it.

const fs = require('fs');
const path = require('path');
const {log: logLine} = require('./log.js');

const kMaxPortFileBytes = 16;
// The server runs without the rights to listen below this.
const kMinRememberedPort = 1024;

// The base directories count only when absolute, as their convention says.
const absolute = (dir) => (typeof dir === 'string' && path.isAbsolute(dir) ? dir : null);

// $XDG_STATE_HOME/kavri/port ($HOME/.local/state by default), or null.
function rememberedPortFile(env) {
  const home = absolute(env.HOME);
  const state = absolute(env.XDG_STATE_HOME) || (home && path.join(home, '.local', 'state'));
  return state ? path.join(state, 'kavri', 'port') : null;
}

// $XDG_RUNTIME_DIR/kavri/address, or null without a runtime directory.
function addressFile(env) {
  const runtime = absolute(env.XDG_RUNTIME_DIR);
  return runtime ? path.join(runtime, 'kavri', 'address') : null;
}

// A small regular file's bytes, at most `max` of them; anything else throws.
// Non-blocking, so a FIFO put in its place cannot hang the start; with
// `noLink`, a link put in its place is refused (ELOOP).
function readSmallFile(file, max, {noLink = false} = {}) {
  const fd = fs.openSync(file, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK |
      (noLink ? fs.constants.O_NOFOLLOW : 0));
  try {
    if (!fs.fstatSync(fd).isFile()) throw new Error('it is not a regular file');
    const bytes = Buffer.alloc(max + 1);
    let size = 0;
    for (let n = 1; n > 0 && size <= max; size += n) {
      n = fs.readSync(fd, bytes, size, bytes.length - size, null);
    }
    if (size > max) throw new Error(`it is over ${max} bytes`);
    return bytes.toString('latin1', 0, size);
  } finally {
    fs.closeSync(fd);
  }
}

// The port remembered in `file`, or null when there is none or the file
// holds anything but a port and a line feed (said in the log: it will be
// replaced).
function readRememberedPort(file, log = logLine) {
  let text;
  try {
    text = readSmallFile(file, kMaxPortFileBytes);
  } catch (e) {
    if (e.code !== 'ENOENT') log(`ignoring the remembered port: cannot read ${file}: ${e.message}`);
    return null;
  }
  const m = /^([0-9]{1,5})\n$/.exec(text);
  const port = m ? Number(m[1]) : 0;
  if (port < kMinRememberedPort || port > 65535) {
    log(`ignoring the remembered port: ${file} holds no port number of ` +
        `${kMinRememberedPort} to 65535 and a line feed`);
    return null;
  }
  return port;
}

// Replaces `file` whole or not at all, its directories made private to the
// account where missing.
function writeAtomically(file, text) {
  fs.mkdirSync(path.dirname(file), {recursive: true, mode: 0o700});
  const temp = `${file}.${process.pid}.tmp`;
  try {
    const fd = fs.openSync(temp, 'w', 0o600);
    try {
      fs.writeFileSync(fd, text);
      fs.fsyncSync(fd);
    } finally {
      fs.closeSync(fd);
    }
    fs.renameSync(temp, file);
  } catch (e) {
    fs.rmSync(temp, {force: true});
    throw e;
  }
}

function rememberPort(file, port, log = logLine) {
  try {
    writeAtomically(file, `${port}\n`);
    log(`remembering port ${port} for this account in ${file}`);
  } catch (e) {
    log(`cannot remember port ${port} in ${file}: ${e.message}`);
  }
}

// Writes the page's address where a person or a script finds it; without a
// runtime directory there is no such place.
function publishAddress(env, address, log = logLine) {
  const file = addressFile(env);
  if (!file) return;
  try {
    writeAtomically(file, `${address}\n`);
  } catch (e) {
    log(`cannot write the page's address to ${file}: ${e.message}`);
  }
}

module.exports = {rememberedPortFile, addressFile, readRememberedPort, rememberPort, publishAddress,
  absolute, readSmallFile, writeAtomically};
