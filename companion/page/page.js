'use strict';
(() => {
  const list = document.getElementById('families');
  const status = document.getElementById('status');
  const check = document.getElementById('check');
  const loaded = new Map();  // font URL -> CSS family name of its FontFace
  const wanted = new WeakMap();  // sample element -> font URL

  function faceName(url) {
    let name = loaded.get(url);
    if (!name) {
      name = 'kavri-face-' + loaded.size;
      document.fonts.add(new FontFace(name, 'url("' + url + '")'));
      loaded.set(url, name);
    }
    return name;
  }

  const observer = new IntersectionObserver((entries) => {
    for (const entry of entries) {
      if (!entry.isIntersecting) continue;
      const sample = entry.target;
      sample.style.fontFamily = '"' + faceName(wanted.get(sample)) + '", sans-serif';
      observer.unobserve(sample);
    }
  }, {rootMargin: '600px'});

  function render(summary) {
    observer.disconnect();
    const items = summary.families.map((family) => {
      const item = document.createElement('li');
      item.className = 'family';
      item.dataset.family = family.family;
      const sample = document.createElement('span');
      sample.className = 'sample';
      sample.textContent = family.name;
      const face = family.faces[0];
      wanted.set(sample, '/font?path=' + encodeURIComponent(face.path) +
          '&postscript=' + encodeURIComponent(face.postscript));
      observer.observe(sample);
      // The name again in the page's own face: a symbol font shows no letters.
      const name = document.createElement('span');
      name.className = 'name';
      name.textContent = family.name;
      const styles = document.createElement('span');
      styles.className = 'styles';
      styles.textContent = [...new Set(family.faces.map((f) => f.name).filter(Boolean))].join(' · ');
      const about = document.createElement('div');
      about.className = 'about';
      about.append(name, styles);
      item.append(sample, about);
      return item;
    });
    list.replaceChildren(...items);
    const n = summary.families.length;
    status.textContent = n + (n === 1 ? ' family, ' : ' families, ') + summary.faces +
        (summary.faces === 1 ? ' face' : ' faces');
    document.body.dataset.generation = String(summary.generation);
  }

  const events = new EventSource('/events');
  events.addEventListener('catalogue', (e) => render(JSON.parse(e.data)));
  events.addEventListener('error', () => {
    status.textContent = 'Lost the connection to the server; retrying…';
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
