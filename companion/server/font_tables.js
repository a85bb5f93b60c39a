'use strict';
// The few tables of a font file the page's filters need and the agent does
// not send: which characters a face maps ('cmap'), whether it is monospaced
// ('post', 'OS/2') and variable ('fvar'). Fonts are untrusted input: every
// read is bounded and checked, and a table that does not hold together just
// leaves its fact unknown.

const kMaxReadBytes = 16 * 1024 * 1024;  // per file: directories, names, maps, never glyphs
const kMaxCollectionFaces = 4096;
const kMaxNameTableBytes = 1024 * 1024;
const kMaxCmapSubtableBytes = 4 * 1024 * 1024;
const kMaxAxes = 64;
const kMaxSampledCodePoints = 20000;

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

// `read(offset, length)` (a Buffer, short only at the end of the file) made
// to refuse what lies outside the file or over the file's reading budget:
// `take` resolves null then.
function budgetedReader(read, fileSize, budget = kMaxReadBytes) {
  return async (offset, length) => {
    if (offset + length > fileSize || length > budget) return null;
    budget -= length;
    const bytes = await read(offset, length);
    return bytes.length === length ? bytes : null;
  };
}

// Where the file's fonts start: {collection, offsets}, or null when the file
// is neither a font nor a collection of them this reads (WOFF, Type 1, the
// bitmap formats).
async function fontOffsets(take) {
  const header = await take(0, 12);
  if (!header) return null;
  const tag = header.toString('latin1', 0, 4);
  if (tag === 'ttcf') {
    const count = header.readUInt32BE(8);
    if (count > kMaxCollectionFaces) return null;
    const offsets = await take(12, 4 * count);
    return offsets && {collection: true,
      offsets: Array.from({length: count}, (_, i) => offsets.readUInt32BE(4 * i))};
  }
  return ['\x00\x01\x00\x00', 'true', 'OTTO'].includes(tag) ? {collection: false, offsets: [0]}
                                                         : null;
}

// Each face of a collection as {dir, postscript}, skipping any whose
// directory or name cannot be read.
async function* namedFaces(take, offsets) {
  for (const offset of offsets) {
    const dir = await faceDirectory(take, offset);
    const name = dir && dir.tables.find((t) => t.tag === 'name');
    if (!name || name.length > kMaxNameTableBytes) continue;
    const table = await take(name.offset, name.length);
    const postscript = table && postscriptName(table);
    if (postscript) yield {dir, postscript};
  }
}

// A character map: which code points a face maps to a glyph.
//   has(cp)       whether cp maps to a glyph other than the missing one
//   ranges()      [first, last] pairs that hold every mapped code point
class CharacterMap {
  constructor(format, data) {
    this.format = format;
    this.data = data;
  }

  has(cp) {
    const d = this.data;
    if (this.format === 4) {
      const segs = d.readUInt16BE(6) >> 1;
      if (cp > 0xffff || segs === 0) return false;
      let lo = 0;
      let hi = segs - 1;
      while (lo < hi) {
        const mid = (lo + hi) >> 1;
        if (d.readUInt16BE(14 + 2 * mid) < cp) lo = mid + 1; else hi = mid;
      }
      const start = d.readUInt16BE(16 + 2 * segs + 2 * lo);
      if (d.readUInt16BE(14 + 2 * lo) < cp || start > cp) return false;
      const delta = d.readUInt16BE(16 + 4 * segs + 2 * lo);
      const rangeAt = 16 + 6 * segs + 2 * lo;
      const range = d.readUInt16BE(rangeAt);
      if (range === 0) return ((cp + delta) & 0xffff) !== 0;
      const at = rangeAt + range + 2 * (cp - start);
      if (at + 2 > d.length) return false;
      const glyph = d.readUInt16BE(at);
      return glyph !== 0 && ((glyph + delta) & 0xffff) !== 0;
    }
    if (this.format === 12 || this.format === 13) {
      let lo = 0;
      let hi = d.readUInt32BE(12) - 1;
      while (lo <= hi) {
        const mid = (lo + hi) >> 1;
        const at = 16 + 12 * mid;
        if (d.readUInt32BE(at + 4) < cp) {
          lo = mid + 1;
        } else if (d.readUInt32BE(at) > cp) {
          hi = mid - 1;
        } else {
          const glyph = d.readUInt32BE(at + 8);
          return (this.format === 13 ? glyph : glyph + cp - d.readUInt32BE(at)) !== 0;
        }
      }
      return false;
    }
    if (this.format === 6) {
      const first = d.readUInt16BE(6);
      const k = cp - first;
      return k >= 0 && k < d.readUInt16BE(8) && d.readUInt16BE(10 + 2 * k) !== 0;
    }
    return cp < 256 && d[6 + cp] !== 0;  // format 0
  }

  ranges() {
    const d = this.data;
    const out = [];
    if (this.format === 4) {
      const segs = d.readUInt16BE(6) >> 1;
      for (let k = 0; k < segs; k++) {
        out.push([d.readUInt16BE(16 + 2 * segs + 2 * k), d.readUInt16BE(14 + 2 * k)]);
      }
    } else if (this.format === 12 || this.format === 13) {
      for (let k = 0, n = d.readUInt32BE(12); k < n; k++) {
        out.push([d.readUInt32BE(16 + 12 * k), d.readUInt32BE(20 + 12 * k)]);
      }
    } else if (this.format === 6) {
      const first = d.readUInt16BE(6);
      out.push([first, first + d.readUInt16BE(8) - 1]);
    } else {
      out.push([0, 255]);
    }
    return out;
  }
}

// The subtable at `at`, if whole, inside its table and of a format read
// here, or null.
async function readSubtable(take, at, tableEnd) {
  const head = tableEnd - at >= 4 ? await take(at, Math.min(16, tableEnd - at)) : null;
  if (!head) return null;
  const format = head.readUInt16BE(0);
  let length;
  if (format === 0 || format === 6) {
    length = head.readUInt16BE(2);
  } else if (format === 4 && head.length >= 14) {
    // The 16-bit length overflows in some large maps: the segments say more.
    length = Math.min(Math.max(head.readUInt16BE(2), 16 + 8 * (head.readUInt16BE(6) >> 1)),
        tableEnd - at);
  } else if ((format === 12 || format === 13) && head.length === 16) {
    length = 16 + 12 * head.readUInt32BE(12);
  } else {
    return null;
  }
  if (length > kMaxCmapSubtableBytes || at + length > tableEnd) return null;
  const data = await take(at, length);
  if (!data) return null;
  const whole = format === 4 ? length >= 16 + 8 * (data.readUInt16BE(6) >> 1)
      : format === 6 ? length >= 10 && length >= 10 + 2 * data.readUInt16BE(8)
      : format === 0 ? length >= 262 : true;
  return whole ? new CharacterMap(format, data) : null;
}

// Subtables in the order a browser prefers them: full Unicode, then the
// basic plane, then symbol and Macintosh Roman.
const kCmapPreference = ['3.10', '0.6', '0.4', '3.1', '0.3', '0.2', '0.1', '0.0', '3.0', '1.0'];

// The face's best character map, or null.
async function readCmap(take, table) {
  if (!table || table.length < 4) return null;
  const end = table.offset + table.length;
  const head = await take(table.offset, 4);
  if (!head) return null;
  const count = Math.min(head.readUInt16BE(2), Math.floor((table.length - 4) / 8));
  const records = await take(table.offset + 4, 8 * count);
  if (!records) return null;
  const found = [];
  for (let k = 0; k < count; k++) {
    const rank = kCmapPreference.indexOf(
        `${records.readUInt16BE(8 * k)}.${records.readUInt16BE(8 * k + 2)}`);
    if (rank >= 0) found.push({rank, at: table.offset + records.readUInt32BE(8 * k + 4)});
  }
  found.sort((a, b) => a.rank - b.rank);
  for (const {at} of found) {
    const map = await readSubtable(take, at, end);
    if (map) return map;
  }
  return null;
}

// The table `tag` of `dir`, its first `length` bytes at most, or null.
async function tableBytes(take, dir, tag, length) {
  const table = dir.tables.find((t) => t.tag === tag);
  if (!table) return null;
  return take(table.offset, Math.min(table.length, length));
}

// Monospaced: the 'post' table says so, or the 'OS/2' PANOSE says a Latin
// text face of monospaced proportion.
async function isMonospaced(take, dir) {
  const post = await tableBytes(take, dir, 'post', 16);
  if (post && post.length === 16 && post.readUInt32BE(12) !== 0) return true;
  const os2 = await tableBytes(take, dir, 'OS/2', 42);
  return Boolean(os2 && os2.length === 42 && os2[32] === 2 && os2[35] === 9);
}

// The variation axes of 'fvar': [[tag, min, default, max]], or null.
async function variationAxes(take, dir) {
  const fvar = dir.tables.find((t) => t.tag === 'fvar');
  if (!fvar || fvar.length < 16) return null;
  const head = await take(fvar.offset, 16);
  if (!head || head.readUInt16BE(0) !== 1) return null;
  const axesAt = head.readUInt16BE(4);
  const count = head.readUInt16BE(8);
  const size = head.readUInt16BE(10);
  if (count === 0 || count > kMaxAxes || size < 20 || axesAt + count * size > fvar.length) {
    return null;
  }
  const data = await take(fvar.offset + axesAt, count * size);
  if (!data) return null;
  const fixed = (at) => Math.round(data.readInt32BE(at) / 65.536) / 1000;
  return Array.from({length: count}, (_, k) => {
    const at = k * size;
    return [data.toString('latin1', at, at + 4), fixed(at + 4), fixed(at + 8), fixed(at + 12)];
  });
}

const kLetter = /\p{L}/u;
const kShown = /[\p{L}\p{N}\p{S}]/u;

// A few characters of the face's own for a face that covers none of the
// page's languages: from the block of 128 code points where it maps the most
// letters (else the most symbols), up to ten that draw something.
function ownSample(map) {
  const letters = new Map();
  const shown = new Map();
  let looked = 0;
  for (const [first, last] of map.ranges()) {
    const end = Math.min(last, 0x10ffff);
    for (let cp = first; cp <= end && looked < kMaxSampledCodePoints; cp++, looked++) {
      if (cp >= 0xd800 && cp <= 0xdfff) continue;
      const c = String.fromCodePoint(cp);
      const tally = kLetter.test(c) ? letters : kShown.test(c) ? shown : null;
      if (tally && map.has(cp)) tally.set(cp >> 7, (tally.get(cp >> 7) || 0) + 1);
    }
  }
  const counts = letters.size > 0 ? letters : shown;
  let best = -1;
  for (const [block, n] of counts) if (best < 0 || n > counts.get(best)) best = block;
  if (best < 0) return null;
  let sample = '';
  for (let cp = best << 7, n = 0; cp < (best + 1) << 7 && n < 10; cp++) {
    if (cp >= 0xd800 && cp <= 0xdfff) continue;
    const c = String.fromCodePoint(cp);
    if (kShown.test(c) && map.has(cp)) {
      sample += (n > 0 && n % 5 === 0 ? ' ' : '') + c;
      n++;
    }
  }
  return sample;
}

// What the page's filters and samples need of one face:
// {mono, axes, covers (the indexes of `languages` whose test characters it
// all maps), sample (its own characters when it covers none)}; each fact
// null when its table is missing or malformed.
async function faceFacts(take, dir, languages, maps) {
  const cmapTable = dir.tables.find((t) => t.tag === 'cmap');
  // A collection's faces often share one map.
  const key = cmapTable ? `${cmapTable.offset}:${cmapTable.length}` : '';
  if (!maps.has(key)) maps.set(key, await readCmap(take, cmapTable));
  const map = maps.get(key);
  let covers = null;
  let sample = null;
  if (map) {
    covers = [];
    languages.forEach(({test}, k) => {
      if ([...test].every((c) => map.has(c.codePointAt(0)))) covers.push(k);
    });
    if (covers.length === 0) sample = ownSample(map);
  }
  return {mono: await isMonospaced(take, dir), axes: await variationAxes(take, dir), covers,
    sample};
}

// The facts of every face of the font file of `fileSize` bytes that
// `read(offset, length)` reads: [{postscript, ...faceFacts}] (postscript
// null for a single font: its facts are every record's), or null when the
// file is no font this reads (WOFF, Type 1, bitmap formats) or asks for more
// reading than any real font needs.
async function readFontFacts(read, fileSize, languages) {
  const take = budgetedReader(read, fileSize);
  const fonts = await fontOffsets(take);
  if (!fonts) return null;
  const maps = new Map();
  const faces = [];
  if (!fonts.collection) {
    const dir = await faceDirectory(take, 0);
    if (dir) faces.push({postscript: null, ...await faceFacts(take, dir, languages, maps)});
  } else {
    for await (const {dir, postscript} of namedFaces(take, fonts.offsets)) {
      faces.push({postscript, ...await faceFacts(take, dir, languages, maps)});
    }
  }
  return faces.length > 0 ? faces : null;
}

module.exports = {budgetedReader, faceDirectory, fontOffsets, namedFaces, readCmap, readFontFacts};
