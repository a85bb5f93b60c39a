'use strict';
// The web sites this account allowed to read its fonts, kept in a file of
// its own ($XDG_CONFIG_HOME/kavri/allowed-sites), one origin a line. The
// file is read again whenever it changed, so a hand edit counts at once; a
// file that cannot be trusted allows nothing and stays as it is until the
// user changes the list on the page.

const {isUtf8} = require('buffer');
const fs = require('fs');
const path = require('path');
const {absolute, readSmallFile, writeAtomically} = require('./account_files.js');
const {log: logLine} = require('./log.js');

const kMaxFileBytes = 64 * 1024;
const kMaxSites = 1000;
const kMaxOriginLength = 300;
const kLoopbackNames = new Set(['localhost', '127.0.0.1', '[::1]']);
// A host name as browsers serialise it: lower-case letters, digits, dots and
// dashes (international names come as xn--); an IPv6 address in brackets.
const kHostName = /^(?:[a-z0-9](?:[a-z0-9-]*[a-z0-9])?)(?:\.[a-z0-9](?:[a-z0-9-]*[a-z0-9])?)*$/;
const kIpv6 = /^\[[0-9a-f:.]+\]$/;

// `text` as an origin a browser sends (scheme, host, port if not the usual,
// nothing more), or null: a malformed value, "null", or anything that is not
// exactly such an origin.
function parseOrigin(text) {
  if (typeof text !== 'string' || text.length > kMaxOriginLength) return null;
  let url;
  try {
    url = new URL(text);
  } catch (e) {
    return null;
  }
  if (url.protocol !== 'https:' && url.protocol !== 'http:') return null;
  if (url.origin !== text) return null;
  if (!kHostName.test(url.hostname) && !kIpv6.test(url.hostname)) return null;
  return url;
}

// Whether `origin` is one a user may allow: an https site, or an http one on
// this machine's loopback names (a developer's own app). Never "null",
// file:, a pattern, or plain http from elsewhere, which anyone on the path
// could pose as.
function isAllowable(origin) {
  const url = parseOrigin(origin);
  if (!url) return false;
  return url.protocol === 'https:' || kLoopbackNames.has(url.hostname);
}

// $XDG_CONFIG_HOME/kavri/allowed-sites ($HOME/.config by default), or null.
function allowedSitesFile(env) {
  const home = absolute(env.HOME);
  const config = absolute(env.XDG_CONFIG_HOME) || (home && path.join(home, '.config'));
  return config ? path.join(config, 'kavri', 'allowed-sites') : null;
}

// The origins of the file's text, or {error}. Blank lines and lines starting
// with # are the user's own notes.
function parseSites(bytes) {
  if (!isUtf8(bytes) || bytes.includes(0)) return {error: 'it is not text'};
  const sites = [];
  for (const [k, raw] of bytes.toString('utf8').split('\n').entries()) {
    const line = raw.trim();
    if (line === '' || line.startsWith('#')) continue;
    if (!isAllowable(line)) {
      return {error: `line ${k + 1} is not an https:// origin or an http:// one on loopback`};
    }
    if (!sites.includes(line)) sites.push(line);
    if (sites.length > kMaxSites) return {error: `it lists more than ${kMaxSites} sites`};
  }
  return {sites};
}

// The allowed sites, as the file says now. `onRemoved(origin)` is told of
// each site that stopped being allowed, by the page or by a hand edit.
class AllowedSites {
  constructor(file, {log = logLine, onRemoved = () => {}} = {}) {
    this.file_ = file;
    this.log_ = log;
    this.onRemoved_ = onRemoved;
    this.version_ = null;  // what identifies the file as last read
    this.sites_ = [];
    this.fault_ = null;    // why the file allows nothing, logged once per version
  }

  // The allowed origins, in the order they were allowed.
  list() {
    this.refresh_();
    return [...this.sites_];
  }

  has(origin) {
    this.refresh_();
    return this.sites_.includes(origin);
  }

  // Whether the file could not be trusted (and so allows nothing).
  get fault() {
    this.refresh_();
    return this.fault_;
  }

  // Allows `origin`; false when it may not be allowed or cannot be kept.
  add(origin) {
    if (!isAllowable(origin)) return false;
    this.refresh_();
    if (this.sites_.includes(origin) && !this.fault_) return true;
    const sites = this.fault_ ? [origin] : [...this.sites_, origin];
    if (sites.length > kMaxSites) return false;
    return this.write_(sites);
  }

  // Stops allowing `origin`; false when it cannot be kept.
  remove(origin) {
    this.refresh_();
    if (!this.sites_.includes(origin)) return true;
    return this.write_(this.sites_.filter((s) => s !== origin));
  }

  // Reads the file again if it changed since it was last read, telling
  // onRemoved of the sites it no longer lists.
  refresh_() {
    if (!this.file_) return;
    let version;
    try {
      const st = fs.lstatSync(this.file_, {bigint: true});
      version = `${st.dev}:${st.ino}:${st.size}:${st.mtimeNs}:${st.ctimeNs}`;
    } catch (e) {
      version = e.code === 'ENOENT' ? 'none' : `error:${e.code}`;
    }
    if (version === this.version_) return;
    this.version_ = version;
    const before = this.sites_;
    const read = this.read_();
    this.sites_ = read.sites || [];
    const fault = read.error ? `${this.file_} allows no site: ${read.error}` : null;
    if (fault && fault !== this.fault_) {
      this.log_(`${fault}; it is kept as it is until the list is changed on the page`);
    }
    this.fault_ = fault;
    for (const origin of before) {
      if (!this.sites_.includes(origin)) this.onRemoved_(origin);
    }
  }

  read_() {
    let bytes;
    try {
      bytes = Buffer.from(readSmallFile(this.file_, kMaxFileBytes, {noLink: true}), 'latin1');
    } catch (e) {
      if (e.code === 'ENOENT') return {sites: []};
      if (e.code === 'ELOOP') return {error: 'it is a link'};
      return {error: e.code ? `cannot read it (${e.code})` : e.message};
    }
    return parseSites(bytes);
  }

  write_(sites) {
    if (!this.file_) return false;
    const text = '# Web sites allowed to read this account\'s fonts, one origin a line.\n' +
        sites.map((s) => `${s}\n`).join('');
    try {
      writeAtomically(this.file_, text);
    } catch (e) {
      this.log_(`cannot keep the allowed sites in ${this.file_}: ${e.message}`);
      return false;
    }
    this.refresh_();
    return true;
  }
}

module.exports = {AllowedSites, allowedSitesFile, isAllowable, parseOrigin, parseSites};
