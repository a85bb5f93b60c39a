'use strict';
// Only this account's own processes are answered, so the server must know
// which account made each connection, and which holds a port it wants: the
// kernel's socket tables say.

const fs = require('fs');
const os = require('os');

const kChunkBytes = 64 * 1024;
const kMaxSocketTableBytes = 64 * 1024 * 1024;  // 150 bytes a socket
const kPeerReadings = 4;
const kSocketTables = ['/proc/net/tcp', '/proc/net/tcp6'];

// An address and port of the kernel's socket tables ("0100007F:1F90": the
// address as 32-bit words in host order) as "127.0.0.1:8080", or null for
// anything but IPv4 and IPv4-mapped IPv6.
function tableEndpoint(field) {
  const m = /^([0-9A-F]{8}|[0-9A-F]{32}):([0-9A-F]{4})$/.exec(field);
  if (!m) return null;
  const [, hex, portHex] = m;
  const bytes = Buffer.alloc(hex.length / 2);
  for (let w = 0; w < hex.length / 8; w++) {
    const word = parseInt(hex.slice(8 * w, 8 * w + 8), 16);
    if (os.endianness() === 'LE') {
      bytes.writeUInt32LE(word, 4 * w);
    } else {
      bytes.writeUInt32BE(word, 4 * w);
    }
  }
  let v4 = bytes;
  if (bytes.length === 16) {
    const mapped = bytes.subarray(0, 10).every((b) => b === 0) &&
        bytes[10] === 0xff && bytes[11] === 0xff;
    if (!mapped) return null;
    v4 = bytes.subarray(12);
  }
  if (v4.length !== 4) return null;
  return `${v4.join('.')}:${parseInt(portHex, 16)}`;
}

const plainAddress = (address) => (address || '').replace(/^::ffff:/i, '');

// The table key of the client end of an accepted connection: its own end
// first, then ours.
function clientEndKey(socket) {
  if (!socket.remoteAddress || !socket.localAddress) return null;
  return `${plainAddress(socket.remoteAddress)}:${socket.remotePort}>` +
      `${plainAddress(socket.localAddress)}:${socket.localPort}`;
}

// Fills `wanted` (connection key -> uid, null until found) from one socket
// table's text.
function findSocketOwners(text, wanted, ports) {
  for (const line of text.split('\n')) {
    const fields = line.trim().split(/\s+/);
    // sl local remote state queues timer retransmits uid ...
    if (fields.length < 8 || !ports.has(fields[1].slice(-4))) continue;
    // Listening, closed and time-wait entries belong to no process.
    if (['0A', '07', '06'].includes(fields[3]) || !/^[0-9]+$/.test(fields[7])) continue;
    const local = tableEndpoint(fields[1]);
    const remote = tableEndpoint(fields[2]);
    const key = local && remote && `${local}>${remote}`;
    if (key && wanted.get(key) === null) wanted.set(key, Number(fields[7]));
  }
}

// A /proc file read to its end. Such files claim a size of 0 and give a
// page per read, so they are read until a read gives nothing (Node 18's
// readFile stops after the first).
async function readKernelTable(file) {
  const handle = await fs.promises.open(file);
  try {
    const parts = [];
    const chunk = Buffer.alloc(kChunkBytes);
    let size = 0;
    for (;;) {
      const {bytesRead} = await handle.read(chunk, 0, chunk.length, null);
      if (bytesRead === 0) return Buffer.concat(parts, size).toString('latin1');
      size += bytesRead;
      if (size > kMaxSocketTableBytes) {
        throw new Error(`${file} is over ${kMaxSocketTableBytes} bytes`);
      }
      parts.push(Buffer.from(chunk.subarray(0, bytesRead)));
    }
  } finally {
    await handle.close();
  }
}

// Who made the client end of a loopback TCP connection. The kernel's socket
// tables list the client's socket with the uid of the process that made it.
// Lookups that come while the tables are being read wait for the next
// reading, so a burst of connections costs two readings, not one each.
//
// A table is read a page at a time and each read resumes by position, so a
// socket closing elsewhere meanwhile can shift an entry past the reader: one
// not found is looked for again before it counts as unlisted.
class PeerOwners {
  constructor(tables = kSocketTables, readTable = readKernelTable) {
    this.tables_ = tables;
    this.readTable_ = readTable;
    this.waiting_ = [];
    this.reading_ = false;
  }

  // Resolves to the uid, or null when the kernel does not list the client.
  uidOf(socket) {
    const key = clientEndKey(socket);
    if (key === null) return Promise.resolve(null);
    const port = socket.remotePort.toString(16).toUpperCase().padStart(4, '0');
    return new Promise((resolve) => {
      this.waiting_.push({key, port, resolve, readings: 0});
      if (!this.reading_) this.read_();
    });
  }

  async read_() {
    this.reading_ = true;
    const batch = this.waiting_;
    this.waiting_ = [];
    const wanted = new Map(batch.map((w) => [w.key, null]));
    const ports = new Set(batch.map((w) => w.port));
    for (const table of this.tables_) {
      try {
        findSocketOwners(await this.readTable_(table), wanted, ports);
      } catch (e) {
        // A kernel without IPv6 has no tcp6 table.
      }
    }
    for (const w of batch) {
      w.readings += 1;
      const uid = wanted.get(w.key);
      if (uid === null && w.readings < kPeerReadings) this.waiting_.push(w); else w.resolve(uid);
    }
    this.reading_ = false;
    if (this.waiting_.length > 0) this.read_();
  }
}

// The uid that listens on loopback `port`: on 127.0.0.1, or on every
// address (which takes 127.0.0.1 too). Null when the tables list no such
// listener, as when the port is held by a connection or was let go meanwhile.
async function listenerOwner(port, tables = kSocketTables, readTable = readKernelTable) {
  const portHex = port.toString(16).toUpperCase().padStart(4, '0');
  const wanted = [`127.0.0.1:${port}`, `0.0.0.0:${port}`, `${'0'.repeat(32)}:${portHex}`];
  for (const table of tables) {
    let text;
    try {
      text = await readTable(table);
    } catch (e) {
      continue;  // a kernel without IPv6 has no tcp6 table
    }
    for (const line of text.split('\n')) {
      const fields = line.trim().split(/\s+/);
      if (fields.length < 8 || fields[3] !== '0A' || !/^[0-9]+$/.test(fields[7])) continue;
      if (wanted.includes(fields[1]) || wanted.includes(tableEndpoint(fields[1]))) {
        return Number(fields[7]);
      }
    }
  }
  return null;
}

module.exports = {PeerOwners, tableEndpoint, listenerOwner};
