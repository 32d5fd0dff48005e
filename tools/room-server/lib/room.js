'use strict';
// What the exam server knows and answers: per-route answers (optionally per machine key), injected faults,
// the machines that registered with their start-up information, and the installer and module bytes.
const EventEmitter = require('events');
const { byteSource } = require('./bytes');

const ROUTES = {
  '/client/getVersionInfo': 'getVersionInfo',
  '/client/updateTavrel': 'updateTavrel',
  '/client/downloadModule': 'downloadModule',
  '/client/getStartupInfoAgent': 'getStartupInfoAgent',
  '/client/registeTavrel': 'registeTavrel',
  '/client/getModuleMD5': 'getModuleMD5',
  '/client/modifyTavrel': 'modifyTavrel',
  '/client/sendEcpState': 'sendEcpState',
  '/monitor/uploadRecoverAnswer': 'uploadRecoverAnswer',
  '/client/uploadTavrelLogs': 'uploadTavrelLogs',
};
const ROUTE_NAMES = new Set(Object.values(ROUTES));
const { STREAM_FAULTS } = require('./stream-faults');
const FAULT_KINDS = new Set(['delay', 'status', 'cut', 'notjson', 'wrongtype', 'redirect', 'close', ...STREAM_FAULTS]);

// Accepts "getVersionInfo", "/client/getVersionInfo" or "*" (faults only).
function routeName(route, { wildcard = false } = {}) {
  if (wildcard && route === '*') return '*';
  const name = ROUTES[route] || route;
  if (!ROUTE_NAMES.has(name)) throw Object.assign(new Error(`unknown route ${JSON.stringify(route)}`), { status: 400 });
  return name;
}

const DEFAULT_MODULE = { size: 4096, seed: 20240601 };
const DEFAULT_INSTALLER = { size: 2048, seed: 7 };

class Room extends EventEmitter {
  constructor({ defaultRoom = 'R101' } = {}) {
    super();
    this.defaultRoomCode = defaultRoom;
    this.reset();
  }

  reset() {
    this.defaultRoom = this.defaultRoomCode;
    this.answers = new Map(); // route -> { any, byKey: Map }
    this.faults = new Map(); // route -> [fault]
    this.machines = new Map(); // ecpKey -> machine
    this.downloads = {
      downloadModule: { source: byteSource(DEFAULT_MODULE), gzip: false, ranges: true },
      updateTavrel: { source: byteSource(DEFAULT_INSTALLER), gzip: false, ranges: true },
    };
    this.emit('reset');
  }

  // ---- answers ----
  setAnswer(req) {
    const route = routeName(req.route);
    if (req.clear) {
      if (req.key !== undefined) this.answers.get(route)?.byKey.delete(req.key);
      else this.answers.delete(route);
      return { route, cleared: true };
    }
    const result = { route };
    if (req.bytes !== undefined) {
      if (!this.downloads[route]) throw Object.assign(new Error(`${route} serves no bytes`), { status: 400 });
      let source;
      try {
        source = byteSource(req.bytes);
      } catch (err) {
        throw Object.assign(err, { status: 400 });
      }
      this.downloads[route] = { source, gzip: !!req.gzip, ranges: req.ranges !== false };
      result.size = this.downloads[route].source.size;
      return result;
    }
    if ((req.gzip !== undefined || req.ranges !== undefined) && this.downloads[route]) {
      if (req.gzip !== undefined) result.gzip = this.downloads[route].gzip = !!req.gzip;
      if (req.ranges !== undefined) result.ranges = this.downloads[route].ranges = req.ranges !== false;
      return result;
    }
    const answer = {};
    for (const k of ['code', 'data', 'message', 'raw', 'contentType']) if (k in req) answer[k] = req[k];
    if (!this.answers.has(route)) this.answers.set(route, { any: null, byKey: new Map() });
    const slot = this.answers.get(route);
    if (req.key !== undefined && req.key !== null) slot.byKey.set(String(req.key), answer);
    else slot.any = answer;
    return result;
  }

  answerFor(route, key) {
    const slot = this.answers.get(route);
    if (!slot) return null;
    if (key !== null && key !== undefined && slot.byKey.has(key)) return slot.byKey.get(key);
    return slot.any;
  }

  // ---- faults ----
  setFault(req) {
    const route = routeName(req.route, { wildcard: true });
    const key = req.key === undefined || req.key === null ? null : String(req.key);
    const list = (this.faults.get(route) || []).filter((f) => f.key !== key);
    if (req.kind === 'none' || req.clear) {
      this.faults.set(route, list);
      return { route, cleared: true };
    }
    if (!FAULT_KINDS.has(req.kind)) {
      throw Object.assign(new Error(`unknown fault kind ${JSON.stringify(req.kind)}`), { status: 400 });
    }
    const count = req.count === undefined || req.count === null ? null : Number(req.count);
    const fault = { ...req, route, key, remaining: count, applied: 0 };
    list.push(fault);
    this.faults.set(route, list);
    return { route, kind: req.kind, count };
  }

  takeFault(route, key) {
    const candidates = [...(this.faults.get(route) || []), ...(this.faults.get('*') || [])].filter(
      (f) => (f.key === null || f.key === key) && f.remaining !== 0,
    );
    // A fault aimed at this machine wins over one for every machine.
    const fault = candidates.find((f) => f.key !== null) || candidates[0];
    if (!fault) return null;
    if (fault.remaining !== null) fault.remaining--;
    fault.applied++;
    return fault;
  }

  // ---- machines ----
  startupDefaults(ecpId, room) {
    return { ecpId, phase: 0, ecpRoomCode: room, isStartup: false, isSuperLock: '0', ecpPixel: '' };
  }

  freeNumber() {
    const used = new Set([...this.machines.values()].map((m) => Number(m.startup.ecpId)));
    let n = 1;
    while (used.has(n)) n++;
    return n;
  }

  register({ ecpKey, ecpHostName, ecpIp, ecpRoom }) {
    let m = this.machines.get(ecpKey);
    if (!m) {
      const room = typeof ecpRoom === 'string' && ecpRoom !== '' ? ecpRoom : this.defaultRoom;
      m = { ecpKey, ecpHostName, ecpIp, registeredAt: Date.now(), startup: this.startupDefaults(this.freeNumber(), room) };
      this.machines.set(ecpKey, m);
      this.emit('registered', m);
    }
    return m;
  }

  // Test and demo edits of a machine's start-up information; members given are taken as they are (null too).
  editMachine({ ecpKey, startup = {}, unset = [], remove = false, replace = false }) {
    if (typeof ecpKey !== 'string') throw Object.assign(new Error('ecpKey must be a text'), { status: 400 });
    if (remove) {
      this.machines.delete(ecpKey);
      return null;
    }
    let m = this.machines.get(ecpKey);
    if (!m) {
      m = { ecpKey, registeredAt: Date.now(), startup: this.startupDefaults(this.freeNumber(), this.defaultRoom) };
      this.machines.set(ecpKey, m);
    }
    m.startup = replace ? { ...startup } : { ...m.startup, ...startup };
    for (const k of unset) delete m.startup[k];
    this.emit('machine', m);
    return m;
  }

  modifyNumber({ ecpKey, ecpId }) {
    const m = this.machines.get(ecpKey);
    if (!m) return { code: 1001, data: null, message: '考试机未注册' };
    const n = Number(ecpId);
    if (!Number.isInteger(n) || n <= 0 || String(ecpId).trim() === '') {
      return { code: 1002, data: null, message: '座位号无效' };
    }
    const holder = [...this.machines.values()].find((o) => o !== m && Number(o.startup.ecpId) === n);
    if (holder) return { code: 1003, data: null, message: `座位号${n}已被占用` };
    m.startup.ecpId = n;
    this.emit('machine', m);
    return { code: 1000, data: '修改成功', message: '' };
  }

  machineList() {
    return [...this.machines.values()];
  }
}

module.exports = { Room, ROUTES, routeName };
