'use strict';
// The exam server's HTTP/JSON interface: ten routes under /client and /monitor, each answered in the envelope
// {"code":1000,"data":...,"message":""}, with every request recorded exactly as it arrived.
const http = require('http');
const crypto = require('crypto');
const zlib = require('zlib');
const { pipeline, Readable } = require('stream');
const { ROUTES } = require('./room');
const { parseMultipart, boundaryOf } = require('./multipart');
const { attachHeadTap, takeHead, nextHead } = require('./head-tap');
const { sendThrottled, sendEndless, cutConnection } = require('./stream-faults');
const { Egress } = require('./egress');

const JSON_TYPE = 'application/json;charset=UTF-8';
const utf8 = new TextDecoder('utf-8', { fatal: true });
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function utf8Text(buf) {
  try {
    return utf8.decode(buf);
  } catch {
    return undefined;
  }
}

// The agent puts query values in unescaped, so they are split but not decoded.
function rawPairs(query) {
  if (query === null || query === '') return [];
  return query.split('&').map((p) => {
    const eq = p.indexOf('=');
    return eq < 0 ? [p, null] : [p.slice(0, eq), p.slice(eq + 1)];
  });
}

function pairList(raw) {
  const out = [];
  for (let i = 0; i < raw.length; i += 2) out.push([raw[i], raw[i + 1]]);
  return out;
}

// The machine key that selects per-machine answers and faults.
function machineKey(route, rec) {
  const str = (v) => (typeof v === 'string' ? v : null);
  switch (route) {
    case 'getStartupInfoAgent': {
      const p = rec.queryParams.find(([k]) => k === 'ecpKey');
      return p ? p[1] : null;
    }
    case 'registeTavrel':
    case 'modifyTavrel':
    case 'sendEcpState':
      return rec.json && typeof rec.json === 'object' ? str(rec.json.ecpKey) : null;
    case 'uploadTavrelLogs': {
      const part = (rec.parts || []).find((p) => p.name === 'ecpKey');
      return part ? part.text ?? null : null;
    }
    default:
      return null;
  }
}

// Members of the wrong JSON type for what the agent reads from "data".
const WRONG_DATA = {
  getVersionInfo: { version: '1.0.0.1' },
  getModuleMD5: ['0123456789abcdef0123456789abcdef'],
  registeTavrel: 'twelve',
  modifyTavrel: { text: '修改成功' },
  getStartupInfoAgent: {
    ecpId: 'twelve', phase: 'two', ecpRoomCode: { code: 'R101' }, isStartup: 'yes',
    isSuperLock: [0], tavrelType: { name: 'Tavrel.exe' }, examineeId: ['E1'], ecpPixel: { w: 1920 },
  },
};

function createExamHttp({ room, journal, egress = new Egress() }) {
  const server = http.createServer((req, res) => {
    handle(req, res).catch((err) => {
      if (!res.headersSent) sendBody(res, 500, JSON.stringify({ code: 500, data: null, message: String(err.message) }));
      else res.destroy();
    });
  });
  attachHeadTap(server);

  async function handle(req, res) {
    const head = takeHead(req.socket);
    const chunks = [];
    for await (const c of req) chunks.push(c);
    nextHead(req.socket);
    const body = Buffer.concat(chunks);
    const q = req.url.indexOf('?');
    let path = q < 0 ? req.url : req.url.slice(0, q);
    const query = q < 0 ? null : req.url.slice(q + 1);
    const redirected = path.startsWith('/redirected/');
    if (redirected) path = path.slice('/redirected'.length);
    const route = ROUTES[path] || null;

    const rec = {
      method: req.method,
      url: req.url,
      path,
      query,
      queryParams: rawPairs(query),
      httpVersion: req.httpVersion,
      requestLine: head ? head.requestLine : `${req.method} ${req.url} HTTP/${req.httpVersion}`,
      headerLines: head ? head.headerLines : pairList(req.rawHeaders).map(([k, v]) => `${k}: ${v}`),
      rawHeaders: pairList(req.rawHeaders),
      body: body.toString('base64'),
      bodySize: body.length,
      route,
      redirected,
      remote: { address: req.socket.remoteAddress, port: req.socket.remotePort },
    };
    const text = utf8Text(body);
    if (text !== undefined) rec.bodyText = text;
    const contentType = req.headers['content-type'] || '';
    if (/json/i.test(contentType) || (text !== undefined && /^\s*[{[]/.test(text))) {
      try {
        rec.json = JSON.parse(text);
      } catch (err) {
        rec.jsonError = err.message;
      }
    }
    const boundary = boundaryOf(contentType);
    if (boundary) {
      try {
        rec.parts = parseMultipart(body, boundary).parts.map((p) => {
          const part = {
            name: p.name,
            filename: p.filename,
            contentType: p.contentType,
            headerLines: p.headerLines,
            size: p.data.length,
            md5: crypto.createHash('md5').update(p.data).digest('hex'),
            data: p.data.toString('base64'),
          };
          const t = utf8Text(p.data);
          if (t !== undefined) part.text = t;
          return part;
        });
      } catch (err) {
        rec.multipartError = err.message;
      }
    }
    rec.key = machineKey(route, rec);
    rec.response = null;
    journal.add(rec);
    room.emit('request', rec);

    const reply = (status, payload, headers) => {
      rec.response = { status, size: payload.length, ...(rec.fault ? { fault: rec.fault } : {}) };
      sendBody(res, status, payload, headers);
    };

    if (!route) return reply(404, JSON.stringify({ code: 404, data: null, message: `no route ${path}` }));

    const fault = room.takeFault(route, rec.key);
    if (fault) {
      rec.fault = fault.kind;
      const wait = fault.kind === 'delay' ? Number(fault.ms ?? fault.delayMs ?? 0) : Number(fault.delayMs || 0);
      if (wait > 0) await sleep(wait);
      if (fault.kind !== 'delay') return applyFault(fault, req, res, rec, reply);
    }

    const download = room.downloads[route];
    const answer = room.answerFor(route, rec.key);
    if (answer && answer.raw !== undefined) {
      const raw = typeof answer.raw === 'string' ? answer.raw : JSON.stringify(answer.raw);
      return reply(200, raw, answer.contentType ? { 'Content-Type': answer.contentType } : undefined);
    }
    if (download) return sendDownload(req, res, rec, download);
    const envelope = answer
      ? { code: answer.code ?? 1000, data: 'data' in answer ? answer.data : null, message: answer.message ?? '' }
      : await defaultAnswer(route, rec);
    return reply(200, JSON.stringify(envelope));
  }

  async function defaultAnswer(route, rec) {
    const ok = (data) => ({ code: 1000, data, message: '' });
    const body = rec.json && typeof rec.json === 'object' ? rec.json : {};
    switch (route) {
      case 'getVersionInfo':
        return ok('');
      case 'getStartupInfoAgent': {
        const m = rec.key !== null ? room.machines.get(rec.key) : undefined;
        return m ? ok(m.startup) : { code: 9000, data: null, message: '考试机未注册' };
      }
      case 'registeTavrel':
        if (typeof body.ecpKey !== 'string' || body.ecpKey === '') {
          return { code: 1001, data: null, message: '缺少ecpKey' };
        }
        return ok(room.register(body).startup.ecpId);
      case 'getModuleMD5':
        return ok(await room.downloads.downloadModule.source.md5());
      case 'modifyTavrel':
        return room.modifyNumber(body);
      case 'sendEcpState': {
        const m = rec.key !== null ? room.machines.get(rec.key) : undefined;
        if (m) m.lastState = body;
        return ok(null);
      }
      case 'uploadRecoverAnswer':
      case 'uploadTavrelLogs':
        if (!rec.parts) return { code: 1001, data: null, message: '上传内容无法解析' };
        return ok(null);
      default:
        return ok(null);
    }
  }

  async function applyFault(fault, req, res, rec, reply) {
    switch (fault.kind) {
      case 'close':
        rec.response = { status: 0, fault: 'close' };
        req.socket.destroy();
        return;
      case 'status': {
        const status = Number(fault.status || 500);
        const headers = { ...(fault.headers || {}) };
        if (fault.location) headers.Location = fault.location;
        if (fault.contentType) headers['Content-Type'] = fault.contentType;
        const payload = fault.body !== undefined
          ? (typeof fault.body === 'string' ? fault.body : JSON.stringify(fault.body))
          : JSON.stringify({ code: status, data: null, message: http.STATUS_CODES[status] || 'error' });
        return reply(status, payload, headers);
      }
      case 'redirect': {
        const location = fault.location
          || `http://${req.headers.host}/redirected${rec.path}${rec.query !== null ? `?${rec.query}` : ''}`;
        return reply(Number(fault.status || 302), '', { Location: location });
      }
      case 'notjson':
        return reply(200, fault.body ?? '<html><body><h1>502 Bad Gateway</h1></body></html>', {
          'Content-Type': fault.contentType || 'text/html',
        });
      case 'wrongtype': {
        let data;
        if ('data' in fault) data = fault.data;
        else if (fault.members) {
          const normal = (await defaultAnswer(rec.route, rec)).data;
          data = { ...(normal && typeof normal === 'object' ? normal : {}), ...fault.members };
        } else data = WRONG_DATA[rec.route] ?? {};
        const envelope = { code: 'code' in fault ? fault.code : 1000, data, message: 'message' in fault ? fault.message : '' };
        return reply(200, JSON.stringify(envelope));
      }
      case 'cut': {
        const download = room.downloads[rec.route];
        if (download) return sendDownload(req, res, rec, download, fault);
        const full = Buffer.from(JSON.stringify(await defaultAnswer(rec.route, rec)));
        const n = Math.min(full.length, fault.bytes !== undefined ? Number(fault.bytes) : Math.floor(full.length / 2));
        rec.response = { status: 200, size: n, declared: full.length, fault: 'cut' };
        res.writeHead(200, { 'Content-Type': JSON_TYPE, 'Content-Length': full.length });
        res.write(full.subarray(0, n), () => cutConnection(res));
        return;
      }
      case 'throttle': {
        const download = room.downloads[rec.route];
        const answer = room.answerFor(rec.route, rec.key);
        const envelope = answer
          ? { code: answer.code ?? 1000, data: 'data' in answer ? answer.data : null, message: answer.message ?? '' }
          : await defaultAnswer(rec.route, rec);
        return sendThrottled(res, rec, fault, { download, envelope });
      }
      case 'endless':
        return sendEndless(res, rec, fault, { download: room.downloads[rec.route] });
      default:
        throw new Error(`fault ${fault.kind} not served`);
    }
  }

  // Every download body leaves through the server's one link (egress); unlimited, it is piped straight.
  function sendBytes(res, steps, rec) {
    if (!egress.rate) return pipeline(...steps, res, () => {});
    const body = steps.length > 1 ? pipeline(...steps, () => {}) : steps[0];
    egress.send(res, body, rec).catch(() => res.destroy());
  }

  function sendDownload(req, res, rec, { source, gzip, ranges = true }, cut) {
    const acceptsGzip = /\bgzip\b/i.test(req.headers['accept-encoding'] || '');
    const headers = { 'Content-Type': 'application/octet-stream' };
    // A range is served in the identity coding: its offsets are the file's own. With ranges off the server is
    // one that ignores Range and sends the whole body.
    const range = ranges && !cut ? parseRange(req.headers.range, source.size) : null;
    if (ranges) headers['Accept-Ranges'] = 'bytes';
    if (range && range.unsatisfiable) {
      rec.response = { status: 416, size: 0, range: req.headers.range };
      res.writeHead(416, { ...headers, 'Content-Range': `bytes */${source.size}`, 'Content-Length': 0 });
      res.end();
      return;
    }
    if (range) {
      const length = range.end - range.start + 1;
      rec.response = { status: 206, size: length, start: range.start, end: range.end };
      res.writeHead(206, {
        ...headers,
        'Content-Range': `bytes ${range.start}-${range.end}/${source.size}`,
        'Content-Length': length,
      });
      sendBytes(res, [Readable.from(skipBytes(source.stream(range.end + 1), range.start))], rec);
      return;
    }
    if (cut) {
      const n = Math.min(source.size, cut.bytes !== undefined ? Number(cut.bytes) : Math.floor(source.size / 2));
      headers['Content-Length'] = source.size;
      rec.response = { status: 200, size: n, declared: source.size, fault: 'cut' };
      res.writeHead(200, headers);
      const stream = source.stream(n);
      stream.on('data', (c) => {
        if (!res.write(c)) stream.pause();
      });
      res.on('drain', () => stream.resume());
      stream.on('end', () => res.write('', () => cutConnection(res)));
      return;
    }
    const useGzip = gzip && acceptsGzip;
    if (useGzip) headers['Content-Encoding'] = 'gzip';
    else headers['Content-Length'] = source.size;
    rec.response = { status: 200, size: source.size, gzip: useGzip };
    res.writeHead(200, headers);
    const steps = [source.stream()];
    if (useGzip) steps.push(zlib.createGzip({ level: 1 }));
    sendBytes(res, steps, rec);
  }

  return server;
}

// One range of "bytes=first-last", "bytes=first-" or "bytes=-suffix" over a body of `size` bytes: {start, end}
// (end inclusive), {unsatisfiable: true}, or null for no usable Range (none, several, or not bytes), which
// is answered whole.
function parseRange(header, size) {
  const m = /^\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*$/i.exec(header || '');
  if (!m || (m[1] === '' && m[2] === '')) return null;
  let start;
  let end = size - 1;
  if (m[1] === '') {
    const suffix = Number(m[2]);
    if (suffix === 0) return { unsatisfiable: true };
    start = Math.max(0, size - suffix);
  } else {
    start = Number(m[1]);
    if (m[2] !== '') {
      end = Math.min(end, Number(m[2]));
      if (Number(m[2]) < start) return null;
    }
  }
  if (start >= size) return { unsatisfiable: true };
  return { start, end };
}

// The bytes of `stream` from offset `skip` on.
async function* skipBytes(stream, skip) {
  let left = skip;
  for await (const chunk of stream) {
    if (left >= chunk.length) {
      left -= chunk.length;
      continue;
    }
    yield left ? chunk.subarray(left) : chunk;
    left = 0;
  }
}

function sendBody(res, status, payload, headers = {}) {
  const buf = Buffer.from(payload, 'utf8');
  res.writeHead(status, { 'Content-Type': JSON_TYPE, 'Content-Length': buf.length, ...headers });
  res.end(buf);
}

module.exports = { createExamHttp, rawPairs, parseRange };
