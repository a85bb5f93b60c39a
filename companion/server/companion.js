'use strict';
// The routes: what a page can ask of the server, and the catalogue, its
// facts and the event streams they answer from. What other sites may ask
// is the web API's (web_api.js), and how they come to be allowed the
// consent page's (consent.js).

const fs = require('fs');
const {AllowedSites} = require('./allowed_sites.js');
const {parseCatalogue} = require('./catalogue.js');
const {catalogueEvent, emptyEvent} = require('./catalogue_event.js');
const {Consent} = require('./consent.js');
const {EventStreams} = require('./event_streams.js');
const {FaceCutter} = require('./face_cutter.js');
const {groupFamilies} = require('./families.js');
const {CatalogueFacts, FactReader} = require('./font_facts.js');
const {fontMediaType, readAt, sendPlan, StallError} = require('./font_file.js');
const {isAllowedHost, isForeignRequest, isOwnPagePost, kSecurityHeaders} = require('./guards.js');
const {kDefaultLimits} = require('./limits.js');
const {log, RepeatLog} = require('./log.js');
const {kStaticFiles} = require('./page.js');
const {methodNotAllowed, reply, writeInPieces} = require('./reply.js');
const {SpecimenRoutes} = require('./specimen_routes.js');
const {handleSiteList} = require('./site_list.js');
const {UpdateRequests} = require('./update_requests.js');
const {WebApi} = require('./web_api.js');

const kMaxFactsAsked = 512;  // faces per request: a few screens

// The catalogue being served and the pages listening for the next one.
class Companion {
  // `sitesFile`: where the allowed sites are kept (null: none can be).
  constructor(limits = kDefaultLimits, {sitesFile = null} = {}) {
    this.catalogue_ = null;
    this.grouping_ = null;
    this.familyCount_ = 0;
    this.generation_ = 0;
    this.event_ = emptyEvent();
    this.facts_ = null;
    this.port = 0;
    this.limits = limits;
    this.repeatLog = new RepeatLog(limits.repeatLogMs);
    this.cutter_ = new FaceCutter();
    this.specimens_ = new SpecimenRoutes(this.cutter_);
    this.updates_ = new UpdateRequests(limits.updateCheckMs);
    this.streams_ = new EventStreams({
      event: () => this.event_,
      facts: (from) => this.facts_ && this.facts_.news(from),
    }, this.repeatLog);
    this.serving_ = 0;  // fonts being sent: the facts' walk waits for them
    this.idle_ = null;
    this.factReader_ = new FactReader(this.cutter_, () => this.streams_.factsChanged(),
        () => this.whenIdle_());
    this.sites = new AllowedSites(sitesFile, {onRemoved: (origin) => this.webApi_.removed(origin)});
    this.consent_ = new Consent(this.sites, {familyCount: () => this.familyCount_,
      port: () => this.port, repeatLog: this.repeatLog});
    this.webApi_ = new WebApi(this.sites, this.consent_, {
      current: () => ({generation: this.generation_, catalogue: this.catalogue_,
        grouping: this.grouping_, facts: this.facts_}),
      serveFont: (req, res, file, postscript) => this.serveFont_(req, res, file, postscript),
      port: () => this.port,
    }, this.repeatLog);
  }

  // Takes one catalogue line. Returns false (and keeps the last good
  // catalogue) when the line is malformed.
  acceptLine(line) {
    const parsed = parseCatalogue(line);
    if (parsed.error) {
      log(`ignoring malformed catalogue of ${line.length} bytes: ${parsed.error}; ` +
          `keeping the last good one`);
      return false;
    }
    this.catalogue_ = parsed.catalogue;
    this.generation_ += 1;
    const grouping = groupFamilies(parsed.catalogue);
    this.event_ = catalogueEvent(this.generation_, parsed.catalogue, grouping);
    this.facts_ = new CatalogueFacts(this.generation_, parsed.catalogue, grouping.order);
    this.grouping_ = grouping;
    this.familyCount_ = grouping.first.length;
    log(`catalogue ${this.generation_}: ${parsed.catalogue.faceCount} faces in ` +
        `${parsed.catalogue.files.size} files`);
    this.streams_.catalogueChanged();
    this.webApi_.catalogueChanged();
    this.factReader_.start(this.facts_);
    return true;
  }

  // Resolves when no font is being sent.
  whenIdle_() {
    if (this.serving_ === 0) return null;
    if (!this.idle_) {
      let resolve;
      this.idle_ = new Promise((r) => { resolve = r; });
      this.idle_.resolve = resolve;
    }
    return this.idle_;
  }

  keepEventsAlive() {
    this.streams_.keepAlive();
    this.webApi_.keepAlive();
  }

  handle(req, res) {
    for (const [name, value] of Object.entries(kSecurityHeaders)) res.setHeader(name, value);
    if (!isAllowedHost(req.headers.host, this.port)) {
      return reply(res, 421, 'text/plain; charset=utf-8', 'unknown host\n');
    }
    let url;
    try {
      url = new URL(req.url, `https://127.0.0.1:${this.port}`);
    } catch (e) {
      return reply(res, 400, 'text/plain; charset=utf-8', 'bad request\n');
    }
    if (WebApi.owns(url.pathname)) return this.webApi_.handle(req, res, url);
    if (isForeignRequest(req.method, url.pathname, req.headers, this.port)) {
      return reply(res, 403, 'text/plain; charset=utf-8', 'forbidden\n');
    }
    if (this.consent_.handle(req, res, url)) return undefined;
    if (handleSiteList(req, res, url, this.sites, this.port)) return undefined;
    if (url.pathname === '/check-for-updates') {
      if (req.method !== 'POST') return methodNotAllowed(res, 'POST');
      if (!isOwnPagePost(req.headers, this.port)) {
        return reply(res, 403, 'text/plain; charset=utf-8', 'forbidden\n');
      }
      req.resume();
      this.updates_.ask();
      return reply(res, 204);
    }
    const page = kStaticFiles.get(url.pathname);
    if (!page && !['/catalogue.json', '/events', '/facts', '/font', '/specimen', '/character']
        .includes(url.pathname)) {
      return reply(res, 404, 'text/plain; charset=utf-8', 'not found\n');
    }
    if (req.method !== 'GET' && req.method !== 'HEAD') return methodNotAllowed(res, 'GET, HEAD');
    if (page) {
      res.setHeader('Cache-Control', 'no-cache');
      return reply(res, 200, page.type, page.body);
    }
    if (url.pathname === '/catalogue.json') {
      const bytes = this.catalogue_ ? this.catalogue_.bytes : Buffer.from('{}');
      res.writeHead(200, {'Content-Type': 'application/json', 'Cache-Control': 'no-store',
        'Content-Length': bytes.length});
      if (req.method === 'HEAD') return res.end();
      return writeInPieces(res, bytes).then((whole) => whole && res.end());
    }
    if (url.pathname === '/events') return this.streams_.open(req, res);
    if (url.pathname === '/facts') return this.serveFacts_(res, url.searchParams);
    if (url.pathname === '/character') return this.specimens_.serveCharacter(res, url.searchParams);
    if (url.pathname === '/specimen') {
      const file = url.searchParams.get('path');
      return this.specimens_.serveSpecimen(res, this.isListed_(file), file,
          url.searchParams.get('postscript'));
    }
    return this.serveFont_(req, res, url.searchParams.get('path'),
        url.searchParams.get('postscript'));
  }

  // The facts of the faces a page shows (`faces`, their numbers in the
  // event of catalogue `generation`), read now if the walk has not reached
  // them.
  async serveFacts_(res, params) {
    const facts = this.facts_;
    const faces = (params.get('faces') || '').split(',').map(Number);
    if (!facts || Number(params.get('generation')) !== facts.generation) {
      return reply(res, 409, 'text/plain; charset=utf-8', 'not the current catalogue\n');
    }
    if (faces.length > kMaxFactsAsked ||
        !faces.every((f) => Number.isInteger(f) && f >= 0 && f < facts.faceCount)) {
      return reply(res, 400, 'text/plain; charset=utf-8', 'bad request\n');
    }
    await this.factReader_.prioritise(facts, faces);
    res.setHeader('Cache-Control', 'no-store');
    reply(res, 200, 'application/json', JSON.stringify(facts.summary(faces)));
  }

  isListed_(file) {
    return file !== null && this.catalogue_ !== null && this.catalogue_.files.indexOf(file) >= 0;
  }

  // Only files of the current catalogue are served: the page cannot be made
  // to read anything else. A face of a collection is cut out as a font of
  // its own, since browsers show only a collection's first face.
  async serveFont_(req, res, file, postscript) {
    if (!this.isListed_(file)) return reply(res, 404, 'text/plain; charset=utf-8', 'not found\n');
    let handle = null;
    this.serving_ += 1;
    try {
      // Non-blocking, so a FIFO put at a listed path cannot hang a worker.
      handle = await fs.promises.open(file, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
      const st = await handle.stat({bigint: true});
      if (!st.isFile()) throw new Error('not a regular file');
      const size = Number(st.size);
      let type = fontMediaType(await readAt(handle, 0, 4));
      const etag = `W/"${st.size}-${st.mtimeMs}-${st.ino}"`;
      res.setHeader('ETag', etag);
      res.setHeader('Cache-Control', 'no-cache');
      if (req.headers['if-none-match'] === etag) return reply(res, 304);
      let plan = {head: Buffer.alloc(0), pieces: [{offset: 0, length: size, padded: size}], size};
      if (type === 'font/collection' && postscript) {
        const face = await this.cutter_.plan(handle, st, postscript);
        if (face) {
          plan = face;
          type = fontMediaType(face.head);
        }
      }
      res.writeHead(200, {'Content-Type': type, 'Content-Length': plan.size});
      if (req.method === 'HEAD' || plan.size === 0) return res.end();
      await sendPlan(res, handle, plan, this.limits.stallMs);
    } catch (e) {
      if (e instanceof StallError) {
        this.repeatLog.note('stall', 'dropped a reader that stopped reading');
      }
      if (!res.headersSent) reply(res, 404, 'text/plain; charset=utf-8', 'not found\n');
      else res.destroy();
    } finally {
      if (handle) handle.close().catch(() => {});
      if (--this.serving_ === 0 && this.idle_) {
        this.idle_.resolve();
        this.idle_ = null;
      }
    }
  }
}

module.exports = {Companion};
