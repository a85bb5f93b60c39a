'use strict';
// The face view's two routes: a face's specimen (/specimen?path=&postscript=),
// read when the page opens the face and kept by the cutter's bounded cache
// as the bytes sent, and one character's name (/character?cp=).

const {readUnchanged, regularFile} = require('./font_file.js');
const {reply} = require('./reply.js');
const {readSpecimen} = require('./specimen.js');
const {UnicodeData} = require('./unicode_data.js');

const kMaxCodePoint = 0x10ffff;

class SpecimenRoutes {
  constructor(cutter, unicode = new UnicodeData()) {
    this.cutter_ = cutter;
    this.unicode_ = unicode;
  }

  // The specimen of `postscript` (null: the file's only or first face) of
  // `path`, as JSON bytes, or null when it cannot be read.
  async specimen(path, postscript) {
    const st = await regularFile(path);
    return st && this.cutter_.specimen(st, postscript, async () => {
      const view = await readUnchanged(path, st, (read, size) =>
        readSpecimen(read, size, postscript));
      if (!view) return null;
      if (view.characters) view.blocks = await this.unicode_.blocksOf(view.characters.runs);
      return Buffer.from(JSON.stringify(view));
    });
  }

  // Answers for a file of the current catalogue only (`listed`).
  async serveSpecimen(res, listed, path, postscript) {
    const bytes = listed ? await this.specimen(path, postscript || null) : null;
    if (!bytes) return reply(res, 404, 'text/plain; charset=utf-8', 'not found\n');
    res.setHeader('Cache-Control', 'no-store');
    return reply(res, 200, 'application/json', bytes);
  }

  async serveCharacter(res, params) {
    const text = params.get('cp') || '';
    const cp = /^[0-9A-Fa-f]{1,6}$/.test(text) ? parseInt(text, 16) : -1;
    if (cp < 0 || cp > kMaxCodePoint) {
      return reply(res, 400, 'text/plain; charset=utf-8', 'bad request\n');
    }
    res.setHeader('Cache-Control', 'max-age=86400');
    return reply(res, 200, 'application/json',
        JSON.stringify({cp, name: await this.unicode_.name(cp)}));
  }
}

module.exports = {SpecimenRoutes};
