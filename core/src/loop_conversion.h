// The conversion with the loop search (-l).
//
// The ordinary conversion runs first, into memory, with the same lines; its
// output is searched for the loop (loop_search.h), and the output written is
// the ordinary one up to the second pass, then the end-of-data command and
// the tag:
//
//   bytes                          from the ordinary output
//   -----------------------------  -------------------------------------------
//   [0, cut)                       as they stand, but the header's loop offset
//                                  (the loop's first compared write) and, when
//                                  the tag follows the data, its tag offset
//                                  (cut + 1)
//   0xFD                           ends the data: playback jumps to the loop
//   the tag                        when it follows the data (one before the
//                                  data is in the head and stays where it is)
//
// A file that has a loop offset already keeps it (as the ordinary conversion
// adjusts it), and one whose loop is not found is written as without -l. The
// loop's line follows the start line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "zelta/convert.h"

namespace zelta {

// Runs the ordinary conversion with the options given, its lines into the
// sink and its output into the target.
using OrdinaryConversion = std::function<std::string(Options, LogSink&, OutputTarget&)>;

// The conversion with options.findLoop: `ordinary` writes into memory (room
// for `sizeHint` bytes made at once), and the result goes to `output`.
std::string ConvertWithLoop(const OrdinaryConversion& ordinary, std::int64_t sizeHint,
                            Options options, LogSink& sink, OutputTarget& output);

}  // namespace zelta
