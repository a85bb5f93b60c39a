// What each face shows: the reader's text, or the family's name, where the
// face covers the writing it is in; else a text in a language the face
// covers, or a few of its own characters, with a note that says so.
import {kLanguages} from './shared.js';

// The writings each language is written in, as Unicode scripts.
const kScriptsOf = new Map([['latin', ['Latin']], ['cyrillic', ['Cyrillic']],
  ['greek', ['Greek']], ['armenian', ['Armenian']], ['georgian', ['Georgian']],
  ['hebrew', ['Hebrew']], ['arabic', ['Arabic']], ['devanagari', ['Devanagari']],
  ['bengali', ['Bengali']], ['tamil', ['Tamil']], ['thai', ['Thai']], ['ethiopic', ['Ethiopic']],
  ['zh-hans', ['Han']], ['zh-hant', ['Han']], ['ja', ['Hiragana', 'Katakana', 'Han']],
  ['ko', ['Hangul']]]);
const kScripts = [...new Set([...kScriptsOf.values()].flat())].map((name) => ({
  name, pattern: new RegExp(`\\p{Script=${name}}`, 'u'),
  languages: kLanguages.flatMap((l, k) => (kScriptsOf.get(l.code).includes(name) ? [k] : [])),
}));

// Scripts by their ISO 15924 codes, to name the writing of a face's own
// characters; those this browser does not know are left out.
const kScriptCodes = ('Adlm Aghb Ahom Arab Armi Armn Avst Bali Bamu Bass Batk Beng Bhks Bopo ' +
  'Brah Brai Bugi Buhd Cakm Cans Cari Cham Cher Chrs Copt Cpmn Cprt Cyrl Deva Diak Dogr Dsrt ' +
  'Dupl Egyp Elba Elym Ethi Geor Glag Gong Gonm Goth Gran Grek Gujr Guru Hang Hani Hano Hatr ' +
  'Hebr Hira Hluw Hmng Hmnp Hung Ital Java Kali Kana Kawi Khar Khmr Khoj Kits Knda Kthi Lana ' +
  'Laoo Latn Lepc Limb Lina Linb Lisu Lyci Lydi Mahj Maka Mand Mani Marc Medf Mend Merc Mero ' +
  'Mlym Modi Mong Mroo Mtei Mult Mymr Nagm Nand Narb Nbat Newa Nkoo Nshu Ogam Olck Orkh Orya ' +
  'Osge Osma Ougr Palm Pauc Perm Phag Phli Phlp Phnx Plrd Prti Rjng Rohg Runr Samr Sarb Saur ' +
  'Sgnw Shaw Shrd Sidd Sind Sinh Sogd Sogo Sora Soyo Sund Sylo Syrc Tagb Takr Tale Talu Taml ' +
  'Tang Tavt Telu Tfng Tglg Thaa Thai Tibt Tirh Tnsa Toto Ugar Vaii Vith Wara Wcho Xpeo Xsux ' +
  'Yezi Yiii Zanb').split(' ').flatMap((code) => {
  try {
    return [{code, pattern: new RegExp(`\\p{Script=${code}}`, 'u')}];
  } catch (e) {
    return [];
  }
});
const kScriptNames = new Intl.DisplayNames(undefined, {type: 'script', fallback: 'none'});

const scriptsOfText = new Map();  // text -> the kScripts its letters are in

function scriptsIn(text) {
  let found = scriptsOfText.get(text);
  if (!found) {
    found = kScripts.filter((s) => s.pattern.test(text));
    if (scriptsOfText.size > 1000) scriptsOfText.clear();
    scriptsOfText.set(text, found);
  }
  return found;
}

// The name of the writing `text` begins in, or ''.
function writingOf(text) {
  const first = String.fromCodePoint(text.codePointAt(0));
  const script = kScriptCodes.find((s) => s.pattern.test(first));
  return (script && kScriptNames.of(script.code)) || '';
}

// {text, note} for `face` of `cat`, to show `wanted` (the reader's text or
// the family's name). The note is '' when the face shows `wanted` itself.
export function sampleFor(cat, face, wanted) {
  const covered = cat.coverage(face);
  if (!covered) return {text: wanted, note: ''};
  const missing = scriptsIn(wanted).filter((s) => !s.languages.some((k) => covered.includes(k)));
  if (missing.length === 0) return {text: wanted, note: ''};
  const lacks = `no ${missing.map((s) => s.name).join(' or ')} letters`;
  if (covered.length > 0) {
    const language = kLanguages[covered[0]];
    return {text: language.sample, note: `in ${language.name}: the face has ${lacks}`};
  }
  const own = cat.extra.get(face);
  if (own && own.sample) {
    const writing = writingOf(own.sample);
    return {text: own.sample, note: `in ${writing ? writing + ', ' : ''}its own characters: ` +
        `the face has ${lacks}`};
  }
  return {text: wanted, note: ''};
}
