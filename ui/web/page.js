// The window in a page: files dropped anywhere on it, chosen with the file
// input, or opened with the installed app are converted one after another
// in a worker, each file's lines appended to the list as it goes. Each
// output is offered as a download beside its result line; a drop of several
// files also as one zip beside the last one.
'use strict';

const list = document.getElementById('LIST');
const showStartOnly = document.getElementById('C_n');
const detailLog = document.getElementById('C_v');
const findLoop = document.getElementById('C_l');
const cutSilence = document.getElementById('C_s');
const worker = new Worker('worker.js');

// The drops not yet done, the newest on top: a drop made during another is
// converted before the rest of the one it came in.
const batches = [];
let converting = false;
let lastRow = null;

// One line at the end of the list. Its own line feed is not shown; one
// inside it (a file name may hold one) is shown as a symbol.
function appendLine(line) {
  const row = document.createElement('div');
  row.className = 'line';
  row.setAttribute('role', 'listitem');
  const text = document.createElement('span');
  text.className = 'text';
  text.textContent = line.replace(/\n+$/, '').replaceAll('\n', '\u2424');
  row.append(text);
  return row;
}

function appendLines(lines) {
  const rows = document.createDocumentFragment();
  for (const line of lines) rows.append(lastRow = appendLine(line));
  list.append(rows);
}

function offerDownload(row, name, blob) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = name;
  link.textContent = 'save ' + name;
  row.append(link);
}

// Takes a drop: [{file, unreadable}] in the order given.
function takeDrop(inputs) {
  if (inputs.length === 0) return;
  batches.push({inputs, outputs: [], lastRow: null});
  if (!converting) convertNext();
}

// Sends the next file to the worker with the options as they stand now.
function convertNext() {
  let batch = batches.at(-1);
  while (batch && batch.inputs.length === 0) {
    finishBatch(batches.pop());
    batch = batches.at(-1);
  }
  converting = batch !== undefined;
  document.body.classList.toggle('busy', converting);
  if (!converting) return;
  const {file, unreadable} = batch.inputs.shift();
  worker.postMessage({file, unreadable, showStartOnly: showStartOnly.checked, detailLog: detailLog.checked,
    findLoop: findLoop.checked, bySound: cutSilence.checked});
}

function finishBatch(batch) {
  if (batch.outputs.length < 2) return;
  offerDownload(batch.lastRow, 'zelta_new.zip', zelta.storedZip(batch.outputs));
}

worker.onmessage = ({data}) => {
  if (data.build) {
    document.body.dataset.build = data.build;
    return;
  }
  appendLines(data.lines);
  if (!data.done) return;
  const batch = batches.at(-1);
  batch.lastRow = lastRow;
  if (data.output) {
    offerDownload(lastRow, data.output.name, data.output.blob);
    batch.outputs.push(data.output);
  }
  // The page paints the new lines before the next file begins.
  setTimeout(convertNext);
};

document.addEventListener('dragover', (event) => {
  event.preventDefault();
  event.dataTransfer.dropEffect = 'copy';
  document.body.classList.add('dragging');
});
document.addEventListener('dragleave', (event) => {
  if (event.relatedTarget === null) document.body.classList.remove('dragging');
});
document.addEventListener('drop', (event) => {
  event.preventDefault();
  document.body.classList.remove('dragging');
  const inputs = [];
  for (const item of event.dataTransfer.items) {
    if (item.kind !== 'file') continue;
    const entry = item.webkitGetAsEntry ? item.webkitGetAsEntry() : null;
    inputs.push({file: item.getAsFile(), unreadable: entry !== null && entry.isDirectory});
  }
  takeDrop(inputs);
});

const chooser = document.getElementById('files');
chooser.addEventListener('change', () => {
  takeDrop(Array.from(chooser.files, (file) => ({file, unreadable: false})));
  chooser.value = '';
});

// The installed app opens .s98 files from the desktop as if they were dropped.
if ('launchQueue' in window) {
  window.launchQueue.setConsumer(async (params) => {
    const inputs = [];
    for (const handle of params.files) {
      if (handle.kind === 'file') inputs.push({file: await handle.getFile(), unreadable: false});
      else inputs.push({file: new File([], handle.name), unreadable: true});
    }
    takeDrop(inputs);
  });
}

if ('serviceWorker' in navigator) navigator.serviceWorker.register('sw.js');
