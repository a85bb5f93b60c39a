// Every character a face maps, in a grid grouped by Unicode block. A CJK face
// maps tens of thousands: the grid lays out rows by arithmetic and puts in
// the page only the rows within a screen or two of the view, and the name of
// the block at the top of the view stays in a header above them.

const kCell = 56;  // px, square
const kHeader = 30;  // px, a block's name
const kOverscan = 0.5;  // screens drawn above and below the view
const kMaxCellsAtOnce = 200;  // in one frame; more wait for the next

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

  function cellRow(g, r) {
    const row = document.createElement('div');
    row.className = 'glyph-row';
    row.style.top = `${tops[g] + kHeader + r * kCell}px`;
    const from = groups[g].from + r * columns;
    const to = Math.min(groups[g].to, from + columns);
    // Plain elements: a button each costs a frame tens of milliseconds for a
    // screen of cells. The grid takes the keys (arrows, Enter) for them.
    for (let i = from; i < to; i++) {
      const cell = document.createElement('span');
      cell.className = 'glyph';
      cell.dataset.cp = hex(cps[i]);
      cell.dataset.index = String(i);
      cell.textContent = String.fromCodePoint(cps[i]);
      if (i === chosen) cell.setAttribute('aria-selected', 'true');
      row.append(cell);
    }
    return row;
  }

  // Puts in the rows within kOverscan screens of the view (only those in
  // view when `near` is false: after a jump, the rest follow a frame later),
  // and takes out the rest.
  let overscanTimer = null;
  function draw(near = true) {
    if (groups.length === 0) return;
    measure();
    const offset = space.offsetTop;
    const screen = scroller.clientHeight || 600;
    const margin = near ? kOverscan * screen : 0;
    const top = Math.max(0, scroller.scrollTop - offset - margin);
    const bottom = scroller.scrollTop - offset + screen + margin;
    const wanted = new Map();
    for (let g = groupAt(top); g < groups.length && tops[g] < bottom; g++) {
      if (tops[g] + kHeader > top) wanted.set(`h${g}`, () => headerRow(g));
      const rows = Math.ceil((groups[g].to - groups[g].from) / columns);
      const first = Math.max(0, Math.floor((top - tops[g] - kHeader) / kCell));
      for (let r = first; r < rows; r++) {
        const y = tops[g] + kHeader + r * kCell;
        if (y >= bottom) break;
        wanted.set(`${g}:${r}`, () => cellRow(g, r));
      }
    }
    const missing = [...wanted.keys()].filter((key) => !drawn.has(key)).length;
    if (near && missing * columns > kMaxCellsAtOnce) return draw(false);
    clearTimeout(overscanTimer);
    if (!near) overscanTimer = setTimeout(() => requestAnimationFrame(() => draw()), 0);
    for (const [key, row] of drawn) {
      if (!wanted.has(key) && near) {
        row.remove();
        drawn.delete(key);
      }
    }
    const fresh = [];
    for (const [key, make] of wanted) {
      if (drawn.has(key)) continue;
      const row = make();
      drawn.set(key, row);
      fresh.push(row);
    }
    space.append(...fresh);
    const name = groups[groupAt(Math.max(0, scroller.scrollTop - offset))].name;
    if (sticky.textContent !== name) sticky.textContent = name;
  }

  let queued = false;
  scroller.addEventListener('scroll', () => {
    if (queued) return;
    queued = true;
    requestAnimationFrame(() => {
      queued = false;
      draw();
    });
  }, {passive: true});
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
