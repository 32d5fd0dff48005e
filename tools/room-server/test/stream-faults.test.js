'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const http = require('http');
const crypto = require('crypto');
const { sharedServer } = require('../testkit/harness');
const { byteSource } = require('../lib/bytes');

const srv = sharedServer();

const md5 = (b) => crypto.createHash('md5').update(b).digest('hex');

// Reads an answer up to `stopAfter` bytes (then leaves), hashing what came.
function fetchUpTo(p, stopAfter = Infinity) {
  return new Promise((resolve, reject) => {
    const req = http.get({ host: '127.0.0.1', port: srv.ports.http, path: p }, (res) => {
      const hash = crypto.createHash('md5');
      let size = 0;
      let head = Buffer.alloc(0);
      res.on('data', (c) => {
        hash.update(c);
        if (head.length < 64) head = Buffer.concat([head, c]).subarray(0, 64);
        size += c.length;
        if (size >= stopAfter) {
          req.destroy();
          resolve({ status: res.statusCode, headers: res.headers, size, head, left: true });
        }
      });
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, size, head, md5: hash.digest('hex') }));
    });
    req.on('error', (err) => (err.code === 'ECONNRESET' ? null : reject(err)));
  });
}

test('padded bytes are the given ones followed by generated ones, and their digest is of all of them', async () => {
  const source = byteSource({ text: 'MZ-head', padTo: 200000, seed: 3 });
  const chunks = [];
  for await (const c of source.stream()) chunks.push(c);
  const all = Buffer.concat(chunks);
  assert.equal(all.length, 200000);
  assert.equal(all.subarray(0, 7).toString(), 'MZ-head');
  assert.equal(await source.md5(), md5(all));
  const cut = [];
  for await (const c of source.stream(5)) cut.push(c);
  assert.equal(Buffer.concat(cut).toString(), 'MZ-he');
  assert.throws(() => byteSource({ text: 'long text', padTo: 3 }), /padTo/);
});

test('throttle sends the whole installer at the given pace', async () => {
  const set = await srv.post('/answer', { route: 'updateTavrel', bytes: { base64: Buffer.from('head').toString('base64'), padTo: 60000, seed: 9 } });
  await srv.post('/fault', { route: 'updateTavrel', kind: 'throttle', bytesPerSecond: 100000, count: 1 });
  const t0 = Date.now();
  const res = await fetchUpTo('/client/updateTavrel');
  const ms = Date.now() - t0;
  assert.equal(res.status, 200);
  assert.equal(Number(res.headers['content-length']), 60000);
  assert.equal(res.md5, set.md5);
  assert.ok(ms >= 500 && ms < 3000, `60 kB at 100 kB/s took ${ms} ms`);
  const [rec] = (await srv.get('/requests?route=updateTavrel')).requests;
  assert.equal(rec.fault, 'throttle');
  assert.equal(rec.response.sent, 60000);
});

test('throttle with bytes cuts the download after them, its whole length announced', async () => {
  await srv.post('/answer', { route: 'downloadModule', bytes: { size: 50000, seed: 4 } });
  await srv.post('/fault', { route: 'downloadModule', kind: 'throttle', bytesPerSecond: 200000, bytes: 20000, count: 1 });
  const res = await fetchUpTo('/client/downloadModule', 20000);
  assert.equal(Number(res.headers['content-length']), 50000);
  assert.equal(res.size, 20000);
  await new Promise((r) => setTimeout(r, 300));
  const [rec] = (await srv.get('/requests?route=downloadModule')).requests;
  assert.equal(rec.response.sent, 20000, 'and not a byte more');
});

test('endless answers never end, for texts and downloads, until the client leaves', async () => {
  await srv.post('/fault', { route: 'getVersionInfo', kind: 'endless' });
  const text = await fetchUpTo('/client/getVersionInfo', 3 * 1024 * 1024);
  assert.equal(text.status, 200);
  assert.ok(text.left, 'the client had to leave');
  assert.equal(text.headers['content-length'], undefined);
  assert.match(text.head.toString('latin1'), /^\{"code":1000,"data":"x+/);

  await srv.post('/fault', { route: 'downloadModule', kind: 'endless', bytesPerSecond: 200000 });
  const t0 = Date.now();
  const bin = await fetchUpTo('/client/downloadModule', 100000);
  assert.ok(bin.left);
  assert.ok(Date.now() - t0 >= 350, 'paced when asked');
  // The server notices the client left and stops writing.
  await new Promise((r) => setTimeout(r, 300));
  const recs = (await srv.get('/requests?route=downloadModule')).requests;
  const before = recs[0].response.sent;
  await new Promise((r) => setTimeout(r, 300));
  const after = (await srv.get('/requests?route=downloadModule')).requests[0].response.sent;
  assert.equal(after, before);
});
