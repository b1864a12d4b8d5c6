// The finishing stage: the steps that need the whole output at hand, the
// start moved to the first sound and the end cut after the last (-s), and
// the loop search (-l).
//
// The ordinary conversion runs first, into memory, with the same lines; then
//
//   1. -s: the first pass leaves nothing out; the start is then its first
//      sound (sound_cut.h), and it is converted again from there (the waits
//      and timer writes before it left out as in any lead-in). When nothing
//      is heard, or its device entries reach into the stream, it stays as it
//      is: the start is 0;
//   2. -l: its stream is searched for the loop (loop_search.h);
//   3. -s, when the output has no loop (none in the input, none found): the
//      stream is cut after its last sound. With -l, not when what is left
//      would read as a repeat (the search finds a loop in it): the song was
//      found to end, and a second run must not loop it.
//
// Steps 2 and 3 write the output so:
//
//   bytes                          from the output of step 1
//   -----------------------------  -------------------------------------------
//   [0, cut)                       as they stand, but the header's loop offset
//                                  (the loop's first compared write) and, when
//                                  the tag follows the data, its tag offset
//                                  (the new end + 1)
//   a shortened wait               -s: the wait across the end tick, up to it
//   0xFD                           ends the data (with a loop: playback jumps
//                                  back)
//   the tag                        when it follows the data (one before the
//                                  data is in the head and stays where it is)
//
// A file that has a loop offset already keeps it (as the ordinary conversion
// adjusts it); a step that finds nothing (no loop, a sound heard to the
// end) leaves the output as the step before wrote it. Nothing is searched or cut in a file whose device
// entries reach into its stream: what types its devices have would depend
// on where the stream's bytes fall.
//
// Lines: the start line (naming the input's offset), the loop's line (-l),
// the end's line (-s), the output line, then the detail log (-v).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "conversion.h"
#include "zelta/convert.h"

namespace zelta {

// Whether a conversion with these options goes through the finishing stage.
constexpr bool NeedsFinishing(const Options& options) {
    return options.findLoop || options.bySound;
}

// Runs the ordinary conversion with the options and the start given, its
// lines into the sink, its output into the target.
using OrdinaryConversion =
    std::function<std::string(Options, const GivenStart&, LogSink&, OutputTarget&)>;

// The conversion with the finishing stage: `ordinary` writes into memory
// (room for `sizeHint` bytes made at once), and the result goes to `output`.
std::string ConvertFinished(const OrdinaryConversion& ordinary, std::int64_t sizeHint,
                            Options options, LogSink& sink, OutputTarget& output);

}  // namespace zelta
