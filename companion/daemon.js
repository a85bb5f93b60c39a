'use strict';
// Placeholder companion server: reads its standard input until it ends.
process.stdin.resume();
process.stdin.on('end', () => process.exit(0));
