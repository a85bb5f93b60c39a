'use strict';
// The OpenType features a face offers, from its 'GSUB' and 'GPOS' feature
// lists: each tag once, with the name the font gives it (stylistic sets and
// character variants name themselves through the 'name' table) or its
// registered name. Only the lists and the few parameter records that hold
// names are read, never the lookups.

const kMaxFeatureRecords = 16384;
const kMaxFeatures = 256;  // distinct tags shown: real fonts have at most a hundred or so

// Registered features by tag, named as a reader would say them.
const kRegistered = new Map(Object.entries({
  aalt: 'Access all alternates', abvf: 'Above-base forms', abvm: 'Above-base mark positioning',
  abvs: 'Above-base substitutions', afrc: 'Alternative fractions', akhn: 'Akhand',
  blwf: 'Below-base forms', blwm: 'Below-base mark positioning',
  blws: 'Below-base substitutions', c2pc: 'Petite capitals from capitals',
  c2sc: 'Small capitals from capitals', calt: 'Contextual alternates',
  case: 'Case-sensitive forms', ccmp: 'Glyph composition and decomposition',
  cfar: 'Conjunct form after ro', chws: 'Contextual half-width spacing',
  cjct: 'Conjunct forms', clig: 'Contextual ligatures', cpct: 'Centred CJK punctuation',
  cpsp: 'Capital spacing', cswh: 'Contextual swash', curs: 'Cursive positioning',
  dist: 'Distances', dlig: 'Discretionary ligatures', dnom: 'Denominators',
  dtls: 'Dotless forms', expt: 'Expert forms', falt: 'Final glyph on line alternates',
  fin2: 'Terminal forms #2', fin3: 'Terminal forms #3', fina: 'Terminal forms',
  flac: 'Flattened accent forms', frac: 'Fractions', fwid: 'Full widths', half: 'Half forms',
  haln: 'Halant forms', halt: 'Alternate half widths', hist: 'Historical forms',
  hkna: 'Horizontal kana alternates', hlig: 'Historical ligatures', hngl: 'Hangul',
  hojo: 'Hojo kanji forms', hwid: 'Half widths', init: 'Initial forms', isol: 'Isolated forms',
  ital: 'Italics', jalt: 'Justification alternates', jp78: 'JIS78 forms', jp83: 'JIS83 forms',
  jp90: 'JIS90 forms', jp04: 'JIS2004 forms', kern: 'Kerning', lfbd: 'Left bounds',
  liga: 'Standard ligatures', ljmo: 'Leading jamo forms', lnum: 'Lining figures',
  locl: 'Localised forms', ltra: 'Left-to-right alternates',
  ltrm: 'Left-to-right mirrored forms', mark: 'Mark positioning', med2: 'Medial forms #2',
  medi: 'Medial forms', mgrk: 'Mathematical Greek', mkmk: 'Mark to mark positioning',
  mset: 'Mark positioning via substitution', nalt: 'Alternate annotation forms',
  nlck: 'NLC kanji forms', nukt: 'Nukta forms', numr: 'Numerators', onum: 'Oldstyle figures',
  opbd: 'Optical bounds', ordn: 'Ordinals', ornm: 'Ornaments',
  palt: 'Proportional alternate widths', pcap: 'Petite capitals', pkna: 'Proportional kana',
  pnum: 'Proportional figures', pref: 'Pre-base forms', pres: 'Pre-base substitutions',
  pstf: 'Post-base forms', psts: 'Post-base substitutions', pwid: 'Proportional widths',
  qwid: 'Quarter widths', rand: 'Randomise', rclt: 'Required contextual alternates',
  rkrf: 'Rakar forms', rlig: 'Required ligatures', rphf: 'Reph form', rtbd: 'Right bounds',
  rtla: 'Right-to-left alternates', rtlm: 'Right-to-left mirrored forms',
  ruby: 'Ruby notation forms', rvrn: 'Required variation alternates',
  salt: 'Stylistic alternates', sinf: 'Scientific inferiors', size: 'Optical size',
  smcp: 'Small capitals', smpl: 'Simplified forms', ssty: 'Math script-style alternates',
  stch: 'Stretching glyph decomposition', subs: 'Subscript', sups: 'Superscript',
  swsh: 'Swash', titl: 'Titling', tjmo: 'Trailing jamo forms', tnam: 'Traditional name forms',
  tnum: 'Tabular figures', trad: 'Traditional forms', twid: 'Third widths', unic: 'Unicase',
  valt: 'Alternate vertical metrics', vatu: 'Vattu variants',
  vchw: 'Vertical contextual half-width spacing', vert: 'Vertical writing',
  vhal: 'Alternate vertical half metrics', vjmo: 'Vowel jamo forms',
  vkna: 'Vertical kana alternates', vkrn: 'Vertical kerning',
  vpal: 'Proportional alternate vertical metrics', vrt2: 'Vertical alternates and rotation',
  vrtr: 'Vertical alternates for rotation', zero: 'Slashed zero',
}));

// Four printable characters, none a quote or backslash: the page writes tags
// into CSS strings.
function isTag(tag) {
  return /^[\x20\x21\x23-\x5b\x5d-\x7e]{4}$/.test(tag);
}

const kNamedSet = /^(ss(0[1-9]|1\d|20)|cv(0[1-9]|[1-9]\d))$/;

// The registered name of `tag`, or ''.
function registeredName(tag) {
  if (kRegistered.has(tag)) return kRegistered.get(tag);
  if (/^ss(0[1-9]|1\d|20)$/.test(tag)) return `Stylistic set ${Number(tag.slice(2))}`;
  if (/^cv(0[1-9]|[1-9]\d)$/.test(tag)) return `Character variant ${Number(tag.slice(2))}`;
  return '';
}

// The feature list of one layout table (`table`, a directory record):
// [{tag, params}] for each record, params the offset of its parameters (0
// when none), with a note when it does not hold together.
async function featureRecords(take, table, notes) {
  if (!table) return [];
  const label = `the ${table.tag} table`;
  const head = table.length >= 10 ? await take(table.offset, 10) : null;
  if (!head || head.readUInt16BE(0) !== 1) {
    notes.push(`${label} cannot be read`);
    return [];
  }
  const listAt = head.readUInt16BE(6);
  const listHead = listAt + 2 <= table.length ? await take(table.offset + listAt, 2) : null;
  if (!listHead) {
    notes.push(`${label}'s feature list lies outside it`);
    return [];
  }
  const count = listHead.readUInt16BE(0);
  const fits = Math.min(count, kMaxFeatureRecords,
      Math.floor((table.length - listAt - 2) / 6));
  if (fits < count) notes.push(`${label} lists ${count} features but holds ${fits}`);
  const records = await take(table.offset + listAt + 2, 6 * fits);
  if (!records) return [];
  const out = [];
  for (let k = 0; k < fits; k++) {
    const tag = records.toString('latin1', 6 * k, 6 * k + 4);
    if (!isTag(tag)) continue;
    out.push({tag, at: listAt + records.readUInt16BE(6 * k + 4)});
  }
  return out;
}

// The name ID a stylistic set's or character variant's parameters give, or 0.
async function uiNameId(take, table, featureAt) {
  if (featureAt + 2 > table.length) return 0;
  const head = await take(table.offset + featureAt, 2);
  const paramsAt = head ? head.readUInt16BE(0) : 0;
  if (paramsAt === 0 || featureAt + paramsAt + 4 > table.length) return 0;
  const params = await take(table.offset + featureAt + paramsAt, 4);
  return params && params.readUInt16BE(0) === 0 ? params.readUInt16BE(2) : 0;
}

// The face's features: [{tag, name, own (the font's own name for it, '' when
// it gives none)}] in tag order, each tag once; `names` the face's 'name'
// strings.
async function readFeatures(take, dir, names, notes) {
  const found = new Map();  // tag -> {table, at}
  let dropped = 0;
  for (const tag of ['GSUB', 'GPOS']) {
    const table = dir.tables.find((t) => t.tag === tag);
    for (const {tag: feature, at} of await featureRecords(take, table, notes)) {
      if (found.has(feature)) continue;
      if (found.size >= kMaxFeatures) {
        dropped += 1;
        continue;
      }
      found.set(feature, {table, at});
    }
  }
  if (dropped > 0) notes.push(`${dropped} more features left out`);
  const features = [];
  for (const [tag, {table, at}] of [...found].sort(([a], [b]) => (a < b ? -1 : a > b ? 1 : 0))) {
    let own = '';
    if (kNamedSet.test(tag)) {
      const id = await uiNameId(take, table, at);
      own = (id && names.get(id)) || '';
    }
    features.push({tag, name: own || registeredName(tag), own});
  }
  return features;
}

module.exports = {isTag, readFeatures, registeredName};
