'use strict';
// Folds the companion server's sources into the one daemon.js that ships: the
// agent verifies that single file before starting it, so the server never
// reads anything from beside it. The entry point (companion/daemon.js) and
// each module of companion/server/ become a function in a table of modules
// at the top of the output; their requires of one another are answered from
// that table and those of Node's built-in modules by Node. Each marker
// "@page:NAME@" in them, quotes included, becomes the file page/NAME as a JSON
// string literal, and each "@client:NAME@" the file client/NAME. The result depends on nothing but the bytes of those files.
//
//   node companion/assemble.js OUT           writes the assembled server to OUT
//   node companion/assemble.js --check FILE  fails unless FILE is what the
//                                            sources assemble into now

const fs = require('fs');
const {builtinModules} = require('module');
const path = require('path');

const kEntry = 'daemon.js';
const kModuleDir = 'server';
const kMarker = /"@(page|client):([A-Za-z0-9_.-]+)@"/g;
const kFileDirs = ['page', 'client'];
const kRequire = /\brequire\((['"])([^'"]*)\1\)/g;
const kUtf8 = new TextDecoder('utf-8', {fatal: true, ignoreBOM: true});

// The output's loader. Each module runs once, on its first require, as Node
// would run it: `this` and `exports` its exports, `module` its record. The
// entry point gets the file's own module, so it knows when it is the main one.
const kLoader = `const assembledLoaded = new Map();
function assembledLoad(name, record) {
  assembledLoaded.set(name, record);
  const local = (id) => {
    if (!id.startsWith('./') && !id.startsWith('../')) return require(id);
    const key = require('path').posix.join(require('path').posix.dirname(name), id);
    if (assembledLoaded.has(key)) return assembledLoaded.get(key).exports;
    if (!Object.hasOwn(assembledModules, key)) throw new Error(\`no module \${id} in \${name}\`);
    return assembledLoad(key, {exports: {}});
  };
  local.main = require.main;
  assembledModules[name].call(record.exports, record.exports, local, record);
  return record.exports;
}

assembledLoad('${kEntry}', module);
`;

// The sources by their names in the output's table, the entry point first:
// [[name, text]].
function readSources(root) {
  const modules = fs.readdirSync(path.join(root, kModuleDir))
      .filter((file) => file.endsWith('.js')).sort()
      .map((file) => path.posix.join(kModuleDir, file));
  return [kEntry, ...modules].map((name) =>
    [name, kUtf8.decode(fs.readFileSync(path.join(root, name)))]);
}

// Fails unless every require in `text` names another of the sources or a Node
// built-in module: the shipped file has nothing else to load.
function checkRequires(name, text, names) {
  for (const [, , id] of text.matchAll(kRequire)) {
    if (id.startsWith('./') || id.startsWith('../')) {
      if (!names.has(path.posix.join(path.posix.dirname(name), id))) {
        throw new Error(`${name} requires ${id}, which is not one of the server's sources`);
      }
    } else if (!builtinModules.includes(id.replace(/^node:/, ''))) {
      throw new Error(`${name} requires ${id}, which is not a Node built-in module`);
    }
  }
}

// Returns the assembled server as a Buffer; throws on a require it could not
// answer, a marker without its file, a page file no marker names, or a file
// that is not UTF-8 (it would not come back byte for byte).
function assemble(root = __dirname) {
  const sources = readSources(root);
  const names = new Set(sources.map(([name]) => name));
  const unused = new Set(kFileDirs.flatMap((dir) => fs.readdirSync(path.join(root, dir))
      .map((file) => path.posix.join(dir, file))));
  const table = sources.map(([name, text]) => {
    checkRequires(name, text, names);
    const body = text.replace(kMarker, (marker, dir, file) => {
      const relative = path.posix.join(dir, file);
      if (!fs.existsSync(path.join(root, relative))) {
        throw new Error(`${name} names ${file}, which is not in ${path.join(root, dir)}`);
      }
      unused.delete(relative);
      return JSON.stringify(kUtf8.decode(fs.readFileSync(path.join(root, relative))));
    });
    return `${JSON.stringify(name)}: function (exports, require, module) {\n${body}},\n`;
  });
  if (unused.size > 0) {
    throw new Error(`no source has a marker for ${[...unused].sort().join(', ')}`);
  }
  return Buffer.from("'use strict';\n" +
      '// The companion server: companion/daemon.js and its modules under\n' +
      '// companion/server/, put in one file by companion/assemble.js.\n' +
      `const assembledModules = {\n${table.join('')}};\n${kLoader}`);
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
