// The page's state in its address, so that a reload or a shared link shows
// the same list: ?q=sans&text=Quick&size=48&slant=italic&weight=300-700
// &width=3-5&mono=1&variable=1&lang=ja&open=Family&face=KEY&compare=KEY
// &compare=KEY, a face's key its PostScript name followed by its file's path
// (face_keys.js). Anything it cannot read is left at its default.
import {languageIndex, noFilters} from './model.js';

const kDefaultSize = 32;
export const kMaxCompared = 4;

function range(text, low, high, step) {
  const m = /^(\d+)-(\d+)$/.exec(text || '');
  if (!m) return [low, high];
  const clamp = (n) => Math.min(high, Math.max(low, Math.round(n / step) * step));
  const [a, b] = [clamp(Number(m[1])), clamp(Number(m[2]))];
  return a <= b ? [a, b] : [b, a];
}

// {query, text, size, filters, open, face, compare} from a query string.
export function readAddress(search) {
  const p = new URLSearchParams(search);
  const filters = noFilters();
  [filters.weightMin, filters.weightMax] = range(p.get('weight'), 100, 900, 100);
  [filters.widthMin, filters.widthMax] = range(p.get('width'), 1, 9, 1);
  if (['upright', 'italic'].includes(p.get('slant'))) filters.slant = p.get('slant');
  filters.mono = p.get('mono') === '1';
  filters.variable = p.get('variable') === '1';
  if (languageIndex(p.get('lang')) >= 0) filters.language = p.get('lang');
  const size = Number(p.get('size'));
  return {
    query: p.get('q') || '',
    text: p.get('text') || '',
    size: Number.isInteger(size) && size >= 12 && size <= 120 ? size : kDefaultSize,
    filters,
    open: p.get('open'),
    face: p.get('face'),
    compare: [...new Set(p.getAll('compare'))].slice(0, kMaxCompared),
  };
}

// The query string of a state; defaults are left out.
export function writeAddress({query, text, size, filters: f, open, face = null,
  compare = []}) {
  const p = new URLSearchParams();
  if (query) p.set('q', query);
  if (text) p.set('text', text);
  if (size !== kDefaultSize) p.set('size', String(size));
  if (f.slant) p.set('slant', f.slant);
  if (f.weightMin !== 100 || f.weightMax !== 900) p.set('weight', `${f.weightMin}-${f.weightMax}`);
  if (f.widthMin !== 1 || f.widthMax !== 9) p.set('width', `${f.widthMin}-${f.widthMax}`);
  if (f.mono) p.set('mono', '1');
  if (f.variable) p.set('variable', '1');
  if (f.language) p.set('lang', f.language);
  if (open !== null) p.set('open', open);
  if (face !== null) p.set('face', face);
  for (const key of compare) p.append('compare', key);
  const s = p.toString();
  return s ? '?' + s : '';
}
