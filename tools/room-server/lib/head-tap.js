'use strict';
// Node's HTTP parser hands out header names and values trimmed, so "Client-Name:Mova-agent" and
// "Client-Name: Mova-agent" look the same after parsing. The tap keeps a copy of each request head as the
// bytes arrived, so a test can check header lines byte for byte.
const kTap = Symbol('headTap');
const HEAD_END = Buffer.from('\r\n\r\n');
const MAX_HEAD = 64 * 1024;

function attachHeadTap(server, { oneRequest = false } = {}) {
  server.on('connection', (sock) => {
    const st = { mode: 'head', chunks: [], length: 0, heads: [] };
    sock[kTap] = st;
    const onData = (chunk) => {
      if (st.mode !== 'head') return;
      st.chunks.push(chunk);
      st.length += chunk.length;
      const buf = Buffer.concat(st.chunks);
      const end = buf.indexOf(HEAD_END);
      if (end < 0) {
        if (st.length > MAX_HEAD) st.mode = 'off';
        else st.chunks = [buf];
        return;
      }
      const lines = buf.subarray(0, end).toString('latin1').split('\r\n');
      st.heads.push({ requestLine: lines[0], headerLines: lines.slice(1) });
      st.chunks = [];
      st.length = 0;
      st.mode = 'body';
      if (oneRequest) sock.removeListener('data', onData);
    };
    // Prepended so the head is captured before the HTTP parser emits 'request' for the same bytes.
    sock.prependListener('data', onData);
  });
}

// The head of the request now being served on this socket (null if it could not be captured).
function takeHead(sock) {
  const st = sock && sock[kTap];
  if (!st) return null;
  return st.heads.shift() || null;
}

// Called when a request's body has been read completely: the next bytes begin a new request head.
function nextHead(sock) {
  const st = sock && sock[kTap];
  if (st && st.mode === 'body') {
    st.mode = 'head';
    st.chunks = [];
    st.length = 0;
  }
}

module.exports = { attachHeadTap, takeHead, nextHead };
