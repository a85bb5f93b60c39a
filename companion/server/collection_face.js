'use strict';
// Browsers show only a collection's first face: any other is cut out of it.
//
// A face of a TrueType/OpenType collection is served as a font of its own:
// its directory rewritten to point at its tables laid end to end. The cut is
// a plan, {head, pieces: [{offset, length, padded}], size}: the new header
// and directory, then which bytes of the file follow, each table padded to 4.
// Only directories and 'name' tables are read to make it; the tables
// themselves are streamed from the file when the face is sent.

const {budgetedReader, fontOffsets, namedFaces} = require('./font_tables.js');

const kMaxCutReadBytes = 32 * 1024 * 1024;  // directories and names, never table data

const align4 = (n) => (n + 3) & ~3;

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
  const take = budgetedReader(read, fileSize, kMaxCutReadBytes);
  const fonts = await fontOffsets(take);
  if (!fonts || !fonts.collection) return null;
  for await (const face of namedFaces(take, fonts.offsets)) {
    const plan = face.postscript === postscript && layOutFace(face.dir, fileSize);
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

module.exports = {planCollectionFace, collectionFace};
