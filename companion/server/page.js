'use strict';
// The page's own files, written under companion/page/ and put in here as
// string literals when the server is built (companion/assemble.js): the
// server ships as one verified file and reads nothing from beside it.
const kPage = {
  html: "@page:index.html@",
  style: "@page:page.css@",
  script: "@page:page.js@",
};

function isAssembled() {
  return !kPage.html.startsWith('@page:');
}

const kStaticFiles = new Map([
  ['/', {type: 'text/html; charset=utf-8', body: kPage.html}],
  ['/app.js', {type: 'text/javascript; charset=utf-8', body: kPage.script}],
  ['/app.css', {type: 'text/css; charset=utf-8', body: kPage.style}],
]);

module.exports = {isAssembled, kStaticFiles};
