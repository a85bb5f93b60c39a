'use strict';
// The companion server's own logic, without a process or a socket.

const assert = require('node:assert/strict');
const {describe, it} = require('node:test');
const d = require('./daemon.js');
const {face, fontTables, makeFont, makeCollection} = require('./harness.js');

function framer(max = 64) {
  const lines = [];
  const drops = [];
  const reader = new d.LineReader(max, (l) => lines.push(l.toString()), (why, n) => drops.push(n));
  return {reader, lines, drops};
}

describe('LineReader', () => {
  it('TwoLinesInOneChunkAreBothDeliveredInOrder', () => {
    const {reader, lines} = framer();
    reader.push(Buffer.from('one\ntwo\n'));
    assert.deepEqual(lines, ['one', 'two']);
  });

  it('PartialLineWaitsForNewline', () => {
    const {reader, lines} = framer();
    reader.push(Buffer.from('{"a'));
    reader.push(Buffer.from('":1'));
    assert.deepEqual(lines, []);
    reader.push(Buffer.from('}\nnext'));
    assert.deepEqual(lines, ['{"a":1}']);
  });

  it('EveryChunkingGivesTheSameLines', () => {
    const text = 'alpha\n\nbeta gamma\ndelta\n';
    for (let size = 1; size <= text.length; size++) {
      const {reader, lines} = framer();
      for (let i = 0; i < text.length; i += size) reader.push(Buffer.from(text.slice(i, i + size)));
      assert.deepEqual(lines, ['alpha', '', 'beta gamma', 'delta'], `chunks of ${size}`);
    }
  });

  it('MultibyteCharacterSplitAcrossChunksStaysWhole', () => {
    const {reader, lines} = framer();
    const bytes = Buffer.from('Schriftart ä 明朝\n');
    reader.push(bytes.subarray(0, 13));
    reader.push(bytes.subarray(13));
    assert.deepEqual(lines, ['Schriftart ä 明朝']);
  });

  it('OversizeLineIsDroppedAndFramingResumesAfterIt', () => {
    const {reader, lines, drops} = framer(8);
    reader.push(Buffer.from('12345'));
    reader.push(Buffer.from('67890abc'));
    reader.push(Buffer.from('def\nok\n'));
    assert.deepEqual(lines, ['ok']);
    assert.deepEqual(drops, [16]);
  });

  it('LineOfExactlyTheLimitIsKept', () => {
    const {reader, lines, drops} = framer(4);
    reader.push(Buffer.from('abcd\nabcde\n'));
    assert.deepEqual(lines, ['abcd']);
    assert.deepEqual(drops, [5]);
  });

  it('UnfinishedLineAtEndIsReportedNeverDelivered', () => {
    const {reader, lines, drops} = framer();
    reader.push(Buffer.from('done\nhalf'));
    reader.end();
    assert.deepEqual(lines, ['done']);
    assert.deepEqual(drops, [4]);
  });

  it('RaisedLimitAppliesToTheNextLine', () => {
    const lines = [];
    const reader = new d.LineReader(4, (l) => {
      lines.push(l.toString());
      reader.maxLineBytes = 100;
    }, () => assert.fail('nothing is over the raised limit'));
    reader.push(Buffer.from('hand\na longer catalogue line\n'));
    assert.deepEqual(lines, ['hand', 'a longer catalogue line']);
  });
});

describe('parseHandshake', () => {
  const pass = 'A1'.repeat(64);

  it('SplitsContainerAndPassPhrase', () => {
    const h = d.parseHandshake(Buffer.from(`AAECAw==;${pass}`));
    assert.deepEqual(h.pfx, Buffer.from([0, 1, 2, 3]));
    assert.equal(h.passphrase, pass);
  });

  it('RefusesMalformedLinesWithoutQuotingThem', () => {
    const cases = {
      'no separator': `AAECAw==${pass}`,
      'two separators': `AAECAw==;${pass};`,
      'lower-case pass phrase': `AAECAw==;${pass.toLowerCase()}`,
      'short pass phrase': `AAECAw==;${pass.slice(2)}`,
      'carriage return': `AAECAw==;${pass}\r`,
      'empty container': `;${pass}`,
      'not base64': `AA*CAw==;${pass}`,
      'truncated base64': `AAECAw=;${pass}`,
    };
    for (const [name, line] of Object.entries(cases)) {
      const h = d.parseHandshake(Buffer.from(line));
      assert.ok(h.error, name);
      assert.ok(!h.error.includes(pass.slice(0, 16)), `${name} leaks the pass phrase`);
    }
  });
});

describe('parseCatalogue', () => {
  const good = {
    '/usr/share/fonts/a.ttf': [face('Alpha', 'Regular')],
    '/usr/share/fonts/b.ttc': [face('Beta', 'Bold', {weight: 700}),
      face('Beta', 'Italic', {italic: true, localizedFamily: 'Бета', localizedStyle: 'Курсив'})],
  };

  it('AcceptsTheAgentsMessageAndKeepsItsBytes', () => {
    const line = Buffer.from(JSON.stringify(good));
    const {catalogue, error} = d.parseCatalogue(line);
    assert.equal(error, undefined);
    assert.equal(catalogue.faceCount, 3);
    assert.deepEqual([...catalogue.files.keys()], Object.keys(good));
    assert.deepEqual(catalogue.bytes, line);
  });

  it('EmptyCatalogueIsValid', () => {
    assert.equal(d.parseCatalogue(Buffer.from('{}')).catalogue.faceCount, 0);
  });

  it('RefusesAnythingElseWhole', () => {
    const bad = (mutate) => {
      const c = structuredClone(good);
      mutate(c['/usr/share/fonts/b.ttc'][1], c);
      return JSON.stringify(c);
    };
    const cases = {
      'not JSON': '{"/a.ttf": [',
      'array': '[]',
      'null': 'null',
      'string': '"x"',
      'invalid UTF-8': Buffer.concat([Buffer.from('{"/\xff'), Buffer.from([0xff]),
        Buffer.from('.ttf": []}')]),
      'relative path': JSON.stringify({'fonts/a.ttf': []}),
      'faces not an array': JSON.stringify({'/a.ttf': {}}),
      'weight as text': bad((f) => { f.weight = '700'; }),
      'fractional weight': bad((f) => { f.weight = 400.5; }),
      'weight out of range': bad((f) => { f.weight = 1000; }),
      'stretch out of range': bad((f) => { f.stretch = 0; }),
      'italic as number': bad((f) => { f.italic = 1; }),
      'missing postscript': bad((f) => { delete f.postscript; }),
      'localised family not text': bad((f) => { f.localizedFamily = null; }),
      'record not an object': bad((f, c) => { c['/usr/share/fonts/a.ttf'].push('x'); }),
    };
    for (const [name, text] of Object.entries(cases)) {
      const r = d.parseCatalogue(Buffer.isBuffer(text) ? text : Buffer.from(text));
      assert.ok(r.error, name);
      assert.equal(r.catalogue, undefined, name);
    }
  });

  it('ProtoKeysAreJustPaths', () => {
    const r = d.parseCatalogue(Buffer.from('{"/__proto__":[],"__proto__":[]}'));
    assert.ok(r.error);  // "__proto__" is not absolute
    const ok = d.parseCatalogue(Buffer.from('{"/__proto__":[]}'));
    assert.ok(ok.catalogue.files.has('/__proto__'));
    assert.equal({}.polluted, undefined);
  });
});

describe('groupFamilies', () => {
  it('GroupsFacesAcrossFilesByFamilyRegularFirst', () => {
    const files = new Map([
      ['/f/sans-bold.ttf', [face('Sans', 'Bold', {weight: 700})]],
      ['/f/sans.ttc', [face('Sans', 'Oblique', {italic: true}), face('Sans', 'Book'),
        face('Sans Mono', 'Book')]],
      ['/f/sans-cond.ttf', [face('Sans', 'Condensed', {stretch: 4})]],
    ]);
    const families = d.groupFamilies(files);
    assert.deepEqual(families.map((f) => f.family), ['Sans', 'Sans Mono']);
    assert.deepEqual(families[0].faces.map((f) => f.style), ['Book', 'Bold', 'Condensed', 'Oblique']);
    assert.equal(families[0].faces[0].path, '/f/sans.ttc');
    assert.equal(families[0].faces[1].path, '/f/sans-bold.ttf');
  });

  it('ShowsLocalisedNamesAndSortsByThem', () => {
    const files = new Map([['/f/a.ttf', [
      face('Zeta', 'Regular', {localizedFamily: 'Alpha Z', localizedStyle: 'Normal'}),
      face('Beta', 'Regular'),
    ]]]);
    const families = d.groupFamilies(files);
    assert.deepEqual(families.map((f) => [f.family, f.name]),
        [['Zeta', 'Alpha Z'], ['Beta', 'Beta']]);
    assert.equal(families[0].faces[0].name, 'Normal');
  });

  it('FamilyWithOnlyABoldFaceIsShownInIt', () => {
    const families = d.groupFamilies(new Map([['/f/b.ttf', [face('B', 'Bold', {weight: 700})]]]));
    assert.equal(families[0].faces[0].style, 'Bold');
  });
});

describe('origin checks', () => {
  const port = 47000;

  it('AcceptsOnlyItsOwnHostAndPort', () => {
    for (const host of ['127.0.0.1:47000', 'localhost:47000', 'LocalHost:47000']) {
      assert.ok(d.isAllowedHost(host, port), host);
    }
    for (const host of [undefined, '', '127.0.0.1', '127.0.0.1:47001', 'evil.example:47000',
      'localhost.evil.example:47000', '[::1]:47000', '127.0.0.1:47000.evil']) {
      assert.ok(!d.isAllowedHost(host, port), String(host));
    }
  });

  it('PostOnlyFromItsOwnPage', () => {
    assert.ok(d.isOwnPagePost({origin: 'https://127.0.0.1:47000'}, port));
    assert.ok(d.isOwnPagePost({origin: 'https://localhost:47000',
      'sec-fetch-site': 'same-origin'}, port));
    for (const headers of [{}, {origin: 'null'}, {origin: 'http://127.0.0.1:47000'},
      {origin: 'https://127.0.0.1:47001'}, {origin: 'https://evil.example'},
      {origin: 'https://127.0.0.1:47000', 'sec-fetch-site': 'same-site'}]) {
      assert.ok(!d.isOwnPagePost(headers, port), JSON.stringify(headers));
    }
  });

  it('RefusesCrossSiteSubresourcesButNotOpeningThePage', () => {
    const foreign = (method, pathname, headers) =>
      d.isForeignRequest(method, pathname, headers, port);
    assert.ok(!foreign('GET', '/font', {}));
    assert.ok(!foreign('GET', '/events', {'sec-fetch-site': 'same-origin'}));
    assert.ok(!foreign('GET', '/', {'sec-fetch-site': 'none', 'sec-fetch-mode': 'navigate'}));
    assert.ok(!foreign('GET', '/', {'sec-fetch-site': 'cross-site', 'sec-fetch-mode': 'navigate'}));
    assert.ok(foreign('GET', '/catalogue.json', {origin: 'https://evil.example'}));
    assert.ok(foreign('GET', '/font', {'sec-fetch-site': 'cross-site', 'sec-fetch-mode': 'no-cors'}));
    assert.ok(foreign('GET', '/catalogue.json', {'sec-fetch-site': 'same-site'}));
    assert.ok(foreign('POST', '/', {'sec-fetch-site': 'cross-site', 'sec-fetch-mode': 'navigate'}));
  });
});

describe('fontMediaType', () => {
  it('NamesTypesFromTheFilesFirstBytes', () => {
    const t = (bytes) => d.fontMediaType(Buffer.from(bytes, 'latin1'));
    assert.equal(t('\x00\x01\x00\x00\x00\x10'), 'font/ttf');
    assert.equal(t('true'), 'font/ttf');
    assert.equal(t('OTTO'), 'font/otf');
    assert.equal(t('ttcf'), 'font/collection');
    assert.equal(t('wOFF'), 'font/woff');
    assert.equal(t('wOF2'), 'font/woff2');
    assert.equal(t('%!PS-AdobeFont'), 'application/octet-stream');
    assert.equal(t('\x00'), 'application/octet-stream');
  });
});

describe('collectionFace', () => {
  const alpha = makeFont('Alpha-Regular', {filler: 'a'});
  const beta = makeFont('Beta-Bold', {filler: 'b'});
  const mac = makeFont('Gamma-Mac', {platform: 1, filler: 'g'});
  const collection = makeCollection([alpha, beta, mac]);

  it('CutsEachFaceOutWithItsOwnTables', () => {
    for (const [name, font] of [['Alpha-Regular', alpha], ['Beta-Bold', beta], ['Gamma-Mac', mac]]) {
      const cut = d.collectionFace(collection, name);
      assert.ok(cut, name);
      assert.equal(d.fontMediaType(cut), 'font/ttf');
      assert.deepEqual(fontTables(cut), fontTables(font), name);
    }
  });

  it('NoSuchFaceOrNoCollectionGivesNothing', () => {
    assert.equal(d.collectionFace(collection, 'Delta'), null);
    assert.equal(d.collectionFace(collection, 'Alpha'), null);
    assert.equal(d.collectionFace(alpha, 'Alpha-Regular'), null);
  });

  it('DamagedCollectionNeverThrows', () => {
    // Cut short anywhere: the face is whole or not there (only the last
    // table's padding may go).
    for (let n = 0; n < collection.length; n++) {
      const cut = d.collectionFace(collection.subarray(0, n), 'Gamma-Mac');
      if (cut !== null) assert.deepEqual(fontTables(cut), fontTables(mac), `${n} bytes`);
      assert.ok(cut === null || n >= collection.length - 3, `${n} bytes`);
    }
    const lying = Buffer.from(collection);
    lying.writeUInt32BE(0xffffffff, 8);  // font count
    assert.equal(d.collectionFace(lying, 'Alpha-Regular'), null);
    const offsets = Buffer.from(collection);
    offsets.writeUInt32BE(0xfffffff0, 12);  // first font's directory
    assert.equal(d.collectionFace(offsets, 'Alpha-Regular'), null);
    assert.ok(d.collectionFace(offsets, 'Beta-Bold'));
  });
});

describe('parsePort', () => {
  it('DefaultsToAFixedPortAndTakesZero', () => {
    assert.deepEqual(d.parsePort(undefined), {port: d.kDefaultPort, fixed: false});
    assert.deepEqual(d.parsePort('0'), {port: 0, fixed: true});
    assert.deepEqual(d.parsePort('8443'), {port: 8443, fixed: true});
    for (const bad of ['-1', '65536', '80a', ' 80', '1e3']) assert.ok(d.parsePort(bad).error, bad);
  });
});
