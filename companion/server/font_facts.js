'use strict';
// What the page's filters and samples need that the catalogue does not say
// (which languages a face covers, whether it is monospaced or variable) read
// from the font files themselves: once per file version, a file at a time in
// the order the page lists them, after the catalogue event has gone out.
// Pages get the facts in batches as they come, and may ask for the faces
// they show first.

const {faceText, kFile, kPostscript, kStride} = require('./catalogue.js');
const {readUnchanged, regularFile} = require('./font_file.js');
const {readFontFacts} = require('./font_tables.js');
const {kLanguages} = require('./languages.js');

// A face's facts as the page gets them: one number of these bits.
const kFactBits = Object.freeze({
  read: 1,          // its file was read (unset: not yet)
  mono: 2,
  variable: 4,
  mapped: 8,        // its character map was read: the language bits hold
  firstLanguage: 16,  // and on, one per language in kLanguages' order
});
const kWalkers = 2;
const kFirstNewsMs = 50;
const kNewsMs = 250;

// The facts of the file at `path` (readFontFacts), kept by `cutter`; null
// when it cannot be read.
async function fileFacts(cutter, path) {
  const st = await regularFile(path);
  return st && cutter.facts(st, () => readUnchanged(path, st,
      (read, size) => readFontFacts(read, size, kLanguages)));
}

// One face's facts as its bits and anything more: {bits, extra}.
function encodeFace(facts) {
  if (!facts) return {bits: kFactBits.read, extra: null};
  let bits = kFactBits.read | (facts.mono ? kFactBits.mono : 0) |
      (facts.axes ? kFactBits.variable : 0);
  if (facts.covers) {
    bits |= kFactBits.mapped;
    for (const k of facts.covers) bits |= kFactBits.firstLanguage << k;
  }
  const extra = facts.axes || facts.sample ? {} : null;
  if (facts.axes) extra.axes = facts.axes;
  if (facts.sample) extra.sample = facts.sample;
  return {bits, extra};
}

// The facts known of one catalogue's faces, by their numbers in its event.
class CatalogueFacts {
  constructor(generation, catalogue, order) {
    this.generation = generation;
    this.catalogue_ = catalogue;
    this.order_ = order;
    const {faceCount, rows, files} = catalogue;
    this.place_ = new Int32Array(faceCount);
    order.forEach((f, i) => { this.place_[f] = i; });
    // A file's faces come together in the catalogue: file k's are from
    // firstFace_[k] to firstFace_[k + 1].
    this.firstFace_ = new Int32Array(files.size + 1);
    for (let f = 0; f < faceCount; f++) this.firstFace_[rows[f * kStride + kFile] + 1] = f + 1;
    for (let k = 1; k <= files.size; k++) {
      this.firstFace_[k] = Math.max(this.firstFace_[k], this.firstFace_[k - 1]);
    }
    this.bits_ = new Int32Array(faceCount);
    this.extra_ = new Map();
    this.log_ = [];  // faces by number, in the order their facts came
    this.asked_ = new Uint8Array(files.size);
  }

  get faceCount() {
    return this.order_.length;
  }

  path(file) {
    return this.catalogue_.files.text(file);
  }

  // The file of the face numbered `face` in the event.
  fileOf(face) {
    return this.catalogue_.rows[this.order_[face] * kStride + kFile];
  }

  // Whether `file` was not yet asked for, and marks it asked.
  ask(file) {
    if (this.asked_[file]) return false;
    this.asked_[file] = 1;
    return true;
  }

  // The facts of `file` (readFontFacts) for each of its faces: a single
  // font's for all, a collection's by PostScript name.
  take(file, faces) {
    for (let f = this.firstFace_[file]; f < this.firstFace_[file + 1]; f++) {
      let facts = null;
      if (faces && faces.length === 1 && faces[0].postscript === null) {
        facts = faces[0];
      } else if (faces) {
        const postscript = faceText(this.catalogue_, f, kPostscript);
        facts = faces.find((face) => face.postscript === postscript) || null;
      }
      const {bits, extra} = encodeFace(facts);
      const face = this.place_[f];
      this.bits_[face] = bits;
      if (extra) this.extra_.set(face, extra);
      this.log_.push(face);
    }
  }

  known(face) {
    return this.bits_[face] !== 0;
  }

  // The bits of face `face` (kFactBits), 0 while its file is not read.
  bits(face) {
    return this.bits_[face];
  }

  // How many faces' facts have come: a new count, new facts.
  get count() {
    return this.log_.length;
  }

  // The facts of `faces` (numbers in the event) that are known, as the
  // page takes them: {generation, facts: [face, bits, ...], extra: {face:
  // {axes, sample}}}.
  summary(faces) {
    const facts = [];
    const extra = {};
    for (const face of faces) {
      if (this.bits_[face] === 0) continue;
      facts.push(face, this.bits_[face]);
      if (this.extra_.has(face)) extra[face] = this.extra_.get(face);
    }
    return {generation: this.generation, facts, extra};
  }

  // The event of the facts from the `from`th that came on: {bytes, to}, or
  // null when none has come since.
  news(from) {
    const to = this.log_.length;
    if (from >= to) return null;
    const summary = JSON.stringify(this.summary(this.log_.slice(from, to)));
    return {bytes: Buffer.from(`event: facts\ndata: ${summary}\n\n`), to};
  }
}

// Reads the facts of one catalogue's files in the background, a file at a
// time per walker, in the order of its event, and reports news at most every
// kNewsMs. A new catalogue's walk replaces the last one. The walk gives way
// to what a page waits for: whenIdle() is null, or a promise of the moment
// nothing is.
class FactReader {
  constructor(cutter, onNews, whenIdle = () => null) {
    this.cutter_ = cutter;
    this.onNews_ = onNews;
    this.whenIdle_ = whenIdle;
    this.facts_ = null;
    this.next_ = 0;
    this.reading_ = new Map();  // file -> its reading under way
    this.newsTimer_ = null;
    this.newsSent_ = false;
  }

  start(facts) {
    this.facts_ = facts;
    this.next_ = 0;
    this.reading_ = new Map();
    this.newsSent_ = false;
    for (let k = 0; k < kWalkers; k++) this.walk_(facts);
  }

  // Reads the files of `faces` (numbers in the event) ahead of the walk.
  async prioritise(facts, faces) {
    const files = new Set(faces.map((face) => facts.fileOf(face)));
    await Promise.all([...files].map((file) => this.read_(facts, file)));
  }

  async walk_(facts) {
    while (this.facts_ === facts && this.next_ < facts.faceCount) {
      for (let idle = this.whenIdle_(); idle; idle = this.whenIdle_()) await idle;
      if (this.facts_ === facts && this.next_ < facts.faceCount) {
        await this.read_(facts, facts.fileOf(this.next_++));
      }
    }
    if (this.facts_ === facts && this.reading_.size === 0) this.news_();
  }

  read_(facts, file) {
    if (!facts.ask(file)) return this.reading_.get(file) || Promise.resolve();
    const reading = fileFacts(this.cutter_, facts.path(file)).then((faces) => {
      this.reading_.delete(file);
      if (this.facts_ !== facts) return;
      facts.take(file, faces);
      if (!this.newsTimer_) {
        this.newsTimer_ = setTimeout(() => this.news_(), this.newsSent_ ? kNewsMs : kFirstNewsMs);
      }
    });
    this.reading_.set(file, reading);
    return reading;
  }

  news_() {
    clearTimeout(this.newsTimer_);
    this.newsTimer_ = null;
    this.newsSent_ = true;
    this.onNews_();
  }
}

module.exports = {CatalogueFacts, FactReader, kFactBits};
