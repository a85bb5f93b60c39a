'use strict';
// The HTTPS server: the handshake's certificate, every connection through
// the gate, every request to the companion's routes.

const https = require('https');
const net = require('net');
const {ConnectionGate} = require('./connection_gate.js');
const {fail, log} = require('./log.js');
const {listen} = require('./port.js');

const kKeepAliveMs = 25 * 1000;

// One request: a fault in handling it costs that request, not the server.
function serve(companion, req, res) {
  const failed = (e) => {
    log(`request ${req.method} failed: ${e && e.message}`);
    res.destroy();
  };
  try {
    Promise.resolve(companion.handle(req, res)).catch(failed);
  } catch (e) {
    failed(e);
  }
}

function startServer(companion, handshake, port, fixed) {
  let server;
  let gate;
  try {
    server = https.createServer({pfx: handshake.pfx, passphrase: handshake.passphrase,
      minVersion: 'TLSv1.2', handshakeTimeout: companion.limits.handshakeMs}, (req, res) => {
      gate.track(req, res);
      serve(companion, req, res);
    });
  } catch (e) {
    // OpenSSL's reason ("mac verify failure" for a wrong pass phrase); it
    // never contains the pass phrase itself.
    fail(`cannot open the certificate container with the handshake's pass phrase: ${e.message}`);
  } finally {
    handshake.pfx.fill(0);
  }
  server.on('clientError', (err, socket) => socket.destroy());
  server.on('tlsClientError', (err) => companion.repeatLog.note('tls',
      'dropped a connection whose TLS handshake failed or took too long ' +
      `(${err.code || err.message})`));
  server.headersTimeout = 20 * 1000;
  server.requestTimeout = 60 * 1000;
  gate = new ConnectionGate(server, {repeatLog: companion.repeatLog});
  // The server itself never listens: every connection passes the gate first.
  const front = net.createServer({pauseOnConnect: true}, (socket) => gate.admit(socket));
  listen(front, companion, port, fixed);
  setInterval(() => companion.keepEventsAlive(), kKeepAliveMs).unref();
  return front;
}

module.exports = {startServer};
