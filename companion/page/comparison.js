// Faces pinned side by side, from any families, each drawing the same text at
// the size chosen: the region named "Comparison". Faces are pinned by their
// keys (face_keys.js), so the address keeps them and a face gone from the
// catalogue is named as gone.
import {kMaxCompared} from './address.js';
import {faceKey, faceLabel, findFace} from './face_keys.js';

const kDefaultText = 'The quick brown fox jumps over the lazy dog';

export class Comparison {
  // `region` is the element to draw in; `fontFor(face)` resolves a face's
  // family (null when the browser cannot load it); `changed()` is told
  // whenever the pinned faces change.
  constructor(region, fontFor, changed) {
    this.region_ = region;
    this.fontFor_ = fontFor;
    this.changed_ = changed;
    this.keys = [];
    this.cat_ = null;
    this.text_ = '';
  }

  has(cat, face) {
    return this.keys.includes(faceKey(cat, face));
  }

  // Pins `face`, or unpins it if pinned; returns whether it is pinned now.
  // A fifth face takes the place of the first pinned.
  toggle(cat, face) {
    const key = faceKey(cat, face);
    if (this.keys.includes(key)) {
      this.keys = this.keys.filter((k) => k !== key);
    } else {
      this.keys = [...this.keys, key].slice(-kMaxCompared);
    }
    this.draw(cat);
    this.changed_();
    return this.keys.includes(key);
  }

  // Sets the pinned faces (from the address) without telling.
  set(keys) {
    this.keys = keys.slice(0, kMaxCompared);
  }

  setText(text) {
    this.text_ = text;
    for (const sample of this.region_.querySelectorAll('.compared-text')) {
      sample.textContent = text || kDefaultText;
    }
  }

  draw(cat) {
    this.cat_ = cat;
    const region = this.region_;
    region.hidden = this.keys.length === 0;
    region.replaceChildren();
    if (this.keys.length === 0) return;
    const heading = document.createElement('h2');
    heading.textContent = `Comparison of ${this.keys.length} ` +
        `${this.keys.length === 1 ? 'face' : 'faces'}`;
    const row = document.createElement('div');
    row.className = 'compared';
    const gone = [];
    for (const key of this.keys) {
      const face = findFace(cat, key);
      if (face < 0) {
        gone.push(key);
        continue;
      }
      row.append(this.figure_(cat, face, key));
    }
    region.append(heading, row);
    if (gone.length > 0) {
      const note = document.createElement('p');
      note.className = 'gone';
      note.setAttribute('role', 'alert');
      note.textContent = `${gone.length === 1 ? 'A face' : `${gone.length} faces`} to compare ` +
          `${gone.length === 1 ? 'is' : 'are'} no longer installed: ` +
          gone.map((k) => k.slice(k.indexOf('/'))).join(', ');
      const forget = document.createElement('button');
      forget.type = 'button';
      forget.textContent = 'Forget them';
      forget.addEventListener('click', () => {
        this.keys = this.keys.filter((k) => !gone.includes(k));
        this.draw(cat);
        this.changed_();
      });
      note.append(' ', forget);
      region.append(note);
    }
  }

  figure_(cat, face, key) {
    const figure = document.createElement('figure');
    figure.className = 'compared-face';
    figure.dataset.key = key;
    const sample = document.createElement('p');
    sample.className = 'compared-text';
    sample.textContent = this.text_ || kDefaultText;
    this.fontFor_(face).then((family) => {
      sample.style.fontFamily = family ? `"${family}", sans-serif` : 'sans-serif';
      sample.dataset.shown = family ? 'loaded' : 'failed';
    });
    const caption = document.createElement('figcaption');
    caption.textContent = `${faceLabel(cat, face)} `;
    const unpin = document.createElement('button');
    unpin.type = 'button';
    unpin.textContent = 'Remove';
    unpin.setAttribute('aria-label', `Remove ${caption.textContent.trim()} from the comparison`);
    unpin.addEventListener('click', () => this.toggle(cat, face));
    caption.append(unpin);
    figure.append(caption, sample);
    return figure;
  }
}
