'use strict';
// multipart/form-data decoding for the two upload routes. Parts are kept in the order they arrived, with their
// bytes untouched: the agent's uploads carry binary files, and a test wants to see exactly what was sent.

const CRLF = Buffer.from('\r\n');
const HEADER_END = Buffer.from('\r\n\r\n');

// Parameters of a header value such as: form-data; name="file"; filename="a \"b\".log"
function headerParams(value) {
  const params = {};
  const re = /;\s*([^\s=;]+)\s*=\s*(?:"((?:[^"\\]|\\.)*)"|([^;]*))/g;
  let m;
  while ((m = re.exec(value)) !== null) {
    const name = m[1].toLowerCase();
    params[name] = m[2] !== undefined ? m[2].replace(/\\(.)/g, '$1') : m[3].trim();
  }
  return params;
}

function boundaryOf(contentType) {
  if (!contentType || !/^\s*multipart\//i.test(contentType)) return null;
  const b = headerParams(contentType).boundary;
  return b || null;
}

function parseHeaders(block) {
  // Header bytes are taken as Latin-1 so that no byte is lost; names and values are reported as they came.
  const lines = block.length ? block.toString('latin1').split('\r\n') : [];
  const headers = [];
  for (const line of lines) {
    const colon = line.indexOf(':');
    if (colon <= 0) throw new Error(`malformed part header line: ${JSON.stringify(line)}`);
    headers.push([line.slice(0, colon).trim(), line.slice(colon + 1).trim()]);
  }
  return { lines, headers };
}

function headerValue(headers, name) {
  const h = headers.find(([n]) => n.toLowerCase() === name);
  return h ? h[1] : null;
}

// CRLF--boundary counts only when "--" or (padding and) CRLF follows it; anything else is content.
function nextDelimiter(body, inner, from) {
  for (let at = body.indexOf(inner, from); at >= 0; at = body.indexOf(inner, at + 1)) {
    let p = at + inner.length;
    if (body[p] === 0x2d && body[p + 1] === 0x2d) return at;
    while (body[p] === 0x20 || body[p] === 0x09) p++;
    if (body[p] === 0x0d && body[p + 1] === 0x0a) return at;
  }
  return -1;
}

// Returns { parts: [{ name, filename, contentType, headerLines, data }], preamble, epilogue }; throws on
// a body that is not well-formed multipart.
function parseMultipart(body, boundary) {
  if (!boundary) throw new Error('no boundary');
  const delimiter = Buffer.from(`--${boundary}`);
  const inner = Buffer.from(`\r\n--${boundary}`);
  let pos;
  if (body.subarray(0, delimiter.length).equals(delimiter)) {
    pos = 0;
  } else {
    pos = body.indexOf(inner);
    if (pos < 0) throw new Error('opening boundary not found');
    pos += 2;
  }
  const preamble = body.subarray(0, Math.max(0, pos - 2));
  const parts = [];
  for (;;) {
    pos += delimiter.length;
    if (body[pos] === 0x2d && body[pos + 1] === 0x2d) {
      pos += 2;
      let epilogue = body.subarray(pos);
      if (epilogue.subarray(0, 2).equals(CRLF)) epilogue = epilogue.subarray(2);
      return { parts, preamble, epilogue };
    }
    while (body[pos] === 0x20 || body[pos] === 0x09) pos++; // transport padding
    if (!body.subarray(pos, pos + 2).equals(CRLF)) throw new Error(`boundary not followed by CRLF at ${pos}`);
    pos += 2;
    let headerBlock;
    let dataStart;
    if (body.subarray(pos, pos + 2).equals(CRLF)) {
      headerBlock = body.subarray(pos, pos);
      dataStart = pos + 2;
    } else {
      const end = body.indexOf(HEADER_END, pos);
      if (end < 0) throw new Error('part headers not terminated');
      headerBlock = body.subarray(pos, end);
      dataStart = end + 4;
    }
    const next = nextDelimiter(body, inner, dataStart);
    if (next < 0) throw new Error('part not terminated by a boundary');
    const { lines, headers } = parseHeaders(headerBlock);
    const disposition = headerValue(headers, 'content-disposition');
    const params = disposition ? headerParams(disposition) : {};
    parts.push({
      name: params.name !== undefined ? params.name : null,
      filename: params.filename !== undefined ? params.filename : null,
      contentType: headerValue(headers, 'content-type'),
      headerLines: lines,
      data: body.subarray(dataStart, next),
    });
    pos = next + 2;
  }
}

module.exports = { parseMultipart, boundaryOf, headerParams };
