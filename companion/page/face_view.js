// A face opened as a specimen: its sample with the face's OpenType features
// to turn on and off and its variable axes to move, a waterfall of sizes,
// every character it maps, and who made it under what licence, from what
// the server reads of the font's own tables (/specimen).
import {faceLabel, isCollection} from './face_keys.js';
import {glyphGrid} from './glyph_grid.js';

const kWaterfall = [12, 16, 24, 36, 48, 72, 96, 120];
// Features a browser applies unless told not to: their boxes start ticked.
const kOnByDefault = new Set(['abvm', 'blwm', 'calt', 'ccmp', 'clig', 'curs', 'dist', 'kern',
  'liga', 'locl', 'mark', 'mkmk', 'rclt', 'rlig', 'rvrn']);
const kSettleMs = 200;
const kDefaultText = 'The quick brown fox jumps over the lazy dog 0123456789';

function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function section(label, heading) {
  const s = element('section', 'specimen-part');
  s.setAttribute('role', 'region');
  s.setAttribute('aria-label', label);
  s.append(element('h3', '', heading || label));
  return s;
}

const hex = (cp) => cp.toString(16).toUpperCase().padStart(4, '0');

// The view of `face` of `cat`, drawn in `fontOf(face)` (a FontFace, its
// load asked for). `text()` is the reader's sample text; `actions` are
// {close(), compare(face), compared(face)}. Returns the element at once and
// fills it once the tables come: the face, a large file for a CJK font, is
// swapped in when it has loaded.
export function faceView(cat, face, fontOf, text, actions) {
  const view = element('article', 'specimen');
  view.dataset.face = String(face);
  const title = faceLabel(cat, face);
  view.setAttribute('aria-label', `Face view: ${title}`);
  const head = element('div', 'specimen-head');
  const back = element('button', 'back', 'Back to the list');
  back.type = 'button';
  back.addEventListener('click', () => actions.close());
  const compare = element('button', 'compare', 'Compare');
  compare.type = 'button';
  compare.setAttribute('aria-pressed', String(actions.compared(face)));
  compare.addEventListener('click', () => {
    compare.setAttribute('aria-pressed', String(actions.compare(face)));
  });
  const heading = element('h2', '', title);
  head.append(heading, element('code', 'path', cat.path(face)), back, compare);
  const status = element('p', 'specimen-status', 'Reading the font…');
  status.setAttribute('role', 'status');
  view.append(head, status);

  const postscript = isCollection(cat.path(face)) ? cat.postscripts[face] : '';
  const url = `/specimen?path=${encodeURIComponent(cat.path(face))}` +
      (postscript ? `&postscript=${encodeURIComponent(postscript)}` : '');
  const font = fontOf(face);
  fetch(url).then((r) => (r.ok ? r.json() : null)).catch(() => null).then((tables) => {
    if (!tables) {
      status.textContent = 'The server could not read this font’s tables.';
      return;
    }
    if (tables.axes.length > 0 && !/ — variable/.test(heading.textContent)) {
      heading.textContent = `${cat.name(cat.familyOf(face))} — variable`;
    }
    fill(view, tables, `"${font.family}", sans-serif`, text);
    view.dataset.ready = 'true';
    if (font.status !== 'loaded') {
      // The waterfall waits for the face: eight sizes of stand-in fonts
      // would cost the first frame more than the glyphs it is opened for.
      view.dataset.loading = 'true';
      status.textContent = 'Loading the face…';
    }
    font.loaded.then(() => { status.textContent = ''; },
        () => { status.textContent = 'The browser could not load this face.'; })
        .then(() => { delete view.dataset.loading; });
  });
  return view;
}

// Everything drawn in the face: the sample and the waterfall take the
// features and axes set.
function fill(view, tables, fontFamily, text) {
  const sample = element('p', 'specimen-text specimen-sample', text() || kDefaultText);
  sample.style.fontFamily = fontFamily;
  const features = featureControls(tables.features, view);
  const axes = axisControls(tables.axes, tables.instances, view);
  const waterfall = section('Waterfall');
  for (const px of kWaterfall) {
    const row = element('div', 'waterfall-row');
    const line = element('span', 'specimen-text', text() || kDefaultText);
    line.style.fontFamily = fontFamily;
    line.style.fontSize = `${px}px`;
    row.append(element('span', 'px', `${px} px`), line);
    waterfall.append(row);
  }
  view.append(sample, features, axes, waterfall, glyphs(tables, fontFamily), about(tables));
  setSettings(view);
}

// Shows the reader's `text` in every text of the views in `root`.
export function setSpecimenText(root, text) {
  for (const line of root.querySelectorAll('.specimen-text')) {
    line.textContent = text || kDefaultText;
  }
}

// font-feature-settings and font-variation-settings from the controls, on
// every text drawn in the face. A moving slider moves the sample at once and
// the waterfall once it settles: each size at each place on the axes is a
// font instance of its own to make, too many for one frame.
function setSettings(view, settled = true) {
  const features = [...view.querySelectorAll('.features input')]
      .filter((box) => box.checked !== kOnByDefault.has(box.value))
      .map((box) => `"${box.value}" ${box.checked ? 1 : 0}`);
  const variations = [...view.querySelectorAll('.axes input[type=range]')]
      .map((range) => `"${range.name}" ${range.value}`);
  view.style.setProperty('--features', features.join(', ') || 'normal');
  view.style.setProperty('--variations', variations.join(', ') || 'normal');
  clearTimeout(view.settleTimer);
  if (settled) {
    view.style.setProperty('--settled-variations', variations.join(', ') || 'normal');
  } else {
    view.settleTimer = setTimeout(() => setSettings(view), kSettleMs);
  }
}

function featureControls(features, view) {
  const part = section('OpenType features');
  part.classList.add('features');
  if (features.length === 0) {
    part.append(element('p', 'none', 'The face offers no OpenType features.'));
    return part;
  }
  for (const {tag, name} of features) {
    const label = element('label');
    const box = element('input');
    box.type = 'checkbox';
    box.value = tag;
    box.checked = kOnByDefault.has(tag);
    label.append(box, ` ${name ? `${tag} — ${name}` : tag}`);
    part.append(label);
  }
  part.addEventListener('change', () => setSettings(view));
  return part;
}

function axisControls(axes, instances, view) {
  const part = section('Variable axes');
  part.classList.add('axes');
  if (axes.length === 0) {
    part.append(element('p', 'none', 'A static face: it has no variable axes.'));
    return part;
  }
  const ranges = axes.map((axis) => {
    const label = element('label');
    const range = element('input');
    range.type = 'range';
    range.name = axis.tag;
    range.min = String(axis.min);
    range.max = String(axis.max);
    range.step = axis.max - axis.min >= 10 ? '1' : '0.01';
    range.value = String(axis.default);
    range.setAttribute('aria-label', axis.name);
    const value = element('output', '', String(axis.default));
    range.addEventListener('input', () => {
      value.textContent = range.value;
      setSettings(view, false);
    });
    range.addEventListener('change', () => setSettings(view));
    label.append(`${axis.name} `, range, value,
        element('span', 'range', `${axis.min} to ${axis.max}, default ${axis.default}`));
    part.append(label);
    return {range, value};
  });
  if (instances.length > 0) {
    const label = element('label', '', 'Named instance ');
    const presets = element('select');
    presets.append(new Option('(as set)', ''),
        ...instances.map((instance, k) => new Option(instance.name, String(k))));
    presets.addEventListener('change', () => {
      const instance = instances[Number(presets.value)];
      if (!instance) return;
      axes.forEach((axis, k) => {
        ranges[k].range.value = String(instance.coordinates[axis.tag]);
        ranges[k].value.textContent = ranges[k].range.value;
      });
      setSettings(view);
    });
    label.append(presets);
    part.append(label);
  }
  return part;
}

function glyphs(tables, fontFamily) {
  const part = section('Glyphs');
  const count = tables.characters ? tables.characters.count : 0;
  part.append(element('p', 'glyph-count', `${count.toLocaleString()} glyphs`));
  if (!tables.characters) return part;
  const detail = element('div', 'glyph-detail');
  detail.setAttribute('aria-live', 'polite');
  const grid = glyphGrid(tables.characters, tables.blocks || [], fontFamily,
      (cp) => showGlyph(detail, cp, fontFamily));
  part.append(grid.element, detail);
  requestAnimationFrame(() => grid.draw());
  return part;
}

// The chosen character large, its code point and, where the system has
// them, its name, with a button that copies it.
function showGlyph(detail, cp, fontFamily) {
  const char = String.fromCodePoint(cp);
  const big = element('span', 'glyph-large', char);
  big.style.fontFamily = fontFamily;
  const name = element('span', 'glyph-name', '');
  const copy = element('button', 'copy', 'Copy');
  copy.type = 'button';
  copy.addEventListener('click', async () => {
    try {
      await navigator.clipboard.writeText(char);
      copy.textContent = 'Copied';
    } catch (e) {
      copy.textContent = 'Could not copy';
    }
  });
  detail.replaceChildren(big, element('code', 'glyph-code', `U+${hex(cp)}`), name, copy);
  fetch(`/character?cp=${hex(cp)}`).then((r) => (r.ok ? r.json() : null)).then((answer) => {
    if (answer && answer.cp === cp && answer.name) name.textContent = answer.name;
  }).catch(() => {});
}

function about(tables) {
  const part = section('About');
  const list = element('dl');
  const n = tables.names;
  const number = (v) => (v === null || v === undefined ? null : v.toLocaleString());
  const rows = [
    ['Version', n.version], ['Designer', n.designer], ['Manufacturer', n.manufacturer],
    ['Copyright', n.copyright], ['Licence', n.licence], ['Licence URL', n.licenceUrl],
    ['Unique identifier', n.uniqueId], ['Units per em', number(tables.unitsPerEm)],
    ['Glyphs in the font (maxp)', number(tables.glyphCount)],
    ['Characters mapped (cmap)', tables.characters ? number(tables.characters.count) : null],
    ['x-height', number(tables.xHeight)], ['Cap height', number(tables.capHeight)],
  ];
  for (const [term, value] of rows) {
    if (value === null || value === undefined || value === '') continue;
    list.append(element('dt', '', term), element('dd', '', value));
  }
  part.append(list);
  if (tables.notes.length > 0) {
    const notes = element('ul', 'notes');
    notes.setAttribute('aria-label', 'What could not be read');
    for (const note of tables.notes) notes.append(element('li', '', note));
    part.append(notes);
  }
  return part;
}
