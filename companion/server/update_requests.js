'use strict';
// The page's CHECK FOR UPDATES button: however often it is pressed, the
// agent is asked at most once per window.

const {log, monotonicMs} = require('./log.js');

const kCheckForUpdatesCommand = 'CHECK FOR UPDATES\n';

// Update checks the page asks for reach the agent at most once per window:
// requests made within it join one check sent when it ends.
class UpdateRequests {
  constructor(windowMs, send = () => process.stdout.write(kCheckForUpdatesCommand)) {
    this.windowMs_ = windowMs;
    this.send_ = send;
    this.last_ = -Infinity;
    this.asked_ = 0;
    this.timer_ = null;
  }

  ask() {
    this.asked_ += 1;
    if (this.timer_) return;
    const wait = this.last_ + this.windowMs_ - monotonicMs();
    if (wait <= 0) return this.sendNow_();
    this.timer_ = setTimeout(() => {
      this.timer_ = null;
      this.sendNow_();
    }, wait);
  }

  sendNow_() {
    const asked = this.asked_;
    this.asked_ = 0;
    this.last_ = monotonicMs();
    log(asked === 1 ? 'the page asked for an update check'
                    : `the page asked for an update check (${asked} requests joined in one)`);
    this.send_();
  }
}

module.exports = {UpdateRequests};
