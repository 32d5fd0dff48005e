'use strict';
// Demo mode: the room runs by itself. Unknown machines are told to register and get a number in room R101, a
// generated module package is announced, the start is allowed a few seconds after registration, connected
// agents are pinged, and now and then a harmless broadcast goes out. One readable line per happening.
const crypto = require('crypto');

function clock() {
  const d = new Date();
  return [d.getHours(), d.getMinutes(), d.getSeconds()].map((n) => String(n).padStart(2, '0')).join(':');
}

function startDemo({ room, socket, startDelayMs = 8000, pingEveryMs = 5000, broadcastEveryMs = 20000, write }) {
  const log = (line) => write(`[${clock()}] ${line}\n`);
  const timers = new Set();
  const later = (ms, fn) => {
    const t = setTimeout(() => {
      timers.delete(t);
      fn();
    }, ms);
    timers.add(t);
  };
  const machineName = (key) => {
    const m = key ? room.machines.get(key) : null;
    return m ? `machine #${m.startup.ecpId} (${key})` : `machine ${key || '?'}`;
  };

  async function announceModule() {
    const size = 4096 + crypto.randomInt(4096);
    const seed = crypto.randomInt(0x7fffffff);
    room.setAnswer({ route: 'downloadModule', bytes: { size, seed } });
    const md5 = await room.downloads.downloadModule.source.md5();
    log(`exam module package ready: ${size} bytes, MD5 ${md5.toUpperCase()}`);
  }

  const toldUnknown = new Set();
  const lastSummary = new Map();
  const lastStatus = new Map();

  room.on('reset', () => {
    toldUnknown.clear();
    lastSummary.clear();
    lastStatus.clear();
    log('room reset by the control interface');
    announceModule();
  });

  room.on('registered', (m) => {
    log(`registered ${m.ecpKey} (${m.ecpHostName || 'no name'}, ${m.ecpIp || 'no IP'}) as number ${m.startup.ecpId} in room ${m.startup.ecpRoomCode}`);
    later(startDelayMs, () => {
      if (room.machines.get(m.ecpKey) !== m) return;
      m.startup.isStartup = true;
      log(`${machineName(m.ecpKey)} may start the exam now`);
    });
  });

  room.on('request', (rec) => {
    const from = rec.remote.address;
    const body = rec.json && typeof rec.json === 'object' ? rec.json : {};
    switch (rec.route) {
      case 'getStartupInfoAgent': {
        const m = rec.key ? room.machines.get(rec.key) : null;
        if (!m) {
          if (!toldUnknown.has(rec.key)) log(`${rec.key || 'a machine without key'} is unknown: answered 9000, it should register`);
          toldUnknown.add(rec.key);
          return;
        }
        const s = m.startup;
        const summary = `number ${s.ecpId}, room ${s.ecpRoomCode}, start ${s.isStartup ? 'allowed' : 'not yet'}`;
        if (lastSummary.get(rec.key) !== summary) log(`${machineName(rec.key)} asks what to do: ${summary}`);
        lastSummary.set(rec.key, summary);
        return;
      }
      case 'modifyTavrel':
        log(`${machineName(rec.key)} asks to become number ${body.ecpId}`);
        return;
      case 'sendEcpState':
        if (lastStatus.get(rec.key) !== body.status) log(`${machineName(rec.key)} reports status ${body.status} (version ${body.ecpVersion})`);
        lastStatus.set(rec.key, body.status);
        return;
      case 'downloadModule':
        log(`sending the module package (${room.downloads.downloadModule.source.size} bytes) to ${from}`);
        return;
      case 'updateTavrel':
        log(`sending the installer (${room.downloads.updateTavrel.source.size} bytes) to ${from}`);
        return;
      case 'uploadTavrelLogs': {
        const field = (n) => (rec.parts || []).find((p) => p.name === n);
        const file = field('file');
        log(`${machineName(rec.key)} uploaded its exam client log ${field('logName')?.text ?? ''} (${file ? file.size : 0} bytes)`);
        const m = rec.key ? room.machines.get(rec.key) : null;
        if (m && m.startup.isStartup) {
          m.startup.isStartup = false;
          log(`${machineName(rec.key)} finished; start withdrawn`);
        }
        return;
      }
      case 'uploadRecoverAnswer': {
        const field = (n) => (rec.parts || []).find((p) => p.name === n);
        log(`answer file of examinee ${field('examineeId')?.text ?? '?'} arrived (${field('file') ? field('file').size : 0} bytes, checksum ${field('checksum')?.text ?? '?'})`);
        return;
      }
      default:
    }
  });

  socket.on('socket', (s) => {
    const q = s.handshake.query;
    log(`command channel open: ${q.ecpKey || 'no key'} joined room ${q.room ?? '(none)'} on ${s.nsp.name} (socket ${s.id})`);
  });
  socket.on('socket-disconnect', (s, reason) => log(`command channel of ${s.handshake.query.ecpKey || s.id} closed: ${reason}`));
  socket.on('event', (s, event, args) => {
    const who = machineName(s.handshake.query.ecpKey);
    log(`${who} sent "${event}"${args.length ? ` ${JSON.stringify(args)}` : ''}`);
  });

  const everyone = () => (socket.running ? socket.sockets().filter((x) => x.nsp === '/').length : 0);
  const pinger = setInterval(() => {
    const n = everyone();
    if (!n) return;
    socket.emitEvent({ all: true, event: 'ping', args: [] }).catch(() => {});
    log(`ping to ${n} agent${n > 1 ? 's' : ''}`);
  }, pingEveryMs);
  const harmless = [
    { code: 1006, note: 'enable the Windows keys' },
    { code: 1001, note: 'a notice the agent only logs' },
  ];
  let next = 0;
  const broadcaster = setInterval(() => {
    const n = everyone();
    if (!n) return;
    const b = harmless[next++ % harmless.length];
    socket.emitEvent({ all: true, event: 'broadcast', args: [{ code: b.code, data: null }] }).catch(() => {});
    log(`broadcast code ${b.code} (${b.note}) to ${n} agent${n > 1 ? 's' : ''}`);
  }, broadcastEveryMs);

  log(`demo room ${room.defaultRoom} open: unknown machines register, the start is allowed ${startDelayMs / 1000} s after registration`);
  const ready = announceModule();
  return {
    ready,
    stop() {
      clearInterval(pinger);
      clearInterval(broadcaster);
      for (const t of timers) clearTimeout(t);
    },
  };
}

module.exports = { startDemo };
