#include "sound_model.h"

#include <algorithm>

namespace zelta {
namespace {

// ---------------------------------------------------------------------------
// The clock of a device whose entry gives none (or a v1/v2 file's implicit
// OPNA), in Hz.
//
//   type                 clock
//   -------------------  --------
//   1 PSG, 15 AY         1996800
//   2 OPN                3993600
//   3 OPN2               7670454
//   4 OPNA               7987200
//   5 OPM                4000000
//   6 OPLL, 7 OPL,       3579545
//   8 OPL2, 16 DCSG
//   9 OPL3               14318180
// ---------------------------------------------------------------------------
struct UsualClockRow {
    std::int32_t type;
    double clock;
};
constexpr UsualClockRow kUsualClocks[] = {
    {kTypePsg, 1996800},  {kTypeAy, 1996800},   {kTypeOpn, 3993600},  {kTypeOpn2, 7670454},
    {kTypeOpna, 7987200}, {kTypeOpm, 4000000},  {kTypeOpll, 3579545}, {kTypeOpl, 3579545},
    {kTypeOpl2, 3579545}, {kTypeDcsg, 3579545}, {kTypeOpl3, 14318180},
};
constexpr double kFallbackClock = 4000000;

// Heard from the device's first key-on to the end.
class HeardFromKeyOn final : public VoiceModel {
public:
    explicit HeardFromKeyOn(std::int32_t type) : type_(type) {}
    void Write(int port, std::uint8_t reg, std::uint8_t value) override {
        if (keyed_) return;
        keyed_ = watch_.Observe(RegisterWrite{0, port, reg, value, type_}) != Sound::kNone;
    }
    void Advance(double) override {}
    double HeardIn() const override { return keyed_ ? 0 : kNeverHeard; }
    double SilentAfter() const override { return keyed_ ? kNeverHeard : 0; }

private:
    std::int32_t type_;
    KeyOnWatch watch_;
    bool keyed_ = false;
};

}  // namespace

std::unique_ptr<VoiceModel> MakeHeardFromKeyOn(std::int32_t type) {
    return std::make_unique<HeardFromKeyOn>(type);
}

double UsualClock(std::int32_t type) {
    for (const UsualClockRow& row : kUsualClocks) {
        if (row.type == type) return row.clock;
    }
    return kFallbackClock;
}

// ---------------------------------------------------------------------------
// Which part of a device each write goes to.
//
//   type         port  registers    part
//   -----------  ----  -----------  -----------------------------------
//   2 OPN        0     0x00-0x0F    SSG
//                0     0x10-0xFF    FM
//   4 OPNA       0     0x00-0x0F    SSG
//                0     0x10-0x1F    rhythm
//                0     0x20-0xFF    FM
//                1     0x00-0x1F    ADPCM
//                1     0x20-0xFF    FM
//   any other    both  all          its one part
// ---------------------------------------------------------------------------
constexpr int kSsgLast = 0x0F;
constexpr int kRhythmFirst = 0x10;
constexpr int kRhythmLast = 0x1F;
constexpr int kAdpcmLast = 0x1F;
constexpr int kLastReg = 0xFF;

void SoundModel::Add(int device, std::unique_ptr<VoiceModel> part, int port, int firstReg,
                     int lastReg) {
    const auto index = static_cast<std::uint16_t>(parts_.size());
    parts_.push_back(std::move(part));
    for (int p = 0; p < 2; ++p) {
        if (port >= 0 && p != port) continue;
        for (int r = firstReg; r <= lastReg; ++r) {
            routes_[static_cast<std::size_t>(device)][static_cast<std::size_t>(p)]
                   [static_cast<std::size_t>(r)] = index;
        }
    }
}

SoundModel::SoundModel(const DeviceTable& devices) {
    Routes none;
    for (auto& port : none) port.fill(kNoPart);
    routes_.assign(static_cast<std::size_t>(devices.validCount), none);
    for (int i = 0; i < devices.validCount; ++i) {
        const auto at = static_cast<std::size_t>(i);
        const std::int32_t type = devices.types[at];
        const double clock = devices.clocks[at] != 0 ? double(devices.clocks[at]) : UsualClock(type);
        constexpr int kBoth = -1;
        switch (type) {
        case kTypeOpn:
            Add(i, MakeOpnFm(type, clock), kBoth, 0, kLastReg);
            Add(i, MakeSsg(type, clock), 0, 0, kSsgLast);
            break;
        case kTypeOpna:
            Add(i, MakeOpnFm(type, clock), kBoth, 0, kLastReg);
            Add(i, MakeSsg(type, clock), 0, 0, kSsgLast);
            Add(i, MakeOpnaRhythm(clock), 0, kRhythmFirst, kRhythmLast);
            Add(i, MakeOpnaAdpcm(clock), 1, 0, kAdpcmLast);
            break;
        case kTypeOpn2: Add(i, MakeOpnFm(type, clock), kBoth, 0, kLastReg); break;
        case kTypeOpm: Add(i, MakeOpmFm(clock), kBoth, 0, kLastReg); break;
        case kTypePsg:
        case kTypeAy: Add(i, MakeSsg(type, clock), kBoth, 0, kLastReg); break;
        case kTypeDcsg: Add(i, MakeDcsg(clock), kBoth, 0, kLastReg); break;
        case kTypeOpll:
        case kTypeOpl:
        case kTypeOpl2:
        case kTypeOpl3: Add(i, MakeOplFamily(type, clock), kBoth, 0, kLastReg); break;
        default: break;  // makes no sound
        }
    }
}

void SoundModel::Advance(double seconds) {
    for (auto& part : parts_) part->Advance(seconds);
}

double SoundModel::HeardIn() const {
    double in = kNeverHeard;
    for (const auto& part : parts_) in = std::min(in, part->HeardIn());
    return in;
}

double SoundModel::SilentAfter() const {
    double after = 0;
    for (const auto& part : parts_) after = std::max(after, part->SilentAfter());
    return after;
}

double TickSeconds(const S98Header& header) {
    const double numer = header.tickNumer != 0 ? header.tickNumer : kDefaultTickNumer;
    const double denom = header.tickDenom != 0 ? header.tickDenom : kDefaultTickDenom;
    return numer / denom;
}

HeardSpan FollowInRealTime(const S98Image& image) {
    const S98Header header = ReadHeader(image, image.size());
    const DeviceTable devices = ReadDeviceTable(image, header);
    const double tick = TickSeconds(header);
    SoundModel model(devices);
    HeardSpan span;
    double now = 0;
    // What the writes of the present moment leave is heard from now + in
    // until now + after; the span takes what of it falls before the moment
    // `until`.
    auto look = [&](double until) {
        const double in = model.HeardIn();
        if (in == kNeverHeard || (now + in >= until && until > now)) return;
        if (span.first < 0) span.first = now + in;
        span.last = std::max(span.last, std::min(now + model.SilentAfter(), until));
    };
    WalkStream(
        image, header, devices,
        [&](std::int64_t, const RegisterWrite& w) {
            model.Write(w);
            return true;
        },
        [&](std::int64_t, std::uint64_t ticks, std::int64_t) {
            const double later = now + double(ticks) * tick;
            look(later);
            model.Advance(later - now);
            now = later;
            return true;
        });
    look(now);
    span.end = now;
    return span;
}

}  // namespace zelta
