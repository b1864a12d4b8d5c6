#include "sound_cut.h"

#include <cmath>
#include <utility>

#include "chip_rules.h"
#include "sound_model.h"

namespace zelta {
namespace {

// A wait of `ticks` (>= 1) as the stream writes it: 0xFF for one tick, else
// an n-sync whose count (ticks - 2) runs in 7-bit groups, low first.
std::vector<std::uint8_t> WaitBytes(std::uint64_t ticks) {
    if (ticks == 1) return {kOneSync};
    std::vector<std::uint8_t> bytes{kNSync};
    for (std::uint64_t count = ticks - kNSyncExtraTicks;; count >>= kCountBitsPerByte) {
        const auto group = static_cast<std::uint8_t>(count & kCountBits);
        if (count <= kCountBits) {
            bytes.push_back(group);
            return bytes;
        }
        bytes.push_back(group | kCountContinues);
    }
}

}  // namespace

SoundStart FindSoundStart(const S98Image& image, const S98Header& header,
                          const DeviceTable& devices) {
    // The first sounding moment: where its writes begin (from the first
    // key-on on) and where they end. Time stands still otherwise: the output
    // plays a silent moment's writes with the next one's, but only a
    // sounding moment's own writes may start it.
    SoundModel model(devices);
    KeyOnWatch watch;
    std::int64_t keyOn = 0, first = 0, past = 0;
    bool waited = false;  // since the moment's last write
    bool found = false;
    auto sounds = [&] { return first != 0 && model.HeardIn() != kNeverHeard; };
    WalkStream(
        image, header, devices,
        [&](std::int64_t at, const RegisterWrite& w) {
            if (waited) {
                waited = false;
                if ((found = sounds())) return false;
                first = 0;
            }
            model.Write(w);
            if (keyOn == 0 && watch.Observe(w) != Sound::kNone) keyOn = at;
            if (keyOn != 0 && first == 0) first = at;
            past = at + kRegisterWriteSize;
            return true;
        },
        [&](std::int64_t, std::uint64_t, std::int64_t) {
            waited = true;
            return true;
        });
    if (!found && !(waited && sounds())) return SoundStart{keyOn, 0};
    // Its first write after which a sound would be heard: the writes before
    // the moment again, then the moment's one by one.
    SoundModel again(devices);
    std::int64_t start = 0;
    WalkStream(
        image, header, devices,
        [&](std::int64_t at, const RegisterWrite& w) {
            again.Write(w);
            if (at >= first && again.HeardIn() != kNeverHeard) start = at;
            return start == 0 && at + kRegisterWriteSize < past;
        },
        [&](std::int64_t, std::uint64_t, std::int64_t) { return true; });
    return SoundStart{keyOn, start != 0 ? start : past - kRegisterWriteSize};
}

std::optional<EndCut> FindSilentEnd(const S98Image& image, const S98Header& header,
                                    const DeviceTable& devices) {
    const double tick = TickSeconds(header);
    SoundModel model(devices);
    std::uint64_t now = 0;      // ticks
    std::uint64_t waited = 0;   // ticks since the last write
    std::uint64_t endTick = 0;  // just past the last tick anything is heard in
    bool heard = false;
    // The moment [now, now + waited) is over.
    auto pass = [&] {
        if (waited == 0) return;
        const double length = double(waited) * tick;
        if (model.HeardIn() < length) {
            heard = true;
            const double after = model.SilentAfter();
            const std::uint64_t last =
                after >= length ? waited : static_cast<std::uint64_t>(std::ceil(after / tick));
            endTick = std::max(endTick, now + last);
        }
        model.Advance(length);
        now += waited;
        waited = 0;
    };
    WalkStream(
        image, header, devices,
        [&](std::int64_t, const RegisterWrite& w) {
            pass();
            model.Write(w);
            return true;
        },
        [&](std::int64_t, std::uint64_t ticks, std::int64_t) {
            waited += ticks;
            return true;
        });
    pass();
    const std::uint64_t streamTicks = now;
    if (!heard || endTick >= streamTicks) return std::nullopt;

    // The first command at or past the end tick, or the wait across it.
    EndCut cut;
    cut.secondsLeftOut = double(streamTicks - endTick) * tick;
    now = 0;
    WalkStream(
        image, header, devices,
        [&](std::int64_t at, const RegisterWrite&) {
            if (now < endTick) return true;
            cut.cutAt = at;
            return false;
        },
        [&](std::int64_t at, std::uint64_t ticks, std::int64_t) {
            if (now + ticks <= endTick) {
                now += ticks;
                return true;
            }
            cut.cutAt = at;
            if (now < endTick) cut.wait = WaitBytes(endTick - now);
            return false;
        });
    cut.endOffset = cut.cutAt + static_cast<std::int64_t>(cut.wait.size());
    return cut;
}

}  // namespace zelta
