'use strict';
// The page: the server's events bring the families, sorted, each with the
// face its sample is shown in (or none a browser can show). A library may
// hold tens of thousands of families, so the list holds only the families
// that match the search and that have come near the view, a batch at a time,
// and each sample gets its own face only once it scrolls near the view.
(() => {
  const kBatch = 40;  // families added to the list at a time: a few screens
  const list = document.getElementById('families');
  const more = document.getElementById('more');
  const status = document.getElementById('status');
  const check = document.getElementById('check');
  const search = document.getElementById('search');
  const sampleText = document.getElementById('sample-text');
  const loaded = new Map();  // font URL -> CSS family name of its FontFace
  const wanted = new WeakMap();  // sample element -> font URL
  let summary = {generation: 0, faces: 0, families: []};
  let keys = [];  // per family, the lower-case names the search looks in
  let query = '';
  let matches = [];  // the families the search lets through, as indexes
  let shown = 0;  // how many of `matches` are in the list
  let samples = [];  // [sample element, family] of the families in the list

  function faceName(url) {
    let name = loaded.get(url);
    if (!name) {
      name = 'kavri-face-' + loaded.size;
      document.fonts.add(new FontFace(name, 'url("' + url + '")'));
      loaded.set(url, name);
    }
    return name;
  }

  const faceObserver = new IntersectionObserver((entries) => {
    for (const entry of entries) {
      if (!entry.isIntersecting) continue;
      const sample = entry.target;
      sample.style.fontFamily = '"' + faceName(wanted.get(sample)) + '", sans-serif';
      faceObserver.unobserve(sample);
    }
  }, {rootMargin: '600px'});

  function familyItem(family) {
    const item = document.createElement('li');
    item.className = 'family';
    item.dataset.family = family.family;
    const sample = document.createElement('span');
    sample.className = 'sample';
    sample.textContent = sampleText.value || family.name;
    samples.push([sample, family]);
    // The name again in the page's own face: a symbol font shows no letters.
    const name = document.createElement('span');
    name.className = 'name';
    name.textContent = family.name;
    const styles = document.createElement('span');
    styles.className = 'styles';
    styles.textContent = family.styles.join(' · ');
    const about = document.createElement('div');
    about.className = 'about';
    about.append(name, styles);
    if (family.sample) {
      wanted.set(sample, '/font?path=' + encodeURIComponent(family.sample.path) +
          (family.sample.postscript ? '&postscript=' +
              encodeURIComponent(family.sample.postscript) : ''));
      faceObserver.observe(sample);
    } else {
      item.classList.add('no-preview');
      const note = document.createElement('span');
      note.className = 'note';
      note.textContent = 'no preview in the browser';
      about.append(note);
    }
    item.append(sample, about);
    return item;
  }

  const moreObserver = new IntersectionObserver((entries) => {
    if (entries.some((e) => e.isIntersecting)) showMore();
  }, {rootMargin: '1200px'});

  function showMore() {
    const end = Math.min(shown + kBatch, matches.length);
    const items = [];
    for (let i = shown; i < end; i++) items.push(familyItem(summary.families[matches[i]]));
    list.append(...items);
    shown = end;
    // Observed afresh, the end of the list is reported again even if it is
    // still in view after this batch.
    moreObserver.unobserve(more);
    if (shown < matches.length) moreObserver.observe(more);
  }

  function showStatus() {
    const n = summary.families.length;
    if (query) {
      status.textContent = matches.length + ' of ' + n + (n === 1 ? ' family' : ' families') +
          ' match “' + search.value.trim() + '”';
    } else {
      status.textContent = n + (n === 1 ? ' family, ' : ' families, ') + summary.faces +
          (summary.faces === 1 ? ' face' : ' faces');
    }
  }

  // A query that contains the last one can only match fewer families: as
  // the user types on, only the last matches are searched again. While the
  // families in the list still lead the matches, the list stays as it is.
  function showMatches(fresh) {
    const last = query;
    const listed = matches.slice(0, shown);
    query = search.value.trim().toLowerCase();
    const from = fresh || !query.includes(last) ? keys.keys() : matches;
    matches = [];
    for (const i of from) {
      if (keys[i].includes(query)) matches.push(i);
    }
    showStatus();
    if (!fresh && listed.length > 0 && listed.every((i, k) => matches[k] === i)) {
      moreObserver.unobserve(more);
      if (shown < matches.length) moreObserver.observe(more);
      return;
    }
    faceObserver.disconnect();
    samples = [];
    shown = 0;
    list.replaceChildren();
    showMore();
  }

  // The event's columns as families: each with its style names, in the
  // order of its faces, and the first of its faces a browser can show.
  function familiesOf(columns) {
    let face = 0;
    return columns.families.map((family, k) => {
      const styles = [];
      let sample = null;
      for (const end = face + columns.counts[k]; face < end; face++) {
        const style = columns.styles[face];
        if (style && !styles.includes(style)) styles.push(style);
        if (!sample && !columns.noPreview.includes(columns.file[face])) {
          sample = {path: columns.files[columns.file[face]],
            postscript: columns.postscripts[face] || ''};
        }
      }
      return {family, name: columns.names[k] || family, styles, sample};
    });
  }

  const events = new EventSource('/events');
  events.addEventListener('catalogue', (e) => {
    const columns = JSON.parse(e.data);
    summary = {generation: columns.generation, faces: columns.faces,
      families: familiesOf(columns)};
    keys = summary.families.map((f) => (f.name + '\n' + f.family).toLowerCase());
    showMatches(true);
    document.body.dataset.generation = String(summary.generation);
  });
  events.addEventListener('error', () => {
    status.textContent = 'Lost the connection to the server; retrying…';
  });

  search.addEventListener('input', () => showMatches(false));
  sampleText.addEventListener('input', () => {
    for (const [sample, family] of samples) sample.textContent = sampleText.value || family.name;
  });

  check.addEventListener('click', async () => {
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
})();
