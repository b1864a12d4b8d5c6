// The module in node: every generated song under every option set gives the
// command line's lines and output bytes, through both builds, read in
// pieces of any size.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import {createRequire} from 'node:module';
import path from 'node:path';
import {test} from 'node:test';

import {OPTION_SETS, commandLine, scratch, shown, webDir, writeSongs} from './common.mjs';

const require = createRequire(import.meta.url);

async function loadModule(name) {
  const create = require(path.join(webDir, `${name}.js`));
  // Node's fetch() cannot read a file path: the loader gets the bytes.
  return create({wasmBinary: fs.readFileSync(path.join(webDir, `${name}.wasm`))});
}

// Converts a file on disk; each read returns a piece of 1 to `max` bytes.
function convert(zelta, file, options, pieceSize = (max) => max) {
  const lines = [];
  const fd = fs.openSync(file, 'r');
  let output = null;
  try {
    zelta.convertOne(path.basename(file), fs.fstatSync(fd).size, options, {
      read: (max) => {
        const piece = new Uint8Array(pieceSize(max));
        return piece.subarray(0, fs.readSync(fd, piece));
      },
      log: (line) => lines.push(shown(line)),
      open: () => (output = [], true),
      write: (bytes) => (output.push(Buffer.from(bytes)), true),
      commit: () => true,
      abort: () => (output = null),
    });
  } finally {
    fs.closeSync(fd);
  }
  return {lines, output: output && Buffer.concat(output)};
}

function optionsOf(set) {
  return {showStartOnly: set.includes('-n'), detailLog: set.includes('-v'), findLoop: set.includes('-l')};
}

const folder = scratch('songs');
writeSongs(folder, 400, 64);
const songs = fs.readdirSync(folder).filter((n) => n.startsWith('song_')).sort()
  .map((n) => path.join(folder, n));
const big = path.join(folder, 'big.s98');

for (const build of ['zelta', 'zelta-simd']) {
  test(`${build} converts 400 generated songs under every option set as the command line does`, async () => {
    const zelta = await loadModule(build);
    let seed = 7;
    const randomPiece = (max) => 1 + ((seed = (seed * 1103515245 + 12345) % 2 ** 31) % Math.min(max, 300));
    for (const set of OPTION_SETS) {
      const expected = commandLine(songs, set);
      const lines = [];
      songs.forEach((song, i) => {
        const result = convert(zelta, song, optionsOf(set), randomPiece);
        lines.push(...result.lines);
        assert.deepEqual(result.output, expected.outputs[i], `${path.basename(song)} ${set}`);
      });
      assert.deepEqual(lines, expected.lines, `options ${set}`);
    }
  });

  test(`${build} converts a 64 MiB song with a heap far smaller than the song`, async () => {
    const zelta = await loadModule(build);
    const expected = commandLine([big], []);
    const result = convert(zelta, big, {});
    assert.deepEqual(result.lines, expected.lines);
    assert.ok(result.output.equals(expected.outputs[0]));
    assert.ok(zelta.HEAPU8.length <= 32 << 20, `heap of ${zelta.HEAPU8.length} bytes`);
  });
}

test('a file that cannot be read, or no longer, ends with the core\'s messages', async () => {
  const zelta = await loadModule('zelta');
  const lines = [];
  const host = {read: () => null, log: (line) => lines.push(line), open: () => true};
  assert.equal(zelta.convertOne('folder', 0, {unreadable: true}, host), false);
  assert.equal(zelta.convertOne('gone.s98', 100, {}, host), false);
  assert.deepEqual(lines, ['folder', '-> input file open error.', 'gone.s98', '-> input file read error.']);
});
