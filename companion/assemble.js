'use strict';
// Puts the page's files (companion/page/) into the server's source
// (companion/daemon.js) to make the one daemon.js that ships: the agent
// verifies that single file before starting it, so the server never reads
// anything from beside it. Each marker "@page:NAME@" in the source, quotes
// included, becomes the file page/NAME as a JSON string literal. The result
// depends on nothing but the bytes of those files.
//
//   node companion/assemble.js OUT           writes the assembled server to OUT
//   node companion/assemble.js --check FILE  fails unless FILE is what the
//                                            sources assemble into now

const fs = require('fs');
const path = require('path');

const kSource = path.join(__dirname, 'daemon.js');
const kPageDir = path.join(__dirname, 'page');
const kMarker = /"@page:([A-Za-z0-9_.-]+)@"/g;
const kUtf8 = new TextDecoder('utf-8', {fatal: true, ignoreBOM: true});

// Returns the assembled server as a Buffer; throws on a marker without its
// file, a page file no marker names, or a file that is not UTF-8 (it would
// not come back byte for byte).
function assemble(source = kSource, pageDir = kPageDir) {
  const text = kUtf8.decode(fs.readFileSync(source));
  const unused = new Set(fs.readdirSync(pageDir));
  const out = text.replace(kMarker, (marker, name) => {
    if (!fs.existsSync(path.join(pageDir, name))) {
      throw new Error(`${source} names ${name}, which is not in ${pageDir}`);
    }
    unused.delete(name);
    return JSON.stringify(kUtf8.decode(fs.readFileSync(path.join(pageDir, name))));
  });
  if (unused.size > 0) {
    throw new Error(`${source} has no marker for ${[...unused].sort().join(', ')}`);
  }
  return Buffer.from(out);
}

function main(args) {
  if (args.length === 1 && args[0] !== '--check') {
    const out = args[0];
    const tmp = `${out}.tmp`;
    fs.mkdirSync(path.dirname(out), {recursive: true});
    fs.writeFileSync(tmp, assemble());
    fs.renameSync(tmp, out);
    return 0;
  }
  if (args.length === 2 && args[0] === '--check') {
    if (Buffer.compare(fs.readFileSync(args[1]), assemble()) === 0) return 0;
    console.error(`${args[1]} is not what companion/ assembles into; rebuild it`);
    return 1;
  }
  console.error('usage: node assemble.js OUT | --check FILE');
  return 2;
}

if (require.main === module) {
  try {
    process.exitCode = main(process.argv.slice(2));
  } catch (e) {
    console.error(`assemble.js: ${e.message}`);
    process.exitCode = 1;
  }
} else {
  module.exports = {assemble};
}
