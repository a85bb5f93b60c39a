'use strict';
// The page's server: plain HTTP, which browsers trust on loopback, and TLS
// with the handshake's certificate for clients that ask for it, on one port;
// every connection through the gate, every request to the companion's routes.

const http = require('http');
const https = require('https');
const net = require('net');
const {publishAddress} = require('./account_files.js');
const {ConnectionGate} = require('./connection_gate.js');
const {handOverByFirstByte} = require('./first_byte.js');
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

// What both servers hold a client to. Node bounds the wait for a request's
// head only on servers that have started listening, and these two never
// listen themselves: the front does.
function holdToLimits(server, companion) {
  server.on('clientError', (err, socket) => {
    if (err.code === 'ERR_HTTP_REQUEST_TIMEOUT') {
      companion.repeatLog.note('head', 'dropped a connection whose request did not come in time');
    }
    socket.destroy();
  });
  server.headersTimeout = companion.limits.headersMs;
  server.requestTimeout = 60 * 1000;
  server.emit('listening');
}

function startServer(companion, handshake, portSetting) {
  let tls;
  let gate;
  const onRequest = (req, res) => {
    gate.track(req, res);
    serve(companion, req, res);
  };
  // Expired heads are found by a sweep this often.
  const sweep = {connectionsCheckingInterval: Math.ceil(companion.limits.headersMs / 4)};
  try {
    tls = https.createServer({pfx: handshake.pfx, passphrase: handshake.passphrase,
      minVersion: 'TLSv1.2', handshakeTimeout: companion.limits.handshakeMs, ...sweep}, onRequest);
  } catch (e) {
    // OpenSSL's reason ("mac verify failure" for a wrong pass phrase); it
    // never contains the pass phrase itself.
    fail(`cannot open the certificate container with the handshake's pass phrase: ${e.message}`);
  } finally {
    handshake.pfx.fill(0);
  }
  const plain = http.createServer(sweep, onRequest);
  tls.on('tlsClientError', (err) => companion.repeatLog.note('tls',
      'dropped a connection whose TLS handshake failed or took too long ' +
      `(${err.code || err.message})`));
  for (const server of [tls, plain]) holdToLimits(server, companion);
  const waitMs = companion.limits.handshakeMs;
  gate = new ConnectionGate((socket) => handOverByFirstByte(socket, {tls, plain}, waitMs,
      () => companion.repeatLog.note('silent',
          `dropped a connection that sent nothing within ${waitMs / 1000} s`)),
  {repeatLog: companion.repeatLog});
  // The servers themselves never listen: every connection passes the gate first.
  const front = net.createServer({pauseOnConnect: true}, (socket) => gate.admit(socket));
  listen(front, portSetting).then((port) => {
    companion.port = port;
    const address = `http://127.0.0.1:${port}/`;
    // The file first: whoever sees the line may look for it.
    publishAddress(process.env, address);
    process.stderr.write(`kavri companion listening on ${address}\n`);
  }, (err) => fail(`cannot listen on 127.0.0.1:${err.port ?? portSetting.port}: ${err.message}`));
  setInterval(() => companion.keepEventsAlive(), kKeepAliveMs).unref();
  return front;
}

module.exports = {startServer};
