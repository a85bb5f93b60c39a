'use strict';
// The companion server's own logic, without a process or a socket.

const assert = require('node:assert/strict');
const {execFileSync} = require('child_process');
const fs = require('fs');
const path = require('path');
const {describe, it, before, after} = require('node:test');
const {addressFile, readRememberedPort, rememberedPortFile, rememberPort} =
    require('./server/account_files.js');
const {faceRecord, parseCatalogue} = require('./server/catalogue.js');
const {catalogueEvent} = require('./server/catalogue_event.js');
const {readFontFacts} = require('./server/font_tables.js');
const {kLanguages} = require('./server/languages.js');
const {TextTable} = require('./server/text_table.js');
const {collectionFace} = require('./server/collection_face.js');
const {FaceCutter} = require('./server/face_cutter.js');
const {groupFamilies} = require('./server/families.js');
const {fontMediaType} = require('./server/font_file.js');
const {isAllowedHost, isForeignRequest, isOwnPagePost} = require('./server/guards.js');
const {parseHandshake} = require('./server/handshake.js');
const {LineReader} = require('./server/line_reader.js');
const {RepeatLog} = require('./server/log.js');
const {listenerOwner, PeerOwners, tableEndpoint} = require('./server/peer_account.js');
const {kDefaultPort, parsePort} = require('./server/port.js');
const h = require('./tests/harness.js');
const {face, fontTables, makeFont, makeFactsFont, makeCollection, makeSpanningCollection,
  tempDir} = h;

const kDejaVu = '/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf';
const kZenHei = '/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc';

function framer(max = 64) {
  const lines = [];
  const drops = [];
  const reader = new LineReader(max, (l) => lines.push(l.toString()), (why, n) => drops.push(n));
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
    const reader = new LineReader(4, (l) => {
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
    const h = parseHandshake(Buffer.from(`AAECAw==;${pass}`));
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
      const h = parseHandshake(Buffer.from(line));
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

  const records = (catalogue) => Array.from({length: catalogue.faceCount},
      (_, f) => faceRecord(catalogue, f));

  it('AcceptsTheAgentsMessageAndKeepsItsBytes', () => {
    const line = Buffer.from(JSON.stringify(good));
    const {catalogue, error} = parseCatalogue(line);
    assert.equal(error, undefined);
    assert.equal(catalogue.faceCount, 3);
    assert.deepEqual(catalogue.files.texts(), Object.keys(good));
    assert.deepEqual(records(catalogue), Object.values(good).flat());
    assert.deepEqual(catalogue.bytes, line);
  });

  // What JSON allows besides the agent's own spelling: spaces, escapes,
  // members in any order, unknown and repeated members (the last counts).
  it('ReadsAnyJsonSpellingOfTheSameRecords', () => {
    const text = ' {\t' + String.raw`"/f/\u00e4 \"b\".ttf" : [ { "extra" : [{"a": [1, -2.5e3,
        null]}, {}] , "italic":true, "weight":"x", "fam\u0069ly":"A\\B", "style":"S",
        "postscript":"P", "stretch":4E0, "weight":700 } ] , "/g.otf":[]}` + '\n';
    const {catalogue, error} = parseCatalogue(Buffer.from(text));
    assert.equal(error, undefined);
    assert.deepEqual(catalogue.files.texts(), ['/f/ä "b".ttf', '/g.otf']);
    assert.deepEqual(records(catalogue), [{family: 'A\\B', style: 'S', postscript: 'P',
      weight: 700, stretch: 4, italic: true}]);
  });

  it('EmptyCatalogueIsValid', () => {
    assert.equal(parseCatalogue(Buffer.from('{}')).catalogue.faceCount, 0);
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
      const r = parseCatalogue(Buffer.isBuffer(text) ? text : Buffer.from(text));
      assert.ok(r.error, name);
      assert.equal(r.catalogue, undefined, name);
    }
  });

  // Longer than one run of members, with names that look like JSON syntax.
  const long = {};
  for (let i = 0; i < 3000; i++) {
    long[`/f/"{odd}, [\\${i}.ttf`] = [face(`F${i % 40} ,}{`, 'Regular \\"'),
      face(`F${i % 40} ,}{`, 'Bold', {weight: 700})];
  }
  const longText = JSON.stringify(long);

  it('LongCatalogueIsReadAsOneObject', () => {
    const {catalogue} = parseCatalogue(Buffer.from(` \n${longText}\n `));
    assert.deepEqual(catalogue.files.texts(), Object.keys(long));
    assert.deepEqual(records(catalogue), Object.values(long).flat());
  });

  it('LongCatalogueIsRefusedForAFaultAnywhere', () => {
    const middle = longText.indexOf('"/f/', longText.length / 2);
    const member = (k) => `${JSON.stringify(k)}:${JSON.stringify(long[k])}`;
    const repeated = (at) => `{${Object.keys(long).flatMap((k, i) => (i === at ? [k, k] : [k]))
        .map(member).join(',')}}`;
    const cases = {
      'trailing comma': longText.slice(0, -1) + ',}',
      'repeated path far away': longText.slice(0, -1) + `,${longText.slice(1, middle - 1)}}`,
      'repeated path next to it': repeated(1500),
      'text after it': longText + 'x',
      'unclosed': longText.slice(0, -1),
      'unbalanced': longText.slice(0, middle) + ']' + longText.slice(middle),
      'bare comma': longText.slice(0, middle) + ',' + longText.slice(middle),
    };
    for (const [name, text] of Object.entries(cases)) {
      assert.ok(parseCatalogue(Buffer.from(text)).error, name);
    }
  });

  it('ProtoKeysAreJustPaths', () => {
    const r = parseCatalogue(Buffer.from('{"/__proto__":[],"__proto__":[]}'));
    assert.ok(r.error);  // "__proto__" is not absolute
    const ok = parseCatalogue(Buffer.from('{"/__proto__":[]}'));
    assert.equal(ok.catalogue.files.indexOf('/__proto__'), 0);
    assert.equal({}.polluted, undefined);
  });
});

describe('TextTable', () => {
  // JSON spells a text many ways: each is found as the one text it is.
  it('NumbersEachTextOnceHoweverItIsSpelled', () => {
    const texts = ['"/a.ttf"', '"/\\u0061.ttf"', '"\\/a.ttf"', '"/b.ttf"', '"/ä.ttf"',
      '"/\\u00e4.ttf"', ...Array.from({length: 500}, (_, i) => `"/f/${i}"`)];
    const line = Buffer.from(texts.join(','));
    const table = new TextTable(line);
    const numbers = [];
    for (let at = 0; at < line.length;) {
      const end = line.indexOf('",', at + 1) >= 0 ? line.indexOf('",', at + 1) + 1 : line.length;
      numbers.push(table.add(at, end));
      at = end + 1;
    }
    assert.deepEqual(numbers.slice(0, 6), [0, 0, 0, 1, 2, 2]);
    assert.equal(table.size, 503);
    assert.deepEqual(table.texts().slice(0, 4), ['/a.ttf', '/b.ttf', '/ä.ttf', '/f/0']);
    assert.deepEqual(['/ä.ttf', '/f/499', '/f/500', '/a'].map((t) => table.indexOf(t)),
        [2, 502, -1, -1]);
  });
});

describe('catalogue event', () => {
  // The event a page gets for the catalogue of `files` ({path: [records]}).
  const eventOf = (files) => {
    const {catalogue} = parseCatalogue(Buffer.from(JSON.stringify(files)));
    const bytes = catalogueEvent(7, catalogue, groupFamilies(catalogue)).toString();
    assert.match(bytes, /^event: catalogue\ndata: [^\n]*\n\n$/);
    return JSON.parse(bytes.slice(bytes.indexOf('{')));
  };
  const familiesOf = (files) => h.familiesOf(eventOf(files));

  it('GroupsFacesAcrossFilesByFamilyRegularFirst', () => {
    const families = familiesOf({
      '/f/sans-bold.ttf': [face('Sans', 'Bold', {weight: 700})],
      '/f/sans.ttc': [face('Sans', 'Oblique', {italic: true}), face('Sans', 'Book'),
        face('Sans Mono', 'Book')],
      '/f/sans-cond.ttf': [face('Sans', 'Condensed', {stretch: 4})],
    });
    assert.deepEqual(families.map((f) => f.family), ['Sans', 'Sans Mono']);
    assert.deepEqual(families[0].styles, ['Book', 'Bold', 'Condensed', 'Oblique']);
    assert.deepEqual(families[0].faces.map((f) => [f.path, f.weight, f.stretch, f.italic]), [
      ['/f/sans.ttc', 400, 5, false], ['/f/sans-bold.ttf', 700, 5, false],
      ['/f/sans-cond.ttf', 400, 4, false], ['/f/sans.ttc', 400, 5, true]]);
  });

  it('ShowsLocalisedNamesAndSortsByThem', () => {
    const event = eventOf({'/f/a.ttf': [
      face('Zeta', 'Regular', {localizedFamily: 'Alpha Z', localizedStyle: 'Normal'}),
      face('Beta', 'Regular', {localizedFamily: '', localizedStyle: ''}),
    ]});
    assert.deepEqual([event.families, event.names, event.styles],
        [['Zeta', 'Beta'], ['Alpha Z', 0], ['Normal', 'Regular']]);
  });

  // The page asks for a collection's face by name, for a single font's file
  // whole, and never for a file browsers refuse.
  it('TellsThePageWhatItCanAskFor', () => {
    const event = eventOf({
      '/f/serif.pfb': [face('Serif', 'Regular')],
      '/f/serif-bold.otf': [face('Serif', 'Bold', {weight: 700})],
      '/f/mono.t1': [face('Mono', 'Regular')],
      '/f/fixed.pcf.gz': [face('Fixed', 'Regular')],
      '/f/Chicago.DFONT': [face('Chicago', 'Regular')],
      '/f/cjk.ttc': [face('CJK', 'Regular', {postscript: 'CJK-R'})],
    });
    assert.deepEqual(event.noPreview.map((k) => event.files[k]),
        ['/f/serif.pfb', '/f/mono.t1', '/f/fixed.pcf.gz', '/f/Chicago.DFONT']);
    assert.deepEqual(h.familiesOf(event).map((f) => f.faces.map((x) => x.postscript)),
        [['Chicago-Regular'], ['CJK-R'], ['Fixed-Regular'], ['Mono-Regular'],
          ['Serif-Regular', 0]]);
  });

  it('SortsManyNumberedNamesAsTheCollatorDoes', () => {
    const names = [];
    for (let i = 0; i < 500; i++) names.push(`Font ${(i * 7) % 500}`, `font-${i}`, `Ärger ${i}`, `_${i}x`);
    const files = Object.fromEntries(names.map((n, i) => [`/f/${i}.ttf`, [face(n, 'Regular')]]));
    const collator = new Intl.Collator(undefined, {sensitivity: 'base', numeric: true});
    assert.deepEqual(eventOf(files).families,
        [...names].sort((a, b) => collator.compare(a, b) || (a < b ? -1 : 1)));
  });
});

describe('origin checks', () => {
  const port = 47000;

  it('AcceptsOnlyItsOwnHostAndPort', () => {
    for (const host of ['127.0.0.1:47000', 'localhost:47000', 'LocalHost:47000']) {
      assert.ok(isAllowedHost(host, port), host);
    }
    for (const host of [undefined, '', '127.0.0.1', '127.0.0.1:47001', 'evil.example:47000',
      'localhost.evil.example:47000', '[::1]:47000', '127.0.0.1:47000.evil']) {
      assert.ok(!isAllowedHost(host, port), String(host));
    }
  });

  it('PostOnlyFromItsOwnPage', () => {
    for (const scheme of ['http', 'https']) {
      assert.ok(isOwnPagePost({origin: `${scheme}://127.0.0.1:47000`}, port));
      assert.ok(isOwnPagePost({origin: `${scheme}://LocalHost:47000`,
        'sec-fetch-site': 'same-origin'}, port));
    }
    for (const headers of [{}, {origin: 'null'}, {origin: 'ftp://127.0.0.1:47000'},
      {origin: 'https://127.0.0.1:47001'}, {origin: 'http://127.0.0.1:47001'},
      {origin: 'https://evil.example'}, {origin: 'http://evil.example:47000'},
      {origin: 'http://127.0.0.1:47000', 'sec-fetch-site': 'same-site'}]) {
      assert.ok(!isOwnPagePost(headers, port), JSON.stringify(headers));
    }
  });

  it('RefusesCrossSiteSubresourcesButNotOpeningThePage', () => {
    const foreign = (method, pathname, headers) =>
      isForeignRequest(method, pathname, headers, port);
    assert.ok(!foreign('GET', '/font', {}));
    assert.ok(!foreign('GET', '/events', {'sec-fetch-site': 'same-origin'}));
    assert.ok(!foreign('GET', '/', {'sec-fetch-site': 'none', 'sec-fetch-mode': 'navigate'}));
    assert.ok(!foreign('GET', '/', {'sec-fetch-site': 'cross-site', 'sec-fetch-mode': 'navigate'}));
    assert.ok(foreign('GET', '/catalogue.json', {origin: 'https://evil.example'}));
    assert.ok(foreign('GET', '/font', {'sec-fetch-site': 'cross-site', 'sec-fetch-mode': 'no-cors'}));
    assert.ok(foreign('GET', '/catalogue.json', {'sec-fetch-site': 'same-site'}));
    assert.ok(foreign('POST', '/', {'sec-fetch-site': 'cross-site', 'sec-fetch-mode': 'navigate'}));
    // The consent page opens in a site's window, never in its frame.
    const opened = (dest) => ({'sec-fetch-site': 'cross-site', 'sec-fetch-mode': 'navigate',
      'sec-fetch-dest': dest});
    assert.ok(!foreign('GET', '/consent', opened('document')));
    assert.ok(foreign('GET', '/consent', opened('iframe')));
    assert.ok(foreign('GET', '/', opened('iframe')));
    assert.ok(foreign('GET', '/consent.js', opened('document')));
    assert.ok(foreign('GET', '/consent', {...opened('document'), origin: 'https://evil.example'}));
  });
});

describe('fontMediaType', () => {
  it('NamesTypesFromTheFilesFirstBytes', () => {
    const t = (bytes) => fontMediaType(Buffer.from(bytes, 'latin1'));
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

  it('CutsEachFaceOutWithItsOwnTables', async () => {
    for (const [name, font] of [['Alpha-Regular', alpha], ['Beta-Bold', beta], ['Gamma-Mac', mac]]) {
      const cut = await collectionFace(collection, name);
      assert.ok(cut, name);
      assert.equal(fontMediaType(cut), 'font/ttf');
      assert.deepEqual(fontTables(cut), fontTables(font), name);
    }
  });

  it('CutsEveryFaceOfAnInstalledCollection',
      {skip: !fs.existsSync(kZenHei) && `${kZenHei} is missing`},
      async () => {
        const data = fs.readFileSync(kZenHei);
        for (const [index, name] of ['WenQuanYiZenHei', 'WenQuanYiZenHeiMono',
          'WenQuanYiZenHeiSharp'].entries()) {
          const cut = await collectionFace(data, name);
          assert.ok(cut, name);
          assert.ok(cut.length <= data.length, name);
          assert.deepEqual(fontTables(cut), fontTables(data, data.readUInt32BE(12 + 4 * index)),
              name);
        }
      });

  it('NoSuchFaceOrNoCollectionGivesNothing', async () => {
    assert.equal(await collectionFace(collection, 'Delta'), null);
    assert.equal(await collectionFace(collection, 'Alpha'), null);
    assert.equal(await collectionFace(alpha, 'Alpha-Regular'), null);
  });

  it('DamagedCollectionNeverThrows', async () => {
    // Cut short anywhere: the face is whole or not there (only the last
    // table's padding may go).
    for (let n = 0; n < collection.length; n++) {
      const cut = await collectionFace(collection.subarray(0, n), 'Gamma-Mac');
      if (cut !== null) assert.deepEqual(fontTables(cut), fontTables(mac), `${n} bytes`);
      assert.ok(cut === null || n >= collection.length - 3, `${n} bytes`);
    }
    const lying = Buffer.from(collection);
    lying.writeUInt32BE(0xffffffff, 8);  // font count
    assert.equal(await collectionFace(lying, 'Alpha-Regular'), null);
    const offsets = Buffer.from(collection);
    offsets.writeUInt32BE(0xfffffff0, 12);  // first font's directory
    assert.equal(await collectionFace(offsets, 'Alpha-Regular'), null);
    assert.ok(await collectionFace(offsets, 'Beta-Bold'));
  });

  // Tables that lie outside the file or on each other would make the cut
  // face larger than the file: such a face is not cut.
  it('RefusesAFaceWhoseTablesOverlapOrLeaveTheFile', async () => {
    const betaAt = collection.readUInt32BE(16);  // Beta-Bold's directory
    const record = (k) => betaAt + 12 + 16 * k;  // its tables: 'name', 'zzzz'
    const edit = (change) => {
      const copy = Buffer.from(collection);
      change(copy);
      return copy;
    };
    const cases = {
      'table past the end': edit((c) => c.writeUInt32BE(collection.length, record(1) + 12)),
      'table offset past the end':
          edit((c) => c.writeUInt32BE(collection.length + 4, record(1) + 8)),
      'length wrapping 32 bits': edit((c) => c.writeUInt32BE(0xfffffffc, record(1) + 12)),
      'empty table past the end': edit((c) => {
        c.writeUInt32BE(0, record(1) + 12);
        c.writeUInt32BE(collection.length + 300, record(1) + 8);
      }),
      'both tables at one place': edit((c) => c.writeUInt32BE(c.readUInt32BE(record(0) + 8),
          record(1) + 8)),
      'table over the next one': edit((c) => c.writeUInt32BE(c.readUInt32BE(record(1) + 12) +
          c.readUInt32BE(record(1) + 8) - c.readUInt32BE(record(0) + 8), record(0) + 12)),
    };
    for (const [name, bad] of Object.entries(cases)) {
      assert.equal(await collectionFace(bad, 'Beta-Bold'), null, name);
      assert.ok(await collectionFace(bad, 'Alpha-Regular'), `${name}: the other faces stay`);
    }
    // Empty tables take no room: they overlap nothing.
    const empty = edit((c) => {
      c.writeUInt32BE(0, record(1) + 12);
      c.writeUInt32BE(c.readUInt32BE(record(0) + 8), record(1) + 8);
    });
    assert.ok(await collectionFace(empty, 'Beta-Bold'));
  });

  it('AnswersNoMoreThanTheFileHolds', {skip: !fs.existsSync(kDejaVu) && `${kDejaVu} is missing`},
      async () => {
        const dejavu = fs.readFileSync(kDejaVu);
        const spanning = makeSpanningCollection(dejavu, 2000);
        assert.equal(await collectionFace(spanning, 'DejaVuSans'), null);
        const honest = makeSpanningCollection(dejavu, 0);
        const cut = await collectionFace(honest, 'DejaVuSans');
        assert.ok(cut.length <= honest.length);
        assert.deepEqual(fontTables(cut), fontTables(dejavu));
      });
});

describe('readFontFacts', () => {
  const kFonts = {
    sans: kDejaVu,
    mono: '/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf',
    inter: '/usr/share/fonts/truetype/inter-vf/Inter.var.ttf',
    gothic: '/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf',
    symbols: '/usr/share/fonts/opentype/urw-base35/StandardSymbolsPS.otf',
    zenhei: kZenHei,
  };
  const missing = Object.values(kFonts).find((f) => !fs.existsSync(f));
  const codes = (covers) => covers && covers.map((k) => kLanguages[k].code);
  const factsOf = async (data) => {
    const faces = await readFontFacts(async (o, n) => data.subarray(o, o + n), data.length,
        kLanguages);
    return faces && faces.map((f) => ({...f, covers: codes(f.covers)}));
  };

  it('ReadsCoverageSpacingAndAxesOfRealFonts', {skip: missing && `${missing} is missing`},
      async () => {
        const facts = {};
        for (const [name, file] of Object.entries(kFonts)) {
          facts[name] = await factsOf(fs.readFileSync(file));
        }
        assert.deepEqual(facts.sans, [{postscript: null, mono: false, axes: null, sample: null,
          covers: ['latin', 'cyrillic', 'greek', 'armenian', 'georgian', 'hebrew', 'arabic']}]);
        assert.equal(facts.mono[0].mono, true);
        assert.deepEqual(facts.inter[0].axes, [['wght', 100, 400, 900], ['slnt', -10, 0, 0]]);
        // Japanese, and no character only Chinese writes.
        assert.deepEqual(facts.gothic[0].covers, ['latin', 'cyrillic', 'greek', 'ja']);
        assert.deepEqual(facts.symbols[0].covers.slice(0, 1), ['latin']);  // a format 4 map
        // A collection's faces by name.
        assert.deepEqual(facts.zenhei.map((f) => [f.postscript, f.covers.slice(-4)]), [
          ['WenQuanYiZenHei', ['zh-hans', 'zh-hant', 'ja', 'ko']],
          ['WenQuanYiZenHeiMono', ['zh-hans', 'zh-hant', 'ja', 'ko']],
          ['WenQuanYiZenHeiSharp', ['zh-hans', 'zh-hant', 'ja', 'ko']]]);
      });

  it('AFaceOfNoListedLanguageOffersItsOwnLetters', async () => {
    const text = '\u{11700}\u{11701}\u{11702}\u{11703}\u{11704}\u{11705} 0123 ሀለ';
    assert.deepEqual(await factsOf(makeFactsFont('Ahom', text)), [{postscript: null,
      mono: false, axes: null, covers: [], sample: '\u{11700}\u{11701}\u{11702}\u{11703}' +
        '\u{11704} \u{11705}'}]);
    // The basic plane's map of the same font has only the Ethiopic letters.
    assert.equal((await factsOf(makeFactsFont('Ahom', text, {format: 4})))[0].sample, 'ሀለ');
  });

  // A table that does not hold together leaves its fact unknown.
  it('MalformedTablesLeaveTheirFactsUnknown', async () => {
    const font = makeFactsFont('Cyr', 'AZazБЖЯбжя', {mono: true, axes: [['wdth', 75, 100, 125]]});
    const tables = fontTables(font);
    const at = (tag) => font.indexOf(Buffer.from(tag)) + 8;
    const broken = Buffer.from(font);
    broken.writeUInt32BE(font.length, at('cmap'));  // the map lies past the end
    broken.writeUInt16BE(0xffff, tables.get('fvar').data.byteOffset - font.byteOffset + 8);
    broken.writeUInt32BE(8, at('post') + 4);  // too short to say
    assert.deepEqual(await factsOf(broken), [{postscript: null, mono: false, axes: null,
      covers: null, sample: null}]);
    assert.equal(await factsOf(Buffer.from('wOF2 and the rest')), null);
    assert.equal(await factsOf(font.subarray(0, 20)), null);
  });
});

describe('FaceCutter', () => {
  let dir;
  before(() => { dir = tempDir('kavri-cutter-'); });
  after(() => fs.rmSync(dir, {recursive: true, force: true}));

  const names = Array.from({length: 12}, (_, i) => `Face-${i}`);
  const fonts = names.map((n) => makeFont(n, {filler: n.slice(-1)}));

  // The collection's file, open, with its reads counted.
  async function openCounted(file) {
    const handle = await fs.promises.open(file);
    const counted = {reads: 0, now: 0, most: 0, close: () => handle.close()};
    counted.read = async (...args) => {
      counted.reads += 1;
      counted.most = Math.max(counted.most, ++counted.now);
      try {
        return await handle.read(...args);
      } finally {
        counted.now -= 1;
      }
    };
    counted.stat = () => handle.stat({bigint: true});
    return counted;
  }

  it('CutsEachFaceOnceAndAgainOnlyWhenTheFileChanges', async () => {
    const file = path.join(dir, 'once.ttc');
    fs.writeFileSync(file, makeCollection(fonts.slice(0, 2)));
    const cutter = new FaceCutter();
    const handle = await openCounted(file);
    try {
      const st = await handle.stat();
      const together = await Promise.all(Array.from({length: 20},
          () => cutter.plan(handle, st, 'Face-1')));
      assert.equal(cutter.cuts, 1);
      const reads = handle.reads;
      const later = await cutter.plan(handle, st, 'Face-1');
      assert.ok(together.every((p) => p === later));
      assert.equal(handle.reads, reads, 'a cached face reads nothing');
      assert.equal(await cutter.plan(handle, st, 'Nobody'), null);
      assert.equal(await cutter.plan(handle, st, 'Nobody'), null);
      assert.equal(cutter.cuts, 2, 'no such face is remembered too');

      // Rewritten in place at the same size: only the change time tells,
      // and the clock behind it ticks in milliseconds.
      let changed = st;
      while (changed.ctimeNs === st.ctimeNs) {
        await new Promise((resolve) => setTimeout(resolve, 1));
        fs.writeFileSync(file, makeCollection([fonts[1], fonts[0]]));
        changed = await handle.stat();
      }
      const recut = await cutter.plan(handle, changed, 'Face-1');
      assert.equal(cutter.cuts, 3);
      assert.notDeepEqual(recut.pieces, later.pieces);
    } finally {
      await handle.close();
    }
  });

  it('RunsAFewCutsAtOnceAndKeepsWithinItsBudget', async () => {
    const file = path.join(dir, 'many.ttc');
    fs.writeFileSync(file, makeCollection(fonts));
    const cutter = new FaceCutter({cacheBytes: 2000});
    const handle = await openCounted(file);
    try {
      const st = await handle.stat();
      const plans = await Promise.all(names.map((n) => cutter.plan(handle, st, n)));
      assert.ok(plans.every(Boolean));
      assert.equal(cutter.cuts, names.length);
      assert.ok(handle.most <= 2, `${handle.most} cuts read at once`);
      // Only the most recent fit in 2000 bytes: the first is cut again.
      await cutter.plan(handle, st, names[names.length - 1]);
      assert.equal(cutter.cuts, names.length);
      await cutter.plan(handle, st, names[0]);
      assert.equal(cutter.cuts, names.length + 1);
    } finally {
      await handle.close();
    }
  });
});

describe('socket owners', () => {
  // Lines as the kernel writes them: sl local remote st queues tr retrnsmt uid.
  const entry = (local, remote, state, uid) =>
    `   0: ${local} ${remote} ${state} 00000000:00000000 00:00000000 00000000 ${uid} 0 123 1`;
  const header =
      '  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid';
  const le = require('os').endianness() === 'LE';
  const v4 = (a, b, c, d) => (le ? [d, c, b, a] : [a, b, c, d])
      .map((n) => n.toString(16).padStart(2, '0')).join('').toUpperCase();
  const mapped = (...ip) => `0000000000000000${le ? 'FFFF0000' : '0000FFFF'}${v4(...ip)}`;
  const port = (n) => n.toString(16).toUpperCase().padStart(4, '0');

  it('ReadsIPv4AndMappedAddressesOnly', () => {
    assert.equal(tableEndpoint(`${v4(127, 0, 0, 1)}:${port(8080)}`), '127.0.0.1:8080');
    assert.equal(tableEndpoint(`${mapped(127, 0, 0, 2)}:${port(443)}`), '127.0.0.2:443');
    assert.equal(tableEndpoint(`${'0'.repeat(31)}1:${port(80)}`), null);  // ::1
    for (const bad of ['', ':', '0100007F', '0100007F:', '0100007G:0050', '0100007F:50',
      '0100007F0:0050', `${v4(127, 0, 0, 1)}:${port(1)}:1`]) {
      assert.equal(tableEndpoint(bad), null, bad);
    }
  });

  it('FindsTheUidOfTheClientEndAndNothingElse', async () => {
    const dir = tempDir('kavri-owners-');
    try {
      const server = `${v4(127, 0, 0, 1)}:${port(47823)}`;
      const tcp = path.join(dir, 'tcp');
      const tcp6 = path.join(dir, 'tcp6');
      // Our own end, a time-wait entry of an earlier connection from the
      // same port, and the client end (uid 1000) of the connection asked for;
      // a second client on IPv6 (uid 1001); padding past one page of reads.
      fs.writeFileSync(tcp, [header,
        entry(server, `${v4(127, 0, 0, 1)}:${port(50000)}`, '01', 0),
        ...Array.from({length: 2000}, (_, i) =>
          entry(`${v4(10, 0, 0, 1)}:${port(i + 1)}`, `${v4(10, 0, 0, 2)}:0050`, '01', 7)),
        entry(`${v4(127, 0, 0, 1)}:${port(50000)}`, server, '06', 0),
        entry(`${v4(127, 0, 0, 1)}:${port(50000)}`, server, '01', 1000),
        entry(`${v4(127, 0, 0, 1)}:${port(50002)}`, server, '06', 0), ''].join('\n'));
      fs.writeFileSync(tcp6, [header,
        entry(`${mapped(127, 0, 0, 1)}:${port(50001)}`, `${mapped(127, 0, 0, 1)}:${port(47823)}`,
            '01', 1001), ''].join('\n'));
      const owners = new PeerOwners([tcp, path.join(dir, 'missing'), tcp6]);
      const accepted = (remotePort, remoteAddress = '127.0.0.1') =>
        ({remoteAddress, remotePort, localAddress: '127.0.0.1', localPort: 47823});
      assert.deepEqual(await Promise.all([
        owners.uidOf(accepted(50000)), owners.uidOf(accepted(50001, '::ffff:127.0.0.1')),
        owners.uidOf(accepted(50002)), owners.uidOf(accepted(50003)),
        owners.uidOf({remoteAddress: undefined}),
      ]), [1000, 1001, null, null, null]);
    } finally {
      fs.rmSync(dir, {recursive: true, force: true});
    }
  });
  it('FindsWhoListensOnAPortForLoopback', async () => {
    const owner = (lines, lines6 = []) => listenerOwner(47823, ['tcp', 'tcp6'],
        async (table) => [header, ...(table === 'tcp' ? lines : lines6)].join('\n'));
    const any6 = `${'0'.repeat(32)}:${port(47823)}`;
    // Only a listener on 127.0.0.1 or on every address holds 127.0.0.1's port.
    const others = [
      entry(`${v4(127, 0, 0, 2)}:${port(47823)}`, '00000000:0000', '0A', 5),
      entry(`${v4(127, 0, 0, 1)}:${port(47824)}`, '00000000:0000', '0A', 6),
      entry(`${v4(127, 0, 0, 1)}:${port(47823)}`, `${v4(127, 0, 0, 1)}:${port(50000)}`, '01', 7),
    ];
    assert.equal(await owner(others), null);
    assert.equal(await owner([...others,
      entry(`${v4(127, 0, 0, 1)}:${port(47823)}`, '00000000:0000', '0A', 1000)]), 1000);
    assert.equal(await owner([...others,
      entry(`${v4(0, 0, 0, 0)}:${port(47823)}`, '00000000:0000', '0A', 1001)]), 1001);
    assert.equal(await owner(others, [entry(any6, `${'0'.repeat(32)}:0000`, '0A', 1002)]), 1002);
    assert.equal(await owner(others, [entry(`${mapped(127, 0, 0, 1)}:${port(47823)}`,
        `${'0'.repeat(32)}:0000`, '0A', 1003)]), 1003);
    assert.equal(await listenerOwner(47823, ['/nonexistent/tcp']), null);
  });

  it('LooksAgainForAnEntryAReadingMissed', async () => {
    const server = `${v4(127, 0, 0, 1)}:${port(47823)}`;
    const client = entry(`${v4(127, 0, 0, 1)}:${port(50000)}`, server, '01', 1000);
    // The entry shows only in the third reading, as when sockets closing
    // elsewhere shift it past a reader twice.
    let readings = 0;
    const owners = new PeerOwners(['tcp'],
        async () => [header, ...(++readings >= 3 ? [client] : [])].join('\n'));
    const accepted = {remoteAddress: '127.0.0.1', remotePort: 50000, localAddress: '127.0.0.1',
      localPort: 47823};
    assert.equal(await owners.uidOf(accepted), 1000);
    assert.equal(readings, 3);
    // Never listed: given up on after a few readings.
    readings = -100;
    assert.equal(await owners.uidOf(accepted), null);
    assert.ok(readings < -90);
  });
});

describe('account files', () => {
  it('LiveWhereTheBaseDirectoriesSay', () => {
    assert.equal(rememberedPortFile({HOME: '/home/a'}), '/home/a/.local/state/kavri/port');
    assert.equal(rememberedPortFile({HOME: '/home/a', XDG_STATE_HOME: '/s'}), '/s/kavri/port');
    // Relative base directories do not count.
    assert.equal(rememberedPortFile({HOME: '/home/a', XDG_STATE_HOME: 's'}),
        '/home/a/.local/state/kavri/port');
    assert.equal(rememberedPortFile({HOME: 'a'}), null);
    assert.equal(rememberedPortFile({}), null);
    assert.equal(addressFile({XDG_RUNTIME_DIR: '/run/user/7'}), '/run/user/7/kavri/address');
    for (const runtime of [undefined, '', 'run']) {
      assert.equal(addressFile({HOME: '/home/a', XDG_RUNTIME_DIR: runtime}), null);
    }
  });

  it('TakeOnlyAPortAndALineFeedAndReplaceTheirFilesWhole', () => {
    const dir = tempDir('kavri-account-');
    try {
      const file = path.join(dir, 'state', 'kavri', 'port');
      const logged = [];
      const say = (line) => logged.push(line);
      assert.equal(readRememberedPort(file, say), null);
      assert.deepEqual(logged, [], 'no file yet is nothing to say');
      rememberPort(file, 47823, say);
      assert.equal(fs.readFileSync(file, 'utf8'), '47823\n');
      assert.equal(readRememberedPort(file, say), 47823);
      assert.equal(fs.statSync(path.dirname(file)).mode & 0o777, 0o700);
      assert.equal(fs.statSync(path.join(dir, 'state')).mode & 0o777, 0o700);
      rememberPort(file, 1024, say);
      assert.equal(readRememberedPort(file, say), 1024);
      assert.deepEqual(fs.readdirSync(path.dirname(file)), ['port'], 'no temporary file is left');
      assert.equal(logged.length, 2);
      assert.match(logged[1], /^remembering port 1024 for this account in .*\/kavri\/port$/);

      for (const text of ['', '47823', '47823\n\n', ' 47823\n', '+4782\n', '4782x\n',
        '0\n', '1023\n', '65536\n', '123456\n', '47823\r\n', '\u0660\n', '9'.repeat(1 << 20)]) {
        fs.writeFileSync(file, text);
        logged.length = 0;
        assert.equal(readRememberedPort(file, say), null, JSON.stringify(text.slice(0, 20)));
        assert.match(logged[0], /^ignoring the remembered port: .*(holds no port|over 16 bytes)/);
      }
      fs.rmSync(file);
      execFileSync('mkfifo', [file]);  // nobody writes it: a blocking read would hang
      logged.length = 0;
      assert.equal(readRememberedPort(file, say), null);
      assert.match(logged[0], /not a regular file/);
      rememberPort(file, 47824, say);
      assert.equal(readRememberedPort(file, say), 47824);

      // What cannot be written is said, not thrown.
      logged.length = 0;
      rememberPort(path.join(file, 'below'), 47825, say);
      assert.match(logged[0], /^cannot remember port 47825 in /);
    } finally {
      fs.rmSync(dir, {recursive: true, force: true});
    }
  });
});

describe('RepeatLog', () => {
  it('LogsAKindOnceAWindowThenHowOftenItCameAgain', async () => {
    const lines = [];
    let summarised;
    const summary = new Promise((resolve) => { summarised = resolve; });
    const log = new RepeatLog(50, (line) => {
      lines.push(line);
      if (lines.length === 3) summarised();
    });
    for (let i = 0; i < 5; i++) log.note('stall', 'dropped a reader');
    log.note('tls', 'a handshake failed');
    assert.deepEqual(lines, ['dropped a reader', 'a handshake failed']);
    await summary;
    assert.equal(lines[2], 'dropped a reader (4 times in the last 0.05 s)');
  });
});

describe('parsePort', () => {
  it('DefaultsToAFixedPortAndTakesZero', () => {
    assert.deepEqual(parsePort(undefined), {port: kDefaultPort, fixed: false});
    assert.deepEqual(parsePort('0'), {port: 0, fixed: true});
    assert.deepEqual(parsePort('8443'), {port: 8443, fixed: true});
    for (const bad of ['-1', '65536', '80a', ' 80', '1e3']) assert.ok(parsePort(bad).error, bad);
  });
});
