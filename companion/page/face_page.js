// The face view in the page's place: shown instead of the list while open,
// by its face's key (face_keys.js), so that the address can keep it; a key
// whose face is gone gets an answer that says so.
import {findFace} from './face_keys.js';
import {faceView} from './face_view.js';

export class FacePage {
  // `holder` takes the view; `hidden` are the elements it stands in for;
  // `fontOf`, `text` and `actions` are faceView's.
  constructor(holder, hidden, fontOf, text, actions) {
    this.holder_ = holder;
    this.hidden_ = hidden;
    this.fontOf_ = fontOf;
    this.text_ = text;
    this.actions_ = actions;
    this.viewing_ = null;  // {key, face}: face -1 while no catalogue has it
  }

  // The key of the face in view, or null.
  get key() {
    return this.viewing_ && this.viewing_.key;
  }

  // Remembers `key` to show once a catalogue comes.
  expect(key) {
    this.viewing_ = {key, face: -1};
  }

  show(cat, key) {
    const face = findFace(cat, key);
    this.viewing_ = {key, face};
    for (const e of this.hidden_) e.hidden = true;
    this.holder_.hidden = false;
    if (face < 0) {
      const gone = document.createElement('p');
      gone.className = 'gone';
      gone.setAttribute('role', 'alert');
      gone.textContent = `The face ${key.slice(key.indexOf('/'))} is no longer installed.`;
      const back = document.createElement('button');
      back.type = 'button';
      back.textContent = 'Back to the list';
      back.addEventListener('click', () => this.actions_.close());
      this.holder_.replaceChildren(gone, back);
    } else {
      this.holder_.replaceChildren(faceView(cat, face, this.fontOf_, this.text_, this.actions_));
    }
    scrollTo(0, 0);
    // A reader lands on the view's title.
    const title = this.holder_.querySelector('h2, .gone');
    title.tabIndex = -1;
    title.focus({preventScroll: true});
  }

  // Shows the list again; returns the face that was in view (-1: none).
  close() {
    if (!this.viewing_) return -1;
    const {face} = this.viewing_;
    this.viewing_ = null;
    this.holder_.replaceChildren();
    this.holder_.hidden = true;
    for (const e of this.hidden_) e.hidden = false;
    return face;
  }

  // The face in view drawn afresh from a new catalogue, or said to be gone.
  catalogueChanged(cat) {
    const v = this.viewing_;
    if (v && (v.face < 0 || findFace(cat, v.key) !== v.face || !this.holder_.firstElementChild)) {
      this.show(cat, v.key);
    }
  }
}
