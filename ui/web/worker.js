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
const BLOB_STEP = 32 << 20;      // output bytes held before they join the Blob
const LINES_STEP = 2000;         // log lines held before they go to the page

importScripts(BUILD + '.js');
let module = createZelta();
postMessage({build: BUILD});

// Reads a File front to back.
class FileInput {
  constructor(file) {
    this.file = file;
    this.position = 0;
    this.reader = new FileReaderSync();
  }
  read(max) {
    const end = Math.min(this.position + max, this.position + READ_PIECE, this.file.size);
    try {
      const bytes = new Uint8Array(this.reader.readAsArrayBuffer(this.file.slice(this.position, end)));
      this.position += bytes.length;
      return bytes;
    } catch {
      return null;
    }
  }
}

// The output, as a Blob built from the pieces the core writes.
class BlobOutput {
  open(name) {
    this.name = name;
    this.blob = new Blob([]);
    this.pieces = [];
    this.held = 0;
    return true;
  }
  write(bytes) {
    this.pieces.push(bytes.slice());
    this.held += bytes.length;
    if (this.held >= BLOB_STEP) this.join();
    return true;
  }
  join() {
    this.blob = new Blob([this.blob, ...this.pieces]);
    this.pieces = [];
    this.held = 0;
  }
  commit(crc) {
    this.join();
    this.done = {name: this.name, blob: this.blob, crc, size: this.blob.size};
    return true;
  }
  abort() {
    this.blob = null;
    this.pieces = [];
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
  const options = {showStartOnly: data.showStartOnly, detailLog: data.detailLog,
    unreadable: data.unreadable || !readable(file)};
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
  lines.send({done: true, output: ok && output.done ? output.done : null,
    heap: (await module).HEAPU8.length});
};
