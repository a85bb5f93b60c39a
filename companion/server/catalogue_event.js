'use strict';
// The event that hands every page the grouped catalogue, written straight
// into bytes: its texts are the line's own JSON string literals, copied, so
// tens of thousands of faces cost no string, object or JSON text of their own.
//
// The event's data is one JSON object of columns (doc/protocol.md):
//   generation, faces   the catalogue's number and its count of faces
//   files               the font files' paths
//   noPreview           the numbers of the files browsers refuse
//   families, names     per family in display order: its name, and its
//                       localised name or 0
//   counts              per family, how many of the faces below are its own
//   file, styles, kinds per face, families' faces together, best first: its
//                       file's number, its style name (localised if sent),
//                       and weight * 100 + stretch * 10 + (italic ? 1 : 0)
//   postscripts         per face, its PostScript name where the file may be
//                       a collection (the page asks for that face), else 0

const {kFamily, kKind, kLocalizedFamily, kLocalizedStyle, kPostscript, kStride, kStyle,
  kFile} = require('./catalogue.js');
const {browserCanShow} = require('./families.js');
const {TextTable} = require('./text_table.js');

// Files that hold one font: the page asks for the whole file.
const kSingleFont = /\.(ttf|otf|woff2?)$/i;

// Writes into `out` from `at`.
class Writer {
  constructor(source, out) {
    this.source = source;
    this.out = out;
    this.at = 0;
  }

  span(start, end) {
    const {out, source} = this;
    let at = this.at;
    for (let i = start; i < end; i++) out[at++] = source[i];
    this.at = at;
  }

  ascii(text) {
    for (let k = 0; k < text.length; k++) this.out[this.at++] = text.charCodeAt(k);
  }

  int(n) {
    let digits = 1;
    for (let rest = n; rest >= 10; rest = Math.floor(rest / 10)) digits++;
    for (let k = digits - 1, rest = n; k >= 0; k--, rest = Math.floor(rest / 10)) {
      this.out[this.at + k] = 0x30 + (rest % 10);
    }
    this.at += digits;
  }

  byte(c) {
    this.out[this.at++] = c;
  }

  // The text at `at` of face `f`, or at `fallback` when that is absent or "".
  text(rows, f, at, fallback = at) {
    const row = f * kStride;
    const use = rows[row + at] >= 0 && rows[row + at + 1] - rows[row + at] > 2 ? at : fallback;
    this.span(rows[row + use], rows[row + use + 1]);
  }

  // A member holding a list: its name and opening bracket, or its closing one.
  open(name) {
    this.ascii(`,"${name}":[`);
  }

  close() {
    if (this.out[this.at - 1] === 0x2c) this.at -= 1;  // the last comma
    this.byte(0x5d);
  }
}

// Whether face `f` has a text other than "" at `at`.
function hasText(rows, f, at) {
  return rows[f * kStride + at] >= 0 &&
      rows[f * kStride + at + 1] - rows[f * kStride + at] > 2;
}

// At most what the event of `catalogue` takes: each text of the line is
// written at most once (a family's name once, a face's style in place of its
// localised one), and each number in few bytes.
function eventBound(catalogue, families) {
  return 1024 + catalogue.bytes.length + 40 * catalogue.faceCount + 20 * families +
      12 * catalogue.files.size;
}

// The event, whole, as the bytes each page is sent. Written once into room
// for the most it could take, of which the system backs only what is used.
function catalogueEvent(generation, catalogue, {first, counts, order}) {
  const {rows, files} = catalogue;
  // Per file: whether browsers refuse it, and whether it holds one font.
  const refused = new Uint8Array(files.size);
  const single = new Uint8Array(files.size);
  for (let i = 0; i < files.size; i++) {
    const path = files.text(i);
    refused[i] = browserCanShow(path) ? 0 : 1;
    single[i] = kSingleFont.test(path) ? 1 : 0;
  }
  const room = Buffer.allocUnsafeSlow(eventBound(catalogue, first.length));
  const w = new Writer(catalogue.bytes, room);
  w.ascii(`event: catalogue\ndata: {"generation":${generation},"faces":${catalogue.faceCount}`);
  w.open('files');
  for (let i = 0; i < files.size; i++) {
    w.span(files.starts[i], files.ends[i]);
    w.byte(0x2c);
  }
  w.close();
  w.open('noPreview');
  for (let i = 0; i < files.size; i++) {
    if (!refused[i]) continue;
    w.int(i);
    w.byte(0x2c);
  }
  w.close();
  w.open('families');
  for (let i = 0; i < first.length; i++) {
    w.text(rows, first[i], kFamily);
    w.byte(0x2c);
  }
  w.close();
  w.open('names');
  for (let i = 0; i < first.length; i++) {
    const f = first[i];
    if (hasText(rows, f, kLocalizedFamily)) w.text(rows, f, kLocalizedFamily); else w.byte(0x30);
    w.byte(0x2c);
  }
  w.close();
  w.open('counts');
  for (let i = 0; i < counts.length; i++) {
    w.int(counts[i]);
    w.byte(0x2c);
  }
  w.close();
  w.open('file');
  for (let i = 0; i < order.length; i++) {
    w.int(rows[order[i] * kStride + kFile]);
    w.byte(0x2c);
  }
  w.close();
  w.open('styles');
  for (let i = 0; i < order.length; i++) {
    w.text(rows, order[i], kLocalizedStyle, kStyle);
    w.byte(0x2c);
  }
  w.close();
  w.open('postscripts');
  for (let i = 0; i < order.length; i++) {
    const f = order[i];
    if (single[rows[f * kStride + kFile]]) w.byte(0x30); else w.text(rows, f, kPostscript);
    w.byte(0x2c);
  }
  w.close();
  w.open('kinds');
  for (let i = 0; i < order.length; i++) {
    w.int(rows[order[i] * kStride + kKind]);
    w.byte(0x2c);
  }
  w.close();
  w.ascii('}\n\n');
  return w.out.subarray(0, w.at);
}

// The event before any catalogue has come.
function emptyEvent() {
  const bytes = Buffer.alloc(0);
  return catalogueEvent(0, {bytes, rows: new Int32Array(0), files: new TextTable(bytes),
    faceCount: 0}, {first: new Int32Array(0),
    counts: new Int32Array(0), order: new Int32Array(0)});
}

module.exports = {catalogueEvent, emptyEvent, hasText, Writer};
