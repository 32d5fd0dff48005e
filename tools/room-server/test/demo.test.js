'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('crypto');
const { startServer, request, sleep } = require('../testkit/harness');
const { RawClient, TYPE } = require('../testkit/raw-client');

test('demo mode plays a room: registration, number and room, module, start, pings, broadcasts, a live log', async () => {
  const srv = await startServer(['--demo', '--demo-start-ms', '600', '--demo-ping-ms', '300', '--demo-broadcast-ms', '500']);
  const { api } = srv;
  const KEY = 'AA-BB-CC-DD-EE-01';
  try {
    assert.equal((await api('GET', `/client/getStartupInfoAgent?ecpKey=${KEY}&ip=10.0.0.9`)).json.code, 9000);
    const reg = await api('POST', '/client/registeTavrel', { ecpHostName: 'SEAT-01', ecpIp: '10.0.0.9', ecpKey: KEY, ecpRoom: '' });
    assert.equal(reg.json.code, 1000);
    const number = reg.json.data;
    assert.ok(Number.isInteger(number) && number > 0);
    const first = (await api('GET', `/client/getStartupInfoAgent?ecpKey=${KEY}&ip=10.0.0.9`)).json.data;
    assert.equal(first.ecpId, number);
    assert.equal(first.ecpRoomCode, 'R101');
    assert.equal(first.isStartup, false);

    const md5 = (await api('GET', '/client/getModuleMD5')).json.data;
    const module = await api('GET', '/client/downloadModule');
    assert.ok(module.bytes.length >= 4096 && module.bytes.length < 8192, `${module.bytes.length} bytes`);
    assert.equal(crypto.createHash('md5').update(module.bytes).digest('hex'), md5);

    let allowed = false;
    for (let i = 0; i < 50 && !allowed; i++) {
      await sleep(100);
      allowed = (await api('GET', `/client/getStartupInfoAgent?ecpKey=${KEY}&ip=10.0.0.9`)).json.data.isStartup;
    }
    assert.equal(allowed, true, 'the start is allowed after the delay');

    const c = await RawClient.connect(srv.ports.socket, { query: `ecpKey=${KEY}&room=R101&type=agent` });
    await c.connectNsp('/');
    await c.waitPacket((p) => p.type === TYPE.EVENT && p.data[0] === 'ping', 3000);
    c.sendText('42["ack"]');
    const b = await c.waitPacket((p) => p.type === TYPE.EVENT && p.data[0] === 'broadcast', 3000);
    assert.ok([1006, 1001].includes(b.data[1].code), 'only harmless codes');
    await c.close();

    const fileBoundary = 'demoB';
    const form = Buffer.from([
      `--${fileBoundary}`, 'Content-Disposition: form-data; name="ecpKey"', '', KEY,
      `--${fileBoundary}`, 'Content-Disposition: form-data; name="logName"', '', 'Tavrel.20240101120000.log',
      `--${fileBoundary}`, 'Content-Disposition: form-data; name="file"; filename="Tavrel.log"', '', 'log text',
      `--${fileBoundary}--`, '',
    ].join('\r\n'));
    await srv.api('POST', '/client/uploadTavrelLogs', form, { 'Content-Type': `multipart/form-data; boundary=${fileBoundary}` });
    assert.equal((await api('GET', `/client/getStartupInfoAgent?ecpKey=${KEY}&ip=10.0.0.9`)).json.data.isStartup, false, 'the exam is over');

    await sleep(100);
    const log = srv.stderr();
    for (const expected of [/exam module package ready: \d+ bytes, MD5 [0-9A-F]{32}/, /unknown: answered 9000/, /registered AA-BB-CC-DD-EE-01 \(SEAT-01, 10\.0\.0\.9\) as number \d+ in room R101/,
      /may start the exam now/, /command channel open/, /ping to 1 agent/, /sent "ack"/, /broadcast code/, /uploaded its exam client log Tavrel\.20240101120000\.log \(8 bytes\)/]) {
      assert.match(log, expected);
    }
    assert.ok(log.split('\n').filter(Boolean).every((l) => /^\[\d\d:\d\d:\d\d\] /.test(l)), 'every line carries the time');
  } finally {
    await srv.stop();
  }
});

test('demo mode hands out the installer a Windows build made, also after a reset', async () => {
  const fs = require('fs');
  const os = require('os');
  const path = require('path');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'demo-installer-'));
  const file = path.join(dir, 'Tavrel_Setup.exe');
  const bytes = crypto.randomBytes(70000);
  fs.writeFileSync(file, bytes);
  const srv = await startServer(['--demo', '--demo-installer', file]);
  try {
    const served = await srv.api('GET', '/client/updateTavrel');
    assert.ok(served.bytes.equals(bytes), 'the file byte for byte');
    await request(srv.ports.control, 'POST', '/reset', {});
    assert.ok((await srv.api('GET', '/client/updateTavrel')).bytes.equals(bytes), 'still after a reset');
    assert.match(srv.stderr(), /installer ready: .*Tavrel_Setup\.exe \(70000 bytes\)/);
  } finally {
    await srv.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('demo mode without a Windows build serves the generated installer bytes', async () => {
  const srv = await startServer(['--demo', '--demo-installer', '/nonexistent/Tavrel_Setup.exe']);
  try {
    assert.equal((await srv.api('GET', '/client/updateTavrel')).bytes.length, 2048);
    assert.doesNotMatch(srv.stderr(), /installer ready/);
  } finally {
    await srv.stop();
  }
});
