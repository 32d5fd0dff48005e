'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const http = require('http');
const { sharedServer, request } = require('../testkit/harness');

const srv = sharedServer();

const { api } = srv;

// Reads an answer whatever becomes of the connection: the bytes that came, and how it ended.
function fetchRaw(port, p) {
  return new Promise((resolve) => {
    const req = http.get({ host: '127.0.0.1', port, path: p }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, bytes: Buffer.concat(chunks), complete: res.complete }));
      res.on('error', (err) => resolve({ status: res.statusCode, headers: res.headers, bytes: Buffer.concat(chunks), error: err.code || err.message }));
      res.on('aborted', () => {});
    });
    req.on('error', (err) => resolve({ error: err.code || err.message }));
  });
}

test('delay holds the answer back for the given time, then answers normally', async () => {
  await srv.post('/fault', { route: 'getVersionInfo', kind: 'delay', ms: 400 });
  const t0 = Date.now();
  const res = await api('GET', '/client/getVersionInfo');
  assert.ok(Date.now() - t0 >= 380, `answered after ${Date.now() - t0} ms`);
  assert.deepEqual(res.json, { code: 1000, data: '', message: '' });
  const [r] = (await srv.get('/requests')).requests;
  assert.equal(r.fault, 'delay');
});

test('status answers with the code, an optional body and Location', async () => {
  await srv.post('/fault', { route: 'modifyTavrel', kind: 'status', status: 404 });
  const res = await api('POST', '/client/modifyTavrel', { ecpId: '1', ecpKey: 'K' });
  assert.equal(res.status, 404);
  await srv.post('/fault', { route: 'modifyTavrel', kind: 'status', status: 503, body: 'busy', location: '/elsewhere', contentType: 'text/plain' });
  const custom = await api('POST', '/client/modifyTavrel', { ecpId: '1', ecpKey: 'K' });
  assert.equal(custom.status, 503);
  assert.equal(custom.text, 'busy');
  assert.equal(custom.headers.location, '/elsewhere');
  assert.equal(custom.headers['content-type'], 'text/plain');
});

test('count limits how many requests a fault applies to', async () => {
  await srv.post('/fault', { route: 'getVersionInfo', kind: 'status', status: 500, count: 2 });
  const statuses = [];
  for (let i = 0; i < 4; i++) statuses.push((await api('GET', '/client/getVersionInfo')).status);
  assert.deepEqual(statuses, [500, 500, 200, 200]);
});

test('a fault for one machine key leaves the others alone and wins over a general one', async () => {
  await srv.post('/fault', { route: 'getStartupInfoAgent', kind: 'status', status: 500 });
  await srv.post('/fault', { route: 'getStartupInfoAgent', key: 'K1', kind: 'notjson' });
  assert.equal((await api('GET', '/client/getStartupInfoAgent?ecpKey=K1&ip=1')).json, undefined);
  assert.equal((await api('GET', '/client/getStartupInfoAgent?ecpKey=K2&ip=1')).status, 500);
  await srv.post('/fault', { route: 'getStartupInfoAgent', kind: 'none' });
  assert.equal((await api('GET', '/client/getStartupInfoAgent?ecpKey=K2&ip=1')).json.code, 9000);
});

test('the wildcard route applies to every route', async () => {
  await srv.post('/fault', { route: '*', kind: 'status', status: 502 });
  assert.equal((await api('GET', '/client/getVersionInfo')).status, 502);
  assert.equal((await api('GET', '/client/getModuleMD5')).status, 502);
});

test('cut announces the whole length and closes after part of the body', async () => {
  await srv.post('/fault', { route: 'getVersionInfo', kind: 'cut', bytes: 5 });
  const res = await fetchRaw(srv.ports.http, '/client/getVersionInfo');
  const full = JSON.stringify({ code: 1000, data: '', message: '' });
  assert.equal(Number(res.headers['content-length']), full.length);
  assert.equal(res.bytes.toString(), full.slice(0, 5));
  assert.ok(res.error || res.complete === false, 'the client sees an incomplete body');
});

test('cut on a download sends part of the announced bytes', async () => {
  await srv.post('/answer', { route: 'downloadModule', bytes: { size: 300000, seed: 3 } });
  await srv.post('/fault', { route: 'downloadModule', kind: 'cut', bytes: 100000 });
  const res = await fetchRaw(srv.ports.http, '/client/downloadModule');
  assert.equal(Number(res.headers['content-length']), 300000);
  assert.equal(res.bytes.length, 100000);
  assert.ok(res.error || res.complete === false);
});

test('notjson answers 200 with a body that does not parse', async () => {
  await srv.post('/fault', { route: 'getModuleMD5', kind: 'notjson' });
  const res = await api('GET', '/client/getModuleMD5');
  assert.equal(res.status, 200);
  assert.equal(res.json, undefined);
  assert.ok(res.text.length > 0);
});

test('wrongtype gives members of the wrong JSON type, by default or as chosen', async () => {
  await srv.post('/fault', { route: 'getVersionInfo', kind: 'wrongtype', count: 1 });
  const v = await api('GET', '/client/getVersionInfo');
  assert.equal(v.json.code, 1000);
  assert.equal(typeof v.json.data, 'object', 'an object where a text is expected');

  await srv.post('/fault', { route: 'registeTavrel', kind: 'wrongtype', count: 1 });
  assert.equal(typeof (await api('POST', '/client/registeTavrel', { ecpKey: 'K' })).json.data, 'string', 'a text where an integer is expected');

  await srv.post('/fault', { route: 'getStartupInfoAgent', kind: 'wrongtype', count: 1 });
  const d = (await api('GET', '/client/getStartupInfoAgent?ecpKey=K&ip=1')).json.data;
  assert.equal(typeof d.ecpId, 'string');
  assert.equal(typeof d.isStartup, 'string');
  assert.equal(typeof d.ecpRoomCode, 'object');

  await srv.post('/machine', { ecpKey: 'K', startup: { ecpId: 4 } });
  await srv.post('/fault', { route: 'getStartupInfoAgent', kind: 'wrongtype', members: { phase: 'two' }, count: 1 });
  const m = (await api('GET', '/client/getStartupInfoAgent?ecpKey=K&ip=1')).json.data;
  assert.equal(m.phase, 'two');
  assert.equal(m.ecpId, 4, 'the other members stay as the machine has them');

  await srv.post('/fault', { route: 'getVersionInfo', kind: 'wrongtype', code: '1000', data: 7, count: 1 });
  assert.deepEqual((await api('GET', '/client/getVersionInfo')).json, { code: '1000', data: 7, message: '' });
});

test('redirect answers 302 with a Location that leads to a working copy of the route', async () => {
  await srv.post('/fault', { route: 'updateTavrel', kind: 'redirect' });
  const res = await api('GET', '/client/updateTavrel');
  assert.equal(res.status, 302);
  const loc = new URL(res.headers.location);
  assert.equal(loc.pathname, '/redirected/client/updateTavrel');
  await srv.post('/fault', { route: 'updateTavrel', kind: 'none' });
  const followed = await request(Number(loc.port), 'GET', loc.pathname);
  assert.equal(followed.status, 200);
  assert.equal(followed.bytes.length, 2048);
  const recs = (await srv.get('/requests?route=updateTavrel')).requests;
  assert.deepEqual(recs.map((r) => r.redirected), [false, true]);

  await srv.post('/fault', { route: 'getVersionInfo', kind: 'redirect', status: 301, location: 'http://127.0.0.1:1/x' });
  const custom = await api('GET', '/client/getVersionInfo');
  assert.equal(custom.status, 301);
  assert.equal(custom.headers.location, 'http://127.0.0.1:1/x');
});

test('close drops the connection without an answer', async () => {
  await srv.post('/fault', { route: 'sendEcpState', kind: 'close' });
  const res = await fetchRaw(srv.ports.http, '/client/sendEcpState');
  assert.ok(res.error, 'no answer at all');
  assert.equal(res.status, undefined);
});

test('a fault may wait before it strikes', async () => {
  await srv.post('/fault', { route: 'getVersionInfo', kind: 'status', status: 500, delayMs: 300 });
  const t0 = Date.now();
  assert.equal((await api('GET', '/client/getVersionInfo')).status, 500);
  assert.ok(Date.now() - t0 >= 280);
});
