'use strict';
// Byte sources for the installer and module downloads: literal bytes, or a generated body of any size that is
// produced chunk by chunk, so a 512 MB module is served (and its MD5 computed) with flat memory.
const crypto = require('crypto');
const { Readable } = require('stream');

const CHUNK = 64 * 1024;

// xorshift32, one little-endian 32-bit word after another; the seed picks the sequence.
function wordGenerator(seed) {
  let s = (Number(seed) >>> 0) || 0x9e3779b9;
  return (buf) => {
    const words = new Uint32Array(buf.buffer, buf.byteOffset, buf.length >>> 2);
    for (let i = 0; i < words.length; i++) {
      s ^= s << 13;
      s ^= s >>> 17;
      s ^= s << 5;
      words[i] = s >>> 0;
    }
  };
}

function freshChunk() {
  return Buffer.from(new ArrayBuffer(CHUNK));
}

function generatedStream(size, seed, limit) {
  const fill = wordGenerator(seed);
  let left = Math.min(size, limit);
  return new Readable({
    highWaterMark: 4 * CHUNK,
    read() {
      if (left <= 0) return this.push(null);
      const chunk = freshChunk();
      fill(chunk);
      const n = Math.min(CHUNK, left);
      left -= n;
      this.push(n === CHUNK ? chunk : chunk.subarray(0, n));
    },
  });
}

const md5Cache = new Map();

async function generatedMd5(size, seed) {
  const cacheKey = `${size}:${seed >>> 0}`;
  if (!md5Cache.has(cacheKey)) {
    md5Cache.set(cacheKey, (async () => {
      const hash = crypto.createHash('md5');
      const fill = wordGenerator(seed);
      const chunk = freshChunk();
      let left = size;
      let sinceYield = 0;
      while (left > 0) {
        fill(chunk);
        const n = Math.min(CHUNK, left);
        hash.update(n === CHUNK ? chunk : chunk.subarray(0, n));
        left -= n;
        // Let the control and socket traffic run while a large body is digested.
        if ((sinceYield += n) >= 8 * 1024 * 1024) {
          sinceYield = 0;
          await new Promise((r) => setImmediate(r));
        }
      }
      return hash.digest('hex');
    })());
  }
  return md5Cache.get(cacheKey);
}

// Given bytes followed by generated ones up to padTo: a real program grown to the size of a real installer.
function paddedSource(head, padTo, seed) {
  const tail = padTo - head.length;
  const headMd5 = () => crypto.createHash('md5').update(head);
  let digest = null;
  return {
    size: padTo,
    describe: { size: padTo, padded: true, seed },
    md5: async () => {
      if (digest === null) {
        const hash = headMd5();
        for await (const c of generatedStream(tail, seed, tail)) hash.update(c);
        digest = hash.digest('hex');
      }
      return digest;
    },
    stream: (limit = padTo) => {
      const gen = generatedStream(tail, seed, Math.max(0, limit - head.length));
      const first = head.subarray(0, Math.min(head.length, limit));
      return Readable.from((async function* chunks() {
        if (first.length) yield first;
        for await (const c of gen) yield c;
      })(), { objectMode: false });
    },
  };
}

// desc: "text" | {text} | {base64} | {hex} | {size, seed}; the literal forms take padTo (and seed) to grow
// to padTo bytes with generated ones.
function byteSource(desc) {
  if (typeof desc === 'string') desc = { text: desc };
  if (!desc || typeof desc !== 'object') throw new Error('bytes must be a text or an object');
  if (desc.size !== undefined) {
    const size = Number(desc.size);
    if (!Number.isSafeInteger(size) || size < 0) throw new Error('bytes.size must be a whole number >= 0');
    const seed = Number(desc.seed || 0) >>> 0;
    return {
      size,
      describe: { size, seed, generated: true },
      md5: () => generatedMd5(size, seed),
      stream: (limit = size) => generatedStream(size, seed, limit),
    };
  }
  let buf;
  if (typeof desc.base64 === 'string') buf = Buffer.from(desc.base64, 'base64');
  else if (typeof desc.hex === 'string') buf = Buffer.from(desc.hex, 'hex');
  else if (typeof desc.text === 'string') buf = Buffer.from(desc.text, 'utf8');
  else throw new Error('bytes needs one of text, base64, hex or size');
  if (desc.padTo !== undefined) {
    const padTo = Number(desc.padTo);
    if (!Number.isSafeInteger(padTo) || padTo < buf.length) throw new Error('bytes.padTo must be a whole number >= the bytes given');
    return paddedSource(buf, padTo, Number(desc.seed || 0) >>> 0);
  }
  const digest = crypto.createHash('md5').update(buf).digest('hex');
  return {
    size: buf.length,
    describe: { size: buf.length },
    bytes: buf,
    md5: async () => digest,
    stream: (limit = buf.length) => {
      const part = buf.subarray(0, limit);
      return new Readable({
        read() {
          if (part.length) this.push(part);
          this.push(null);
        },
      });
    },
  };
}

module.exports = { byteSource, wordGenerator, CHUNK };
