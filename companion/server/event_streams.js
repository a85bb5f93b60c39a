'use strict';
// The pages' event streams: each page gets the catalogue event when it
// connects and whenever a new catalogue comes, then the facts read since.

const {RepeatLog} = require('./log.js');
const {writeInPieces} = require('./reply.js');

const kMaxEventClients = 32;

class EventStreams {
  // `source` gives what is sent: {event()} the current catalogue event's
  // bytes, {facts(from)} the facts event of all facts from the `from`th
  // on, with the number they run to ({bytes, to}), or null when there are
  // none new.
  constructor(source, repeatLog = new RepeatLog()) {
    this.source_ = source;
    this.repeatLog_ = repeatLog;
    this.clients_ = new Map();
  }

  get size() {
    return this.clients_.size;
  }

  // The newest page is the one being looked at: the oldest stream gives way.
  // `tag` names whose stream it is, for closing().
  open(req, res, tag = null) {
    if (req.method !== 'HEAD' && this.clients_.size >= kMaxEventClients) {
      const oldest = this.clients_.keys().next().value;
      this.clients_.delete(oldest);
      oldest.destroy();
      this.repeatLog_.note('events', `more than ${kMaxEventClients} pages open; ` +
          'closed the oldest one\'s event stream');
    }
    res.writeHead(200, {
      'Content-Type': 'text/event-stream; charset=utf-8',
      'Cache-Control': 'no-store',
    });
    if (req.method === 'HEAD') return res.end();
    res.write('retry: 1000\n\n');
    const client = {sending: false, sendingCatalogue: false, catalogueDue: true, factsSent: 0,
      tag};
    this.clients_.set(res, client);
    res.on('close', () => this.clients_.delete(res));
    this.pump_(res, client);
  }

  // A new catalogue for every page. A page still taking the last one is
  // dropped rather than sent another to hold; it reconnects and gets the
  // current catalogue.
  catalogueChanged() {
    for (const [res, client] of this.clients_) {
      if (client.sendingCatalogue) {
        this.clients_.delete(res);
        res.destroy();
        this.repeatLog_.note('events stall', 'dropped an event stream whose page stopped reading');
      } else {
        client.catalogueDue = true;
        this.pump_(res, client);
      }
    }
  }

  // New facts for every page; one busy taking an event gets them after it.
  factsChanged() {
    for (const [res, client] of this.clients_) this.pump_(res, client);
  }

  // Ends the streams opened with `tag`.
  close(tag) {
    for (const [res, client] of this.clients_) {
      if (client.tag !== tag) continue;
      this.clients_.delete(res);
      res.destroy();
    }
  }

  keepAlive() {
    for (const [res, client] of this.clients_) {
      if (!client.sending) res.write(': keep-alive\n\n');
    }
  }

  // Sends a page what it has not had, one event at a time: the catalogue
  // when one is due, else the facts since the last it was sent.
  async pump_(res, client) {
    if (client.sending) return;
    client.sending = true;
    try {
      for (;;) {
        if (client.catalogueDue) {
          client.catalogueDue = false;
          client.factsSent = 0;
          client.sendingCatalogue = true;
          const sent = await writeInPieces(res, this.source_.event());
          client.sendingCatalogue = false;
          if (!sent) return;
        } else {
          const news = this.source_.facts(client.factsSent);
          if (!news) return;
          client.factsSent = news.to;
          if (!await writeInPieces(res, news.bytes)) return;
        }
      }
    } finally {
      client.sending = false;
    }
  }
}

module.exports = {EventStreams};
