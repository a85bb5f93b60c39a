'use strict';
// Which loopback port the page is on: the one set, else the one this
// account first got, so that its address stays put across restarts and
// whichever account starts first.

const {readRememberedPort, rememberedPortFile, rememberPort} = require('./account_files.js');
const {log} = require('./log.js');
const {listenerOwner} = require('./peer_account.js');

const kDefaultPort = 47823;
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

// Listens on 127.0.0.1: on a port set as given; else on the port remembered
// for this account (the usual one the first time), which only another
// account holding it makes it give up, for a free port remembered in its
// place. Held by this account, it is waited for a little (a predecessor
// exiting), then a free port stands in for this run alone. Resolves to the
// port; rejects with the error of listening.
async function listen(server, {port, fixed}) {
  if (fixed) return listenOn(server, port);
  const file = rememberedPortFile(process.env);
  const remembered = file && readRememberedPort(file);
  const wanted = remembered || kDefaultPort;
  for (let attempt = 0; ; attempt += 1) {
    try {
      const got = await listenOn(server, wanted);
      if (file && got !== remembered) rememberPort(file, got);
      return got;
    } catch (err) {
      if (err.code !== 'EADDRINUSE') throw err;
    }
    const holder = await listenerOwner(wanted);
    if (holder !== null && holder !== process.getuid()) {
      log(`port ${wanted} is held by another account; taking a free port instead`);
      const got = await listenOn(server, 0);
      if (file) rememberPort(file, got);
      return got;
    }
    if (attempt === kPortInUseRetries) {
      log(`port ${wanted} is in use; taking a free port instead`);
      return listenOn(server, 0);
    }
    await delay(kPortInUseRetryMs);
  }
}

module.exports = {parsePort, listen, kDefaultPort};
