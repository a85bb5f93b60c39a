'use strict';
// The companion server. The agent starts it with two pipes: standard input
// carries one handshake line and then catalogue lines, standard output carries
// commands back (doc/protocol.md). It serves a page of the installed families
// over HTTPS on loopback, with the certificate the handshake hands over.
//
// Node built-in modules only: the runtime ships alone inside the bundle.

const {isUtf8} = require('buffer');
const fs = require('fs');
const https = require('https');
const v8 = require('v8');

// The agent starts the server with no runtime options, so this one is set
// here: the young generation keeps its smallest size rather than growing for
// good (to 32 MiB) after the burst of records a large catalogue brings.
v8.setFlagsFromString('--semi-space-growth-factor=1');
const net = require('net');
const os = require('os');

const kMaxHandshakeBytes = 1 << 20;       // the shipped line is ~8 KiB
const kMaxLineBytes = 64 * 1024 * 1024;   // thousands of faces are a few MiB
const kDefaultPort = 47823;
const kPortInUseRetries = 5;              // a predecessor may still be exiting
const kPortInUseRetryMs = 200;
const kMaxEventClients = 32;
const kMaxEventBacklogBytes = 64 * 1024;  // more is an event the page has not taken
const kKeepAliveMs = 25 * 1000;
const kCheckForUpdatesCommand = 'CHECK FOR UPDATES\n';

// What one client can make the server hold or do. The waits may be shortened
// (tests, benches) through KAVRI_COMPANION_LIMITS, a JSON object of them.
const kDefaultLimits = Object.freeze({
  handshakeMs: 5 * 1000,          // a TLS handshake on loopback takes milliseconds
  stallMs: 10 * 1000,             // a reader that takes nothing for this long is gone
  updateCheckMs: 5 * 1000,        // at most one update check sent to the agent per this
  repeatLogMs: 60 * 1000,         // at most one line per kind of client fault per this
});
const kMaxConnections = 256;

const kMaxConcurrentCuts = 2;
const kCutCacheBytes = 16 * 1024 * 1024;
const kMaxCutReadBytes = 32 * 1024 * 1024;  // directories and names, never table data
const kMaxCollectionFaces = 4096;
const kMaxNameTableBytes = 1024 * 1024;
const kChunkBytes = 64 * 1024;
const kMaxSocketTableBytes = 64 * 1024 * 1024;  // 150 bytes a socket
const kPeerReadings = 4;

function log(message) {
  // One line per event; standard output is reserved for commands.
  process.stderr.write(`kavri companion: ${message}\n`);
}

const monotonicMs = () => Number(process.hrtime.bigint() / 1000000n);

// Client faults are logged once per window and kind, then counted, so a
// client repeating one cannot flood the log.
class RepeatLog {
  constructor(windowMs, write = log) {
    this.windowMs_ = windowMs;
    this.write_ = write;
    this.kinds_ = new Map();
  }

  note(kind, message) {
    let entry = this.kinds_.get(kind);
    if (!entry) {
      entry = {until: -Infinity, repeats: 0, timer: null};
      this.kinds_.set(kind, entry);
    }
    const now = monotonicMs();
    if (now >= entry.until) {
      this.write_(message);
      entry.until = now + this.windowMs_;
      return;
    }
    entry.repeats += 1;
    if (entry.timer) return;
    entry.timer = setTimeout(() => {
      this.write_(`${message} (${entry.repeats} times in the last ${this.windowMs_ / 1000} s)`);
      entry.until = monotonicMs() + this.windowMs_;
      entry.repeats = 0;
      entry.timer = null;
    }, entry.until - now);
  }
}

// The limits, with any shortened in KAVRI_COMPANION_LIMITS. Returns
// {limits} or {error}.
function parseLimits(text) {
  if (text === undefined || text === '') return {limits: kDefaultLimits};
  let value;
  try {
    value = JSON.parse(text);
  } catch (e) {
    return {error: 'KAVRI_COMPANION_LIMITS is not JSON'};
  }
  if (value === null || typeof value !== 'object' || Array.isArray(value)) {
    return {error: 'KAVRI_COMPANION_LIMITS is not a JSON object'};
  }
  const limits = {...kDefaultLimits};
  for (const [name, ms] of Object.entries(value)) {
    if (!Object.hasOwn(kDefaultLimits, name) || !Number.isInteger(ms) || ms < 1 ||
        ms > kDefaultLimits[name]) {
      return {error: `KAVRI_COMPANION_LIMITS: ${name} is not a known limit of 1 to its default ms`};
    }
    limits[name] = ms;
  }
  return {limits: Object.freeze(limits)};
}

// Frames a byte stream into lines ended by LF. A line longer than
// maxLineBytes is dropped whole (through onDrop) and framing resumes after its
// LF, so one oversize message never costs the ones after it. Bytes are held
// as the chunks they came in, so a long line costs one copy, not one per chunk.
class LineReader {
  constructor(maxLineBytes, onLine, onDrop) {
    this.maxLineBytes = maxLineBytes;
    this.onLine_ = onLine;
    this.onDrop_ = onDrop;
    this.parts_ = [];
    this.size_ = 0;
    this.oversize_ = false;
  }

  push(chunk) {
    let start = 0;
    while (start < chunk.length) {
      const lf = chunk.indexOf(0x0a, start);
      const end = lf === -1 ? chunk.length : lf;
      this.append_(chunk.subarray(start, end));
      if (lf === -1) return;
      start = lf + 1;
      this.finishLine_();
    }
  }

  // Input ended: an unfinished line is never acted on.
  end() {
    if (this.size_ > 0 || this.oversize_) {
      this.onDrop_(`unfinished line of ${this.size_} bytes at the end of input`, this.size_);
    }
    this.reset_();
  }

  append_(piece) {
    this.size_ += piece.length;
    if (this.oversize_) return;
    if (this.size_ > this.maxLineBytes) {
      this.oversize_ = true;
      this.parts_ = [];
    } else if (piece.length > 0) {
      this.parts_.push(piece);
    }
  }

  finishLine_() {
    const size = this.size_;
    const parts = this.parts_;
    const oversize = this.oversize_;
    this.reset_();
    if (oversize) {
      this.onDrop_(`line of ${size} bytes is over the limit of ${this.maxLineBytes}`, size);
    } else {
      this.onLine_(parts.length === 1 ? parts[0] : Buffer.concat(parts, size));
    }
  }

  reset_() {
    this.parts_ = [];
    this.size_ = 0;
    this.oversize_ = false;
  }
}

// "<base64 PKCS#12>;<128 upper-case hex digits>". Returns {pfx, passphrase}
// or {error}. Error texts never quote the line: it holds the secrets.
function parseHandshake(line) {
  const text = line.toString('latin1');
  const fields = text.split(';');
  if (fields.length !== 2) {
    return {error: 'the handshake line is not "<container>;<pass phrase>"'};
  }
  const [container, passphrase] = fields;
  if (!/^[0-9A-F]{128}$/.test(passphrase)) {
    return {error: 'the pass phrase is not 128 upper-case hexadecimal digits'};
  }
  if (container.length === 0 || container.length % 4 !== 0 ||
      !/^[A-Za-z0-9+/]+={0,2}$/.test(container)) {
    return {error: 'the certificate container is not base64 text'};
  }
  return {pfx: Buffer.from(container, 'base64'), passphrase};
}

function isFaceRecord(r) {
  const optionalString = (v) => v === undefined || typeof v === 'string';
  return r !== null && typeof r === 'object' && !Array.isArray(r) &&
      typeof r.family === 'string' && typeof r.style === 'string' &&
      typeof r.postscript === 'string' &&
      Number.isInteger(r.weight) && r.weight >= 100 && r.weight <= 900 &&
      Number.isInteger(r.stretch) && r.stretch >= 1 && r.stretch <= 9 &&
      typeof r.italic === 'boolean' &&
      optionalString(r.localizedFamily) && optionalString(r.localizedStyle);
}

const kRunBytes = 64 * 1024;
const kWhitespace = new Set([0x20, 0x09, 0x0a, 0x0d]);

// Splits the JSON object in `bytes` into runs of whole members of about
// kRunBytes each: [{start, end, members}], or null when the bytes are not
// one object. Strings are skipped whole, so brackets and commas inside names
// do not count. Whether each run is valid JSON is left to its parse.
function objectRuns(bytes) {
  let i = 0;
  while (kWhitespace.has(bytes[i])) i++;
  if (bytes[i] !== 0x7b) return null;
  const runs = [];
  let start = i + 1;
  let members = 1;
  let depth = 0;
  let end = -1;
  for (i = start; i < bytes.length && end < 0; i++) {
    const c = bytes[i];
    if (c === 0x22) {
      // To the closing quote: the next one not escaped by an odd number of backslashes.
      for (;;) {
        i = bytes.indexOf(0x22, i + 1);
        if (i < 0) return null;
        let k = i - 1;
        while (bytes[k] === 0x5c) k--;
        if ((i - k) % 2 === 1) break;
      }
    } else if (c === 0x7b || c === 0x5b) {
      depth++;
    } else if (c === 0x7d && depth === 0) {
      end = i;
    } else if (c === 0x7d || c === 0x5d) {
      if (--depth < 0) return null;
    } else if (c === 0x2c && depth === 0) {
      if (i - start >= kRunBytes) {
        runs.push({start, end: i, members});
        start = i + 1;
        members = 0;
      }
      members++;
    }
  }
  if (end < 0) return null;
  for (i = end + 1; i < bytes.length; i++) {
    if (!kWhitespace.has(bytes[i])) return null;
  }
  runs.push({start, end, members});
  return runs;
}

// One catalogue line: a JSON object mapping absolute font file paths to
// arrays of face records. Returns {catalogue: {bytes, files (a Set of the
// paths), faceCount}} or {error}; a catalogue that is wrong anywhere is
// refused whole, so what is served is always one message the agent sent. The
// catalogue keeps `line` itself as its bytes. Each file's faces go to
// onFile(path, faces) as they are read: the line is parsed a run of members
// at a time, so with tens of thousands of faces their records die young
// rather than all living at once.
function parseCatalogue(line, onFile = () => {}) {
  if (!isUtf8(line)) return {error: 'not UTF-8'};
  const runs = objectRuns(line);
  if (!runs) return {error: 'not a JSON object'};
  const files = new Set();
  let faceCount = 0;
  const empty = runs.length === 1 && runs[0].members === 1 &&
      line.subarray(runs[0].start, runs[0].end).every((c) => kWhitespace.has(c));
  for (const run of empty ? [] : runs) {
    let value;
    try {
      value = JSON.parse(`{${line.toString('utf8', run.start, run.end)}}`);
    } catch (e) {
      return {error: `not JSON (${e.message} in bytes ${run.start} to ${run.end})`};
    }
    const paths = Object.keys(value);
    // JSON.parse keeps only the last of a repeated name.
    if (paths.length !== run.members) return {error: 'not one member per font path'};
    for (const file of paths) {
      const faces = value[file];
      if (!file.startsWith('/') || file.includes('\0') || files.has(file)) {
        return {error: 'a font path is not absolute or comes twice'};
      }
      if (!Array.isArray(faces) || !faces.every(isFaceRecord)) {
        return {error: 'a face record is malformed'};
      }
      files.add(file);
      faceCount += faces.length;
      onFile(file, faces);
    }
  }
  return {catalogue: {bytes: line, files, faceCount}};
}

// Distance of a face from the upright regular one: the face that shows a
// family best.
function regularity(face) {
  return (face.italic ? 10000 : 0) + Math.abs(face.stretch - 5) * 1000 +
      Math.abs(face.weight - 400);
}

const kCollator = new Intl.Collator(undefined, {sensitivity: 'base', numeric: true});

// Font files browsers refuse, known by the ending of their names: Type 1,
// the X11 bitmap formats, resource-fork suitcases, compressed files.
const kNoBrowserFont = /\.(pfa|pfb|t1|pcf|bdf|snf|pfr|dfont|fon|fnt|gz|z|bz2)$/i;

function browserCanShow(file) {
  return !kNoBrowserFont.test(file);
}

// A key that orders most names as kCollator does, cheaply: lower case, with
// each run of digits padded to twelve places so that numbers order by value.
function roughKey(name) {
  const lower = name.toLowerCase();
  let key = '';
  let from = 0;
  let digits = 0;
  for (let i = 0; i <= lower.length; i++) {
    const c = i < lower.length ? lower.charCodeAt(i) : 0;
    if (c >= 0x30 && c <= 0x39) {
      if (digits++ === 0) {
        key += lower.slice(from, i);
        from = i;
      }
    } else if (digits > 0) {
      key += '000000000000'.slice(digits) + lower.slice(from, i);
      from = i;
      digits = 0;
    }
  }
  return key + lower.slice(from);
}

function compareNames(a, b) {
  return kCollator.compare(a.name, b.name) ||
      (a.family < b.family ? -1 : a.family > b.family ? 1 : 0);
}

// Sorts `items` by compareNames. The collator is the costly part with tens of
// thousands of families, so the rough keys, sorted natively, order them first;
// the sort by the collator then finds them nearly in order and needs about one
// comparison per family.
function sortByName(items) {
  const tagged = items.map((item, i) => `${roughKey(item.name)}\0${i}`);
  tagged.sort();
  return tagged.map((t) => items[Number(t.slice(t.lastIndexOf('\0') + 1))]).sort(compareNames);
}

// Order of faces within a family: regular first, then by stretch, weight,
// slant and name. `rank` packs the numbers into one small integer.
function faceRank(face) {
  return regularity(face) * 10000 + face.stretch * 1000 + face.weight;
}

function compareFaces(a, b) {
  return a.rank - b.rank || kCollator.compare(a.name, b.name);
}

// Collects faces file by file into families, keeping per face only what the
// page shows: its style name and its place in the family.
class FamilyGrouper {
  constructor() {
    this.byName_ = new Map();
  }

  add(file, faces) {
    const showable = browserCanShow(file);
    for (const face of faces) {
      const entry = {rank: faceRank(face), name: face.localizedStyle || face.style};
      let family = this.byName_.get(face.family);
      if (family) {
        family.faces.push(entry);
      } else {
        family = {family: face.family, name: face.localizedFamily || face.family, faces: [entry],
          sample: null, path: null, postscript: null};
        this.byName_.set(face.family, family);
      }
      if (showable && (!family.sample || compareFaces(entry, family.sample) < 0)) {
        family.sample = entry;
        family.path = file;
        family.postscript = face.postscript;
      }
    }
  }

  // The families sorted for display, each with its display name (the
  // localised one when the agent sent one), its style names in the order of
  // its faces, and the face its sample is shown in: the most regular one a
  // browser can show, or null when it can show none.
  families() {
    return sortByName([...this.byName_.values()]).map((f) => {
      f.faces.sort(compareFaces);
      const styles = [];
      for (const {name} of f.faces) {
        if (name && !styles.includes(name)) styles.push(name);
      }
      return {family: f.family, name: f.name, styles,
        sample: f.sample && {path: f.path, postscript: f.postscript}};
    });
  }
}

function groupFamilies(files) {
  const grouper = new FamilyGrouper();
  for (const [file, faces] of files) grouper.add(file, faces);
  return grouper.families();
}

function ownOrigins(port) {
  return [`https://127.0.0.1:${port}`, `https://localhost:${port}`];
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

// Requests that another site's page makes the browser send: anything with a
// foreign Origin, and anything the browser marks as cross-site except opening
// the page itself by a link.
function isForeignRequest(method, pathname, headers, port) {
  if (headers.origin !== undefined && !isOwnOrigin(headers.origin, port)) return true;
  const site = headers['sec-fetch-site'];
  if (site === undefined || site === 'same-origin' || site === 'none') return false;
  return !(method === 'GET' && pathname === '/' && headers['sec-fetch-mode'] === 'navigate');
}

// The update-check request changes state, so it must come from the page
// itself: browsers always send Origin with a POST.
function isOwnPagePost(headers, port) {
  const site = headers['sec-fetch-site'];
  return isOwnOrigin(headers.origin, port) && (site === undefined || site === 'same-origin');
}

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

function parsePort(value) {
  if (value === undefined || value === '') return {port: kDefaultPort, fixed: false};
  if (!/^[0-9]{1,5}$/.test(value) || Number(value) > 65535) {
    return {error: `KAVRI_PORT is not a port number: ${JSON.stringify(value)}`};
  }
  return {port: Number(value), fixed: true};
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

// The catalogue being served and the pages listening for the next one.
class Companion {
  constructor(limits = kDefaultLimits) {
    this.catalogue_ = null;
    this.generation_ = 0;
    this.event_ = this.catalogueEvent_(0, []);
    this.eventClients_ = new Set();
    this.port = 0;
    this.limits = limits;
    this.repeatLog = new RepeatLog(limits.repeatLogMs);
    this.cutter_ = new FaceCutter();
    this.updates_ = new UpdateRequests(limits.updateCheckMs);
  }

  // Takes one catalogue line. Returns false (and keeps the last good
  // catalogue) when the line is malformed.
  acceptLine(line) {
    const grouper = new FamilyGrouper();
    const parsed = parseCatalogue(line, (file, faces) => grouper.add(file, faces));
    if (parsed.error) {
      log(`ignoring malformed catalogue of ${line.length} bytes: ${parsed.error}; ` +
          `keeping the last good one`);
      return false;
    }
    this.catalogue_ = parsed.catalogue;
    this.generation_ += 1;
    this.event_ = this.catalogueEvent_(parsed.catalogue.faceCount, grouper.families());
    log(`catalogue ${this.generation_}: ${parsed.catalogue.faceCount} faces in ` +
        `${parsed.catalogue.files.size} files`);
    for (const res of this.eventClients_) this.sendEvent_(res);
    return true;
  }

  // The event every page gets, made once per catalogue: its bytes are
  // written to each page as they are.
  catalogueEvent_(faces, families) {
    const summary = JSON.stringify({generation: this.generation_, faces, families});
    // Written in place: the summary can be megabytes, and joined to the
    // event's other text first it would be copied once more.
    const head = 'event: catalogue\ndata: ';
    const event = Buffer.allocUnsafe(head.length + Buffer.byteLength(summary) + 2);
    event.write(head);
    event.write(summary, head.length);
    event.write('\n\n', event.length - 2);
    return event;
  }

  handle(req, res) {
    for (const [name, value] of Object.entries(kSecurityHeaders)) res.setHeader(name, value);
    if (!isAllowedHost(req.headers.host, this.port)) {
      return reply(res, 421, 'text/plain; charset=utf-8', 'unknown host\n');
    }
    let url;
    try {
      url = new URL(req.url, `https://127.0.0.1:${this.port}`);
    } catch (e) {
      return reply(res, 400, 'text/plain; charset=utf-8', 'bad request\n');
    }
    if (isForeignRequest(req.method, url.pathname, req.headers, this.port)) {
      return reply(res, 403, 'text/plain; charset=utf-8', 'forbidden\n');
    }
    if (url.pathname === '/check-for-updates') {
      if (req.method !== 'POST') return methodNotAllowed(res, 'POST');
      if (!isOwnPagePost(req.headers, this.port)) {
        return reply(res, 403, 'text/plain; charset=utf-8', 'forbidden\n');
      }
      req.resume();
      this.updates_.ask();
      return reply(res, 204);
    }
    const page = kStaticFiles.get(url.pathname);
    if (!page && !['/catalogue.json', '/events', '/font'].includes(url.pathname)) {
      return reply(res, 404, 'text/plain; charset=utf-8', 'not found\n');
    }
    if (req.method !== 'GET' && req.method !== 'HEAD') return methodNotAllowed(res, 'GET, HEAD');
    if (page) {
      res.setHeader('Cache-Control', 'no-cache');
      return reply(res, 200, page.type, page.body);
    }
    if (url.pathname === '/catalogue.json') {
      res.setHeader('Cache-Control', 'no-store');
      return reply(res, 200, 'application/json',
          this.catalogue_ ? this.catalogue_.bytes : Buffer.from('{}'));
    }
    if (url.pathname === '/events') return this.openEvents_(req, res);
    return this.serveFont_(req, res, url.searchParams.get('path'), url.searchParams.get('postscript'));
  }

  openEvents_(req, res) {
    // The newest page is the one being looked at: the oldest stream gives way.
    if (req.method !== 'HEAD' && this.eventClients_.size >= kMaxEventClients) {
      const oldest = this.eventClients_.values().next().value;
      this.eventClients_.delete(oldest);
      oldest.destroy();
      this.repeatLog.note('events', `more than ${kMaxEventClients} pages open; ` +
          'closed the oldest one\'s event stream');
    }
    res.writeHead(200, {
      'Content-Type': 'text/event-stream; charset=utf-8',
      'Cache-Control': 'no-store',
    });
    if (req.method === 'HEAD') return res.end();
    res.write('retry: 1000\n\n');
    this.eventClients_.add(res);
    res.on('close', () => this.eventClients_.delete(res));
    this.sendEvent_(res);
  }

  sendEvent_(res) {
    if (this.dropIfStalled_(res)) return;
    res.write(this.event_);
  }

  keepEventsAlive() {
    for (const res of this.eventClients_) {
      if (!this.dropIfStalled_(res)) res.write(': keep-alive\n\n');
    }
  }

  // A page that has not taken the last event is dropped rather than sent
  // another to hold; it reconnects and gets the current catalogue.
  dropIfStalled_(res) {
    if (res.writableLength <= kMaxEventBacklogBytes) return false;
    this.eventClients_.delete(res);
    res.destroy();
    this.repeatLog.note('events stall', 'dropped an event stream whose page stopped reading');
    return true;
  }

  // Only files of the current catalogue are served: the page cannot be made
  // to read anything else. A face of a collection is cut out as a font of
  // its own, since browsers show only a collection's first face.
  async serveFont_(req, res, file, postscript) {
    if (file === null || !this.catalogue_ || !this.catalogue_.files.has(file)) {
      return reply(res, 404, 'text/plain; charset=utf-8', 'not found\n');
    }
    let handle = null;
    try {
      // Non-blocking, so a FIFO put at a listed path cannot hang a worker.
      handle = await fs.promises.open(file, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
      const st = await handle.stat({bigint: true});
      if (!st.isFile()) throw new Error('not a regular file');
      const size = Number(st.size);
      let type = fontMediaType(await readAt(handle, 0, 4));
      const etag = `W/"${st.size}-${st.mtimeMs}-${st.ino}"`;
      res.setHeader('ETag', etag);
      res.setHeader('Cache-Control', 'no-cache');
      if (req.headers['if-none-match'] === etag) return reply(res, 304);
      let plan = {head: Buffer.alloc(0), pieces: [{offset: 0, length: size, padded: size}], size};
      if (type === 'font/collection' && postscript) {
        const face = await this.cutter_.plan(handle, st, postscript);
        if (face) {
          plan = face;
          type = fontMediaType(face.head);
        }
      }
      res.writeHead(200, {'Content-Type': type, 'Content-Length': plan.size});
      if (req.method === 'HEAD' || plan.size === 0) return res.end();
      await sendPlan(res, handle, plan, this.limits.stallMs);
    } catch (e) {
      if (e instanceof StallError) {
        this.repeatLog.note('stall', 'dropped a reader that stopped reading');
      }
      if (!res.headersSent) reply(res, 404, 'text/plain; charset=utf-8', 'not found\n');
      else res.destroy();
    } finally {
      if (handle) handle.close().catch(() => {});
    }
  }
}

// A face of a TrueType/OpenType collection is served as a font of its own:
// its directory rewritten to point at its tables laid end to end. The cut is
// a plan, {head, pieces: [{offset, length, padded}], size}: the new header
// and directory, then which bytes of the file follow, each table padded to 4.
// Only directories and 'name' tables are read to make it; the tables
// themselves are streamed from the file when the face is sent.

const align4 = (n) => (n + 3) & ~3;

// The table directory of the sfnt font at `offset`, through `take`:
// {header, tables: [{record, tag, offset, length}]} or null.
async function faceDirectory(take, offset) {
  const header = await take(offset, 12);
  if (!header) return null;
  const count = header.readUInt16BE(4);
  const records = await take(offset + 12, 16 * count);
  if (!records) return null;
  const tables = [];
  for (let at = 0; at < records.length; at += 16) {
    tables.push({
      record: records.subarray(at, at + 16),
      tag: records.toString('latin1', at, at + 4),
      offset: records.readUInt32BE(at + 8),
      length: records.readUInt32BE(at + 12),
    });
  }
  return {header, tables};
}

// The PostScript name (name ID 6) in a 'name' table, or null.
function postscriptName(table) {
  if (table.length < 6) return null;
  const count = table.readUInt16BE(2);
  const strings = table.readUInt16BE(4);
  let mac = null;
  for (let i = 0; i < count && 6 + 12 * (i + 1) <= table.length; i++) {
    const r = 6 + 12 * i;
    const [platform, encoding, , nameId, length, offset] =
        [0, 2, 4, 6, 8, 10].map((k) => table.readUInt16BE(r + k));
    const start = strings + offset;
    if (nameId !== 6 || start + length > table.length) continue;
    const bytes = table.subarray(start, start + length);
    if (platform === 3 || platform === 0) {
      return Buffer.from(bytes.subarray(0, bytes.length & ~1)).swap16().toString('utf16le');
    }
    if (platform === 1 && encoding === 0 && mac === null) mac = bytes.toString('latin1');
  }
  return mac;
}

// The plan of a face whose tables all lie inside the file and overlap no
// other, or null. Such a face is never larger than the file: a directory
// whose tables overlap can make a small file describe a face of any size.
function layOutFace(dir, fileSize) {
  if (dir.tables.some((t) => t.offset > fileSize)) return null;
  const spans = dir.tables.filter((t) => t.length > 0).sort((a, b) => a.offset - b.offset);
  for (let k = 0; k < spans.length; k++) {
    if (spans[k].offset + spans[k].length > fileSize) return null;
    if (k > 0 && spans[k - 1].offset + spans[k - 1].length > spans[k].offset) return null;
  }
  const head = Buffer.alloc(12 + 16 * dir.tables.length);
  dir.header.copy(head, 0);
  head.writeUInt16BE(dir.tables.length, 4);
  let at = head.length;
  const pieces = dir.tables.map((t, k) => {
    t.record.copy(head, 12 + 16 * k);
    head.writeUInt32BE(at, 12 + 16 * k + 8);
    at += align4(t.length);
    return {offset: t.offset, length: t.length, padded: align4(t.length)};
  });
  return at <= fileSize ? {head, pieces, size: at} : null;
}

// Plans the face named `postscript` of the collection of `fileSize` bytes
// that `read(offset, length)` reads (a Buffer, short only at the end of the
// file). null when the file is no collection, holds no such face, or asks
// for more reading than any real collection needs.
async function planCollectionFace(read, fileSize, postscript) {
  let budget = kMaxCutReadBytes;
  const take = async (offset, length) => {
    if (offset + length > fileSize || length > budget) return null;
    budget -= length;
    const bytes = await read(offset, length);
    return bytes.length === length ? bytes : null;
  };
  const header = await take(0, 12);
  if (!header || header.toString('latin1', 0, 4) !== 'ttcf') return null;
  const count = header.readUInt32BE(8);
  if (count > kMaxCollectionFaces) return null;
  const offsets = await take(12, 4 * count);
  if (!offsets) return null;
  for (let i = 0; i < count; i++) {
    const dir = await faceDirectory(take, offsets.readUInt32BE(4 * i));
    const name = dir && dir.tables.find((t) => t.tag === 'name');
    if (!name || name.length > kMaxNameTableBytes) continue;
    const table = await take(name.offset, name.length);
    if (!table || postscriptName(table) !== postscript) continue;
    const plan = layOutFace(dir, fileSize);
    if (plan) return plan;
  }
  return null;
}

// The bytes a plan describes, from the whole file in memory.
function assembleFace(plan, data) {
  const out = Buffer.alloc(plan.size);
  plan.head.copy(out, 0);
  let at = plan.head.length;
  for (const piece of plan.pieces) {
    data.copy(out, at, piece.offset, piece.offset + piece.length);
    at += piece.padded;
  }
  return out;
}

// The face named `postscript` of the collection `data`, as a font file of
// its own, or null.
async function collectionFace(data, postscript) {
  const plan = await planCollectionFace(
      async (offset, length) => data.subarray(offset, offset + length), data.length, postscript);
  return plan && assembleFace(plan, data);
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

// Lets `limit` tasks run at once; the others wait their turn in order.
class Slots {
  constructor(limit) {
    this.free_ = limit;
    this.waiting_ = [];
  }

  async run(task) {
    if (this.free_ > 0) {
      this.free_ -= 1;
    } else {
      await new Promise((resolve) => this.waiting_.push(resolve));
    }
    try {
      return await task();
    } finally {
      const next = this.waiting_.shift();
      if (next) next(); else this.free_ += 1;
    }
  }
}

// Cuts each face once. A plan is kept under the file's identity and change
// time (a rewritten or replaced file is cut afresh), least recently used
// first out, within a byte budget; requests for a face being cut wait for
// that cut; only a few cuts run at once.
class FaceCutter {
  constructor({cacheBytes = kCutCacheBytes, concurrent = kMaxConcurrentCuts} = {}) {
    this.cacheBytes_ = cacheBytes;
    this.cache_ = new Map();
    this.cachedBytes_ = 0;
    this.cutting_ = new Map();
    this.slots_ = new Slots(concurrent);
    this.cuts = 0;
  }

  // `stat` is the open file's, with bigint fields; `handle` reads it.
  plan(handle, stat, postscript) {
    const key = `${stat.dev}:${stat.ino}:${stat.ctimeNs}:${stat.size}:${postscript}`;
    const cached = this.cache_.get(key);
    if (cached) {
      this.cache_.delete(key);
      this.cache_.set(key, cached);
      return Promise.resolve(cached.plan);
    }
    let cut = this.cutting_.get(key);
    if (!cut) {
      cut = this.slots_.run(() => {
        this.cuts += 1;
        return planCollectionFace((o, n) => readAt(handle, o, n), Number(stat.size), postscript);
      }).then((plan) => {
        this.keep_(key, plan);
        return plan;
      }).finally(() => this.cutting_.delete(key));
      this.cutting_.set(key, cut);
    }
    return cut;
  }

  keep_(key, plan) {
    const cost = 2 * key.length + 64 + (plan ? plan.head.length + 32 * plan.pieces.length : 0);
    if (cost > this.cacheBytes_) return;
    this.cache_.set(key, {plan, cost});
    this.cachedBytes_ += cost;
    for (const [oldKey, old] of this.cache_) {
      if (this.cachedBytes_ <= this.cacheBytes_) break;
      this.cache_.delete(oldKey);
      this.cachedBytes_ -= old.cost;
    }
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

// Update checks the page asks for reach the agent at most once per window:
// requests made within it join one check sent when it ends.
class UpdateRequests {
  constructor(windowMs, send = () => process.stdout.write(kCheckForUpdatesCommand)) {
    this.windowMs_ = windowMs;
    this.send_ = send;
    this.last_ = -Infinity;
    this.asked_ = 0;
    this.timer_ = null;
  }

  ask() {
    this.asked_ += 1;
    if (this.timer_) return;
    const wait = this.last_ + this.windowMs_ - monotonicMs();
    if (wait <= 0) return this.sendNow_();
    this.timer_ = setTimeout(() => {
      this.timer_ = null;
      this.sendNow_();
    }, wait);
  }

  sendNow_() {
    const asked = this.asked_;
    this.asked_ = 0;
    this.last_ = monotonicMs();
    log(asked === 1 ? 'the page asked for an update check'
                    : `the page asked for an update check (${asked} requests joined in one)`);
    this.send_();
  }
}

// The page's own files, written under companion/page/ and put in here as
// string literals when the server is built (companion/assemble.js): the
// server ships as one verified file and reads nothing from beside it.
const kPage = {
  html: "@page:index.html@",
  style: "@page:page.css@",
  script: "@page:page.js@",
};

function isAssembled() {
  return !kPage.html.startsWith('@page:');
}

const kStaticFiles = new Map([
  ['/', {type: 'text/html; charset=utf-8', body: kPage.html}],
  ['/app.js', {type: 'text/javascript; charset=utf-8', body: kPage.script}],
  ['/app.css', {type: 'text/css; charset=utf-8', body: kPage.style}],
]);

function fail(message) {
  log(message);
  process.exit(1);
}

// An address and port of the kernel's socket tables ("0100007F:1F90": the
// address as 32-bit words in host order) as "127.0.0.1:8080", or null for
// anything but IPv4 and IPv4-mapped IPv6.
function tableEndpoint(field) {
  const m = /^([0-9A-F]{8}|[0-9A-F]{32}):([0-9A-F]{4})$/.exec(field);
  if (!m) return null;
  const [, hex, portHex] = m;
  const bytes = Buffer.alloc(hex.length / 2);
  for (let w = 0; w < hex.length / 8; w++) {
    const word = parseInt(hex.slice(8 * w, 8 * w + 8), 16);
    if (os.endianness() === 'LE') {
      bytes.writeUInt32LE(word, 4 * w);
    } else {
      bytes.writeUInt32BE(word, 4 * w);
    }
  }
  let v4 = bytes;
  if (bytes.length === 16) {
    const mapped = bytes.subarray(0, 10).every((b) => b === 0) &&
        bytes[10] === 0xff && bytes[11] === 0xff;
    if (!mapped) return null;
    v4 = bytes.subarray(12);
  }
  if (v4.length !== 4) return null;
  return `${v4.join('.')}:${parseInt(portHex, 16)}`;
}

const plainAddress = (address) => (address || '').replace(/^::ffff:/i, '');

// The table key of the client end of an accepted connection: its own end
// first, then ours.
function clientEndKey(socket) {
  if (!socket.remoteAddress || !socket.localAddress) return null;
  return `${plainAddress(socket.remoteAddress)}:${socket.remotePort}>` +
      `${plainAddress(socket.localAddress)}:${socket.localPort}`;
}

// Fills `wanted` (connection key -> uid, null until found) from one socket
// table's text.
function findSocketOwners(text, wanted, ports) {
  for (const line of text.split('\n')) {
    const fields = line.trim().split(/\s+/);
    // sl local remote state queues timer retransmits uid ...
    if (fields.length < 8 || !ports.has(fields[1].slice(-4))) continue;
    // Listening, closed and time-wait entries belong to no process.
    if (['0A', '07', '06'].includes(fields[3]) || !/^[0-9]+$/.test(fields[7])) continue;
    const local = tableEndpoint(fields[1]);
    const remote = tableEndpoint(fields[2]);
    const key = local && remote && `${local}>${remote}`;
    if (key && wanted.get(key) === null) wanted.set(key, Number(fields[7]));
  }
}

// A /proc file read to its end. Such files claim a size of 0 and give a
// page per read, so they are read until a read gives nothing (Node 18's
// readFile stops after the first).
async function readKernelTable(file) {
  const handle = await fs.promises.open(file);
  try {
    const parts = [];
    const chunk = Buffer.alloc(kChunkBytes);
    let size = 0;
    for (;;) {
      const {bytesRead} = await handle.read(chunk, 0, chunk.length, null);
      if (bytesRead === 0) return Buffer.concat(parts, size).toString('latin1');
      size += bytesRead;
      if (size > kMaxSocketTableBytes) {
        throw new Error(`${file} is over ${kMaxSocketTableBytes} bytes`);
      }
      parts.push(Buffer.from(chunk.subarray(0, bytesRead)));
    }
  } finally {
    await handle.close();
  }
}

// Who made the client end of a loopback TCP connection. The kernel's socket
// tables list the client's socket with the uid of the process that made it.
// Lookups that come while the tables are being read wait for the next
// reading, so a burst of connections costs two readings, not one each.
//
// A table is read a page at a time and each read resumes by position, so a
// socket closing elsewhere meanwhile can shift an entry past the reader: one
// not found is looked for again before it counts as unlisted.
class PeerOwners {
  constructor(tables = ['/proc/net/tcp', '/proc/net/tcp6'], readTable = readKernelTable) {
    this.tables_ = tables;
    this.readTable_ = readTable;
    this.waiting_ = [];
    this.reading_ = false;
  }

  // Resolves to the uid, or null when the kernel does not list the client.
  uidOf(socket) {
    const key = clientEndKey(socket);
    if (key === null) return Promise.resolve(null);
    const port = socket.remotePort.toString(16).toUpperCase().padStart(4, '0');
    return new Promise((resolve) => {
      this.waiting_.push({key, port, resolve, readings: 0});
      if (!this.reading_) this.read_();
    });
  }

  async read_() {
    this.reading_ = true;
    const batch = this.waiting_;
    this.waiting_ = [];
    const wanted = new Map(batch.map((w) => [w.key, null]));
    const ports = new Set(batch.map((w) => w.port));
    for (const table of this.tables_) {
      try {
        findSocketOwners(await this.readTable_(table), wanted, ports);
      } catch (e) {
        // A kernel without IPv6 has no tcp6 table.
      }
    }
    for (const w of batch) {
      w.readings += 1;
      const uid = wanted.get(w.key);
      if (uid === null && w.readings < kPeerReadings) this.waiting_.push(w); else w.resolve(uid);
    }
    this.reading_ = false;
    if (this.waiting_.length > 0) this.read_();
  }
}

// Admits the raw TCP connections to the HTTPS server: only those made by this
// server's own user, refused before any TLS or HTTP work, and at most
// kMaxConnections at once. When full, the connection idle longest (a
// handshake not finished, or kept alive with nothing asked) gives way to the
// new one, so idle connections cannot lock the page out.
class ConnectionGate {
  constructor(server, {owners = new PeerOwners(), ownUid = process.getuid(),
    maxConnections = kMaxConnections, repeatLog = new RepeatLog(kDefaultLimits.repeatLogMs)} = {}) {
    this.server_ = server;
    this.owners_ = owners;
    this.ownUid_ = ownUid;
    this.maxConnections_ = maxConnections;
    this.log_ = repeatLog;
    this.connections_ = new Map();  // "address:port" -> {socket, busy}, idle longest first
    this.refused_ = new Set();
  }

  admit(socket) {
    socket.on('error', () => {});
    if (!socket.remoteAddress) return socket.destroy();  // reset before it was accepted
    const key = `${socket.remoteAddress}:${socket.remotePort}`;
    if (this.connections_.size >= this.maxConnections_ && !this.evictIdle_()) {
      this.log_.note('full', `${this.maxConnections_} connections are busy; refusing another`);
      return socket.destroy();
    }
    const record = {socket, busy: 0};
    this.connections_.set(key, record);
    socket.on('close', () => {
      if (this.connections_.get(key) === record) this.connections_.delete(key);
    });
    this.owners_.uidOf(socket).then((uid) => {
      if (socket.destroyed) return;
      if (uid !== this.ownUid_) {
        this.refuse_(uid);
        return socket.destroy();
      }
      this.server_.emit('connection', socket);
    });
  }

  // A connection answering a request is busy; once it has answered, it is
  // the most recently idle.
  track(req, res) {
    const key = `${req.socket.remoteAddress}:${req.socket.remotePort}`;
    const record = this.connections_.get(key);
    if (!record) return;
    record.busy += 1;
    res.on('close', () => {
      record.busy -= 1;
      if (record.busy === 0 && this.connections_.get(key) === record) {
        this.connections_.delete(key);
        this.connections_.set(key, record);
      }
    });
  }

  evictIdle_() {
    for (const [key, record] of this.connections_) {
      if (record.busy > 0) continue;
      this.connections_.delete(key);
      record.socket.destroy();
      return true;
    }
    return false;
  }

  // Once per user: a client that keeps trying is not logged each time.
  refuse_(uid) {
    const who = uid === null ? 'a process the kernel does not list' : `uid ${uid}`;
    if (this.refused_.has(uid)) return;
    if (this.refused_.size >= 1024) {
      return this.log_.note('refused', `refusing connections from ${who}`);
    }
    this.refused_.add(uid);
    log(`refusing connections from ${who}: only uid ${this.ownUid_} is answered`);
  }
}

function listen(server, companion, port, fixed, attempt = 0) {
  const onError = (err) => {
    server.removeListener('listening', onListening);
    if (err.code === 'EADDRINUSE' && !fixed) {
      if (attempt < kPortInUseRetries) {
        setTimeout(() => listen(server, companion, port, fixed, attempt + 1), kPortInUseRetryMs);
        return;
      }
      if (port !== 0) {
        log(`port ${port} is in use; taking a free port instead`);
        listen(server, companion, 0, true);
        return;
      }
    }
    fail(`cannot listen on 127.0.0.1:${port}: ${err.message}`);
  };
  const onListening = () => {
    server.removeListener('error', onError);
    companion.port = server.address().port;
    process.stderr.write(`kavri companion listening on https://127.0.0.1:${companion.port}/\n`);
  };
  server.once('error', onError);
  server.once('listening', onListening);
  server.listen(port, '127.0.0.1');
}

// One request: a fault in handling it costs that request, not the server.
function serve(companion, req, res) {
  const failed = (e) => {
    log(`request ${req.method} failed: ${e && e.message}`);
    res.destroy();
  };
  try {
    Promise.resolve(companion.handle(req, res)).catch(failed);
  } catch (e) {
    failed(e);
  }
}

function startServer(companion, handshake, port, fixed) {
  let server;
  let gate;
  try {
    server = https.createServer({pfx: handshake.pfx, passphrase: handshake.passphrase,
      minVersion: 'TLSv1.2', handshakeTimeout: companion.limits.handshakeMs}, (req, res) => {
      gate.track(req, res);
      serve(companion, req, res);
    });
  } catch (e) {
    // OpenSSL's reason ("mac verify failure" for a wrong pass phrase); it
    // never contains the pass phrase itself.
    fail(`cannot open the certificate container with the handshake's pass phrase: ${e.message}`);
  } finally {
    handshake.pfx.fill(0);
  }
  server.on('clientError', (err, socket) => socket.destroy());
  server.on('tlsClientError', (err) => companion.repeatLog.note('tls',
      'dropped a connection whose TLS handshake failed or took too long ' +
      `(${err.code || err.message})`));
  server.headersTimeout = 20 * 1000;
  server.requestTimeout = 60 * 1000;
  gate = new ConnectionGate(server, {repeatLog: companion.repeatLog});
  // The server itself never listens: every connection passes the gate first.
  const front = net.createServer({pauseOnConnect: true}, (socket) => gate.admit(socket));
  listen(front, companion, port, fixed);
  setInterval(() => companion.keepEventsAlive(), kKeepAliveMs).unref();
  return front;
}

function main() {
  if (!isAssembled()) {
    fail('this is the server\'s source without its page; run the daemon.js the build assembles');
  }
  const portSetting = parsePort(process.env.KAVRI_PORT);
  if (portSetting.error) fail(portSetting.error);
  const limitSetting = parseLimits(process.env.KAVRI_COMPANION_LIMITS);
  if (limitSetting.error) fail(limitSetting.error);
  // The agent may be gone while a command is on its way; its end of standard
  // input closing is what ends this process.
  process.stdout.on('error', () => {});
  const companion = new Companion(limitSetting.limits);
  let server = null;
  const reader = new LineReader(kMaxHandshakeBytes, (line) => {
    if (server) return companion.acceptLine(line);
    const handshake = parseHandshake(line);
    line.fill(0);
    if (handshake.error) fail(`bad handshake: ${handshake.error}`);
    server = startServer(companion, handshake, portSetting.port, portSetting.fixed);
    reader.maxLineBytes = kMaxLineBytes;
  }, (reason) => {
    if (!server) fail(`bad handshake: ${reason}`);
    log(`ignoring a line from the agent: ${reason}`);
  });
  process.stdin.on('data', (chunk) => reader.push(chunk));
  process.stdin.on('end', () => {
    if (!server) fail('standard input ended before the handshake');
    reader.end();
    log('standard input closed; exiting');
    process.exit(0);
  });
  process.stdin.on('error', (err) => fail(`cannot read standard input: ${err.message}`));
}

if (require.main === module) {
  main();
} else {
  module.exports = {
    LineReader, parseHandshake, parseCatalogue, groupFamilies, isAllowedHost, isOwnOrigin,
    isForeignRequest, isOwnPagePost, fontMediaType, collectionFace, planCollectionFace,
    FaceCutter, RepeatLog, UpdateRequests, PeerOwners, ConnectionGate,
    tableEndpoint, parsePort, parseLimits, Companion,
    kMaxLineBytes, kMaxHandshakeBytes, kDefaultPort, kDefaultLimits,
  };
}
