'use strict';
// Shared pieces of the companion server's tests: a real certificate
// container, the server as a child process fed the way the agent feeds it,
// and requests over plain HTTP or over TLS trusting that certificate.

const {execFileSync, spawn} = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const http = require('http');
const https = require('https');
const net = require('net');
const os = require('os');
const path = require('path');
const tls = require('tls');

const {assemble} = require('../assemble.js');

const kWaitMs = 20 * 1000;  // generous: CI shares two cores with builds

function tempDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// A directory removed when this process exits.
const scratch = [];
function scratchDir(prefix) {
  if (scratch.length === 0) {
    process.on('exit', () => {
      for (const dir of scratch) fs.rmSync(dir, {recursive: true, force: true});
    });
  }
  scratch.push(tempDir(prefix));
  return scratch[scratch.length - 1];
}

// How a client reaches the server: plain HTTP, as a browser opens the page,
// or TLS trusting the test's certificate.
const plain = {scheme: 'http', client: http, options: {}};
function overTls(ca) {
  return {scheme: 'https', client: https, options: {ca, servername: 'localhost'}};
}

// A self-signed certificate for localhost and 127.0.0.1 in a PKCS#12
// container encrypted with a fresh 128-hex-digit pass phrase.
function makeCredentials(dir) {
  const passphrase = crypto.randomBytes(64).toString('hex').toUpperCase();
  const key = path.join(dir, 'key.pem');
  const cert = path.join(dir, 'cert.pem');
  const p12 = path.join(dir, 'cert.p12');
  const quiet = {stdio: ['ignore', 'ignore', 'pipe']};
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
    '-subj', '/CN=localhost', '-addext', 'subjectAltName=DNS:localhost,IP:127.0.0.1',
    '-keyout', key, '-out', cert], quiet);
  execFileSync('openssl', ['pkcs12', '-export', '-inkey', key, '-in', cert, '-out', p12,
    '-passout', `pass:${passphrase}`], quiet);
  return {
    passphrase,
    container: fs.readFileSync(p12).toString('base64'),
    ca: fs.readFileSync(cert),
  };
}

// A certificate authority of the test's own and a certificate it signs for
// `names` (DNS names), for a web site a browser trusting that authority
// opens: {ca, key, cert}, PEM.
function makeSiteCertificate(dir, names) {
  const file = (name) => path.join(dir, name);
  const quiet = {stdio: ['ignore', 'ignore', 'pipe']};
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
    '-subj', '/CN=Kavri test authority', '-addext', 'basicConstraints=critical,CA:TRUE',
    '-addext', 'keyUsage=critical,keyCertSign,cRLSign',
    '-keyout', file('site-ca.key'), '-out', file('site-ca.pem')], quiet);
  execFileSync('openssl', ['req', '-new', '-newkey', 'rsa:2048', '-nodes', '-subj',
    `/CN=${names[0]}`, '-keyout', file('site.key'), '-out', file('site.csr')], quiet);
  fs.writeFileSync(file('site.ext'), `subjectAltName=${names.map((n) => `DNS:${n}`).join(',')}\n` +
      'extendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n');
  execFileSync('openssl', ['x509', '-req', '-in', file('site.csr'), '-CA', file('site-ca.pem'),
    '-CAkey', file('site-ca.key'), '-CAcreateserial', '-days', '2', '-extfile', file('site.ext'),
    '-out', file('site.pem')], quiet);
  return {ca: fs.readFileSync(file('site-ca.pem')), key: fs.readFileSync(file('site.key')),
    cert: fs.readFileSync(file('site.pem'))};
}

// Collects a stream's text and waits for patterns in it, each wait starting
// where the previous match ended, so events are awaited in order.
class OutputWatcher {
  constructor(stream, name) {
    this.name_ = name;
    this.text = '';
    this.cursor_ = 0;
    this.waiters_ = new Set();
    this.ended_ = false;
    stream.setEncoding('utf8');
    stream.on('data', (s) => {
      this.text += s;
      this.poke_();
    });
    stream.on('end', () => {
      this.ended_ = true;
      this.poke_();
    });
  }

  // With `anywhere`, the whole text is searched and the position is kept:
  // for one-off lines whose order against others is not fixed. A function
  // pattern is a test of the text (from the position, or all of it).
  waitFor(pattern, {anywhere = false, timeoutMs = kWaitMs} = {}) {
    return new Promise((resolve, reject) => {
      const waiter = {pattern, anywhere, resolve, reject};
      waiter.timer = setTimeout(() => {
        this.waiters_.delete(waiter);
        reject(new Error(`no ${pattern} on ${this.name_} within ${timeoutMs} ms; ` +
            `it said:\n${this.text}`));
      }, timeoutMs);
      this.waiters_.add(waiter);
      this.poke_();
    });
  }

  poke_() {
    for (const waiter of this.waiters_) {
      const from = waiter.anywhere ? 0 : this.cursor_;
      const rest = this.text.slice(from);
      let match;
      if (typeof waiter.pattern === 'function') {
        match = waiter.pattern(rest) ? [''] : null;
      } else if (typeof waiter.pattern === 'string') {
        match = rest.includes(waiter.pattern) ? [waiter.pattern] : null;
      } else {
        match = rest.match(waiter.pattern);
      }
      if (!match && !this.ended_) continue;
      if (match && !waiter.anywhere) this.cursor_ = from + rest.indexOf(match[0]) + match[0].length;
      clearTimeout(waiter.timer);
      this.waiters_.delete(waiter);
      if (match) {
        waiter.resolve(match);
      } else {
        waiter.reject(new Error(`${this.name_} ended without ${waiter.pattern}; ` +
            `it said:\n${this.text}`));
      }
    }
  }
}

// The server as it ships, assembled from the sources into a file of this
// process's own, once, alone in its folder: it must need nothing beside it.
// Other accounts may run it too.
let assembled = null;
function shippedDaemon() {
  if (!assembled) {
    const dir = scratchDir('kavri-daemon-');
    fs.chmodSync(dir, 0o755);
    assembled = path.join(dir, 'daemon.js');
    fs.writeFileSync(assembled, assemble());
  }
  return assembled;
}

// The server as the agent runs it: pipes on standard input and output.
// Port 0 unless the caller says otherwise, so tests never collide; a home
// and runtime directory of its own, so tests never touch the real ones.
// `wrap` is a command that runs it (in another namespace, as another user).
function spawnCompanion(env = {}, script = shippedDaemon(), {wrap = []} = {}) {
  const account = scratchDir('kavri-account-');
  const fullEnv = {...process.env, KAVRI_PORT: '0', HOME: account, XDG_STATE_HOME: undefined,
    XDG_RUNTIME_DIR: path.join(account, 'run'), ...env};
  const [command, ...args] = [...wrap, process.execPath, script];
  const child = spawn(command, args, {env: fullEnv, stdio: ['pipe', 'pipe', 'pipe']});
  const exited = new Promise((resolve) => {
    child.on('exit', (code, signal) => resolve({code, signal}));
  });
  child.stdin.on('error', () => {});  // the server may exit before reading all
  return {
    child,
    env: fullEnv,
    exited,
    stdout: new OutputWatcher(child.stdout, 'stdout'),
    stderr: new OutputWatcher(child.stderr, 'stderr'),
    send(text) { child.stdin.write(text); },
    async port() {
      const m = await this.stderr.waitFor(/listening on http:\/\/127\.0\.0\.1:(\d+)\//,
          {anywhere: true});
      return Number(m[1]);
    },
    stop() {
      child.stdin.end();
      return exited;
    },
  };
}

// One request to 127.0.0.1:port `via` plain HTTP or TLS, with `body` if
// given. Resolves {status, headers, body (Buffer)}.
function request(port, via, {method = 'GET', path: urlPath = '/', headers = {}, body} = {}) {
  return new Promise((resolve, reject) => {
    const req = via.client.request({
      host: '127.0.0.1', port, method, path: urlPath, agent: false, ...via.options,
      headers: {Host: `127.0.0.1:${port}`, ...headers},
    }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({status: res.statusCode, headers: res.headers,
        body: Buffer.concat(chunks)}));
      res.on('error', reject);
    });
    req.setTimeout(kWaitMs, () => req.destroy(new Error(`no answer to ${method} ${urlPath}`)));
    req.on('error', reject);
    req.end(body);
  });
}

// A connection to 127.0.0.1:port `via` plain HTTP or TLS, once it is ready
// for a request; errors after that are ignored.
function connect(port, via) {
  return new Promise((resolve, reject) => {
    const socket = via.scheme === 'https'
        ? tls.connect({host: '127.0.0.1', port, ...via.options}, () => resolve(socket))
        : net.connect(port, '127.0.0.1', () => resolve(socket));
    socket.on('error', reject);
  });
}

// Opens the event stream and yields each "catalogue" event's data, parsed;
// `ended` resolves once the server has closed the stream.
function openEvents(port, via) {
  const queue = [];
  const waiting = [];
  let failure = null;
  let markEnded;
  const ended = new Promise((resolve) => { markEnded = resolve; });
  const req = via.client.request({host: '127.0.0.1', port, path: '/events', agent: false,
    ...via.options, headers: {Host: `127.0.0.1:${port}`, Accept: 'text/event-stream'}});
  const fail = (err) => {
    failure = err;
    while (waiting.length) waiting.shift().reject(err);
  };
  req.on('error', fail);
  req.on('close', () => markEnded());
  req.on('response', (res) => {
    res.on('error', () => {});
    res.on('close', () => markEnded());
    if (res.statusCode !== 200) return fail(new Error(`events answered ${res.statusCode}`));
    // Events are large: chunks are joined only once a blank line has come.
    const parts = [];
    let last = '';
    res.setEncoding('utf8');
    res.on('data', (s) => {
      const ended = (last + s).includes('\n\n');
      parts.push(s);
      last = s.slice(-1);
      if (!ended) return;
      const blocks = parts.join('').split('\n\n');
      parts.length = 0;
      parts.push(blocks.pop());
      last = parts[0].slice(-1);
      for (const block of blocks) {
        const lines = block.split('\n');
        if (!lines.includes('event: catalogue')) continue;
        const data = JSON.parse(lines.find((l) => l.startsWith('data: ')).slice(6));
        if (waiting.length) waiting.shift().resolve(data); else queue.push(data);
      }
    });
  });
  req.end();
  return {
    next() {
      if (queue.length) return Promise.resolve(queue.shift());
      if (failure) return Promise.reject(failure);
      return new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new Error('no catalogue event')), kWaitMs);
        waiting.push({
          resolve: (v) => { clearTimeout(timer); resolve(v); },
          reject: (e) => { clearTimeout(timer); reject(e); },
        });
      });
    },
    ended,
    close() { req.destroy(); },
  };
}

// A catalogue event's families as records: [{family, name, styles, faces:
// [{path, postscript, style, weight, stretch, italic, preview}]}].
function familiesOf(event) {
  let at = 0;
  return event.families.map((family, k) => {
    const faces = [];
    for (const end = at + event.counts[k]; at < end; at++) {
      const kind = event.kinds[at];
      faces.push({path: event.files[event.file[at]], postscript: event.postscripts[at],
        style: event.styles[at], weight: Math.floor(kind / 100),
        stretch: Math.floor(kind / 10) % 10, italic: kind % 10 === 1,
        preview: !event.noPreview.includes(event.file[at])});
    }
    return {family, name: event.names[k] || family, styles: faces.map((f) => f.style), faces};
  });
}

function face(family, style, extra = {}) {
  return {family, style, postscript: `${family}-${style}`.replace(/ /g, ''),
    weight: 400, stretch: 5, italic: false, ...extra};
}

// The tables of the sfnt font at `offset`: Map tag -> {data, checksum}.
function fontTables(font, offset = 0) {
  const tables = new Map();
  for (let i = 0; i < font.readUInt16BE(offset + 4); i++) {
    const at = offset + 12 + 16 * i;
    const start = font.readUInt32BE(at + 8);
    tables.set(font.toString('latin1', at, at + 4), {
      checksum: font.readUInt32BE(at + 4),
      data: font.subarray(start, start + font.readUInt32BE(at + 12)),
    });
  }
  return tables;
}

// A 'name' table holding only a PostScript name, for Windows (3) or Mac (1).
function nameTable(postscript, platform = 3) {
  const text = platform === 3 ? Buffer.from(postscript, 'utf16le').swap16()
                              : Buffer.from(postscript, 'latin1');
  const table = Buffer.alloc(18 + text.length);
  [0, 1, 18, platform, platform === 3 ? 1 : 0, platform === 3 ? 0x409 : 0, 6, text.length, 0]
      .forEach((v, k) => table.writeUInt16BE(v, 2 * k));
  text.copy(table, 18);
  return table;
}

// Lays out fonts (each a Map tag -> {data, checksum}) as one sfnt file or as
// a collection.
function layOutFonts(fonts, collection) {
  let at = collection ? 12 + 4 * fonts.length : 0;
  const directories = fonts.map((tables) => {
    const dir = Buffer.alloc(12 + 16 * tables.size);
    dir.writeUInt32BE(0x00010000, 0);
    dir.writeUInt16BE(tables.size, 4);
    const start = at;
    at += dir.length;
    return {dir, start, tables};
  });
  const chunks = [];
  if (collection) {
    const header = Buffer.alloc(12 + 4 * fonts.length);
    header.write('ttcf', 0, 'latin1');
    header.writeUInt32BE(0x00010000, 4);
    header.writeUInt32BE(fonts.length, 8);
    directories.forEach((d, i) => header.writeUInt32BE(d.start, 12 + 4 * i));
    chunks.push(header);
  }
  const data = [];
  for (const {dir, tables} of directories) {
    [...tables].forEach(([tag, table], i) => {
      dir.write(tag, 12 + 16 * i, 'latin1');
      dir.writeUInt32BE(table.checksum, 12 + 16 * i + 4);
      dir.writeUInt32BE(at, 12 + 16 * i + 8);
      dir.writeUInt32BE(table.data.length, 12 + 16 * i + 12);
      const padded = Buffer.alloc((table.data.length + 3) & ~3);
      table.data.copy(padded);
      data.push(padded);
      at += padded.length;
    });
    chunks.push(dir);
  }
  return Buffer.concat([...chunks, ...data]);
}

// A small font file named `postscript`, with a table of filler bytes.
function makeFont(postscript, {platform = 3, filler = 'x'} = {}) {
  return layOutFonts([new Map([
    ['name', {checksum: 1, data: nameTable(postscript, platform)}],
    ['zzzz', {checksum: 2, data: Buffer.from(filler.repeat(7))}],
  ])], false);
}

// A 'cmap' table mapping `codePoints` (sorted) to glyphs 1, 2, ... in one
// subtable of `format` 4 (those of the basic plane) or 12.
function cmapTable(codePoints, format) {
  const runs = [];
  codePoints.filter((cp) => format !== 4 || cp <= 0xffff).forEach((cp, k) => {
    const last = runs[runs.length - 1];
    if (last && last.end === cp - 1) {
      last.end = cp;
    } else {
      runs.push({start: cp, end: cp, glyph: k + 1});
    }
  });
  let sub;
  if (format === 4) {
    runs.push({start: 0xffff, end: 0xffff, glyph: 0});
    const n = runs.length;
    sub = Buffer.alloc(16 + 8 * n);
    [4, sub.length, 0, 2 * n, 0, 0, 0].forEach((v, k) => sub.writeUInt16BE(v, 2 * k));
    runs.forEach((r, k) => {
      sub.writeUInt16BE(r.end, 14 + 2 * k);
      sub.writeUInt16BE(r.start, 16 + 2 * n + 2 * k);
      sub.writeUInt16BE((r.glyph - r.start + 0x10000) & 0xffff, 16 + 4 * n + 2 * k);
    });
  } else {
    sub = Buffer.alloc(16 + 12 * runs.length);
    sub.writeUInt16BE(12, 0);
    sub.writeUInt32BE(sub.length, 4);
    sub.writeUInt32BE(runs.length, 12);
    runs.forEach((r, k) => {
      sub.writeUInt32BE(r.start, 16 + 12 * k);
      sub.writeUInt32BE(r.end, 20 + 12 * k);
      sub.writeUInt32BE(r.glyph, 24 + 12 * k);
    });
  }
  const head = Buffer.alloc(12);
  [0, 1, 3, format === 4 ? 1 : 10].forEach((v, k) => head.writeUInt16BE(v, 2 * k));
  head.writeUInt32BE(12, 8);
  return Buffer.concat([head, sub]);
}

// A small font named `postscript` with what the page's facts are read from:
// a character map of `text`'s characters (format 4 or 12), 'post' saying
// whether it is monospaced, and 'fvar' with `axes` ([[tag, min, default,
// max]]) if any.
function makeFactsFont(postscript, text, {format = 12, mono = false, axes = []} = {}) {
  const post = Buffer.alloc(32);
  post.writeUInt32BE(0x00030000, 0);
  post.writeUInt32BE(mono ? 1 : 0, 12);
  const tables = new Map([
    ['cmap', {checksum: 1, data: cmapTable([...new Set([...text].map((c) => c.codePointAt(0)))]
        .sort((a, b) => a - b), format)}],
    ['name', {checksum: 2, data: nameTable(postscript)}],
    ['post', {checksum: 3, data: post}],
  ]);
  if (axes.length > 0) {
    const fvar = Buffer.alloc(16 + 20 * axes.length);
    [1, 0, 16, 2, axes.length, 20, 0, 4].forEach((v, k) => fvar.writeUInt16BE(v, 2 * k));
    axes.forEach(([tag, ...values], k) => {
      fvar.write(tag, 16 + 20 * k, 'latin1');
      values.forEach((v, i) => fvar.writeInt32BE(Math.round(v * 65536), 20 + 20 * k + 4 * i));
    });
    tables.set('fvar', {checksum: 4, data: fvar});
  }
  return layOutFonts([tables], false);
}

// A collection of the given font files.
function makeCollection(fonts) {
  return layOutFonts(fonts.map((f) => fontTables(f)), true);
}

// A collection whose one face is `font` with `extra` more table records,
// each spanning the whole file: a directory that describes a face many times
// the size of the file it is in.
function makeSpanningCollection(font, extra) {
  const tables = fontTables(font);
  const count = tables.size + extra;
  const dirAt = 16;
  const dataAt = dirAt + 12 + 16 * count;
  const size = dataAt + [...tables.values()].reduce((n, t) => n + ((t.data.length + 3) & ~3), 0);
  const out = Buffer.alloc(size);
  out.write('ttcf', 0, 'latin1');
  out.writeUInt32BE(0x00010000, 4);
  out.writeUInt32BE(1, 8);
  out.writeUInt32BE(dirAt, 12);
  font.copy(out, dirAt, 0, 12);
  out.writeUInt16BE(count, dirAt + 4);
  let record = dirAt + 12;
  let at = dataAt;
  for (const [tag, t] of tables) {
    out.write(tag, record, 'latin1');
    out.writeUInt32BE(t.checksum, record + 4);
    out.writeUInt32BE(at, record + 8);
    out.writeUInt32BE(t.data.length, record + 12);
    t.data.copy(out, at);
    at += (t.data.length + 3) & ~3;
    record += 16;
  }
  for (let i = 0; i < extra; i++, record += 16) {
    out.write(`x${String(i).padStart(3, '0')}`.slice(-4), record, 'latin1');
    out.writeUInt32BE(0, record + 8);
    out.writeUInt32BE(size, record + 12);
  }
  return out;
}

// `promise`, or a failure naming `what` if it has not settled in `ms`.
function within(promise, what, ms = kWaitMs) {
  let timer;
  const late = new Promise((resolve, reject) => {
    timer = setTimeout(() => reject(new Error(`${what} did not happen within ${ms} ms`)), ms);
  });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

// Resident memory of a process now and at its peak, in KiB.
function memoryKiB(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  const field = (name) => Number(status.match(new RegExp(`${name}:\\s+(\\d+)`))[1]);
  return {rss: field('VmRSS'), peak: field('VmHWM')};
}

module.exports = {
  tempDir, makeCredentials, makeSiteCertificate, shippedDaemon, spawnCompanion, plain, overTls, request, connect,
  openEvents, familiesOf, face,
  OutputWatcher, kWaitMs, fontTables, layOutFonts, makeFont, makeFactsFont, makeCollection,
  makeSpanningCollection, memoryKiB,
  within,
};
