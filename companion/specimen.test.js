'use strict';
// The face view and the comparison in headless Chromium and Firefox: Inter's static face
// with its stylistic sets, Inter's variable font as one face with both axes
// and its named instances, WenQuanYi Zen Hei's 42,285 characters scrolled to
// the last block, DejaVu's ligatures turned off, and three faces compared
// from the address alone. Every wait is for the event itself, in the page.

const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const {describe, it, before, after} = require('node:test');
const {kBrowsers, openPage, whyNoBrowser} = require('./tests/browsers.js');
const h = require('./tests/harness.js');

const kFonts = {
  inter: '/usr/share/fonts/opentype/inter/Inter-Regular.otf',
  interBold: '/usr/share/fonts/opentype/inter/Inter-Bold.otf',
  interVariable: '/usr/share/fonts/truetype/inter-vf/Inter.var.ttf',
  dejavu: '/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf',
  wqy: '/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc',
};

function whySkip(which) {
  const noBrowser = whyNoBrowser(which);
  if (noBrowser) return noBrowser;
  const missing = Object.values(kFonts).find((f) => !fs.existsSync(f));
  return missing ? `${missing} is missing (fonts-inter, fonts-inter-variable, ` +
      'fonts-dejavu-core, fonts-wqy-zenhei)' : false;
}

// A face's key in the page's address: a collection's face by its PostScript
// name and path, any other font by its path.
const key = (file, postscript = '') => postscript + file;
const address = (params) => '?' + new URLSearchParams(params).toString();

// Resolves with the address once test(location.search) holds: the page
// rewrites it with history.replaceState, which no document event reports.
const kAddressWhen = `(test) => new Promise((resolve) => {
  if (test(location.search)) return resolve(location.search);
  const replace = history.replaceState;
  history.replaceState = function (...args) {
    replace.apply(this, args);
    if (test(location.search)) {
      history.replaceState = replace;
      resolve(location.search);
    }
  };
})`;

// Resolves once the face view has its tables and its face: what it shows.
const kViewShown = `async (waitFor) => {
  const view = await waitFor(() => document.querySelector('.specimen[data-ready]'));
  const sample = view.querySelector('.specimen-sample');
  const family = sample.style.fontFamily.split(',')[0].replace(/"/g, '');
  await Promise.all([...document.fonts].filter((f) => f.family === family).map((f) => f.loaded));
  const part = (label) => view.querySelector('[role=region][aria-label="' + label + '"]');
  const about = {};
  for (const dt of part('About').querySelectorAll('dt')) about[dt.textContent] =
      dt.nextElementSibling.textContent;
  return {
    title: view.querySelector('h2').textContent,
    features: [...part('OpenType features').querySelectorAll('label')].map((l) =>
      [l.textContent.trim(), l.querySelector('input').checked]),
    axes: [...part('Variable axes').querySelectorAll('input[type=range]')].map((r) =>
      [r.getAttribute('aria-label'), r.min, r.max, r.value]),
    presets: [...part('Variable axes').querySelectorAll('option')].map((o) => o.textContent),
    waterfall: [...part('Waterfall').querySelectorAll('.specimen-text')].map((t) =>
      parseFloat(getComputedStyle(t).fontSize)),
    glyphs: part('Glyphs').querySelector('.glyph-count').textContent,
    about,
    drawn: document.fonts.check('20px "' + family + '"', sample.textContent),
  };
}`;

for (const which of kBrowsers) {
describe(`the face view in headless ${which}`, {skip: whySkip(which), timeout: 12 * h.kWaitMs},
    () => {
  let dir;
  let server;
  let base;
  const pages = [];

  before(async () => {
    dir = h.tempDir('kavri-specimen-');
    const creds = h.makeCredentials(dir);
    server = h.spawnCompanion();
    server.send(`${creds.container};${creds.passphrase}\n`);
    server.send(JSON.stringify({
      [kFonts.inter]: [h.face('Inter', 'Regular', {postscript: 'Inter-Regular'})],
      [kFonts.interBold]: [h.face('Inter', 'Bold', {weight: 700, postscript: 'Inter-Bold'})],
      // A variable font comes as one record per named instance.
      [kFonts.interVariable]: ['Thin', 'Regular', 'Black'].map((style, k) =>
        h.face('Inter', style, {weight: [100, 400, 900][k], postscript: `Inter-${style}`})),
      [kFonts.dejavu]: [h.face('DejaVu Sans', 'Book')],
      [kFonts.wqy]: [h.face('WenQuanYi Zen Hei', 'Regular', {postscript: 'WenQuanYiZenHei'}),
        h.face('WenQuanYi Zen Hei Mono', 'Regular', {postscript: 'WenQuanYiZenHeiMono'})],
    }) + '\n');
    base = `http://127.0.0.1:${await server.port()}/`;
  });

  after(async () => {
    for (const page of pages) await page.close();
    if (server) await server.stop();
    if (dir) fs.rmSync(dir, {recursive: true, force: true});
  });

  const open = async (search = '') => {
    const page = await openPage(base + search, path.join(dir, `browser-${pages.length}`),
        {browser: which});
    pages.push(page);
    return page;
  };

  it('InterOpensFromItsRowToAStaticFaceWithItsStylisticSets', async () => {
    const page = await open(address({open: 'Inter'}));
    // A variable file is one row among the static ones, each naming its file.
    const rows = await page.evaluate(`async (waitFor) => {
      const rows = await waitFor(() => {
        const all = document.querySelectorAll('li[aria-expanded=true] .face');
        return all.length > 0 && [...all];
      });
      return rows.map((r) => [r.querySelector('.name').textContent,
        r.querySelector('.kind').textContent]);
    }`);
    assert.deepEqual(rows.sort(), [['Bold', 'static · Inter-Bold.otf'],
      ['Regular', 'static · Inter-Regular.otf'], ['Variable', 'variable · Inter.var.ttf']]);

    // Enter on the Regular row opens its view, kept in the address.
    await page.evaluate(`async () => [...document.querySelectorAll('.face')].find((r) =>
      r.querySelector('.name').textContent === 'Regular').focus()`);
    await page.press('Enter');
    const shown = await page.evaluate(kViewShown);
    assert.equal(shown.title, 'Inter — Regular');
    assert.ok(shown.drawn);
    const features = new Map(shown.features);
    assert.equal(features.get('ss01 — Open digits'), false);
    assert.equal(features.get('tnum — Tabular figures'), false);
    assert.equal(features.get('kern — Kerning'), true);
    assert.ok(shown.features.every(([label]) => / — /.test(label)), 'every feature named');
    assert.deepEqual(shown.axes, []);
    assert.ok(shown.waterfall.length >= 5 && Math.min(...shown.waterfall) <= 16 &&
        Math.max(...shown.waterfall) >= 96, shown.waterfall.join(' '));
    assert.equal(shown.glyphs, '2,505 glyphs');
    assert.equal(shown.about['Designer'], 'Rasmus Andersson');
    assert.equal(shown.about['Licence URL'], 'http://scripts.sil.org/OFL');
    assert.equal(shown.about['Glyphs in the font (maxp)'], '2,548');

    // A stylistic set turned on draws the sample with it.
    const settings = await page.evaluate(`async (waitFor) => {
      const box = [...document.querySelectorAll('.features input')].find((b) => b.value === 'ss01');
      box.click();
      const sample = document.querySelector('.specimen-sample');
      return getComputedStyle(sample).fontFeatureSettings;
    }`);
    assert.equal(settings, '"ss01"');
    const where = await page.evaluate(
        `async () => (${kAddressWhen})((s) => s.includes('face='))`);
    assert.equal(new URLSearchParams(where).get('face'), kFonts.inter);

    // Its Compare button pins it to the comparison, kept in the address too.
    const pinned = await page.evaluate(`async (waitFor) => {
      document.querySelector('.specimen .compare').click();
      const region = await waitFor(() =>
        document.querySelector('[role=region][aria-label=Comparison]:not([hidden])'));
      await (${kAddressWhen})((s) => s.includes('compare='));
      return [[...region.querySelectorAll('figure')].map((f) => f.dataset.key),
        new URLSearchParams(location.search).getAll('compare'),
        document.querySelector('.specimen .compare').getAttribute('aria-pressed')];
    }`);
    assert.deepEqual(pinned, [[kFonts.inter], [kFonts.inter], 'true']);

    // Back to the list, on the face's row; the address forgets the view.
    const back = await page.evaluate(`async () => {
      document.querySelector('.specimen .back').click();
      await (${kAddressWhen})((s) => !s.includes('face='));
      return [document.getElementById('families').hidden,
        document.activeElement.querySelector('.name').textContent,
        new URLSearchParams(location.search).getAll('compare')];
    }`);
    assert.deepEqual(back, [false, 'Regular', [kFonts.inter]]);
  });

  it('InterVariableIsOneFaceWithBothAxesAndItsInstances', async () => {
    const page = await open(address({open: 'Inter', face: key(kFonts.interVariable)}));
    const shown = await page.evaluate(kViewShown);
    assert.equal(shown.title, 'Inter — variable, Inter.var.ttf');
    assert.deepEqual(shown.axes, [['Weight', '100', '900', '400'], ['Slant', '-10', '0', '0']]);
    assert.ok(shown.presets.includes('Black Italic') && shown.presets.includes('Thin'),
        shown.presets.join(', '));
    const moved = await page.evaluate(`async () => {
      const select = document.querySelector('.axes select');
      select.value = String([...select.options].findIndex((o) =>
        o.textContent === 'Black Italic') - 1);
      select.dispatchEvent(new Event('change'));
      const sample = document.querySelector('.specimen-sample');
      const preset = [[...document.querySelectorAll('.axes input')].map((r) => r.value),
        getComputedStyle(sample).fontVariationSettings];
      const weight = document.querySelector('.axes input[name=wght]');
      weight.value = '250';
      weight.dispatchEvent(new Event('input'));
      return [...preset, getComputedStyle(sample).fontVariationSettings];
    }`);
    // The browser gives the settings in its own order.
    const sorted = (settings) => settings.split(', ').sort().join(', ');
    assert.deepEqual([moved[0], sorted(moved[1]), sorted(moved[2])],
        [['900', '-10'], '"slnt" -10, "wght" 900', '"slnt" -10, "wght" 250']);
  });

  it('WenQuanYiZenHeiShowsEveryMappedCharacterAFewScreensAtATime', async () => {
    const page = await open(address({face: key(kFonts.wqy, 'WenQuanYiZenHei')}));
    const shown = await page.evaluate(kViewShown);
    assert.equal(shown.glyphs, '42,285 glyphs');
    assert.equal(shown.about['Characters mapped (cmap)'], '42,285');
    // The face's last character and its block, as the server reads them.
    const view = JSON.parse((await h.request(Number(new URL(base).port), h.plain, {path:
      `/specimen?path=${encodeURIComponent(kFonts.wqy)}&postscript=WenQuanYiZenHei`})).body);
    const lastCp = view.characters.runs[view.characters.runs.length - 1];
    const lastHex = lastCp.toString(16).toUpperCase().padStart(4, '0');
    const scrolled = await page.evaluate(`async (waitFor) => {
      const scroller = document.querySelector('.glyph-scroller');
      const cells = () => scroller.querySelectorAll('.glyph').length;
      await waitFor(() => cells() > 0);
      const first = cells();
      scroller.scrollTop = scroller.scrollHeight;
      const last = await waitFor(() => scroller.querySelector('.glyph[data-cp="${lastHex}"]'));
      const box = scroller.getBoundingClientRect();
      const inView = (e) => {
        const r = e.getBoundingClientRect();
        return r.bottom > box.top && r.top < box.bottom;
      };
      const visibleNames = [...scroller.querySelectorAll('.block-name')].filter(inView)
          .map((b) => b.textContent.replace(/ · [\\d,]+$/, ''));
      last.click();
      const detail = await waitFor(() => {
        const d = document.querySelector('.glyph-detail');
        return d.querySelector('.glyph-code') && d;
      });
      return {first, after: cells(), last: last.textContent, inView: inView(last),
        visibleNames, code: detail.querySelector('.glyph-code').textContent,
        large: detail.querySelector('.glyph-large').textContent,
        drawn: document.fonts.check('20px ' + document.querySelector('.glyph-space').style
            .fontFamily, last.textContent)};
    }`);
    assert.ok(scrolled.first > 0 && scrolled.first < 3000, `${scrolled.first} cells at first`);
    assert.ok(scrolled.after < 3000, `${scrolled.after} cells after scrolling`);
    // The last character drawn in view, its block named there.
    assert.equal(scrolled.last, String.fromCodePoint(lastCp));
    assert.ok(scrolled.inView);
    assert.ok(scrolled.visibleNames.includes(view.blocks[view.blocks.length - 1][2]),
        scrolled.visibleNames.join(', '));
    assert.equal(scrolled.code, `U+${lastHex}`);
    assert.equal(scrolled.large, scrolled.last);
    assert.ok(scrolled.drawn);
    if (fs.existsSync('/usr/share/unicode/UnicodeData.txt')) {
      const name = await page.evaluate(`async (waitFor) =>
        waitFor(() => document.querySelector('.glyph-name').textContent)`);
      assert.ok(name.length > 0);
    }
  });

  it('DejaVuDrawsItsLigaturesUntilTheyAreTurnedOff', async () => {
    const page = await open(address({face: key(kFonts.dejavu), text: 'ffi fl ffi fl'}));
    const shown = await page.evaluate(kViewShown);
    assert.ok(shown.features.some(([label, on]) => label === 'liga — Standard ligatures' && on));
    assert.equal(shown.about['Glyphs in the font (maxp)'], '6,253');
    assert.equal(shown.about['Characters mapped (cmap)'], '5,918');
    const widths = await page.evaluate(`async () => {
      const sample = document.querySelector('.specimen-sample');
      const width = () => {
        const range = document.createRange();
        range.selectNodeContents(sample);
        return range.getBoundingClientRect().width;
      };
      const on = width();
      [...document.querySelectorAll('.features input')].find((b) => b.value === 'liga').click();
      return [on, width(), getComputedStyle(sample).fontFeatureSettings];
    }`);
    assert.notEqual(widths[0], widths[1]);
    assert.equal(widths[2], '"liga" 0');

    // The grid from the keyboard: arrows choose a character.
    await page.evaluate(`async (waitFor) => {
      const scroller = document.querySelector('.glyph-scroller');
      await waitFor(() => scroller.querySelector('.glyph'));
      scroller.focus();
    }`);
    for (let i = 0; i < 2; i++) await page.press('ArrowRight');
    const chosen = await page.evaluate(`async (waitFor) => {
      const second = document.querySelectorAll('.glyph')[1];
      await waitFor(() => document.querySelector('.glyph-code'));
      return [document.querySelector('.glyph-code').textContent, 'U+' + second.dataset.cp,
        second.getAttribute('aria-selected')];
    }`);
    assert.deepEqual(chosen, [chosen[1], chosen[1], 'true']);
  });

  it('ComparesThreeFacesFromTheAddressAlone', async () => {
    const faces = [key(kFonts.inter), key(kFonts.dejavu), key(kFonts.wqy, 'WenQuanYiZenHeiMono')];
    const search = new URLSearchParams({text: 'Hamburg 0123', size: '40'});
    for (const face of [...faces, key('/gone/Missing.ttf')]) search.append('compare', face);
    search.set('face', key('/gone/Viewed.ttf'));
    const page = await open('?' + search.toString());
    const shown = await page.evaluate(`async (waitFor) => {
      const region = await waitFor(() =>
        document.querySelector('[role=region][aria-label=Comparison]:not([hidden])'));
      const samples = await waitFor(() => {
        const all = [...region.querySelectorAll('.compared-text')];
        return all.length > 0 && all.every((s) => s.dataset.shown) && all;
      });
      return {
        keys: [...region.querySelectorAll('figure')].map((f) => f.dataset.key),
        texts: samples.map((s) => s.textContent),
        sizes: samples.map((s) => getComputedStyle(s).fontSize),
        drawn: samples.map((s) => s.dataset.shown === 'loaded' &&
            document.fonts.check('20px ' + s.style.fontFamily, s.textContent)),
        families: new Set(samples.map((s) => s.style.fontFamily)).size,
        gone: region.querySelector('.gone').textContent,
        viewGone: (await waitFor(() => document.querySelector('#specimen .gone'))).textContent,
      };
    }`);
    assert.deepEqual(shown.keys, faces);
    assert.deepEqual(shown.texts, Array(3).fill('Hamburg 0123'));
    assert.deepEqual(shown.sizes, Array(3).fill('40px'));
    assert.deepEqual(shown.drawn, [true, true, true]);
    assert.equal(shown.families, 3);
    assert.match(shown.gone, /no longer installed: \/gone\/Missing\.ttf/);
    assert.equal(shown.viewGone, 'The face /gone/Viewed.ttf is no longer installed.');
  });
});
}
