'use strict';
// Which loopback port the page is on: the one set, else the one this
// account first got, so that its address stays put across restarts and
// whichever account starts first; one of a short range where web apps look.

const {readRememberedPort, rememberedPortFile, rememberPort} = require('./account_files.js');
const {log} = require('./log.js');
const {listenerOwner} = require('./peer_account.js');

// Web apps look for the server on these ports, so each account takes the
// first one no other account holds.
const kFirstPort = 47823;
const kLastPort = 47830;
const kDefaultPort = kFirstPort;
const kPortInUseRetries = 5;              // a predecessor may still be exiting
const kPortInUseRetryMs = 200;

function parsePort(value) {
  if (value === undefined || value === '') return {port: kDefaultPort, fixed: false};
  if (!/^[0-9]{1,5}$/.test(value) || Number(value) > 65535) {
    return {error: `KAVRI_PORT is not a port number: ${JSON.stringify(value)}`};
  }
  return {port: Number(value), fixed: true};
}

// Resolves to the port listened on, rejects with the error of listening.
function listenOn(server, port) {
  return new Promise((resolve, reject) => {
    const onError = (err) => {
      server.removeListener('listening', onListening);
      reject(err);
    };
    const onListening = () => {
      server.removeListener('error', onError);
      resolve(server.address().port);
    };
    server.once('error', onError);
    server.once('listening', onListening);
    server.listen(port, '127.0.0.1');
  });
}

const delay = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Tries `port`: resolves {port} once listening on it, {heldBy: uid} when
// another account holds it, {ownBusy: true} when this account (or a process
// the kernel does not list) does after `waits` waits.
async function tryPort(server, port, waits) {
  for (let attempt = 0; ; attempt += 1) {
    try {
      return {port: await listenOn(server, port)};
    } catch (err) {
      if (err.code !== 'EADDRINUSE') throw err;
    }
    const holder = await listenerOwner(port);
    if (holder !== null && holder !== process.getuid()) return {heldBy: holder};
    if (attempt >= waits) return {ownBusy: true};
    await delay(kPortInUseRetryMs);
  }
}

// Listens on 127.0.0.1: on a port set as given; else on the port remembered
// for this account, kept until another account holds it. Without one, the
// first of the web apps' range (kFirstPort to kLastPort) no other account
// holds, remembered; past the range, a free port, remembered, which web
// apps cannot find. The remembered port held by this account is waited for
// a little (a predecessor exiting), then a free port stands in for this run
// alone. Resolves to the port; rejects with the error of listening.
async function listen(server, {port, fixed}) {
  if (fixed) return listenOn(server, port);
  const file = rememberedPortFile(process.env);
  const remembered = file && readRememberedPort(file);
  const keep = (got) => {
    if (file && got !== remembered) rememberPort(file, got);
    return got;
  };
  // A port outside the range was a stand-in when the range was full: a
  // place in it is taken if one has come free, so that web apps find this.
  const candidates = [];
  if (remembered && isFindablePort(remembered)) candidates.push(remembered);
  for (let p = kFirstPort; p <= kLastPort; p++) if (p !== remembered) candidates.push(p);
  if (remembered && !isFindablePort(remembered)) candidates.push(remembered);
  for (const candidate of candidates) {
    const isRemembered = candidate === remembered;
    const got = await tryPort(server, candidate, isRemembered ? kPortInUseRetries : 0);
    if (got.port !== undefined) return keep(got.port);
    if (got.ownBusy && isRemembered) {
      log(`port ${candidate} is in use; taking a free port instead`);
      return listenOn(server, 0);
    }
    if (got.heldBy !== undefined && isRemembered) {
      log(`port ${candidate} is held by another account; taking another port instead`);
    }
  }
  log(`ports ${kFirstPort} to ${kLastPort} are held by other accounts; taking a free port, ` +
      'where web apps cannot find this server');
  return keep(await listenOn(server, 0));
}

function isFindablePort(port) {
  return port >= kFirstPort && port <= kLastPort;
}

module.exports = {parsePort, listen, isFindablePort, kDefaultPort, kFirstPort, kLastPort};
