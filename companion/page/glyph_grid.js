// Every character a face maps, in a grid grouped by Unicode block. A CJK face
// maps tens of thousands: the grid lays out rows by arithmetic and puts in
// the page only the rows within a screen or two of the view, and the name of
// the block at the top of the view stays in a header above them.

const kCell = 56;  // px, square
const kHeader = 30;  // px, a block's name
const kOverscan = 0.5;  // screens drawn above and below the view
const kMaxCellsAtOnce = 60;  // a frame's cells, those in view first; the rest wait

const hex = (cp) => cp.toString(16).toUpperCase().padStart(4, '0');

// The code points of `runs` ([first, last, ...]) in one array.
function codePoints(runs, count) {
  const cps = new Uint32Array(count);
  let n = 0;
  for (let k = 0; k < runs.length; k += 2) {
    for (let cp = runs[k]; cp <= runs[k + 1] && n < count; cp++) cps[n++] = cp;
  }
  return cps;
}

// The index of the first of `cps` (sorted) at or above `cp`.
function lowerBound(cps, cp) {
  let lo = 0;
  let hi = cps.length;
  while (lo < hi) {
    const mid = (lo + hi) >> 1;
    if (cps[mid] < cp) lo = mid + 1; else hi = mid;
  }
  return lo;
}

// The grid of `characters` ({count, runs}) in `blocks` ([[first, last,
// name]]), drawn in `fontFamily`; `choose(cp)` is called with the chosen
// character. Returns {element, scroller, layout()}.
export function glyphGrid(characters, blocks, fontFamily, choose) {
  const cps = codePoints(characters.runs, characters.count);
  const groups = blocks.map(([first, last, name]) => ({name, from: lowerBound(cps, first),
    to: lowerBound(cps, last + 1)})).filter((g) => g.to > g.from);

  const scroller = document.createElement('div');
  scroller.className = 'glyph-scroller';
  scroller.tabIndex = 0;
  scroller.setAttribute('aria-label', 'Characters by Unicode block: arrow keys choose one');
  const sticky = document.createElement('div');
  sticky.className = 'block-name sticky';
  sticky.setAttribute('aria-hidden', 'true');
  const space = document.createElement('div');
  space.className = 'glyph-space';
  space.style.fontFamily = fontFamily;
  scroller.append(sticky, space);

  let columns = 0;
  let chosen = -1;  // index in cps of the chosen character
  let tops = [];  // each group's top, in px from the space's top
  let drawn = new Map();  // row key -> element

  function measure() {
    const width = space.clientWidth || scroller.clientWidth;
    const next = Math.max(1, Math.floor(width / kCell));
    if (next === columns && tops.length === groups.length) return false;
    columns = next;
    tops = [];
    let y = 0;
    for (const g of groups) {
      tops.push(y);
      y += kHeader + Math.ceil((g.to - g.from) / columns) * kCell;
    }
    space.style.height = `${y}px`;
    for (const row of drawn.values()) row.remove();
    drawn = new Map();
    return true;
  }

  // The group at `y` px into the space.
  function groupAt(y) {
    let lo = 0;
    let hi = groups.length - 1;
    while (lo < hi) {
      const mid = (lo + hi + 1) >> 1;
      if (tops[mid] <= y) lo = mid; else hi = mid - 1;
    }
    return lo;
  }

  function headerRow(g) {
    const row = document.createElement('div');
    row.className = 'block-name';
    row.setAttribute('role', 'heading');
    row.setAttribute('aria-level', '4');
    row.textContent = `${groups[g].name} · ${(groups[g].to - groups[g].from).toLocaleString()}`;
    row.style.top = `${tops[g]}px`;
    return row;
  }

  // Row elements out of the page, kept to be filled again: a reused row
  // keeps its cells, so a frame after a jump mostly rewrites text.
  const spare = [];

  function cellRow(g, r) {
    const row = spare.pop() || document.createElement('div');
    row.className = 'glyph-row';
    row.style.top = `${tops[g] + kHeader + r * kCell}px`;
    const from = groups[g].from + r * columns;
    const to = Math.min(groups[g].to, from + columns);
    // Plain elements: a button each costs a frame tens of milliseconds for a
    // screen of cells. The grid takes the keys (arrows, Enter) for them.
    while (row.childElementCount > to - from) row.lastElementChild.remove();
    while (row.childElementCount < to - from) {
      const cell = document.createElement('span');
      cell.className = 'glyph';
      cell.append('');
      row.append(cell);
    }
    let cell = row.firstElementChild;
    for (let i = from; i < to; i++, cell = cell.nextElementSibling) {
      cell.dataset.cp = hex(cps[i]);
      cell.dataset.index = String(i);
      cell.firstChild.data = String.fromCodePoint(cps[i]);
      if (i === chosen) cell.setAttribute('aria-selected', 'true');
      else cell.removeAttribute('aria-selected');
    }
    return row;
  }

  // The rows from `top` to `bottom` px into the space: key -> its maker.
  function rowsBetween(top, bottom, into) {
    for (let g = groupAt(top); g < groups.length && tops[g] < bottom; g++) {
      if (tops[g] + kHeader > top) into.set(`h${g}`, () => headerRow(g));
      const rows = Math.ceil((groups[g].to - groups[g].from) / columns);
      const first = Math.max(0, Math.floor((top - tops[g] - kHeader) / kCell));
      for (let r = first; r < rows; r++) {
        const y = tops[g] + kHeader + r * kCell;
        if (y >= bottom) break;
        into.set(`${g}:${r}`, () => cellRow(g, r));
      }
    }
    return into;
  }

  // Puts in every row in view, then the rows within kOverscan screens of it,
  // kMaxCellsAtOnce cells a frame (the nearest first, the rest in the frames
  // that follow), and takes out the rows beyond. Geometry is read before
  // anything changes, so the frame lays the grid out once.
  let queued = false;
  function draw() {
    if (groups.length === 0) return;
    measure();
    const offset = space.offsetTop;
    const screen = scroller.clientHeight || 600;
    const scrolled = scroller.scrollTop - offset;
    const viewTop = Math.max(0, scrolled);
    const view = rowsBetween(viewTop, scrolled + screen, new Map());
    const below = rowsBetween(scrolled + screen, scrolled + (1 + kOverscan) * screen, new Map());
    const above = rowsBetween(Math.max(0, scrolled - kOverscan * screen), viewTop, new Map());
    const near = [...below.keys(), ...[...above.keys()].reverse()];
    for (const [key, row] of drawn) {
      if (view.has(key) || below.has(key) || above.has(key)) continue;
      row.remove();
      drawn.delete(key);
      if (row.className === 'glyph-row') spare.push(row);
    }
    const fresh = [];
    const put = (key, make) => {
      const row = make();
      drawn.set(key, row);
      if (!row.isConnected) fresh.push(row);
      return row.childElementCount || 1;
    };
    let budget = kMaxCellsAtOnce;
    for (const [key, make] of view) if (!drawn.has(key)) budget -= put(key, make);
    let more = false;
    for (const key of near) {
      if (drawn.has(key)) continue;
      if (budget <= 0) {
        more = true;  // a frame that drew a screen after a jump puts in nothing more
        break;
      }
      budget -= put(key, below.get(key) || above.get(key));
    }
    space.append(...fresh);
    spare.length = Math.min(spare.length, 64);
    const name = groups[groupAt(viewTop)].name;
    if (sticky.textContent !== name) sticky.textContent = name;
    if (more) queueDraw();
  }

  function queueDraw() {
    if (queued) return;
    queued = true;
    requestAnimationFrame(() => {
      queued = false;
      draw();
    });
  }

  scroller.addEventListener('scroll', queueDraw, {passive: true});
  new ResizeObserver(() => draw()).observe(scroller);
  // Chooses the character at index `i` of cps, and brings it into view.
  function select(i) {
    if (i < 0 || i >= cps.length) return;
    chosen = i;
    for (const old of space.querySelectorAll('.glyph[aria-selected]')) {
      old.removeAttribute('aria-selected');
    }
    const g = groups.findIndex((group) => group.from <= i && i < group.to);
    const y = space.offsetTop + tops[g] + kHeader + Math.floor((i - groups[g].from) / columns) * kCell;
    if (y < scroller.scrollTop + kHeader || y + kCell > scroller.scrollTop + scroller.clientHeight) {
      scroller.scrollTop = y - kHeader - space.offsetTop;
      draw();
    }
    const cell = space.querySelector(`.glyph[data-index="${i}"]`);
    if (cell) cell.setAttribute('aria-selected', 'true');
    choose(cps[i]);
  }

  space.addEventListener('click', (e) => {
    const cell = e.target.closest('.glyph');
    if (cell) select(Number(cell.dataset.index));
  });
  scroller.addEventListener('keydown', (e) => {
    const step = {ArrowRight: 1, ArrowLeft: -1, ArrowDown: columns, ArrowUp: -columns}[e.key];
    if (step === undefined) return;
    e.preventDefault();
    select(chosen < 0 ? 0 : Math.min(cps.length - 1, Math.max(0, chosen + step)));
  });
  return {element: scroller, scroller, draw, blockCount: groups.length,
    lastBlock: groups.length > 0 ? groups[groups.length - 1].name : ''};
}
