'use strict';
// A stand-in server for whole-agent tests: records what the agent sends.
const fs = require('fs');
// Out of reach of the killall of agents that other test runs start.
process.title = 'kavri-recorder';
const dir = process.env.KAVRI_RECORD_DIR;
fs.writeFileSync(`${dir}/server.pid`, String(process.pid));
process.stdin.on('data', (chunk) => fs.appendFileSync(`${dir}/stdin`, chunk));
process.stdin.on('end', () => process.exit(0));
if (process.env.KAVRI_CLOSE_INPUT) {
  // Stops listening while staying alive: the agent's next write finds no reader.
  process.stdin.destroy();
  fs.closeSync(0);
  fs.writeFileSync(`${dir}/input-closed`, '');
  setInterval(() => {}, 1 << 30);
}
