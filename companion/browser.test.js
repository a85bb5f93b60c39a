'use strict';
// The page in real browsers: headless Chromium and Firefox open the server's page,
// finds the families of real fonts listed in their own faces (and a Type 1
// family marked as having no preview), sees a family pushed later appear,
// narrows the list with its search box, shows typed text in every sample,
// opens a family to its faces, sizes and filters the list from the keyboard
// and from its address, and asks for an update check with its button. Every
// wait is for the event itself, inside the page.

const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const {describe, it, before, after} = require('node:test');
const {kBrowsers, openPage, whyNoBrowser} = require('./tests/browsers.js');
const h = require('./tests/harness.js');

const kDejaVu = '/usr/share/fonts/truetype/dejavu';
const kFonts = {
  sans: path.join(kDejaVu, 'DejaVuSans.ttf'),
  sansBold: path.join(kDejaVu, 'DejaVuSans-Bold.ttf'),
  serif: path.join(kDejaVu, 'DejaVuSerif.ttf'),
  mono: path.join(kDejaVu, 'DejaVuSansMono.ttf'),
  monoBold: path.join(kDejaVu, 'DejaVuSansMono-Bold.ttf'),
};
const kInter = '/usr/share/fonts/opentype/inter';
const kInterVariable = '/usr/share/fonts/truetype/inter-vf/Inter.var.ttf';

function whySkipDesigner() {
  const missing = [path.join(kInter, 'Inter-BoldItalic.otf'), kInterVariable]
      .find((f) => !fs.existsSync(f));
  return missing ? `${missing} is missing (fonts-inter, fonts-inter-variable)` : false;
}

function whySkip(which) {
  const noBrowser = whyNoBrowser(which);
  if (noBrowser) return noBrowser;
  const missing = Object.values(kFonts).filter((f) => !fs.existsSync(f));
  if (missing.length) return `fonts-dejavu-core is not installed (${missing[0]} missing)`;
  return false;
}

for (const which of kBrowsers) {
describe(`the page in headless ${which}`, {skip: whySkip(which), timeout: 10 * h.kWaitMs}, () => {
  let dir;
  let creds;
  let server;
  let page;
  let initial;

  before(async () => {
    dir = h.tempDir('kavri-browser-');
    creds = h.makeCredentials(dir);
    // Two faces in one collection file, as CJK fonts come.
    const collection = path.join(dir, 'collected.ttc');
    fs.writeFileSync(collection, h.makeCollection([kFonts.sans, kFonts.serif].map(
        (f) => fs.readFileSync(f))));
    initial = {
      [kFonts.sans]: [h.face('DejaVu Sans', 'Book')],
      [kFonts.sansBold]: [h.face('DejaVu Sans', 'Bold', {weight: 700})],
      [kFonts.serif]: [h.face('DejaVu Serif', 'Book')],
      [collection]: [h.face('Collected Sans', 'Book', {postscript: 'DejaVuSans'}),
        h.face('Collected Serif', 'Book', {postscript: 'DejaVuSerif'})],
      // Browsers refuse Type 1; the page never asks for this file.
      [path.join(dir, 'NimbusRoman-Regular.pfb')]: [h.face('Nimbus Roman', 'Regular')],
    };
    server = h.spawnCompanion();
    server.send(`${creds.container};${creds.passphrase}\n`);
    server.send(JSON.stringify(initial) + '\n');
    // The address the server prints, opened as a person would: no flag waives
    // the browser's checks.
    page = await openPage(`http://127.0.0.1:${await server.port()}/`, dir, {browser: which});
  });

  after(async () => {
    if (page) await page.close();
    if (server) await server.stop();
    if (dir) fs.rmSync(dir, {recursive: true, force: true});
  });

  it('ListsTheInstalledFamiliesEachInItsOwnFace', async () => {
    const shown = await page.evaluate(`async (waitFor) => {
      const items = await waitFor(() => {
        const all = document.querySelectorAll('li.family');
        return all.length === 5 && all;
      });
      const samples = await waitFor(() => {
        const all = [...document.querySelectorAll('li:not(.no-preview) .sample')];
        return all.every((s) => s.style.fontFamily) && all;
      });
      const faces = [...document.fonts].filter((f) => f.family.startsWith('kavri-face-'));
      await Promise.all(faces.map((f) => f.load()));
      const context = document.createElement('canvas').getContext('2d');
      const width = (sample) => {
        context.font = '40px ' + sample.style.fontFamily;
        return context.measureText('Hamburgefonstiv').width;
      };
      return {
        families: [...items].map((li) => li.dataset.family),
        styles: [...document.querySelectorAll('.styles')].map((s) => s.textContent),
        faces: faces.map((f) => f.status),
        rendered: samples.map((s) => document.fonts.check('20px ' + s.style.fontFamily, s.textContent)),
        widths: samples.map(width),
        noPreview: [...document.querySelectorAll('li.no-preview')].map((li) => [li.dataset.family,
          li.querySelector('.about').textContent, li.querySelector('.sample').style.fontFamily]),
        status: document.getElementById('status').textContent,
        secure: window.isSecureContext,
      };
    }`);
    assert.equal(shown.secure, true, 'a page on loopback is a secure context over plain HTTP');
    assert.deepEqual(shown.families,
        ['Collected Sans', 'Collected Serif', 'DejaVu Sans', 'DejaVu Serif', 'Nimbus Roman']);
    assert.deepEqual(shown.styles, ['Book', 'Book', 'Book · Bold', 'Book', 'Regular']);
    assert.deepEqual(shown.faces, ['loaded', 'loaded', 'loaded', 'loaded']);
    assert.deepEqual(shown.rendered, [true, true, true, true]);
    assert.deepEqual(shown.noPreview,
        [['Nimbus Roman', 'Nimbus RomanRegularno preview in the browser', '']]);
    assert.equal(shown.status, '5 families, 6 faces');
    // Each face of the collection shows as itself, not as its first face.
    const [collectedSans, collectedSerif, sans, serif] = shown.widths;
    assert.equal(collectedSans, sans);
    assert.equal(collectedSerif, serif);
    assert.notEqual(sans, serif);
  });

  it('ShowsAFamilyPushedLaterWithoutAReload', async () => {
    await page.evaluate(`async () => { window.kavriSamePage = true; }`);
    server.send(JSON.stringify({...initial,
      [kFonts.mono]: [h.face('DejaVu Sans Mono', 'Book')]}) + '\n');
    const shown = await page.evaluate(`async (waitFor) => {
      const mono = await waitFor(() => document.querySelector('li[data-family="DejaVu Sans Mono"]'));
      const sample = mono.querySelector('.sample');
      await waitFor(() => sample.style.fontFamily);
      const face = [...document.fonts].find((f) => sample.style.fontFamily.includes(f.family));
      await face.load();
      return {
        samePage: window.kavriSamePage === true,
        families: [...document.querySelectorAll('li.family')].map((li) => li.dataset.family),
        monoFace: face.status,
      };
    }`);
    assert.deepEqual(shown, {samePage: true, monoFace: 'loaded',
      families: ['Collected Sans', 'Collected Serif', 'DejaVu Sans', 'DejaVu Sans Mono',
        'DejaVu Serif', 'Nimbus Roman']});
  });

  it('SearchNarrowsTheFamiliesAndTypedTextShowsInEverySample', async () => {
    // Once every sample in view has its face (and so its text).
    const shownNow = () => page.evaluate(`async (waitFor) => {
      const far = (s) => s.getBoundingClientRect().top > innerHeight + 600 ||
          s.getBoundingClientRect().bottom < -600;
      await waitFor(() => [...document.querySelectorAll('li.family > .sample')]
          .every((s) => s.dataset.shown || far(s)));
      return {
        families: [...document.querySelectorAll('li.family')].map((li) => li.dataset.family),
        samples: [...new Set([...document.querySelectorAll('.sample')].map((s) => s.textContent))],
        status: document.getElementById('status').textContent,
      };
    }`);
    const waitForList = (count) => page.evaluate(`async (waitFor) =>
      waitFor(() => document.querySelectorAll('li.family').length === ${count})`);
    // Typed as a person would: key events into the focused box.
    const type = async (id, text) => {
      await page.evaluate(`async () => document.getElementById('${id}').focus()`);
      await page.type(text);
    };

    await type('search', 'SANS');
    await waitForList(3);
    await type('sample-text', 'Hamburgefonstiv');
    await page.evaluate(`async (waitFor) => waitFor(() =>
      document.querySelector('.sample').textContent === 'Hamburgefonstiv')`);
    assert.deepEqual(await shownNow(), {
      families: ['Collected Sans', 'DejaVu Sans', 'DejaVu Sans Mono'],
      samples: ['Hamburgefonstiv'],
      status: '3 of 6 families (4 of 7 faces) match “SANS”',
    });

    // A new catalogue keeps the search and the sample text.
    const grown = {...initial, [kFonts.mono]: [h.face('DejaVu Sans Mono', 'Book')]};
    grown[path.join(dir, 'later.otf')] = [h.face('Later Sans', 'Regular')];
    server.send(JSON.stringify(grown) + '\n');
    await waitForList(4);
    assert.deepEqual(await shownNow(), {
      families: ['Collected Sans', 'DejaVu Sans', 'DejaVu Sans Mono', 'Later Sans'],
      samples: ['Hamburgefonstiv'],
      status: '4 of 7 families (5 of 8 faces) match “SANS”',
    });

    // A library larger than the list holds at once: every family is reached
    // by scrolling, and found by name.
    const library = {};
    for (let i = 0; i < 250; i++) {
      library[`/library/font-${i}.otf`] = [h.face(`Library ${i}`, 'Regular')];
    }
    server.send(JSON.stringify(library) + '\n');
    await page.evaluate(`async (waitFor) => {
      const search = document.getElementById('search');
      search.value = '';
      search.dispatchEvent(new Event('input'));
      await waitFor(() => {
        window.scrollTo(0, document.body.scrollHeight);
        return document.querySelectorAll('li.family').length === 250;
      });
    }`);
    assert.deepEqual((await shownNow()).families.slice(-2), ['Library 248', 'Library 249']);
    await type('search', 'library 24');
    await waitForList(11);
    assert.deepEqual((await shownNow()).families.slice(0, 2), ['Library 24', 'Library 240']);
  });

  // A designer's round: a family opened from the keyboard to its faces, a
  // larger size, two filters (one of them on a fact read from the files),
  // each list checked against the catalogue, and the same list again from
  // the page's address.
  it('OpensAFamilySizesAndFiltersIt', {skip: whySkipDesigner()}, async () => {
    const catalogue = {};
    const add = (file, family, style, extra) => {
      (catalogue[file] = catalogue[file] || []).push(h.face(family, style, extra));
    };
    for (const [name, weight] of [['Regular', 400], ['Italic', 400], ['Bold', 700],
      ['BoldItalic', 700], ['Thin', 100], ['Black', 900]]) {
      add(path.join(kInter, `Inter-${name}.otf`), 'Inter', name.replace(/(.)Italic/, '$1 Italic'),
          {weight, italic: name.endsWith('Italic'), postscript: `Inter-${name}`});
    }
    for (const [style, weight] of [['Thin', 100], ['Regular', 400], ['Black', 900]]) {
      add(kInterVariable, 'Inter Variable', style, {weight});
    }
    add(kFonts.sans, 'DejaVu Sans', 'Book');
    add(kFonts.sansBold, 'DejaVu Sans', 'Bold', {weight: 700});
    add(kFonts.mono, 'DejaVu Sans Mono', 'Book');
    add(kFonts.monoBold, 'DejaVu Sans Mono', 'Bold', {weight: 700});
    server.send(JSON.stringify(catalogue) + '\n');
    const records = Object.entries(catalogue).flatMap(([file, faces]) =>
      faces.map((f) => ({file, ...f, mono: file.includes('Mono')})));
    // The families of the catalogue with a face that passes `test`, in order.
    const expected = (test) => [...new Set(records.filter(test).map((f) => f.family))].sort();
    const listed = () => page.evaluate(`async () =>
      [...document.querySelectorAll('li.family')].map((li) => li.dataset.family)`);
    const press = (key) => page.press(key);
    await page.evaluate(`async (waitFor) => {
      const search = document.getElementById('search');
      search.value = '';
      search.dispatchEvent(new Event('input'));
      await waitFor(() => document.querySelectorAll('li.family').length === 4);
    }`);

    // Opened from the keyboard: every face in its own face, with what the
    // catalogue says of it.
    await page.evaluate(`async () => document.activeElement.blur()`);
    await press('/');
    await page.type('inter');
    await page.evaluate(`async (waitFor) => waitFor(() =>
      document.querySelectorAll('li.family').length === 2)`);
    await press('ArrowDown');
    await press('Enter');
    const opened = await page.evaluate(`async (waitFor) => {
      const rows = await waitFor(() => {
        const all = [...document.querySelectorAll('li[aria-expanded=true] .face')];
        return all.length > 0 && all.every((r) => r.querySelector('.sample').style.fontFamily) &&
            all;
      });
      const samples = rows.map((r) => r.querySelector('.sample'));
      const own = new Set(samples.map((s) => s.style.fontFamily.split(',')[0].replace(/"/g, '')));
      await Promise.all([...document.fonts].filter((f) => own.has(f.family)).map((f) => f.load()));
      const context = document.createElement('canvas').getContext('2d');
      return {
        family: document.activeElement.dataset.family,
        rows: rows.map((r) => [r.querySelector('.name').textContent,
          r.querySelector('.traits').textContent, r.querySelector('.path').textContent]),
        drawn: samples.every((s) => document.fonts.check('20px ' + s.style.fontFamily, 'Inter')),
        widths: new Set(samples.map((s) => {
          context.font = '40px ' + s.style.fontFamily;
          return context.measureText('Hamburgefonstiv').width;
        })).size,
      };
    }`);
    assert.equal(opened.family, 'Inter');
    const inter = catalogue[path.join(kInter, 'Inter-Regular.otf')] && records
        .filter((f) => f.family === 'Inter');
    assert.deepEqual(opened.rows.map(([style]) => style).sort(),
        inter.map((f) => f.style).sort());
    for (const [style, traits, file] of opened.rows) {
      const face = inter.find((f) => f.style === style);
      assert.equal(file, face.file);
      assert.match(traits, new RegExp(`^weight ${face.weight} · normal · ` +
          `${face.italic ? 'italic' : 'upright'} · OpenType$`));
    }
    assert.ok(opened.drawn);
    assert.equal(opened.widths, inter.length);

    // Every sample at the new size.
    const sizes = await page.evaluate(`async (waitFor) => {
      const size = document.getElementById('size');
      size.value = '80';
      size.dispatchEvent(new Event('input'));
      return [...new Set([...document.querySelectorAll('.sample')].map((s) =>
        getComputedStyle(s).fontSize))];
    }`);
    assert.deepEqual(sizes, ['80px']);

    // Two filters on what the catalogue says: italic and bold or heavier;
    // the open family dims the faces they leave out.
    const filter = (settings) => page.evaluate(`async (waitFor) => {
      for (const [id, value] of ${JSON.stringify(Object.entries(settings))}) {
        const control = document.getElementById(id);
        if (control.type === 'checkbox') control.checked = value; else control.value = value;
        control.dispatchEvent(new Event('change'));
      }
      return waitFor(() => {
        const text = document.getElementById('status').textContent;
        return !text.includes('reading') && text;
      });
    }`);
    const heavyItalic = (f) => f.italic && f.weight >= 700 && /inter/i.test(f.family);
    const status = await filter({'slant': 'italic', 'weight-min': '700'});
    assert.deepEqual(await listed(), expected(heavyItalic));
    assert.equal(status, `1 of 4 families (${records.filter(heavyItalic).length} of ` +
        `${records.length} faces) match “inter” and the filters`);
    assert.deepEqual(await page.evaluate(`async () => [...document.querySelectorAll(
      '.face:not(.filtered-out) .name')].map((n) => n.textContent)`), ['Bold Italic']);

    // And on a fact read from the files: monospaced, bold or heavier.
    await page.evaluate(`async () => {
      const search = document.getElementById('search');
      search.value = '';
      search.dispatchEvent(new Event('input'));
    }`);
    await filter({'slant': '', 'mono': true});
    assert.deepEqual(await listed(), expected((f) => f.mono && f.weight >= 700));

    // Escape closes the family; the address holds the rest.
    await press('Escape');
    // The address is no part of the document: polled.
    const address = await page.evaluate(`async () => new Promise((resolve) => {
      const poll = () => (!document.querySelector('.faces') && location.search.includes('mono')
          ? resolve(location.href) : setTimeout(poll, 10));
      poll();
    })`);
    assert.match(address, /[?&]size=80&weight=700-900&mono=1$/);
    await page.evaluate(`async () => { window.kavriBefore = true; }`);
    // A language the page does not know (a hand-edited link) filters nothing.
    await page.goto(`${address}&lang=klingon&open=DejaVu+Sans+Mono`);
    const again = await h.within((async () => {
      for (;;) {
        const shown = await page.evaluate(`async (waitFor) => !window.kavriBefore && waitFor(() =>
          document.body.dataset.generation && !document.getElementById('status').textContent
              .includes('reading') && ({
            families: [...document.querySelectorAll('li.family')].map((li) => li.dataset.family),
            size: getComputedStyle(document.querySelector('.sample')).fontSize,
            mono: document.getElementById('mono').checked,
            weight: document.getElementById('weight-min').value,
            open: [...document.querySelectorAll('[aria-expanded=true] .face .name')]
                .map((n) => n.textContent),
            language: document.getElementById('language').selectedIndex,
          }))`).catch(() => false);
        if (shown) return shown;
      }
    })(), 'the page reopened from its address');
    assert.deepEqual(again, {families: expected((f) => f.mono && f.weight >= 700), size: '80px',
      mono: true, weight: '700', open: ['Book', 'Bold'], language: 0});
  });

  // What a face shows, from the facts of the faces a catalogue has: the
  // reader's text where the face covers its writing, else a text in a
  // language the face covers, or its own characters; said so either way.
  it('EachFaceSpeaksAScriptItCovers', async () => {
    const shown = await page.evaluate(`async () => {
      const {sampleFor} = await import('/samples.js');
      const {kFactBits, kLanguages} = await import('/shared.js');
      const language = (code) => kLanguages.findIndex((l) => l.code === code);
      const covering = (...codes) => kFactBits.read | kFactBits.mapped |
          codes.reduce((bits, code) => bits | (kFactBits.firstLanguage << language(code)), 0);
      const cat = {
        facts: [0, covering('latin', 'cyrillic'), covering('thai'), covering()],
        extra: new Map([[3, {sample: '\u{11700}\u{11701}'}]]),
        coverage(face) {
          return this.facts[face] & kFactBits.mapped ? kLanguages.map((_, k) => k)
              .filter((k) => this.facts[face] & (kFactBits.firstLanguage << k)) : null;
        },
      };
      return [0, 1, 2, 3].flatMap((face) => ['Quick', 'Быстро'].map((text) =>
        sampleFor(cat, face, text)));
    }`);
    const thai = 'ภาษาไทย สวัสดี';
    assert.deepEqual(shown, [
      {text: 'Quick', note: ''}, {text: 'Быстро', note: ''},  // facts not read yet
      {text: 'Quick', note: ''}, {text: 'Быстро', note: ''},
      {text: thai, note: 'in Thai: the face has no Latin letters'},
      {text: thai, note: 'in Thai: the face has no Cyrillic letters'},
      {text: '\u{11700}\u{11701}', note: 'in Ahom, its own characters: the face has no ' +
        'Latin letters'},
      {text: '\u{11700}\u{11701}', note: 'in Ahom, its own characters: the face has no ' +
        'Cyrillic letters'},
    ]);
  });

  it('CheckForUpdatesButtonReachesTheAgent', async () => {
    const status = await page.evaluate(`async (waitFor) => {
      document.getElementById('check').click();
      return waitFor(() => {
        const text = document.getElementById('status').textContent;
        return text.startsWith('Asked') || text.includes('refused') ? text : null;
      });
    }`);
    assert.equal(status, 'Asked for an update check.');
    await server.stdout.waitFor('CHECK FOR UPDATES\n');
  });
});
}
