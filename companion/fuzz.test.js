'use strict';
// Random-mutation fuzzing of the parsers of outside input in the companion
// server: catalogue lines (through the line framing, checked against
// JSON.parse), the collection face cutter, the font table reader and the
// face view's readers. Inputs
// come from a seeded generator, so a failure
// names the seed and run that reproduce it. Each target runs for a bounded
// time; a longer run:
//
//   COMPANION_FUZZ_SECONDS=600 COMPANION_FUZZ_SEED=7 node --test companion/fuzz.test.js

const assert = require('node:assert/strict');
const {describe, it} = require('node:test');
const {isUtf8} = require('buffer');
const {faceRecord, parseCatalogue} = require('./server/catalogue.js');
const {catalogueEvent} = require('./server/catalogue_event.js');
const {collectionFace, planCollectionFace} = require('./server/collection_face.js');
const {groupFamilies} = require('./server/families.js');
const {LineReader} = require('./server/line_reader.js');
const {readFontFacts} = require('./server/font_tables.js');
const {readSpecimen} = require('./server/specimen.js');
const {kLanguages} = require('./server/languages.js');
const {isAllowable, parseSites} = require('./server/allowed_sites.js');
const {kStride} = require('./server/catalogue.js');
const {faceList, fullNameOf} = require('./server/web_api.js');
const {face, makeFactsFont, makeFont, makeCollection, makeSpanningCollection} =
    require('./tests/harness.js');
const {makeSpecimenFont} = require('./tests/specimen_fonts.js');

const kSeconds = Number(process.env.COMPANION_FUZZ_SECONDS || 2);
const kSeed = Number(process.env.COMPANION_FUZZ_SEED || 1) >>> 0;

// xorshift32: small, fast and the same on every runtime.
function generator(seed) {
  let x = seed || 0x9e3779b9;
  const next = () => {
    x ^= x << 13;
    x ^= x >>> 17;
    x ^= x << 5;
    return x >>> 0;
  };
  const below = (n) => (n <= 0 ? 0 : next() % n);
  const pick = (list) => list[below(list.length)];
  return {next, below, pick, chance: (p) => next() / 2 ** 32 < p};
}

const kInteresting32 = [0, 1, 3, 4, 12, 16, 0x7fffffff, 0x80000000, 0xfffffffc, 0xffffffff];
const kInteresting16 = [0, 1, 2, 0x7fff, 0x8000, 0xffff];

// One to four random edits of `input`: bit flips, bytes, interesting 16-
// and 32-bit values at aligned places, inserted, removed, repeated or
// cut-off ranges, or a splice with another seed.
function mutate(rng, input, seeds) {
  let data = Buffer.from(input);
  for (let edits = 1 + rng.below(4); edits > 0; edits--) {
    const at = rng.below(data.length + 1);
    switch (rng.below(9)) {
      case 0:
        if (data.length) data[rng.below(data.length)] ^= 1 << rng.below(8);
        break;
      case 1:
        if (data.length) data[rng.below(data.length)] = rng.below(256);
        break;
      case 2: {
        const pos = rng.below(Math.max(1, data.length >> 2)) * 4;
        if (pos + 4 <= data.length) {
          data.writeUInt32BE(rng.pick([...kInteresting32, data.length]), pos);
        }
        break;
      }
      case 3: {
        const pos = rng.below(Math.max(1, data.length >> 1)) * 2;
        if (pos + 2 <= data.length) data.writeUInt16BE(rng.pick(kInteresting16), pos);
        break;
      }
      case 4: {
        const bytes = Buffer.from(Array.from({length: 1 + rng.below(8)}, () => rng.below(256)));
        data = Buffer.concat([data.subarray(0, at), bytes, data.subarray(at)]);
        break;
      }
      case 5:
        data = Buffer.concat([data.subarray(0, at), data.subarray(at + 1 + rng.below(16))]);
        break;
      case 6: {
        const from = rng.below(data.length);
        const piece = data.subarray(from, from + 1 + rng.below(32));
        data = Buffer.concat([data.subarray(0, at), piece, data.subarray(at)]);
        break;
      }
      case 7:
        data = data.subarray(0, at);
        break;
      default: {
        const other = rng.pick(seeds);
        const from = rng.below(other.length);
        data = Buffer.concat([data.subarray(0, at), other.subarray(from, from + rng.below(64))]);
      }
    }
  }
  return data;
}

// A JSON text with one value somewhere in it replaced by an odd one: what
// byte edits seldom reach past the JSON syntax.
const kOddValues = [99, 100, 900, 901, 0, 10, 400.5, -0, 1e3, '700', '', 'x', '/abs', '__proto__',
  true, null, [], {}, [{}], {family: 'F'}];
function mutateJson(rng, input) {
  const value = JSON.parse(input.toString());
  const containers = [];
  const walk = (v) => {
    if (v === null || typeof v !== 'object') return;
    containers.push(v);
    Object.values(v).forEach(walk);
  };
  walk(value);
  const target = rng.pick(containers);
  const keys = Object.keys(target);
  const odd = structuredClone(rng.pick(kOddValues));
  if (keys.length === 0 || rng.chance(0.2)) {
    const key = Array.isArray(target) ? target.length : rng.pick(['/new.ttf', 'rel.ttf', 'extra']);
    target[key] = odd;
  } else if (rng.chance(0.1)) {
    delete target[rng.pick(keys)];
  } else {
    target[rng.pick(keys)] = odd;
  }
  return Buffer.from(JSON.stringify(value));
}

// Runs `check(input)` on mutated seeds until the time is up. Returns the
// number of runs; a failure says which run of which seed to replay.
async function fuzz(t, seeds, check, structured = null) {
  const rng = generator(kSeed);
  const deadline = process.hrtime.bigint() + BigInt(Math.round(kSeconds * 1e9));
  let runs = 0;
  for (const seed of seeds) await check(seed);
  while (runs % 256 !== 0 || process.hrtime.bigint() < deadline) {
    const input = structured && rng.chance(0.5) ? structured(rng, rng.pick(seeds))
                                                : mutate(rng, rng.pick(seeds), seeds);
    runs += 1;
    try {
      await check(input);
    } catch (e) {
      e.message = `run ${runs} with COMPANION_FUZZ_SEED=${kSeed}, input ` +
          `${input.toString('base64')}: ${e.message}`;
      throw e;
    }
  }
  return runs;
}

// The records of a catalogue line as JSON.parse reads it, or null where the
// server must refuse the line.
function plainReading(line) {
  if (!isUtf8(line)) return null;
  let value;
  try {
    value = JSON.parse(line.toString());
  } catch (e) {
    return null;
  }
  if (value === null || typeof value !== 'object' || Array.isArray(value)) return null;
  const text = (v) => v === undefined || typeof v === 'string';
  const valid = (r) => r !== null && typeof r === 'object' && !Array.isArray(r) &&
      typeof r.family === 'string' && typeof r.style === 'string' &&
      typeof r.postscript === 'string' && Number.isInteger(r.weight) && r.weight >= 100 &&
      r.weight <= 900 && Number.isInteger(r.stretch) && r.stretch >= 1 && r.stretch <= 9 &&
      typeof r.italic === 'boolean' && text(r.localizedFamily) && text(r.localizedStyle);
  const files = Object.entries(value);
  return files.every(([file, faces]) => file.startsWith('/') && !file.includes('\0') &&
      Array.isArray(faces) && faces.every(valid)) ? files : null;
}

// A catalogue is taken whole, every record as JSON.parse reads it, or
// refused whole; also where JSON.parse would take it, when a path comes
// twice (JSON.parse keeps the last).
function checkCatalogue(line, outcomes) {
  const result = parseCatalogue(line);
  const outcome = result.error !== undefined ? result.error.replace(/:? (at byte|").*/s, '')
                                             : 'taken';
  outcomes.set(outcome, (outcomes.get(outcome) || 0) + 1);
  const plain = plainReading(line);
  if (result.error !== undefined) {
    assert.equal(result.catalogue, undefined);
    const twice = /^a font path comes twice: (.*)$/s.exec(result.error);
    assert.ok(plain === null || (twice && plain.some(([file]) => file === JSON.parse(twice[1]))),
        `refused what JSON.parse takes: ${result.error}`);
    return;
  }
  assert.ok(plain !== null, 'took what must be refused');
  const {catalogue} = result;
  assert.deepEqual(catalogue.bytes, line);
  assert.deepEqual(catalogue.files.texts(), plain.map(([file]) => file));
  const records = Array.from({length: catalogue.faceCount}, (_, f) => faceRecord(catalogue, f));
  const expected = plain.flatMap(([, faces]) => faces.map((r) => {
    const record = {family: r.family, style: r.style, postscript: r.postscript, weight: r.weight,
      stretch: r.stretch, italic: r.italic};
    if (r.localizedFamily !== undefined) record.localizedFamily = r.localizedFamily;
    if (r.localizedStyle !== undefined) record.localizedStyle = r.localizedStyle;
    return record;
  }));
  assert.deepEqual(records, expected);
  const grouping = groupFamilies(catalogue);
  catalogueEvent(1, catalogue, grouping);
  // Web apps get the same faces, their texts copied from the line.
  const list = JSON.parse(faceList({generation: 1, catalogue, grouping, facts: null}));
  const listed = Array.from(grouping.order, (f) => records[f]);
  assert.deepEqual(list.family.map((k) => list.families[k]), listed.map((r) => r.family));
  assert.deepEqual(list.style, listed.map((r) => r.style));
  assert.deepEqual(list.fullName, listed.map((r) => fullNameOf(r.family, r.style)));
  assert.deepEqual(list.postscriptName, listed.map((r) => r.postscript));
  assert.deepEqual(list.localizedFamily, listed.map((r) => r.localizedFamily || 0));
  assert.deepEqual(list.file.map((k) => list.files[k]),
      Array.from(grouping.order, (f) => catalogue.files.text(catalogue.rows[f * kStride])));
}

// A cut face is a font whose directory points, in order, at copies of the
// file's ranges the plan names, each padded to 4 bytes.
function checkCutFace(face, plan, data) {
  assert.equal(face.length, plan.size);
  assert.deepEqual(face.subarray(0, plan.head.length), plan.head);
  let at = plan.head.length;
  plan.pieces.forEach((p, k) => {
    assert.equal(face.readUInt32BE(12 + 16 * k + 8), at);
    assert.equal(face.readUInt32BE(12 + 16 * k + 12), p.length);
    assert.deepEqual(face.subarray(at, at + p.length),
        data.subarray(p.offset, p.offset + p.length));
    assert.ok(face.subarray(at + p.length, at + p.padded).every((b) => b === 0));
    at += p.padded;
  });
}

describe('fuzzing', () => {
  it('CatalogueLinesAreTakenWholeOrRefusedWhole', async (t) => {
    const seeds = [
      {},
      {'/usr/share/fonts/a.ttf': [face('Alpha', 'Regular')]},
      {'/f/b.ttc': [face('Beta', 'Bold', {weight: 700}), face('Beta', 'Italic', {italic: true,
        stretch: 3, localizedFamily: 'Бета', localizedStyle: 'Курсив'})], '/f/c.otf': []},
      {'/__proto__': [face('明朝', 'Regular', {postscript: 'Mincho\u0000'})]},
    ].map((c) => Buffer.from(JSON.stringify(c)));
    const outcomes = new Map();
    const runs = await fuzz(t, seeds, (line) => {
      // Framed as the pipe may deliver it: in pieces, then a line feed.
      const lines = [];
      const reader = new LineReader(1 << 20, (l) => lines.push(l), () => {});
      for (let at = 0; at < line.length; at += 1 + (line[at] % 7)) {
        reader.push(line.subarray(at, at + 1 + (line[at] % 7)));
      }
      reader.push(Buffer.from('\n'));
      const expected = line.toString('latin1').split('\n');
      assert.deepEqual(lines.map((l) => l.toString('latin1')), expected);

      for (const one of lines) checkCatalogue(one, outcomes);
    }, mutateJson);
    t.diagnostic(`${runs} runs (seed ${kSeed}); outcomes: ` +
        [...outcomes].map(([k, n]) => `${k} ${n}`).join(', '));
  });

  it('CutFacesLieInsideTheFileAndAreNoLargerThanIt', async (t) => {
    const names = ['Alpha-Regular', 'Beta-Bold', 'Gamma-Mac'];
    const fonts = [makeFont(names[0], {filler: 'a'}), makeFont(names[1], {filler: 'bb'}),
      makeFont(names[2], {platform: 1, filler: 'ccc'})];
    const seeds = [makeCollection(fonts), makeCollection(fonts.slice(1)),
      makeSpanningCollection(fonts[0], 3), makeSpanningCollection(fonts[1], 0)];
    let cut = 0;
    const runs = await fuzz(t, seeds, async (data) => {
      const read = async (offset, length) => data.subarray(offset, offset + length);
      for (const name of names) {
        const plan = await planCollectionFace(read, data.length, name);
        if (plan === null) continue;
        cut += 1;
        assert.ok(plan.size <= data.length, `${plan.size} bytes cut from ${data.length}`);
        assert.equal(plan.head.length, 12 + 16 * plan.pieces.length);
        const spans = plan.pieces.filter((p) => p.length > 0).sort((a, b) => a.offset - b.offset);
        spans.forEach((p, k) => {
          assert.ok(p.offset + p.length <= data.length);
          assert.ok(k === 0 || spans[k - 1].offset + spans[k - 1].length <= p.offset);
        });
        checkCutFace(await collectionFace(data, name), plan, data);
      }
    });
    t.diagnostic(`${runs} runs (seed ${kSeed}); ${cut} faces cut`);
  });

  // Whatever the bytes, an allowed-sites file allows only origins that may
  // be allowed, exactly as browsers send them, or nothing.
  it('AllowedSitesFilesAllowOnlyAllowableOrigins', async (t) => {
    const seeds = ['https://app.example\nhttp://localhost:3000\n',
      '# mine\nhttps://[2001:db8::1]:8443\nhttp://[::1]\n', 'http://127.0.0.1:5173\n\n']
        .map((text) => Buffer.from(text));
    let allowed = 0;
    const runs = await fuzz(t, seeds, (data) => {
      const read = parseSites(data);
      if (read.error) return assert.deepEqual(Object.keys(read), ['error']);
      for (const origin of read.sites) {
        const url = new URL(origin);
        assert.equal(url.origin, origin);
        assert.ok(url.protocol === 'https:' ||
            ['localhost', '127.0.0.1', '[::1]'].includes(url.hostname), origin);
        assert.ok(isAllowable(origin));
        allowed += 1;
      }
      return undefined;
    });
    t.diagnostic(`${runs} runs (seed ${kSeed}); ${allowed} origins allowed`);
  });

  // Whatever the bytes, the facts come out as facts or null, never more
  // reading than the file holds.
  it('FontFactsAreFactsOrUnknown', async (t) => {
    const text = 'AZazБЖЯбжяאבשת\u{11700}\u{11701}ሀለ';
    const seeds = [makeFactsFont('Alpha', text, {mono: true, axes: [['wght', 100, 400, 900]]}),
      makeFactsFont('Beta', text, {format: 4}),
      makeCollection([makeFactsFont('Gamma', 'AZaz'), makeFactsFont('Delta', text)])];
    let known = 0;
    const runs = await fuzz(t, seeds, async (data) => {
      let read = 0;
      const faces = await readFontFacts(async (offset, length) => {
        read += length;
        return data.subarray(offset, offset + length);
      }, data.length, kLanguages);
      assert.ok(read <= 16 * data.length + 64, `${read} bytes read of ${data.length}`);
      if (faces === null) return;
      for (const f of faces) {
        assert.ok(f.postscript === null || typeof f.postscript === 'string');
        assert.equal(typeof f.mono, 'boolean');
        assert.ok(f.axes === null || f.axes.every(([tag, ...v]) => tag.length === 4 &&
            v.every(Number.isFinite)));
        assert.ok(f.covers === null || f.covers.every((k) => kLanguages[k]));
        assert.ok(f.sample === null || (typeof f.sample === 'string' && f.sample.length <= 40));
        if (f.covers) known += 1;
      }
    });
    t.diagnostic(`${runs} runs (seed ${kSeed}); ${known} faces' coverage read`);
  });

  // Whatever the bytes, a face's view holds together: characters as sorted
  // runs that add up to its count, a few hundred features at most, axes
  // whose default lies in their range, notes as text.
  it('FaceViewsHoldTogetherOrAreNull', async (t) => {
    const text = 'AZazБЖЯбжяאבשת\u{11700}\u{11701}ሀለ';
    const seeds = [makeSpecimenFont(text), makeFactsFont('Beta', text, {format: 4}),
      makeCollection([makeSpecimenFont('AZaz'), makeFactsFont('Delta', text)])];
    let shown = 0;
    const runs = await fuzz(t, seeds, async (data) => {
      let read = 0;
      const view = await readSpecimen(async (offset, length) => {
        read += length;
        return data.subarray(offset, offset + length);
      }, data.length, null);
      assert.ok(read <= 16 * data.length + 64, `${read} bytes read of ${data.length}`);
      if (view === null) return;
      shown += 1;
      if (view.characters) {
        const r = view.characters.runs;
        let count = 0;
        for (let k = 0; k < r.length; k += 2) {
          assert.ok(r[k] <= r[k + 1] && r[k + 1] <= 0x10ffff && (k === 0 || r[k - 1] < r[k]));
          count += r[k + 1] - r[k] + 1;
        }
        assert.equal(count, view.characters.count);
      }
      assert.ok(view.features.length <= 256);
      for (const f of view.features) assert.ok(f.tag.length === 4 && typeof f.name === 'string');
      for (const a of view.axes) assert.ok(a.min <= a.default && a.default <= a.max);
      for (const i of view.instances) {
        for (const a of view.axes) {
          const v = i.coordinates[a.tag];
          assert.ok(a.min <= v && v <= a.max);
        }
      }
      assert.ok(view.notes.every((n) => typeof n === 'string'));
      assert.ok(Object.values(view.names).every((n) => typeof n === 'string'));
      JSON.stringify(view);
    });
    t.diagnostic(`${runs} runs (seed ${kSeed}); ${shown} views read`);
  });
});
