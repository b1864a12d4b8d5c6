// Appended to the module's loader: Module.convertOne, the module's one entry.
//
//   convertOne(name, size, {showStartOnly, detailLog, findLoop, bySound, unreadable}, host)
//
// logs `name`, converts the `size` bytes host.read gives and logs the result
// line, as the window does for one dropped file; true when it succeeded. The
// host is called back during the call:
//
//   read(max)      the next bytes (a Uint8Array of 1 to max bytes), an empty
//                  one at the end, or null when the file cannot be read
//   log(line)      one log line
//   open(name)     the output, named <stem>_new.s98, begins; false refuses it
//   write(bytes)   its next bytes (a view into the module's memory, valid
//                  only during the call); false fails the output
//   commit(crc)    the output is complete; crc is its CRC-32; false fails it
//   abort()        the output is abandoned
Module['convertOne'] = function (name, size, options, host) {
  var decoder = new TextDecoder();
  Module.zeltaHost = {
    read: function (into, max) {
      var bytes = host.read(max);
      if (bytes === null) return -1;
      HEAPU8.set(bytes, into);
      return bytes.length;
    },
    log: function (text, size) { host.log(decoder.decode(HEAPU8.subarray(text, text + size))); },
    open: host.open,
    write: function (bytes, size) { return host.write(HEAPU8.subarray(bytes, bytes + size)); },
    commit: host.commit,
    abort: host.abort,
  };
  var flags = (options.showStartOnly ? 1 : 0) | (options.detailLog ? 2 : 0) | (options.unreadable ? 4 : 0)
    | (options.findLoop ? 8 : 0) | (options.bySound ? 16 : 0);
  var length = lengthBytesUTF8(name) + 1;
  var text = _malloc(length);
  stringToUTF8(name, text, length);
  try {
    return _zelta_convert(text, size, flags) !== 0;
  } finally {
    _free(text);
    Module.zeltaHost = null;
  }
};
