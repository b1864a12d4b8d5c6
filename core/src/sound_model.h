// When a song can be heard: a model of each chip's voices, followed through
// the register writes in time (-s).
//
// "Heard" means the chip's output is not exactly silent. The model errs on
// one side only: where it cannot be sure, a voice is heard, so nothing that
// sounds is ever taken for silence.
//
//   device type            part                          file
//   ---------------------  ----------------------------  ----------------
//   2 OPN, 3 OPN2, 4 OPNA  FM voices (and OPN2's DAC)    sound_fm.cpp
//   5 OPM                  FM voices                     sound_fm.cpp
//   2 OPN, 4 OPNA          SSG                           sound_psg.cpp
//   1 PSG, 15 AY           PSG                           sound_psg.cpp
//   4 OPNA                 rhythm, ADPCM                 sound_psg.cpp
//   16 DCSG                tone and noise channels       sound_psg.cpp
//   6 OPLL, 7 OPL,         FM voices, rhythm             sound_opl.cpp
//   8 OPL2, 9 OPL3
//   any other              silent
//
// Time. Writes come at moments; between two moments time passes (Advance).
// The writes of one moment take effect together, as a chip rendered at a
// fixed rate sees them: a key-on and a key-off written at the same moment
// never key the voice, and what a voice does from that moment on depends on
// the state the moment's last write left; but a key-off and a key-on of a
// held voice at one moment start its attack again (the FM and OPL2 renders
// do).
//
// Every part answers two questions about the future without further writes,
// in seconds from the present moment:
//   HeardIn      when the part is first heard: 0 = now, kNeverHeard = never
//   SilentAfter  when it falls silent for good: 0 = it is silent now and
//                stays so, kNeverHeard = it never does (or cannot be told)
// Both are worked out from the envelopes' rates in closed form or in large
// steps, never sample by sample: Write and Advance cost a few operations,
// and the answers are cached between writes.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "chip_rules.h"
#include "s98_image.h"

namespace zelta {

inline constexpr double kNeverHeard = std::numeric_limits<double>::infinity();

// One sounding part of one device.
class VoiceModel {
public:
    virtual ~VoiceModel() = default;
    // A write to the device at the present moment, to a register of this
    // part's (the song's model routes each write to one part; a part that
    // is alone on its device sees every write).
    virtual void Write(int port, std::uint8_t reg, std::uint8_t value) = 0;
    // `seconds` (> 0) pass with no write.
    virtual void Advance(double seconds) = 0;
    virtual double HeardIn() const = 0;
    virtual double SilentAfter() const = 0;
};

// The parts, each made for a device of the given type and clock (Hz, never 0).
std::unique_ptr<VoiceModel> MakeOpnFm(std::int32_t type, double clock);  // types 2, 3, 4
std::unique_ptr<VoiceModel> MakeOpmFm(double clock);
std::unique_ptr<VoiceModel> MakeSsg(std::int32_t type, double clock);    // types 1, 2, 4, 15
std::unique_ptr<VoiceModel> MakeOpnaRhythm(double clock);
std::unique_ptr<VoiceModel> MakeOpnaAdpcm(double clock);
std::unique_ptr<VoiceModel> MakeDcsg(double clock);
std::unique_ptr<VoiceModel> MakeOplFamily(std::int32_t type, double clock);  // types 6 to 9

// A part that is heard from its device's first key-on (KeyOnWatch, every
// chip's rules) to the end: what the model assumes of a chip it does not
// know.
std::unique_ptr<VoiceModel> MakeHeardFromKeyOn(std::int32_t type);

// The clock a device of `type` runs at when its entry gives none.
double UsualClock(std::int32_t type);

// Every device of a song, its parts together: heard when any part is.
class SoundModel {
public:
    explicit SoundModel(const DeviceTable& devices);
    void Write(const RegisterWrite& w) {
        // A device the table does not name makes no sound.
        if (static_cast<std::size_t>(w.device) >= routes_.size()) return;
        const std::uint16_t part = routes_[static_cast<std::size_t>(w.device)][w.port][w.reg];
        if (part != kNoPart) parts_[part]->Write(w.port, w.reg, w.value);
    }
    void Advance(double seconds);
    double HeardIn() const;
    double SilentAfter() const;

private:
    static constexpr std::uint16_t kNoPart = 0xFFFF;
    using Routes = std::array<std::array<std::uint16_t, 256>, 2>;  // port, register -> part
    void Add(int device, std::unique_ptr<VoiceModel> part, int port, int firstReg, int lastReg);

    std::vector<std::unique_ptr<VoiceModel>> parts_;
    std::vector<Routes> routes_;  // by device index
};

// Walks a validated stream from its first byte: onWrite(offset, write) for
// each register write, onWait(offset, ticks, length) for each wait (a 1-sync
// or an n-sync of `length` bytes); either stops the walk by returning false.
// Returns the offset of the end-of-data command, or the stream's end when
// there is none, or where the walk was stopped.
template <typename OnWrite, typename OnWait>
std::int64_t WalkStream(const S98Image& image, const S98Header& header,
                        const DeviceTable& devices, OnWrite&& onWrite, OnWait&& onWait) {
    std::int64_t at = header.dumpOffset;
    const std::int64_t end = std::min<std::int64_t>(header.streamEnd, image.size());
    while (at < end) {
        const std::uint8_t c = image.at(at);
        if (c == kEndOfData) return at;
        if (c == kOneSync) {
            if (!onWait(at, std::uint64_t{1}, std::int64_t{1})) return at;
            ++at;
        } else if (c == kNSync) {
            std::uint64_t count = 0;
            int shift = 0;
            std::int64_t q = at + 1;
            for (; q < end; ++q) {
                const std::uint8_t b = image.at(q);
                if (shift < 64) count |= std::uint64_t(b & kCountBits) << shift;
                shift += kCountBitsPerByte;
                if ((b & kCountContinues) == 0) break;
            }
            if (!onWait(at, count + kNSyncExtraTicks, q + 1 - at)) return at;
            at = q + 1;
        } else {
            if (at + kRegisterWriteSize > end) break;
            const int device = c >> kDeviceIndexShift;
            if (!onWrite(at, RegisterWrite{device, c & kPortBit, image.at(at + 1),
                                           image.at(at + 2),
                                           devices.types[static_cast<std::size_t>(device)]})) {
                return at;
            }
            at += kRegisterWriteSize;
        }
    }
    return end;
}

// A tick's length in seconds: tickNumer / tickDenom, 0 meaning 10 and 1000.
double TickSeconds(const S98Header& header);

// When a whole song is heard, the model following its stream in real time
// from the stream's first byte: the first and the last moment anything is
// heard, in seconds (-1 when nothing is), and where the stream ends.
struct HeardSpan {
    double first = -1;
    double last = -1;
    double end = 0;  // the end-of-data command's moment
};
// `image`'s stream must be validated (an output of the conversion, or a file
// it converted).
HeardSpan FollowInRealTime(const S98Image& image);

}  // namespace zelta
