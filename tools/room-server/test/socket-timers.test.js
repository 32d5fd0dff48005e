'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const net = require('net');
const { sharedServer, sleep } = require('../testkit/harness');

const INTERVAL = 200;
const TIMEOUT = 300;
const srv = sharedServer(['--ping-interval', String(INTERVAL), '--ping-timeout', String(TIMEOUT), '--connect-timeout', '700']);

const agent = (opts = {}) => srv.connect({ query: 'ecpKey=K&room=R101&type=agent', ...opts });
const pings = (c) => c.frames.filter((f) => f.dir === 'in' && f.text === '2').length;
const portOpen = (port) => new Promise((resolve) => {
  const s = net.connect(port, '127.0.0.1');
  s.on('connect', () => {
    s.destroy();
    resolve(true);
  });
  s.on('error', () => resolve(false));
});

test('the server pings every pingInterval and keeps a client that answers', async () => {
  const c = await agent();
  await c.connectNsp('/');
  assert.equal(c.handshake.pingInterval, INTERVAL);
  assert.equal(c.handshake.pingTimeout, TIMEOUT);
  await sleep(INTERVAL * 6 + 100);
  assert.ok(pings(c) >= 3, `${pings(c)} pings`);
  assert.equal(c.ws.readyState, 1);
});

test('a client that does not answer pings is dropped after pingTimeout', async () => {
  const c = await agent({ autoPong: false });
  await c.connectNsp('/');
  const t0 = Date.now();
  const closed = await c.closed;
  const lived = Date.now() - t0;
  assert.equal(pings(c), 1, 'dropped after the first unanswered ping');
  assert.ok(lived >= INTERVAL + TIMEOUT - 100, `dropped after ${lived} ms`);
  assert.equal(closed.code, 1005);
  const { connections } = await srv.get(`/connections?wait=2000`);
  const rec = connections.find((x) => x.conn === c.handshake.sid);
  assert.equal(rec.closeReason, 'ping timeout');
});

test('a client that sends a ping itself is dropped at once', async () => {
  const c = await agent();
  c.sendText('2');
  const closed = await c.closed;
  assert.ok(closed.code === 1005 || closed.code === 1006);
  await sleep(50);
  const rec = (await srv.get('/connections')).connections.find((x) => x.conn === c.handshake.sid);
  assert.equal(rec.closeReason, 'transport error');
});

test('a client that never sends 40 is closed after the connect timeout', async () => {
  const c = await agent();
  const t0 = Date.now();
  await c.closed;
  assert.ok(Date.now() - t0 >= 600, `closed after ${Date.now() - t0} ms`);
  assert.ok(!c.frames.some((f) => f.dir === 'in' && f.text && f.text.startsWith('4')), 'no Socket.IO packet came');
});

test('pause-pings holds the pings back without dropping anyone, then they resume', async () => {
  const c = await agent({ autoPong: false });
  await c.connectNsp('/');
  const r = await srv.post('/socket/pause-pings?ms=1200');
  assert.equal(r.pausedMs, 1200);
  const during = pings(c);
  await sleep(1000);
  assert.equal(pings(c), during, 'no ping while paused');
  assert.equal(c.ws.readyState, 1, 'not dropped while paused');
  c.autoPong = true;
  await sleep(200 + INTERVAL * 3);
  assert.ok(pings(c) > during, 'pings came back');
  assert.equal(c.ws.readyState, 1);
});

test('a connection made during the pause gets no pings either, and resume at once with ms=0', async () => {
  await srv.post('/socket/pause-pings', { ms: 5000 });
  const c = await agent({ autoPong: true });
  await c.connectNsp('/');
  await sleep(INTERVAL * 3);
  assert.equal(pings(c), 0);
  await srv.post('/socket/pause-pings?ms=0');
  await c.waitFrame((f) => f.text === '2', 2000);
});

test('stop closes every connection and the port; start listens again on the same port', async () => {
  const port = srv.ports.socket;
  const c = await agent();
  await c.connectNsp('/');
  const stopped = await srv.post('/socket/stop');
  assert.equal(stopped.running, false);
  const closed = await c.closed;
  assert.equal(closed.code, 1005, 'close frame without a status');
  assert.equal(await portOpen(port), false, 'nothing listens while stopped');
  assert.equal((await srv.request('POST', '/emit', { all: true, event: 'x' })).status, 409);
  const started = await srv.post('/socket/start');
  assert.equal(started.port, port);
  assert.equal((await srv.get('/ports')).socket, port);
  const again = await agent();
  const reply = await again.connectNsp('/');
  assert.equal(reply.type, 0);
  await srv.post('/emit', { room: 'R101', event: 'broadcast', args: [{ code: 1006 }] });
  await again.waitFrame((f) => f.text === '42["broadcast",{"code":1006}]');
});

test('stop with drop ends the connections without a close frame', async () => {
  const c = await agent();
  await c.connectNsp('/');
  await srv.post('/socket/stop', { drop: true });
  assert.equal((await c.closed).code, 1006);
  await srv.post('/socket/start');
  const again = await agent();
  assert.equal((await again.connectNsp('/')).type, 0);
});

test('stop with acceptAndClose takes each TCP connection and closes it; start serves again', async () => {
  const port = srv.ports.socket;
  await srv.post('/socket/stop', { acceptAndClose: true });
  assert.equal(await portOpen(port), true, 'the port still takes connections');
  await assert.rejects(srv.connect({ query: 'ecpKey=K&room=R101&type=agent' }));
  const refused = (await srv.get('/connections?wait=2000&min=2')).connections.filter((c) => c.code === 'closed at accept');
  assert.equal(refused.length, 2);
  await srv.post('/socket/start');
  assert.equal((await (await agent()).connectNsp('/')).type, 0);
});

test('timers can be changed for later handshakes and pings, and reset restores the ones given at start', async () => {
  const r = await srv.post('/socket/timers', { pingInterval: 150, pingTimeout: 120 });
  assert.deepEqual([r.pingInterval, r.pingTimeout], [150, 120]);
  const c = await agent();
  assert.deepEqual([c.handshake.pingInterval, c.handshake.pingTimeout], [150, 120]);
  assert.equal((await srv.request('POST', '/socket/timers', { pingInterval: -1 })).status, 400);
  await srv.post('/reset');
  const d = await agent();
  assert.deepEqual([d.handshake.pingInterval, d.handshake.pingTimeout], [INTERVAL, TIMEOUT]);
});
