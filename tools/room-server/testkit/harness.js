'use strict';
// Starts room-server as a child process for a test and talks to its control port.
const { spawn } = require('child_process');
const path = require('path');
const http = require('http');
const { RawClient } = require('./raw-client');

const SERVER = path.join(__dirname, '..', 'server.js');
const READY = /^room-server ready http=(\d+) socket=(\d+) control=(\d+)$/;

function waitReady(proc, timeoutMs = 15000) {
  return new Promise((resolve, reject) => {
    let out = '';
    let err = '';
    const timer = setTimeout(() => reject(new Error(`no ready line after ${timeoutMs} ms; stderr: ${err}`)), timeoutMs);
    proc.stderr.on('data', (d) => (err += d));
    proc.stdout.on('data', (d) => {
      out += d;
      const line = out.split('\n')[0];
      if (out.includes('\n')) {
        clearTimeout(timer);
        const m = READY.exec(line);
        if (!m) reject(new Error(`unexpected first line ${JSON.stringify(line)}`));
        else resolve({ line, http: Number(m[1]), socket: Number(m[2]), control: Number(m[3]) });
      }
    });
    proc.once('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`room-server exited with ${code}; stderr: ${err}`));
    });
  });
}

async function startServer(args = []) {
  const proc = spawn(process.execPath, [SERVER, ...args], { stdio: ['pipe', 'pipe', 'pipe'] });
  let stderr = '';
  proc.stderr.on('data', (d) => (stderr += d));
  const ports = await waitReady(proc);
  const exited = new Promise((r) => proc.once('exit', (code, signal) => r({ code, signal })));
  const server = {
    proc,
    ports,
    exited,
    stderr: () => stderr,
    request: (method, p, body) => request(ports.control, method, p, body),
    api: (method, p, body, headers) => request(ports.http, method, p, body, headers),
    get: (p) => request(ports.control, 'GET', p).then((r) => r.json),
    post: (p, body = {}) => request(ports.control, 'POST', p, body).then((r) => r.json),
    async stop() {
      if (proc.exitCode === null && proc.signalCode === null) proc.kill('SIGTERM');
      await exited;
    },
  };
  return server;
}

// The opening most test files share: one server for the whole file, started before its first test, reset before
// each test and stopped after the last. Clients opened with `srv.connect` (RawClient options) are closed after each
// test. The object is filled in once the server runs, so a test uses it as the server itself.
function sharedServer(args = []) {
  const test = require('node:test');
  const clients = [];
  const srv = {
    api: (method, p, body, headers) => request(srv.ports.http, method, p, body, headers),
    async connect(opts) {
      const c = await RawClient.connect(srv.ports.socket, opts);
      clients.push(c);
      return c;
    },
  };
  test.before(async () => Object.assign(srv, await startServer(args)));
  test.after(() => srv.stop());
  test.beforeEach(() => srv.post('/reset'));
  test.afterEach(async () => {
    await Promise.all(clients.splice(0).map((c) => (c.ws.readyState === 1 ? c.close() : null)));
  });
  return srv;
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// A plain HTTP request; the answer's body is kept as bytes and, when it parses, as JSON.
function request(port, method, p, body, headers = {}) {
  return new Promise((resolve, reject) => {
    const payload = body === undefined ? null : Buffer.isBuffer(body) ? body : Buffer.from(typeof body === 'string' ? body : JSON.stringify(body));
    const req = http.request({ host: '127.0.0.1', port, method, path: p, headers: payload ? { 'Content-Length': payload.length, ...headers } : headers }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('error', reject);
      res.on('end', () => {
        const bytes = Buffer.concat(chunks);
        let json;
        try {
          json = JSON.parse(bytes.toString('utf8'));
        } catch {
          json = undefined;
        }
        resolve({ status: res.statusCode, headers: res.headers, bytes, text: bytes.toString('utf8'), json });
      });
    });
    req.on('error', reject);
    if (payload) req.write(payload);
    req.end();
  });
}

module.exports = { startServer, sharedServer, request, sleep, waitReady, SERVER };
