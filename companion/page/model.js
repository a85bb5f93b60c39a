// The catalogue as the page holds it: the server's columns as they came
// (doc/protocol.md), the facts read from the files as they come, and which
// families the search and the filters let through. Tens of thousands of
// faces: numbers in typed arrays, nothing made per face until it is shown.
import {kFactBits, kLanguages} from './shared.js';

export const kWeights = [[100, 'Thin'], [200, 'Extra Light'], [300, 'Light'], [400, 'Regular'],
  [500, 'Medium'], [600, 'Semi Bold'], [700, 'Bold'], [800, 'Extra Bold'], [900, 'Black']];
export const kWidths = ['ultra-condensed', 'extra-condensed', 'condensed', 'semi-condensed',
  'normal', 'semi-expanded', 'expanded', 'extra-expanded', 'ultra-expanded'];
// font-stretch of each width class, for a variable face's 'wdth' axis.
export const kWidthPercent = [50, 62.5, 75, 87.5, 100, 112.5, 125, 150, 200];

const kNoFilters = Object.freeze({slant: '', weightMin: 100, weightMax: 900, widthMin: 1,
  widthMax: 9, mono: false, variable: false, language: ''});

export function noFilters() {
  return {...kNoFilters};
}

export function filtersActive(f) {
  return Object.keys(kNoFilters).some((k) => f[k] !== kNoFilters[k]);
}

// Whether the filters ask for what only the files' facts tell.
export function filtersNeedFacts(f) {
  return f.mono || f.variable || f.language !== '';
}

export class Catalogue {
  constructor(summary) {
    this.generation = summary.generation;
    this.faceCount = summary.faces;
    this.files = summary.files;
    this.noPreview = new Uint8Array(this.files.length);
    for (const file of summary.noPreview) this.noPreview[file] = 1;
    this.families = summary.families;
    this.names = summary.names;
    // Family k's faces are first[k] to first[k + 1].
    this.first = new Int32Array(this.families.length + 1);
    summary.counts.forEach((n, k) => { this.first[k + 1] = this.first[k] + n; });
    this.file = Int32Array.from(summary.file);
    this.styles = summary.styles;
    this.postscripts = summary.postscripts;
    this.kinds = Int32Array.from(summary.kinds);
    this.facts = new Int32Array(this.faceCount);
    this.extra = new Map();
    this.factsKnown = 0;
    this.keys_ = null;
  }

  name(family) {
    return this.names[family] || this.families[family];
  }

  weight(face) {
    return Math.floor(this.kinds[face] / 100);
  }

  stretch(face) {
    return Math.floor(this.kinds[face] / 10) % 10;
  }

  italic(face) {
    return this.kinds[face] % 10 === 1;
  }

  path(face) {
    return this.files[this.file[face]];
  }

  // The family the face belongs to.
  familyOf(face) {
    let lo = 0;
    let hi = this.families.length - 1;
    while (lo < hi) {
      const mid = (lo + hi + 1) >> 1;
      if (this.first[mid] <= face) lo = mid; else hi = mid - 1;
    }
    return lo;
  }

  showable(face) {
    return this.noPreview[this.file[face]] === 0;
  }

  url(face) {
    const postscript = this.postscripts[face];
    return '/font?path=' + encodeURIComponent(this.path(face)) +
        (postscript ? '&postscript=' + encodeURIComponent(postscript) : '');
  }

  // The lower-case names the search looks in, made when first searched.
  keys() {
    if (!this.keys_) {
      this.keys_ = this.families.map((f, k) => (this.names[k] ? this.names[k] + '\n' + f : f)
          .toLowerCase());
    }
    return this.keys_;
  }

  // Takes the facts of a facts event or answer ({generation, facts: [face,
  // bits, ...], extra}); returns the faces they were for, or null when they
  // belong to another catalogue.
  takeFacts(news) {
    if (news.generation !== this.generation) return null;
    const faces = [];
    for (let k = 0; k < news.facts.length; k += 2) {
      const face = news.facts[k];
      if (this.facts[face] === 0) this.factsKnown += 1;
      this.facts[face] = news.facts[k + 1];
      faces.push(face);
    }
    for (const [face, extra] of Object.entries(news.extra)) this.extra.set(Number(face), extra);
    return faces;
  }

  factsRead(face) {
    return this.facts[face] !== 0;
  }

  covers(face, language) {
    return (this.facts[face] & (kFactBits.firstLanguage << language)) !== 0;
  }

  // The languages the face is known to cover, by index, or null when its
  // characters are not known.
  coverage(face) {
    if (!(this.facts[face] & kFactBits.mapped)) return null;
    return kLanguages.map((_, k) => k).filter((k) => this.covers(face, k));
  }

  // Its variation axes by tag ({wght: [min, default, max]}), or null.
  axes(face) {
    const extra = this.extra.get(face);
    return extra && extra.axes ? Object.fromEntries(extra.axes.map(([t, ...r]) => [t, r])) : null;
  }

  // Whether the face passes the filters.
  passes(face, f, language) {
    const kind = this.kinds[face];
    const weight = Math.floor(kind / 100);
    const stretch = Math.floor(kind / 10) % 10;
    if (f.slant !== '' && (kind % 10 === 1) !== (f.slant === 'italic')) return false;
    if (weight < f.weightMin || weight > f.weightMax) return false;
    if (stretch < f.widthMin || stretch > f.widthMax) return false;
    const facts = this.facts[face];
    if (f.mono && !(facts & kFactBits.mono)) return false;
    if (f.variable && !(facts & kFactBits.variable)) return false;
    return language < 0 || (facts & (kFactBits.firstLanguage << language)) !== 0;
  }

  // The family's face to show under the filters: the first that passes
  // them that a browser can show, else the first that passes; -1 if none.
  // A family's faces come best first.
  faceFor(family, f, language = languageIndex(f.language)) {
    let found = -1;
    for (let face = this.first[family]; face < this.first[family + 1]; face++) {
      if (!this.passes(face, f, language)) continue;
      if (this.showable(face)) return face;
      if (found < 0) found = face;
    }
    return found;
  }
}

export function languageIndex(code) {
  return kLanguages.findIndex((l) => l.code === code);
}

// The families that match `query` and the filters, in order, each with the
// face to show it in: {families, faces} (Int32Arrays), and how many faces
// match in all. Only the families `among` are looked at, if given: a query
// that holds the last one matches no family the last one did not.
export function findMatches(cat, query, f, among = null) {
  const active = filtersActive(f);
  const language = languageIndex(f.language);
  const keys = query ? cat.keys() : null;
  const n = among ? among.length : cat.families.length;
  const families = new Int32Array(n);
  const faces = new Int32Array(n);
  let count = 0;
  let faceCount = 0;
  for (let i = 0; i < n; i++) {
    const k = among ? among[i] : i;
    if (keys && !keys[k].includes(query)) continue;
    const face = cat.faceFor(k, f, language);
    if (face < 0) continue;
    families[count] = k;
    faces[count++] = face;
    if (!active) {
      faceCount += cat.first[k + 1] - cat.first[k];
    } else {
      for (let i = cat.first[k]; i < cat.first[k + 1]; i++) {
        if (cat.passes(i, f, language)) faceCount += 1;
      }
    }
  }
  return {families: families.subarray(0, count), faces: faces.subarray(0, count), faceCount};
}
