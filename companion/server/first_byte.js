'use strict';
// One port speaks both plain HTTP, which browsers trust on loopback, and
// TLS: a connection's first byte says which one it wants.

const kTlsHandshakeRecord = 0x16;

// Hands an admitted, paused connection to `servers.tls` when it opens with a
// TLS handshake record and to `servers.plain` otherwise, with the bytes read
// so far put back for that server to read first. One that sends nothing
// within `waitMs` is closed and `onSilent` called, as an unfinished TLS
// handshake is closed.
function handOverByFirstByte(socket, servers, waitMs, onSilent) {
  const timer = setTimeout(() => {
    socket.destroy();
    onSilent();
  }, waitMs);
  socket.once('close', () => clearTimeout(timer));
  socket.once('data', (chunk) => {
    clearTimeout(timer);
    socket.pause();
    socket.unshift(chunk);
    if (chunk[0] === kTlsHandshakeRecord) {
      // TLS reads what the socket holds before it reads on.
      servers.tls.emit('connection', socket);
      return;
    }
    // HTTP reads the connection itself from here on: the socket flows again
    // at once, so what it holds comes before anything read after.
    servers.plain.emit('connection', socket);
    socket.resume();
  });
  socket.resume();
}

module.exports = {handOverByFirstByte};
