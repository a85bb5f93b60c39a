'use strict';
// Which loopback port the server takes: the one set, or the usual one unless
// it stays taken.

const {fail, log} = require('./log.js');

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

function listen(server, companion, port, fixed, attempt = 0) {
  const onError = (err) => {
    server.removeListener('listening', onListening);
    if (err.code === 'EADDRINUSE' && !fixed) {
      if (attempt < kPortInUseRetries) {
        setTimeout(() => listen(server, companion, port, fixed, attempt + 1), kPortInUseRetryMs);
        return;
      }
      if (port !== 0) {
        log(`port ${port} is in use; taking a free port instead`);
        listen(server, companion, 0, true);
        return;
      }
    }
    fail(`cannot listen on 127.0.0.1:${port}: ${err.message}`);
  };
  const onListening = () => {
    server.removeListener('error', onError);
    companion.port = server.address().port;
    process.stderr.write(`kavri companion listening on https://127.0.0.1:${companion.port}/\n`);
  };
  server.once('error', onError);
  server.once('listening', onListening);
  server.listen(port, '127.0.0.1');
}

module.exports = {parsePort, listen, kDefaultPort};
