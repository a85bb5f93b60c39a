'use strict';
// Every code point a character map maps to a real glyph (neither the missing
// glyph nor one past the font's count), as sorted runs. Work is bounded by
// the map's size, not by the ranges it claims: a full-range group costs the
// same as a one-character one, and a basic-plane map is walked once.

const kMaxCodePoint = 0x10ffff;

// Sorted, merged [first, last] runs of `runs` (each first <= last).
function merge(runs) {
  runs.sort((a, b) => a[0] - b[0]);
  const out = [];
  for (const [first, last] of runs) {
    const prev = out[out.length - 1];
    if (prev && first <= prev[1] + 1) prev[1] = Math.max(prev[1], last);
    else out.push([first, last]);
  }
  return out;
}

// Runs of the code points from `from` to `to` for which `glyphOf(cp)` is a
// real glyph.
function walk(from, to, glyphOf, glyphCount, runs) {
  let open = -1;
  for (let cp = from; cp <= to; cp++) {
    const g = glyphOf(cp);
    if (g !== 0 && g < glyphCount) {
      if (open < 0) open = cp;
    } else if (open >= 0) {
      runs.push([open, cp - 1]);
      open = -1;
    }
  }
  if (open >= 0) runs.push([open, to]);
}

// {count, runs: [first, last, first, last, ...]} of `map` (font_tables.js's
// CharacterMap); `glyphCount` the font's glyphs (maxp), or 65536 unknown.
function mappedRuns(map, glyphCount) {
  const d = map.data;
  const runs = [];
  if (map.format === 4) {
    const segs = d.readUInt16BE(6) >> 1;
    let done = -1;  // segments out of order or overlapping are read past what came before
    for (let k = 0; k < segs; k++) {
      const end = d.readUInt16BE(14 + 2 * k);
      const start = Math.max(d.readUInt16BE(16 + 2 * segs + 2 * k), done + 1);
      if (start > end) continue;
      done = end;
      const delta = d.readUInt16BE(16 + 4 * segs + 2 * k);
      const rangeAt = 16 + 6 * segs + 2 * k;
      const range = d.readUInt16BE(rangeAt);
      const first = d.readUInt16BE(16 + 2 * segs + 2 * k);
      walk(start, end, range === 0 ? (cp) => (cp + delta) & 0xffff : (cp) => {
        const at = rangeAt + range + 2 * (cp - first);
        if (at + 2 > d.length) return 0;
        const g = d.readUInt16BE(at);
        return g === 0 ? 0 : (g + delta) & 0xffff;
      }, glyphCount, runs);
    }
  } else if (map.format === 12 || map.format === 13) {
    for (let k = 0, n = d.readUInt32BE(12); k < n; k++) {
      const start = d.readUInt32BE(16 + 12 * k);
      const end = Math.min(d.readUInt32BE(20 + 12 * k), kMaxCodePoint);
      const glyph = d.readUInt32BE(24 + 12 * k);
      if (start > end) continue;
      if (map.format === 13) {
        if (glyph !== 0 && glyph < glyphCount) runs.push([start, end]);
        continue;
      }
      const first = glyph === 0 ? start + 1 : start;
      const last = Math.min(end, start + (glyphCount - 1 - glyph));
      if (first <= last) runs.push([first, last]);
    }
  } else if (map.format === 6) {
    const first = d.readUInt16BE(6);
    const count = d.readUInt16BE(8);
    walk(first, Math.min(first + count - 1, 0xffff), (cp) => d.readUInt16BE(10 + 2 * (cp - first)),
        glyphCount, runs);
  } else {
    walk(0, 255, (cp) => d[6 + cp], glyphCount, runs);
  }
  const merged = merge(runs);
  let count = 0;
  const flat = [];
  for (const [first, last] of merged) {
    count += last - first + 1;
    flat.push(first, last);
  }
  return {count, runs: flat};
}

module.exports = {mappedRuns};
