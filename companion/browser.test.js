'use strict';
// The page in a real browser: headless Chromium opens the server's page,
// finds the families of real fonts listed in their own faces (and a Type 1
// family marked as having no preview), sees a family pushed later appear,
// narrows the list with its search box, shows typed text in every sample,
// and asks for an update check with its button. Every wait is for the event
// itself, inside the page.

const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const {describe, it, before, after} = require('node:test');
const {findChromium, openPage} = require('./chromium.js');
const h = require('./harness.js');

const kDejaVu = '/usr/share/fonts/truetype/dejavu';
const kFonts = {
  sans: path.join(kDejaVu, 'DejaVuSans.ttf'),
  sansBold: path.join(kDejaVu, 'DejaVuSans-Bold.ttf'),
  serif: path.join(kDejaVu, 'DejaVuSerif.ttf'),
  mono: path.join(kDejaVu, 'DejaVuSansMono.ttf'),
};

function whySkip() {
  if (!findChromium()) return 'chromium is not installed (apt-get install chromium)';
  const missing = Object.values(kFonts).filter((f) => !fs.existsSync(f));
  if (missing.length) return `fonts-dejavu-core is not installed (${missing[0]} missing)`;
  return false;
}

describe('the page in headless Chromium', {skip: whySkip(), timeout: 10 * h.kWaitMs}, () => {
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
    page = await openPage(`http://127.0.0.1:${await server.port()}/`, dir);
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
    const shownNow = () => page.evaluate(`async () => ({
      families: [...document.querySelectorAll('li.family')].map((li) => li.dataset.family),
      samples: [...new Set([...document.querySelectorAll('.sample')].map((s) => s.textContent))],
      status: document.getElementById('status').textContent,
    })`);
    const waitForList = (count) => page.evaluate(`async (waitFor) =>
      waitFor(() => document.querySelectorAll('li.family').length === ${count})`);
    // Typed as a person would: key events into the focused box.
    const type = async (id, text) => {
      await page.evaluate(`async () => document.getElementById('${id}').focus()`);
      await page.send('Input.insertText', {text});
    };

    await type('search', 'SANS');
    await waitForList(3);
    await type('sample-text', 'Hamburgefonstiv');
    await page.evaluate(`async (waitFor) => waitFor(() =>
      document.querySelector('.sample').textContent === 'Hamburgefonstiv')`);
    assert.deepEqual(await shownNow(), {
      families: ['Collected Sans', 'DejaVu Sans', 'DejaVu Sans Mono'],
      samples: ['Hamburgefonstiv'],
      status: '3 of 6 families match “SANS”',
    });

    // A new catalogue keeps the search and the sample text.
    const grown = {...initial, [kFonts.mono]: [h.face('DejaVu Sans Mono', 'Book')]};
    grown[path.join(dir, 'later.otf')] = [h.face('Later Sans', 'Regular')];
    server.send(JSON.stringify(grown) + '\n');
    await waitForList(4);
    assert.deepEqual(await shownNow(), {
      families: ['Collected Sans', 'DejaVu Sans', 'DejaVu Sans Mono', 'Later Sans'],
      samples: ['Hamburgefonstiv'],
      status: '4 of 7 families match “SANS”',
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
