'use strict';
// The agent's catalogue lines, checked whole before anything of one is
// served, and read straight from their bytes into a table of numbers: with
// tens of thousands of faces, an object and five strings per record would
// cost more to make and to collect than all the rest the server does.

const {isUtf8} = require('buffer');
const {TextTable} = require('./text_table.js');

const kMaxLineBytes = 64 * 1024 * 1024;   // thousands of faces are a few MiB

// A face's row in the table: its file's number, the spans of its texts in the
// line (each [start, end) of a JSON string literal, quotes included; -1 when
// absent) and its kind: weight * 100 + stretch * 10 + (italic ? 1 : 0).
const kFile = 0;
const kFamily = 1;
const kStyle = 3;
const kPostscript = 5;
const kLocalizedFamily = 7;
const kLocalizedStyle = 9;
const kKind = 11;
const kStride = 12;
// The shortest valid record, with the comma after it:
// {"family":"","style":"","postscript":"","weight":100,"stretch":1,"italic":true},
const kMinRecordBytes = 76;

const kWeight = -1;
const kStretch = -2;
const kItalic = -3;
// The members of a face record, found by their names' length and first
// byte (no two share both) without making a string of each name.
const kMembers = new Map([['family', kFamily], ['style', kStyle], ['postscript', kPostscript],
  ['localizedFamily', kLocalizedFamily], ['localizedStyle', kLocalizedStyle],
  ['weight', kWeight], ['stretch', kStretch], ['italic', kItalic]]);
const kMemberByStart = new Map([...kMembers].map(([name, at]) =>
  [name.length * 256 + name.charCodeAt(0), {bytes: Buffer.from(name), at}]));

const kQuote = 0x22;
const kBackslash = 0x5c;
const kPlain = new Uint8Array(256).fill(1, 0x20);  // bytes a string holds as they are
kPlain[kQuote] = 0;
kPlain[kBackslash] = 0;
const kEscaped = new Uint8Array(256);
for (const c of '"\\/bfnrt') kEscaped[c.charCodeAt(0)] = 1;
const kHex = new Uint8Array(256);
for (const c of '0123456789abcdefABCDEF') kHex[c.charCodeAt(0)] = 1;

class Malformed extends Error {}
const kNotJson = 'not JSON';
const fail = (why, at) => { throw new Malformed(`${why} at byte ${at}`); };

const isDigit = (c) => c >= 0x30 && c <= 0x39;

// Reads one catalogue line. Every step checks the JSON grammar as it goes, so
// a line is either read whole or refused.
class Scanner {
  constructor(line) {
    this.b = line;
    this.i = 0;
    this.escaped = false;  // whether the last string scanned holds an escape
    // Room for as many faces as the line could hold; the system backs only
    // the pages written.
    this.rows = new Int32Array(kStride * (Math.floor(line.length / kMinRecordBytes) + 1));
    this.count = 0;
  }

  ws() {
    const b = this.b;
    let i = this.i;
    for (let c = b[i]; c === 0x20 || c === 0x0a || c === 0x0d || c === 0x09; c = b[++i]);
    this.i = i;
    return b[i];
  }

  expect(c) {
    if (this.ws() !== c) fail(kNotJson, this.i);
    this.i += 1;
  }

  // Past the string literal at i; returns where it started.
  string() {
    const b = this.b;
    const start = this.i;
    if (b[start] !== kQuote) fail(kNotJson, start);
    this.escaped = false;
    let i = start + 1;
    for (;;) {
      while (kPlain[b[i]] === 1) i++;
      if (b[i] === kQuote) {
        this.i = i + 1;
        return start;
      }
      if (b[i] !== kBackslash) break;
      this.escaped = true;
      const e = b[i + 1];
      if (e === 0x75) {
        if (!(kHex[b[i + 2]] && kHex[b[i + 3]] && kHex[b[i + 4]] && kHex[b[i + 5]])) break;
        i += 6;
      } else if (kEscaped[e]) {
        i += 2;
      } else {
        break;
      }
    }
    return fail(kNotJson, start);
  }

  // The text of the string just scanned, from `start`.
  text(start) {
    return this.escaped ? JSON.parse(this.b.toString('utf8', start, this.i))
                        : this.b.toString('utf8', start + 1, this.i - 1);
  }

  number() {
    const b = this.b;
    const start = this.i;
    let i = start;
    let value = 0;
    if (b[i] === 0x2d) i++;
    if (b[i] === 0x30) {
      i++;
    } else if (b[i] >= 0x31 && b[i] <= 0x39) {
      while (isDigit(b[i])) value = value * 10 + b[i++] - 0x30;
    } else {
      fail(kNotJson, start);
    }
    if (b[start] !== 0x2d && b[i] !== 0x2e && b[i] !== 0x65 && b[i] !== 0x45) {
      this.i = i;
      return value;
    }
    if (b[i] === 0x2e) {
      if (!isDigit(b[++i])) fail(kNotJson, start);
      while (isDigit(b[i])) i++;
    }
    if (b[i] === 0x65 || b[i] === 0x45) {
      if (b[i + 1] === 0x2b || b[i + 1] === 0x2d) i++;
      if (!isDigit(b[++i])) fail(kNotJson, start);
      while (isDigit(b[i])) i++;
    }
    this.i = i;
    return Number(b.toString('latin1', start, i));
  }

  // true, false or null: the value, or undefined when none is here.
  literal() {
    const b = this.b;
    const i = this.i;
    if (b[i] === 0x74 && b[i + 1] === 0x72 && b[i + 2] === 0x75 && b[i + 3] === 0x65) {
      this.i += 4;
      return true;
    }
    if (b[i] === 0x66 && b[i + 1] === 0x61 && b[i + 2] === 0x6c && b[i + 3] === 0x73 &&
        b[i + 4] === 0x65) {
      this.i += 5;
      return false;
    }
    if (b[i] === 0x6e && b[i + 1] === 0x75 && b[i + 2] === 0x6c && b[i + 3] === 0x6c) {
      this.i += 4;
      return null;
    }
    return undefined;
  }

  // Past any one JSON value, however nested: a member the server does not
  // know, or a member of the wrong type. A stack, not recursion: the depth
  // is the line's to choose.
  skipValue() {
    const open = [];
    for (;;) {
      const c = this.ws();
      if (c === 0x7b || c === 0x5b) {
        this.i += 1;
        const close = c === 0x7b ? 0x7d : 0x5d;
        if (this.ws() === close) {
          this.i += 1;
        } else {
          open.push(close);
          if (close === 0x7d) this.key();
          continue;
        }
      } else if (c === kQuote) {
        this.string();
      } else if (this.literal() === undefined) {
        this.number();
      }
      // After a value: close what it ended, or go on to the next member.
      for (;;) {
        if (open.length === 0) return;
        const close = open[open.length - 1];
        const next = this.ws();
        this.i += 1;
        if (next === 0x2c) {
          if (close === 0x7d) this.key();
          break;
        }
        if (next !== close) fail(kNotJson, this.i - 1);
        open.pop();
      }
    }
  }

  // A member's name and its colon.
  key() {
    this.ws();
    this.string();
    this.expect(0x3a);
  }

  // A face record's member name and its colon: which member it is.
  member() {
    this.ws();
    const start = this.string();
    let at;
    if (this.escaped) {
      at = kMembers.get(this.text(start));
    } else {
      const b = this.b;
      const length = this.i - start - 2;
      const m = length < 16 ? kMemberByStart.get(length * 256 + b[start + 1]) : undefined;
      if (m !== undefined) {
        let k = 1;
        while (k < length && m.bytes[k] === b[start + 1 + k]) k++;
        if (k === length) at = m.at;
      }
    }
    this.expect(0x3a);
    return at;
  }

  // One face record into the table; false when a member is missing or of the
  // wrong kind (the JSON around it is still checked to its end).
  record(file) {
    this.expect(0x7b);
    const rows = this.rows;
    const row = this.count * kStride;
    rows.fill(-1, row, row + kStride);
    rows[row + kFile] = file;
    let weight = NaN;
    let stretch = NaN;
    let italic = null;
    if (this.ws() === 0x7d) {
      this.i += 1;
      return false;
    }
    for (;;) {
      const at = this.member();
      const c = this.ws();
      if (at === kWeight || at === kStretch) {
        const value = c === 0x2d || isDigit(c) ? this.number() : (this.skipValue(), NaN);
        if (at === kWeight) weight = value; else stretch = value;
      } else if (at === kItalic) {
        const value = this.literal();
        if (value === undefined) this.skipValue();
        italic = value;
      } else if (at !== undefined && c === kQuote) {
        rows[row + at] = this.string();
        rows[row + at + 1] = this.i;
      } else {
        // JSON keeps the last of a repeated name: a bad value can be mended.
        if (at !== undefined) rows[row + at] = -2;
        this.skipValue();
      }
      const next = this.ws();
      this.i += 1;
      if (next === 0x7d) break;
      if (next !== 0x2c) fail(kNotJson, this.i - 1);
    }
    const good = rows[row + kFamily] >= 0 && rows[row + kStyle] >= 0 &&
        rows[row + kPostscript] >= 0 && rows[row + kLocalizedFamily] !== -2 &&
        rows[row + kLocalizedStyle] !== -2 && typeof italic === 'boolean' &&
        Number.isInteger(weight) && weight >= 100 && weight <= 900 &&
        Number.isInteger(stretch) && stretch >= 1 && stretch <= 9;
    rows[row + kKind] = weight * 100 + stretch * 10 + (italic ? 1 : 0);
    if (good) this.count += 1;
    return good;
  }
}

// One catalogue line: a JSON object mapping absolute font file paths to
// arrays of face records. Returns {catalogue} or {error}; a catalogue that is
// wrong anywhere is refused whole, so what is served is always one message
// the agent sent. The catalogue:
//   bytes      the line itself, which the spans point into
//   files      the paths, numbered in the line's order (a TextTable)
//   faceCount  the number of face records
//   rows       Int32Array, kStride numbers per face in the line's order (the
//              faces of a file come together)
function parseCatalogue(line) {
  if (!isUtf8(line)) return {error: 'not UTF-8'};
  const s = new Scanner(line);
  const files = new TextTable(line);
  let malformed = null;
  try {
    s.expect(0x7b);
    if (s.ws() === 0x7d) {
      s.i += 1;
    } else {
      for (;;) {
        s.ws();
        const start = s.string();
        const text = s.escaped ? s.text(start) : null;
        const file = files.add(start, s.i);
        if (malformed) {
          // The first fault is the one told.
        } else if (text !== null ? !text.startsWith('/') || text.includes('\0')
                                 : line[start + 1] !== 0x2f) {
          malformed = 'a font path is not absolute';
        } else if (!files.added) {
          malformed = `a font path comes twice: ${JSON.stringify(files.text(file))}`;
        }
        s.expect(0x3a);
        if (s.ws() !== 0x5b) {
          malformed = malformed || 'a face record is malformed';
          s.skipValue();
        } else {
          s.i += 1;
          if (s.ws() === 0x5d) {
            s.i += 1;
          } else {
            for (;;) {
              if (s.ws() !== 0x7b) {
                malformed = malformed || 'a face record is malformed';
                s.skipValue();
              } else if (!s.record(files.size - 1)) {
                malformed = malformed || 'a face record is malformed';
              }
              const next = s.ws();
              s.i += 1;
              if (next === 0x5d) break;
              if (next !== 0x2c) fail(kNotJson, s.i - 1);
            }
          }
        }
        const next = s.ws();
        s.i += 1;
        if (next === 0x7d) break;
        if (next !== 0x2c) fail(kNotJson, s.i - 1);
      }
    }
    if (s.ws() !== undefined) fail(kNotJson, s.i);
  } catch (e) {
    if (e instanceof Malformed) return {error: e.message};
    throw e;
  }
  if (malformed) return {error: malformed};
  return {catalogue: {bytes: line, files, faceCount: s.count,
    rows: s.rows.subarray(0, s.count * kStride)}};
}

// The text of the span at `at` of face `face`'s row, or undefined if absent.
function faceText(catalogue, face, at) {
  const start = catalogue.rows[face * kStride + at];
  if (start < 0) return undefined;
  const end = catalogue.rows[face * kStride + at + 1];
  const bytes = catalogue.bytes;
  for (let i = start + 1; i < end - 1; i++) {
    if (bytes[i] === kBackslash) return JSON.parse(bytes.toString('utf8', start, end));
  }
  return bytes.toString('utf8', start + 1, end - 1);
}

// Face `face` of the catalogue as the record the agent sent.
function faceRecord(catalogue, face) {
  const kind = catalogue.rows[face * kStride + kKind];
  const record = {family: faceText(catalogue, face, kFamily),
    style: faceText(catalogue, face, kStyle), postscript: faceText(catalogue, face, kPostscript),
    weight: Math.floor(kind / 100), stretch: Math.floor(kind / 10) % 10, italic: kind % 10 === 1};
  for (const [name, at] of [['localizedFamily', kLocalizedFamily],
    ['localizedStyle', kLocalizedStyle]]) {
    const text = faceText(catalogue, face, at);
    if (text !== undefined) record[name] = text;
  }
  return record;
}

module.exports = {parseCatalogue, faceText, faceRecord, kMaxLineBytes, kStride, kFile, kFamily,
  kStyle, kPostscript, kLocalizedFamily, kLocalizedStyle, kKind};
