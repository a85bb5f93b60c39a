// The page: the server's events bring the families, sorted, and then the
// facts read from their files. A library may hold tens of thousands of
// families, so the list holds only the families that match the search and
// the filters and that have come near the view, a batch at a time, and each
// sample gets its own face only once it scrolls near the view.
import {readAddress, writeAddress} from './address.js';
import {Comparison} from './comparison.js';
import {faceKey} from './face_keys.js';
import {FacePage} from './face_page.js';
import {setSpecimenText} from './face_view.js';
import {familyView} from './family_view.js';
import {Catalogue, filtersActive, filtersNeedFacts, findMatches, kWeights, kWidthPercent, kWidths,
  languageIndex, noFilters} from './model.js';
import {sampleFor} from './samples.js';
import {kLanguages} from './shared.js';

const kBatch = 40;  // families added to the list at a time: a few screens
const kMaxFactsAsked = 512;
const kRefilterMs = 300;  // at most this often as facts come in
const $ = (id) => document.getElementById(id);
const list = $('families');
const more = $('more');
const status = $('status');
const search = $('search');
const sampleText = $('sample-text');
const size = $('size');
const specimen = $('specimen');
const filterControls = ['slant', 'weight-min', 'weight-max', 'width-min', 'width-max', 'mono',
  'variable', 'language'].map($);

const option = (value, text) => new Option(text, String(value));
for (const id of ['weight-min', 'weight-max']) {
  $(id).append(...kWeights.map(([w, name]) => option(w, `${w} ${name}`)));
}
for (const id of ['width-min', 'width-max']) {
  $(id).append(...kWidths.map((name, k) => option(k + 1, name)));
}
$('language').append(...kLanguages.map((l) => option(l.code, l.name)));

let cat = null;
let query = '';
let filters = noFilters();
let matches = {families: new Int32Array(0), faces: new Int32Array(0), faceCount: 0};
let shown = 0;  // how many of the matches are in the list
let open = null;  // {key, item} of the family opened, item null while it is not listed

// Faces: each font URL a FontFace of its own, loaded once a sample of it
// comes near the view. A few load at a time, the ones asked for last by an
// opened family first, and a sample gone from the page by its turn is
// skipped: typing into the search leaves no queue of faces nobody sees in
// the way of the next ones.
const kMaxLoading = 4;  // of the browser's six connections, one is the events'
const fonts = new Map();  // font URL -> its FontFace
const urgent = [];  // [sample, face] in turn, before any of `waiting`
const waiting = [];
let loading = 0;

let loadQueued = false;

// Loads the face of `sample` once the page is done with what it is doing
// (the sample is then in the page), before the others if `first`.
function load(sample, face, first = false) {
  (first ? urgent : waiting).push([sample, face]);
  wantFacts(face);
  if (!loadQueued) queueMicrotask(loadNext);
  loadQueued = true;
}

// The FontFace of `face`, asked for now if it was not.
function fontOf(face) {
  const url = cat.url(face);
  let font = fonts.get(url);
  if (!font) {
    // Swapped in when loaded: the face view draws its text in a stand-in
    // font meanwhile; samples are given their family only once it loads.
    font = new FontFace('kavri-face-' + fonts.size, `url("${url}")`, {display: 'swap'});
    document.fonts.add(font);
    fonts.set(url, font);
    loading += 1;
    font.load().catch(() => {}).finally(() => {
      loading -= 1;
      loadNext();
    });
  }
  return font;
}

// The family name `face` is drawn in, once loaded; null when it cannot be.
function fontFor(face) {
  const font = fontOf(face);
  return font.loaded.then(() => font.family, () => null);
}

function loadNext() {
  loadQueued = false;
  while (loading < kMaxLoading && urgent.length + waiting.length > 0) {
    const [sample, face] = (urgent.length > 0 ? urgent : waiting).shift();
    if (!sample.isConnected) continue;
    const font = fontOf(face);
    font.loaded.then(() => show(sample, font), () => show(sample, null));
  }
}

// A named instance of a variable font is drawn at its place on the axes.
function variation(face) {
  const axes = cat.axes(face);
  if (!axes) return '';
  const clamp = ([min, , max], v) => Math.min(max, Math.max(min, v));
  const settings = [];
  if (axes.wght) settings.push(`"wght" ${clamp(axes.wght, cat.weight(face))}`);
  if (axes.wdth) settings.push(`"wdth" ${clamp(axes.wdth, kWidthPercent[cat.stretch(face) - 1])}`);
  if (cat.italic(face) && axes.ital) settings.push('"ital" 1');
  if (cat.italic(face) && axes.slnt && !axes.ital) settings.push(`"slnt" ${axes.slnt[0]}`);
  return settings.join(', ');
}

// The sample's text and note, as its face's facts allow. A sample gets its
// text only once its face has loaded: laid out in the fallback faces first,
// texts in dozens of scripts would cost a frame tens of milliseconds.
function dress(sample) {
  if (!sample.dataset.shown) return;
  const face = Number(sample.dataset.face);
  const wanted = sampleText.value || cat.name(Number(sample.dataset.family));
  let {text, note} = sampleFor(cat, face, wanted);
  if (sample.dataset.shown === 'failed') note = 'the browser could not load this face';
  if (sample.textContent !== text) sample.textContent = text;
  const noteElement = sample.parentElement.querySelector(':scope > .about > .note');
  if (noteElement.textContent !== note) noteElement.textContent = note;
  const settings = variation(face);
  if (sample.style.fontVariationSettings !== settings) {
    sample.style.fontVariationSettings = settings;
  }
}

function show(sample, font) {
  if (font) sample.style.fontFamily = `"${font.family}", sans-serif`;
  sample.dataset.shown = font ? 'loaded' : 'failed';
  dress(sample);
}

const faceObserver = new IntersectionObserver((entries) => {
  for (const entry of entries) {
    if (!entry.isIntersecting) continue;
    faceObserver.unobserve(entry.target);
    load(entry.target, Number(entry.target.dataset.face));
  }
}, {rootMargin: '600px'});


// Draws the sample of `face` once it comes near the view, or at once when
// `now` (a row certain to be in view).
function draw(sample, face, family, now = false) {
  sample.dataset.face = String(face);
  sample.dataset.family = String(family);
  const font = fonts.get(cat.url(face));
  if (font && font.status === 'loaded') {
    show(sample, font);  // in this frame, not the next
  } else if (now) {
    load(sample, face, true);
  } else {
    faceObserver.observe(sample);
  }
}

// Facts of the faces in view are asked for ahead of the server's walk.
const factsWanted = new Set();
let factsTimer = null;

function wantFacts(face) {
  if (cat.factsRead(face)) return;
  factsWanted.add(face);
  factsTimer = factsTimer || setTimeout(askFacts, 0);
}

async function askFacts() {
  factsTimer = null;
  const faces = [...factsWanted].slice(0, kMaxFactsAsked);
  for (const face of faces) factsWanted.delete(face);
  if (factsWanted.size > 0) factsTimer = setTimeout(askFacts, 0);
  try {
    const res = await fetch(`/facts?generation=${cat.generation}&faces=${faces.join(',')}`);
    if (res.ok) factsCame(await res.json());
  } catch (e) {
    // The walk brings them anyway.
  }
}

let refilterTimer = null;

function factsCame(news) {
  const faces = cat && cat.takeFacts(news);
  if (!faces) return;
  const fresh = new Set(faces);
  for (const sample of list.querySelectorAll('.sample[data-face]')) {
    if (fresh.has(Number(sample.dataset.face))) dress(sample);
  }
  if (filtersNeedFacts(filters)) {
    refilterTimer = refilterTimer || setTimeout(() => {
      refilterTimer = null;
      matched.cat = null;  // more faces may pass now
      refilter();
    }, kRefilterMs);
  } else {
    showStatus();
  }
}

function span(className, text) {
  const s = document.createElement('span');
  s.className = className;
  s.textContent = text;
  return s;
}

// The style names of a family, a few of them.
function styleSummary(family) {
  const names = [...new Set(cat.styles.slice(cat.first[family], cat.first[family + 1]))];
  return names.length <= 5 ? names.join(' · ')
                           : names.slice(0, 4).join(' · ') + ` · and ${names.length - 4} more`;
}

const familyOfItem = new WeakMap();

function familyItem(family, face) {
  const item = document.createElement('li');
  familyOfItem.set(item, family);
  item.className = 'family';
  item.tabIndex = 0;
  item.dataset.family = cat.families[family];
  item.setAttribute('aria-expanded', 'false');
  const sample = span('sample', '');
  // The name again in the page's own face: a symbol font shows no letters.
  const about = document.createElement('div');
  about.className = 'about';
  about.append(span('name', cat.name(family)), span('styles', styleSummary(family)),
      span('note', ''));
  item.append(sample, about);
  if (cat.showable(face)) {
    draw(sample, face, family);
  } else {
    item.classList.add('no-preview');
    sample.textContent = sampleText.value || cat.name(family);
    about.querySelector('.note').textContent = 'no preview in the browser';
  }
  if (open && open.key === cat.families[family]) openItem(item, family);
  return item;
}

const moreObserver = new IntersectionObserver((entries) => {
  if (entries.some((e) => e.isIntersecting)) showMore(kBatch);
}, {rootMargin: '1200px'});

function showMore(count) {
  const end = Math.min(shown + count, matches.families.length);
  const items = [];
  for (let i = shown; i < end; i++) items.push(familyItem(matches.families[i], matches.faces[i]));
  list.append(...items);
  shown = end;
  // Observed afresh, the end of the list is reported again even if it is
  // still in view after this batch.
  moreObserver.unobserve(more);
  if (shown < matches.families.length) moreObserver.observe(more);
}

// Shows `next`, keeping the families in the list that still lead it, each
// in the same face.
function showMatches(next) {
  const last = matches;
  matches = next;
  let keep = 0;
  while (keep < shown && keep < next.families.length &&
         last.families[keep] === next.families[keep] && last.faces[keep] === next.faces[keep]) {
    keep++;
  }
  const count = Math.max(Math.min(shown, next.families.length), kBatch);
  while (list.children.length > keep) list.lastElementChild.remove();
  if (open && open.item && !open.item.isConnected) open.item = null;
  shown = keep;
  showMore(count - keep);
  if (open && open.item) {
    const language = languageIndex(filters.language);
    for (const row of open.item.querySelectorAll('.face')) {
      const passes = cat.passes(Number(row.dataset.face), filters, language);
      row.classList.toggle('filtered-out', !passes);
    }
  }
  showStatus();
}

// What the matches were found for: a longer query with the same filters
// searches only among them.
let matched = {cat: null, query: '', filters: null};

function refilter() {
  if (!cat) return;
  const narrower = matched.cat === cat && matched.filters === filters &&
      query.includes(matched.query);
  showMatches(findMatches(cat, query, filters, narrower ? matches.families : null));
  matched = {cat, query, filters};
}

function plural(n, one, many) {
  return `${n.toLocaleString()} ${n === 1 ? one : many}`;
}

function showStatus() {
  if (!cat) return;
  const families = cat.families.length;
  const faces = cat.faceCount;
  const filtered = filtersActive(filters);
  let text;
  if (query || filtered) {
    const what = [query && `“${search.value.trim()}”`, filtered && 'the filters'].filter(Boolean);
    text = `${matches.families.length.toLocaleString()} of ` +
        `${plural(families, 'family', 'families')} (${matches.faceCount.toLocaleString()} of ` +
        `${plural(faces, 'face', 'faces')}) match ${what.join(' and ')}`;
  } else {
    text = `${plural(families, 'family', 'families')}, ${plural(faces, 'face', 'faces')}`;
  }
  if (filtersNeedFacts(filters) && cat.factsKnown < faces) {
    text += ` — reading the fonts, ${cat.factsKnown.toLocaleString()} of ` +
        `${faces.toLocaleString()} faces so far: the filters count only those`;
  }
  status.textContent = text;
}

// Opening a family shows every face of it; only one is open at a time.
function openItem(item, family) {
  item.setAttribute('aria-expanded', 'true');
  const language = languageIndex(filters.language);
  item.append(familyView(cat, family, (face) => cat.passes(face, filters, language),
      (sample, face, now) => draw(sample, face, family, now), faceActions));
  open = {key: cat.families[family], item};
}

function closeOpen() {
  if (!open) return;
  if (open.item) {
    open.item.setAttribute('aria-expanded', 'false');
    open.item.querySelector(':scope > .faces').remove();
  }
  open = null;
}

function toggle(item) {
  const wasOpen = open && open.item === item;
  closeOpen();
  if (!wasOpen) openItem(item, familyOfItem.get(item));
  saveAddress();
}

list.addEventListener('click', (e) => {
  const item = e.target.closest('li.family');
  if (!item || e.target.closest('.faces') || getSelection().toString()) return;
  toggle(item);
});

function isTyping(target) {
  return target instanceof HTMLInputElement || target instanceof HTMLSelectElement ||
      target instanceof HTMLTextAreaElement;
}

function focusItem(item) {
  if (!item) return;
  item.focus();
  item.scrollIntoView({block: 'nearest'});
}

document.addEventListener('keydown', (e) => {
  if (e.key === '/' && !isTyping(e.target) && !e.ctrlKey && !e.metaKey && !e.altKey) {
    e.preventDefault();
    search.focus();
    search.select();
  } else if (e.key === 'Escape' && facePage.key !== null && !isTyping(e.target)) {
    closeFace();
  } else if (e.key === 'Escape' && open &&
             (!isTyping(e.target) || (open.item && open.item.contains(e.target)))) {
    const item = open.item;
    closeOpen();
    saveAddress();
    focusItem(item);
  } else if (e.target === search && e.key === 'ArrowDown') {
    e.preventDefault();
    focusItem(list.firstElementChild);
  } else if (e.target instanceof HTMLLIElement && e.target.parentElement === list) {
    const item = e.target;
    if (e.key === 'ArrowDown') {
      if (!item.nextElementSibling) showMore(kBatch);
      focusItem(item.nextElementSibling);
    } else if (e.key === 'ArrowUp') {
      focusItem(item.previousElementSibling || search);
    } else if (e.key === 'Enter' || e.key === ' ') {
      toggle(item);
    } else {
      return;
    }
    e.preventDefault();
  }
});

// A face opened to its view in place of the list, kept in the address; and
// the faces pinned for the comparison.
const comparison = new Comparison($('comparison'), fontFor, () => {
  for (const button of document.querySelectorAll('.face .compare, .specimen .compare')) {
    const face = Number(button.closest('[data-face]').dataset.face);
    button.setAttribute('aria-pressed', String(comparison.has(cat, face)));
  }
  saveAddress();
});
const faceActions = {
  open: (face) => {
    facePage.show(cat, faceKey(cat, face));
    saveAddress();
  },
  compare: (face) => comparison.toggle(cat, face),
  compared: (face) => comparison.has(cat, face),
  close: () => closeFace(),
};
const facePage = new FacePage(specimen, [list, more], fontOf, () => sampleText.value,
    faceActions);

// Back to the list, on the row of the face that was in view.
function closeFace() {
  const face = facePage.close();
  saveAddress();
  const row = open && open.item && open.item.querySelector(`.face[data-face="${face}"]`);
  if (row) {
    row.focus({preventScroll: true});
    row.scrollIntoView({block: 'center'});
  } else if (open && open.item) {
    open.item.scrollIntoView({block: 'start'});
  }
}

// The address follows the controls, a moment after they settle.
let addressTimer = null;

function saveAddress() {
  clearTimeout(addressTimer);
  addressTimer = setTimeout(() => {
    const address = writeAddress({query: search.value.trim(), text: sampleText.value,
      size: Number(size.value), filters, open: open && open.key,
      face: facePage.key, compare: comparison.keys});
    if (address !== location.search) {
      history.replaceState(null, '', address || location.pathname);
    }
  }, 250);
}

function readFilters() {
  const f = noFilters();
  f.slant = $('slant').value;
  f.weightMin = Number($('weight-min').value);
  f.weightMax = Number($('weight-max').value);
  f.widthMin = Number($('width-min').value);
  f.widthMax = Number($('width-max').value);
  f.mono = $('mono').checked;
  f.variable = $('variable').checked;
  f.language = $('language').value;
  // A range set upside down is read the right way up.
  if (f.weightMin > f.weightMax) [f.weightMin, f.weightMax] = [f.weightMax, f.weightMin];
  if (f.widthMin > f.widthMax) [f.widthMin, f.widthMax] = [f.widthMax, f.widthMin];
  return f;
}

function setControls(f) {
  $('slant').value = f.slant;
  $('weight-min').value = String(f.weightMin);
  $('weight-max').value = String(f.weightMax);
  $('width-min').value = String(f.widthMin);
  $('width-max').value = String(f.widthMax);
  $('mono').checked = f.mono;
  $('variable').checked = f.variable;
  $('language').value = f.language;
}

function setSize(px) {
  size.value = String(px);
  $('size-value').textContent = `${px} px`;
  list.style.setProperty('--size', `${px}px`);
  $('comparison').style.setProperty('--size', `${px}px`);
}

for (const control of filterControls) {
  control.addEventListener('change', () => {
    filters = readFilters();
    refilter();
    saveAddress();
  });
}
$('clear').addEventListener('click', () => {
  filters = noFilters();
  setControls(filters);
  refilter();
  saveAddress();
});
search.addEventListener('input', () => {
  query = search.value.trim().toLowerCase();
  refilter();
  saveAddress();
});
sampleText.addEventListener('input', () => {
  for (const sample of list.querySelectorAll('.sample[data-face]')) dress(sample);
  for (const item of list.querySelectorAll('li.no-preview')) {
    item.querySelector('.sample').textContent = sampleText.value || item.querySelector('.name')
        .textContent;
  }
  comparison.setText(sampleText.value);
  setSpecimenText(specimen, sampleText.value);
  saveAddress();
});
size.addEventListener('input', () => {
  setSize(Number(size.value));
  saveAddress();
});

const start = readAddress(location.search);
search.value = start.query;
query = start.query.trim().toLowerCase();
sampleText.value = start.text;
filters = start.filters;
setControls(filters);
setSize(start.size);
if (start.open !== null) open = {key: start.open, item: null};
if (start.face !== null) facePage.expect(start.face);
comparison.set(start.compare);
comparison.setText(start.text);

const events = new EventSource('/events');
events.addEventListener('catalogue', (e) => {
  performance.mark('catalogue received');
  cat = new Catalogue(JSON.parse(e.data));
  matches = {families: new Int32Array(0), faces: new Int32Array(0), faceCount: 0};
  shown = 0;
  list.replaceChildren();
  if (open) open.item = null;
  refilter();
  document.body.dataset.generation = String(cat.generation);
  const fresh = cat;
  requestIdleCallback(() => fresh.keys());  // ready before the first key
  if (open && open.item && !start.shown && facePage.key === null) {
    open.item.scrollIntoView({block: 'start'});
  }
  start.shown = true;
  comparison.draw(cat);
  facePage.catalogueChanged(cat);
});
events.addEventListener('facts', (e) => factsCame(JSON.parse(e.data)));
events.addEventListener('error', () => {
  status.textContent = 'Lost the connection to the server; retrying…';
});

$('check').addEventListener('click', async () => {
  const check = $('check');
  check.disabled = true;
  try {
    const response = await fetch('/check-for-updates', {method: 'POST'});
    status.textContent = response.ok ? 'Asked for an update check.'
                                     : 'The update check was refused.';
  } catch (e) {
    status.textContent = 'Could not reach the server.';
  } finally {
    check.disabled = false;
  }
});
