'use strict';
// Texts of a catalogue line (font paths, family names) numbered in the order
// they first come and found again by their bytes, with no string made for
// each: tens of thousands of strings and a map of them would cost more to
// make and to collect than the rest of reading the line.

const kBackslash = 0x5c;

// FNV-1a of bytes[from, to).
function hashBytes(bytes, from, to) {
  let hash = 0x811c9dc5;
  for (let k = from; k < to; k++) hash = Math.imul(hash ^ bytes[k], 16777619);
  return hash >>> 0;
}

function grown(array, size) {
  const bigger = new Int32Array(size);
  bigger.set(array);
  return bigger;
}

class TextTable {
  // `line` holds each text as a JSON string literal, quotes included.
  constructor(line) {
    this.line_ = line;
    this.size = 0;
    this.starts = new Int32Array(64);
    this.ends = new Int32Array(64);
    this.hashes_ = new Int32Array(64);
    this.slots_ = new Int32Array(128).fill(-1);
    this.decoded_ = new Map();  // number -> the UTF-8 bytes of a text with escapes
  }

  // The number of the literal at [start, end): its own if new (and
  // this.added is set), else that of the same text come before.
  add(start, end) {
    const [bytes, from, to] = this.bytesAt_(start, end, this.size);
    const hash = hashBytes(bytes, from, to) | 0;
    const found = this.find_(hash, bytes, from, to);
    this.added = found < 0;
    if (!this.added) {
      this.decoded_.delete(this.size);
      return found;
    }
    if (this.size === this.starts.length) {
      this.starts = grown(this.starts, 2 * this.size);
      this.ends = grown(this.ends, 2 * this.size);
      this.hashes_ = grown(this.hashes_, 2 * this.size);
    }
    const k = this.size++;
    this.starts[k] = start;
    this.ends[k] = end;
    this.hashes_[k] = hash;
    if (2 * this.size > this.slots_.length) {
      this.slots_ = new Int32Array(2 * this.slots_.length).fill(-1);
      for (let i = 0; i < this.size; i++) this.place_(i);
    } else {
      this.place_(k);
    }
    return k;
  }

  // The number of `text`, or -1.
  indexOf(text) {
    const bytes = Buffer.from(text);
    return this.find_(hashBytes(bytes, 0, bytes.length) | 0, bytes, 0, bytes.length);
  }

  text(k) {
    const [bytes, from, to] = this.bytesAt_(this.starts[k], this.ends[k], k);
    return bytes.toString('utf8', from, to);
  }

  texts() {
    return Array.from({length: this.size}, (_, k) => this.text(k));
  }

  // The text's UTF-8 bytes as [buffer, from, to]; one with escapes is
  // decoded (once, kept as number k).
  bytesAt_(start, end, k) {
    const line = this.line_;
    for (let i = start + 1; i < end - 1; i++) {
      if (line[i] !== kBackslash) continue;
      let decoded = this.decoded_.get(k);
      if (!decoded) {
        decoded = Buffer.from(JSON.parse(line.toString('utf8', start, end)));
        this.decoded_.set(k, decoded);
      }
      return [decoded, 0, decoded.length];
    }
    return [line, start + 1, end - 1];
  }

  find_(hash, bytes, from, to) {
    const mask = this.slots_.length - 1;
    for (let slot = hash & mask; this.slots_[slot] >= 0; slot = (slot + 1) & mask) {
      const k = this.slots_[slot];
      if (this.hashes_[k] !== hash) continue;
      const [other, start, end] = this.bytesAt_(this.starts[k], this.ends[k], k);
      if (end - start !== to - from) continue;
      let i = 0;
      while (i < to - from && other[start + i] === bytes[from + i]) i++;
      if (i === to - from) return k;
    }
    return -1;
  }

  place_(k) {
    const mask = this.slots_.length - 1;
    let slot = this.hashes_[k] & mask;
    while (this.slots_[slot] >= 0) slot = (slot + 1) & mask;
    this.slots_[slot] = k;
  }
}

module.exports = {TextTable};
