'use strict';
// Unicode's block and character names, where the system has them (Debian's
// unicode-data): read once, when first asked for, bounded, and kept. Without
// them the glyphs are grouped in blocks of 256 named by their range, and a
// character has no name.

const fs = require('fs');

const kUnicodeDir = '/usr/share/unicode';
const kMaxFileBytes = 8 * 1024 * 1024;  // UnicodeData.txt is about 2 MB
const kFallbackBlock = 256;

const hex = (cp) => cp.toString(16).toUpperCase().padStart(4, '0');

async function readBounded(file) {
  try {
    const st = await fs.promises.stat(file);
    if (!st.isFile() || st.size > kMaxFileBytes) return null;
    return await fs.promises.readFile(file, 'latin1');
  } catch (e) {
    return null;
  }
}

// Syllables are named by their parts, not listed.
const kLeads = 'G GG N D DD R M B BB S SS  J JJ C K T P H'.split(' ');
const kVowels = 'A AE YA YAE EO E YEO YE O WA WAE OE YO U WEO WE WI YU EU YI I'.split(' ');
const kTails = ' G GG GS N NJ NH D L LG LM LB LS LT LP LH M B BS S SS NG J C K T P H'.split(' ');

function hangulName(cp) {
  const s = cp - 0xac00;
  return 'HANGUL SYLLABLE ' + kLeads[Math.floor(s / 588)] + kVowels[Math.floor((s % 588) / 28)] +
      kTails[s % 28];
}

// Ranges listed by their ends, and how their characters are named.
function rangeName(label, cp) {
  if (label.startsWith('CJK Ideograph')) return `CJK UNIFIED IDEOGRAPH-${hex(cp)}`;
  if (label.startsWith('Tangut Ideograph')) return `TANGUT IDEOGRAPH-${hex(cp)}`;
  if (label.startsWith('Hangul Syllable')) return hangulName(cp);
  return null;
}

class UnicodeData {
  constructor(dir = kUnicodeDir) {
    this.dir_ = dir;
    this.blocks_ = null;
    this.names_ = null;
  }

  // [[first, last, name]] in order, or null without Blocks.txt.
  async blocks() {
    if (!this.blocks_) {
      this.blocks_ = readBounded(`${this.dir_}/Blocks.txt`).then((text) => {
        if (text === null) return null;
        const blocks = [];
        for (const m of text.matchAll(/^([0-9A-F]{4,6})\.\.([0-9A-F]{4,6}); ([^\r\n#]+)/gm)) {
          blocks.push([parseInt(m[1], 16), parseInt(m[2], 16), m[3].trim()]);
        }
        return blocks.length > 0 ? blocks : null;
      });
    }
    return this.blocks_;
  }

  // The blocks that hold any of `runs` ([first, last, ...], sorted): [[first,
  // last, name]], each block cut to the runs' extent.
  async blocksOf(runs) {
    const known = await this.blocks();
    const out = [];
    const add = (first, last, name) => {
      const prev = out[out.length - 1];
      if (prev && prev[2] === name && prev[1] + 1 >= first) prev[1] = last;
      else out.push([first, last, name]);
    };
    let b = 0;
    for (let k = 0; k < runs.length; k += 2) {
      for (let cp = runs[k]; cp <= runs[k + 1];) {
        while (known && b < known.length && known[b][1] < cp) b++;
        let end;
        let name;
        if (known && b < known.length && known[b][0] <= cp) {
          [, end, name] = known[b];
        } else {
          const chunk = Math.floor(cp / kFallbackBlock) * kFallbackBlock;
          end = chunk + kFallbackBlock - 1;
          if (known && b < known.length) end = Math.min(end, known[b][0] - 1);
          name = `U+${hex(chunk)}–U+${hex(chunk + kFallbackBlock - 1)}`;
        }
        const last = Math.min(end, runs[k + 1]);
        add(cp, last, name);
        cp = last + 1;
      }
    }
    return out;
  }

  async loadNames_() {
    const text = await readBounded(`${this.dir_}/UnicodeData.txt`);
    if (text === null) return null;
    const cps = [];
    const names = [];
    const ranges = [];
    for (const m of text.matchAll(/^([0-9A-F]{4,6});([^;\r\n]*);(?:[^;\r\n]*;){8}([^;\r\n]*)/gm)) {
      const cp = parseInt(m[1], 16);
      const range = /^<(.*), (First|Last)>$/.exec(m[2]);
      if (range && range[2] === 'First') ranges.push({first: cp, last: cp, label: range[1]});
      else if (range && ranges.length > 0) ranges[ranges.length - 1].last = cp;
      else if (m[2] === '<control>') cps.push(cp), names.push(m[3] || 'control character');
      else cps.push(cp), names.push(m[2]);
    }
    return {cps: Int32Array.from(cps), names, ranges};
  }

  // The character's name, or null where it has none or the system lacks them.
  async name(cp) {
    if (!this.names_) this.names_ = this.loadNames_();
    const data = await this.names_;
    if (!data) return null;
    let lo = 0;
    let hi = data.cps.length - 1;
    while (lo <= hi) {
      const mid = (lo + hi) >> 1;
      if (data.cps[mid] === cp) return data.names[mid];
      if (data.cps[mid] < cp) lo = mid + 1; else hi = mid - 1;
    }
    const range = data.ranges.find((r) => r.first <= cp && cp <= r.last);
    return range ? rangeName(range.label, cp) : null;
  }
}

module.exports = {UnicodeData};
