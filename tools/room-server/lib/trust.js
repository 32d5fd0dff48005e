'use strict';
// Opt-in trust for the room: a test CA and the server certificate it signed, a second CA whose server
// certificate a pinned agent must refuse, TLS ports for the exam HTTP interface and the Socket.IO endpoint
// beside the plain ones, and installers signed by a test publisher (or by another one) with osslsigncode.
const fs = require('fs');
const os = require('os');
const path = require('path');
const tls = require('tls');
const { execFileSync } = require('child_process');

const PUBLISHER = 'Tavrel Test Publisher';
const OTHER_PUBLISHER = 'Tavrel Other Publisher';

function run(cmd, args, cwd) {
  execFileSync(cmd, args, { cwd, stdio: ['ignore', 'ignore', 'pipe'] });
}

// One CA (self-signed) and one leaf it signed; ext names the leaf's extensions.
function makeCa(dir, name, cn) {
  run('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-sha256', '-days', '3650',
    '-subj', `/CN=${cn}`, '-keyout', `${name}.key`, '-out', `${name}.pem`,
    '-addext', 'basicConstraints=critical,CA:TRUE', '-addext', 'keyUsage=critical,keyCertSign,cRLSign'], dir);
}

function makeLeaf(dir, ca, name, cn, ext) {
  fs.writeFileSync(path.join(dir, `${name}.ext`), `${ext.join('\n')}\n`);
  run('openssl', ['req', '-newkey', 'rsa:2048', '-nodes', '-sha256', '-subj', `/CN=${cn}`,
    '-keyout', `${name}.key`, '-out', `${name}.csr`], dir);
  run('openssl', ['x509', '-req', '-in', `${name}.csr`, '-CA', `${ca}.pem`, '-CAkey', `${ca}.key`,
    '-CAcreateserial', '-days', '3650', '-sha256', '-extfile', `${name}.ext`, '-out', `${name}.pem`], dir);
}

// Files in dir (made once, reused when present):
//   ca.pem            the CA an agent pins (CaFile=)
//   server.pem/.key   127.0.0.1 and localhost, signed by ca
//   other-ca.pem      a CA the agent does not know; other-server.pem/.key signed by it, same names
//   publisher.pem/.key, other-publisher.pem/.key   code-signing certificates signed by ca
function makePki(dir) {
  fs.mkdirSync(dir, { recursive: true });
  const have = (f) => fs.existsSync(path.join(dir, f));
  const serverExt = ['basicConstraints=CA:FALSE', 'keyUsage=digitalSignature,keyEncipherment',
    'extendedKeyUsage=serverAuth', 'subjectAltName=IP:127.0.0.1,DNS:localhost'];
  const signerExt = ['basicConstraints=CA:FALSE', 'keyUsage=digitalSignature', 'extendedKeyUsage=codeSigning'];
  if (!have('ca.pem')) makeCa(dir, 'ca', 'Tavrel Test Room CA');
  if (!have('other-ca.pem')) makeCa(dir, 'other-ca', 'Tavrel Stranger CA');
  if (!have('server.pem')) makeLeaf(dir, 'ca', 'server', '127.0.0.1', serverExt);
  if (!have('other-server.pem')) makeLeaf(dir, 'other-ca', 'other-server', '127.0.0.1', serverExt);
  if (!have('publisher.pem')) makeLeaf(dir, 'ca', 'publisher', PUBLISHER, signerExt);
  if (!have('other-publisher.pem')) makeLeaf(dir, 'ca', 'other-publisher', OTHER_PUBLISHER, signerExt);
  return {
    dir,
    ca: path.join(dir, 'ca.pem'),
    otherCa: path.join(dir, 'other-ca.pem'),
    publisher: PUBLISHER,
    otherPublisher: OTHER_PUBLISHER,
  };
}

function contextOf(dir, which) {
  const base = which === 'other' ? 'other-server' : 'server';
  return {
    key: fs.readFileSync(path.join(dir, `${base}.key`)),
    cert: fs.readFileSync(path.join(dir, `${base}.pem`)),
    minVersion: 'TLSv1.2',
  };
}

// A TLS port in front of a plain HTTP server: every secure socket is handed to that server as if it had
// connected to it, so routes, records and faults are the same on both ports.
function tlsFront(target, dir) {
  const server = tls.createServer(contextOf(dir, 'ca'), (sock) => target.emit('connection', sock));
  server.on('tlsClientError', () => {});
  return server;
}

// Signs input into output. signer: "publisher", "other" (another publisher), or "none" (a plain copy).
function signInstaller(pki, input, output, signer) {
  if (signer === 'none') {
    fs.copyFileSync(input, output);
    return;
  }
  const base = signer === 'other' ? 'other-publisher' : 'publisher';
  fs.rmSync(output, { force: true });
  try {
    run('osslsigncode', ['sign', '-certs', path.join(pki.dir, `${base}.pem`), '-key', path.join(pki.dir, `${base}.key`),
      '-h', 'sha256', '-n', 'Tavrel Setup', '-in', input, '-out', output], pki.dir);
  } catch (err) {
    // Mostly a file that is no PE image; the caller hears why, with a status the control port can send.
    throw Object.assign(new Error(`osslsigncode could not sign: ${String(err.stderr || err.message).trim()}`), { status: 422 });
  }
}

// The control side: POST /tls/start opens the two TLS ports (once), /tls/certificate swaps what they present,
// /tls/installer serves a signed copy of a program as the installer.
class Trust {
  constructor({ host, exam, socket, room, dir }) {
    Object.assign(this, { host, exam, socket, room });
    this.dir = dir || fs.mkdtempSync(path.join(os.tmpdir(), 'room-tls-'));
    this.ownDir = !dir;
    this.pki = null;
    this.servers = null;
    this.ports = { https: 0, wss: 0 };
  }

  async start() {
    if (this.servers) return this.info();
    this.pki = makePki(this.dir);
    const listen = (server) => new Promise((resolve, reject) => {
      server.once('error', reject);
      server.listen(0, this.host, () => resolve(server.address().port));
    });
    const https = tlsFront(this.exam, this.dir);
    // The Socket.IO endpoint may be stopped and started again; its server of the moment takes the socket.
    const wss = tls.createServer(contextOf(this.dir, 'ca'), (sock) => {
      if (this.socket.server) this.socket.server.emit('connection', sock);
      else sock.destroy();
    });
    wss.on('tlsClientError', () => {});
    this.ports.https = await listen(https);
    this.ports.wss = await listen(wss);
    this.servers = { https, wss };
    return this.info();
  }

  info() {
    // The PEM texts too: a client under Wine does not share this machine's paths.
    return { ...this.ports, dir: this.dir, ca: this.pki.ca, otherCa: this.pki.otherCa,
      caPem: fs.readFileSync(this.pki.ca, 'utf8'), otherCaPem: fs.readFileSync(this.pki.otherCa, 'utf8'),
      publisher: this.pki.publisher, otherPublisher: this.pki.otherPublisher };
  }

  // "ca" (the pinned CA's certificate) or "other" (a stranger's); later handshakes see it.
  present(which) {
    if (!this.servers) throw Object.assign(new Error('TLS not started'), { status: 409 });
    for (const s of Object.values(this.servers)) s.setSecureContext(contextOf(this.dir, which));
    return { presenting: which === 'other' ? 'other' : 'ca' };
  }

  // file: a path here, or bytes: {base64} of the program (from a client that does not share our paths).
  installer({ file, bytes }, signer) {
    if (!this.pki) this.pki = makePki(this.dir);
    if (file === undefined) {
      file = path.join(this.dir, 'unsigned-input.exe');
      fs.writeFileSync(file, Buffer.from(bytes.base64, 'base64'));
    }
    const out = path.join(this.dir, `installer-${signer}.exe`);
    signInstaller(this.pki, file, out, signer);
    const signed = fs.readFileSync(out);
    return this.room.setAnswer({ route: 'updateTavrel', bytes: { base64: signed.toString('base64') } });
  }

  close() {
    if (this.servers) for (const s of Object.values(this.servers)) s.close();
    if (this.ownDir) fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

module.exports = { Trust, makePki, signInstaller, PUBLISHER, OTHER_PUBLISHER };
