'use strict';
// The server's one link: a total egress limit that every download body shares (--egress-limit). A transfer
// asks for each piece in turn, first come first served, so N transfers under way get about 1/N of the link
// each, as they would through one switch port; a transfer whose client reads nothing stops asking and leaves
// its share to the others.
const { writeAll } = require('./stream-faults');

const PIECE = 16 * 1024;

class Egress {
  constructor(bytesPerSecond = 0) {
    this.rate = Number.isFinite(bytesPerSecond) && bytesPerSecond > 0 ? bytesPerSecond : 0;
    // At most 20 ms of the link saved up while it idles: a fresh transfer does not leave with a burst.
    this.burst = Math.max(PIECE, this.rate / 50);
    this.credit = this.burst;
    this.last = Date.now();
    this.queue = [];
    this.timer = null;
    this.sent = 0;
  }

  // Resolves when n more bytes may leave.
  take(n) {
    this.sent += n;
    if (!this.rate) return Promise.resolve();
    return new Promise((resolve) => {
      this.queue.push({ n, resolve });
      this.pump();
    });
  }

  pump() {
    if (this.timer) return;
    const now = Date.now();
    this.credit = Math.min(this.burst, this.credit + ((now - this.last) * this.rate) / 1000);
    this.last = now;
    // A piece may overdraw the credit; the next waits until the debt is paid.
    while (this.queue.length && this.credit > 0) {
      const { n, resolve } = this.queue.shift();
      this.credit -= n;
      resolve();
    }
    if (this.queue.length) {
      const wait = Math.max(1, Math.ceil((-this.credit * 1000) / this.rate));
      this.timer = setTimeout(() => {
        this.timer = null;
        this.pump();
      }, wait);
    }
  }

  // Copies a byte stream into the answer through the link; false when the client left first.
  async send(res, stream, rec) {
    let sent = 0;
    for await (const chunk of stream) {
      for (let off = 0; off < chunk.length; off += PIECE) {
        const piece = chunk.subarray(off, Math.min(chunk.length, off + PIECE));
        await this.take(piece.length);
        if (!(await writeAll(res, piece))) {
          stream.destroy?.();
          return false;
        }
        sent += piece.length;
        if (rec.response) rec.response.sent = sent;
      }
    }
    res.end();
    return true;
  }
}

module.exports = { Egress };
