// A zip of stored (uncompressed) entries built as a Blob around the entries'
// own Blobs, so that no output is copied. Zip64 records are added where a
// size or an offset needs them.
//
//   zelta.storedZip([{name, blob, crc}], {zip64: false}) -> Blob
//
// Layout (all numbers little-endian):
//   per entry  local header  30 bytes + name (+ 20-byte zip64 extra), the bytes
//   then       central directory, one 46-byte header + name (+ 28-byte zip64
//              extra) per entry
//   then       [zip64 end record 56 bytes, zip64 locator 20 bytes]
//              end record 22 bytes
'use strict';
var zelta = globalThis.zelta || (globalThis.zelta = {});

(function () {
  const MAX32 = 0xFFFFFFFF;
  const UTF8_NAMES = 0x0800;  // general purpose flag bit 11

  // Bytes of a record: fields as [width, value] with widths 2, 4 or 8.
  function record(fields) {
    const size = fields.reduce((sum, [width]) => sum + width, 0);
    const view = new DataView(new ArrayBuffer(size));
    let at = 0;
    for (const [width, value] of fields) {
      if (width === 2) view.setUint16(at, value, true);
      else if (width === 4) view.setUint32(at, value, true);
      else view.setBigUint64(at, BigInt(value), true);
      at += width;
    }
    return new Uint8Array(view.buffer);
  }

  // The MS-DOS time and date of `when`.
  function dosTime(when) {
    return [(when.getHours() << 11) | (when.getMinutes() << 5) | (when.getSeconds() >> 1),
      ((when.getFullYear() - 1980) << 9) | ((when.getMonth() + 1) << 5) | when.getDate()];
  }

  // "a.s98", "a.s98" -> "a.s98", "a (2).s98": a zip holds each name once.
  function uniqueNames(names) {
    const taken = new Set();
    return names.map((name) => {
      let unique = name;
      for (let n = 2; taken.has(unique); ++n) unique = name.replace(/(\.[^.]*)?$/, ` (${n})$1`);
      taken.add(unique);
      return unique;
    });
  }

  zelta.storedZip = function (entries, {zip64 = false, when = new Date()} = {}) {
    const [time, date] = dosTime(when);
    const encoder = new TextEncoder();
    const names = uniqueNames(entries.map((e) => e.name)).map((n) => encoder.encode(n));
    const parts = [];
    const central = [];
    let offset = 0;
    entries.forEach((entry, i) => {
      const size = entry.blob.size;
      const wide = zip64 || size >= MAX32 || offset >= MAX32;
      const needed = wide ? 45 : 20;
      const common = [[2, needed], [2, UTF8_NAMES], [2, 0], [2, time], [2, date], [4, entry.crc]];
      const local = [[4, 0x04034b50], ...common, [4, wide ? MAX32 : size], [4, wide ? MAX32 : size],
        [2, names[i].length], [2, wide ? 20 : 0]];
      const localExtra = wide ? [[2, 1], [2, 16], [8, size], [8, size]] : [];
      parts.push(record(local), names[i], record(localExtra), entry.blob);
      const header = [[4, 0x02014b50], [2, 45], ...common, [4, wide ? MAX32 : size],
        [4, wide ? MAX32 : size], [2, names[i].length], [2, wide ? 28 : 0], [2, 0], [2, 0], [2, 0],
        [4, 0], [4, wide ? MAX32 : offset]];
      const extra = wide ? [[2, 1], [2, 24], [8, size], [8, size], [8, offset]] : [];
      central.push(record(header), names[i], record(extra));
      offset += 30 + names[i].length + (wide ? 20 : 0) + size;
    });
    const centralSize = central.reduce((sum, part) => sum + part.length, 0);
    const wide = zip64 || offset >= MAX32 || entries.length >= 0xFFFF;
    const end = [];
    if (wide) {
      end.push(record([[4, 0x06064b50], [8, 44], [2, 45], [2, 45], [4, 0], [4, 0],
        [8, entries.length], [8, entries.length], [8, centralSize], [8, offset]]));
      end.push(record([[4, 0x07064b50], [4, 0], [8, offset + centralSize], [4, 1]]));
    }
    const count = wide ? 0xFFFF : entries.length;
    end.push(record([[4, 0x06054b50], [2, 0], [2, 0], [2, count], [2, count],
      [4, wide ? MAX32 : centralSize], [4, wide ? MAX32 : offset], [2, 0]]));
    return new Blob([...parts, ...central, ...end], {type: 'application/zip'});
  };
})();
