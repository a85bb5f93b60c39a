'use strict';
// The first line from the agent: the certificate container and its pass
// phrase, without which the server cannot listen.

const kMaxHandshakeBytes = 1 << 20;       // the shipped line is ~8 KiB

// "<base64 PKCS#12>;<128 upper-case hex digits>". Returns {pfx, passphrase}
// or {error}. Error texts never quote the line: it holds the secrets.
function parseHandshake(line) {
  const text = line.toString('latin1');
  const fields = text.split(';');
  if (fields.length !== 2) {
    return {error: 'the handshake line is not "<container>;<pass phrase>"'};
  }
  const [container, passphrase] = fields;
  if (!/^[0-9A-F]{128}$/.test(passphrase)) {
    return {error: 'the pass phrase is not 128 upper-case hexadecimal digits'};
  }
  if (container.length === 0 || container.length % 4 !== 0 ||
      !/^[A-Za-z0-9+/]+={0,2}$/.test(container)) {
    return {error: 'the certificate container is not base64 text'};
  }
  return {pfx: Buffer.from(container, 'base64'), passphrase};
}

module.exports = {parseHandshake, kMaxHandshakeBytes};
