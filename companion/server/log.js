'use strict';
// The server's log: standard error, one line per event, where a client
// repeating a fault cannot flood it.

function log(message) {
  // One line per event; standard output is reserved for commands.
  process.stderr.write(`kavri companion: ${message}\n`);
}

const monotonicMs = () => Number(process.hrtime.bigint() / 1000000n);

// Client faults are logged once per window and kind, then counted, so a
// client repeating one cannot flood the log.
class RepeatLog {
  constructor(windowMs, write = log) {
    this.windowMs_ = windowMs;
    this.write_ = write;
    this.kinds_ = new Map();
  }

  note(kind, message) {
    let entry = this.kinds_.get(kind);
    if (!entry) {
      entry = {until: -Infinity, repeats: 0, timer: null};
      this.kinds_.set(kind, entry);
    }
    const now = monotonicMs();
    if (now >= entry.until) {
      this.write_(message);
      entry.until = now + this.windowMs_;
      return;
    }
    entry.repeats += 1;
    if (entry.timer) return;
    entry.timer = setTimeout(() => {
      this.write_(`${message} (${entry.repeats} times in the last ${this.windowMs_ / 1000} s)`);
      entry.until = monotonicMs() + this.windowMs_;
      entry.repeats = 0;
      entry.timer = null;
    }, entry.until - now);
  }
}

function fail(message) {
  log(message);
  process.exit(1);
}

module.exports = {log, fail, monotonicMs, RepeatLog};
