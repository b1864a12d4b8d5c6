// When the SSG (of the OPN and the OPNA, and the PSG and AY chips), the
// OPNA's rhythm and ADPCM, and the DCSG are heard.
//
// ---------------------------------------------------------------------------
// SSG: OPN (type 2) and OPNA (type 4) port 0, PSG (type 1), AY (type 15).
//
//   reg        bits      meaning                       heard
//   ---------  --------  ----------------------------  ------------------------
//   0x08-0x0A  4         channel A/B/C envelope mode   while the envelope is
//                                                      not at 0
//              3-0       channel A/B/C level           while not 0, whatever
//                                                      the mixer (tone and
//                                                      noise off: a constant)
//   0x0B/0x0C  7-0       envelope period EP, low/high  (how long it runs)
//   0x0D       3-0       envelope shape; a write       (which way it goes)
//                        restarts the envelope
//   0x00-0x07  7-0       tone, noise, mixer            never silence a level
//   0x0E-0x0F  7-0       I/O ports                     -
//
// Envelope shapes (bit 3 continue, 2 attack, 1 alternate, 0 hold):
//
//   shape                  course                          ends at 0
//   ---------------------  ------------------------------  ---------
//   0-3, 9                 falls, then stays 0             yes
//   4-7, 0xF               rises, drops to 0, stays 0      yes
//   8, 0xA, 0xC, 0xE       repeats forever                 no
//   0xB, 0xD               falls or rises, holds the top   no
//
// One pass of the envelope lasts 256 × EP clocks of the SSG's own clock:
// the chip's clock over 4 on the OPNA, over 2 on the OPN, and over 2 on
// the PSG and AY as the measured renders take them (a YM2149 with its
// clock halved; twice a real AY's time). An envelope that ends at 0 is at
// 0 for good within one pass of its restart: 31 of 32 steps for a fall,
// 32 for a rise (measured: 1365-1447 frames at 44,100 Hz for EP 0x100 on
// the OPNA, 5580-5789 for EP 0x400; PSG and AY about twice that). EP 0 is
// taken as 0x10000, the longest. Before any 0x0D write the envelope's
// course is not known: a channel in envelope mode is heard for good.
//
// ---------------------------------------------------------------------------
// OPNA rhythm (type 4), port 0.
//
//   reg        bits  meaning
//   ---------  ----  -------------------------------------------------------
//   0x10       7     0: key on, 1: dump (cut at once) the instruments named
//              5-0   instruments: 0 BD, 1 SD, 2 TOP, 3 HH, 4 TOM, 5 RIM
//   0x11       5-0   total level TL (63 loudest)
//   0x18-0x1D  7-6   instrument BD..RIM: pan left, right
//              4-0   instrument level IL (31 loudest)
//
// An instrument plays for its sample's length from its key-on, and is heard
// while it plays if a pan bit is set and TL + IL > 31 (31 and below give
// exact zeros). Lengths, measured at 7,987,200 Hz to the last nonzero
// sample, and as taken (the measured longest and 2 %, in whole ms; they
// scale with the clock):
//
//   instrument  BD  SD  TOP  HH  TOM  RIM
//   measured    48  69  644  42  138   28
//   taken       50  71  657  43  141   29
//
// Until written, the levels and pans are taken at their loudest.
//
// ---------------------------------------------------------------------------
// OPNA ADPCM (type 4), port 1.
//
//   reg        bits  meaning
//   ---------  ----  -------------------------------------------------------
//   0x00       7     start: plays from the start address (any write with
//                    it restarts); a write without it stops
//              6     record: no playback
//              5     memory: play from memory (0: from the CPU, 0x08)
//              4     repeat: at the stop address, play again from the start
//              3     speaker off: not taken as silence (renders mix the
//                    ADPCM whatever this bit says)
//              0     reset: stops, and clears the output
//   0x01       7-6   pan left, right: both 0 is silence
//              1-0   memory kind: sets the address unit (below)
//   0x02/0x03        start address, low/high (in units)
//   0x04/0x05        stop address, low/high (in units)
//   0x09/0x0A        delta-N, low/high: the playback rate
//   0x0B             level: 0 is silence
//   0x0C/0x0D        limit address: the address wraps to 0 past it
//
// A start from memory plays (stop - start + 1) units of 4-bit samples,
// going on through the limit (to 0) when it lies between them, at
// delta-N / 65536 samples per tick of the chip's clock / 144; 32 bytes a
// unit (x8 memory and ROM; x1 memory's unit is 4 bytes in some emulations
// and 32 in others: the longer is taken). Playback ends there unless repeat is
// on; with repeat, CPU data, delta-N 0, or an address that never meets
// the stop address, it goes on until a stop or reset. A stop leaves the
// output where the decoder was (heard, until a reset or a new start); the
// end of the samples and a reset clear it. Until written, the level and pan
// are taken at their loudest and the limit as 0xFFFF.
//
// ---------------------------------------------------------------------------
// DCSG: SN76489 (type 16). The chip takes the command's value byte; a
// register byte of 1 writes the stereo register, which is not followed
// (every channel is taken as panned).
//
//   value byte                    meaning
//   ----------------------------  --------------------------------------------
//   1 r r t d d d d  (latch)      register rr t (t = 1: channel rr's
//                                 attenuation) takes dddd, and is latched
//   0 - d d d d d d  (data)       the latched register takes the byte: an
//                                 attenuation its low 4 bits
//
// A channel (3 tones and the noise) is heard while its attenuation is not
// 0xF; all are 0xF at reset. Tone periods 2 to 5 (22 kHz and above)
// render as exact zeros, but the chip's output still moves: taken as heard.
//
// ---------------------------------------------------------------------------
// The OPN's and OPNA's prescaler writes (port 0, 0x2D-0x2F) can only quicken
// the SSG, the rhythm and the ADPCM from their rates at reset, the slowest:
// they are not followed.
//
// The DCSG, the rhythm and the ADPCM are resampled for a render: the frame
// where a silencing write lands can still hold part of the sound. A part
// heard up to a write that silences it is heard a short tail more.
#include <algorithm>
#include <array>

#include "sound_model.h"

namespace zelta {
namespace {

// The future of a part without further writes, in seconds from now.
struct Span {
    double in = kNeverHeard;  // heard from
    double after = 0;         // silent for good after
};
constexpr Span kSilent{};
constexpr Span HeardFor(double seconds) { return {0, seconds}; }

// Longer than one frame of a 44,100 Hz render.
constexpr double kResampleTail = 1e-4;

// A part answered from its state: a derived class takes its registers'
// writes, moves its state on in time and tells its span from the state.
// The span is worked out once a moment, and moved on with the time between
// moments (without writes the future does not change).
class StatePart : public VoiceModel {
public:
    explicit StatePart(double tail) : tail_(tail) {}

    void Write(int port, std::uint8_t reg, std::uint8_t value) final {
        if (Take(port, reg, value)) stale_ = true;
    }
    void Advance(double seconds) final {
        Resolve();
        heardBefore_ = base_.in < seconds && base_.after >= seconds;
        if (base_.after != kNeverHeard) base_.after = std::max(0.0, base_.after - seconds);
        if (base_.after == 0) {
            base_ = kSilent;
        } else if (base_.in != kNeverHeard) {
            base_.in = std::max(0.0, base_.in - seconds);
        }
        tailLeft_ = std::max(0.0, tailLeft_ - seconds);
        Pass(seconds);
    }
    double HeardIn() const final {
        Resolve();
        return tailLeft_ > 0 ? 0 : base_.in;
    }
    double SilentAfter() const final {
        Resolve();
        return std::max(base_.after, tailLeft_);
    }

protected:
    // A write to the device: false when the register is not the part's.
    virtual bool Take(int port, std::uint8_t reg, std::uint8_t value) = 0;
    virtual void Pass(double seconds) = 0;
    virtual Span Now() const = 0;

private:
    void Resolve() const {
        if (!stale_) return;
        stale_ = false;
        base_ = Now();
        if (heardBefore_ && base_.after < tail_) tailLeft_ = tail_;
    }

    double tail_;
    bool heardBefore_ = false;  // heard up to the present moment
    mutable bool stale_ = false;
    mutable Span base_;          // from the state alone
    mutable double tailLeft_ = 0;
};

constexpr bool InRange(std::uint8_t v, std::uint8_t first, std::uint8_t last) {
    return v >= first && v <= last;
}

// ---------------------------------------------------------------------------
// SSG
// ---------------------------------------------------------------------------
constexpr std::uint8_t kSsgLevelFirst = 0x08;
constexpr std::uint8_t kSsgLevelLast = 0x0A;
constexpr std::uint8_t kSsgEnvelopePeriodLow = 0x0B;
constexpr std::uint8_t kSsgEnvelopePeriodHigh = 0x0C;
constexpr std::uint8_t kSsgEnvelopeShape = 0x0D;
constexpr std::uint8_t kSsgEnvelopeMode = 0x10;
constexpr std::uint8_t kSsgLevelBits = 0x0F;
constexpr std::uint8_t kSsgShapeBits = 0x0F;
constexpr int kSsgChannels = 3;
constexpr double kSsgPeriodZero = 0x10000;
constexpr double kEnvelopePassClocks = 256;
// The SSG's clock: the chip's over 4 on the OPNA, over 2 on the others.
constexpr double kOpnaSsgDivider = 4;
constexpr double kSsgDivider = 2;
// Whether each shape ends at 0 for good (the table above).
constexpr std::array<bool, 16> kShapeEndsAtZero = {
    true, true, true, true, true, true, true, true,       // 0-7
    false, true, false, false, false, false, false, true  // 8-F
};
// The model's pass: a thirty-second more, and a millisecond.
constexpr double kEnvelopeMarginShare = 1.0 / 32;
constexpr double kEnvelopeMarginSeconds = 1e-3;
// A period changed while the envelope runs: the step under way may take a
// whole step of the new period (a sixteenth of a pass on the AY).
constexpr double kEnvelopeStepShare = 1.0 / 16;

class Ssg final : public StatePart {
public:
    Ssg(std::int32_t type, double clock)
        : StatePart(0), periodSeconds_(kEnvelopePassClocks *
                                       (type == kTypeOpna ? kOpnaSsgDivider : kSsgDivider) /
                                       clock) {}

private:
    bool Take(int port, std::uint8_t reg, std::uint8_t value) override {
        if (port != 0) return false;
        if (InRange(reg, kSsgLevelFirst, kSsgLevelLast)) {
            level_[reg - kSsgLevelFirst] = value;
            return true;
        }
        switch (reg) {
        case kSsgEnvelopePeriodLow:
            SetPeriod((period_ & 0xFF00u) | value);
            return true;
        case kSsgEnvelopePeriodHigh:
            SetPeriod((period_ & 0x00FFu) | unsigned(value) << 8);
            return true;
        case kSsgEnvelopeShape:
            shape_ = value & kSsgShapeBits;
            shapeKnown_ = true;
            progress_ = 0;
            return true;
        default:
            return false;
        }
    }
    void Pass(double seconds) override {
        if (Running()) progress_ += seconds / PassSeconds();
    }
    Span Now() const override {
        bool envelopeHeard = false;
        for (const std::uint8_t level : level_) {
            if ((level & kSsgEnvelopeMode) == 0) {
                if ((level & kSsgLevelBits) != 0) return HeardFor(kNeverHeard);
            } else if (!shapeKnown_ || !kShapeEndsAtZero[shape_]) {
                return HeardFor(kNeverHeard);
            } else {
                envelopeHeard = envelopeHeard || progress_ < 1;
            }
        }
        return envelopeHeard ? HeardFor((1 - progress_) * PassSeconds()) : kSilent;
    }

    bool Running() const { return shapeKnown_ && kShapeEndsAtZero[shape_] && progress_ < 1; }
    double PassSeconds() const {
        const double period = period_ == 0 ? kSsgPeriodZero : double(period_);
        return period * periodSeconds_ * (1 + kEnvelopeMarginShare) + kEnvelopeMarginSeconds;
    }
    void SetPeriod(unsigned period) {
        if (period == period_) return;
        if (Running()) progress_ -= kEnvelopeStepShare;
        period_ = period;
    }

    double periodSeconds_;  // one pass per unit of EP
    std::array<std::uint8_t, kSsgChannels> level_{};
    unsigned period_ = 0;
    unsigned shape_ = 0;
    bool shapeKnown_ = false;
    double progress_ = 0;  // passes since the restart
};

// ---------------------------------------------------------------------------
// OPNA rhythm
// ---------------------------------------------------------------------------
constexpr std::uint8_t kRhythmKeyReg = 0x10;
constexpr std::uint8_t kRhythmDump = 0x80;
constexpr std::uint8_t kRhythmTotalLevelReg = 0x11;
constexpr std::uint8_t kRhythmTotalLevelBits = 0x3F;
constexpr std::uint8_t kRhythmInstrumentFirst = 0x18;
constexpr std::uint8_t kRhythmInstrumentLast = 0x1D;
constexpr std::uint8_t kRhythmPanBits = 0xC0;
constexpr std::uint8_t kRhythmLevelBits = 0x1F;
constexpr int kRhythmSilentLevels = 31;  // TL + IL at or below: exact zeros
constexpr int kRhythmInstruments = 6;
constexpr double kRhythmMeasuredClock = 7987200;
constexpr std::array<double, kRhythmInstruments> kRhythmSeconds = {
    0.050, 0.071, 0.657, 0.043, 0.141, 0.029,  // BD SD TOP HH TOM RIM
};
constexpr std::uint8_t kRhythmLoudestTotal = 0x3F;
constexpr std::uint8_t kRhythmLoudestInstrument = 0xDF;

class OpnaRhythm final : public StatePart {
public:
    explicit OpnaRhythm(double clock) : StatePart(kResampleTail) {
        for (int i = 0; i < kRhythmInstruments; ++i) {
            length_[i] = kRhythmSeconds[i] * kRhythmMeasuredClock / clock;
        }
        instrument_.fill(kRhythmLoudestInstrument);
    }

private:
    bool Take(int port, std::uint8_t reg, std::uint8_t value) override {
        if (port != 0) return false;
        if (reg == kRhythmKeyReg) {
            const bool dump = (value & kRhythmDump) != 0;
            for (int i = 0; i < kRhythmInstruments; ++i) {
                if ((value >> i & 1) != 0) left_[i] = dump ? 0 : length_[i];
            }
            return true;
        }
        if (reg == kRhythmTotalLevelReg) {
            total_ = value & kRhythmTotalLevelBits;
            return true;
        }
        if (InRange(reg, kRhythmInstrumentFirst, kRhythmInstrumentLast)) {
            instrument_[reg - kRhythmInstrumentFirst] = value;
            return true;
        }
        return false;
    }
    void Pass(double seconds) override {
        for (double& left : left_) left = std::max(0.0, left - seconds);
    }
    Span Now() const override {
        double after = 0;
        for (int i = 0; i < kRhythmInstruments; ++i) {
            const std::uint8_t inst = instrument_[i];
            if ((inst & kRhythmPanBits) != 0 && total_ + (inst & kRhythmLevelBits) > kRhythmSilentLevels) {
                after = std::max(after, left_[i]);
            }
        }
        return after > 0 ? HeardFor(after) : kSilent;
    }

    std::array<double, kRhythmInstruments> length_{};
    std::array<double, kRhythmInstruments> left_{};  // of each instrument's sample
    std::array<std::uint8_t, kRhythmInstruments> instrument_{};
    int total_ = kRhythmLoudestTotal;
};

// ---------------------------------------------------------------------------
// OPNA ADPCM
// ---------------------------------------------------------------------------
constexpr std::uint8_t kAdpcmControlReg = 0x00;
constexpr std::uint8_t kAdpcmStart = 0x80;
constexpr std::uint8_t kAdpcmRecord = 0x40;
constexpr std::uint8_t kAdpcmMemory = 0x20;
constexpr std::uint8_t kAdpcmRepeat = 0x10;
constexpr std::uint8_t kAdpcmReset = 0x01;
constexpr std::uint8_t kAdpcmControl2Reg = 0x01;
constexpr std::uint8_t kAdpcmPanBits = 0xC0;
constexpr std::uint8_t kAdpcmStartLow = 0x02;
constexpr std::uint8_t kAdpcmStartHigh = 0x03;
constexpr std::uint8_t kAdpcmStopLow = 0x04;
constexpr std::uint8_t kAdpcmStopHigh = 0x05;
constexpr std::uint8_t kAdpcmDeltaNLow = 0x09;
constexpr std::uint8_t kAdpcmDeltaNHigh = 0x0A;
constexpr std::uint8_t kAdpcmLevelReg = 0x0B;
constexpr std::uint8_t kAdpcmLimitLow = 0x0C;
constexpr std::uint8_t kAdpcmLimitHigh = 0x0D;
constexpr std::uint8_t kAdpcmLastReg = 0x10;
constexpr double kAdpcmClocksPerTick = 144;
constexpr double kAdpcmDeltaNUnity = 65536;
constexpr double kAdpcmSamplesPerUnit = 64;  // 32 bytes of 4-bit samples
// A few samples more: the decoder's steps and fetches lag the address.
constexpr double kAdpcmMarginSamples = 8;
constexpr unsigned kAdpcmLimitAtReset = 0xFFFF;
constexpr std::uint8_t kAdpcmLoudestLevel = 0xFF;
constexpr std::uint8_t kAdpcmLoudestControl2 = kAdpcmPanBits;

class OpnaAdpcm final : public StatePart {
public:
    explicit OpnaAdpcm(double clock)
        : StatePart(kResampleTail), samplesPerSecondPerDeltaN_(clock / kAdpcmClocksPerTick / kAdpcmDeltaNUnity) {}

private:
    bool Take(int port, std::uint8_t reg, std::uint8_t value) override {
        if (port != 1 || reg > kAdpcmLastReg) return false;
        regs_[reg] = value;
        if (reg == kAdpcmControlReg) {
            Control(value);
        } else if (playing_ && (InRange(reg, kAdpcmStopLow, kAdpcmStopHigh) ||
                                InRange(reg, kAdpcmLimitLow, kAdpcmLimitHigh))) {
            // The address already past the new stop goes round the memory.
            if (EndSamples() <= position_) passedEnd_ = true;
        }
        return true;
    }
    void Control(std::uint8_t value) {
        if ((value & kAdpcmStart) != 0) {
            held_ = false;
            playing_ = (value & kAdpcmRecord) == 0;
            startUnit_ = Pair(kAdpcmStartLow, kAdpcmStartHigh);
            position_ = 0;
            passedEnd_ = false;
        } else {
            held_ = held_ || (playing_ && position_ > 0);
            playing_ = false;
        }
        if ((value & kAdpcmReset) != 0) {
            playing_ = false;
            held_ = false;
        }
    }
    void Pass(double seconds) override {
        if (!playing_) return;
        position_ += seconds * Rate();
        if (position_ >= End()) playing_ = false;
    }
    Span Now() const override {
        if (!(playing_ || held_) || regs_[kAdpcmLevelReg] == 0 ||
            (regs_[kAdpcmControl2Reg] & kAdpcmPanBits) == 0) {
            return kSilent;
        }
        const double rate = Rate();
        if (held_ || rate == 0) return HeardFor(kNeverHeard);
        const double end = End();
        return HeardFor(end == kNeverHeard ? kNeverHeard : (end - position_) / rate);
    }

    unsigned Pair(std::uint8_t low, std::uint8_t high) const {
        return unsigned(regs_[low]) | unsigned(regs_[high]) << 8;
    }
    double Rate() const { return Pair(kAdpcmDeltaNLow, kAdpcmDeltaNHigh) * samplesPerSecondPerDeltaN_; }
    // Samples from the start to where playback ends, kNeverHeard when it
    // goes on.
    double End() const {
        const std::uint8_t control = regs_[kAdpcmControlReg];
        if ((control & kAdpcmMemory) == 0 || (control & kAdpcmRepeat) != 0 || passedEnd_) {
            return kNeverHeard;
        }
        return EndSamples();
    }
    double EndSamples() const {
        const double start = startUnit_;
        const double stop = Pair(kAdpcmStopLow, kAdpcmStopHigh);
        const double limit = Pair(kAdpcmLimitLow, kAdpcmLimitHigh);
        double units = 0;
        if (start <= stop && !(start <= limit && limit < stop)) {
            units = stop - start + 1;
        } else if (start <= limit) {
            units = (limit - start + 1) + (stop + 1);  // round through 0
        } else {
            return kNeverHeard;  // round the whole memory
        }
        return units * kAdpcmSamplesPerUnit + kAdpcmMarginSamples;
    }

    double samplesPerSecondPerDeltaN_;
    std::array<std::uint8_t, kAdpcmLastReg + 1> regs_ = MakeResetRegs();
    bool playing_ = false;
    bool held_ = false;       // stopped with the output left where it was
    bool passedEnd_ = false;  // the stop address moved behind the address
    unsigned startUnit_ = 0;
    double position_ = 0;     // samples played since the start

    static std::array<std::uint8_t, kAdpcmLastReg + 1> MakeResetRegs() {
        std::array<std::uint8_t, kAdpcmLastReg + 1> regs{};
        regs[kAdpcmControl2Reg] = kAdpcmLoudestControl2;
        regs[kAdpcmLevelReg] = kAdpcmLoudestLevel;
        regs[kAdpcmLimitLow] = kAdpcmLimitAtReset & 0xFF;
        regs[kAdpcmLimitHigh] = kAdpcmLimitAtReset >> 8;
        return regs;
    }
};

// ---------------------------------------------------------------------------
// DCSG
// ---------------------------------------------------------------------------
constexpr std::uint8_t kDcsgStereoReg = 0x01;
constexpr std::uint8_t kDcsgLatchBit = 0x80;
constexpr int kDcsgRegisterShift = 4;
constexpr unsigned kDcsgRegisterBits = 0x7;
constexpr unsigned kDcsgVolumeBit = 0x1;
constexpr std::uint8_t kDcsgAttenuationBits = 0x0F;
constexpr std::uint8_t kDcsgSilent = 0x0F;
constexpr int kDcsgChannels = 4;

class Dcsg final : public StatePart {
public:
    Dcsg() : StatePart(kResampleTail) { attenuation_.fill(kDcsgSilent); }

private:
    bool Take(int, std::uint8_t reg, std::uint8_t value) override {
        if (reg == kDcsgStereoReg) return false;
        if ((value & kDcsgLatchBit) != 0) latched_ = (unsigned(value) >> kDcsgRegisterShift) & kDcsgRegisterBits;
        if ((latched_ & kDcsgVolumeBit) == 0) return false;
        attenuation_[latched_ >> 1] = value & kDcsgAttenuationBits;
        return true;
    }
    void Pass(double) override {}
    Span Now() const override {
        for (const std::uint8_t a : attenuation_) {
            if (a != kDcsgSilent) return HeardFor(kNeverHeard);
        }
        return kSilent;
    }

    std::array<std::uint8_t, kDcsgChannels> attenuation_{};
    unsigned latched_ = 0;  // r r t of the last latch byte
};

}  // namespace

std::unique_ptr<VoiceModel> MakeSsg(std::int32_t type, double clock) {
    return std::make_unique<Ssg>(type, clock);
}
std::unique_ptr<VoiceModel> MakeOpnaRhythm(double clock) { return std::make_unique<OpnaRhythm>(clock); }
std::unique_ptr<VoiceModel> MakeOpnaAdpcm(double clock) { return std::make_unique<OpnaAdpcm>(clock); }
std::unique_ptr<VoiceModel> MakeDcsg(double) { return std::make_unique<Dcsg>(); }

}  // namespace zelta
