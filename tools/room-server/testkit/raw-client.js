'use strict';
// A deliberately small Engine.IO 4 / Socket.IO 5 client written for these tests on top of the `ws` WebSocket
// library: every frame it sends is built by hand, and every frame it receives is kept, so the tests can look
// at the server's side of the conversation byte by byte.
const WebSocket = require('ws');

const TYPE = { CONNECT: 0, DISCONNECT: 1, EVENT: 2, ACK: 3, CONNECT_ERROR: 4, BINARY_EVENT: 5, BINARY_ACK: 6 };

// Replaces each Buffer by {"_placeholder":true,"num":i} and collects the buffers in order.
function deconstruct(value, buffers) {
  if (Buffer.isBuffer(value)) {
    buffers.push(value);
    return { _placeholder: true, num: buffers.length - 1 };
  }
  if (Array.isArray(value)) return value.map((v) => deconstruct(v, buffers));
  if (value && typeof value === 'object') {
    const out = {};
    for (const [k, v] of Object.entries(value)) out[k] = deconstruct(v, buffers);
    return out;
  }
  return value;
}

function reconstruct(value, buffers) {
  if (Array.isArray(value)) return value.map((v) => reconstruct(v, buffers));
  if (value && typeof value === 'object') {
    if (value._placeholder === true && typeof value.num === 'number') return buffers[value.num];
    const out = {};
    for (const [k, v] of Object.entries(value)) out[k] = reconstruct(v, buffers);
    return out;
  }
  return value;
}

// Socket.IO packet -> [text frame payload (after the Engine.IO "4"), ...binary frames]
function encodePacket({ type, nsp = '/', id, data }) {
  const buffers = [];
  const plain = data === undefined ? undefined : deconstruct(data, buffers);
  let t = type;
  if (buffers.length) t = type === TYPE.EVENT ? TYPE.BINARY_EVENT : type === TYPE.ACK ? TYPE.BINARY_ACK : type;
  let s = String(t);
  if (t === TYPE.BINARY_EVENT || t === TYPE.BINARY_ACK) s += `${buffers.length}-`;
  if (nsp !== '/') s += `${nsp},`;
  if (id !== undefined && id !== null) s += String(id);
  if (plain !== undefined) s += JSON.stringify(plain);
  return [s, ...buffers];
}

function decodePacket(s) {
  let i = 0;
  const type = Number(s[i++]);
  if (!(type >= 0 && type <= 6)) throw new Error(`bad packet type in ${JSON.stringify(s)}`);
  let attachments = 0;
  if (type === TYPE.BINARY_EVENT || type === TYPE.BINARY_ACK) {
    const dash = s.indexOf('-', i);
    attachments = Number(s.slice(i, dash));
    i = dash + 1;
  }
  let nsp = '/';
  if (s[i] === '/') {
    const comma = s.indexOf(',', i);
    nsp = comma < 0 ? s.slice(i) : s.slice(i, comma);
    i = comma < 0 ? s.length : comma + 1;
  }
  let idText = '';
  while (i < s.length && s[i] >= '0' && s[i] <= '9') idText += s[i++];
  const rest = s.slice(i);
  return { type, nsp, id: idText === '' ? null : Number(idText), attachments, data: rest === '' ? undefined : JSON.parse(rest) };
}

class RawClient {
  constructor(ws, { autoPong }) {
    this.ws = ws;
    this.autoPong = autoPong;
    this.frames = []; // { dir, text } | { dir, binary }
    this.packets = []; // decoded Socket.IO packets received
    this.handshake = null;
    this.pending = null; // binary packet waiting for attachments
    this.listeners = new Set();
    this.closed = new Promise((resolve) => ws.on('close', (code, reason) => resolve({ code, reason: reason.toString() })));
    ws.on('message', (data, isBinary) => this.onFrame(isBinary ? Buffer.from(data) : data.toString()));
    ws.on('error', () => {});
  }

  static connect(port, { query = '', autoPong = true, eio = 4, host = '127.0.0.1' } = {}) {
    const t = Math.floor(Date.now() / 1000);
    const url = `ws://${host}:${port}/socket.io/?EIO=${eio}&transport=websocket&t=${t}${query ? `&${query}` : ''}`;
    const ws = new WebSocket(url);
    const client = new RawClient(ws, { autoPong });
    client.url = url;
    return new Promise((resolve, reject) => {
      ws.once('unexpected-response', (req, res) => reject(new Error(`handshake refused: HTTP ${res.statusCode}`)));
      ws.once('error', reject);
      client.waitFrame((f) => f.text !== undefined && f.text[0] === '0', 5000).then(() => resolve(client), reject);
    });
  }

  onFrame(data) {
    const frame = typeof data === 'string' ? { dir: 'in', text: data } : { dir: 'in', binary: data };
    this.frames.push(frame);
    if (frame.text !== undefined) {
      const kind = frame.text[0];
      if (kind === '0') this.handshake = JSON.parse(frame.text.slice(1));
      else if (kind === '2' && this.autoPong) this.sendText('3');
      else if (kind === '4') {
        const p = decodePacket(frame.text.slice(1));
        if (p.attachments > 0) this.pending = { packet: p, buffers: [] };
        else this.packets.push(p);
      }
    } else if (this.pending) {
      this.pending.buffers.push(frame.binary);
      if (this.pending.buffers.length === this.pending.packet.attachments) {
        const { packet, buffers } = this.pending;
        this.pending = null;
        packet.data = reconstruct(packet.data, buffers);
        this.packets.push(packet);
      }
    }
    for (const l of [...this.listeners]) l();
  }

  sendText(text) {
    this.frames.push({ dir: 'out', text });
    this.ws.send(text);
  }

  sendBinary(buf) {
    this.frames.push({ dir: 'out', binary: buf });
    this.ws.send(buf, { binary: true });
  }

  sendPacket(packet) {
    const [text, ...buffers] = encodePacket(packet);
    this.sendText(`4${text}`);
    for (const b of buffers) this.sendBinary(b);
  }

  // Resolves with the first item (from `from` on) that matches; rejects after timeoutMs.
  waitIn(list, pred, timeoutMs, from = 0) {
    return new Promise((resolve, reject) => {
      const check = () => {
        const hit = list.slice(from).find(pred);
        if (hit) {
          clearTimeout(timer);
          this.listeners.delete(check);
          resolve(hit);
        }
      };
      const timer = setTimeout(() => {
        this.listeners.delete(check);
        reject(new Error(`timed out after ${timeoutMs} ms`));
      }, timeoutMs);
      this.listeners.add(check);
      check();
    });
  }

  waitFrame(pred, timeoutMs = 5000, from = 0) {
    return this.waitIn(this.frames, pred, timeoutMs, from);
  }

  waitPacket(pred, timeoutMs = 5000, from = 0) {
    return this.waitIn(this.packets, pred, timeoutMs, from);
  }

  async connectNsp(nsp = '/', auth) {
    const from = this.packets.length;
    this.sendPacket({ type: TYPE.CONNECT, nsp, data: auth });
    return this.waitPacket((p) => p.nsp === nsp && (p.type === TYPE.CONNECT || p.type === TYPE.CONNECT_ERROR), 5000, from);
  }

  emit(event, args = [], { nsp = '/', id } = {}) {
    this.sendPacket({ type: TYPE.EVENT, nsp, id, data: [event, ...args] });
  }

  ack(id, args = [], nsp = '/') {
    this.sendPacket({ type: TYPE.ACK, nsp, id, data: args });
  }

  close() {
    this.ws.close();
    return this.closed;
  }
}

module.exports = { RawClient, encodePacket, decodePacket, TYPE };
