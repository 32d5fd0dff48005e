'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { sharedServer, request } = require('../testkit/harness');
const { RawClient, TYPE } = require('../testkit/raw-client');

const srv = sharedServer();

const QUERY = 'ecpKey=00-1A-2B-3C-4D-5E&room=R101&type=agent';
async function agent(query = QUERY, nsp = '/') {
  const c = await srv.connect({ query });
  if (nsp) await c.connectNsp(nsp);
  return c;
}
const sidOf = (c) => c.packets.find((p) => p.type === TYPE.CONNECT && p.nsp === '/').data.sid;
const texts = (c, dir = 'in') => c.frames.filter((f) => f.dir === dir && f.text !== undefined).map((f) => f.text);

test('handshake: open packet, nothing delivered before the client sends 40, then 40 with the socket id', async () => {
  const c = await agent(QUERY, null);
  assert.equal(typeof c.handshake.sid, 'string');
  assert.deepEqual(c.handshake.upgrades, []);
  assert.equal(c.handshake.pingInterval, 25000);
  assert.equal(c.handshake.pingTimeout, 20000);
  const early = await srv.post('/emit', { room: 'R101', event: 'broadcast', args: [{ code: 1006 }] });
  assert.equal(early.sent, 0, 'the socket joins its room only after CONNECT');
  const reply = await c.connectNsp('/');
  assert.equal(reply.type, TYPE.CONNECT);
  assert.match(texts(c).at(-1), /^40\{"sid":"[^"]+"\}$/);
  assert.deepEqual(texts(c, 'out'), ['40']);
  assert.ok(!texts(c).some((t) => t.startsWith('42')), 'the early emit reached nobody');
});

test('connections are recorded with raw URL, query, header lines, sockets and rooms', async () => {
  const c = await agent();
  const { connections } = await srv.get('/connections?open=1');
  assert.equal(connections.length, 1);
  const conn = connections[0];
  assert.equal(conn.conn, c.handshake.sid);
  assert.match(conn.url, /^\/socket\.io\/\?EIO=4&transport=websocket&t=\d+&ecpKey=00-1A-2B-3C-4D-5E&room=R101&type=agent$/);
  assert.equal(conn.query, conn.url.split('?')[1]);
  assert.deepEqual(conn.queryParams.slice(3), [['ecpKey', '00-1A-2B-3C-4D-5E'], ['room', 'R101'], ['type', 'agent']]);
  assert.ok(conn.headerLines.some((l) => /^Upgrade: websocket$/i.test(l)));
  assert.match(conn.requestLine, /^GET \/socket\.io\/\?EIO=4.* HTTP\/1\.1$/);
  assert.equal(conn.sockets.length, 1);
  assert.equal(conn.sockets[0].id, sidOf(c));
  assert.equal(conn.sockets[0].nsp, '/');
  assert.ok(conn.sockets[0].rooms.includes('R101'));
  const byKey = await srv.get('/connections?ecpKey=00-1A-2B-3C-4D-5E');
  assert.equal(byKey.connections.length, 1);
  const { sockets } = await srv.get('/sockets');
  assert.deepEqual(sockets.map((s) => [s.id, s.nsp, s.conn]), [[sidOf(c), '/', c.handshake.sid]]);
});

test('emit to a room, an ecpKey or a socket arrives as the exact text frame', async () => {
  const c = await agent();
  const other = await agent('ecpKey=K2&room=R202&type=agent');
  await srv.post('/emit', { room: 'R101', event: 'broadcast', args: [{ code: 1006, data: null }] });
  await c.waitFrame((f) => f.text === '42["broadcast",{"code":1006,"data":null}]');
  await srv.post('/emit', { ecpKey: '00-1A-2B-3C-4D-5E', event: 'broadcast', args: [{ code: 2003, data: '17' }] });
  await c.waitFrame((f) => f.text === '42["broadcast",{"code":2003,"data":"17"}]');
  const r = await srv.post('/emit', { socket: sidOf(c), event: 'ping', args: [] });
  assert.deepEqual(r, { ok: true, sent: 1, sockets: [sidOf(c)] });
  await c.waitFrame((f) => f.text === '42["ping"]');
  assert.ok(!texts(other).some((t) => t.startsWith('42')), 'another room hears nothing');
  const all = await srv.post('/emit', { all: true, event: 'ping' });
  assert.equal(all.sent, 2);
  const out = await srv.get('/events?dir=out&event=broadcast');
  assert.deepEqual(out.events.map((e) => e.args[0].code), [1006, 2003]);
  assert.equal(out.events[0].socket, sidOf(c));
});

test('emit with an acknowledgement returns the client\'s ack arguments', async () => {
  const c = await agent();
  const pending = srv.post('/emit', { ecpKey: '00-1A-2B-3C-4D-5E', event: 'ping', args: [], ack: true, timeoutMs: 3000 });
  const p = await c.waitPacket((x) => x.type === TYPE.EVENT && x.data[0] === 'ping');
  assert.equal(typeof p.id, 'number');
  assert.ok(texts(c).includes(`42${p.id}["ping"]`));
  c.ack(p.id, [{ status: 1 }, 'two']);
  const r = await pending;
  assert.equal(r.ok, true);
  assert.deepEqual(r.ack, [{ status: 1 }, 'two']);
  const [ackRec] = (await srv.get('/events?kind=ack&dir=in')).events;
  assert.equal(ackRec.id, p.id);
  assert.deepEqual(ackRec.args, [{ status: 1 }, 'two']);
  const empty = srv.post('/emit', { socket: sidOf(c), event: 'broadcast', args: [{ code: 1 }], ack: true });
  const q = await c.waitPacket((x) => x.data && x.data[0] === 'broadcast');
  c.sendText(`43${q.id}[]`);
  assert.deepEqual((await empty).ack, []);
});

test('an acknowledgement that never comes is reported as a timeout', async () => {
  await agent();
  const t0 = Date.now();
  const r = await srv.post('/emit', { room: 'R101', event: 'ping', ack: true, timeoutMs: 300 });
  assert.equal(r.ok, false);
  assert.equal(r.error, 'timeout');
  assert.ok(Date.now() - t0 >= 280);
});

test('emit to nobody, to a missing socket or with a reserved name is refused', async () => {
  assert.equal((await srv.post('/emit', { room: 'EMPTY', event: 'ping', ack: true })).ok, false);
  assert.equal((await srv.request('POST', '/emit', { socket: 'nope', event: 'ping' })).status, 404);
  assert.equal((await srv.request('POST', '/emit', { all: true, event: 'disconnect' })).status, 400);
  assert.equal((await srv.request('POST', '/emit', { all: true, nsp: '/nope', event: 'x' })).status, 404);
  assert.equal((await srv.request('POST', '/emit', { event: 'x' })).status, 400);
});

test('events the client sends are recorded with socket, namespace, id and arguments', async () => {
  const c = await agent();
  c.sendText('42["ack"]');
  c.sendText('42["ok"]');
  const { events } = await srv.get('/events?event=ack&dir=in&wait=3000');
  assert.equal(events.length, 1);
  assert.equal(events[0].socket, sidOf(c));
  assert.equal(events[0].nsp, '/');
  assert.equal(events[0].id, null);
  assert.deepEqual(events[0].args, []);
  const frames = (await srv.get(`/frames?conn=${c.handshake.sid}&dir=in`)).frames.map((f) => f.text);
  assert.deepEqual(frames, ['40', '42["ack"]', '42["ok"]']);
  const waited = await srv.get('/events?event=ok&min=1&wait=3000');
  assert.equal(waited.events.length, 1);
});

test('a client event with an id is acknowledged: echo by default, or the configured reply, or none', async () => {
  const c = await agent();
  c.emit('hello', [1, 'a'], { id: 5 });
  await c.waitFrame((f) => f.text === '435[1,"a"]');
  await srv.post('/reply', { event: 'hello', args: [{ accepted: true }] });
  c.emit('hello', [], { id: 6 });
  await c.waitFrame((f) => f.text === '436[{"accepted":true}]');
  await srv.post('/reply', { event: 'hello', none: true });
  c.emit('hello', [], { id: 7 });
  c.emit('marker', [], { id: 8 });
  await c.waitFrame((f) => f.text === '438[]');
  assert.ok(!texts(c).some((t) => t.startsWith('437')), 'no acknowledgement for id 7');
});

test('binary arguments travel both ways as placeholders and separate binary frames', async () => {
  const c = await agent();
  const bytes = Buffer.from([0, 1, 2, 253, 254, 255]);
  await srv.post('/emit', { socket: sidOf(c), event: 'file', args: [{ name: 'a', body: { $bin: bytes.toString('base64') } }] });
  const p = await c.waitPacket((x) => x.data && x.data[0] === 'file');
  assert.deepEqual(p.data[1].body, bytes);
  const i = c.frames.findIndex((f) => f.text === '451-["file",{"name":"a","body":{"_placeholder":true,"num":0}}]');
  assert.ok(i >= 0, 'text frame with the placeholder');
  assert.deepEqual(c.frames[i + 1].binary, bytes, 'the binary frame follows at once');

  c.emit('upload', [Buffer.from('xyz'), 'tail'], { id: 3 });
  const ack = await c.waitPacket((x) => x.id === 3);
  assert.equal(ack.type, TYPE.BINARY_ACK);
  assert.deepEqual(ack.data, [Buffer.from('xyz'), 'tail']);
  assert.ok(texts(c).includes('461-3[{"_placeholder":true,"num":0},"tail"]'));
  const [rec] = (await srv.get('/events?event=upload')).events;
  assert.equal(rec.binary, true);
  assert.equal(rec.type, 5);
  assert.deepEqual(rec.args, [{ $bin: Buffer.from('xyz').toString('base64') }, 'tail']);
  const outAck = (await srv.get('/events?kind=ack&dir=out')).events.at(-1);
  assert.equal(outAck.type, 6);

  const binAck = srv.post('/emit', { socket: sidOf(c), event: 'want', ack: true });
  const w = await c.waitPacket((x) => x.data && x.data[0] === 'want');
  c.ack(w.id, [Buffer.from([9, 9])]);
  assert.deepEqual((await binAck).ack, [{ $bin: Buffer.from([9, 9]).toString('base64') }]);
});

test('namespace /admin connects; an unknown namespace is refused with CONNECT_ERROR', async () => {
  const c = await agent();
  const admin = await c.connectNsp('/admin');
  assert.equal(admin.type, TYPE.CONNECT);
  assert.ok(texts(c).some((t) => /^40\/admin,\{"sid":"[^"]+"\}$/.test(t)));
  const nope = await c.connectNsp('/nope');
  assert.equal(nope.type, TYPE.CONNECT_ERROR);
  assert.ok(texts(c).includes('44/nope,{"message":"Invalid namespace"}'));
  await srv.post('/emit', { all: true, nsp: '/admin', event: 'hi' });
  await c.waitFrame((f) => f.text === '42/admin,["hi"]');
  const [conn] = (await srv.get('/connections?open=1')).connections;
  assert.deepEqual(conn.sockets.map((s) => s.nsp), ['/', '/admin']);
});

test('disconnect without close sends 41 and keeps the transport', async () => {
  const c = await agent();
  const r = await srv.post('/disconnect', { ecpKey: '00-1A-2B-3C-4D-5E', close: false });
  assert.equal(r.count, 1);
  await c.waitFrame((f) => f.text === '41');
  assert.equal(c.ws.readyState, 1, 'still open');
  const again = await c.connectNsp('/');
  assert.equal(again.type, TYPE.CONNECT, 'the client may join again on the same transport');
  const [rec] = (await srv.get(`/events?kind=socket_disconnect&socket=${sidOf(c)}`)).events;
  assert.equal(rec.reason, 'server namespace disconnect');
});

test('disconnect with close sends 41 and then a close frame without a status', async () => {
  const c = await agent();
  await srv.post('/disconnect', { all: true, close: true });
  const closed = await c.closed;
  assert.equal(closed.code, 1005, 'empty close frame');
  assert.equal(texts(c).at(-1), '41');
  const out = (await srv.get(`/frames?conn=${c.handshake.sid}&dir=out`)).frames;
  assert.deepEqual(out.slice(-2).map((f) => f.type), ['text', 'close']);
  assert.equal(out.at(-1).code, null);
});

test('disconnect with drop cuts the TCP connection without any frame', async () => {
  const c = await agent();
  await srv.post('/disconnect', { all: true, drop: true });
  const closed = await c.closed;
  assert.equal(closed.code, 1006);
  assert.ok(!texts(c).includes('41'));
});

test('a handshake of another Engine.IO revision is refused after the upgrade and recorded', async () => {
  // engine.io checks the revision only once the WebSocket is up: 101, then raw "HTTP/1.1 400" bytes, which a
  // WebSocket client reads as a broken frame.
  await assert.rejects(RawClient.connect(srv.ports.socket, { eio: 3, query: QUERY }), /RSV1 must be clear|HTTP 400/);
  const { connections } = await srv.get('/connections');
  assert.equal(connections.length, 1);
  assert.equal(connections[0].rejected, true);
  assert.match(connections[0].url, /EIO=3/);
});

test('a malformed packet from the client is recorded as a parse error', async () => {
  const c = await agent();
  c.sendText('4x');
  const { events } = await srv.get('/events?kind=parse_error&wait=3000');
  assert.equal(events.length, 1);
  await c.closed;
});

test('repeated emits with acknowledgements report round-trip figures', async () => {
  const c = await agent();
  const sid = sidOf(c);
  c.packets.length = 0;
  const onPacket = () => {
    for (const p of c.packets.splice(0)) if (p.type === TYPE.EVENT && p.id !== null) c.ack(p.id, []);
  };
  c.listeners.add(onPacket);
  const r = await srv.post('/emit', { socket: sid, event: 'ping', ack: true, repeat: 50, record: false });
  c.listeners.delete(onPacket);
  assert.equal(r.ok, true);
  assert.equal(r.count, 50);
  for (const k of ['p50', 'p90', 'p99', 'max', 'mean']) assert.equal(typeof r.latencyUs[k], 'number');
  assert.ok(r.latencyUs.p50 <= r.latencyUs.p99 && r.latencyUs.p99 <= r.latencyUs.max);
  assert.deepEqual((await srv.get('/events?event=ping')).events, [], 'nothing recorded with record:false');
});

test('the socket port serves no client bundle and no long-polling', async () => {
  const bundle = await request(srv.ports.socket, 'GET', '/socket.io/socket.io.js');
  assert.notEqual(bundle.status, 200);
  const polling = await request(srv.ports.socket, 'GET', '/socket.io/?EIO=4&transport=polling');
  assert.equal(polling.status, 400);
  assert.deepEqual(polling.json, { code: 0, message: 'Transport unknown' });
});

test('kick-on-join ends the namespace right after every join until it is switched off', async () => {
  await srv.post('/socket/kick-on-join', { nsp: '/' });
  const c = await agent(QUERY, null);
  for (let i = 0; i < 2; i++) {
    const from = c.frames.length;
    assert.equal((await c.connectNsp('/')).type, TYPE.CONNECT);
    await c.waitFrame((f) => f.text === '41', 5000, from);
  }
  assert.equal(c.ws.readyState, 1, 'the transport stays');
  await srv.post('/socket/kick-on-join', { nsp: '/', on: false });
  await c.connectNsp('/');
  await new Promise((r) => setTimeout(r, 200));
  assert.equal((await srv.get('/sockets')).sockets.length, 1, 'the third join holds');
});

test('large-frame writes one text frame of the asked size to the target', async () => {
  const c = await agent();
  const r = await srv.post('/socket/large-frame', { ecpKey: '00-1A-2B-3C-4D-5E', size: 100000 });
  assert.equal(r.sent, 1);
  assert.ok(r.bytes > 99990 && r.bytes <= 100000, `bytes ${r.bytes}`);
  const f = await c.waitFrame((x) => x.text !== undefined && x.text.startsWith('42["broadcast",[1,1'));
  assert.equal(f.text.length, r.bytes);
  assert.equal((await srv.request('POST', '/socket/large-frame', { all: true, size: 1 })).status, 400);
});
