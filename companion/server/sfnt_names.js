'use strict';
// A font's 'name' table read as the face view shows it: one string per name
// ID, in English where the font gives one. A table that lies (records past
// its end, more records than it holds, endless strings) gives what holds
// together and says what did not.

const kMaxNameChars = 16 * 1024;  // a licence's full text is a few thousand
const kMaxNames = 4096;  // name IDs kept: axes', instances' and features' names too
const kMaxTotalChars = 256 * 1024;

// Windows English first, then any Windows Unicode, Unicode platform, Mac
// Roman English: lower is better.
function rank(platform, encoding, language) {
  if (platform === 3 && (encoding === 1 || encoding === 10)) return language === 0x409 ? 0 : 2;
  if (platform === 0) return 3;
  if (platform === 1 && encoding === 0) return language === 0 ? 4 : 5;
  return -1;
}

function decode(bytes, platform) {
  if (platform === 1) return bytes.toString('latin1');
  return Buffer.from(bytes.subarray(0, bytes.length & ~1)).swap16().toString('utf16le');
}

// {names: Map nameId -> string, notes: [string]} from the table's bytes.
function readNames(table) {
  const names = new Map();
  const notes = [];
  if (!table || table.length < 6) {
    if (table) notes.push('the name table is cut short');
    return {names, notes};
  }
  const count = table.readUInt16BE(2);
  const strings = table.readUInt16BE(4);
  const fits = Math.min(count, Math.floor((table.length - 6) / 12));
  if (fits < count) notes.push(`the name table lists ${count} names but holds ${fits}`);
  // The best record of each name first, then the strings, lowest name IDs
  // first, within one budget: records may all point at one long string.
  const best = new Map();  // nameId -> {score, platform, start, length}
  let outside = 0;
  for (let i = 0; i < fits; i++) {
    const r = 6 + 12 * i;
    const [platform, encoding, language, nameId, length, offset] =
        [0, 2, 4, 6, 8, 10].map((k) => table.readUInt16BE(r + k));
    const start = strings + offset;
    if (start + length > table.length) {
      outside += 1;
      continue;
    }
    const score = rank(platform, encoding, language);
    if (score < 0 || (best.has(nameId) && best.get(nameId).score <= score)) continue;
    if (!best.has(nameId) && best.size >= kMaxNames) continue;
    best.set(nameId, {score, platform, start, length});
  }
  let budget = kMaxTotalChars;
  for (const [nameId, {platform, start, length}] of [...best].sort(([a], [b]) => a - b)) {
    const chars = Math.min(length, 4 * kMaxNameChars);
    if (chars > 2 * budget) {
      notes.push('the name table\'s strings are too long to read them all');
      break;
    }
    let text = decode(table.subarray(start, start + chars), platform);
    // Control characters other than line breaks and tabs say nothing to a reader.
    text = text.replace(/[\u0000-\u0008\u000b\u000c\u000e-\u001f\u007f]/g, '');
    if (text.length > kMaxNameChars) text = text.slice(0, kMaxNameChars) + '…';
    budget -= text.length;
    names.set(nameId, text);
  }
  if (outside > 0) notes.push(`${outside} of the name table's strings lie outside it`);
  return {names, notes};
}

// Name IDs the face view shows, by what they are.
const kNameIds = Object.freeze({
  copyright: 0, family: 1, subfamily: 2, uniqueId: 3, fullName: 4, version: 5, postscript: 6,
  trademark: 7, manufacturer: 8, designer: 9, description: 10, vendorUrl: 11, designerUrl: 12,
  licence: 13, licenceUrl: 14, typographicFamily: 16, typographicSubfamily: 17,
});

module.exports = {readNames, kNameIds};
