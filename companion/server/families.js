'use strict';
// The page lists families, not files: the catalogue's faces grouped and
// sorted as a reader expects.

const {faceText, kFamily, kKind, kLocalizedFamily, kLocalizedStyle, kStride, kStyle} =
    require('./catalogue.js');
const {TextTable} = require('./text_table.js');

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

// Names the rough keys order as the collator does: for letters, digits and
// spaces alone, lower-case ASCII order is the collator's base order.
const kPlainName = /^[A-Za-z0-9 ]*$/;

// The family numbers in the order of their display names: `names` by
// family, and familyName(k) to tell apart two that the collator holds equal.
// The collator is the costly part with tens of thousands of families, so the
// rough keys, compared as plain strings, order them first; the sort by the collator
// then finds them nearly in order and needs about one comparison per family,
// and none for two plain names whose keys differ.
function sortByName(names, familyName) {
  const keys = names.map(roughKey);
  const plain = new Uint8Array(names.length);
  const order = new Array(names.length);
  for (let k = 0; k < names.length; k++) {
    plain[k] = kPlainName.test(names[k]) ? 1 : 0;
    order[k] = k;
  }
  order.sort((a, b) => (keys[a] < keys[b] ? -1 : keys[a] > keys[b] ? 1 : a - b));
  return order.sort((a, b) => {
    if (plain[a] && plain[b] && keys[a] !== keys[b]) return keys[a] < keys[b] ? -1 : 1;
    const byName = kCollator.compare(names[a], names[b]);
    if (byName !== 0) return byName;
    const [x, y] = [familyName(a), familyName(b)];
    return x < y ? -1 : x > y ? 1 : 0;
  });
}

// Order of faces within a family: the upright regular one first (the face
// that shows a family best), then by stretch, weight, slant and name. The
// rank packs the numbers of a face's kind into one.
function faceRank(kind) {
  const weight = Math.floor(kind / 100);
  const stretch = Math.floor(kind / 10) % 10;
  const regularity = (kind % 10) * 10000 + Math.abs(stretch - 5) * 1000 + Math.abs(weight - 400);
  return regularity * 10000 + stretch * 1000 + weight;
}

// The catalogue's faces as families, in display order: {first, counts,
// order}. `order` is an Int32Array of face numbers with each family's faces
// together, best first; `counts` how many of them each family has and
// `first` the face whose names it takes (the first in the catalogue). A
// family's faces are found by the bytes of its name, with no string made
// per face.
function groupFamilies(catalogue) {
  const {bytes, rows, faceCount} = catalogue;
  const table = new TextTable(bytes);
  const familyOf = new Int32Array(faceCount);
  const firstFace = new Int32Array(faceCount);
  const counts = new Int32Array(faceCount);
  for (let f = 0; f < faceCount; f++) {
    const family = table.add(rows[f * kStride + kFamily], rows[f * kStride + kFamily + 1]);
    if (table.added) firstFace[family] = f;
    familyOf[f] = family;
    counts[family] += 1;
  }
  const families = table.size;
  const names = Array.from(firstFace.subarray(0, families), (f) =>
    faceText(catalogue, f, kLocalizedFamily) || faceText(catalogue, f, kFamily));
  const sorted = sortByName(names, (k) => faceText(catalogue, firstFace[k], kFamily));
  const first = new Int32Array(families);
  const sortedCounts = new Int32Array(families);
  const next = new Int32Array(families);
  let start = 0;
  sorted.forEach((k, i) => {
    first[i] = firstFace[k];
    sortedCounts[i] = counts[k];
    next[k] = start;
    start += counts[k];
  });
  const order = new Int32Array(faceCount);
  for (let f = 0; f < faceCount; f++) order[next[familyOf[f]]++] = f;
  const styleName = (f) =>
    faceText(catalogue, f, kLocalizedStyle) || faceText(catalogue, f, kStyle);
  for (let i = 0, at = 0; i < families; at += sortedCounts[i++]) {
    if (sortedCounts[i] < 2) continue;
    order.subarray(at, at + sortedCounts[i]).sort((a, b) =>
      faceRank(rows[a * kStride + kKind]) - faceRank(rows[b * kStride + kKind]) ||
          kCollator.compare(styleName(a), styleName(b)));
  }
  return {first, counts: sortedCounts, order};
}

module.exports = {browserCanShow, groupFamilies};
