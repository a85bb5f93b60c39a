'use strict';
// The server inside the update scenario's bundles: it notes its process id
// once ready, asks the agent for an update check on SIGUSR2, and ends with
// its standard input. It renames itself at once so that "killall kavri-node"
// run by agents of other test runs on the same machine passes it by.
process.title = 'kavri-update-server';
const fs = require('fs');
const dir = process.env.KAVRI_UPDATE_TEST_DIR;
process.stdin.on('data', () => {});
process.stdin.on('end', () => process.exit(0));
process.on('SIGUSR2', () => process.stdout.write('CHECK FOR UPDATES\n'));
fs.writeFileSync(`${dir}/server.pid.part`, String(process.pid));
fs.renameSync(`${dir}/server.pid.part`, `${dir}/server.pid`);
