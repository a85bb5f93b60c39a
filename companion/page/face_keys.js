// A face named in the page's address by its PostScript name followed by its
// file's path: a path starts with "/" and a PostScript name holds none, so
// the key splits at its first "/". A variable font's file is one face: its
// key is its path alone.

export function faceKey(cat, face) {
  return isCollection(cat.path(face)) ? cat.postscripts[face] + cat.path(face) : cat.path(face);
}

export function isCollection(path) {
  return /\.(ttc|otc)$/i.test(path);
}

// The face `key` names in `cat`, or -1 when it is not installed.
export function findFace(cat, key) {
  if (typeof key !== 'string') return -1;
  const slash = key.indexOf('/');
  if (slash < 0) return -1;
  const postscript = key.slice(0, slash);
  const path = key.slice(slash);
  const file = cat.files.indexOf(path);
  if (file < 0) return -1;
  for (let face = 0; face < cat.faceCount; face++) {
    if (cat.file[face] === file && (postscript === '' || cat.postscripts[face] === postscript)) {
      return face;
    }
  }
  return -1;
}

// The faces of `family` as its list shows them: a file's faces together, one
// row, unless the file is a collection of separate faces. [{face (the first),
// faces}] in the family's order.
export function faceRows(cat, family) {
  const rows = [];
  const byFile = new Map();
  for (let face = cat.first[family]; face < cat.first[family + 1]; face++) {
    const file = cat.file[face];
    const row = isCollection(cat.path(face)) ? null : byFile.get(file);
    if (row) {
      row.faces.push(face);
    } else {
      const fresh = {face, faces: [face]};
      rows.push(fresh);
      if (!isCollection(cat.path(face))) byFile.set(file, fresh);
    }
  }
  return rows;
}

// What a face is called where it stands alone: its family and style, or for
// a variable font's file, its family and file.
export function faceLabel(cat, face) {
  const family = cat.familyOf(face);
  const path = cat.path(face);
  if (!isCollection(path)) {
    for (let f = cat.first[family]; f < cat.first[family + 1]; f++) {
      if (f !== face && cat.file[f] === cat.file[face]) {
        return `${cat.name(family)} — variable, ${path.slice(path.lastIndexOf('/') + 1)}`;
      }
    }
  }
  return `${cat.name(family)} — ${cat.styles[face]}`;
}
