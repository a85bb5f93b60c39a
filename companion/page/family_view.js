// A family opened: every face of it, each in its own face with what the
// catalogue says of it and its file's path to copy.
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
// face's sample once it comes into view, or at once.
export function familyView(cat, family, passes, draw) {
  const view = document.createElement('div');
  view.className = 'faces';
  view.setAttribute('role', 'group');
  view.setAttribute('aria-label', 'Styles of ' + cat.name(family));
  const end = cat.first[family + 1];
  const rows = (from, to, now) => {
    for (let face = from; face < to; face++) {
      view.append(faceRow(cat, face, passes(face), (sample) => draw(sample, face, now)));
    }
  };
  const first = Math.min(end, cat.first[family] + kFirstRows);
  rows(cat.first[family], first, true);
  if (first < end) requestAnimationFrame(() => setTimeout(() => rows(first, end, false), 0));
  return view;
}

// One face's row: its sample, what the catalogue says of it, its path.
function faceRow(cat, face, passes, draw) {
  const row = document.createElement('div');
  row.className = 'face' + (passes ? '' : ' filtered-out');
  row.dataset.face = String(face);
  const sample = span('sample', '');
  const path = cat.path(face);
  const about = document.createElement('div');
  about.className = 'about';
  const variable = cat.axes(face) ? ', variable' : '';
  about.append(span('name', cat.styles[face]),
      span('traits', `weight ${cat.weight(face)} · ${kWidths[cat.stretch(face) - 1]} · ` +
          `${cat.italic(face) ? 'italic' : 'upright'} · ${formatOf(path)}${variable}`),
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
  where.append(code, button);
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
