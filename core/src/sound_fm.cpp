// The FM voices of the OPN family (YM2203, YM2612 with its DAC, YM2608) and
// of the OPM (YM2151): when each carrier can be heard, from its operator's
// envelope, worked out in closed form.
//
// ---------------------------------------------------------------------------
// Chips. An FM sample takes `divider` clocks; the envelope generator (EG)
// steps once every 3 FM samples.
//
//   type        chip     channels            divider  EG step at the usual clock
//   ----------  -------  ------------------  -------  -------------------------
//   2 OPN       YM2203   3, port 0           72       54.1 us (3993600 Hz)
//   3 OPN2      YM2612   6, ports 0 and 1    144      56.3 us (7670454 Hz)
//   4 OPNA      YM2608   6, ports 0 and 1    144      54.1 us (7987200 Hz)
//   5 OPM       YM2151   8, one port         64       48.0 us (4000000 Hz)
//
// The rendered releases bear these out: OPNA and OPN alike to the frame (the
// same FM rate, 55467 Hz), OPN2 about 4% longer (53267 Hz), OPM shorter by
// the ratio of 62500 Hz; a release from full volume at rate 63 (8 steps of
// attenuation per EG step) ends within a frame of 104 EG steps.
//
// OPN and OPNA take a prescaler select at port 0 0x2D (the reset's 1/6),
// 0x2E (1/3, after 0x2D) and 0x2F (1/2): a faster prescaler makes every
// envelope faster. Whether a player follows it is not known, so it speeds up
// the earliest onsets only; the latest ends keep the reset's pace.
//
// ---------------------------------------------------------------------------
// OPN family registers (port 1 holds channels 4-6 of OPN2 and OPNA; OPN has
// no port 1). Operator registers: reg = base + 4 * slot + channel (channel
// bits 1-0 = 3: none), slots in register order S1, S3, S2, S4.
//
//   reg        bits              what
//   ---------  ----------------  ---------------------------------------------
//   0x27 p0    7-6               channel 3 mode: 00 normal, 01 separate
//                                operator frequencies, 10 CSM (timer A keys
//                                every slot of channel 3; taken as keyed while
//                                on), 11 separate frequencies
//   0x28 p0    7-4 slots, 2-0    key: bits 4-7 = S1, S2, S3, S4; channel
//                                0-2, 4-6 (3 and 7 none; OPN ignores bit 2)
//   0x2A p0    7-0               OPN2 DAC value (0x80 = silence)
//   0x2B p0    7                 OPN2 DAC enable (replaces channel 6)
//   0x2C p0    3                 OPN2 DAC lowest bit (set: 0x80 is not silence)
//   0x40-0x4E  6-0               TL, total level (8 attenuation steps each)
//   0x50-0x5E  7-6 KS, 4-0 AR    key scaling, attack rate
//   0x60-0x6E  4-0 D1R           first decay rate (bit 7 AM: only attenuates)
//   0x70-0x7E  4-0 D2R           second decay (sustain) rate
//   0x80-0x8E  7-4 SL, 3-0 RR    sustain level, release rate
//   0x90-0x9E  3 on, 2-0 shape   SSG-EG (see below)
//   0xA0-0xA2  7-0               F-number low 8 bits: commits the latch
//   0xA4-0xA6  5-3 block, 2-0    latch: block and F-number high 3 bits
//   0xA8-0xAA p0, 0xAC-0xAE p0   channel 3's separate frequencies, the same
//                                way: A9/AD for S1, AA/AE for S2, A8/AC for
//                                S3 (S4 keeps A2/A6)
//   0xB0-0xB2  2-0               algorithm (bits 5-3 feedback)
//   0xB6 p1    7-6               channel 6 L/R: the DAC's pan (L+R at reset)
//
// OPM registers. Operator registers: reg = base + 8 * slot + channel, slots
// in register order M1 (S1), M2 (S3), C1 (S2), C2 (S4).
//
//   reg        bits              what
//   ---------  ----------------  ---------------------------------------------
//   0x08       6-3 slots, 2-0    key: bits 3-6 = M1, C1, M2, C2; channel
//   0x0F       7                 noise on channel 8's C2 (see the silence)
//   0x14       7                 CSM: timer A keys every slot (taken as keyed)
//   0x20-0x27  2-0               algorithm (7-6 L/R, 5-3 feedback)
//   0x28-0x2F  6-4 octave, 3-0   key code (0x30-0x37: the fraction, no effect
//                                on the envelope)
//   0x60-0x7F  6-0               TL
//   0x80-0x9F  7-6 KS, 4-0 AR
//   0xA0-0xBF  4-0 D1R           (bit 7 AM: only attenuates)
//   0xC0-0xDF  4-0 D2R           (bits 7-6 DT2)
//   0xE0-0xFF  7-4 D1L, 3-0 RR   sustain level, release rate
//
// Carriers by algorithm (the same on both families):
//
//   algorithm  0-3  4       5-6         7
//   carriers   S4   S2, S4  S2, S3, S4  S1, S2, S3, S4
//
// ---------------------------------------------------------------------------
// Envelope. Attenuation is 10 bits (1023 = off; 0.09375 dB a step), 1023 at
// reset, in release.
//
//   key code    OPN: block << 2 | N, N from F-number bits 10-7 =
//               0..6 -> 0, 7 -> 1, 8 -> 2, 9..15 -> 3; OPM: key code >> 2
//   scaling     ksr = key code >> (3 - KS)
//   rate        raw = 2 * AR, 2 * D1R, 2 * D2R, 4 * RR + 2;
//               rate = raw == 0 ? 0 : min(63, raw + ksr)
//   stepping    rate r steps every 2^max(0, 11 - r/4) EG steps; eight steps
//               make a cycle of increments:
//
//     rates   increments over a cycle of eight steps
//     ------  --------------------------------------------------------------
//     0-1     none: the stage never moves
//     2-47    0 or 1: r%4 = 0 {0,1,0,1,0,1,0,1}, 1 {0,1,0,1,1,1,0,1},
//             2 {0,1,1,1,0,1,1,1}, 3 {0,1,1,1,1,1,1,1} (rates 2-7 too: a
//             reading of the die has 2-5 as r%4 = 0 and 6-7 as r%4 = 2, but
//             the measured releases at rate 7 go as r%4 = 3)
//     48-59   b = 1 << (r/4 - 12) and 2b: r%4 = 0 all b, 1 {b,b,b,2b,..},
//             2 {b,2b,b,2b,..}, 3 {b,2b,2b,2b,..}
//     60-63   8
//
//   attack      level -= ceil((level + 1) * increment / 16) each step, until
//               0; rate >= 62 at the key-on: 0 at once; rate 0: never moves
//   decays      +increment each step: first decay (D1R) until the sustain
//               level (SL << 5, SL 15 = 992), then D2R, up to 1023
//   release     +increment each step at the release rate, up to 1023
//   key-on      attack from the present attenuation; key-off: release. The
//               OPM may take one attack step at the key-on itself (the
//               measured onsets at AR 2 come one step early): it is allowed
//               for. A key-off and a key-on of a held key at one moment
//               start the attack again: seven logged OPN and OPNA songs of
//               the corpus sound as long as a decay from that moment, up to
//               1.1 s past one from the first key-on. The OPM is taken to do
//               the same (not measured).
//
// SSG-EG (OPN family 0x90 bit 3) repeats, holds or inverts the envelope while
// the key is held: a keyed carrier with it on is heard as long as it is held;
// after the key-off it releases from full volume.
//
// ---------------------------------------------------------------------------
// Silence. A carrier's output is exactly 0 while its envelope's attenuation
// plus TL * 8 is 832 or more (TL 104 is silent at full envelope, TL 103 not);
// OPM's noise (0x0F bit 7, channel 8's C2) only at 1023. A voice is heard
// while a carrier is below that; modulators, LFO AM and pan are not looked
// at (they only make it quieter).
//
// How each answer errs. The envelope's cycle phase is not known, so each
// operator keeps the least attenuation it can have: attacks go their fastest
// (every step at the cycle's best place, the largest increment) and decays
// their slowest; an attack ends by its slowest from full attenuation. Onsets
// come early and ends late, by at most a cycle or so; the edges by
// kEdgeSeconds more: a write reaches the chip at the next rendered frame
// (22.7 us at 44.1 kHz) and its next sample, and a resampled frame shows
// samples up to one chip sample away (in all about 60 us; the rendered
// releases at rate 63 end within 10 us of the model's steps).
// ---------------------------------------------------------------------------

#include <algorithm>
#include <array>
#include <cstdint>

#include "sound_model.h"

namespace zelta {
namespace {

constexpr int kMaxAttenuation = 1023;
constexpr int kSilentAttenuation = 832;  // a carrier's output is 0 from here
constexpr int kTlStep = 8;               // attenuation steps per TL step
constexpr int kSustainShift = 5;
constexpr int kSustainTop = 15;          // SL 15 means 31 << 5
constexpr int kRatePerUnit = 2;          // raw rate = 2 * AR, D1R or D2R
constexpr int kReleasePerUnit = 4;       // raw release rate = 4 * RR + 2
constexpr int kReleaseRateBase = 2;
constexpr int kMaxKs = 3;                // ksr = key code >> (3 - KS)
constexpr int kAttackShift = 4;          // attack step: (level + 1) * increment / 16
constexpr int kRateGroupShift = 2;       // rate / 4 sets the stepping period
constexpr int kRateShape = 3;            // rate % 4 the shape of the cycle
constexpr int kMaxRate = 63;
constexpr int kInstantAttackRate = 62;
constexpr int kStepsPerCycle = 8;
constexpr int kEgSamples = 3;            // FM samples per EG step
constexpr double kEdgeSeconds = 2.5e-4;
constexpr double kNever = kNeverHeard;

constexpr int kOpnDivider = 72;
constexpr int kOpn2OpnaDivider = 144;
constexpr int kOpmDivider = 64;
constexpr int kResetPrescale = 6;
constexpr int kPrescale3 = 3;
constexpr int kPrescale2 = 2;

constexpr int kOpsPerChannel = 4;
constexpr int kSlotBits = 3;
constexpr int kMaxChannels = 8;
constexpr int kMaxOps = kOpsPerChannel * kMaxChannels;

// Slots in key-register bit order (S1, S2, S3, S4) as register-order indices.
constexpr int kKeyBitToSlot[kOpsPerChannel] = {0, 2, 1, 3};
// Carriers by algorithm, bit i = register-order slot i (S1, S3, S2, S4).
constexpr std::uint8_t kCarriers[8] = {0x8, 0x8, 0x8, 0x8, 0xC, 0xE, 0xE, 0xF};

// OPN family registers.
constexpr std::uint8_t kOpnModeReg = 0x27;
constexpr int kOpnModeShift = 6;
constexpr std::uint8_t kOpnModeCsm = 2;
constexpr std::uint8_t kOpnKeyReg = 0x28;
constexpr std::uint8_t kOpnDacValueReg = 0x2A;
constexpr std::uint8_t kOpnDacEnableReg = 0x2B;
constexpr std::uint8_t kOpnDacLowBitReg = 0x2C;
constexpr std::uint8_t kOpnDacEnableBit = 0x80;
constexpr std::uint8_t kOpnDacLowBit = 0x08;
constexpr std::uint8_t kOpnDacSilence = 0x80;
constexpr std::uint8_t kOpnPrescale6Reg = 0x2D;
constexpr std::uint8_t kOpnPrescale3Reg = 0x2E;
constexpr std::uint8_t kOpnPrescale2Reg = 0x2F;
constexpr std::uint8_t kOpnOperatorFirst = 0x30;
constexpr std::uint8_t kOpnOperatorLast = 0x9F;
constexpr std::uint8_t kOpnFnumLow = 0xA0;
constexpr std::uint8_t kOpnFnumLatch = 0xA4;
constexpr std::uint8_t kOpnCh3FnumLow = 0xA8;
constexpr std::uint8_t kOpnCh3FnumLatch = 0xAC;
constexpr std::uint8_t kOpnAlgorithm = 0xB0;
constexpr std::uint8_t kOpnPan = 0xB4;
constexpr std::uint8_t kOpnPanBits = 0xC0;
constexpr int kOpnDacChannel = 5;  // channel 6: port 1, 0xB6
constexpr int kOpnCh3 = 2;
constexpr int kOpnNoChannel = 3;
constexpr int kOpnChannelBits = 3;
constexpr int kOpnSlotShift = 2;        // reg = base + 4 * slot + channel
constexpr int kOpnPortChannels = 3;
constexpr std::uint8_t kOpnKeyHighChannels = 0x04;
constexpr int kOpnKeySlotShift = 4;
constexpr std::uint8_t kOpnSsgOn = 0x08;
constexpr int kOpnFnumBits = 11;
constexpr int kOpnLatchBits = 0x3F;
// The F-number's bits 10-7 give the key code's lowest bit(s).
constexpr std::uint8_t kOpnNoteOfFnum[16] = {0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 3, 3, 3, 3, 3, 3};
constexpr int kOpnNoteShift = 7;
constexpr int kOpnNoteBits = 0xF;
constexpr int kKeyCodeBlockShift = 2;   // key code = block << 2 | N
// Channel 3's separate frequencies: the index of its register trio (A8, A9,
// AA) for slots S1, S3, S2 in register order.
constexpr int kCh3FrequencyOfSlot[3] = {1, 0, 2};

// OPM registers.
constexpr std::uint8_t kOpmKeyReg = 0x08;
constexpr std::uint8_t kOpmNoiseReg = 0x0F;
constexpr std::uint8_t kOpmNoiseOn = 0x80;
constexpr std::uint8_t kOpmTimerReg = 0x14;
constexpr std::uint8_t kOpmCsmBit = 0x80;
constexpr std::uint8_t kOpmAlgorithm = 0x20;
constexpr std::uint8_t kOpmKeyCode = 0x28;
constexpr std::uint8_t kOpmOperatorFirst = 0x40;
constexpr int kOpmKeySlotShift = 3;
constexpr int kOpmChannelBits = 7;
constexpr int kOpmSlotShift = 3;        // reg = base + 8 * slot + channel
constexpr int kOpmNoiseOp = 7 * kOpsPerChannel + 3;  // channel 8, C2
constexpr int kOpmKeyCodeShift = 2;

// Operator register fields, by the register's top bits (OPN: reg >> 4,
// OPM: reg >> 5).
enum class Field { kTl, kKsAr, kD1r, kD2r, kSlRr, kSsg, kNone };
constexpr Field OpnField(std::uint8_t reg) {
    switch (reg >> 4) {
    case 0x4: return Field::kTl;
    case 0x5: return Field::kKsAr;
    case 0x6: return Field::kD1r;
    case 0x7: return Field::kD2r;
    case 0x8: return Field::kSlRr;
    case 0x9: return Field::kSsg;
    default: return Field::kNone;  // 0x3: DT/MUL
    }
}
constexpr Field OpmField(std::uint8_t reg) {
    switch (reg >> 5) {
    case 0x3: return Field::kTl;
    case 0x4: return Field::kKsAr;
    case 0x5: return Field::kD1r;
    case 0x6: return Field::kD2r;
    case 0x7: return Field::kSlRr;
    default: return Field::kNone;  // 0x2: DT1/MUL
    }
}
constexpr std::uint8_t kTlBits = 0x7F;
constexpr int kKsShift = 6;
constexpr std::uint8_t kRateBits = 0x1F;
constexpr int kSlShift = 4;
constexpr std::uint8_t kRrBits = 0x0F;
constexpr std::uint8_t kAlgorithmBits = 0x07;

// ---------------------------------------------------------------------------
// The rates' stepping, reduced to what the bounds need.
// ---------------------------------------------------------------------------
using Cycle = std::array<int, kStepsPerCycle>;
constexpr Cycle kLowCycles[4] = {{0, 1, 0, 1, 0, 1, 0, 1},
                                 {0, 1, 0, 1, 1, 1, 0, 1},
                                 {0, 1, 1, 1, 0, 1, 1, 1},
                                 {0, 1, 1, 1, 1, 1, 1, 1}};
constexpr Cycle kHighDoubles[4] = {{0, 0, 0, 0, 0, 0, 0, 0},
                                   {0, 0, 0, 1, 0, 0, 0, 1},
                                   {0, 1, 0, 1, 0, 1, 0, 1},
                                   {0, 1, 1, 1, 0, 1, 1, 1}};
constexpr int kSlowestRateOfCycle = 2;
constexpr int kFirstHighRate = 48;
constexpr int kFirstFlatRate = 60;
constexpr int kFlatIncrement = 8;
constexpr int kPeriodLog2 = 11;

constexpr Cycle CycleOf(int rate) {
    Cycle c{};
    if (rate < kSlowestRateOfCycle) return c;
    if (rate < kFirstHighRate) return kLowCycles[rate & kRateShape];
    if (rate >= kFirstFlatRate) {
        c.fill(kFlatIncrement);
        return c;
    }
    const int base = 1 << ((rate - kFirstHighRate) >> kRateGroupShift);
    for (int i = 0; i < kStepsPerCycle; ++i) c[i] = base << kHighDoubles[rate & kRateShape][i];
    return c;
}

// Over j consecutive steps of a cycle, from its worst (or best) place
// (j = 0..8): the sum of value(increment).
using Prefix = std::array<int, kStepsPerCycle + 1>;
template <typename Value, typename Pick>
constexpr Prefix PrefixOf(const Cycle& c, Value value, Pick pick) {
    Prefix p{};
    for (int j = 1; j <= kStepsPerCycle; ++j) {
        for (int start = 0; start < kStepsPerCycle; ++start) {
            int sum = 0;
            for (int i = 0; i < j; ++i) sum += value(c[(start + i) % kStepsPerCycle]);
            p[j] = start == 0 ? sum : pick(p[j], sum);
        }
    }
    return p;
}

struct RateRule {
    int period = 0;       // EG steps between the rate's steps; 0: it never steps
    Prefix riseLeast{};   // least increments over j steps (decays, release)
    Prefix movesLeast{};  // attack: fewest / most steps that move, over j steps
    Prefix movesMost{};
    int stepLeast = 0;    // attack: smallest / largest moving increment
    int stepMost = 0;
    int attackMovesMost = 0;  // moving steps from full attenuation to 0, at most
};

constexpr int AttackStep(int level, int increment) {
    constexpr int kRoundUp = (1 << kAttackShift) - 1;
    return std::max(0, level - (((level + 1) * increment + kRoundUp) >> kAttackShift));
}

constexpr std::array<RateRule, kMaxRate + 1> BuildRules() {
    std::array<RateRule, kMaxRate + 1> rules{};
    for (int r = kSlowestRateOfCycle; r <= kMaxRate; ++r) {
        RateRule& rule = rules[static_cast<std::size_t>(r)];
        const Cycle c = CycleOf(r);
        auto sum = [](int v) { return v; };
        auto moves = [](int v) { return v != 0 ? 1 : 0; };
        auto least = [](int a, int b) { return std::min(a, b); };
        auto most = [](int a, int b) { return std::max(a, b); };
        rule.period = 1 << std::max(0, kPeriodLog2 - (r >> kRateGroupShift));
        rule.riseLeast = PrefixOf(c, sum, least);
        rule.movesLeast = PrefixOf(c, moves, least);
        rule.movesMost = PrefixOf(c, moves, most);
        rule.stepLeast = kFlatIncrement;
        for (int v : c) {
            if (v != 0) rule.stepLeast = std::min(rule.stepLeast, v);
            rule.stepMost = std::max(rule.stepMost, v);
        }
        for (int level = kMaxAttenuation; level > 0; level = AttackStep(level, rule.stepLeast)) {
            ++rule.attackMovesMost;
        }
    }
    return rules;
}

constexpr std::array<RateRule, kMaxRate + 1> kRules = BuildRules();

const RateRule& Rule(int rate) { return kRules[static_cast<std::size_t>(rate)]; }

// The fewest steps c with (c / 8) * prefix[8] + prefix[c % 8] >= amount.
std::int64_t StepsFor(std::int64_t amount, const Prefix& prefix) {
    if (amount <= 0) return 0;
    const int cycle = prefix[kStepsPerCycle];
    const std::int64_t cycles = (amount - 1) / cycle;
    const std::int64_t rest = amount - cycles * cycle;
    int j = 1;
    while (prefix[j] < rest) ++j;
    return cycles * kStepsPerCycle + j;
}

// What a number of steps gives at least (or at most), by the prefix.
std::int64_t OverSteps(std::int64_t steps, const Prefix& prefix) {
    return (steps / kStepsPerCycle) * prefix[kStepsPerCycle] + prefix[steps % kStepsPerCycle];
}

// The steps of a rate that surely fall in `ticks` EG steps, and that may.
std::int64_t SureSteps(const RateRule& rule, double ticks) {
    return static_cast<std::int64_t>(std::min(ticks / rule.period, 1e15));
}
std::int64_t PossibleSteps(const RateRule& rule, double ticks) { return SureSteps(rule, ticks) + 1; }

// Rising stages (decays, release): the least rise in `ticks`, and the most
// ticks a rise of `amount` takes.
int LeastRise(int rate, double ticks) {
    const RateRule& rule = Rule(rate);
    if (rule.period == 0 || ticks <= 0) return 0;
    return static_cast<int>(std::min<std::int64_t>(OverSteps(SureSteps(rule, ticks), rule.riseLeast),
                                                   kMaxAttenuation + 1));
}
double MostRiseTicks(int rate, int amount) {
    if (amount <= 0) return 0;
    const RateRule& rule = Rule(rate);
    if (rule.period == 0) return kNever;
    return double(StepsFor(amount, rule.riseLeast) * rule.period);
}

// Attack: the least level `ticks` after `level`; the least ticks until below
// `target`; the most ticks from full attenuation to 0. An attack moves at
// most about 110 steps in all: they are taken one by one.
// `keyOnStep`: the attack began at a key-on that may step at once, at the
// place in the cycle before the first regular step.
int LeastAttackLevel(int rate, int level, double ticks, bool keyOnStep) {
    if (rate >= kInstantAttackRate) return 0;  // changed mid-attack: may not move; least 0
    const RateRule& rule = Rule(rate);
    if (rule.period == 0 || ticks < 0) return level;
    const std::int64_t steps = PossibleSteps(rule, ticks) + (keyOnStep ? 1 : 0);
    for (std::int64_t moves = OverSteps(steps, rule.movesMost); moves > 0 && level > 0; --moves) {
        level = AttackStep(level, rule.stepMost);
    }
    return level;
}
double LeastAttackTicks(int rate, int level, int target, bool keyOnStep) {
    if (level < target) return 0;
    if (target <= 0) return kNever;
    if (rate >= kInstantAttackRate) return 0;
    const RateRule& rule = Rule(rate);
    if (rule.period == 0) return kNever;
    int moves = 0;
    for (; level >= target; ++moves) level = AttackStep(level, rule.stepMost);
    const std::int64_t later = StepsFor(moves, rule.movesMost) - 1 - (keyOnStep ? 1 : 0);
    return double(std::max<std::int64_t>(later, 0) * rule.period);
}
double MostAttackTicks(int rate) {
    const RateRule& rule = Rule(rate);
    if (rule.period == 0 || rate >= kInstantAttackRate) return kNever;
    return double(StepsFor(rule.attackMovesMost, rule.movesLeast) * rule.period);
}

// ---------------------------------------------------------------------------
// One operator's envelope, as the least attenuation it can have.
// ---------------------------------------------------------------------------
enum class Stage : std::uint8_t { kAttack, kDecay, kRelease };

struct Rates {
    int attack = 0;
    int decay1 = 0;
    int decay2 = 0;
    int release = 0;
    int sustain = 0;  // attenuation where the first decay ends
    bool operator==(const Rates&) const = default;
};

// Seconds per EG step: `slow` for what must not end early (decays, release,
// the latest end of an attack), `fast` for what must not start late.
struct Pace {
    double slow = 0;
    double fast = 0;
};

struct Envelope {
    Stage stage = Stage::kRelease;
    // The sustain level rose while keyed: the chip may already be in the
    // second decay below it, so the first decay goes at the slower rate.
    bool slowFirstDecay = false;
    bool keyOnStep = false;       // kAttack: began at a key-on that may step at once
    int level = kMaxAttenuation;  // the least attenuation at `since`
    double since = 0;
    double attackDone = 0;        // kAttack: the latest moment it reaches 0
};

int FirstDecayRate(const Rates& r, bool slow) { return slow ? std::min(r.decay1, r.decay2) : r.decay1; }

int LeastDecayLevel(const Rates& r, bool slow, int level, double ticks) {
    if (level < r.sustain) {
        const int rate = FirstDecayRate(r, slow);
        const double toSustain = MostRiseTicks(rate, r.sustain - level);
        if (ticks < toSustain) return level + LeastRise(rate, ticks);
        ticks -= toSustain;
        level = r.sustain;
    }
    return std::min(kMaxAttenuation, level + LeastRise(r.decay2, ticks));
}

double MostDecayTicks(const Rates& r, bool slow, int level, int target) {
    double ticks = 0;
    if (level < r.sustain) {
        const int rate = FirstDecayRate(r, slow);
        if (target <= r.sustain) return MostRiseTicks(rate, target - level);
        ticks = MostRiseTicks(rate, r.sustain - level);
        level = r.sustain;
    }
    return ticks + MostRiseTicks(r.decay2, target - level);
}

// The envelope brought to `now`.
Envelope At(Envelope e, const Rates& r, const Pace& pace, double now) {
    if (now <= e.since) return e;
    switch (e.stage) {
    case Stage::kAttack:
        if (now >= e.attackDone) {
            e.level = LeastDecayLevel(r, e.slowFirstDecay, 0, (now - e.attackDone) / pace.slow);
            e.stage = Stage::kDecay;
        } else {
            e.level = LeastAttackLevel(r.attack, e.level, (now - e.since) / pace.fast, e.keyOnStep);
        }
        break;
    case Stage::kDecay:
        e.level = LeastDecayLevel(r, e.slowFirstDecay, e.level, (now - e.since) / pace.slow);
        break;
    case Stage::kRelease:
        e.level = std::min(kMaxAttenuation, e.level + LeastRise(r.release, (now - e.since) / pace.slow));
        break;
    }
    e.since = now;
    e.keyOnStep = false;
    return e;
}

// An attack begun (or carried on at a new rate) at `now`.
double AttackDone(int rate, const Pace& pace, double now) {
    const double ticks = MostAttackTicks(rate);
    return ticks == kNever ? kNever : now + ticks * pace.slow;
}

// `stepAtKeyOn`: the chip may take an attack step at the key-on itself.
Envelope KeyOn(Envelope e, const Rates& r, const Pace& pace, bool stepAtKeyOn) {
    e.stage = Stage::kAttack;
    e.slowFirstDecay = false;
    if (r.attack >= kInstantAttackRate) {
        e.level = 0;
        e.attackDone = e.since;
        return e;
    }
    e.keyOnStep = stepAtKeyOn;
    e.attackDone = AttackDone(r.attack, pace, e.since);
    return e;
}

Envelope KeyOff(Envelope e, bool ssg) {
    e.stage = Stage::kRelease;
    if (ssg) e.level = 0;  // inverted or repeating: as loud as it can be
    return e;
}

// When the operator is heard as a carrier whose silence starts at `target`:
// from `from` until `until` (from == kNever: never).
struct Span {
    double from = kNever;
    double until = kNever;
    bool operator==(const Span&) const = default;
};

Span HeardSpan(const Envelope& e, bool keyed, bool ssg, const Rates& r, int target, const Pace& pace) {
    if (target <= 0) return {};
    if (keyed && ssg) return {e.since, kNever};
    double from = e.since;
    double until = kNever;
    switch (e.stage) {
    case Stage::kRelease:
        if (e.level >= target) return {};
        until = e.since + MostRiseTicks(r.release, target - e.level) * pace.slow;
        break;
    case Stage::kDecay:
        if (e.level >= target) return {};
        until = e.since + MostDecayTicks(r, e.slowFirstDecay, e.level, target) * pace.slow;
        break;
    case Stage::kAttack: {
        const double ticks = LeastAttackTicks(r.attack, e.level, target, e.keyOnStep);
        if (ticks == kNever) return {};
        from = e.since + ticks * pace.fast;
        if (e.attackDone != kNever) {
            until = e.attackDone + MostDecayTicks(r, e.slowFirstDecay, 0, target) * pace.slow;
        }
        break;
    }
    }
    return {from - kEdgeSeconds, until + kEdgeSeconds};
}

// ---------------------------------------------------------------------------
// The part: every operator of the device, and OPN2's DAC.
// ---------------------------------------------------------------------------
struct Operator {
    // Registers.
    int tl = 0;
    int ks = 0;
    int ar = 0;
    int d1r = 0;
    int d2r = 0;
    int sl = 0;
    int rr = 0;
    bool ssg = false;
    // Derived.
    Rates rates;
    int silence = kSilentAttenuation;
    // Key: as written (with CSM), and as the envelope has it.
    bool liveKey = false;
    bool keyed = false;
    bool listed = false;  // in the moment's list of key changes
    bool offThisMoment = false;  // the live key went off at the present moment
    Envelope env;
};

struct Chip {
    int channels = 0;
    bool opm = false;
    bool dac = false;
    bool prescaler = false;
    double egStep = 0;  // seconds, at the reset's prescaler
};

class FmPart final : public VoiceModel {
public:
    explicit FmPart(const Chip& chip) : chip_(chip) {
        pace_ = {chip.egStep, chip.egStep};
        for (Operator& op : ops_) op.rates = RatesOf(op, 0);
    }

    void Write(int port, std::uint8_t reg, std::uint8_t value) override {
        if (chip_.opm) {
            if (port == 0) WriteOpm(reg, value);
        } else if (port == 0 || chip_.channels > kOpnPortChannels) {
            WriteOpn(port, reg, value);
        }
    }

    void Advance(double seconds) override {
        WorkOutSpans();
        for (int i = 0; i < listedCount_; ++i) {
            Operator& op = ops_[static_cast<std::size_t>(listed_[static_cast<std::size_t>(i)])];
            op.listed = false;
            if (Rekeyed(op)) {
                op.env = Keyed(op, now_);
                op.keyed = op.liveKey;
            }
            op.offThisMoment = false;
        }
        listedCount_ = 0;
        now_ += seconds;
    }

    double HeardIn() const override {
        if (DacHeard()) return 0;
        Summarize();
        if (heardNow_) return 0;
        return nextStart_ == kNever ? kNever : nextStart_ - now_;
    }

    double SilentAfter() const override {
        if (DacHeard()) return kNever;
        Summarize();
        return lastEnd_ > now_ ? lastEnd_ - now_ : 0;
    }

private:
    // --- OPN family -------------------------------------------------------
    void WriteOpn(int port, std::uint8_t reg, std::uint8_t value) {
        if (reg >= kOpnOperatorFirst && reg <= kOpnOperatorLast) {
            const int ch = reg & kOpnChannelBits;
            if (ch == kOpnNoChannel) return;
            const int slot = (reg >> kOpnSlotShift) & kSlotBits;
            WriteOperator(OpIndex(ch + kOpnPortChannels * port, slot), OpnField(reg), value);
            return;
        }
        if (reg >= kOpnFnumLow && reg < kOpnAlgorithm) {
            WriteOpnFrequency(port, reg, value);
            return;
        }
        if ((reg & ~3) == kOpnAlgorithm || (reg & ~3) == kOpnPan) {
            const int ch = reg & kOpnChannelBits;
            if (ch == kOpnNoChannel) return;
            const int channel = ch + kOpnPortChannels * port;
            if ((reg & ~3) == kOpnAlgorithm) {
                SetAlgorithm(channel, value);
            } else if (channel == kOpnDacChannel) {
                dacPan_ = (value & kOpnPanBits) != 0;
            }
            return;
        }
        if (port != 0) return;
        switch (reg) {
        case kOpnModeReg: SetOpnMode(static_cast<std::uint8_t>(value >> kOpnModeShift)); break;
        case kOpnKeyReg: WriteOpnKey(value); break;
        case kOpnDacValueReg: dacValue_ = value; break;
        case kOpnDacEnableReg: dacOn_ = (value & kOpnDacEnableBit) != 0; break;
        case kOpnDacLowBitReg: dacLowBit_ = (value & kOpnDacLowBit) != 0; break;
        default: WritePrescaler(reg); break;
        }
    }

    void WritePrescaler(std::uint8_t reg) {
        if (!chip_.prescaler) return;
        if (reg == kOpnPrescale6Reg) SetPrescale(kResetPrescale);
        if (reg == kOpnPrescale3Reg && prescale_ == kResetPrescale) SetPrescale(kPrescale3);
        if (reg == kOpnPrescale2Reg) SetPrescale(kPrescale2);
    }

    void WriteOpnKey(std::uint8_t value) {
        int ch = value & kOpnChannelBits;
        if (ch == kOpnNoChannel) return;
        if (chip_.channels > kOpnPortChannels && (value & kOpnKeyHighChannels) != 0) ch += kOpnPortChannels;
        WriteKey(ch, value >> kOpnKeySlotShift);
    }

    // 0xA0-0xAE: F-numbers and their latches.
    void WriteOpnFrequency(int port, std::uint8_t reg, std::uint8_t value) {
        const int index = reg & kOpnChannelBits;
        if (index == kOpnNoChannel) return;
        const int base = reg & ~3;
        if (base == kOpnFnumLatch) {
            latch_[static_cast<std::size_t>(index + kOpnPortChannels * port)] = value & kOpnLatchBits;
        } else if (base == kOpnFnumLow) {
            const int channel = index + kOpnPortChannels * port;
            const auto c = static_cast<std::size_t>(channel);
            blockFnum_[c] = latch_[c] << 8 | value;
            for (int slot = 0; slot < kOpsPerChannel; ++slot) {
                if (!SeparateFrequency(channel, slot)) UpdateRates(OpIndex(channel, slot));
            }
        } else if (port == 0 && base == kOpnCh3FnumLatch) {
            ch3Latch_[static_cast<std::size_t>(index)] = value & kOpnLatchBits;
        } else if (port == 0 && base == kOpnCh3FnumLow) {
            const auto i = static_cast<std::size_t>(index);
            ch3BlockFnum_[i] = ch3Latch_[i] << 8 | value;
            for (int slot = 0; slot < kOpsPerChannel - 1; ++slot) {
                if (kCh3FrequencyOfSlot[slot] == index) UpdateRates(OpIndex(kOpnCh3, slot));
            }
        }
    }

    bool SeparateFrequency(int channel, int slot) const {
        return !chip_.opm && channel == kOpnCh3 && opnMode_ != 0 && slot < kOpsPerChannel - 1;
    }

    void SetOpnMode(std::uint8_t mode) {
        if (mode == opnMode_) return;
        opnMode_ = mode;
        for (int slot = 0; slot < kOpsPerChannel; ++slot) UpdateRates(OpIndex(kOpnCh3, slot));
        SetCsm(mode == kOpnModeCsm);
    }

    // --- OPM ----------------------------------------------------------------
    void WriteOpm(std::uint8_t reg, std::uint8_t value) {
        if (reg >= kOpmOperatorFirst) {
            WriteOperator(OpIndex(reg & kOpmChannelBits, (reg >> kOpmSlotShift) & kSlotBits), OpmField(reg), value);
            return;
        }
        if ((reg & ~7) == kOpmAlgorithm) {
            SetAlgorithm(reg & kOpmChannelBits, value);
        } else if ((reg & ~7) == kOpmKeyCode) {
            const int channel = reg & kOpmChannelBits;
            blockFnum_[static_cast<std::size_t>(channel)] = value;
            for (int slot = 0; slot < kOpsPerChannel; ++slot) UpdateRates(OpIndex(channel, slot));
        } else if (reg == kOpmKeyReg) {
            WriteKey(value & kOpmChannelBits, value >> kOpmKeySlotShift);
        } else if (reg == kOpmTimerReg) {
            SetCsm((value & kOpmCsmBit) != 0);
        } else if (reg == kOpmNoiseReg) {
            const bool noise = (value & kOpmNoiseOn) != 0;
            if (noise != opmNoise_) {
                opmNoise_ = noise;
                UpdateRates(kOpmNoiseOp);
            }
        }
    }

    // --- Both ---------------------------------------------------------------
    static constexpr int OpIndex(int channel, int slot) { return channel * kOpsPerChannel + slot; }

    Operator& Op(int index) { return ops_[static_cast<std::size_t>(index)]; }

    void WriteOperator(int index, Field field, std::uint8_t value) {
        if (index >= chip_.channels * kOpsPerChannel) return;
        Operator& op = Op(index);
        switch (field) {
        case Field::kTl:
            if (op.tl == (value & kTlBits)) return;
            op.tl = value & kTlBits;
            Touch(index);
            return;
        case Field::kKsAr:
            op.ks = value >> kKsShift;
            op.ar = value & kRateBits;
            break;
        case Field::kD1r: op.d1r = value & kRateBits; break;
        case Field::kD2r: op.d2r = value & kRateBits; break;
        case Field::kSlRr:
            op.sl = value >> kSlShift;
            op.rr = value & kRrBits;
            break;
        case Field::kSsg: SetSsg(index, (value & kOpnSsgOn) != 0); return;
        case Field::kNone: return;
        }
        UpdateRates(index);
    }

    void SetAlgorithm(int channel, std::uint8_t value) {
        const auto c = static_cast<std::size_t>(channel);
        const std::uint8_t carriers = kCarriers[value & kAlgorithmBits];
        if (carriers == carriers_[c]) return;
        carriers_[c] = carriers;
        dirty_ = true;
        for (int slot = 0; slot < kOpsPerChannel; ++slot) {
            if (heardStale_[static_cast<std::size_t>(OpIndex(channel, slot))]) Touch(OpIndex(channel, slot));
        }
    }

    // Key bits in key-register order (S1, S2, S3, S4).
    void WriteKey(int channel, int keyBits) {
        if (channel >= chip_.channels) return;
        for (int bit = 0; bit < kOpsPerChannel; ++bit) {
            const int index = OpIndex(channel, kKeyBitToSlot[bit]);
            keyBits_[static_cast<std::size_t>(index)] = ((keyBits >> bit) & 1) != 0;
            SetLiveKey(index);
        }
    }

    void SetCsm(bool on) {
        if (on == csm_) return;
        csm_ = on;
        const int first = chip_.opm ? 0 : OpIndex(kOpnCh3, 0);
        const int last = chip_.opm ? chip_.channels * kOpsPerChannel : OpIndex(kOpnCh3 + 1, 0);
        for (int index = first; index < last; ++index) SetLiveKey(index);
    }

    bool CsmKeys(int index) const {
        return csm_ && (chip_.opm || index / kOpsPerChannel == kOpnCh3);
    }

    // The key as written: it takes effect when time passes; until then the
    // answers take it as taken at once.
    void SetLiveKey(int index) {
        Operator& op = Op(index);
        const bool live = keyBits_[static_cast<std::size_t>(index)] || CsmKeys(index);
        if (live == op.liveKey) return;
        op.liveKey = live;
        if (!live) op.offThisMoment = true;
        if (!op.listed) {
            op.listed = true;
            listed_[static_cast<std::size_t>(listedCount_++)] = static_cast<std::uint8_t>(index);
        }
        Touch(index);
    }

    // The live key differs from the envelope's, or went off and on again at
    // the present moment while held (taken as a new key-on).
    static bool Rekeyed(const Operator& op) {
        return op.liveKey != op.keyed || (op.liveKey && op.offThisMoment);
    }

    // The envelope with the live key applied at `now`.
    Envelope Keyed(const Operator& op, double now) const {
        if (!Rekeyed(op)) return op.env;
        const Envelope e = At(op.env, op.rates, pace_, now);
        return op.liveKey ? KeyOn(e, op.rates, pace_, chip_.opm) : KeyOff(e, op.ssg);
    }

    void SetSsg(int index, bool on) {
        Operator& op = Op(index);
        if (on == op.ssg) return;
        op.env = At(op.env, op.rates, pace_, now_);
        if (op.keyed && !on) {
            // Left its repeats somewhere: attack from anywhere, as loud as it can be.
            op.env.stage = Stage::kAttack;
            op.env.level = 0;
            op.env.attackDone = AttackDone(op.rates.attack, pace_, now_);
        }
        op.ssg = on;
        Touch(index);
    }

    int KeyCodeOf(int index) const {
        const int channel = index / kOpsPerChannel;
        const int slot = index % kOpsPerChannel;
        if (chip_.opm) return blockFnum_[static_cast<std::size_t>(channel)] >> kOpmKeyCodeShift;
        const int bf = SeparateFrequency(channel, slot)
                           ? ch3BlockFnum_[static_cast<std::size_t>(kCh3FrequencyOfSlot[slot])]
                           : blockFnum_[static_cast<std::size_t>(channel)];
        const int block = bf >> kOpnFnumBits;
        return block << kKeyCodeBlockShift | kOpnNoteOfFnum[(bf >> kOpnNoteShift) & kOpnNoteBits];
    }

    static int EffectiveRate(int raw, int ksr) { return raw == 0 ? 0 : std::min(kMaxRate, raw + ksr); }

    static Rates RatesOf(const Operator& op, int keyCode) {
        const int ksr = keyCode >> (kMaxKs - op.ks);
        Rates r;
        r.attack = EffectiveRate(kRatePerUnit * op.ar, ksr);
        r.decay1 = EffectiveRate(kRatePerUnit * op.d1r, ksr);
        r.decay2 = EffectiveRate(kRatePerUnit * op.d2r, ksr);
        r.release = EffectiveRate(kReleasePerUnit * op.rr + kReleaseRateBase, ksr);
        const int sl = op.sl == kSustainTop ? 2 * kSustainTop + 1 : op.sl;
        r.sustain = sl << kSustainShift;
        return r;
    }

    // A register or key code behind the operator's rates may have changed:
    // the envelope is brought to now at the old rates and goes on at the new.
    // Nothing is done when neither the rates nor the silence change (a new
    // F-number within the same key code, a register written again).
    void UpdateRates(int index) {
        Operator& op = Op(index);
        const Rates rates = RatesOf(op, KeyCodeOf(index));
        const int silence = chip_.opm && opmNoise_ && index == kOpmNoiseOp ? kMaxAttenuation : kSilentAttenuation;
        if (rates == op.rates && silence == op.silence) return;
        op.silence = silence;
        if (!(rates == op.rates)) {
            op.env = At(op.env, op.rates, pace_, now_);
            if (op.env.stage == Stage::kAttack && rates.attack != op.rates.attack) {
                op.env.attackDone = AttackDone(rates.attack, pace_, now_);
            }
            if (op.keyed && rates.sustain > op.rates.sustain) op.env.slowFirstDecay = true;
            op.rates = rates;
        }
        Touch(index);
    }

    void SetPrescale(int prescale) {
        if (prescale == prescale_) return;
        for (Operator& op : ops_) op.env = At(op.env, op.rates, pace_, now_);
        prescale_ = prescale;
        pace_.fast = chip_.egStep * prescale / kResetPrescale;
        for (int index = 0; index < chip_.channels * kOpsPerChannel; ++index) Touch(index);
    }

    bool IsCarrier(int index) const {
        return (carriers_[static_cast<std::size_t>(index / kOpsPerChannel)] >> (index % kOpsPerChannel) & 1) != 0;
    }

    // An operator whose span may have changed: it is worked out when the
    // moment's answers are asked for, or time passes, once however many
    // writes of the moment touched it (time stands still between them).
    void Touch(int index) {
        const auto i = static_cast<std::size_t>(index);
        if (touched_[i]) return;
        touched_[i] = true;
        touchedList_[static_cast<std::size_t>(touchedCount_++)] = static_cast<std::uint8_t>(index);
    }

    void WorkOutSpans() const {
        for (int k = 0; k < touchedCount_; ++k) {
            const int index = touchedList_[static_cast<std::size_t>(k)];
            touched_[static_cast<std::size_t>(index)] = false;
            Refresh(index);
        }
        touchedCount_ = 0;
    }

    // A modulator's span is worked out only once it becomes a carrier.
    void Refresh(int index) const {
        const auto i = static_cast<std::size_t>(index);
        const Operator& op = ops_[i];
        heardStale_[i] = !IsCarrier(index);
        if (heardStale_[i]) return;
        const Span heard = HeardSpan(Keyed(op, now_), op.liveKey, op.ssg, op.rates,
                                     op.silence - op.tl * kTlStep, pace_);
        if (heard == heard_[i]) return;
        heard_[i] = heard;
        dirty_ = true;
    }

    bool DacHeard() const {
        return chip_.dac && dacOn_ && dacPan_ && (dacValue_ != kOpnDacSilence || dacLowBit_);
    }

    // The carriers' spans at the present moment; kept until a write changes
    // one or time passes the next start or end.
    void Summarize() const {
        WorkOutSpans();
        if (!dirty_ && now_ < validUntil_) return;
        heardNow_ = false;
        nextStart_ = kNever;
        lastEnd_ = 0;
        validUntil_ = kNever;
        for (int channel = 0; channel < chip_.channels; ++channel) {
            const std::uint8_t carriers = carriers_[static_cast<std::size_t>(channel)];
            for (int slot = 0; slot < kOpsPerChannel; ++slot) {
                if ((carriers >> slot & 1) == 0) continue;
                const Span& s = heard_[static_cast<std::size_t>(OpIndex(channel, slot))];
                if (s.from == kNever) continue;
                lastEnd_ = std::max(lastEnd_, s.until);
                if (s.until <= now_) continue;
                if (s.from <= now_) {
                    heardNow_ = true;
                    validUntil_ = std::min(validUntil_, s.until);
                } else {
                    nextStart_ = std::min(nextStart_, s.from);
                    validUntil_ = std::min(validUntil_, s.from);
                }
            }
        }
        dirty_ = false;
    }

    Chip chip_;
    Pace pace_;
    int prescale_ = kResetPrescale;
    double now_ = 0;
    std::array<Operator, kMaxOps> ops_{};
    std::array<bool, kMaxOps> keyBits_{};
    std::array<std::uint8_t, kMaxOps> listed_{};
    int listedCount_ = 0;
    std::array<std::uint8_t, kMaxChannels> carriers_ = {0x8, 0x8, 0x8, 0x8, 0x8, 0x8, 0x8, 0x8};
    std::array<int, kMaxChannels> blockFnum_{};  // OPN: block << 11 | F-number; OPM: key code
    std::array<int, kMaxChannels> latch_{};
    std::array<int, 3> ch3BlockFnum_{};
    std::array<int, 3> ch3Latch_{};
    std::uint8_t opnMode_ = 0;
    bool csm_ = false;
    bool opmNoise_ = false;
    bool dacOn_ = false;
    bool dacPan_ = true;
    bool dacLowBit_ = false;
    std::uint8_t dacValue_ = kOpnDacSilence;

    // The carriers' spans, worked out when asked (Touch).
    mutable std::array<Span, kMaxOps> heard_{};
    mutable std::array<bool, kMaxOps> heardStale_{};  // a modulator's: not worked out
    mutable std::array<bool, kMaxOps> touched_{};
    mutable std::array<std::uint8_t, kMaxOps> touchedList_{};
    mutable int touchedCount_ = 0;
    mutable bool dirty_ = true;
    mutable bool heardNow_ = false;
    mutable double nextStart_ = kNever;
    mutable double lastEnd_ = 0;
    mutable double validUntil_ = kNever;
};

double EgStep(double clock, int divider) { return kEgSamples * divider / clock; }

}  // namespace

std::unique_ptr<VoiceModel> MakeOpnFm(std::int32_t type, double clock) {
    Chip chip;
    chip.channels = type == kTypeOpn ? kOpnPortChannels : 2 * kOpnPortChannels;
    chip.dac = type == kTypeOpn2;
    chip.prescaler = type != kTypeOpn2;
    chip.egStep = EgStep(clock, type == kTypeOpn ? kOpnDivider : kOpn2OpnaDivider);
    return std::make_unique<FmPart>(chip);
}

std::unique_ptr<VoiceModel> MakeOpmFm(double clock) {
    Chip chip;
    chip.channels = kMaxChannels;
    chip.opm = true;
    chip.egStep = EgStep(clock, kOpmDivider);
    return std::make_unique<FmPart>(chip);
}

}  // namespace zelta
