'use strict';
// The exam server's Socket.IO endpoint: joins each socket to the room named by its "room" query value, answers
// the client's acknowledgement requests, and records connections, packets and the raw WebSocket frames in both
// directions. It can be stopped and started again on the same port, and its pings can be held back.
const http = require('http');
const net = require('net');
const path = require('path');
const EventEmitter = require('events');
const { Server } = require('socket.io');
const { attachHeadTap, takeHead } = require('./head-tap');
const { rawPairs } = require('./exam-http');
const { toJsonBin, fromJsonBin } = require('./journal');

// The packet decoder that socket.io itself uses, taken from socket.io's own dependencies.
const { Decoder } = require(require.resolve('socket.io-parser', { paths: [path.dirname(require.resolve('socket.io'))] }));

const PACKET_KINDS = ['connect', 'disconnect', 'event', 'ack', 'connect_error', 'event', 'ack'];
const first = (v) => (Array.isArray(v) ? v[0] : v);
const httpError = (status, message) => Object.assign(new Error(message), { status });

// Opcode and payload of one outgoing frame as ws hands it to the socket: [header, payload] or [header] alone
// (an empty payload, or a pre-encoded room broadcast that ws merged). The payload may still be a string.
function unframe(list) {
  const header = list[0];
  const opcode = header[0] & 0x0f;
  if (list.length > 1) return { opcode, payload: list[1] };
  let len = header[1] & 0x7f;
  let off = 2;
  if (len === 126) {
    len = header.readUInt16BE(2);
    off = 4;
  } else if (len === 127) {
    len = Number(header.readBigUInt64BE(2));
    off = 10;
  }
  return { opcode, payload: header.subarray(off, off + len) };
}

class SocketEndpoint extends EventEmitter {
  constructor({ host, port = 0, pingInterval, pingTimeout, connectTimeout, maxPayload, journals }) {
    super();
    this.host = host;
    this.port = port;
    this.options = {
      serveClient: false,
      transports: ['websocket'],
      pingInterval,
      pingTimeout,
      connectTimeout,
      maxHttpBufferSize: maxPayload,
    };
    for (const k of Object.keys(this.options)) if (this.options[k] === undefined) delete this.options[k];
    this.journals = journals;
    this.replies = new Map();
    this.sids = new Map(); // "conn|nsp" -> socket id
    this.connRecords = new Map();
    this.pausedUntil = 0;
    this.kickNsps = new Set(); // namespaces that the server ends as soon as a socket has joined them
    this.running = false;
  }

  async start() {
    if (this.running) return this.port;
    await this.stopAccepting();
    const server = http.createServer((req, res) => {
      res.writeHead(404, { 'Content-Type': 'text/plain' });
      res.end('not found');
    });
    attachHeadTap(server, { oneRequest: true });
    this.rawSockets = new Set();
    server.on('connection', (s) => {
      this.rawSockets.add(s);
      s.on('close', () => this.rawSockets.delete(s));
    });
    const io = new Server(server, this.options);
    this.tapEngine(io.engine);
    const onConnection = (socket) => this.onSocket(socket);
    io.on('connection', onConnection);
    io.of('/admin').on('connection', onConnection);
    for (let attempt = 0; ; attempt++) {
      try {
        await new Promise((resolve, reject) => {
          server.once('error', reject);
          server.listen(this.port, this.host, () => {
            server.removeListener('error', reject);
            resolve();
          });
        });
        break;
      } catch (err) {
        if (err.code !== 'EADDRINUSE' || attempt >= 50) throw err;
        await new Promise((r) => setTimeout(r, 100));
      }
    }
    this.port = server.address().port;
    this.server = server;
    this.io = io;
    this.running = true;
    return this.port;
  }

  // Closes every connection (close frames, or a plain TCP drop) and the listening port.
  // acceptAndClose: the port then takes every TCP connection and closes it at once, as a broken server behind
  // a live port does; each is recorded as a refused connection ("closed at accept").
  async stop({ drop = false, acceptAndClose = false } = {}) {
    await this.stopInner(drop);
    if (acceptAndClose && !this.acceptor) {
      const acceptor = net.createServer((s) => {
        this.journals.connections.add({ conn: null, rejected: true, code: 'closed at accept', url: null, query: null });
        s.destroy();
      });
      await new Promise((resolve, reject) => {
        acceptor.once('error', reject);
        acceptor.listen(this.port, this.host, resolve);
      });
      this.acceptor = acceptor;
    }
  }

  async stopAccepting() {
    const { acceptor } = this;
    if (!acceptor) return;
    this.acceptor = null;
    await new Promise((r) => acceptor.close(r));
  }

  async stopInner(drop) {
    if (!this.running) return;
    this.running = false;
    const { io, server, rawSockets } = this;
    if (drop) for (const s of rawSockets) s.destroy();
    const closed = new Promise((r) => server.once('close', r));
    await io.close();
    await new Promise((r) => setTimeout(r, drop ? 0 : 300));
    for (const s of rawSockets) s.destroy();
    await Promise.race([closed, new Promise((r) => setTimeout(r, 2000))]);
    this.io = null;
    this.server = null;
  }

  tapEngine(engine) {
    const original = engine.onWebSocket;
    engine.onWebSocket = (req, socket, websocket) => {
      this.tapWebSocket(websocket);
      return original.call(engine, req, socket, websocket);
    };
    engine.on('connection', (eio) => this.onEngineConnection(eio));
    engine.on('connection_error', (e) => {
      const req = e.req;
      const q = req.url.indexOf('?');
      this.journals.connections.add({
        conn: null,
        rejected: true,
        code: e.code,
        message: e.message,
        url: req.url,
        query: q < 0 ? null : req.url.slice(q + 1),
        headerLines: (takeHead(req.socket) || {}).headerLines || null,
      });
    });
  }

  tapWebSocket(ws) {
    // wireType: the packet type digit of the text frame that began the packet now being decoded; socket.io's
    // decoder reports binary events and acks as plain ones.
    const tap = { conn: null, wireType: {} };
    const frames = this.journals.frames;
    const decoders = {};
    const decoderFor = (dir) => {
      if (!decoders[dir]) {
        const d = new Decoder();
        d.on('decoded', (packet) => this.recordPacket(tap.conn, dir, packet, tap.wireType[dir]));
        decoders[dir] = d;
      }
      return decoders[dir];
    };
    const feed = (dir, data) => {
      try {
        if (typeof data === 'string') {
          if (data[0] !== '4') return;
          tap.wireType[dir] = Number(data[1]);
          decoderFor(dir).add(data.slice(1));
        } else {
          decoderFor(dir).add(data);
        }
      } catch (err) {
        decoders[dir] = null;
        this.journals.events.add({ conn: tap.conn, dir, kind: 'parse_error', error: err.message });
      }
    };
    const record = (dir, data) => {
      if (dir === 'out' && tap.conn === null && typeof data === 'string' && data[0] === '0') {
        try {
          tap.conn = JSON.parse(data.slice(1)).sid;
        } catch {
          /* not an open packet */
        }
      }
      const f = { conn: tap.conn, dir };
      if (typeof data === 'string') Object.assign(f, { type: 'text', text: data });
      else Object.assign(f, { type: 'binary', base64: data.toString('base64'), size: data.length });
      frames.add(f);
      feed(dir, data);
    };
    ws.on('message', (data, isBinary) => {
      const buf = Array.isArray(data) ? Buffer.concat(data) : Buffer.from(data);
      record('in', isBinary ? buf : buf.toString('utf8'));
    });
    // Every frame ws writes passes through its sender's sendFrame, pre-encoded room broadcasts included, so
    // this sees exactly what goes over the wire and in that order.
    const sender = ws._sender;
    const sendFrame = sender.sendFrame;
    sender.sendFrame = function tappedSendFrame(list, cb) {
      const { opcode, payload } = unframe(list);
      const bytes = typeof payload === 'string' ? Buffer.from(payload) : Buffer.from(payload);
      if (opcode === 1) record('out', bytes.toString('utf8'));
      else if (opcode === 2) record('out', bytes);
      else if (opcode === 8) {
        frames.add({
          conn: tap.conn,
          dir: 'out',
          type: 'close',
          code: bytes.length >= 2 ? bytes.readUInt16BE(0) : null,
          reason: bytes.length > 2 ? bytes.subarray(2).toString('utf8') : '',
        });
      }
      return sendFrame.call(this, list, cb);
    };
    // The code is the one the peer's close frame carried: 1005 for a frame without one, 1006 for no frame.
    ws.on('close', (code, reason) => {
      frames.add({ conn: tap.conn, dir: 'in', type: 'closed', code, reason: reason.toString() });
    });
  }

  recordPacket(conn, dir, packet, wireType) {
    const type = wireType === 5 || wireType === 6 ? wireType : packet.type;
    const kind = PACKET_KINDS[type];
    const nsp = packet.nsp || '/';
    const rec = { conn, dir, kind, type, nsp, socket: this.sids.get(`${conn}|${nsp}`) || null, id: packet.id ?? null };
    rec.binary = type === 5 || type === 6;
    const data = packet.data;
    if (kind === 'event' && Array.isArray(data)) {
      rec.event = data[0];
      rec.args = toJsonBin(data.slice(1));
    } else if (kind === 'ack') {
      rec.args = toJsonBin(Array.isArray(data) ? data : [data]);
    } else if (data !== undefined) {
      rec.data = toJsonBin(data);
    }
    if (kind === 'connect' && dir === 'out' && data && data.sid) {
      this.sids.set(`${conn}|${nsp}`, data.sid);
      rec.socket = data.sid;
    }
    this.journals.events.add(rec);
  }

  onEngineConnection(eio) {
    const req = eio.request;
    const head = takeHead(req.socket);
    const q = req.url.indexOf('?');
    const query = q < 0 ? null : req.url.slice(q + 1);
    const raw = req.rawHeaders || [];
    const rec = {
      conn: eio.id,
      url: req.url,
      path: q < 0 ? req.url : req.url.slice(0, q),
      query,
      queryParams: rawPairs(query),
      requestLine: head ? head.requestLine : null,
      headerLines: head ? head.headerLines : null,
      rawHeaders: raw.reduce((out, v, i) => (i % 2 ? out : [...out, [v, raw[i + 1]]]), []),
      remote: { address: req.socket.remoteAddress, port: req.socket.remotePort },
      protocol: eio.protocol,
      transport: eio.transport.name,
      openedAt: Date.now(),
      closedAt: null,
      closeReason: null,
      sockets: [],
    };
    this.connRecords.set(eio.id, rec);
    this.journals.connections.add(rec);
    eio.once('close', (reason, description) => {
      rec.closedAt = Date.now();
      rec.closeReason = reason;
      if (description && description.message) rec.closeDescription = description.message;
      this.connRecords.delete(eio.id);
      this.journals.connections.changed();
      this.journals.events.add({ conn: eio.id, dir: 'local', kind: 'transport_close', reason });
    });
    if (this.pausedUntil > Date.now()) this.silence(eio);
  }

  onSocket(socket) {
    const q = socket.handshake.query;
    const room = first(q.room);
    if (typeof room === 'string') socket.join(room);
    const key = first(q.ecpKey);
    if (typeof key === 'string' && key !== '') socket.join(`key:${key}`);
    const conn = socket.conn.id;
    this.sids.set(`${conn}|${socket.nsp.name}`, socket.id);
    const srec = {
      id: socket.id,
      nsp: socket.nsp.name,
      rooms: [...socket.rooms],
      query: { ...q },
      auth: socket.handshake.auth,
      connectedAt: Date.now(),
      disconnectedAt: null,
      reason: null,
    };
    const crec = this.connRecords.get(conn);
    if (crec) {
      crec.sockets.push(srec);
      this.journals.connections.changed();
    }
    socket.onAny((event, ...args) => {
      const ack = typeof args[args.length - 1] === 'function' ? args.pop() : null;
      this.emit('event', socket, event, args);
      if (!ack) return;
      // Without a reply set for the event, the client's arguments come back as the acknowledgement.
      const reply = this.replies.get(event);
      if (reply && reply.none) return;
      const answer = reply && reply.args ? fromJsonBin(reply.args) : args;
      if (reply && reply.delayMs) setTimeout(() => ack(...answer), reply.delayMs);
      else ack(...answer);
    });
    if (this.kickNsps.has(socket.nsp.name)) setImmediate(() => socket.connected && socket.disconnect(false));
    socket.on('disconnect', (reason) => {
      srec.disconnectedAt = Date.now();
      srec.reason = reason;
      this.sids.delete(`${conn}|${socket.nsp.name}`);
      this.journals.connections.changed();
      this.journals.events.add({ conn, socket: socket.id, nsp: socket.nsp.name, dir: 'local', kind: 'socket_disconnect', reason });
      this.emit('socket-disconnect', socket, reason);
    });
    this.emit('socket', socket);
  }

  // ---- control operations ----
  namespace(nsp = '/') {
    if (!this.running) throw httpError(409, 'the Socket.IO endpoint is stopped');
    const ns = this.io._nsps.get(nsp);
    if (!ns) throw httpError(404, `no namespace ${nsp}`);
    return ns;
  }

  targets({ socket, ecpKey, room, all, nsp = '/' }) {
    const ns = this.namespace(nsp);
    if (socket !== undefined) {
      const s = ns.sockets.get(socket);
      if (!s) throw httpError(404, `no socket ${socket} in ${nsp}`);
      return { ns, sockets: [s], single: true };
    }
    let name = room;
    if (ecpKey !== undefined) name = `key:${ecpKey}`;
    if (name !== undefined) {
      const ids = ns.adapter.rooms.get(name) || new Set();
      return { ns, sockets: [...ids].map((id) => ns.sockets.get(id)).filter(Boolean), room: name, single: ecpKey !== undefined };
    }
    if (all) return { ns, sockets: [...ns.sockets.values()] };
    throw httpError(400, 'name a socket, an ecpKey, a room or all');
  }

  async emitEvent(req) {
    const { event } = req;
    if (typeof event !== 'string') throw httpError(400, 'event must be a text');
    const args = fromJsonBin(req.args === undefined ? [] : req.args);
    if (!Array.isArray(args)) throw httpError(400, 'args must be an array');
    const { ns, sockets, room, single } = this.targets(req);
    const ids = sockets.map((s) => s.id);
    try {
      if (!req.ack) {
        if (single && sockets.length === 1) sockets[0].emit(event, ...args);
        else if (room !== undefined) ns.to(room).emit(event, ...args);
        else ns.emit(event, ...args);
        return { ok: true, sent: ids.length, sockets: ids };
      }
      if (req.repeat) return await this.emitRepeated(sockets, event, args, req);
      const timeoutMs = Number(req.timeoutMs ?? 5000);
      const acks = await Promise.all(sockets.map((s) => new Promise((resolve) => {
        s.timeout(timeoutMs).emit(event, ...args, (err, ...ackArgs) => {
          resolve(err ? { socket: s.id, ok: false, error: 'timeout' } : { socket: s.id, ok: true, args: toJsonBin(ackArgs) });
        });
      })));
      const out = { ok: acks.length > 0 && acks.every((a) => a.ok), sent: ids.length, sockets: ids, acks };
      if (acks.length === 0) out.error = 'no socket to emit to';
      else if (!out.ok) out.error = 'timeout';
      if (acks.length === 1 && acks[0].ok) out.ack = acks[0].args;
      return out;
    } catch (err) {
      if (err.status) throw err;
      throw httpError(400, err.message); // socket.io refuses reserved event names
    }
  }

  // Emits one event after the other, each waiting for its acknowledgement, and reports the round trips.
  async emitRepeated(sockets, event, args, req) {
    if (sockets.length !== 1) throw httpError(400, 'repeat needs exactly one target socket');
    const s = sockets[0];
    const count = Math.min(Number(req.repeat), 1000000);
    const timeoutMs = Number(req.timeoutMs ?? 5000);
    const keep = req.record !== false;
    const { frames, events } = this.journals;
    frames.enabled = events.enabled = keep;
    const times = [];
    let failures = 0;
    try {
      for (let i = 0; i < count; i++) {
        const t0 = process.hrtime.bigint();
        const ok = await new Promise((resolve) => s.timeout(timeoutMs).emit(event, ...args, (err) => resolve(!err)));
        if (!ok) {
          failures++;
          if (!s.connected) break;
          continue;
        }
        times.push(Number(process.hrtime.bigint() - t0) / 1000);
      }
    } finally {
      frames.enabled = events.enabled = true;
    }
    times.sort((a, b) => a - b);
    const at = (p) => (times.length ? times[Math.min(times.length - 1, Math.floor((p / 100) * times.length))] : null);
    const mean = times.length ? times.reduce((a, b) => a + b, 0) / times.length : null;
    return {
      ok: failures === 0,
      count: times.length,
      failures,
      latencyUs: { p50: at(50), p90: at(90), p99: at(99), max: times[times.length - 1] ?? null, mean },
    };
  }

  disconnect(req) {
    const spaces = req.nsp === '*' ? [...this.io._nsps.keys()] : [req.nsp || '/'];
    const ids = [];
    for (const nsp of spaces) {
      for (const s of this.targets({ ...req, nsp }).sockets) {
        ids.push(s.id);
        if (req.drop) {
          const ws = s.conn.transport && s.conn.transport.socket;
          if (ws && ws._socket) ws._socket.destroy();
        } else {
          s.disconnect(!!req.close);
        }
      }
    }
    return { ok: true, count: ids.length, sockets: ids };
  }

  // A server that ends the namespace on every join: each socket gets its CONNECT and then at once a DISCONNECT.
  kickOnJoin({ nsp = '/', on = true }) {
    if (typeof nsp !== 'string' || !nsp.startsWith('/')) throw httpError(400, 'nsp must be a namespace name');
    if (on) this.kickNsps.add(nsp);
    else this.kickNsps.delete(nsp);
    return { ok: true, kick: [...this.kickNsps] };
  }

  // One text frame of about `size` bytes straight onto each target's WebSocket: a "broadcast" event whose
  // argument is an array of small numbers, the costliest shape for a client that builds every value.
  sendLargeFrame(req) {
    const size = Number(req.size);
    if (!Number.isInteger(size) || size < 16 || size > 256 * 1024 * 1024) throw httpError(400, 'size must be 16 bytes to 256 MB');
    const head = '42["broadcast",[';
    const count = Math.max(1, Math.floor((size - head.length - 2) / 2));
    const text = `${head}${'1,'.repeat(count - 1)}1]]`;
    const { sockets } = this.targets(req);
    for (const s of sockets) {
      const ws = s.conn.transport && s.conn.transport.socket;
      if (ws) ws.send(text);
    }
    return { ok: true, sent: sockets.length, bytes: text.length };
  }

  setReply({ event, args, none, delayMs, clear }) {
    if (typeof event !== 'string') throw httpError(400, 'event must be a text');
    if (clear) this.replies.delete(event);
    else this.replies.set(event, { args, none: !!none, delayMs: Number(delayMs || 0) });
    return { ok: true };
  }

  silence(eio) {
    clearTimeout(eio.pingIntervalTimer);
    clearTimeout(eio.pingTimeoutTimer);
    eio.pingTimeoutTimer = null;
  }

  // Holds back the server's pings for ms (0 resumes at once); the server does not time clients out meanwhile.
  pausePings(ms) {
    clearTimeout(this.resumeTimer);
    if (!this.running) throw httpError(409, 'the Socket.IO endpoint is stopped');
    if (!(ms > 0)) return this.resumePings();
    this.pausedUntil = Date.now() + ms;
    for (const eio of Object.values(this.io.engine.clients)) this.silence(eio);
    this.resumeTimer = setTimeout(() => this.resumePings(), ms);
    return { ok: true, pausedMs: ms };
  }

  resumePings() {
    this.pausedUntil = 0;
    if (this.running) {
      for (const eio of Object.values(this.io.engine.clients)) {
        if (eio.readyState !== 'open') continue;
        this.silence(eio);
        eio.schedulePing();
      }
    }
    return { ok: true, pausedMs: 0 };
  }

  // Changes the heartbeat timers for the handshakes and pings that follow (tests shorten them); the values
  // given at start come back with reset.
  setTimers({ pingInterval, pingTimeout }) {
    if (this.startTimers === undefined) this.startTimers = { pingInterval: this.options.pingInterval, pingTimeout: this.options.pingTimeout };
    const set = (name, v) => {
      if (v === undefined) return;
      if (v !== null && !(Number.isInteger(v) && v > 0)) throw httpError(400, `${name} must be a positive whole number`);
      if (v === null) delete this.options[name];
      else this.options[name] = v;
      if (this.io) {
        if (v === null) this.io.engine.opts[name] = name === 'pingInterval' ? 25000 : 20000;
        else this.io.engine.opts[name] = v;
      }
    };
    set('pingInterval', pingInterval);
    set('pingTimeout', pingTimeout);
    const opts = this.io ? this.io.engine.opts : this.options;
    return { ok: true, pingInterval: opts.pingInterval, pingTimeout: opts.pingTimeout };
  }

  reset() {
    this.replies.clear();
    this.kickNsps.clear();
    clearTimeout(this.resumeTimer);
    if (this.pausedUntil) this.resumePings();
    if (this.startTimers !== undefined) {
      const { pingInterval = null, pingTimeout = null } = this.startTimers;
      this.setTimers({ pingInterval, pingTimeout });
    }
  }

  sockets() {
    if (!this.running) return [];
    const out = [];
    for (const [name, ns] of this.io._nsps) {
      for (const s of ns.sockets.values()) out.push({ id: s.id, nsp: name, conn: s.conn.id, rooms: [...s.rooms] });
    }
    return out;
  }
}

module.exports = { SocketEndpoint };
