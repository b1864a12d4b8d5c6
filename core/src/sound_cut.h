// Where a song is first and last heard (-s), on an output of the ordinary
// conversion, by the sound model (sound_model.h).
//
// The start. The output holds the lead-in's kept writes at one moment, then
// the stream from the start on as it stands. The stream is read moment by
// moment (a moment: the writes between two waits), the model following the
// writes while time stands still, as the output will play them once the
// start has moved past them. The first moment after which the model would
// hear a sound, were nothing more written, is the sounding one; its first
// write after which it would is the start. (A slow attack keyed off before
// it is heard so starts the song a little early, never late.) Only writes from the first key-on on (KeyOnWatch,
// every chip's rules) may start: the start never lies before it. Nothing is
// moved when nothing is heard.
//
// The end. The stream is followed in real time; the last moment anything is
// heard, rounded up to a whole tick, is where it is cut:
//
//   bytes                       the cut stream
//   --------------------------  --------------------------------------------
//   [dumpOffset, cutAt)         as they stand: every write and wait before
//                               the end tick
//   a shortened wait            when the wait at cutAt runs past the end
//                               tick: the wait up to it, as 0xFF (1 tick) or
//                               an n-sync
//   0xFD                        the end of the data
//
// There is no cut when nothing is heard at all, or something is heard until
// the stream's end.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "s98_image.h"

namespace zelta {

// Where an output starts (its first key-on) and where it should start by
// sound: at or after it; 0 when nothing sounds (or nothing is heard).
struct SoundStart {
    std::int64_t keyOn = 0;
    std::int64_t sound = 0;
};
SoundStart FindSoundStart(const S98Image& image, const S98Header& header,
                          const DeviceTable& devices);

struct EndCut {
    std::int64_t cutAt = 0;              // the stream is kept up to here
    std::vector<std::uint8_t> wait;      // then this wait (may be empty)
    std::int64_t endOffset = 0;          // where 0xFD lands: cutAt + wait.size()
    double secondsLeftOut = 0;           // the stream's length after the end tick
};

// Where the stream of `image` (validated) can be cut after its last sound.
std::optional<EndCut> FindSilentEnd(const S98Image& image, const S98Header& header,
                                    const DeviceTable& devices);

}  // namespace zelta
