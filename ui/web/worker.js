// Converts the files the page sends, one per message, with the core built
// for WebAssembly: the SIMD build where the browser has SIMD, else the
// plain one. A file is read in pieces as the core asks for them, and its
// output is gathered into a Blob as the core writes it, so neither ever
// needs to be whole in the module's memory.
'use strict';

// The smallest module that uses a SIMD instruction (i8x16.splat of 0).
const SIMD_PROBE = new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0,
  10, 10, 1, 8, 0, 65, 0, 253, 15, 253, 98, 11]);
const BUILD = WebAssembly.validate(SIMD_PROBE) ? 'zelta-simd' : 'zelta';
const READ_PIECE = 4 << 20;      // the most one read takes from the file
const STAGING = 4 << 20;         // output bytes held before they become a Blob
const LINES_STEP = 2000;         // log lines held before they go to the page

importScripts(BUILD + '.js');
let module = createZelta();
postMessage({build: BUILD});

// Reads a File front to back, a large piece at a time: each read of a File
// costs a round trip to the browser's file reading, whatever its size.
class FileInput {
  constructor(file) {
    this.file = file;
    this.position = 0;
    this.piece = new Uint8Array(0);
    this.reader = new FileReaderSync();
  }
  read(max) {
    if (this.piece.length === 0) {
      const end = Math.min(this.position + READ_PIECE, this.file.size);
      try {
        this.piece = new Uint8Array(this.reader.readAsArrayBuffer(this.file.slice(this.position, end)));
      } catch {
        return null;
      }
      this.position += this.piece.length;
    }
    const bytes = this.piece.subarray(0, max);
    this.piece = this.piece.subarray(bytes.length);
    return bytes;
  }
}

// The output, as a Blob of pieces: the bytes the core writes are gathered
// into a staging buffer, and each full buffer becomes a Blob of its own, which
// the browser keeps outside this worker's memory.
class BlobOutput {
  open(name) {
    this.name = name;
    this.parts = [];
    this.staging = new Uint8Array(STAGING);
    this.used = 0;
    return true;
  }
  write(bytes) {
    while (bytes.length > 0) {
      const n = Math.min(bytes.length, STAGING - this.used);
      this.staging.set(bytes.subarray(0, n), this.used);
      this.used += n;
      bytes = bytes.subarray(n);
      if (this.used === STAGING) this.flush();
    }
    return true;
  }
  flush() {
    this.parts.push(new Blob([this.staging.subarray(0, this.used)]));
    this.used = 0;
  }
  commit(crc) {
    this.flush();
    const blob = new Blob(this.parts);
    this.done = {name: this.name, blob, crc};
    return true;
  }
  abort() {
    this.parts = [];
  }
}

// Sends the log lines in batches, and whatever is left with the result.
class LinePost {
  constructor() { this.lines = []; }
  log(line) {
    this.lines.push(line);
    if (this.lines.length >= LINES_STEP) this.send({});
  }
  send(rest) {
    postMessage({lines: this.lines, ...rest});
    this.lines = [];
  }
}

// Whether the file can be read at all; a folder, or a file gone since it
// was chosen, cannot.
function readable(file) {
  try {
    new FileReaderSync().readAsArrayBuffer(file.slice(0, 1));
    return true;
  } catch {
    return false;
  }
}

onmessage = async ({data}) => {
  const {file} = data;
  const lines = new LinePost();
  const output = new BlobOutput();
  const input = new FileInput(file);
  const options = {showStartOnly: data.showStartOnly, detailLog: data.detailLog, findLoop: data.findLoop,
    bySound: data.bySound, unreadable: data.unreadable || !readable(file)};
  let ok = false;
  try {
    const zelta = await module;
    ok = zelta.convertOne(file.name, file.size, options, {
      read: (max) => input.read(max),
      log: (line) => lines.log(line),
      open: (name) => output.open(name),
      write: (bytes) => output.write(bytes),
      commit: (crc) => output.commit(crc),
      abort: () => output.abort(),
    });
  } catch (error) {
    // The module stopped (it ran out of memory): a new one takes the next file.
    lines.log('-> ' + String(error.message || error));
    module = createZelta();
  }
  lines.send({done: true, output: ok && output.done ? output.done : null});
};
