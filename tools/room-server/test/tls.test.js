'use strict';
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const https = require('https');
const os = require('os');
const path = require('path');
const { execFileSync } = require('child_process');
const { startServer } = require('../testkit/harness');

function get(port, ca, p) {
  return new Promise((resolve, reject) => {
    const req = https.request({ host: '127.0.0.1', port, path: p, ca: fs.readFileSync(ca), agent: false }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, text: Buffer.concat(chunks).toString('utf8') }));
    });
    req.on('error', reject);
    req.end();
  });
}

test('TLS ports serve the same room, and a swapped certificate is refused by a client pinning the CA', async () => {
  const server = await startServer(['--tls']);
  try {
    const ports = await server.get('/ports');
    assert.ok(ports.https > 0 && ports.wss > 0);
    const res = await get(ports.https, ports.ca, '/client/getVersionInfo');
    assert.strictEqual(res.status, 200);
    assert.strictEqual(JSON.parse(res.text).code, 1000);
    const requests = await server.get('/requests?route=getVersionInfo');
    assert.strictEqual(requests.requests.length, 1);

    await server.post('/tls/certificate', { from: 'other' });
    await assert.rejects(get(ports.https, ports.ca, '/client/getVersionInfo'), /self[- ]signed|unable to (get|verify)/i);
    // The stranger's certificate is sound in itself: a client pinning its CA is served.
    assert.strictEqual((await get(ports.https, ports.otherCa, '/client/getVersionInfo')).status, 200);
    await server.post('/tls/certificate', { from: 'ca' });
    assert.strictEqual((await get(ports.https, ports.ca, '/client/getVersionInfo')).status, 200);
  } finally {
    await server.stop();
  }
});

test('installers are served signed by the test publisher, by another one, or unsigned', async () => {
  const server = await startServer();
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'room-sign-'));
  try {
    // osslsigncode signs any PE file; a minimal one is enough to check who signed it.
    const exe = path.join(work, 'setup.exe');
    fs.writeFileSync(exe, minimalPe());
    for (const [signer, subject] of [['publisher', 'Tavrel Test Publisher'], ['other', 'Tavrel Other Publisher']]) {
      const answer = await server.post('/tls/installer', { file: exe, signer });
      assert.strictEqual(answer.ok, true, JSON.stringify(answer));
      const served = path.join(work, `served-${signer}.exe`);
      fs.writeFileSync(served, await download(server));
      const out = execFileSync('osslsigncode', ['extract-signature', '-pem', '-in', served, '-out', `${served}.pem`]);
      assert.ok(out !== undefined);
      const certs = execFileSync('openssl', ['pkcs7', '-print_certs', '-in', `${served}.pem`]).toString();
      assert.match(certs, new RegExp(`subject=CN\\s*=\\s*${subject}`));
    }
    await server.post('/tls/installer', { file: exe, signer: 'none' });
    assert.deepStrictEqual(await download(server), fs.readFileSync(exe));
  } finally {
    await server.stop();
    fs.rmSync(work, { recursive: true, force: true });
  }
});

async function download(server) {
  const { request } = require('../testkit/harness');
  const res = await request(server.ports.http, 'GET', '/client/updateTavrel');
  assert.strictEqual(res.status, 200);
  return res.bytes;
}

// DOS header, PE header of a 64-bit image with one empty .text section: the least osslsigncode accepts.
function minimalPe() {
  const b = Buffer.alloc(1024);
  b.write('MZ', 0);
  b.writeUInt32LE(0x80, 0x3c);
  b.write('PE\0\0', 0x80, 'latin1');
  b.writeUInt16LE(0x8664, 0x84);      // machine
  b.writeUInt16LE(1, 0x86);           // sections
  b.writeUInt16LE(240, 0x94);         // optional header size
  b.writeUInt16LE(0x22, 0x96);        // characteristics
  const o = 0x98;
  b.writeUInt16LE(0x20b, o);          // PE32+
  b.writeUInt32LE(0x1000, o + 16);    // entry point
  b.writeUInt32LE(0x1000, o + 32);    // section alignment
  b.writeUInt32LE(0x200, o + 36);     // file alignment
  b.writeUInt16LE(6, o + 48);         // subsystem version
  b.writeUInt32LE(0x2000, o + 56);    // image size
  b.writeUInt32LE(0x200, o + 60);     // headers size
  b.writeUInt16LE(3, o + 68);         // console
  b.writeUInt32LE(16, o + 108);       // data directories
  const s = o + 240;
  b.write('.text', s, 'latin1');
  b.writeUInt32LE(0x200, s + 8);
  b.writeUInt32LE(0x1000, s + 12);
  b.writeUInt32LE(0x200, s + 16);
  b.writeUInt32LE(0x200, s + 20);
  b.writeUInt32LE(0x60000020, s + 36);
  return b;
}

test('a file that is no PE image is refused with the reason', async () => {
  const server = await startServer();
  try {
    const res = await server.request('POST', '/tls/installer', { bytes: { base64: Buffer.from('not a program').toString('base64') }, signer: 'publisher' });
    assert.strictEqual(res.status, 422);
    assert.match(res.json.error, /osslsigncode could not sign/);
  } finally {
    await server.stop();
  }
});
