// What the page's tests share: where the builds are, the songs, and the
// command line's lines and outputs for them.
import {spawnSync} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const root = path.resolve(path.dirname(new URL(import.meta.url).pathname), '../..');
export const hostBuild = path.resolve(root, process.env.ZELTA_BUILD || 'build');
export const webDir = path.resolve(root, process.env.ZELTA_WEB || 'build-web/web');
export const OPTION_SETS = [[], ['-n'], ['-v'], ['-n', '-v'], ['-l']];

// A new folder in the temporary folder, removed when the tests end.
const scratchFolders = [];
process.on('exit', () => scratchFolders.forEach((f) => fs.rmSync(f, {recursive: true, force: true})));
export function scratch(name) {
  scratchFolders.push(fs.mkdtempSync(path.join(os.tmpdir(), `zelta-web-${name}-`)));
  return scratchFolders.at(-1);
}

// Writes COUNT generated songs (and a big one of BIG_MIB) into `folder`.
export function writeSongs(folder, count, bigMiB) {
  const args = [folder, String(count), ...(bigMiB ? [String(bigMiB)] : [])];
  const run = spawnSync(path.join(hostBuild, 'tests/web/web_songs'), args);
  if (run.status !== 0) throw new Error(`web_songs failed: ${run.stderr}`);
}

// The command line on copies of `files` in a folder of their own: its lines
// and, per input, its output's bytes (null when it wrote none).
export function commandLine(files, options) {
  const folder = scratch('cli');
  const copies = files.map((file) => {
    const copy = path.join(folder, path.basename(file));
    const stat = fs.statSync(file);
    if (stat.isDirectory()) fs.mkdirSync(copy);
    else if (stat.size >= 2 ** 31) fs.closeSync(fs.openSync(copy, 'w')), fs.truncateSync(copy, stat.size);
    else fs.copyFileSync(file, copy);
    return copy;
  });
  const run = spawnSync(path.join(hostBuild, 'cli/zelta'), [...options, '--', ...copies],
    {maxBuffer: 1 << 30, encoding: 'utf8'});
  const outputs = copies.map((copy) => {
    const output = copy.replace(/(?<=.)\.[^./]*$/, '') + '_new.s98';
    return fs.existsSync(output) ? fs.readFileSync(output) : null;
  });
  fs.rmSync(folder, {recursive: true});
  return {lines: run.stdout.replace(/\n$/, '').split('\n'), outputs};
}

// A line as the list shows it, or as the command line prints it.
export function shown(line) {
  return line.replace(/\n+$/, '');
}
