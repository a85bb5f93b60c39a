'use strict';
// A page asks for the same faces again and again: each is cut once, a few at
// a time.

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

// Cuts each face once. A plan is kept under the file's identity and change
// time (a rewritten or replaced file is cut afresh), least recently used
// first out, within a byte budget; requests for a face being cut wait for
// that cut; only a few cuts run at once.
class FaceCutter {
  constructor({cacheBytes = kCutCacheBytes, concurrent = kMaxConcurrentCuts} = {}) {
    this.cacheBytes_ = cacheBytes;
    this.cache_ = new Map();
    this.cachedBytes_ = 0;
    this.cutting_ = new Map();
    this.slots_ = new Slots(concurrent);
    this.cuts = 0;
  }

  // `stat` is the open file's, with bigint fields; `handle` reads it.
  plan(handle, stat, postscript) {
    const key = `${stat.dev}:${stat.ino}:${stat.ctimeNs}:${stat.size}:${postscript}`;
    const cached = this.cache_.get(key);
    if (cached) {
      this.cache_.delete(key);
      this.cache_.set(key, cached);
      return Promise.resolve(cached.plan);
    }
    let cut = this.cutting_.get(key);
    if (!cut) {
      cut = this.slots_.run(() => {
        this.cuts += 1;
        return planCollectionFace((o, n) => readAt(handle, o, n), Number(stat.size), postscript);
      }).then((plan) => {
        this.keep_(key, plan);
        return plan;
      }).finally(() => this.cutting_.delete(key));
      this.cutting_.set(key, cut);
    }
    return cut;
  }

  keep_(key, plan) {
    const cost = 2 * key.length + 64 + (plan ? plan.head.length + 32 * plan.pieces.length : 0);
    if (cost > this.cacheBytes_) return;
    this.cache_.set(key, {plan, cost});
    this.cachedBytes_ += cost;
    for (const [oldKey, old] of this.cache_) {
      if (this.cachedBytes_ <= this.cacheBytes_) break;
      this.cache_.delete(oldKey);
      this.cachedBytes_ -= old.cost;
    }
  }
}

module.exports = {FaceCutter};
