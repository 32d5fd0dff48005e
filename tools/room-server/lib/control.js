'use strict';
// The control interface that tests, benchmarks and demos use to script the room: HTTP + JSON on its own port.
// Every answer is a JSON object with "ok"; errors come as {"ok":false,"error":...} with a 4xx or 5xx status.
const http = require('http');

const num = (v, d) => (v === undefined || v === null || v === '' ? d : Number(v));

function createControl({ room, socket, journals, ports, shutdown, trust }) {
  const waitOpts = (q) => ({ min: num(q.min, 1), waitMs: num(q.wait, 0) });
  const since = (q) => num(q.since, 0);

  const routes = {
    'GET /ports': () => ({ ok: true, ...ports() }),
    'GET /health': () => ({ ok: true, uptimeMs: Math.round(process.uptime() * 1000), ...process.memoryUsage() }),

    'POST /reset': () => {
      room.reset();
      socket.reset();
      for (const j of Object.values(journals)) {
        j.clear();
        j.enabled = true;
        j.skip = null;
      }
      return { ok: true };
    },

    // What a long run keeps: requests of the routes in skipRoutes are answered but not recorded, frames: false
    // records no WebSocket frame; clear forgets the records so far (machines, answers and faults stay).
    'POST /records': (b) => {
      if (b.skipRoutes !== undefined) {
        if (!Array.isArray(b.skipRoutes)) throw Object.assign(new Error('skipRoutes must be an array of route names'), { status: 400 });
        const skip = new Set(b.skipRoutes);
        journals.requests.skip = skip.size ? (r) => skip.has(r.route) : null;
      }
      if (b.frames !== undefined) journals.frames.enabled = b.frames !== false;
      if (b.clear) for (const j of Object.values(journals)) j.clear();
      return { ok: true, frames: journals.frames.enabled };
    },

    'POST /answer': async (b) => {
      const result = room.setAnswer(b);
      if (b.bytes !== undefined) result.md5 = await room.downloads[result.route].source.md5();
      return { ok: true, ...result };
    },

    'POST /fault': (b) => ({ ok: true, ...room.setFault(b) }),

    'POST /tls/start': async () => ({ ok: true, ...(await trust.start()) }),
    'POST /tls/certificate': (b) => ({ ok: true, ...trust.present(b.from) }),
    'POST /tls/installer': (b) => {
      if (typeof b.file !== 'string' && typeof b.bytes?.base64 !== 'string') {
        throw Object.assign(new Error('file (a path) or bytes {base64}: the program to sign'), { status: 400 });
      }
      return { ok: true, ...trust.installer(b, ['publisher', 'other', 'none'].includes(b.signer) ? b.signer : 'publisher') };
    },

    // all: true edits every registered machine in the same moment (a room told to start at once).
    'POST /machine': (b) => {
      if (b.all) {
        const keys = room.machineList().map((m) => m.ecpKey);
        for (const ecpKey of keys) room.editMachine({ ...b, ecpKey });
        return { ok: true, count: keys.length };
      }
      const m = room.editMachine(b);
      return { ok: true, machine: m };
    },
    'GET /machines': () => ({ ok: true, machines: room.machineList() }),

    'GET /requests': async (_b, q) => {
      const s = since(q);
      const match = (r) => r.seq > s
        && (q.path === undefined || r.path === q.path)
        && (q.route === undefined || r.route === q.route)
        && (q.key === undefined || r.key === q.key)
        && (q.method === undefined || r.method === q.method);
      return { ok: true, requests: await journals.requests.query(match, waitOpts(q)) };
    },

    'GET /connections': async (_b, q) => {
      const s = since(q);
      const match = (c) => c.seq > s
        && (q.open === undefined || (q.open !== '0') === (c.closedAt === null && !c.rejected))
        && (q.ecpKey === undefined || c.queryParams?.some(([k, v]) => k === 'ecpKey' && v === q.ecpKey));
      return { ok: true, connections: await journals.connections.query(match, waitOpts(q)) };
    },

    'GET /events': async (_b, q) => {
      const s = since(q);
      const match = (e) => e.seq > s
        && (q.event === undefined || e.event === q.event)
        && (q.kind === undefined || e.kind === q.kind)
        && (q.dir === undefined || e.dir === q.dir)
        && (q.nsp === undefined || e.nsp === q.nsp)
        && (q.conn === undefined || e.conn === q.conn)
        && (q.socket === undefined || e.socket === q.socket);
      return { ok: true, events: await journals.events.query(match, waitOpts(q)) };
    },

    'GET /frames': async (_b, q) => {
      const s = since(q);
      const match = (f) => f.seq > s
        && (q.conn === undefined || f.conn === q.conn)
        && (q.dir === undefined || f.dir === q.dir)
        && (q.type === undefined || f.type === q.type)
        && (q.prefix === undefined || (f.type === 'text' && f.text.startsWith(q.prefix)));
      return { ok: true, frames: await journals.frames.query(match, waitOpts(q)) };
    },

    'GET /sockets': () => ({ ok: true, sockets: socket.sockets() }),

    'POST /emit': (b) => socket.emitEvent(b),
    'POST /reply': (b) => socket.setReply(b),
    'POST /disconnect': (b) => socket.disconnect(b),

    'POST /socket/stop': async (b) => {
      await socket.stop({ drop: !!b.drop, acceptAndClose: !!b.acceptAndClose });
      return { ok: true, running: false, port: socket.port };
    },
    'POST /socket/start': async () => {
      const port = await socket.start();
      return { ok: true, running: true, port };
    },
    'POST /socket/timers': (b) => socket.setTimers(b),
    'POST /socket/kick-on-join': (b) => socket.kickOnJoin(b),
    'POST /socket/large-frame': (b) => socket.sendLargeFrame(b),
    'POST /socket/pause-pings': (b, q) => socket.pausePings(num(q.ms ?? b.ms, 0)),

    'POST /shutdown': () => {
      setTimeout(shutdown, 50);
      return { ok: true };
    },
  };

  const server = http.createServer(async (req, res) => {
    const send = (status, obj) => {
      const body = Buffer.from(JSON.stringify(obj));
      res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': body.length });
      res.end(body);
    };
    try {
      const u = new URL(req.url, 'http://control');
      const handler = routes[`${req.method} ${u.pathname}`];
      const chunks = [];
      for await (const c of req) chunks.push(c);
      if (!handler) return send(404, { ok: false, error: `no control route ${req.method} ${u.pathname}` });
      const text = Buffer.concat(chunks).toString('utf8');
      let body = {};
      if (text.trim() !== '') {
        try {
          body = JSON.parse(text);
        } catch (err) {
          return send(400, { ok: false, error: `body is not JSON: ${err.message}` });
        }
      }
      if (!body || typeof body !== 'object' || Array.isArray(body)) return send(400, { ok: false, error: 'body must be a JSON object' });
      const result = await handler(body, Object.fromEntries(u.searchParams));
      send(200, result);
    } catch (err) {
      send(err.status || 500, { ok: false, error: err.message });
    }
  });
  return server;
}

module.exports = { createControl };
