'use strict';
// The companion server. The agent starts it with two pipes: standard input
// carries one handshake line and then catalogue lines, standard output carries
// commands back (doc/protocol.md). It serves a page of the installed families
// on loopback, over plain HTTP and over TLS with the certificate the
// handshake hands over.
//
// Its parts are the modules under server/, which the build folds into this
// one file (assemble.js). Node built-in modules only: the runtime ships alone
// inside the bundle.

const fs = require('fs');
const net = require('net');
const v8 = require('v8');

// The agent starts the server with no runtime options, so this one is set
// here: the young generation keeps its smallest size rather than growing for
// good (to 32 MiB) after the burst of records a large catalogue brings.
v8.setFlagsFromString('--semi-space-growth-factor=1');

const {kMaxLineBytes} = require('./server/catalogue.js');
const {allowedSitesFile} = require('./server/allowed_sites.js');
const {Companion} = require('./server/companion.js');
const {kMaxHandshakeBytes, parseHandshake} = require('./server/handshake.js');
const {parseLimits} = require('./server/limits.js');
const {LineReader} = require('./server/line_reader.js');
const {fail, log} = require('./server/log.js');
const {isAssembled} = require('./server/page.js');
const {startServer} = require('./server/page_server.js');
const {parsePort} = require('./server/port.js');

const kReadBytes = 64 * 1024;

function main() {
  if (!isAssembled()) {
    fail('this is the server\'s source without its page; run the daemon.js the build assembles');
  }
  const portSetting = parsePort(process.env.KAVRI_PORT);
  if (portSetting.error) fail(portSetting.error);
  const limitSetting = parseLimits(process.env.KAVRI_COMPANION_LIMITS);
  if (limitSetting.error) fail(limitSetting.error);
  // The agent may be gone while a command is on its way; its end of standard
  // input closing is what ends this process.
  process.stdout.on('error', () => {});
  const companion = new Companion(limitSetting.limits,
      {sitesFile: allowedSitesFile(process.env)});
  let server = null;
  const reader = new LineReader(kMaxHandshakeBytes, (line) => {
    if (server) return companion.acceptLine(line);
    const handshake = parseHandshake(line);
    line.fill(0);
    if (handshake.error) fail(`bad handshake: ${handshake.error}`);
    server = startServer(companion, handshake, portSetting);
    reader.maxLineBytes = kMaxLineBytes;
  }, (reason) => {
    if (!server) fail(`bad handshake: ${reason}`);
    log(`ignoring a line from the agent: ${reason}`);
  });
  const input = readInput((chunk) => {
    const before = server;
    reader.push(chunk);
    // The pass phrase went through the read buffer: nothing else may keep it.
    if (!before && server) chunk.fill(0);
  });
  input.on('end', () => {
    if (!server) fail('standard input ended before the handshake');
    reader.end();
    log('standard input closed; exiting');
    process.exit(0);
  });
  input.on('error', (err) => fail(`cannot read standard input: ${err.message}`));
}

// Standard input, each read handed to onChunk (which must be done with it on
// return). From the agent's pipe, every read goes into one buffer: a
// catalogue of megabytes leaves no chunks behind for the collector.
function readInput(onChunk) {
  const stat = fs.fstatSync(0);
  if (!stat.isFIFO() && !stat.isSocket()) return process.stdin.on('data', onChunk);
  const buffer = Buffer.alloc(kReadBytes);
  return new net.Socket({fd: 0, readable: true, writable: false,
    onread: {buffer, callback: (n) => { onChunk(buffer.subarray(0, n)); }}});
}

if (require.main === module) {
  main();
}
