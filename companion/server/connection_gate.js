'use strict';
// Connections are admitted before a byte of them is read: only this
// account's, and never so many that the page is locked out.

const {kDefaultLimits} = require('./limits.js');
const {log, RepeatLog} = require('./log.js');
const {PeerOwners} = require('./peer_account.js');

const kMaxConnections = 256;

// Admits the raw TCP connections, handing each on to `pass`: only those made
// by this server's own user, refused before any byte is read, and at most
// kMaxConnections at once. When full, the connection idle longest (silent,
// a handshake or request not finished, or kept alive with nothing asked)
// gives way to the new one, so idle connections cannot lock the page out.
class ConnectionGate {
  constructor(pass, {owners = new PeerOwners(), ownUid = process.getuid(),
    maxConnections = kMaxConnections, repeatLog = new RepeatLog(kDefaultLimits.repeatLogMs)} = {}) {
    this.pass_ = pass;
    this.owners_ = owners;
    this.ownUid_ = ownUid;
    this.maxConnections_ = maxConnections;
    this.log_ = repeatLog;
    this.connections_ = new Map();  // "address:port" -> {socket, busy}, idle longest first
    this.refused_ = new Set();
  }

  admit(socket) {
    socket.on('error', () => {});
    if (!socket.remoteAddress) return socket.destroy();  // reset before it was accepted
    const key = `${socket.remoteAddress}:${socket.remotePort}`;
    if (this.connections_.size >= this.maxConnections_ && !this.evictIdle_()) {
      this.log_.note('full', `${this.maxConnections_} connections are busy; refusing another`);
      return socket.destroy();
    }
    const record = {socket, busy: 0};
    this.connections_.set(key, record);
    socket.on('close', () => {
      if (this.connections_.get(key) === record) this.connections_.delete(key);
    });
    this.owners_.uidOf(socket).then((uid) => {
      if (socket.destroyed) return;
      if (uid !== this.ownUid_) {
        this.refuse_(uid);
        return socket.destroy();
      }
      this.pass_(socket);
    });
  }

  // A connection answering a request is busy; once it has answered, it is
  // the most recently idle.
  track(req, res) {
    const key = `${req.socket.remoteAddress}:${req.socket.remotePort}`;
    const record = this.connections_.get(key);
    if (!record) return;
    record.busy += 1;
    res.on('close', () => {
      record.busy -= 1;
      if (record.busy === 0 && this.connections_.get(key) === record) {
        this.connections_.delete(key);
        this.connections_.set(key, record);
      }
    });
  }

  evictIdle_() {
    for (const [key, record] of this.connections_) {
      if (record.busy > 0) continue;
      this.connections_.delete(key);
      record.socket.destroy();
      return true;
    }
    return false;
  }

  // Once per user: a client that keeps trying is not logged each time.
  refuse_(uid) {
    const who = uid === null ? 'a process the kernel does not list' : `uid ${uid}`;
    if (this.refused_.has(uid)) return;
    if (this.refused_.size >= 1024) {
      return this.log_.note('refused', `refusing connections from ${who}`);
    }
    this.refused_.add(uid);
    log(`refusing connections from ${who}: only uid ${this.ownUid_} is answered`);
  }
}

module.exports = {ConnectionGate};
