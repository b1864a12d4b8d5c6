// The OPL family's voices (-s): YM2413 (OPLL, type 6), YM3526 (OPL, type 7),
// YM3812 (OPL2, type 8) and YMF262 (OPL3, type 9), followed operator by
// operator: when each one's envelope lets its output differ from zero.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

#include "sound_model.h"

namespace zelta {
namespace {

// ---------------------------------------------------------------------------
// Registers the model reads. Every other write (waveforms, vibrato and
// tremolo, timers, the F-number's low bits) changes no envelope, or only
// makes a voice quieter, and is passed over.
//
// OPL, OPL2, OPL3 (OPL3: the same on port 1 for channels 9-17):
//   reg        bits  what
//   ---------  ----  -------------------------------------------------------
//   0x20-0x35  5     operator: EGT, 1 = sustained type, 0 = percussive
//              4     KSR: the whole key scale goes into the rates, not 1/4
//   0x40-0x55  5-0   TL, 0.75 dB a step (KSL, bits 7-6, only makes it quieter)
//   0x60-0x75  7-4   AR; 3-0 DR
//   0x80-0x95  7-4   SL, 3 dB a step (15: 93 dB); 3-0 RR
//   0xB0-0xB8  5     channel key-on; 4-2 block; 1-0 F-number bits 9-8
//   0xC0-0xC8  0     connection: 1 = additive, both operators are carriers
//              7-4   OPL3: outputs A, B, C, D
//   0xBD       5     port 0: rhythm mode; 4-0 BD, SD, TOM, TC, HH
//   0x08       6     port 0: NTS, the key scale takes F-number bit 8, not 9
//   p1 0x04    5-0   OPL3: 4-operator pairs, bit n: channels n and n+3
//                    (bits 3-5: port 1's channels 0-2 with 3-5)
//   p1 0x05    0     OPL3: NEW, OPL3 mode (clear: it plays as an OPL2)
// Operator registers: the offset reg & 0x1F is 0-5, 8-13 or 16-21, group
// g = offset / 8 and k = offset % 8: channel 3g + k % 3, operator k / 3
// (0 the modulator, op 1; 1 the carrier, op 2).
//
// OPLL (one port):
//   reg        bits  what
//   ---------  ----  -------------------------------------------------------
//   0x00-0x07        the user instrument (0); the carrier's: 0x01 bit 5 EGT,
//                    bit 4 KSR; 0x05 AR 7-4, DR 3-0; 0x07 SL 7-4, RR 3-0
//   0x0E       5     rhythm mode; 4-0 BD, SD, TOM, TC, HH
//   0x20-0x28  5     the channel's sustain bit; 4 key-on; 3-1 block;
//                    0 F-number bit 8
//   0x30-0x38  7-4   instrument (0 user, 1-15 ROM); 3-0 volume (15 is not
//                    silent: passed over)
// ---------------------------------------------------------------------------
constexpr std::uint8_t kOpRegFirst = 0x20;
constexpr std::uint8_t kOpRegEnd = 0xA0;
constexpr std::uint8_t kOpRegGroup = 0xE0;
constexpr std::uint8_t kOpRegOffset = 0x1F;
constexpr int kGroupShift = 5;  // (reg & 0xE0) >> 5: 1 flags, 2 TL, 3 AR/DR, 4 SL/RR
enum OpReg { kFlags, kTl, kAttackDecay, kSustainRelease, kOpRegs };
constexpr int kOffsetsPerGroup = 8;
constexpr int kOpsPerGroup = 6;
constexpr int kChannelsPerGroup = 3;
constexpr int kLastOpOffset = 0x15;
constexpr std::uint8_t kChannelRegMask = 0xF0;
constexpr std::uint8_t kChannelBits = 0x0F;
constexpr std::uint8_t kKeyReg = 0xB0;
constexpr std::uint8_t kConnectionReg = 0xC0;
constexpr std::uint8_t kOplRhythmReg = 0xBD;
constexpr std::uint8_t kNtsReg = 0x08;
constexpr std::uint8_t kFourOpReg = 0x04;   // port 1
constexpr std::uint8_t kNewModeReg = 0x05;  // port 1
constexpr std::uint8_t kEgtBit = 0x20;
constexpr std::uint8_t kKsrBit = 0x10;
constexpr std::uint8_t kTlBits = 0x3F;
constexpr std::uint8_t kOplKeyBit = 0x20;
constexpr std::uint8_t kNtsBit = 0x40;
constexpr std::uint8_t kAdditiveBit = 0x01;
constexpr std::uint8_t kOutputBits = 0xF0;
constexpr std::uint8_t kNewModeBit = 0x01;
constexpr int kBlockShift = 2;
constexpr int kBits3 = 0x7;
constexpr int kFnum9Shift = 1;

constexpr std::uint8_t kOpllUserLast = 0x07;
constexpr std::uint8_t kOpllCarrierFlags = 0x01;
constexpr std::uint8_t kOpllCarrierAttack = 0x05;
constexpr std::uint8_t kOpllCarrierRelease = 0x07;
constexpr std::uint8_t kOpllRhythmReg = 0x0E;
constexpr std::uint8_t kOpllKeyFirst = 0x20;
constexpr std::uint8_t kOpllInstFirst = 0x30;
constexpr std::uint8_t kOpllSustainBit = 0x20;
constexpr std::uint8_t kOpllKeyBit = 0x10;
constexpr int kOpllBlockShift = 1;
constexpr int kInstShift = 4;
constexpr int kNibble = 4;
constexpr std::uint8_t kLowNibble = 0x0F;

constexpr int kChannels = 9;          // a port's
constexpr int kOpsPerChannel = 2;
constexpr int kOplPorts = 2;           // OPL3's; the others use port 0
constexpr int kFourOpPairs = 3;        // a port's
constexpr int kFirstRhythmChannel = 6;

// ---------------------------------------------------------------------------
// Which operators reach the output.
//
//   chip, mode                 carriers                         output
//   -------------------------  -------------------------------  ------------
//   OPLL                       the carrier (its modulator only  always
//                              bends the carrier's phase)
//   OPL, OPL2; OPL3, NEW 0     op 2; op 1 too when additive      always
//   OPL3, NEW 1                the same                          C0 bits 7-4
//   OPL3, NEW 1, 4-op pair     by C0 bit 0 of channels n, n+3:   C0 bits 7-4
//   (ops 1-4: n's op 1, op 2,   00 op 4; 10 ops 1, 4; 01 ops 2,   of n or n+3
//   then n+3's op 1, op 2)      4; 11 ops 1, 3, 4
//   rhythm mode, channels 6-8  every operator                   as the channel
//
// All four operators of a pair are keyed by channel n, and their rates take
// n's key scale; a key-on of channel n+3 is taken as theirs too.
// ---------------------------------------------------------------------------
constexpr std::uint8_t kFourOpCarriers[2][2] = {  // [n additive][n+3 additive], bit = op - 1
    {0b1000, 0b1010},
    {0b1001, 0b1101},
};

// ---------------------------------------------------------------------------
// Rhythm. The instruments' bits and the operators they key:
//
//   bit  instrument  OPL operators        OPLL: the carrier followed
//   ---  ----------  -------------------  --------------------------
//   4    BD          channel 6, both      channel 6
//   3    SD          channel 7, op 2      channel 7
//   2    TOM         channel 8, op 1      channel 8
//   1    TC          channel 8, op 2      channel 8
//   0    HH          channel 7, op 1      channel 7
//
// While rhythm mode and an instrument's bit are on, its operators are heard,
// whatever their envelopes say: the noise and the phase tricks of HH, SD and
// TC are not followed, and a driver may leave a bit on long after the hit
// has died. Once the bit clears they release from full level:
//   OPL   at the operator's own RR (its registers are the channel's).
//   OPLL  the instruments' envelopes are in ROM, and the model follows one
//         operator for each channel; it takes the slowest release any of them
//         can have: rate 5 (the sustain bit's; TC's RR is 5 too) with no key
//         scale, 1.29 s from full level to silence.
// On the OPLL, a channel 6-8 key-on in rhythm mode counts as that channel's
// instruments' bits.
// ---------------------------------------------------------------------------
constexpr std::uint8_t kRhythmModeBit = 0x20;
constexpr std::uint8_t kBd = 0x10;
constexpr std::uint8_t kSd = 0x08;
constexpr std::uint8_t kTom = 0x04;
constexpr std::uint8_t kTc = 0x02;
constexpr std::uint8_t kHh = 0x01;
constexpr std::uint8_t kOplDrumBits[3][kOpsPerChannel] = {{kBd, kBd}, {kHh, kSd}, {kTom, kTc}};
constexpr std::uint8_t kOpllDrumBits[3] = {kBd, kHh | kSd, kTom | kTc};
constexpr int kOpllDrumReleaseRate = 20;

// ---------------------------------------------------------------------------
// The OPLL's ROM instruments 1-15: the carrier's bytes 1 (EGT, KSR), 5 (AR,
// DR) and 7 (SL, RR). The published tables (read from the chip's die, or by
// ear) disagree on a few envelopes; each byte here is the loudest of them:
// the lowest AR, DR and SL (piano: AR 12, not 15; both sound at once), the
// RRs agree. The modulator is left out: it never reaches the output.
// ---------------------------------------------------------------------------
struct RomCarrier {
    std::uint8_t flags;
    std::uint8_t attackDecay;
    std::uint8_t sustainRelease;
};
constexpr RomCarrier kOpllRom[16] = {
    {0x00, 0x00, 0x00},  // 0: the user instrument, read from 0x00-0x07
    {0x61, 0x78, 0x17},  // violin
    {0x41, 0xF7, 0x13},  // guitar
    {0x01, 0xC4, 0x23},  // piano
    {0x61, 0x64, 0x27},  // flute
    {0x21, 0x76, 0x28},  // clarinet
    {0x22, 0x71, 0x18},  // oboe
    {0x61, 0x80, 0x07},  // trumpet
    {0x21, 0x70, 0x07},  // organ
    {0x61, 0x65, 0x17},  // horn
    {0x61, 0xF0, 0x07},  // synthesizer
    {0x01, 0xE4, 0x04},  // harpsichord
    {0xC1, 0xF8, 0x12},  // vibraphone
    {0x50, 0xF5, 0x42},  // synthesizer bass
    {0x01, 0x90, 0x02},  // acoustic bass
    {0x41, 0xE4, 0x13},  // electric guitar
};

// ---------------------------------------------------------------------------
// Envelopes, counted in steps of 0.1875 dB of attenuation (the OPLL's own
// steps are 0.375 dB: two of these).
//
//   chip        envelope        an operator's output is exactly zero when
//   ----------  --------------  --------------------------------------------
//   OPL family  9 bits, 0-511   envelope + 4 x TL >= 384 (72 dB): a carrier
//                               at TL 63 and full level still peaks at 17
//   OPLL        7 bits, 0-127   envelope >= 124 of its steps (248 here), its
//                               end; the volume is passed over (15 still
//                               peaks at 12)
//
// Phases, each moving at a rate:
//   phase    when                      rate                  until
//   -------  ------------------------  --------------------  ----------------
//   attack   key-on                    AR (0: never moves)   full level
//   decay    after the attack          DR                    SL x 16 steps
//   sustain  after the decay, keyed    EGT 1: holds; EGT 0:  the end
//                                      RR
//   release  after key-off             OPL family: RR        the end
//                                      OPLL: the sustain bit
//                                      5, else EGT 1 RR,
//                                      else 7
// A decay reaches its SL within SL's 16 steps (SL 0: at once); one above
// that band (SL lowered under it) goes on at DR.
//
// The rate of register value R: 0 when R is 0, else min(63, 4R + scale),
// scale = k with KSR, k / 4 without; k = block x 2 + the F-number's top bit
// (OPL family: bit 9, or 8 with NTS; OPLL: bit 8).
//
// Steps a sample at rate r, hi = r / 4, lo = r % 4:
//   hi 1-14    (4 + lo) / 2^(15 - hi)      rate 18: 3 steps in 1024 samples
//   hi 15      4
// The envelope steps once a sample: clock / 72 (OPLL, OPL, OPL2), clock / 288
// (OPL3), 49716 a second at the usual clocks. The OPLL moves the same dB a
// second as the others: half their steps, each twice as large. The release
// facts bear it out: OPL2 RR 4 (rate 18 with block 4's key scale) falls
// silent after 131040 samples, 384 steps take 131072; RR 8, 8168 for 8192;
// the OPLL's RR 1, 4 and 8 give 123.4-123.6 of its steps.
//
// At rates 60-63 the chip adds 4 steps a sample: 384 steps in 96 samples,
// which is the YM3526 render's RR 15 (84 frames at 44100). The OPL2 and OPL3
// renders move 8 a sample there (46 frames), and agree with the YM3526 to
// 0.1% at every lower rate. The model takes 4: it can only fall silent later.
// ---------------------------------------------------------------------------
constexpr double kOplSilentSteps = 384;
constexpr double kOplFullSteps = 511;
constexpr double kOpllSilentSteps = 248;
constexpr double kStepsPerTl = 4;
constexpr double kStepsPerSl = 16;
constexpr int kTopSl = 15;
constexpr double kOplTopSlSteps = 496;
constexpr double kSustainBandSteps = 16;
constexpr int kStepsPerRateLevel = 4;     // the 4 of 4R
constexpr int kMaxRate = 63;
constexpr int kKeyScaleShift = 2;         // k / 4 without KSR
constexpr int kRateHiShift = 2;
constexpr int kRateLoBits = 3;
constexpr int kRateLoBase = 4;
constexpr int kRateHiExponent = 15;
constexpr int kTopRateHi = 15;
constexpr double kTopRateSteps = 4;
constexpr double kOplClocksPerSample = 72;
constexpr double kOpl3ClocksPerSample = 288;
constexpr int kOpllSustainBitRate = 5;
constexpr int kOpllPercussiveRate = 7;

// ---------------------------------------------------------------------------
// The first sound after a key-on from rest, at rate r (hi = r / 4 below 12;
// from 12 up the first step comes within a sample or two, and from 15 the
// attack is over at once):
//
//   chip          earliest onset                        facts (AR 1/2/4/8)
//   ------------  ------------------------------------  -------------------
//   OPLL          its first attack step; the steps fall  at the 4096th,
//                 on the samples that are multiples of   2048th, 512th and
//                 2^(13 - hi), counted from the chip's   544th sample (the
//                 start                                  key-on: sample 497)
//   OPL (YM3526)  three attack steps (511, 447, 391,     5658, 2575, 782, 65
//                 342) and no three closer than          samples after it
//                 2^(13 - hi) samples (lo 0: twice that)
//   OPL2, OPL3    2^(13 - hi) samples after key-on in    4096, 2048, 512, 32
//                 the facts (lo 2), off the chip's step
//                 grid: counted from the key-on; the
//                 model takes half of it
// From anywhere but rest a key-on is heard at once. Where an attack ends is
// bounded by 64 steps' time at the attack's rate (the chip takes 35 from 511
// to 0); the OPLL's by 128 (64 of its own). Until then the operator counts
// as loud.
//
// And the safe side of every estimate: a step sequence's first step may fall
// anywhere in its cycle, so a silence comes up to 2 steps' time later than the
// rate says; the render resamples, smearing a change over a frame or two, so
// every onset is taken 1 ms sooner and every silence 1 ms later.
// ---------------------------------------------------------------------------
constexpr int kQuickOnsetHi = 12;
constexpr int kOpllOnsetGridExponent = 13;
constexpr int kOplOnsetExponent = 13;
constexpr int kOpl2OnsetExponent = 12;
constexpr double kOplAttackSteps = 64;
constexpr double kOpllAttackSteps = 128;
constexpr double kSlackSteps = 2;
constexpr double kLatency = 0.001;

constexpr double kForever = std::numeric_limits<double>::infinity();

enum class Family : std::uint8_t { kOpll, kOpl, kOpl2 };  // kOpl2: OPL2 and OPL3

enum class Phase : std::uint8_t { kRest, kAttack, kDecay, kSustain, kRelease, kHeld };

// An operator's key: kHeld is a rhythm instrument's bit.
enum class Key : std::uint8_t { kOff, kOn, kHeld };

// An envelope from `start` on: at `start` it is `level` steps (the least it
// can be). An attack's level is where it began; `fromRest` says it began at
// rest, no step yet taken.
struct Envelope {
    Phase phase = Phase::kRest;
    bool fromRest = false;
    double start = 0;
    double level = kForever;
};

// Rates 0-63 (0 never moves); `sustain` is 0 for a sustained type.
struct Rates {
    int attack = 0;
    int decay = 0;
    int sustain = 0;
    int release = 0;
    double sustainLevel = 0;
    bool operator==(const Rates&) const = default;
};

struct Operator {
    Rates rates;
    Key key = Key::kOff;
    bool reachesOutput = false;
    double silentSteps = kOplSilentSteps;  // the level from which it is silent
    Envelope envelope;
    // As the present moment found it: its writes take effect together.
    std::uint64_t moment = std::numeric_limits<std::uint64_t>::max();
    Rates momentRates;
    Key momentKey = Key::kOff;
    Envelope momentEnvelope;
    bool momentKeyOff = false;  // off at the moment's start or at one of its writes
};

// When an operator is heard, unless written to: from `from` until `until`
// (seconds; from kForever: never).
struct Window {
    double from = kForever;
    double until = kForever;
};

class OplFamily final : public VoiceModel {
public:
    OplFamily(std::int32_t type, double clock)
        : type_(type),
          family_(type == kTypeOpll  ? Family::kOpll
                  : type == kTypeOpl ? Family::kOpl
                                     : Family::kOpl2),
          sampleRate_(clock / (type == kTypeOpl3 ? kOpl3ClocksPerSample : kOplClocksPerSample)),
          opCount_(type == kTypeOpl3 ? kOps : kOps / kOplPorts) {
        for (int rate = 1; rate <= kMaxRate; ++rate) {
            const int hi = rate >> kRateHiShift;
            const int lo = rate & kRateLoBits;
            const double perSample = hi >= kTopRateHi
                                         ? kTopRateSteps
                                         : std::ldexp(kRateLoBase + lo, hi - kRateHiExponent);
            speeds_[static_cast<std::size_t>(rate)] = perSample * sampleRate_;
        }
    }

    void Write(int port, std::uint8_t reg, std::uint8_t value) override {
        if (family_ == Family::kOpll) {
            if (port == 0) WriteOpll(reg, value);
        } else if (port == 0 || type_ == kTypeOpl3) {
            WriteOpl(port, reg, value);
        }
    }
    void Advance(double seconds) override {
        now_ += seconds;
        ++moment_;
    }
    double HeardIn() const override {
        Gather();
        if (from_ == kForever || until_ <= now_) return kNeverHeard;
        return std::max(0.0, from_ - now_);
    }
    double SilentAfter() const override {
        Gather();
        if (from_ == kForever || until_ <= now_) return 0;
        return until_ - now_;  // kNeverHeard when it never ends
    }

private:
    static constexpr int kOps = kOplPorts * kChannels * kOpsPerChannel;

    void WriteOpl(int port, std::uint8_t reg, std::uint8_t value);
    void WriteOpll(std::uint8_t reg, std::uint8_t value);
    void RefreshChannel(int channel);  // both operators of a channel (0-17)
    void RefreshAll();
    void Refresh(int op);
    void DeriveOpl(int op, Operator& o) const;
    void DeriveOpll(int op, Operator& o) const;
    bool FourOp(int channel) const;
    int Partner(int channel) const;  // the other channel of its 4-op pair, or -1
    double Speed(int rate) const { return speeds_[static_cast<std::size_t>(rate)]; }
    double AttackEnd(const Envelope& e, const Rates& r) const;
    double Onset(const Envelope& e, const Rates& r) const;
    double Level(const Envelope& e, const Rates& r, double t) const;
    double Reach(const Envelope& e, const Rates& r, double steps) const;
    Envelope Freeze(const Envelope& e, const Rates& was, const Rates& is) const;
    Envelope Rekey(const Operator& o, const Envelope& base) const;
    Window HeardWindow(const Operator& o) const;
    void Gather() const;

    std::int32_t type_;
    Family family_;
    double sampleRate_;
    std::array<double, kMaxRate + 1> speeds_{};  // steps a second by rate
    double now_ = 0;
    std::uint64_t moment_ = 0;
    int opCount_;  // the operators the chip has
    std::array<Operator, kOps> ops_{};
    std::array<Window, kOps> windows_{};
    // OPL family registers, by operator and by channel (port x 9 + channel)
    std::array<std::array<std::uint8_t, kOpRegs>, kOps> opRegs_{};
    std::array<std::uint8_t, kOplPorts * kChannels> keyRegs_{};
    std::array<std::uint8_t, kOplPorts * kChannels> connectionRegs_{};
    std::uint8_t rhythm_ = 0;
    bool nts_ = false;
    std::uint8_t fourOp_ = 0;
    bool newMode_ = false;
    // OPLL registers
    std::array<std::uint8_t, kOpllUserLast + 1> user_{};
    std::array<std::uint8_t, kChannels> opllKeyRegs_{};
    std::array<std::uint8_t, kChannels> instRegs_{};
    std::uint8_t opllRhythm_ = 0;
    // The answers, gathered from the operators' windows
    mutable bool gathered_ = true;
    mutable double from_ = kForever;
    mutable double until_ = kForever;
};

int RateOf(int value, int keyScale) {
    return value == 0 ? 0 : std::min(kMaxRate, kStepsPerRateLevel * value + keyScale);
}

int KeyScale(bool ksr, int block, int fnumTop) {
    const int k = (block << 1) | fnumTop;
    return ksr ? k : k >> kKeyScaleShift;
}

// ---------------------------------------------------------------------------
// Writes
// ---------------------------------------------------------------------------
void OplFamily::WriteOpl(int port, std::uint8_t reg, std::uint8_t value) {
    if (port == 1 && reg == kFourOpReg) {
        fourOp_ = value;
        RefreshAll();
    } else if (port == 1 && reg == kNewModeReg) {
        newMode_ = (value & kNewModeBit) != 0;
        RefreshAll();
    } else if (port == 0 && reg == kNtsReg) {
        nts_ = (value & kNtsBit) != 0;
        RefreshAll();
    } else if (port == 0 && reg == kOplRhythmReg) {
        rhythm_ = value;
        for (int c = kFirstRhythmChannel; c < kChannels; ++c) RefreshChannel(c);
    } else if (reg >= kOpRegFirst && reg < kOpRegEnd) {
        const int offset = reg & kOpRegOffset;
        const int k = offset % kOffsetsPerGroup;
        if (offset > kLastOpOffset || k >= kOpsPerGroup) return;
        const int channel = port * kChannels + offset / kOffsetsPerGroup * kChannelsPerGroup +
                            k % kChannelsPerGroup;
        const int op = channel * kOpsPerChannel + k / kChannelsPerGroup;
        const int group = ((reg & kOpRegGroup) >> kGroupShift) - 1;
        opRegs_[static_cast<std::size_t>(op)][static_cast<std::size_t>(group)] = value;
        Refresh(op);
    } else if ((reg & kChannelBits) < kChannels &&
               ((reg & kChannelRegMask) == kKeyReg || (reg & kChannelRegMask) == kConnectionReg)) {
        const int channel = port * kChannels + (reg & kChannelBits);
        auto& regs = (reg & kChannelRegMask) == kKeyReg ? keyRegs_ : connectionRegs_;
        regs[static_cast<std::size_t>(channel)] = value;
        RefreshChannel(channel);
        if (const int partner = Partner(channel); partner >= 0) RefreshChannel(partner);
    }
}

void OplFamily::WriteOpll(std::uint8_t reg, std::uint8_t value) {
    if (reg <= kOpllUserLast) {
        user_[reg] = value;
        if (reg != kOpllCarrierFlags && reg != kOpllCarrierAttack && reg != kOpllCarrierRelease) return;
        for (int c = 0; c < kChannels; ++c) {
            if ((instRegs_[static_cast<std::size_t>(c)] >> kInstShift) == 0) RefreshChannel(c);
        }
    } else if (reg == kOpllRhythmReg) {
        opllRhythm_ = value;
        for (int c = kFirstRhythmChannel; c < kChannels; ++c) RefreshChannel(c);
    } else if (reg >= kOpllKeyFirst && reg < kOpllKeyFirst + kChannels) {
        opllKeyRegs_[reg - kOpllKeyFirst] = value;
        RefreshChannel(reg - kOpllKeyFirst);
    } else if (reg >= kOpllInstFirst && reg < kOpllInstFirst + kChannels) {
        instRegs_[reg - kOpllInstFirst] = value;
        RefreshChannel(reg - kOpllInstFirst);
    }
}

void OplFamily::RefreshChannel(int channel) {
    Refresh(channel * kOpsPerChannel);
    Refresh(channel * kOpsPerChannel + 1);
}

void OplFamily::RefreshAll() {
    for (int op = 0; op < opCount_; ++op) Refresh(op);
}

bool OplFamily::FourOp(int channel) const {
    if (type_ != kTypeOpl3 || !newMode_) return false;
    const int local = channel % kChannels;
    if (local >= 2 * kFourOpPairs) return false;
    const int pair = channel / kChannels * kFourOpPairs + local % kFourOpPairs;
    return (fourOp_ >> pair & 1) != 0;
}

int OplFamily::Partner(int channel) const {
    if (!FourOp(channel)) return -1;
    return channel % kChannels < kFourOpPairs ? channel + kFourOpPairs : channel - kFourOpPairs;
}

// An operator's rates, key and output from the registers in effect, then
// its envelope: unchanged when neither its rates nor its key differ from
// what the present moment found; otherwise carried to the present moment at
// the rates it had and sent on at the new ones, keyed on or off. A key-off
// and a key-on of a keyed operator at one moment may start its attack again
// (the OPL2 render does): taken as a key-on.
void OplFamily::Refresh(int op) {
    Operator& o = ops_[static_cast<std::size_t>(op)];
    if (o.moment != moment_) {
        o.moment = moment_;
        o.momentRates = o.rates;
        o.momentKey = o.key;
        o.momentEnvelope = o.envelope;
        o.momentKeyOff = o.key == Key::kOff;
    }
    const Rates rates = o.rates;
    const Key key = o.key;
    const bool reachesOutput = o.reachesOutput;
    const double silentSteps = o.silentSteps;
    const bool keyOff = o.momentKeyOff;
    if (family_ == Family::kOpll) {
        DeriveOpll(op, o);
    } else {
        DeriveOpl(op, o);
    }
    o.momentKeyOff = o.momentKeyOff || o.key == Key::kOff;
    if (o.rates == rates && o.key == key && o.reachesOutput == reachesOutput &&
        o.silentSteps == silentSteps && o.momentKeyOff == keyOff) {
        return;  // as it was
    }
    const bool rekeyed = o.key != o.momentKey || (o.momentKeyOff && o.key != Key::kOff);
    if (o.rates == o.momentRates && !rekeyed) {
        o.envelope = o.momentEnvelope;
    } else {
        const Envelope base = Freeze(o.momentEnvelope, o.momentRates, o.rates);
        o.envelope = rekeyed ? Rekey(o, base) : base;
    }
    windows_[static_cast<std::size_t>(op)] = HeardWindow(o);
    gathered_ = false;
}

void OplFamily::DeriveOpl(int op, Operator& o) const {
    const int channel = op / kOpsPerChannel;
    const int which = op % kOpsPerChannel;
    const int local = channel % kChannels;
    const bool fourOp = FourOp(channel);
    const bool second = fourOp && local >= kFourOpPairs;
    const int keyChannel = second ? channel - kFourOpPairs : channel;
    const std::uint8_t keyReg = keyRegs_[static_cast<std::size_t>(keyChannel)];
    const auto& regs = opRegs_[static_cast<std::size_t>(op)];
    const std::uint8_t flags = regs[kFlags];
    const int scale = KeyScale((flags & kKsrBit) != 0, keyReg >> kBlockShift & kBits3,
                               nts_ ? keyReg & 1 : keyReg >> kFnum9Shift & 1);
    const int sl = regs[kSustainRelease] >> kNibble;
    o.rates.attack = RateOf(regs[kAttackDecay] >> kNibble, scale);
    o.rates.decay = RateOf(regs[kAttackDecay] & kLowNibble, scale);
    o.rates.release = RateOf(regs[kSustainRelease] & kLowNibble, scale);
    o.rates.sustain = (flags & kEgtBit) != 0 ? 0 : o.rates.release;
    o.rates.sustainLevel = sl == kTopSl ? kOplTopSlSteps : sl * kStepsPerSl;
    o.silentSteps = kOplSilentSteps - kStepsPerTl * (regs[kTl] & kTlBits);

    const bool drums = (rhythm_ & kRhythmModeBit) != 0 && channel >= kFirstRhythmChannel &&
                       channel < kChannels;
    const std::uint8_t drumBit =
        drums ? kOplDrumBits[local - kFirstRhythmChannel][which] : std::uint8_t{0};
    const bool keyed = (keyReg & kOplKeyBit) != 0 ||
                       (second && (keyRegs_[static_cast<std::size_t>(channel)] & kOplKeyBit) != 0);
    o.key = (rhythm_ & drumBit) != 0 ? Key::kHeld : keyed ? Key::kOn : Key::kOff;

    bool carrier = false;
    bool output = true;
    const auto outputs = [&](int c) {
        return (connectionRegs_[static_cast<std::size_t>(c)] & kOutputBits) != 0;
    };
    if (fourOp) {
        const int first = second ? channel - kFourOpPairs : channel;
        const int n = connectionRegs_[static_cast<std::size_t>(first)] & kAdditiveBit;
        const int n3 = connectionRegs_[static_cast<std::size_t>(first + kFourOpPairs)] & kAdditiveBit;
        carrier = (kFourOpCarriers[n][n3] >> ((second ? 2 : 0) + which) & 1) != 0;
        output = outputs(first) || outputs(first + kFourOpPairs);
    } else {
        carrier = drums || which == 1 ||
                  (connectionRegs_[static_cast<std::size_t>(channel)] & kAdditiveBit) != 0;
        output = type_ != kTypeOpl3 || !newMode_ || outputs(channel);
    }
    o.reachesOutput = carrier && output;
}

void OplFamily::DeriveOpll(int op, Operator& o) const {
    const int channel = op / kOpsPerChannel;
    o.silentSteps = kOpllSilentSteps;
    o.reachesOutput = op % kOpsPerChannel == 1;
    if (!o.reachesOutput) return;  // the modulator: never followed
    const std::uint8_t keyReg = opllKeyRegs_[static_cast<std::size_t>(channel)];
    const bool keyed = (keyReg & kOpllKeyBit) != 0;
    if ((opllRhythm_ & kRhythmModeBit) != 0 && channel >= kFirstRhythmChannel) {
        o.rates = Rates{};
        o.rates.release = kOpllDrumReleaseRate;
        const bool struck = (opllRhythm_ & kOpllDrumBits[channel - kFirstRhythmChannel]) != 0;
        o.key = keyed || struck ? Key::kHeld : Key::kOff;
        return;
    }
    const int inst = instRegs_[static_cast<std::size_t>(channel)] >> kInstShift;
    const RomCarrier patch =
        inst == 0 ? RomCarrier{user_[kOpllCarrierFlags], user_[kOpllCarrierAttack], user_[kOpllCarrierRelease]}
                  : kOpllRom[inst];
    const int scale =
        KeyScale((patch.flags & kKsrBit) != 0, keyReg >> kOpllBlockShift & kBits3, keyReg & 1);
    const int rr = patch.sustainRelease & kLowNibble;
    const bool sustained = (patch.flags & kEgtBit) != 0;
    o.rates.attack = RateOf(patch.attackDecay >> kNibble, scale);
    o.rates.decay = RateOf(patch.attackDecay & kLowNibble, scale);
    o.rates.sustain = sustained ? 0 : RateOf(rr, scale);
    o.rates.release = RateOf((keyReg & kOpllSustainBit) != 0 ? kOpllSustainBitRate
                             : sustained                     ? rr
                                                             : kOpllPercussiveRate,
                             scale);
    o.rates.sustainLevel = (patch.sustainRelease >> kNibble) * kStepsPerSl;
    o.key = keyed ? Key::kOn : Key::kOff;
}

// ---------------------------------------------------------------------------
// Envelopes in time
// ---------------------------------------------------------------------------
double OplFamily::AttackEnd(const Envelope& e, const Rates& r) const {
    if (r.attack == 0) return kForever;
    if (r.attack >> kRateHiShift >= kTopRateHi) return e.start;
    return e.start + (family_ == Family::kOpll ? kOpllAttackSteps : kOplAttackSteps) / Speed(r.attack);
}

double OplFamily::Onset(const Envelope& e, const Rates& r) const {
    if (!e.fromRest) return e.start;
    if (r.attack == 0) return kForever;
    const int hi = r.attack >> kRateHiShift;
    if (hi >= kQuickOnsetHi) return e.start;
    double sound = 0;  // the sample it can sound from, counted from the chip's start
    const double keyOn = e.start * sampleRate_;
    switch (family_) {
    case Family::kOpll: {
        const double grid = std::ldexp(1.0, kOpllOnsetGridExponent - hi);
        // A key-on on a step's own sample (within rounding) meets that step.
        constexpr double kSameSample = 1e-6;
        sound = std::ceil(keyOn / grid - kSameSample) * grid;
        break;
    }
    case Family::kOpl: {
        const int lo = r.attack & kRateLoBits;
        sound = keyOn + std::ldexp(lo == 0 ? 2.0 : 1.0, kOplOnsetExponent - hi);
        break;
    }
    case Family::kOpl2:
        sound = keyOn + std::ldexp(1.0, kOpl2OnsetExponent - hi);
        break;
    }
    return std::max(e.start, sound / sampleRate_ - kLatency);
}

// The time a level of `steps` is reached from `level` at `start`, moving at
// `speed` steps a second.
double Linear(double level, double start, double speed, double steps) {
    if (level >= steps) return start;
    return speed == 0 ? kForever : start + (steps - level) / speed;
}

// A decay from `level` at `start`, then the sustain: its level at t...
double DecayLevel(double level, double start, double decay, double sustain, double sl, double t) {
    if (level < sl) {
        const double reach = Linear(level, start, decay, sl);
        if (t <= reach) return level + decay * (t - start);
        return sl + sustain * (t - reach);
    }
    return level + (level < sl + kSustainBandSteps ? sustain : decay) * (t - start);
}

// ... and when it reaches `steps`.
double DecayReach(double level, double start, double decay, double sustain, double sl,
                  double steps) {
    if (level < sl) {
        if (steps <= sl) return Linear(level, start, decay, steps);
        const double reach = Linear(level, start, decay, sl);
        return reach == kForever ? kForever : Linear(sl, reach, sustain, steps);
    }
    return Linear(level, start, level < sl + kSustainBandSteps ? sustain : decay, steps);
}

// The least attenuation the operator can have at t (>= e.start), in steps.
double OplFamily::Level(const Envelope& e, const Rates& r, double t) const {
    const double decay = Speed(r.decay);
    const double sustain = Speed(r.sustain);
    switch (e.phase) {
    case Phase::kRest:
        return kForever;
    case Phase::kHeld:
        return 0;
    case Phase::kAttack: {
        if (r.attack == 0) return e.level;
        if (t < Onset(e, r)) {  // from rest, no step yet: silent still
            return (family_ == Family::kOpll ? kOpllSilentSteps : kOplSilentSteps) + kSlackSteps;
        }
        const double end = AttackEnd(e, r);
        return t < end ? 0 : DecayLevel(0, end, decay, sustain, r.sustainLevel, t);
    }
    case Phase::kDecay:
        return DecayLevel(e.level, e.start, decay, sustain, r.sustainLevel, t);
    case Phase::kSustain:
        return e.level + sustain * (t - e.start);
    case Phase::kRelease:
        return e.level + Speed(r.release) * (t - e.start);
    }
    return 0;
}

// When the operator's least attenuation reaches `steps`, with no more
// writes (kForever: never).
double OplFamily::Reach(const Envelope& e, const Rates& r, double steps) const {
    const double decay = Speed(r.decay);
    const double sustain = Speed(r.sustain);
    switch (e.phase) {
    case Phase::kRest:
        return e.start;
    case Phase::kHeld:
        return kForever;
    case Phase::kAttack:
        if (r.attack == 0) return e.level >= steps ? e.start : kForever;
        return DecayReach(0, AttackEnd(e, r), decay, sustain, r.sustainLevel, steps);
    case Phase::kDecay:
        return DecayReach(e.level, e.start, decay, sustain, r.sustainLevel, steps);
    case Phase::kSustain:
        return Linear(e.level, e.start, sustain, steps);
    case Phase::kRelease:
        return Linear(e.level, e.start, Speed(r.release), steps);
    }
    return kForever;
}

// The envelope carried to the present moment at the rates `was`, to go on at
// the rates `is`. An attack whose rate changes before it can have been heard
// has made steps the model cannot count: from then on it counts as heard.
Envelope OplFamily::Freeze(const Envelope& e, const Rates& was, const Rates& is) const {
    switch (e.phase) {
    case Phase::kRest:
    case Phase::kHeld:
        return e;
    case Phase::kAttack: {
        if (was.attack == 0) {  // no step taken: it starts now
            Envelope now = e;
            now.start = now_;
            return now;
        }
        const double end = AttackEnd(e, was);
        if (now_ >= end) return Freeze(Envelope{Phase::kDecay, false, end, 0}, was, is);
        if (was.attack == is.attack) return e;
        return Envelope{Phase::kAttack, false, now_, 0};
    }
    case Phase::kDecay: {
        const double level = Level(e, was, now_);
        const double sl = was.sustainLevel;
        const bool sustaining =
            e.level < sl ? level >= sl : e.level < sl + kSustainBandSteps;
        return Envelope{sustaining ? Phase::kSustain : Phase::kDecay, false, now_, level};
    }
    case Phase::kSustain:
    case Phase::kRelease:
        return Envelope{e.phase, false, now_, Level(e, was, now_)};
    }
    return e;
}

// The envelope after the key changed at the present moment, from `base`
// (the envelope as the moment found it, carried to it).
Envelope OplFamily::Rekey(const Operator& o, const Envelope& base) const {
    if (o.key == Key::kHeld) return Envelope{Phase::kHeld, false, now_, 0};
    if (o.momentKey == Key::kHeld && !o.momentKeyOff) {
        return Envelope{o.key == Key::kOn ? Phase::kDecay : Phase::kRelease, false, now_, 0};
    }
    const double level = Level(base, o.momentRates, now_);
    if (o.key == Key::kOff) return Envelope{Phase::kRelease, false, now_, level};
    // A key-on: from rest (OPL family: the envelope's end; OPLL: silent) the
    // onset rules hold, from anywhere else it is heard at once.
    const double rest = family_ == Family::kOpll ? kOpllSilentSteps : kOplFullSteps;
    return Envelope{Phase::kAttack, level >= rest + kSlackSteps, now_, level};
}

// Where the operator is heard: from its onset (or now) while its least
// attenuation stays under its silence.
Window OplFamily::HeardWindow(const Operator& o) const {
    if (!o.reachesOutput || o.envelope.phase == Phase::kRest) return {};
    const Envelope& e = o.envelope;
    const double silent = o.silentSteps + kSlackSteps;
    const double from = e.phase == Phase::kAttack ? Onset(e, o.rates) : e.start;
    if (from == kForever || Level(e, o.rates, from) >= silent) return {};
    return {from, Reach(e, o.rates, silent) + kLatency};
}

void OplFamily::Gather() const {
    if (gathered_) return;
    gathered_ = true;
    from_ = kForever;
    until_ = 0;
    for (int op = 0; op < opCount_; ++op) {
        const Window& w = windows_[static_cast<std::size_t>(op)];
        if (w.from == kForever || w.until <= now_) continue;
        from_ = std::min(from_, w.from);
        until_ = std::max(until_, w.until);
    }
}

}  // namespace

std::unique_ptr<VoiceModel> MakeOplFamily(std::int32_t type, double clock) {
    return std::make_unique<OplFamily>(type, clock);
}

}  // namespace zelta
