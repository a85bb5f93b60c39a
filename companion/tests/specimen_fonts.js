'use strict';
// Small fonts made for the face view's tests and fuzzing: every table the
// view reads, each a few bytes, so that mutations reach all of them.

const h = require('./harness.js');

// A character map of `text`'s characters: the one of the facts' test font.
function cmapTableOf(text) {
  return h.fontTables(h.makeFactsFont('x', text)).get('cmap').data;
}

// A single font of `tables` (Map tag -> Buffer), laid out as a file.
function sfnt(tables) {
  const dir = Buffer.alloc(12 + 16 * tables.size);
  dir.writeUInt32BE(0x00010000, 0);
  dir.writeUInt16BE(tables.size, 4);
  let at = dir.length;
  const data = [];
  [...tables].forEach(([tag, bytes], k) => {
    dir.write(tag, 12 + 16 * k, 'latin1');
    dir.writeUInt32BE(at, 12 + 16 * k + 8);
    dir.writeUInt32BE(bytes.length, 12 + 16 * k + 12);
    const padded = Buffer.alloc((bytes.length + 3) & ~3);
    bytes.copy(padded);
    data.push(padded);
    at += padded.length;
  });
  return Buffer.concat([dir, ...data]);
}

// A layout table whose feature list has `tags`, each feature's parameters
// naming name ID `nameId` (0: no parameters).
function layoutTable(tags, nameId = 0) {
  const listAt = 10;
  const featureAt = 2 + 6 * tags.length;  // from the list's start
  const table = Buffer.alloc(listAt + featureAt + 4 + 4);
  table.writeUInt16BE(1, 0);
  table.writeUInt16BE(listAt, 6);
  table.writeUInt16BE(tags.length, listAt);
  tags.forEach((tag, k) => {
    table.write(tag, listAt + 2 + 6 * k, 'latin1');
    table.writeUInt16BE(featureAt, listAt + 2 + 6 * k + 4);
  });
  // The feature (all share it): its parameters just after it.
  if (nameId) {
    table.writeUInt16BE(4, listAt + featureAt);
    table.writeUInt16BE(nameId, listAt + featureAt + 6);
  }
  return table;
}

// A 'name' table of Windows English strings: {nameId: text}.
function nameTable(names) {
  const entries = Object.entries(names).map(([id, text]) =>
    [Number(id), Buffer.from(text, 'utf16le').swap16()]);
  const head = Buffer.alloc(6 + 12 * entries.length);
  head.writeUInt16BE(entries.length, 2);
  head.writeUInt16BE(head.length, 4);
  let at = 0;
  entries.forEach(([id, bytes], k) => {
    [3, 1, 0x409, id, bytes.length, at].forEach((v, i) => head.writeUInt16BE(v, 6 + 12 * k + 2 * i));
    at += bytes.length;
  });
  return Buffer.concat([head, ...entries.map(([, bytes]) => bytes)]);
}

// 'fvar' with `axes` ([[tag, min, default, max, nameId]]) and `instances`
// ([[nameId, ...coordinates]]).
function fvarTable(axes, instances) {
  const instanceSize = 4 + 4 * axes.length;
  const fvar = Buffer.alloc(16 + 20 * axes.length + instanceSize * instances.length);
  [1, 0, 16, 2, axes.length, 20, instances.length, instanceSize]
      .forEach((v, k) => fvar.writeUInt16BE(v, 2 * k));
  axes.forEach(([tag, min, value, max, nameId], k) => {
    const at = 16 + 20 * k;
    fvar.write(tag, at, 'latin1');
    [min, value, max].forEach((v, i) => fvar.writeInt32BE(Math.round(v * 65536), at + 4 + 4 * i));
    fvar.writeUInt16BE(nameId, at + 18);
  });
  instances.forEach(([nameId, ...coordinates], k) => {
    const at = 16 + 20 * axes.length + instanceSize * k;
    fvar.writeUInt16BE(nameId, at);
    coordinates.forEach((v, i) => fvar.writeInt32BE(Math.round(v * 65536), at + 4 + 4 * i));
  });
  return fvar;
}

// A small variable font with every table the face view reads.
function makeSpecimenFont(text = 'AZaz0189ÄÖ') {
  const head = Buffer.alloc(54);
  head.writeUInt32BE(0x5f0f3cf5, 12);
  head.writeUInt16BE(1000, 18);
  const maxp = Buffer.alloc(6);
  maxp.writeUInt16BE(0x5000, 0);
  maxp.writeUInt16BE(64, 4);
  const os2 = Buffer.alloc(96);
  os2.writeUInt16BE(4, 0);
  os2.writeInt16BE(500, 86);
  os2.writeInt16BE(700, 88);
  return sfnt(new Map([
    ['cmap', cmapTableOf(text)],
    ['head', head],
    ['maxp', maxp],
    ['OS/2', os2],
    ['name', nameTable({0: 'Copyright nobody', 1: 'Specimen', 2: 'Regular', 5: 'Version 1.0',
      6: 'Specimen-Regular',
      9: 'A Designer', 13: 'Free to use', 14: 'https://example.com/licence', 256: 'Weight',
      257: 'Open forms', 258: 'Light', 259: 'Heavy'})],
    ['GSUB', layoutTable(['liga', 'ss01'], 257)],
    ['GPOS', layoutTable(['kern'])],
    ['fvar', fvarTable([['wght', 100, 400, 900, 256], ['wdth', 75, 100, 100, 2]],
        [[258, 300, 100], [259, 900, 75]])],
  ]));
}

module.exports = {fvarTable, layoutTable, makeSpecimenFont, nameTable, sfnt};
