'use strict';
// The agent's catalogue lines, checked whole before anything of one is
// served.

const {isUtf8} = require('buffer');

const kMaxLineBytes = 64 * 1024 * 1024;   // thousands of faces are a few MiB

function isFaceRecord(r) {
  const optionalString = (v) => v === undefined || typeof v === 'string';
  return r !== null && typeof r === 'object' && !Array.isArray(r) &&
      typeof r.family === 'string' && typeof r.style === 'string' &&
      typeof r.postscript === 'string' &&
      Number.isInteger(r.weight) && r.weight >= 100 && r.weight <= 900 &&
      Number.isInteger(r.stretch) && r.stretch >= 1 && r.stretch <= 9 &&
      typeof r.italic === 'boolean' &&
      optionalString(r.localizedFamily) && optionalString(r.localizedStyle);
}

const kRunBytes = 64 * 1024;
const kWhitespace = new Set([0x20, 0x09, 0x0a, 0x0d]);

// Splits the JSON object in `bytes` into runs of whole members of about
// kRunBytes each: [{start, end, members}], or null when the bytes are not
// one object. Strings are skipped whole, so brackets and commas inside names
// do not count. Whether each run is valid JSON is left to its parse.
function objectRuns(bytes) {
  let i = 0;
  while (kWhitespace.has(bytes[i])) i++;
  if (bytes[i] !== 0x7b) return null;
  const runs = [];
  let start = i + 1;
  let members = 1;
  let depth = 0;
  let end = -1;
  for (i = start; i < bytes.length && end < 0; i++) {
    const c = bytes[i];
    if (c === 0x22) {
      // To the closing quote: the next one not escaped by an odd number of backslashes.
      for (;;) {
        i = bytes.indexOf(0x22, i + 1);
        if (i < 0) return null;
        let k = i - 1;
        while (bytes[k] === 0x5c) k--;
        if ((i - k) % 2 === 1) break;
      }
    } else if (c === 0x7b || c === 0x5b) {
      depth++;
    } else if (c === 0x7d && depth === 0) {
      end = i;
    } else if (c === 0x7d || c === 0x5d) {
      if (--depth < 0) return null;
    } else if (c === 0x2c && depth === 0) {
      if (i - start >= kRunBytes) {
        runs.push({start, end: i, members});
        start = i + 1;
        members = 0;
      }
      members++;
    }
  }
  if (end < 0) return null;
  for (i = end + 1; i < bytes.length; i++) {
    if (!kWhitespace.has(bytes[i])) return null;
  }
  runs.push({start, end, members});
  return runs;
}

// One catalogue line: a JSON object mapping absolute font file paths to
// arrays of face records. Returns {catalogue: {bytes, files (a Set of the
// paths), faceCount}} or {error}; a catalogue that is wrong anywhere is
// refused whole, so what is served is always one message the agent sent. The
// catalogue keeps `line` itself as its bytes. Each file's faces go to
// onFile(path, faces) as they are read: the line is parsed a run of members
// at a time, so with tens of thousands of faces their records die young
// rather than all living at once.
function parseCatalogue(line, onFile = () => {}) {
  if (!isUtf8(line)) return {error: 'not UTF-8'};
  const runs = objectRuns(line);
  if (!runs) return {error: 'not a JSON object'};
  const files = new Set();
  let faceCount = 0;
  const empty = runs.length === 1 && runs[0].members === 1 &&
      line.subarray(runs[0].start, runs[0].end).every((c) => kWhitespace.has(c));
  for (const run of empty ? [] : runs) {
    let value;
    try {
      value = JSON.parse(`{${line.toString('utf8', run.start, run.end)}}`);
    } catch (e) {
      return {error: `not JSON (${e.message} in bytes ${run.start} to ${run.end})`};
    }
    const paths = Object.keys(value);
    // JSON.parse keeps only the last of a repeated name.
    if (paths.length !== run.members) return {error: 'not one member per font path'};
    for (const file of paths) {
      const faces = value[file];
      if (!file.startsWith('/') || file.includes('\0') || files.has(file)) {
        return {error: 'a font path is not absolute or comes twice'};
      }
      if (!Array.isArray(faces) || !faces.every(isFaceRecord)) {
        return {error: 'a face record is malformed'};
      }
      files.add(file);
      faceCount += faces.length;
      onFile(file, faces);
    }
  }
  return {catalogue: {bytes: line, files, faceCount}};
}

module.exports = {parseCatalogue, kMaxLineBytes};
