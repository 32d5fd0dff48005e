'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const net = require('net');
const { sharedServer } = require('../testkit/harness');

const srv = sharedServer();

const { api } = srv;
const KEY = '00-1A-2B-3C-4D-5E';

// Sends exactly these bytes and returns the raw answer text.
function rawExchange(port, bytes) {
  return new Promise((resolve, reject) => {
    const s = net.connect(port, '127.0.0.1', () => s.end(bytes));
    let out = '';
    s.on('data', (d) => (out += d.toString('latin1')));
    s.on('end', () => resolve(out));
    s.on('error', reject);
  });
}

test('control reports the ports it printed', async () => {
  const ports = await srv.get('/ports');
  assert.equal(ports.ok, true);
  assert.equal(ports.http, srv.ports.http);
  assert.equal(ports.socket, srv.ports.socket);
  assert.equal(ports.control, srv.ports.control);
});

test('default answers: empty version, 9000 until registered, then the start-up record', async () => {
  const v = await api('GET', '/client/getVersionInfo');
  assert.deepEqual(v.json, { code: 1000, data: '', message: '' });
  assert.match(v.headers['content-type'], /^application\/json/);

  const unknown = await api('GET', `/client/getStartupInfoAgent?ecpKey=${KEY}&ip=10.0.0.5`);
  assert.equal(unknown.json.code, 9000);

  const reg = await api('POST', '/client/registeTavrel', { ecpHostName: 'PC-01', ecpIp: '10.0.0.5', ecpKey: KEY, ecpRoom: '' });
  assert.deepEqual(reg.json, { code: 1000, data: 1, message: '' });
  const again = await api('POST', '/client/registeTavrel', { ecpHostName: 'PC-01', ecpIp: '10.0.0.5', ecpKey: KEY, ecpRoom: '' });
  assert.equal(again.json.data, 1, 'a machine that registers twice keeps its number');
  const other = await api('POST', '/client/registeTavrel', { ecpHostName: 'PC-02', ecpIp: '10.0.0.6', ecpKey: 'OTHER', ecpRoom: 'R7' });
  assert.equal(other.json.data, 2);

  const info = await api('GET', `/client/getStartupInfoAgent?ecpKey=${KEY}&ip=10.0.0.5`);
  assert.deepEqual(info.json, {
    code: 1000,
    data: { ecpId: 1, phase: 0, ecpRoomCode: 'R101', isStartup: false, isSuperLock: '0', ecpPixel: '' },
    message: '',
  });
  const otherInfo = await api('GET', '/client/getStartupInfoAgent?ecpKey=OTHER&ip=10.0.0.6');
  assert.equal(otherInfo.json.data.ecpRoomCode, 'R7', 'the room sent with the registration is kept');
});

test('modifyTavrel sets the number, refuses a taken or invalid one with a message', async () => {
  await api('POST', '/client/registeTavrel', { ecpKey: KEY });
  await api('POST', '/client/registeTavrel', { ecpKey: 'OTHER' });
  const ok = await api('POST', '/client/modifyTavrel', { ecpId: '17', ecpKey: KEY });
  assert.equal(ok.json.code, 1000);
  assert.equal(typeof ok.json.data, 'string');
  const taken = await api('POST', '/client/modifyTavrel', { ecpId: '17', ecpKey: 'OTHER' });
  assert.notEqual(taken.json.code, 1000);
  assert.match(taken.json.message, /17/);
  const bad = await api('POST', '/client/modifyTavrel', { ecpId: 'x', ecpKey: 'OTHER' });
  assert.notEqual(bad.json.code, 1000);
  assert.ok(bad.json.message.length > 0);
  const info = await api('GET', `/client/getStartupInfoAgent?ecpKey=${KEY}&ip=1`);
  assert.equal(info.json.data.ecpId, 17);
});

test('answers per route and per machine key, raw bodies, and clearing them', async () => {
  await srv.post('/answer', { route: 'getVersionInfo', data: '1.0.0.2' });
  await srv.post('/answer', { route: '/client/getStartupInfoAgent', key: KEY, code: 1000, data: { ecpId: 12, examineeId: '' } });
  await srv.post('/answer', { route: 'getStartupInfoAgent', key: 'RAW', raw: '{"code":1000,"data":{"ecpId":null}}' });
  assert.equal((await api('GET', '/client/getVersionInfo')).json.data, '1.0.0.2');
  assert.deepEqual((await api('GET', `/client/getStartupInfoAgent?ecpKey=${KEY}&ip=1`)).json, { code: 1000, data: { ecpId: 12, examineeId: '' }, message: '' });
  assert.equal((await api('GET', '/client/getStartupInfoAgent?ecpKey=RAW&ip=1')).text, '{"code":1000,"data":{"ecpId":null}}');
  assert.equal((await api('GET', '/client/getStartupInfoAgent?ecpKey=ELSE&ip=1')).json.code, 9000, 'other keys keep the default');
  await srv.post('/answer', { route: 'getStartupInfoAgent', key: KEY, clear: true });
  assert.equal((await api('GET', `/client/getStartupInfoAgent?ecpKey=${KEY}&ip=1`)).json.code, 9000);
  const bad = await srv.request('POST', '/answer', { route: 'noSuchRoute', data: 1 });
  assert.equal(bad.status, 400);
});

test('machine edits reach the start-up record as given, null included', async () => {
  await srv.post('/machine', { ecpKey: KEY, startup: { ecpId: 5, isStartup: true, examineeId: null, tavrelType: 'Other.exe' }, unset: ['ecpPixel'] });
  const info = await api('GET', `/client/getStartupInfoAgent?ecpKey=${KEY}&ip=1`);
  assert.deepEqual(info.json.data, { ecpId: 5, phase: 0, ecpRoomCode: 'R101', isStartup: true, isSuperLock: '0', examineeId: null, tavrelType: 'Other.exe' });
  const { machines } = await srv.get('/machines');
  assert.equal(machines.length, 1);
  await srv.post('/machine', { ecpKey: 'K2', startup: { ecpId: 6 } });
  assert.equal((await srv.post('/machine', { all: true, startup: { isStartup: false, phase: 2 } })).count, 2);
  for (const m of (await srv.get('/machines')).machines) assert.deepEqual([m.startup.isStartup, m.startup.phase], [false, 2]);
  await srv.post('/machine', { ecpKey: KEY, remove: true });
  assert.equal((await api('GET', `/client/getStartupInfoAgent?ecpKey=${KEY}&ip=1`)).json.code, 9000);
});

test('requests are recorded as received: request line, header lines byte for byte, raw query, body', async () => {
  const body = '{\n   "ecpId" : "3",\n   "ecpKey" : "K"\n}\n';
  const head = [
    'POST /client/modifyTavrel HTTP/1.1',
    `Host: 127.0.0.1:${srv.ports.http}`,
    'Accept: */*',
    'Client-Name:Mova-agent',
    'Content-Type:application/json;charset=UTF-8',
    `Content-Length: ${Buffer.byteLength(body)}`,
    'Connection: close',
  ];
  const answer = await rawExchange(srv.ports.http, `${head.join('\r\n')}\r\n\r\n${body}`);
  assert.match(answer, /^HTTP\/1.1 200/);
  await api('GET', '/client/getStartupInfoAgent?ecpKey=AA-BB&ip=10.0.0.5');

  const { requests } = await srv.get('/requests?path=/client/modifyTavrel');
  assert.equal(requests.length, 1);
  const r = requests[0];
  assert.equal(r.requestLine, head[0]);
  assert.deepEqual(r.headerLines, head.slice(1));
  assert.deepEqual(r.rawHeaders[2], ['Client-Name', 'Mova-agent']);
  assert.equal(Buffer.from(r.body, 'base64').toString(), body);
  assert.equal(r.bodyText, body);
  assert.deepEqual(r.json, { ecpId: '3', ecpKey: 'K' });
  assert.equal(r.key, 'K');
  assert.equal(r.route, 'modifyTavrel');
  assert.equal(r.response.status, 200);

  const gets = (await srv.get('/requests?route=getStartupInfoAgent')).requests;
  assert.equal(gets.at(-1).query, 'ecpKey=AA-BB&ip=10.0.0.5');
  assert.deepEqual(gets.at(-1).queryParams, [['ecpKey', 'AA-BB'], ['ip', '10.0.0.5']]);
  assert.equal(gets.at(-1).key, 'AA-BB');
  assert.ok(gets.every((g) => g.seq > 0));
  const byKey = await srv.get('/requests?key=AA-BB');
  assert.equal(byKey.requests.length, 1);
});

test('a body that is not UTF-8 is kept in base64 without a text view', async () => {
  const bytes = Buffer.from([0x7b, 0xb5, 0xc7, 0x7d]); // "{" GBK bytes "}"
  await api('POST', '/client/sendEcpState', bytes, { 'Content-Type': 'application/json' });
  const [r] = (await srv.get('/requests?route=sendEcpState')).requests;
  assert.deepEqual(Buffer.from(r.body, 'base64'), bytes);
  assert.equal(r.bodyText, undefined);
});

test('keep-alive: each request on one connection gets its own header lines', async () => {
  const one = 'GET /client/getVersionInfo HTTP/1.1\r\nHost: a\r\nX-One:1\r\n\r\n';
  const two = 'POST /client/sendEcpState HTTP/1.1\r\nHost: a\r\nX-Two: 2\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}';
  await new Promise((resolve, reject) => {
    const s = net.connect(srv.ports.http, '127.0.0.1', () => s.write(one));
    let seen = '';
    s.on('data', (d) => {
      seen += d;
      if (seen.includes('"data":""') && !s.sentTwo) {
        s.sentTwo = true;
        s.write(two);
      }
    });
    s.on('end', resolve);
    s.on('error', reject);
  });
  const { requests } = await srv.get('/requests');
  assert.deepEqual(requests.map((r) => r.headerLines), [['Host: a', 'X-One:1'], ['Host: a', 'X-Two: 2', 'Content-Length: 2', 'Connection: close']]);
});

test('multipart uploads are decoded into ordered parts with exact file bytes', async () => {
  const fileBytes = Buffer.from([0, 1, 2, 0x0d, 0x0a, 0x2d, 0x2d, 255, 254]);
  const boundary = '----TavrelBoundary7';
  const body = Buffer.concat([
    Buffer.from(`--${boundary}\r\nContent-Disposition: form-data; name="ecpId"\r\n\r\n12\r\n`),
    Buffer.from(`--${boundary}\r\nContent-Disposition: form-data; name="ecpKey"\r\n\r\n${KEY}\r\n`),
    Buffer.from(`--${boundary}\r\nContent-Disposition: form-data; name="logName"\r\n\r\nTavrel.20240102030405.log\r\n`),
    Buffer.from(`--${boundary}\r\nContent-Disposition: form-data; name="file"; filename="Tavrel.log"\r\nContent-Type: application/octet-stream\r\n\r\n`),
    fileBytes,
    Buffer.from(`\r\n--${boundary}--\r\n`),
  ]);
  const res = await api('POST', '/client/uploadTavrelLogs', body, { 'Content-Type': `multipart/form-data; boundary=${boundary}` });
  assert.deepEqual(res.json, { code: 1000, data: null, message: '' });
  const [r] = (await srv.get('/requests?route=uploadTavrelLogs')).requests;
  assert.equal(r.key, KEY, 'the form field ecpKey is the machine key');
  assert.deepEqual(r.parts.map((p) => [p.name, p.filename, p.contentType]), [
    ['ecpId', null, null], ['ecpKey', null, null], ['logName', null, null], ['file', 'Tavrel.log', 'application/octet-stream'],
  ]);
  assert.equal(r.parts[0].text, '12');
  assert.deepEqual(Buffer.from(r.parts[3].data, 'base64'), fileBytes);
  assert.equal(r.parts[3].size, fileBytes.length);
  assert.equal(r.parts[3].text, undefined, 'invalid UTF-8 has no text view');
  assert.equal(r.parts[3].md5, require('crypto').createHash('md5').update(fileBytes).digest('hex'));

  const broken = await api('POST', '/monitor/uploadRecoverAnswer', Buffer.from('garbage'), { 'Content-Type': `multipart/form-data; boundary=${boundary}` });
  assert.notEqual(broken.json.code, 1000);
  const [b] = (await srv.get('/requests?route=uploadRecoverAnswer')).requests;
  assert.match(b.multipartError, /boundary/);
});

test('unknown paths answer 404 and are recorded too', async () => {
  const res = await api('GET', '/client/nothing');
  assert.equal(res.status, 404);
  const { requests } = await srv.get('/requests?path=/client/nothing');
  assert.equal(requests.length, 1);
  assert.equal(requests[0].route, null);
});

test('waiting for requests returns as soon as enough have arrived, or what there is at the time limit', async () => {
  const started = Date.now();
  const waiting = srv.get('/requests?route=getVersionInfo&min=2&wait=10000');
  setTimeout(() => api('GET', '/client/getVersionInfo'), 100);
  setTimeout(() => api('GET', '/client/getVersionInfo'), 200);
  const { requests } = await waiting;
  assert.equal(requests.length, 2);
  assert.ok(Date.now() - started < 9000, 'returned before the time limit');
  const none = await srv.get('/requests?route=registeTavrel&wait=300');
  assert.deepEqual(none.requests, []);
});

test('reset forgets answers, faults, machines and records', async () => {
  await srv.post('/answer', { route: 'getVersionInfo', data: '9.9.9.9' });
  await srv.post('/fault', { route: 'getModuleMD5', kind: 'status', status: 500 });
  await api('POST', '/client/registeTavrel', { ecpKey: KEY });
  await srv.post('/reset');
  assert.deepEqual((await srv.get('/requests')).requests, []);
  assert.equal((await api('GET', '/client/getVersionInfo')).json.data, '');
  assert.equal((await api('GET', '/client/getModuleMD5')).status, 200);
  assert.equal((await api('GET', `/client/getStartupInfoAgent?ecpKey=${KEY}&ip=1`)).json.code, 9000);
});

test('records: skipped routes are answered but not kept, clear keeps the machines, reset keeps all again', async () => {
  await api('POST', '/client/registeTavrel', { ecpKey: KEY });
  await srv.post('/records', { skipRoutes: ['getVersionInfo'], clear: true });
  assert.equal((await api('GET', '/client/getVersionInfo')).status, 200);
  assert.equal((await api('GET', `/client/getStartupInfoAgent?ecpKey=${KEY}&ip=1`)).json.data.ecpId, 1);
  assert.deepEqual((await srv.get('/requests')).requests.map((r) => r.route), ['getStartupInfoAgent']);
  await srv.post('/reset');
  await api('GET', '/client/getVersionInfo');
  assert.equal((await srv.get('/requests')).requests.length, 1);
});

test('control refuses unknown routes and bodies that are not JSON objects', async () => {
  assert.equal((await srv.request('GET', '/nope')).status, 404);
  assert.equal((await srv.request('POST', '/answer', 'not json')).status, 400);
  assert.equal((await srv.request('POST', '/answer', '[1]')).status, 400);
  assert.equal((await srv.request('POST', '/fault', { route: 'getVersionInfo', kind: 'explode' })).status, 400);
});
