'use strict';
// What the page's face view shows of one face, from the font's own tables:
// every character it maps, its OpenType features, its variation axes and
// named instances, and who made it under what licence. Read with bounded
// reads, like the facts; a table that does not hold together leaves its part
// empty and says so in a note, and nothing is thrown for any bytes.

const {budgetedReader, faceDirectory, fontOffsets, namedFaces, readCmap} =
    require('./font_tables.js');
const {mappedRuns} = require('./mapped_runs.js');
const {isTag, readFeatures} = require('./opentype_features.js');
const {kNameIds, readNames} = require('./sfnt_names.js');

const kMaxReadBytes = 24 * 1024 * 1024;  // directories, names, maps, layout lists
const kMaxNameTableBytes = 1024 * 1024;
const kMaxAxes = 64;
const kMaxInstances = 1024;

const fixed = (data, at) => Math.round(data.readInt32BE(at) / 65.536) / 1000;

async function table(take, dir, tag, min, max = Infinity) {
  const record = dir.tables.find((t) => t.tag === tag);
  if (!record) return null;
  if (record.length < min) return {short: true};
  const bytes = await take(record.offset, Math.min(record.length, max));
  return bytes ? {bytes} : {short: true};
}

// unitsPerEm ('head'), glyphCount ('maxp'), xHeight and capHeight ('OS/2').
async function readMetrics(take, dir, notes) {
  const out = {unitsPerEm: null, glyphCount: null, xHeight: null, capHeight: null};
  const head = await table(take, dir, 'head', 54, 54);
  if (head && head.bytes && head.bytes.readUInt32BE(12) === 0x5f0f3cf5) {
    const upem = head.bytes.readUInt16BE(18);
    if (upem >= 16 && upem <= 16384) out.unitsPerEm = upem;
    else notes.push(`the head table gives ${upem} units per em`);
  } else if (head) {
    notes.push('the head table cannot be read');
  }
  const maxp = await table(take, dir, 'maxp', 6, 6);
  if (maxp && maxp.bytes) out.glyphCount = maxp.bytes.readUInt16BE(4);
  else if (maxp) notes.push('the maxp table is cut short');
  const os2 = await table(take, dir, 'OS/2', 2, 90);
  if (os2 && os2.bytes && os2.bytes.readUInt16BE(0) >= 2 && os2.bytes.length >= 90) {
    out.xHeight = os2.bytes.readInt16BE(86);
    out.capHeight = os2.bytes.readInt16BE(88);
  } else if (os2 && os2.short) {
    notes.push('the OS/2 table is cut short');
  }
  return out;
}

// {axes: [{tag, name, min, default, max, hidden}], instances: [{name,
// coordinates: {tag: value}}]} from 'fvar', names from `names`.
async function readVariations(take, dir, names, notes) {
  const none = {axes: [], instances: []};
  const fvar = await table(take, dir, 'fvar', 16);
  if (!fvar) return none;
  const d = fvar.bytes;
  if (!d || d.readUInt16BE(0) !== 1) {
    notes.push('the fvar table cannot be read');
    return none;
  }
  const axesAt = d.readUInt16BE(4);
  const axisCount = d.readUInt16BE(8);
  const axisSize = d.readUInt16BE(10);
  const instanceCount = d.readUInt16BE(12);
  const instanceSize = d.readUInt16BE(14);
  if (axisCount === 0 || axisCount > kMaxAxes || axisSize < 20 ||
      axesAt + axisCount * axisSize > d.length) {
    notes.push('the fvar table\'s axes do not hold together');
    return none;
  }
  const axes = [];
  for (let k = 0; k < axisCount; k++) {
    const at = axesAt + k * axisSize;
    const tag = d.toString('latin1', at, at + 4);
    const [min, value, max] = [4, 8, 12].map((o) => fixed(d, at + o));
    if (!isTag(tag) || !(min <= value && value <= max)) {
      notes.push('the fvar table\'s axes do not hold together');
      return none;
    }
    axes.push({tag, name: names.get(d.readUInt16BE(at + 18)) || tag, min, default: value, max,
      hidden: (d.readUInt16BE(at + 16) & 1) === 1});
  }
  const instances = [];
  const instancesAt = axesAt + axisCount * axisSize;
  const fits = instanceSize >= 4 + 4 * axisCount
      ? Math.min(instanceCount, kMaxInstances, Math.floor((d.length - instancesAt) / instanceSize))
      : 0;
  if (fits < instanceCount) notes.push(`the fvar table lists ${instanceCount} named instances ` +
      `but ${fits} are read`);
  for (let k = 0; k < fits; k++) {
    const at = instancesAt + k * instanceSize;
    const name = names.get(d.readUInt16BE(at));
    const coordinates = {};
    axes.forEach((axis, i) => {
      coordinates[axis.tag] = Math.min(axis.max, Math.max(axis.min, fixed(d, at + 4 + 4 * i)));
    });
    instances.push({name: name || `Instance ${k + 1}`, coordinates});
  }
  return {axes, instances};
}

// The strings of the 'name' table the view's About shows.
function aboutNames(names) {
  const about = {};
  for (const [what, id] of Object.entries(kNameIds)) {
    if (names.has(id)) about[what] = names.get(id);
  }
  return about;
}

// The view of one face, read through `take` from its directory `dir`.
async function faceSpecimen(take, dir) {
  const notes = [];
  const nameTable = await table(take, dir, 'name', 6, kMaxNameTableBytes);
  const {names, notes: nameNotes} = readNames(nameTable && nameTable.bytes);
  if (!nameTable) notes.push('the font has no name table');
  else if (!nameTable.bytes) notes.push('the name table cannot be read');
  notes.push(...nameNotes);
  const metrics = await readMetrics(take, dir, notes);
  const cmapTable = dir.tables.find((t) => t.tag === 'cmap');
  const map = await readCmap(take, cmapTable);
  let characters = null;
  if (map) {
    characters = {format: map.format, ...mappedRuns(map, metrics.glyphCount || 65536)};
  } else {
    notes.push(cmapTable ? 'the character map cannot be read' : 'the font has no character map');
  }
  const features = await readFeatures(take, dir, names, notes);
  const {axes, instances} = await readVariations(take, dir, names, notes);
  return {names: aboutNames(names), ...metrics, characters, features, axes, instances, notes};
}

// The specimen of the face named `postscript` (any face of a single font;
// a collection's first face when null) of the font of `fileSize` bytes that
// `read(offset, length)` reads, or null when the file is no font this reads
// or holds no such face.
async function readSpecimen(read, fileSize, postscript) {
  const take = budgetedReader(read, fileSize, kMaxReadBytes);
  const fonts = await fontOffsets(take);
  if (!fonts) return null;
  if (!fonts.collection) {
    const dir = await faceDirectory(take, 0);
    return dir && faceSpecimen(take, dir);
  }
  for await (const face of namedFaces(take, fonts.offsets)) {
    if (postscript === null || face.postscript === postscript) {
      return faceSpecimen(take, face.dir);
    }
  }
  return null;
}

module.exports = {readSpecimen};
