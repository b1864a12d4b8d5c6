// The page in headless Chromium: drops and the file input, under the five
// option sets, give the command line's lines and, as downloads and as a zip,
// its outputs; a 64 MiB song; the page asks for nothing but its own files
// and works offline once loaded.
import assert from 'node:assert/strict';
import {spawnSync} from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import {after, before, test} from 'node:test';
import puppeteer from 'puppeteer-core';

import {OPTION_SETS, commandLine, hostBuild, scratch, webDir, writeSongs} from './common.mjs';

const TYPES = {'.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm',
  '.png': 'image/png', '.svg': 'image/svg+xml', '.webmanifest': 'application/manifest+json'};
const sha256 = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');

// Serves the page's folder on 127.0.0.1 and notes every path asked for.
function serve() {
  const asked = [];
  const server = http.createServer((request, response) => {
    const name = new URL(request.url, 'http://page').pathname.replace(/\/$/, '/index.html');
    asked.push(name);
    const file = path.join(webDir, name);
    if (!fs.existsSync(file)) return response.writeHead(404).end();
    response.writeHead(200, {'content-type': TYPES[path.extname(file)]});
    response.end(fs.readFileSync(file));
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () =>
    resolve({server, asked, url: `http://127.0.0.1:${server.address().port}/`})));
}

const folder = scratch('page');
writeSongs(folder, 10, 64);
spawnSync(path.join(hostBuild, 'tests/make_example'), [path.join(folder, 'example.s98')]);
fs.copyFileSync(path.join(folder, 'example.s98'), path.join(folder, 'ステージ1.s98'));
fs.writeFileSync(path.join(folder, 'empty.s98'), '');
fs.writeFileSync(path.join(folder, 'huge.s98'), '');
fs.truncateSync(path.join(folder, 'huge.s98'), 2 ** 31);  // sparse
fs.mkdirSync(path.join(folder, 'a folder'));
const at = (...names) => names.map((n) => path.join(folder, n));
const songs = at(...Array.from({length: 10}, (_, i) => `song_00${i}.s98`), 'ステージ1.s98', 'empty.s98', 'huge.s98');

let site, browser, page, downloads;
const requests = [];

before(async () => {
  site = await serve();
  browser = await puppeteer.launch({executablePath: '/usr/bin/chromium', headless: true,
    userDataDir: scratch('chromium'), args: ['--no-sandbox', '--disable-gpu', '--disable-quic',
      '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync']});
  page = await browser.newPage();
  await page.setViewport({width: 720, height: 400});
  page.on('request', (request) => requests.push(request.url()));
  downloads = await browser.target().createCDPSession();
  await page.goto(site.url);
  await page.waitForFunction(() => document.body.dataset.build);
});
after(async () => {
  await browser?.close();
  site?.server.close();
});

async function listLines() {
  return page.$$eval('#LIST .line > .text', (rows) => rows.map((row) => row.textContent));
}

async function setOptions(set) {
  for (const [id, flag] of [['#C_n', '-n'], ['#C_v', '-v'], ['#C_l', '-l']]) {
    if (await page.$eval(id, (box) => box.checked) !== set.includes(flag)) await page.click(id);
  }
}

// Drops `files` on the list as a file manager would.
async function drop(files) {
  const cdp = await page.createCDPSession();
  const data = {items: [], files, dragOperationsMask: 1};
  for (const type of ['dragEnter', 'dragOver', 'drop']) {
    await cdp.send('Input.dispatchDragEvent', {type, x: 200, y: 200, data});
  }
}

async function choose(files) {
  await (await page.$('#files')).uploadFile(...files);
}

// Waits until the list holds `count` lines and the last file is done.
async function waitForLines(count) {
  await page.waitForFunction((n) => document.querySelectorAll('#LIST .line').length >= n &&
    !document.body.classList.contains('busy'), {timeout: 300000}, count);
}

// Gives `files` to the page with `deliver` under the option set; returns
// the lines the list gained, once the last file is done, and the time
// that took.
async function convert(deliver, files, set) {
  await setOptions(set);
  const before = (await listLines()).length;
  const expected = commandLine(files, set);
  const started = Date.now();
  await deliver(files);
  await waitForLines(before + expected.lines.length);
  return {lines: (await listLines()).slice(before), expected, rows: before, ms: Date.now() - started};
}

// Clicks each download link from row `from` on and returns the saved files.
async function saveAll(from) {
  const folder = scratch('downloads');
  await downloads.send('Browser.setDownloadBehavior', {behavior: 'allow', downloadPath: folder, eventsEnabled: true});
  const finished = new Set();
  const onProgress = (event) => event.state === 'completed' && finished.add(event.guid);
  downloads.on('Browser.downloadProgress', onProgress);
  let clicked = 0;
  for (const link of await page.$$('#LIST .line a')) {
    if (await link.evaluate((a) => [...a.parentNode.parentNode.children].indexOf(a.parentNode)) < from) continue;
    await link.click();
    ++clicked;
  }
  while (finished.size < clicked) await new Promise((resolve) => setTimeout(resolve, 50));
  downloads.off('Browser.downloadProgress', onProgress);
  return new Map(fs.readdirSync(folder).map((name) => [name, fs.readFileSync(path.join(folder, name))]));
}

function expectedOutputs(files, expected) {
  const outputs = new Map();
  files.forEach((file, i) => {
    if (expected.outputs[i]) outputs.set(path.basename(file).replace(/\.[^.]*$/, '') + '_new.s98', expected.outputs[i]);
  });
  return outputs;
}

// Each entry of a zip, checked by Python's zipfile, by name: its SHA-256.
function zipEntries(bytes) {
  const file = path.join(scratch('zip'), 'z.zip');
  fs.writeFileSync(file, bytes);
  const run = spawnSync('python3', ['-c', `import hashlib, json, sys, zipfile
z = zipfile.ZipFile(sys.argv[1]); assert z.testzip() is None
print(json.dumps({i.filename: hashlib.sha256(z.read(i)).hexdigest() for i in z.infolist()}))`, file], {encoding: 'utf8'});
  assert.equal(run.status, 0, run.stderr);
  return new Map(Object.entries(JSON.parse(run.stdout)));
}

test('the page loads the SIMD build and shows the window\'s title, unchecked options and first line', async () => {
  assert.equal(await page.evaluate(() => document.body.dataset.build), 'zelta-simd');
  assert.equal(await page.title(), 'zelta_GUI 20110114');
  assert.deepEqual(await page.$$eval('#Panel label', (ls) => ls.map((l) => l.textContent.trim())).then((t) => t.slice(0, 3)),
    ['-n : show start point only (no output)', '-v : show detail log', '-l : find the loop']);
  assert.deepEqual(await page.$$eval('#Panel input[type=checkbox]', (bs) => bs.map((b) => b.checked)), [false, false, false, false]);
  assert.deepEqual(await listLines(), ['*.s98をドロップするとファイル名の後ろに "_new.s98"を追加したファイル名で出力します']);
});

for (const set of OPTION_SETS) {
  test(`a drop under options [${set}] shows the command line's lines and offers its outputs`, async () => {
    const files = [...songs.slice(0, 7), ...at('a folder'), ...songs.slice(7)];
    const {lines, expected, rows} = await convert(drop, files, set);
    assert.deepEqual(lines, expected.lines);
    const saved = await saveAll(rows);
    const outputs = expectedOutputs(files, expected);
    const zip = saved.get('zelta_new.zip');
    saved.delete('zelta_new.zip');
    assert.deepEqual(saved, outputs);
    if (outputs.size >= 2) {
      assert.deepEqual(zipEntries(zip), new Map([...outputs].map(([name, bytes]) => [name, sha256(bytes)])));
    } else {
      assert.equal(zip, undefined);
    }
  });
}

for (const set of [[], ['-n', '-v']]) {
  test(`the file input under options [${set}] gives what the drop gives`, async () => {
    const {lines, expected} = await convert(choose, songs, set);
    assert.deepEqual(lines, expected.lines);
  });
}

test('a 64 MiB song is converted and saved as the command line writes it', async () => {
  const {lines, expected, rows, ms} = await convert(choose, at('big.s98'), []);
  console.log(`# the 64 MiB song took ${ms} ms in the page`);
  assert.deepEqual(lines, expected.lines);
  assert.ok((await saveAll(rows)).get('big_new.s98').equals(expected.outputs[0]));
});

test('options checked during a drop, and a drop made during it, count from the next file on', async () => {
  await setOptions([]);
  const before = (await listLines()).length;
  const expected = [...commandLine(at('big.s98'), []).lines,
    ...commandLine(at('example.s98', 'song_001.s98'), ['-v', '-l', '-s']).lines];
  await drop(at('big.s98', 'song_001.s98'));
  await page.waitForFunction(() => document.body.classList.contains('busy'));
  await page.click('#C_v');
  await page.click('#C_l');
  await page.click('#C_s');
  await drop(at('example.s98'));
  await waitForLines(before + expected.length);
  const lines = (await listLines()).slice(before);
  assert.deepEqual(lines, expected);
});

test('a zip with zip64 records holds the same entries', async () => {
  const bytes = await page.evaluate(async () => {
    const entries = ['a.s98', 'a.s98'].map((name, i) => ({name, blob: new Blob([`entry ${i}`]), crc: 0}));
    entries[0].crc = 0x5305BBDF;  // CRC-32 of "entry 0"
    entries[1].crc = 0x24028B49;  // and of "entry 1"
    return Array.from(new Uint8Array(await zelta.storedZip(entries, {zip64: true}).arrayBuffer()));
  });
  assert.deepEqual(zipEntries(Buffer.from(bytes)), new Map([['a.s98', sha256('entry 0')], ['a (2).s98', sha256('entry 1')]]));
});

test('offline, the page reloads from its cache and converts a drop', async () => {
  site.server.close();
  site.server.closeAllConnections();
  await page.reload();
  await page.waitForFunction(() => document.body.dataset.build);
  const {lines, expected} = await convert(drop, at('example.s98', 'ステージ1.s98', 'a folder'), ['-v']);
  assert.deepEqual(lines, expected.lines);
  await page.setViewport({width: 720, height: 440});
  await page.screenshot({path: path.join(webDir, '..', 'web.png')});
});

test('the page asks for nothing but its own files', () => {
  const own = new Set(fs.readdirSync(webDir, {recursive: true}).map((name) => '/' + name));
  assert.deepEqual(site.asked.filter((name) => !own.has(name)), []);
  assert.deepEqual(requests.filter((url) => !url.startsWith(site.url) && !url.startsWith('blob:')), []);
});
