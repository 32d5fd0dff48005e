'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const net = require('net');
const { spawn } = require('child_process');
const { startServer, sleep, waitReady, SERVER } = require('../testkit/harness');

// Gone means no such process, or a zombie nobody has reaped yet.
function alive(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2)[0] !== 'Z';
  } catch {
    return false;
  }
}

async function waitGone(pid, ms) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (!alive(pid)) return true;
    await sleep(100);
  }
  return false;
}

test('prints exactly one ready line with the three ports, each accepting connections', async () => {
  const proc = spawn(process.execPath, [SERVER], { stdio: ['pipe', 'pipe', 'pipe'] });
  let out = '';
  proc.stdout.on('data', (d) => (out += d));
  const ports = await waitReady(proc);
  assert.match(ports.line, /^room-server ready http=\d+ socket=\d+ control=\d+$/);
  assert.equal(new Set([ports.http, ports.socket, ports.control]).size, 3);
  for (const port of [ports.http, ports.socket, ports.control]) {
    await new Promise((resolve, reject) => net.connect(port, '127.0.0.1', resolve).on('error', reject).unref());
  }
  await sleep(300);
  assert.equal(out, `${ports.line}\n`, 'nothing else on stdout');
  proc.kill('SIGTERM');
  await new Promise((r) => proc.once('exit', r));
});

test('fixed ports are taken as given', async () => {
  const free = await new Promise((resolve) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
  const srv = await startServer(['--http-port', String(free)]);
  assert.equal(srv.ports.http, free);
  await srv.stop();
});

test('exits when its parent process dies', async () => {
  // A parent that starts the server with stdin not a pipe, prints the server's pid, then waits to be killed.
  const parentScript = `
    const { spawn } = require('child_process');
    const child = spawn(process.execPath, [${JSON.stringify(SERVER)}], { stdio: ['ignore', 'pipe', 'ignore'] });
    child.stdout.once('data', () => console.log(child.pid));
    setInterval(() => {}, 1000);
  `;
  const parent = spawn(process.execPath, ['-e', parentScript], { stdio: ['ignore', 'pipe', 'inherit'] });
  const pid = await new Promise((resolve) => parent.stdout.once('data', (d) => resolve(Number(String(d).trim()))));
  assert.ok(alive(pid));
  await sleep(700);
  assert.ok(alive(pid), 'runs while the parent lives');
  parent.kill('SIGKILL');
  assert.ok(await waitGone(pid, 5000), 'server gone after its parent');
});

test('exits when its piped stdin ends', async () => {
  const srv = await startServer();
  srv.proc.stdin.end();
  const { code } = await srv.exited;
  assert.equal(code, 0);
});

test('exits on SIGTERM and SIGINT', async () => {
  for (const sig of ['SIGTERM', 'SIGINT']) {
    const srv = await startServer();
    srv.proc.kill(sig);
    const { code } = await srv.exited;
    assert.equal(code, 0, sig);
  }
});

test('exits on POST /shutdown', async () => {
  const srv = await startServer();
  assert.deepEqual(await srv.post('/shutdown'), { ok: true });
  assert.equal((await srv.exited).code, 0);
});

test('bad options and a taken port fail with a message', async () => {
  const bad = spawn(process.execPath, [SERVER, '--http-port', 'abc'], { stdio: ['ignore', 'pipe', 'pipe'] });
  let err = '';
  bad.stderr.on('data', (d) => (err += d));
  assert.equal(await new Promise((r) => bad.once('exit', r)), 2);
  assert.match(err, /--http-port needs a whole number/);

  const holder = net.createServer().listen(0, '127.0.0.1');
  await new Promise((r) => holder.once('listening', r));
  const taken = spawn(process.execPath, [SERVER, '--control-port', String(holder.address().port)], { stdio: ['ignore', 'pipe', 'pipe'] });
  let err2 = '';
  taken.stderr.on('data', (d) => (err2 += d));
  assert.equal(await new Promise((r) => taken.once('exit', r)), 1);
  assert.match(err2, /EADDRINUSE/);
  holder.close();
});
