// A family opened: every face of it, each in its own face with what the
// catalogue says of it and its file's path to copy. A variable font's file
// is one row, its named instances listed in it; a click on a row, or Enter,
// opens the face's view.
import {faceRows} from './face_keys.js';
import {kWidths} from './model.js';

const kFormats = [[/\.ttf$/i, 'TrueType'], [/\.otf$/i, 'OpenType'],
  [/\.(ttc|otc)$/i, 'font collection'], [/\.woff$/i, 'WOFF'], [/\.woff2$/i, 'WOFF2'],
  [/\.(pfa|pfb|t1)$/i, 'Type 1'], [/\.(pcf|bdf|snf|fon|fnt)(\.gz)?$/i, 'bitmap'],
  [/\.dfont$/i, 'Mac suitcase'], [/\.(gz|z|bz2)$/i, 'compressed']];

function formatOf(path) {
  const found = kFormats.find(([pattern]) => pattern.test(path));
  return found ? found[1] : 'font file';
}

function span(className, text) {
  const s = document.createElement('span');
  s.className = className;
  s.textContent = text;
  return s;
}

// Puts `text` on the clipboard; falls back to selecting `element`'s text
// where the clipboard cannot be written.
async function copy(text, element) {
  try {
    await navigator.clipboard.writeText(text);
    return true;
  } catch (e) {
    const range = document.createRange();
    range.selectNodeContents(element);
    getSelection().removeAllRanges();
    getSelection().addRange(range);
    return document.execCommand('copy');
  }
}

// A screen of rows: the first frame lays out these, their faces asked for at
// once; the rest follow after it, each face asked for as it nears the view.
const kFirstRows = 12;

// The list of `family`'s faces. `passes(face)` tells the faces the filters
// let through (the others are dimmed); `draw(sample, face, now)` shows a
// face's sample once it comes into view, or at once; `actions` are
// {open(face), compare(face), compared(face)}: the face view, and pinning
// a face for the comparison.
export function familyView(cat, family, passes, draw, actions) {
  const view = document.createElement('div');
  view.className = 'faces';
  view.setAttribute('role', 'group');
  view.setAttribute('aria-label', 'Styles of ' + cat.name(family));
  const all = faceRows(cat, family);
  const rows = (from, to, now) => {
    for (const {face, faces} of all.slice(from, to)) {
      view.append(faceRow(cat, face, faces, faces.some(passes),
          (sample) => draw(sample, face, now), actions));
    }
  };
  const first = Math.min(all.length, kFirstRows);
  rows(0, first, true);
  if (first < all.length) {
    requestAnimationFrame(() => setTimeout(() => rows(first, all.length, false), 0));
  }
  const openRow = (e) => {
    const row = e.target.closest('.face');
    if (!row || e.target.closest('button, .path') || getSelection().toString()) return false;
    actions.open(Number(row.dataset.face));
    return true;
  };
  view.addEventListener('click', openRow);
  view.addEventListener('keydown', (e) => {
    if (e.key === 'Enter' && e.target.classList.contains('face') && openRow(e)) {
      e.preventDefault();
    }
  });
  return view;
}

function fileName(path) {
  return path.slice(path.lastIndexOf('/') + 1);
}

// One row: a static face, or a variable file with its named instances
// (`faces`): its sample, what the catalogue says of it, its file and path.
function faceRow(cat, face, faces, passes, draw, actions) {
  const row = document.createElement('div');
  row.className = 'face' + (passes ? '' : ' filtered-out');
  row.dataset.face = String(face);
  row.tabIndex = 0;
  const sample = span('sample', '');
  const path = cat.path(face);
  const about = document.createElement('div');
  about.className = 'about';
  const variable = faces.length > 1 || cat.axes(face);
  const style = faces.length > 1 ? faces.map((f) => cat.styles[f]).join(' · ') : cat.styles[face];
  row.setAttribute('aria-label', `${style}, ${variable ? 'variable' : 'static'} font ` +
      `${fileName(path)}: Enter opens its view`);
  about.append(span('name', faces.length > 1 ? 'Variable' : cat.styles[face]),
      span('traits', faces.length > 1 ? `named instances: ${style} · ${formatOf(path)}`
          : `weight ${cat.weight(face)} · ${kWidths[cat.stretch(face) - 1]} · ` +
            `${cat.italic(face) ? 'italic' : 'upright'} · ${formatOf(path)}` +
            `${variable ? ', variable' : ''}`),
      span('note', ''));
  const where = document.createElement('div');
  where.className = 'where';
  const code = document.createElement('code');
  code.className = 'path';
  code.textContent = path;
  const button = document.createElement('button');
  button.type = 'button';
  button.className = 'copy';
  button.textContent = 'Copy path';
  button.setAttribute('aria-label', 'Copy the path of ' + cat.styles[face]);
  button.addEventListener('click', async (e) => {
    e.stopPropagation();
    button.textContent = await copy(path, code) ? 'Copied' : 'Select and copy';
    setTimeout(() => { button.textContent = 'Copy path'; }, 1500);
  });
  const compare = document.createElement('button');
  compare.type = 'button';
  compare.className = 'compare';
  compare.textContent = 'Compare';
  compare.setAttribute('aria-pressed', String(actions.compared(face)));
  compare.addEventListener('click', (e) => {
    e.stopPropagation();
    compare.setAttribute('aria-pressed', String(actions.compare(face)));
  });
  where.prepend(span('kind', `${variable ? 'variable' : 'static'} · ${fileName(path)}`));
  where.append(code, button, compare);
  row.append(sample, about, where);
  if (cat.showable(face)) {
    draw(sample);
  } else {
    row.classList.add('no-preview');
    sample.textContent = cat.styles[face];
    about.querySelector('.note').textContent = 'no preview in the browser';
  }
  return row;
}
