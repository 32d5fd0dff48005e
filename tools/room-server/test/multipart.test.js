'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { parseMultipart, boundaryOf, headerParams } = require('../lib/multipart');

const B = '------------------------abc123';
const join = (...pieces) => Buffer.concat(pieces.map((p) => (Buffer.isBuffer(p) ? p : Buffer.from(p, 'latin1'))));

test('boundary is read from plain and quoted Content-Type values', () => {
  assert.equal(boundaryOf(`multipart/form-data; boundary=${B}`), B);
  assert.equal(boundaryOf('multipart/form-data; boundary="a b;c"'), 'a b;c');
  assert.equal(boundaryOf('application/json'), null);
  assert.equal(boundaryOf(undefined), null);
  assert.equal(boundaryOf('multipart/form-data'), null);
});

test('header parameters keep escaped quotes and semicolons inside quotes', () => {
  assert.deepEqual(headerParams('form-data; name="file"; filename="a \\"b\\"; c.log"'), { name: 'file', filename: 'a "b"; c.log' });
  assert.deepEqual(headerParams('form-data; name=plain'), { name: 'plain' });
});

test('parts come back in order with names, file names, types and exact bytes', () => {
  const binary = Buffer.from([0x00, 0x0d, 0x0a, 0x2d, 0x2d, 0xff, 0x0d, 0x0a]);
  const body = join(
    `--${B}\r\nContent-Disposition: form-data; name="a"\r\n\r\n1\r\n`,
    `--${B}\r\nContent-Disposition: form-data; name="b"\r\n\r\n2\r\n`,
    `--${B}\r\nContent-Disposition: form-data; name="file"; filename="Tavrel.log"\r\nContent-Type: application/octet-stream\r\n\r\n`,
    binary,
    `\r\n--${B}--\r\n`,
  );
  const { parts } = parseMultipart(body, B);
  assert.deepEqual(parts.map((p) => p.name), ['a', 'b', 'file']);
  assert.equal(parts[0].data.toString(), '1');
  assert.equal(parts[0].filename, null);
  assert.equal(parts[0].contentType, null);
  assert.equal(parts[2].filename, 'Tavrel.log');
  assert.equal(parts[2].contentType, 'application/octet-stream');
  assert.deepEqual(parts[2].data, binary);
});

test('a boundary-like line inside content does not end the part unless it is the whole delimiter', () => {
  // A shorter boundary, and the boundary run into other text: both are content.
  const tricky = `x\r\n--${B.slice(0, -1)}\r\n--${B}X\r\n`;
  const body = join(`--${B}\r\nContent-Disposition: form-data; name="f"\r\n\r\n${tricky}\r\n--${B} \r\n\r\nnext\r\n--${B}--`);
  const { parts } = parseMultipart(body, B);
  assert.equal(parts.length, 2);
  assert.equal(parts[0].data.toString('latin1'), tricky);
  assert.equal(parts[1].data.toString('latin1'), 'next');
});

test('empty content, empty header section, preamble and epilogue', () => {
  const body = join(
    'preamble text\r\n',
    `--${B}\r\nContent-Disposition: form-data; name="empty"\r\n\r\n\r\n`,
    `--${B}\r\n\r\nno headers\r\n`,
    `--${B}--\r\nepilogue`,
  );
  const { parts, preamble, epilogue } = parseMultipart(body, B);
  assert.equal(preamble.toString(), 'preamble text');
  assert.equal(epilogue.toString(), 'epilogue');
  assert.equal(parts.length, 2);
  assert.equal(parts[0].data.length, 0);
  assert.equal(parts[1].name, null);
  assert.equal(parts[1].data.toString(), 'no headers');
});

test('malformed bodies are refused with a reason', () => {
  assert.throws(() => parseMultipart(Buffer.from('no boundary at all'), B), /opening boundary/);
  assert.throws(() => parseMultipart(join(`--${B}\r\nContent-Disposition: form-data; name="a"\r\n\r\nunterminated`), B), /not terminated/);
  assert.throws(() => parseMultipart(join(`--${B}\r\nContent-Disposition: form-data; name="a"`), B), /headers not terminated/);
  assert.throws(() => parseMultipart(join(`--${B}junk\r\n\r\nx\r\n--${B}--`), B), /CRLF/);
  assert.throws(() => parseMultipart(join(`--${B}\r\nno colon here\r\n\r\nx\r\n--${B}--`), B), /malformed part header/);
});
