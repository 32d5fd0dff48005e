'use strict';
// Faults of a busy or broken link, served chunk by chunk:
//   throttle  the normal answer (download bytes or JSON envelope) at bytesPerSecond, Content-Length announced;
//             a download with `bytes` is cut after that many;
//   endless   200 with no length, then bytes without end (optionally at bytesPerSecond) until the client leaves.
const { Readable } = require('stream');

const JSON_TYPE = 'application/json;charset=UTF-8';
const OCTETS = 'application/octet-stream';
const TICK_MS = 50;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function rateOf(fault) {
  const rate = Number(fault.bytesPerSecond ?? fault.rate ?? 0);
  return Number.isFinite(rate) && rate > 0 ? rate : 0;
}

// Writes one buffer, waiting for the socket to take it; false once the client is gone.
function writeAll(res, buf) {
  return new Promise((resolve) => {
    if (res.destroyed || res.writableEnded) return resolve(false);
    const done = () => {
      res.off('close', gone);
      resolve(!res.destroyed);
    };
    const gone = () => {
      res.off('drain', done);
      resolve(false);
    };
    res.once('close', gone);
    if (res.write(buf)) {
      res.off('close', gone);
      resolve(true);
    } else res.once('drain', done);
  });
}

// Sends the chunks of `source` paced to `rate` bytes per second (0: as fast as the socket takes them).
async function pacedSend(res, source, rate, rec) {
  const start = Date.now();
  let sent = 0;
  const slice = rate > 0 ? Math.max(1, Math.floor((rate * TICK_MS) / 1000)) : Infinity;
  for await (const chunk of source) {
    for (let off = 0; off < chunk.length;) {
      const piece = chunk.subarray(off, Math.min(chunk.length, off + slice));
      off += piece.length;
      if (!(await writeAll(res, piece))) {
        source.destroy?.();
        return false;
      }
      sent += piece.length;
      rec.response.sent = sent;
      if (rate > 0) {
        const due = start + (sent * 1000) / rate;
        const ahead = due - Date.now();
        if (ahead > 0) await sleep(ahead);
      }
    }
  }
  return true;
}

// A connection closed in the middle of a body: the client has the headers and a part of what they announced.
function cutConnection(res) {
  const sock = res.socket;
  if (!sock) return;
  sock.end();
  setTimeout(() => sock.destroy(), 200).unref();
}

// With `bytes` a download is cut after that many bytes: a slow link that breaks in the middle.
async function sendThrottled(res, rec, fault, { download, envelope }) {
  const rate = rateOf(fault);
  const cutAt = download && fault.bytes !== undefined ? Math.min(Number(fault.bytes), download.source.size) : null;
  let source;
  let size;
  let type;
  if (download) {
    source = download.source.stream(cutAt ?? download.source.size);
    size = download.source.size;
    type = OCTETS;
  } else {
    const body = Buffer.from(JSON.stringify(envelope));
    source = Readable.from([body]);
    size = body.length;
    type = JSON_TYPE;
  }
  rec.response = { status: 200, size, fault: 'throttle', bytesPerSecond: rate, sent: 0 };
  res.writeHead(200, { 'Content-Type': type, 'Content-Length': size });
  if (!(await pacedSend(res, source, rate, rec))) return;
  if (cutAt !== null && cutAt < size) res.write('', () => cutConnection(res));
  else res.end();
}

// Bytes without end: a JSON text that never closes, or octets for a download route.
function endlessSource(isDownload) {
  const block = Buffer.alloc(64 * 1024, isDownload ? 0x5a : 0x78);
  let first = true;
  return new Readable({
    read() {
      if (first && !isDownload) this.push(Buffer.from('{"code":1000,"data":"'));
      first = false;
      this.push(block);
    },
  });
}

async function sendEndless(res, rec, fault, { download }) {
  rec.response = { status: 200, size: null, fault: 'endless', sent: 0 };
  res.writeHead(200, { 'Content-Type': download ? OCTETS : JSON_TYPE });
  await pacedSend(res, endlessSource(!!download), rateOf(fault), rec);
}

const STREAM_FAULTS = new Set(['throttle', 'endless']);

module.exports = { sendThrottled, sendEndless, writeAll, cutConnection, STREAM_FAULTS };
