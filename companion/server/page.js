'use strict';
// The page's own files, written under companion/page/ and put in here as
// string literals when the server is built (companion/assemble.js): the
// server ships as one verified file and reads nothing from beside it.

const {kFactBits} = require('./font_facts.js');
const {kLanguages} = require('./languages.js');

const kPage = {
  html: "@page:index.html@",
  style: "@page:page.css@",
  script: "@page:page.js@",
  model: "@page:model.js@",
  samples: "@page:samples.js@",
  familyView: "@page:family_view.js@",
  address: "@page:address.js@",
  faceKeys: "@page:face_keys.js@",
  faceView: "@page:face_view.js@",
  facePage: "@page:face_page.js@",
  glyphGrid: "@page:glyph_grid.js@",
  comparison: "@page:comparison.js@",
  sites: "@page:sites.js@",
};

function isAssembled() {
  return !kPage.html.startsWith('@page:');
}

// What the page and the server must agree on, as a module of the page's.
const kShared = `// Made by the server from its own tables.
export const kLanguages = ${JSON.stringify(kLanguages)};
export const kFactBits = ${JSON.stringify(kFactBits)};
`;

const kScript = 'text/javascript; charset=utf-8';
const kStaticFiles = new Map([
  ['/', {type: 'text/html; charset=utf-8', body: kPage.html}],
  ['/app.css', {type: 'text/css; charset=utf-8', body: kPage.style}],
  ['/app.js', {type: kScript, body: kPage.script}],
  ['/model.js', {type: kScript, body: kPage.model}],
  ['/samples.js', {type: kScript, body: kPage.samples}],
  ['/family_view.js', {type: kScript, body: kPage.familyView}],
  ['/address.js', {type: kScript, body: kPage.address}],
  ['/face_keys.js', {type: kScript, body: kPage.faceKeys}],
  ['/face_view.js', {type: kScript, body: kPage.faceView}],
  ['/face_page.js', {type: kScript, body: kPage.facePage}],
  ['/glyph_grid.js', {type: kScript, body: kPage.glyphGrid}],
  ['/comparison.js', {type: kScript, body: kPage.comparison}],
  ['/shared.js', {type: kScript, body: kShared}],
  ['/sites.js', {type: kScript, body: kPage.sites}],
]);

module.exports = {isAssembled, kStaticFiles};
