'use strict';
// Browsers show only a collection's first face: any other is cut out of it.
//
// A face of a TrueType/OpenType collection is served as a font of its own:
// its directory rewritten to point at its tables laid end to end. The cut is
// a plan, {head, pieces: [{offset, length, padded}], size}: the new header
// and directory, then which bytes of the file follow, each table padded to 4.
// Only directories and 'name' tables are read to make it; the tables
// themselves are streamed from the file when the face is sent.

const kMaxCutReadBytes = 32 * 1024 * 1024;  // directories and names, never table data
const kMaxCollectionFaces = 4096;
const kMaxNameTableBytes = 1024 * 1024;

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

module.exports = {planCollectionFace, collectionFace};
