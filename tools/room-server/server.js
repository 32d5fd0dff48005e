#!/usr/bin/env node
'use strict';
// room-server: the exam-server peer that TavrelAgent's tests, benchmarks and demo talk to. Prints one line,
// "room-server ready http=<port> socket=<port> control=<port>", and runs until it is told to stop, its parent
// goes away, its piped stdin ends, or it gets SIGTERM/SIGINT.
const fs = require('fs');
const path = require('path');
const { parseArgs } = require('util');
const { Journal } = require('./lib/journal');
const { Room } = require('./lib/room');
const { createExamHttp } = require('./lib/exam-http');
const { Egress } = require('./lib/egress');
const { SocketEndpoint } = require('./lib/socket-endpoint');
const { createControl } = require('./lib/control');
const { startDemo } = require('./lib/demo');
const { Trust } = require('./lib/trust');

const USAGE = `usage: node server.js [--http-port N] [--socket-port N] [--control-port N] [--host 127.0.0.1]
       [--ping-interval ms] [--ping-timeout ms] [--connect-timeout ms] [--max-payload bytes]
       [--room R101] [--demo] [--demo-start-ms ms] [--demo-ping-ms ms] [--demo-broadcast-ms ms]
       [--demo-installer Tavrel_Setup.exe]
       [--tls-dir DIR] [--tls] [--egress-limit bytes/s] [--verbose]
  --tls opens TLS ports for both interfaces at start (POST /tls/start does it later); --tls-dir keeps the
  test CA, certificates and signed installers there (default: a temporary folder)
  --egress-limit caps the bytes per second of all download bodies together (the server's link; 0: none)`;

function options(argv) {
  const { values } = parseArgs({
    args: argv,
    options: {
      'http-port': { type: 'string', default: '0' },
      'socket-port': { type: 'string', default: '0' },
      'control-port': { type: 'string', default: '0' },
      host: { type: 'string', default: '127.0.0.1' },
      'ping-interval': { type: 'string' },
      'ping-timeout': { type: 'string' },
      'connect-timeout': { type: 'string' },
      'max-payload': { type: 'string' }, // socket.io's own default (1e6 bytes) unless given
      room: { type: 'string', default: 'R101' },
      demo: { type: 'boolean', default: false },
      'demo-start-ms': { type: 'string', default: '8000' },
      'demo-ping-ms': { type: 'string', default: '5000' },
      'demo-broadcast-ms': { type: 'string', default: '20000' },
      'demo-installer': { type: 'string', default: path.join(__dirname, '..', '..', 'build', 'windows', 'Tavrel_Setup.exe') },
      verbose: { type: 'boolean', default: false },
      tls: { type: 'boolean', default: false },
      'tls-dir': { type: 'string' },
      'egress-limit': { type: 'string', default: '0' },
      help: { type: 'boolean', default: false },
    },
  });
  const int = (name) => {
    if (values[name] === undefined) return undefined;
    const n = Number(values[name]);
    if (!Number.isInteger(n) || n < 0) throw new Error(`--${name} needs a whole number, not ${values[name]}`);
    return n;
  };
  return {
    help: values.help,
    host: values.host,
    httpPort: int('http-port'),
    socketPort: int('socket-port'),
    controlPort: int('control-port'),
    pingInterval: int('ping-interval'),
    pingTimeout: int('ping-timeout'),
    connectTimeout: int('connect-timeout'),
    maxPayload: int('max-payload'),
    room: values.room,
    demo: values.demo,
    demoStartMs: int('demo-start-ms'),
    demoPingMs: int('demo-ping-ms'),
    demoBroadcastMs: int('demo-broadcast-ms'),
    demoInstaller: values['demo-installer'],
    verbose: values.verbose,
    tls: values.tls,
    tlsDir: values['tls-dir'],
    egressLimit: int('egress-limit'),
  };
}

function listen(server, port, host) {
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, host, () => {
      server.removeListener('error', reject);
      resolve(server.address().port);
    });
  });
}

async function main() {
  let opts;
  try {
    opts = options(process.argv.slice(2));
  } catch (err) {
    process.stderr.write(`${err.message}\n${USAGE}\n`);
    process.exit(2);
  }
  if (opts.help) {
    process.stdout.write(`${USAGE}\n`);
    return;
  }
  const journals = { requests: new Journal(), connections: new Journal(), events: new Journal(), frames: new Journal() };
  const room = new Room({ defaultRoom: opts.room });
  const egress = new Egress(opts.egressLimit);
  const exam = createExamHttp({ room, journal: journals.requests, egress });
  const socket = new SocketEndpoint({
    host: opts.host,
    port: opts.socketPort,
    pingInterval: opts.pingInterval,
    pingTimeout: opts.pingTimeout,
    connectTimeout: opts.connectTimeout,
    maxPayload: opts.maxPayload,
    journals,
  });
  const ports = { http: 0, socket: 0, control: 0 };
  const trust = new Trust({ host: opts.host, exam, socket, room, dir: opts.tlsDir });
  let demo = null;
  let stopping = false;
  const shutdown = (why) => {
    if (stopping) return;
    stopping = true;
    if (opts.verbose || opts.demo) process.stderr.write(`room-server stopping: ${why}\n`);
    if (demo) demo.stop();
    trust.close();
    // Nothing here needs a graceful end; leave at once so a test run never waits for us.
    process.exit(0);
  };
  const control = createControl({
    room,
    socket,
    journals,
    ports: () => ({ ...ports, socket: socket.port, socketRunning: socket.running, host: opts.host, ...(trust.servers ? trust.info() : trust.ports) }),
    trust,
    shutdown: () => shutdown('shutdown requested'),
  });

  ports.http = await listen(exam, opts.httpPort, opts.host);
  ports.socket = await socket.start();
  ports.control = await listen(control, opts.controlPort, opts.host);
  if (opts.tls) await trust.start();

  const write = (line) => process.stderr.write(line);
  if (opts.verbose) {
    room.on('request', (r) => write(`http ${r.method} ${r.url}\n`));
    socket.on('event', (s, event) => write(`socket ${s.id} ${event}\n`));
  }
  if (opts.demo) {
    room.defaultRoom = opts.room;
    demo = startDemo({
      room,
      socket,
      startDelayMs: opts.demoStartMs,
      pingEveryMs: opts.demoPingMs,
      broadcastEveryMs: opts.demoBroadcastMs,
      installerPath: opts.demoInstaller,
      write,
    });
    await demo.ready;
  }

  // Handlers first: whoever reads the ready line may signal us at once.
  for (const sig of ['SIGTERM', 'SIGINT', 'SIGHUP']) process.on(sig, () => shutdown(sig));
  fs.writeSync(1, `room-server ready http=${ports.http} socket=${ports.socket} control=${ports.control}\n`);

  // Never outlive the test run or script that started us.
  const parent = process.ppid;
  setInterval(() => {
    let gone = process.ppid !== parent;
    if (!gone) {
      try {
        process.kill(parent, 0);
      } catch (err) {
        gone = err.code === 'ESRCH';
      }
    }
    if (gone) shutdown('parent process gone');
  }, 500).unref();
  let stdin = null;
  try {
    stdin = fs.fstatSync(0);
  } catch {
    /* no stdin at all */
  }
  if (stdin && (stdin.isFIFO() || stdin.isSocket())) {
    process.stdin.on('end', () => shutdown('stdin closed'));
    process.stdin.on('error', () => shutdown('stdin failed'));
    process.stdin.resume();
  }
}

// A test peer that dies in the middle of a run takes every later test with it; report and go on instead.
let started = false;
process.stderr.on('error', () => {}); // a reader that went away must not become an error loop
process.on('uncaughtException', (err) => {
  process.stderr.write(`room-server internal error: ${err.stack || err}\n`);
  if (!started) process.exit(1);
});

main().then(() => {
  started = true;
}).catch((err) => {
  process.stderr.write(`room-server failed: ${err.stack || err}\n`);
  process.exit(1);
});
