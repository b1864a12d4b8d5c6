#include "loop_search.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <vector>

#include "chip_rules.h"
#include "os_file.h"

namespace zelta {
namespace {

// Times past this are refused (no song lasts so long: 49 days of 1 ms
// ticks), so that a time takes 4 bytes.
constexpr std::uint64_t kMaxTicks = 0xFFFFFFFF;
// Count bytes past this many bits could only overflow.
constexpr int kMaxCountShift = 56;

// The steady rule's tolerance: 2 ticks or 3 ms, whichever is more.
constexpr std::uint64_t kToleranceTicks = 2;
constexpr std::uint64_t kToleranceMs = 3;
constexpr std::uint64_t kMsPerSecond = 1000;

// The search's work, in steps of its scans, may reach this many per compared
// write and this many more.
constexpr std::int64_t kStepsPerWrite = 32;
constexpr std::int64_t kStepsBeyond = std::int64_t{1} << 24;
// Loops played back before the search gives up: each costs a walk of the
// stream up to its cut and a comparison of the writes after it.
constexpr int kMostPlaybacks = 16;

// A key's bit 31 marks a key-on: it is no part of what is compared.
constexpr std::uint32_t kKeyOnFlag = 0x80000000;
constexpr std::uint32_t kKeyBits = 0x00FFFFFF;

// The tick, numer/denom seconds, and the rules' limits in ticks.
struct Clock {
    std::uint64_t numer = kDefaultTickNumer;
    std::uint64_t denom = kDefaultTickDenom;
    std::uint64_t tolerance = kToleranceTicks;  // ticks d(j) may vary by
    std::uint64_t shortest = 0;                 // ticks a loop lasts at least (1 s)
};

Clock ClockOf(const S98Header& h) {
    Clock c;
    if (h.tickNumer != 0) c.numer = h.tickNumer;
    if (h.tickDenom != 0) c.denom = h.tickDenom;
    // v ticks last 3 ms or less when kMsPerSecond * v * numer <= 3 * denom.
    c.tolerance = std::max(kToleranceTicks, kToleranceMs * c.denom / (kMsPerSecond * c.numer));
    c.shortest = (c.denom + c.numer - 1) / c.numer;
    return c;
}

// The compared writes: key (with kKeyOnFlag) and time, index by index.
struct Records {
    std::unique_ptr<std::uint32_t[]> keys;
    std::unique_ptr<std::uint32_t[]> ticks;
    std::size_t n = 0;
    std::size_t size() const { return n; }
    bool Same(std::size_t i, std::size_t j) const { return ((keys[i] ^ keys[j]) & kKeyBits) == 0; }
    bool KeyOn(std::size_t i) const { return (keys[i] & kKeyOnFlag) != 0; }
    std::uint64_t Span(std::size_t from, std::size_t to) const { return ticks[to] - ticks[from]; }
};

// Room for `n` values, not yet touched (ReadyRoom, loop_search.h).
// Null when memory runs out: nothing here throws.
template <typename T>
std::unique_ptr<T[]> Room(std::size_t n) {
    // new T[n], not make_unique: the values are left as they are.
    std::unique_ptr<T[]> room(new (std::nothrow) T[n]);
    if (!room) return room;
    ReadyRoom(room.get(), n * sizeof(T));
    return room;
}

// What the walk does with a write, by command byte and register.
constexpr std::uint8_t kLeftOutBit = 0x01;  // not compared
constexpr std::uint8_t kModeBit = 0x02;     // compared when its mode bits change
constexpr std::uint8_t kWatchedBit = 0x04;  // shown to the key-on watch

class WriteClasses {
public:
    explicit WriteClasses(const DeviceTable& devices)
        : commands_(static_cast<std::size_t>(std::min(devices.validCount << kDeviceIndexShift,
                                                      int{kEndOfData}))),
          classes_(commands_) {
        for (std::size_t c = 0; c < commands_; ++c) {
            const std::int32_t type = devices.types[c >> kDeviceIndexShift];
            const int port = static_cast<int>(c & kPortBit);
            for (int reg = 0; reg < 256; ++reg) {
                const auto r = static_cast<std::uint8_t>(reg);
                const CompareRule rule = CompareRuleFor(type, port, r);
                std::uint8_t k = KeyOnWatched(type, port, r) ? kWatchedBit : 0;
                if (rule.how == Compare::kLeftOut) k |= kLeftOutBit;
                if (rule.how == Compare::kModeBits) {
                    k |= kModeBit;
                    modeBits_[c] = rule.modeBits;
                }
                classes_[c][r] = k;
            }
        }
    }
    std::size_t commands() const { return commands_; }
    std::uint8_t Of(std::uint8_t command, std::uint8_t reg) const { return classes_[command][reg]; }
    std::uint8_t ModeBits(std::uint8_t command) const { return modeBits_[command]; }

private:
    std::size_t commands_;
    std::vector<std::array<std::uint8_t, 256>> classes_;
    std::array<std::uint8_t, 256> modeBits_{};
};

// The compared writes' keys, as the stream goes: a mode register's mode in
// effect is followed per command byte (0 before any write).
class Comparer {
public:
    static constexpr std::uint32_t kLeftOut = 0xFFFFFFFF;
    explicit Comparer(const WriteClasses& classes) : classes_(&classes) {}

    // The key of the write `w` (command byte, register, value), or
    // kLeftOut; `k` is its class.
    std::uint32_t Key(const std::uint8_t* w, std::uint8_t k) {
        if ((k & kLeftOutBit) != 0) return kLeftOut;
        std::uint8_t value = w[2];
        if ((k & kModeBit) != 0) {
            value = static_cast<std::uint8_t>(value & classes_->ModeBits(w[0]));
            if (mode_[w[0]] == value) return kLeftOut;
            mode_[w[0]] = value;
        }
        return std::uint32_t{w[0]} << 16 | std::uint32_t{w[1]} << 8 | value;
    }

private:
    const WriteClasses* classes_;
    std::array<std::uint8_t, 256> mode_{};
};

enum class Walk { kEnded, kStopped, kBroken };

// Walks the register writes of [from, end) up to the end-of-data command,
// adding each wait to `ticks` and calling onWrite(offset, bytes, class) with
// `ticks` the time before the write; onWrite returns false to stop there.
// Broken: a command that does not fit, or a time too long.
template <typename OnWrite>
Walk WalkWrites(const S98Image& image, const WriteClasses& classes, std::int64_t from,
                std::int64_t end, std::uint64_t& ticks, OnWrite&& onWrite) {
    const std::uint8_t* bytes = image.ptr(0);
    std::int64_t at = from;
    while (at < end) {
        const std::uint8_t c = bytes[at];
        if (c < kEndOfData) {
            if (at + kRegisterWriteSize > end || c >= classes.commands()) return Walk::kBroken;
            const std::uint8_t* w = bytes + at;
            if (!onWrite(at, w, classes.Of(c, w[1]))) return Walk::kStopped;
            at += kRegisterWriteSize;
        } else if (c == kOneSync) {
            ++ticks;
            ++at;
        } else if (c == kNSync) {
            std::uint64_t count = 0;
            int shift = 0;
            std::uint8_t b = kCountContinues;
            for (++at; (b & kCountContinues) != 0; ++at, shift += kCountBitsPerByte) {
                if (at >= end || shift > kMaxCountShift) return Walk::kBroken;
                b = bytes[at];
                count |= std::uint64_t{static_cast<std::uint8_t>(b & kCountBits)} << shift;
            }
            ticks += count + kNSyncExtraTicks;
            if (ticks > kMaxTicks) return Walk::kBroken;
        } else {
            return Walk::kEnded;  // the end-of-data command
        }
    }
    return Walk::kEnded;
}

// The stream's place in the image, and what its writes address.
struct Stream {
    S98Header header;
    DeviceTable devices;
};

RegisterWrite Decode(const std::uint8_t* w, const DeviceTable& devices) {
    const int device = w[0] >> kDeviceIndexShift;
    return RegisterWrite{device, w[0] & kPortBit, w[1], w[2],
                         devices.types[static_cast<std::size_t>(device)]};
}

// Every compared write of the stream, with its time and whether it sounds.
std::optional<Records> ReadRecords(const S98Image& image, const Stream& s,
                                   const WriteClasses& classes, bool allChips) {
    Records r;
    const auto most = static_cast<std::size_t>((s.header.streamEnd - s.header.dumpOffset) /
                                               kRegisterWriteSize);
    // Room for the most there can be; only what is written is touched.
    r.keys = Room<std::uint32_t>(most);
    r.ticks = Room<std::uint32_t>(most);
    if (!r.keys || !r.ticks) return r;  // no room: the caller sees no keys
    Comparer comparer(classes);
    KeyOnWatch watch;
    std::uint64_t ticks = 0;
    const Walk walk = WalkWrites(
        image, classes, s.header.dumpOffset, s.header.streamEnd, ticks,
        [&](std::int64_t, const std::uint8_t* w, std::uint8_t k) {
            const std::uint32_t key = comparer.Key(w, k);
            if (key == Comparer::kLeftOut) return true;
            // Only compared writes are shown to the watch: the writes left
            // out are neither watched registers nor, for the mode
            // registers, writes that change what the watch keeps.
            bool keyOn = false;
            if ((k & kWatchedBit) != 0) {
                const Sound sound = watch.Observe(Decode(w, s.devices));
                keyOn = allChips ? sound != Sound::kNone : sound == Sound::kOpnFamily;
            }
            r.keys[r.n] = keyOn ? key | kKeyOnFlag : key;
            r.ticks[r.n] = static_cast<std::uint32_t>(ticks);
            ++r.n;
            return true;
        });
    if (walk == Walk::kBroken) return std::nullopt;
    return r;
}

// z[L] for L in [0, half]: the length of the longest common prefix of the
// reversed writes and the reversed writes from L on.
std::unique_ptr<std::int32_t[]> ZOfReversed(const Records& r, std::size_t half) {
    const std::size_t n = r.size();
    auto same = [&](std::size_t i, std::size_t j) { return r.Same(n - 1 - i, n - 1 - j); };
    std::unique_ptr<std::int32_t[]> z = Room<std::int32_t>(half + 1);
    if (!z) return z;
    z[0] = static_cast<std::int32_t>(n);
    std::size_t left = 0;
    std::size_t right = 0;  // [left, right): the rightmost match found so far
    for (std::size_t i = 1; i <= half; ++i) {
        std::size_t k = 0;
        if (i < right) k = std::min(right - i, static_cast<std::size_t>(z[i - left]));
        while (i + k < n && same(k, i + k)) ++k;
        z[i] = static_cast<std::int32_t>(k);
        if (i + k > right) {
            left = i;
            right = i + k;
        }
    }
    return z;
}

// A loop (A, L), counted in compared writes.
struct Period {
    std::size_t start = 0;   // A
    std::size_t length = 0;  // L
};

class PeriodSearch {
public:
    PeriodSearch(const Records& r, const Clock& clock)
        : r_(r), clock_(clock), n_(r.size()),
          budget_(kStepsPerWrite * static_cast<std::int64_t>(n_) + kStepsBeyond) {}

    // Whether Next found no room for its Z values.
    bool outOfMemory() const { return outOfMemory_; }

    // The qualifying loop with the smallest A, then the smallest L, of those
    // that start after `after` (all of them when it is null); nullopt when
    // none does, or when the search, over all its calls, runs too long. The
    // Z values are made again each call: kept, they would add to the peak
    // that playback's passes reach.
    std::optional<Period> Next(const std::optional<Period>& after) {
        if (n_ < 2) return std::nullopt;
        const std::unique_ptr<std::int32_t[]> z = ZOfReversed(r_, n_ / 2);
        if (!z) {
            outOfMemory_ = true;
            return std::nullopt;
        }
        z_ = z.get();
        best_.reset();
        lastKeyOn_ = n_;
        const std::size_t from = after ? after->start + 1 : 0;
        for (std::size_t length = 1; length <= n_ / 2 && budget_ > 0; ++length) {
            const auto agree = static_cast<std::size_t>(z[length]);
            if (agree < length) continue;  // not one whole repeat
            Try(n_ - length - agree, length, from);
        }
        if (budget_ <= 0) return std::nullopt;
        return best_;
    }

private:
    // The qualifying loop of length L that starts first, at `from` or later,
    // if it starts before the best so far.
    void Try(std::size_t periodicFrom, std::size_t length, std::size_t from) {
        if (best_ && std::max(periodicFrom, from) >= best_->start) return;
        const std::size_t lastStart = n_ - 2 * length;
        // The last key-on before n - L: every loop's pass at or after
        // periodicFrom ends there or later, so one must lie in the
        // periodic part.
        while (lastKeyOn_ > 0 && (lastKeyOn_ >= n_ - length || !r_.KeyOn(lastKeyOn_))) {
            --lastKeyOn_;
            --budget_;
        }
        if (!r_.KeyOn(lastKeyOn_) || lastKeyOn_ < std::max(periodicFrom, from)) return;
        // Every loop's length lies within the tolerance of the last pair's.
        if (r_.Span(lastStart, n_ - length) + clock_.tolerance < clock_.shortest) return;
        const std::size_t first = std::max(SteadyFrom(periodicFrom, length), from);
        if (first > lastStart || (best_ && first >= best_->start)) return;
        const std::size_t until = best_ ? std::min(lastStart, best_->start - 1) : lastStart;
        const std::uint64_t lastPairs = LastPairs(length);
        std::size_t period = length;  // the shortest period last looked at, and its last pairs
        std::uint64_t periodPairs = lastPairs;
        std::size_t keyOn = first;  // the first key-on at or after `start`
        for (std::size_t start = first; start <= until && budget_ > 0; ++start, --budget_) {
            if (keyOn < start) keyOn = start;
            while (keyOn < start + length && !r_.KeyOn(keyOn)) {
                ++keyOn;
                --budget_;
            }
            if (keyOn >= start + length || r_.Span(start, start + length) < clock_.shortest ||
                !Paced(start, length, lastPairs)) {
                continue;
            }
            // A loop of several passes of a shorter period is paced by its
            // first pass too.
            const std::size_t shortestPeriod = ShortestPeriod(start, length);
            if (shortestPeriod != period) {
                period = shortestPeriod;
                periodPairs = LastPairs(period);
            }
            if (Paced(start, period, periodPairs)) {
                best_ = Period{start, length};
                return;
            }
        }
    }

    // Whether the pass of length `length` from `start` lasts as long as the
    // last pairs' mean, within a tick: |D * L - lastPairs| <= L.
    bool Paced(std::size_t start, std::size_t length, std::uint64_t lastPairs) const {
        const std::uint64_t spans = r_.Span(start, start + length) * length;
        return spans + length >= lastPairs && lastPairs + length >= spans;
    }

    // The shortest period the writes from `start` on repeat with, L when
    // none is shorter. The writes there, 2L or more, have both periods, so
    // the shortest divides L: only L's divisors are looked at, the smaller
    // first.
    std::size_t ShortestPeriod(std::size_t start, std::size_t length) {
        auto holds = [&](std::size_t p) { return n_ - p - static_cast<std::size_t>(z_[p]) <= start; };
        std::size_t d = 1;
        for (; d * d <= length; ++d, --budget_) {
            if (length % d == 0 && d < length && holds(d)) return d;
        }
        while (--d > 1) {
            --budget_;
            if (length % d == 0 && holds(length / d)) return length / d;
        }
        return length;
    }

    // The sum of d(j) over the last L pairs, j in [n - 2L, n - L): the two
    // passes the log holds in full, L times their length.
    std::uint64_t LastPairs(std::size_t length) {
        const std::uint32_t* t = r_.ticks.get() + (n_ - 2 * length);
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < length; ++i) sum += t[i + length] - t[i];
        budget_ -= static_cast<std::int64_t>(length);
        return sum;
    }

    // The smallest A >= periodicFrom from which d(j) varies by no more than
    // the tolerance, found from the end backwards, a block of pairs at a
    // time (the block where the range first grows too wide is looked at
    // pair by pair).
    std::size_t SteadyFrom(std::size_t periodicFrom, std::size_t length) {
        const std::uint32_t* t = r_.ticks.get();
        std::uint32_t low = t[n_ - 1] - t[n_ - 1 - length];
        std::uint32_t high = low;
        std::size_t j = n_ - length;  // the pairs from j on are steady
        while (j > periodicFrom) {
            const std::size_t from = j - std::min(j - periodicFrom, kSteadyBlock);
            std::uint32_t blockLow = low;
            std::uint32_t blockHigh = high;
            for (std::size_t i = from; i < j; ++i) {
                const std::uint32_t d = t[i + length] - t[i];
                blockLow = std::min(blockLow, d);
                blockHigh = std::max(blockHigh, d);
            }
            budget_ -= static_cast<std::int64_t>(j - from);
            if (blockHigh - blockLow > clock_.tolerance) {
                for (std::size_t i = j; i-- > from;) {
                    const std::uint32_t d = t[i + length] - t[i];
                    low = std::min(low, d);
                    high = std::max(high, d);
                    if (high - low > clock_.tolerance) return i + 1;
                }
            }
            low = blockLow;
            high = blockHigh;
            j = from;
        }
        return periodicFrom;
    }

    static constexpr std::size_t kSteadyBlock = 512;

    const Records& r_;
    const Clock& clock_;
    const std::size_t n_;
    std::int64_t budget_;
    const std::int32_t* z_ = nullptr;  // Next's Z values, while it runs
    std::size_t lastKeyOn_ = 0;
    std::optional<Period> best_;
    bool outOfMemory_ = false;
};

// The byte offsets of compared writes A and A + L, and the comparison's
// state where playback jumps back (just before write A + L).
struct Placement {
    std::int64_t loopOffset = 0;
    std::int64_t cutOffset = 0;
    Comparer stateAtCut;
};

std::optional<Placement> Place(const S98Image& image, const Stream& s,
                               const WriteClasses& classes, const Period& p) {
    Placement place{0, 0, Comparer(classes)};  // the state is set on the way
    Comparer comparer(classes);
    std::size_t index = 0;
    std::uint64_t ticks = 0;
    const Walk walk = WalkWrites(
        image, classes, s.header.dumpOffset, s.header.streamEnd, ticks,
        [&](std::int64_t at, const std::uint8_t* w, std::uint8_t k) {
            if (comparer.Key(w, k) == Comparer::kLeftOut) return true;
            if (index == p.start) place.loopOffset = at;
            if (index == p.start + p.length) {
                place.cutOffset = at;
                return false;
            }
            // A write left out changes no state: the state after write
            // A + L - 1 is the state before write A + L.
            if (index + 1 == p.start + p.length) place.stateAtCut = comparer;
            ++index;
            return true;
        });
    if (walk != Walk::kStopped) return std::nullopt;
    return place;
}

// One pass of the loop as playback plays it: the compared writes' keys and
// their times from the pass's beginning.
struct Pass {
    std::unique_ptr<std::uint32_t[]> keys;
    std::unique_ptr<std::uint32_t[]> ticks;
    std::size_t n = 0;
};

enum class Playback { kFaithful, kDiffers, kNoRoom };

Playback PlayPass(const S98Image& image, const WriteClasses& classes, const Placement& place,
                  Comparer& comparer, std::size_t length, Pass& pass) {
    pass.keys = Room<std::uint32_t>(length);
    pass.ticks = Room<std::uint32_t>(length);
    if (!pass.keys || !pass.ticks) return Playback::kNoRoom;
    std::uint64_t ticks = 0;
    const Walk walk = WalkWrites(image, classes, place.loopOffset, place.cutOffset, ticks,
                                 [&](std::int64_t, const std::uint8_t* w, std::uint8_t k) {
                                     const std::uint32_t key = comparer.Key(w, k);
                                     if (key == Comparer::kLeftOut) return true;
                                     if (pass.n == length) return false;  // one too many
                                     pass.keys[pass.n] = key;
                                     pass.ticks[pass.n] = static_cast<std::uint32_t>(ticks);
                                     ++pass.n;
                                     return true;
                                 });
    return walk == Walk::kEnded && pass.n == length ? Playback::kFaithful : Playback::kDiffers;
}

// Plays the output back: the log up to the cut, then the loop again and
// again until as many compared writes as the log holds are played. Faithful
// when each is the log's, at the log's time within the tolerance and a tick
// per jump. A pass leaves the mode registers as its last writes set them,
// so the second pass and every later one play alike: two passes are walked.
Playback PlaysBack(const S98Image& image, const WriteClasses& classes, const Records& r,
                   const Period& p, const Placement& place, const Clock& clock) {
    Comparer comparer = place.stateAtCut;
    Pass first;
    Pass later;
    for (Pass* pass : {&first, &later}) {
        const Playback played = PlayPass(image, classes, place, comparer, p.length, *pass);
        if (played != Playback::kFaithful) return played;
    }
    const std::uint64_t passTicks = r.Span(p.start, p.start + p.length);
    std::uint64_t passBegins = r.ticks[p.start + p.length];
    std::uint64_t jumps = 1;
    for (std::size_t index = p.start + p.length; index < r.size(); index += p.length, ++jumps) {
        const Pass& pass = jumps == 1 ? first : later;
        const std::size_t count = std::min(p.length, r.size() - index);
        const auto allowed = static_cast<std::int64_t>(clock.tolerance + jumps);
        // Each pass compared whole, without a branch per write.
        std::uint32_t keysDiffer = 0;
        bool late = false;
        for (std::size_t i = 0; i < count; ++i) {
            keysDiffer |= (pass.keys[i] ^ r.keys[index + i]) & kKeyBits;
            const std::int64_t off = static_cast<std::int64_t>(passBegins + pass.ticks[i]) -
                                     static_cast<std::int64_t>(r.ticks[index + i]);
            late |= off > allowed || off < -allowed;
        }
        if (keysDiffer != 0 || late) return Playback::kDiffers;
        passBegins += passTicks;
    }
    return Playback::kFaithful;
}

}  // namespace

void ReadyRoom(void* p, std::size_t size) {
    if (size >= kHugeRoom) {
        os::AdviseHugePages(p, size);
    } else {
        os::PrefaultPages(p, size);
    }
}

LoopSearch FindLoop(const S98Image& image, bool allChips) {
    Stream s{ReadHeader(image, image.size()), {}};
    s.devices = ReadDeviceTable(image, s.header);
    const WriteClasses classes(s.devices);
    const Clock clock = ClockOf(s.header);
    const std::optional<Records> records = ReadRecords(image, s, classes, allChips);
    if (!records) return {};
    if (!records->keys || !records->ticks) return {std::nullopt, true};
    PeriodSearch search(*records, clock);
    // A loop that does not play back gives way to the next that qualifies.
    std::optional<Period> period;
    for (int playbacks = 0; playbacks < kMostPlaybacks; ++playbacks) {
        period = search.Next(period);
        if (!period) return {std::nullopt, search.outOfMemory()};
        const std::optional<Placement> place = Place(image, s, classes, *period);
        if (!place) return {};
        const Playback played = PlaysBack(image, classes, *records, *period, *place, clock);
        if (played == Playback::kNoRoom) return {std::nullopt, true};
        if (played == Playback::kDiffers) continue;
        const std::uint64_t ticks = records->Span(period->start, period->start + period->length);
        const double seconds = static_cast<double>(ticks) * static_cast<double>(clock.numer) /
                               static_cast<double>(clock.denom);
        return {FoundLoop{place->loopOffset, place->cutOffset, seconds}, false};
    }
    return {};
}

}  // namespace zelta
