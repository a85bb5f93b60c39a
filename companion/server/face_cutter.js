'use strict';
// A page asks for the same faces again and again: each is cut once, and each
// file's facts and each face's view read once, a few at a time.

const {planCollectionFace} = require('./collection_face.js');
const {readAt} = require('./font_file.js');

const kMaxConcurrentCuts = 2;
const kCutCacheBytes = 16 * 1024 * 1024;

// Lets `limit` tasks run at once; the others wait their turn in order.
class Slots {
  constructor(limit) {
    this.free_ = limit;
    this.waiting_ = [];
  }

  async run(task) {
    if (this.free_ > 0) {
      this.free_ -= 1;
    } else {
      await new Promise((resolve) => this.waiting_.push(resolve));
    }
    try {
      return await task();
    } finally {
      const next = this.waiting_.shift();
      if (next) next(); else this.free_ += 1;
    }
  }
}

// Cuts each face and reads each file's facts once. A plan or the facts are
// kept under the file's identity and change time (a rewritten or replaced
// file is read afresh), least recently used first out, within a byte budget;
// requests for what is being read wait for that reading; only a few readings
// run at once.
class FaceCutter {
  constructor({cacheBytes = kCutCacheBytes, concurrent = kMaxConcurrentCuts} = {}) {
    this.cacheBytes_ = cacheBytes;
    this.cache_ = new Map();
    this.cachedBytes_ = 0;
    this.running_ = new Map();
    this.slots_ = new Slots(concurrent);
    this.cuts = 0;
  }

  // `stat` is the open file's, with bigint fields; `handle` reads it.
  plan(handle, stat, postscript) {
    return this.once_(`${fileVersion(stat)}:${postscript}`, () => {
      this.cuts += 1;
      return planCollectionFace((o, n) => readAt(handle, o, n), Number(stat.size), postscript);
    }, (plan) => (plan ? plan.head.length + 32 * plan.pieces.length : 0));
  }

  // The facts of the file `stat` (bigint fields) describes, read by `read()`
  // (readFontFacts) when not kept.
  facts(stat, read) {
    return this.once_(`facts:${fileVersion(stat)}`, read, factsCost);
  }

  // The face view's data of the face `postscript` of the file `stat`
  // describes, as the bytes the page gets, made by `make()` when not kept.
  specimen(stat, postscript, make) {
    return this.once_(`specimen:${fileVersion(stat)}:${postscript}`, make,
        (bytes) => (bytes ? bytes.length : 0));
  }

  once_(key, task, costOf) {
    const cached = this.cache_.get(key);
    if (cached) {
      this.cache_.delete(key);
      this.cache_.set(key, cached);
      return Promise.resolve(cached.value);
    }
    let running = this.running_.get(key);
    if (!running) {
      running = this.slots_.run(task).then((value) => {
        this.keep_(key, value, 2 * key.length + 64 + costOf(value));
        return value;
      }).finally(() => this.running_.delete(key));
      this.running_.set(key, running);
    }
    return running;
  }

  keep_(key, value, cost) {
    if (cost > this.cacheBytes_) return;
    this.cache_.set(key, {value, cost});
    this.cachedBytes_ += cost;
    for (const [oldKey, old] of this.cache_) {
      if (this.cachedBytes_ <= this.cacheBytes_) break;
      this.cache_.delete(oldKey);
      this.cachedBytes_ -= old.cost;
    }
  }
}

function fileVersion(stat) {
  return `${stat.dev}:${stat.ino}:${stat.ctimeNs}:${stat.size}`;
}

// About what a file's facts hold in memory.
function factsCost(faces) {
  let cost = 0;
  for (const face of faces || []) {
    cost += 64 + 2 * ((face.postscript || '').length + (face.sample || '').length) +
        48 * (face.axes ? face.axes.length : 0) + 8 * (face.covers ? face.covers.length : 0);
  }
  return cost;
}

module.exports = {FaceCutter};
