'use strict';
// Append-only records (requests, connections, events, frames) that tests read back, with long-polling so a
// test can wait for "at least N matching records" instead of sleeping.

let lastSeq = 0;
const nextSeq = () => ++lastSeq;

class Journal {
  constructor() {
    this.items = [];
    this.waiters = new Set();
    this.enabled = true;
    this.skip = null; // a record for which this answers true is not kept
  }

  add(record) {
    if (!this.enabled || (this.skip && this.skip(record))) return record;
    record.seq = nextSeq();
    record.time = Date.now();
    this.items.push(record);
    this.changed();
    return record;
  }

  // A record was completed after it was added (for example a request's answer).
  changed() {
    for (const w of this.waiters) w();
  }

  clear() {
    this.items = [];
  }

  // Matching records; with waitMs, waits until at least `min` match (or the time is up) and returns them.
  query(match, { min = 1, waitMs = 0 } = {}) {
    const pick = () => this.items.filter(match);
    const now = pick();
    if (!waitMs || now.length >= min) return Promise.resolve(now);
    return new Promise((resolve) => {
      const check = () => {
        const found = pick();
        if (found.length >= min) finish(found);
      };
      const finish = (found) => {
        clearTimeout(timer);
        this.waiters.delete(check);
        resolve(found);
      };
      const timer = setTimeout(() => finish(pick()), Math.min(waitMs, 120000));
      this.waiters.add(check);
    });
  }
}

// JSON views of values that may hold Buffers: a Buffer becomes {"$bin": base64}, and back.
function toJsonBin(value) {
  if (Buffer.isBuffer(value)) return { $bin: value.toString('base64') };
  if (value instanceof ArrayBuffer) return { $bin: Buffer.from(value).toString('base64') };
  if (ArrayBuffer.isView(value)) {
    return { $bin: Buffer.from(value.buffer, value.byteOffset, value.byteLength).toString('base64') };
  }
  if (Array.isArray(value)) return value.map(toJsonBin);
  if (value && typeof value === 'object') {
    const out = {};
    for (const [k, v] of Object.entries(value)) out[k] = toJsonBin(v);
    return out;
  }
  return value;
}

function fromJsonBin(value) {
  if (Array.isArray(value)) return value.map(fromJsonBin);
  if (value && typeof value === 'object') {
    const keys = Object.keys(value);
    if (keys.length === 1 && keys[0] === '$bin' && typeof value.$bin === 'string') {
      return Buffer.from(value.$bin, 'base64');
    }
    const out = {};
    for (const [k, v] of Object.entries(value)) out[k] = fromJsonBin(v);
    return out;
  }
  return value;
}

module.exports = { Journal, nextSeq, toJsonBin, fromJsonBin };
