'use strict';
// The face view's readers without a process: what real fonts' own tables say
// (characters mapped, features and their names, axes and named instances,
// who made them), what hostile tables leave (their part empty, a note, never
// an exception), each face's view read once per file version, and
// Unicode's names where the system has them.

const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const {describe, it} = require('node:test');
const {FaceCutter} = require('./server/face_cutter.js');
const {readNames} = require('./server/sfnt_names.js');
const {readSpecimen} = require('./server/specimen.js');
const {SpecimenRoutes} = require('./server/specimen_routes.js');
const {UnicodeData} = require('./server/unicode_data.js');
const h = require('./tests/harness.js');
const {layoutTable, makeSpecimenFont, sfnt} = require('./tests/specimen_fonts.js');

const kFonts = {
  dejavu: '/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf',
  wqy: '/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc',
  inter: '/usr/share/fonts/opentype/inter/Inter-Regular.otf',
  interVariable: '/usr/share/fonts/truetype/inter-vf/Inter.var.ttf',
};
const missing = Object.values(kFonts).find((f) => !fs.existsSync(f));
const skipFonts = missing && `${missing} is missing (fonts-dejavu-core, fonts-wqy-zenhei, ` +
    'fonts-inter, fonts-inter-variable)';

// Reads `data` whole from memory, counting what is read.
function memoryReader(data) {
  const reader = async (offset, length) => {
    reader.bytes += length;
    return data.subarray(offset, offset + length);
  };
  reader.bytes = 0;
  return reader;
}

async function specimenOf(data, postscript = null) {
  const read = memoryReader(data);
  const view = await readSpecimen(read, data.length, postscript);
  assert.ok(read.bytes <= 2 * data.length + 1024, `read ${read.bytes} of ${data.length} bytes`);
  return view;
}

const specimenOfFile = (file, postscript) => specimenOf(fs.readFileSync(file), postscript);

// DejaVu Sans's tables with some replaced.
function dejavuWith(replaced) {
  const tables = new Map([...h.fontTables(fs.readFileSync(kFonts.dejavu))]
      .map(([tag, t]) => [tag, t.data]));
  for (const [tag, bytes] of Object.entries(replaced)) tables.set(tag, bytes);
  return sfnt(tables);
}

describe('readSpecimen', {skip: skipFonts}, () => {
  it('ReadsWhatRealFontsSayOfThemselves', async () => {
    const dejavu = await specimenOfFile(kFonts.dejavu);
    assert.equal(dejavu.glyphCount, 6253);
    assert.equal(dejavu.characters.count, 5918);
    assert.equal(dejavu.unitsPerEm, 2048);
    // Its OS/2 table is older than the heights.
    assert.deepEqual([dejavu.xHeight, dejavu.capHeight], [null, null]);
    assert.equal(dejavu.names.version, 'Version 2.37');
    assert.equal(dejavu.names.manufacturer, 'DejaVu fonts team');
    assert.match(dejavu.names.licence, /^Fonts are \(c\) Bitstream/);
    const named = (view) => Object.fromEntries(view.features.map((f) => [f.tag, f.name]));
    assert.equal(named(dejavu).liga, 'Standard ligatures');
    assert.equal(named(dejavu).kern, 'Kerning');
    assert.deepEqual(dejavu.axes, []);
    assert.deepEqual(dejavu.notes, []);
    // The runs hold exactly the count, in order.
    const runs = dejavu.characters.runs;
    let count = 0;
    for (let k = 0; k < runs.length; k += 2) {
      assert.ok(runs[k] <= runs[k + 1] && (k === 0 || runs[k - 1] + 1 < runs[k]));
      count += runs[k + 1] - runs[k] + 1;
    }
    assert.equal(count, 5918);

    // The full-range map, not the basic plane's; each face of the collection.
    const wqy = await specimenOfFile(kFonts.wqy);
    assert.equal(wqy.characters.format, 12);
    assert.equal(wqy.characters.count, 42285);
    assert.equal(wqy.names.family, 'WenQuanYi Zen Hei');
    const mono = await specimenOfFile(kFonts.wqy, 'WenQuanYiZenHeiMono');
    assert.equal(mono.names.family, 'WenQuanYi Zen Hei Mono');
    assert.equal(await specimenOfFile(kFonts.wqy, 'NoSuchFace'), null);

    // Stylistic sets by the font's own names, registered features by theirs.
    const inter = await specimenOfFile(kFonts.inter);
    assert.equal(named(inter).ss01, 'Open digits');
    assert.equal(inter.features.find((f) => f.tag === 'ss01').own, 'Open digits');
    assert.equal(named(inter).tnum, 'Tabular figures');
    assert.equal(inter.features.find((f) => f.tag === 'tnum').own, '');
    assert.equal(inter.names.designer, 'Rasmus Andersson');
    assert.deepEqual([inter.unitsPerEm, inter.xHeight, inter.capHeight], [2816, 1536, 2048]);
    assert.equal(inter.names.licenceUrl, 'http://scripts.sil.org/OFL');

    const variable = await specimenOfFile(kFonts.interVariable);
    assert.deepEqual(variable.axes.map(({tag, name, min, default: d, max}) =>
      [tag, name, min, d, max]), [['wght', 'Weight', 100, 400, 900], ['slnt', 'Slant', -10, 0, 0]]);
    const names = variable.instances.map((i) => i.name);
    assert.ok(names.includes('Thin') && names.includes('Black Italic'), names.join(', '));
    assert.deepEqual(variable.instances.find((i) => i.name === 'Black Italic').coordinates,
        {wght: 900, slnt: -10});
  });

  it('NamesFeaturesAxesAndInstancesAsTheFontNamesThem', async () => {
    const view = await specimenOf(makeSpecimenFont('AZaz'));
    assert.deepEqual(view.features, [{tag: 'kern', name: 'Kerning', own: ''},
      {tag: 'liga', name: 'Standard ligatures', own: ''},
      {tag: 'ss01', name: 'Open forms', own: 'Open forms'}]);
    assert.deepEqual(view.axes, [
      {tag: 'wght', name: 'Weight', min: 100, default: 400, max: 900, hidden: false},
      {tag: 'wdth', name: 'Regular', min: 75, default: 100, max: 100, hidden: false}]);
    assert.deepEqual(view.instances, [{name: 'Light', coordinates: {wght: 300, wdth: 100}},
      {name: 'Heavy', coordinates: {wght: 900, wdth: 75}}]);
    assert.deepEqual([view.unitsPerEm, view.glyphCount, view.xHeight, view.capHeight],
        [1000, 64, 500, 700]);
    assert.deepEqual([view.characters.count, view.characters.runs],
        [4, [65, 65, 90, 90, 97, 97, 122, 122]]);
    assert.equal(view.names.licenceUrl, 'https://example.com/licence');
    assert.deepEqual(view.notes, []);
  });

  it('AFontCutShortNeverThrowsAndSaysWhatItLacks', async () => {
    const data = fs.readFileSync(kFonts.dejavu);
    // Cut inside each table the view reads, and before the directory ends.
    const read = ['name', 'cmap', 'GSUB', 'GPOS', 'head', 'maxp', 'OS/2'];
    const cuts = [0, 11, 12, 200];
    for (const [tag, {data: bytes}] of h.fontTables(data)) {
      if (read.includes(tag)) cuts.push(bytes.byteOffset - data.byteOffset + (bytes.length >> 1));
    }
    for (const size of cuts) {
      const view = await specimenOf(data.subarray(0, size));
      if (view === null) continue;
      assert.ok(view.notes.length > 0, `cut at ${size}: no note`);
    }
  });

  it('ALyingNameTableGivesWhatHoldsTogether', async () => {
    const name = h.fontTables(fs.readFileSync(kFonts.dejavu)).get('name').data;
    const lying = Buffer.from(name);
    const count = lying.readUInt16BE(2);
    lying.writeUInt16BE(count + 5000, 2);  // more records than it holds
    // The first record's string far outside the table.
    lying.writeUInt16BE(0xfff0, 6 + 10);
    const view = await specimenOf(dejavuWith({name: lying}));
    assert.equal(view.names.family, 'DejaVu Sans');
    assert.equal(view.characters.count, 5918);
    assert.ok(view.notes.some((n) => /lists \d+ names but holds/.test(n)), view.notes.join('; '));
    assert.ok(view.notes.some((n) => /lie outside it/.test(n)), view.notes.join('; '));

    // Thousands of names all pointing at one long string: the family's name
    // comes first, then as many as a bounded budget holds.
    const records = 4000;
    const text = Buffer.alloc(65534, 0x41);
    const family = Buffer.from('Long', 'utf16le').swap16();
    const strings = 6 + 12 * (records + 1);
    const many = Buffer.alloc(strings + text.length + family.length);
    many.writeUInt16BE(records + 1, 2);
    many.writeUInt16BE(strings, 4);
    for (let k = 0; k <= records; k++) {
      const [id, length, offset] = k === 0 ? [1, family.length, text.length]
                                           : [255 + k, text.length, 0];
      [3, 1, 0x409, id, length, offset].forEach((v, i) => many.writeUInt16BE(v, 6 + 12 * k + 2 * i));
    }
    text.copy(many, strings);
    family.copy(many, strings + text.length);
    const {names, notes} = readNames(many);
    assert.equal(names.get(1), 'Long');
    assert.ok(notes.some((n) => /too long to read them all/.test(n)), notes.join('; '));
    const chars = [...names.values()].reduce((n, name) => n + name.length, 0);
    assert.ok(chars <= 300 * 1024, `${chars} characters kept`);
    assert.equal((await specimenOf(dejavuWith({name: many}))).names.family, 'Long');
  });

  it('TenThousandFeaturesAreCutToAFewHundredWithANote', async () => {
    const tags = Array.from({length: 10000}, (_, k) => `f${String(k).padStart(3, '0')}`
        .slice(-4).replace(/^f/, String.fromCharCode(97 + (k % 26))));
    tags[0] = 'ss01';
    const view = await specimenOf(dejavuWith({GSUB: layoutTable(tags, 9999), GPOS:
      layoutTable(['kern', 'kern', '\x00\x01bad'])}));
    assert.equal(view.features.length, 256);
    assert.ok(view.notes.some((n) => /more features left out/.test(n)), view.notes.join('; '));
    // A set naming a name the font lacks gets its registered name.
    assert.deepEqual(view.features.find((f) => f.tag === 'ss01'),
        {tag: 'ss01', name: 'Stylistic set 1', own: ''});
    assert.equal(view.characters.count, 5918);
  });

  it('BrokenVariationsAndMapsLeaveTheirPartsEmptyWithANote', async () => {
    const fvar = Buffer.alloc(16 + 20 + 8);
    [1, 0, 16, 2, 1, 20, 60000, 8].forEach((v, k) => fvar.writeUInt16BE(v, 2 * k));
    fvar.write('wght', 16, 'latin1');
    [100, 400, 900].forEach((v, k) => fvar.writeInt32BE(v * 65536, 20 + 4 * k));
    // One instance fits of the 60,000 it lists.
    const lying = await specimenOf(dejavuWith({fvar}));
    assert.equal(lying.axes.length, 1);
    assert.equal(lying.instances.length, 1);
    assert.ok(lying.notes.some((n) => /lists 60000 named instances but 1/.test(n)));

    const upsideDown = Buffer.from(fvar);
    upsideDown.writeInt32BE(950 * 65536, 20);  // min above default
    const broken = await specimenOf(dejavuWith({fvar: upsideDown}));
    assert.deepEqual([broken.axes, broken.instances], [[], []]);
    assert.ok(broken.notes.some((n) => /axes do not hold together/.test(n)));

    // A full-range map claiming every code point has no more characters
    // than glyphs; an unreadable one none, said so.
    const maxp = h.fontTables(fs.readFileSync(kFonts.dejavu)).get('maxp').data;
    const few = Buffer.from(maxp);
    few.writeUInt16BE(100, 4);
    const cmap = Buffer.alloc(12 + 28);
    [0, 1, 3, 10].forEach((v, k) => cmap.writeUInt16BE(v, 2 * k));
    cmap.writeUInt32BE(12, 8);
    cmap.writeUInt16BE(12, 12);
    cmap.writeUInt32BE(28, 16);
    cmap.writeUInt32BE(1, 24);
    cmap.writeUInt32BE(0, 28);
    cmap.writeUInt32BE(0x7fffffff, 32);
    cmap.writeUInt32BE(1, 36);
    const everything = await specimenOf(dejavuWith({cmap, maxp: few}));
    assert.equal(everything.characters.count, 99);
    const none = await specimenOf(dejavuWith({cmap: Buffer.from('garbage!')}));
    assert.equal(none.characters, null);
    assert.ok(none.notes.includes('the character map cannot be read'));
  });
});

describe('SpecimenRoutes', {skip: skipFonts}, () => {
  it('ReadsEachFacesViewOncePerFileVersion', async () => {
    const dir = h.tempDir('kavri-specimen-');
    try {
      const file = path.join(dir, 'face.ttf');
      fs.copyFileSync(kFonts.dejavu, file);
      const cutter = new FaceCutter();
      let made = 0;
      const counted = cutter.specimen.bind(cutter);
      cutter.specimen = (stat, postscript, make) => counted(stat, postscript, () => {
        made += 1;
        return make();
      });
      const routes = new SpecimenRoutes(cutter);
      const [first, again] = await Promise.all([routes.specimen(file, null),
        routes.specimen(file, null)]);
      assert.equal(made, 1);
      assert.equal(first, again);
      const view = JSON.parse(first);
      assert.equal(view.characters.count, 5918);
      assert.equal(view.blocks[0][2], fs.existsSync('/usr/share/unicode/Blocks.txt')
          ? 'Basic Latin' : 'U+0000–U+00FF');
      fs.writeFileSync(file, fs.readFileSync(kFonts.interVariable));
      assert.equal(JSON.parse(await routes.specimen(file, null)).axes.length, 2);
      assert.equal(made, 2);
      assert.equal(await routes.specimen(path.join(dir, 'gone.ttf'), null), null);
    } finally {
      fs.rmSync(dir, {recursive: true, force: true});
    }
  });
});

describe('UnicodeData', () => {
  const skip = !fs.existsSync('/usr/share/unicode/UnicodeData.txt') &&
      'unicode-data is not installed';

  it('NamesCharactersListedInRangesAndMadeOfParts', {skip}, async () => {
    const unicode = new UnicodeData();
    assert.equal(await unicode.name(0x41), 'LATIN CAPITAL LETTER A');
    assert.equal(await unicode.name(0x0a), 'LINE FEED (LF)');
    assert.equal(await unicode.name(0x4e00), 'CJK UNIFIED IDEOGRAPH-4E00');
    assert.equal(await unicode.name(0xac01), 'HANGUL SYLLABLE GAG');
    assert.equal(await unicode.name(0xe000), null);
    assert.deepEqual(await unicode.blocksOf([0x41, 0x5a, 0xe9, 0x101]),
        [[0x41, 0x5a, 'Basic Latin'], [0xe9, 0xff, 'Latin-1 Supplement'],
          [0x100, 0x101, 'Latin Extended-A']]);
  });

  it('WithoutTheSystemsDataGroupsByRange', async () => {
    const unicode = new UnicodeData('/nonexistent');
    assert.equal(await unicode.name(0x41), null);
    assert.deepEqual(await unicode.blocksOf([0x41, 0x5a, 0x1f600, 0x1f600]),
        [[0x41, 0x5a, 'U+0000–U+00FF'], [0x1f600, 0x1f600, 'U+1F600–U+1F6FF']]);
  });
});

// The shipped server's routes: the face view's data only for files of the
// catalogue, only for its own page.
describe('the specimen routes', {skip: skipFonts, timeout: 4 * h.kWaitMs}, () => {
  it('AnswerTheirOwnPageForListedFilesOnly', async () => {
    const dir = h.tempDir('kavri-specimen-routes-');
    const server = h.spawnCompanion();
    try {
      const creds = h.makeCredentials(dir);
      server.send(`${creds.container};${creds.passphrase}\n`);
      server.send(JSON.stringify({[kFonts.wqy]: [h.face('WenQuanYi Zen Hei', 'Regular',
        {postscript: 'WenQuanYiZenHei'}), h.face('WenQuanYi Zen Hei Mono', 'Regular',
        {postscript: 'WenQuanYiZenHeiMono'})]}) + '\n');
      await server.stderr.waitFor('catalogue 1:');
      const port = await server.port();
      const get = (urlPath, headers = {}) => h.request(port, h.plain, {path: urlPath, headers});
      const wqy = encodeURIComponent(kFonts.wqy);
      const mono = await get(`/specimen?path=${wqy}&postscript=WenQuanYiZenHeiMono`);
      assert.equal(mono.status, 200);
      const view = JSON.parse(mono.body);
      assert.equal(view.names.family, 'WenQuanYi Zen Hei Mono');
      assert.ok(view.characters.count > 42000, String(view.characters.count));
      assert.ok(view.blocks.length > 10);
      assert.equal((await get(`/specimen?path=${encodeURIComponent(kFonts.dejavu)}`)).status, 404);
      assert.equal((await get(`/specimen?path=${wqy}&postscript=Nothing`)).status, 404);
      assert.equal((await get(`/specimen?path=${wqy}`, {Origin: 'https://example.com'})).status,
          403);
      assert.equal((await get(`/specimen?path=${wqy}`, {'Sec-Fetch-Site': 'cross-site'})).status,
          403);
      const a = await get('/character?cp=41');
      assert.equal(a.status, 200);
      assert.equal(JSON.parse(a.body).cp, 0x41);
      for (const bad of ['110000', '-1', 'zz', '1234567', '']) {
        assert.equal((await get(`/character?cp=${bad}`)).status, 400, bad);
      }
    } finally {
      await server.stop();
      fs.rmSync(dir, {recursive: true, force: true});
    }
  });
});
