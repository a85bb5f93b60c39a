'use strict';
// How long the server waits on a client and how often it acts for one; the
// tests and benches shorten them.

// What one client can make the server hold or do. The waits may be shortened
// (tests, benches) through KAVRI_COMPANION_LIMITS, a JSON object of them.
const kDefaultLimits = Object.freeze({
  handshakeMs: 5 * 1000,          // a first byte, or a TLS handshake, on loopback takes milliseconds
  headersMs: 20 * 1000,           // a request's head, from its first byte
  stallMs: 10 * 1000,             // a reader that takes nothing for this long is gone
  updateCheckMs: 5 * 1000,        // at most one update check sent to the agent per this
  repeatLogMs: 60 * 1000,         // at most one line per kind of client fault per this
});

// The limits, with any shortened in KAVRI_COMPANION_LIMITS. Returns
// {limits} or {error}.
function parseLimits(text) {
  if (text === undefined || text === '') return {limits: kDefaultLimits};
  let value;
  try {
    value = JSON.parse(text);
  } catch (e) {
    return {error: 'KAVRI_COMPANION_LIMITS is not JSON'};
  }
  if (value === null || typeof value !== 'object' || Array.isArray(value)) {
    return {error: 'KAVRI_COMPANION_LIMITS is not a JSON object'};
  }
  const limits = {...kDefaultLimits};
  for (const [name, ms] of Object.entries(value)) {
    if (!Object.hasOwn(kDefaultLimits, name) || !Number.isInteger(ms) || ms < 1 ||
        ms > kDefaultLimits[name]) {
      return {error: `KAVRI_COMPANION_LIMITS: ${name} is not a known limit of 1 to its default ms`};
    }
    limits[name] = ms;
  }
  return {limits: Object.freeze(limits)};
}

module.exports = {kDefaultLimits, parseLimits};
