'use strict';
// The page lists families, not files: the catalogue's faces grouped and
// sorted as a reader expects.

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

module.exports = {FamilyGrouper, groupFamilies};
