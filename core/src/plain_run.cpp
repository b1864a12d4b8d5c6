#include "plain_run.h"

#include <array>
#include <bit>
#include <bitset>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "s98_image.h"

// A second thread for long walks, except in a browser build without threads.
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
#define ZELTA_THREADS 0
#else
#define ZELTA_THREADS 1
#include <system_error>
#include <thread>
#endif

namespace zelta {

BlockMasks ClassifyBlockPortable(const std::uint8_t* block, int writeLimit) {
    BlockMasks m;
    for (int j = 0; j < 64; ++j) {
        m.writes |= std::uint64_t{block[j] < writeLimit} << j;
        m.waits |= std::uint64_t{block[j] == kOneSync} << j;
        m.high |= std::uint64_t{(block[j] & kCountContinues) != 0} << j;
    }
    return m;
}

namespace {

constexpr std::int64_t kBlock = 64;

// For a command at position pos of a block, the positions the writes that
// may follow it take: pos, pos + 3, ... up to 63.
struct Chain {
    std::uint64_t positions = 0;
    std::int64_t past = 0;  // just past the chain's last write
};
constexpr std::array<Chain, 64> MakeChains() {
    std::array<Chain, 64> chains{};
    for (int pos = 0; pos < 64; ++pos) {
        int last = pos;
        for (int j = pos; j < 64; j += 3) {
            chains[static_cast<std::size_t>(pos)].positions |= std::uint64_t{1} << j;
            last = j;
        }
        chains[static_cast<std::size_t>(pos)].past = last + kRegisterWriteSize;
    }
    return chains;
}
constexpr std::array<Chain, 64> kChains = MakeChains();

#if defined(__SSE2__)
inline __attribute__((always_inline)) BlockMasks Classify(const std::uint8_t* block,
                                                          int writeLimit) {
    // Below the limit: max(b, limit - 1) == limit - 1. The limit is at least 1.
    const __m128i highest = _mm_set1_epi8(static_cast<char>(writeLimit - 1));
    const __m128i wait = _mm_set1_epi8(static_cast<char>(kOneSync));
    BlockMasks m;
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * k));
        const auto writes = static_cast<std::uint32_t>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(v, highest), highest)));
        const auto waits =
            static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, wait)));
        const auto high = static_cast<std::uint32_t>(_mm_movemask_epi8(v));
        m.writes |= std::uint64_t{writes} << (16 * k);
        m.waits |= std::uint64_t{waits} << (16 * k);
        m.high |= std::uint64_t{high} << (16 * k);
    }
    return m;
}
#else
inline BlockMasks Classify(const std::uint8_t* block, int writeLimit) {
    return ClassifyBlockPortable(block, writeLimit);
}
#endif

}  // namespace

std::int64_t RunLength(const std::uint8_t* p, std::int64_t max, std::uint8_t byte) {
    std::int64_t n = 0;
    // Eight bytes at a time: the first byte that differs ends the run.
    const std::uint64_t pattern = 0x0101010101010101ULL * byte;
    while (n + 8 <= max) {
        std::uint64_t word;
        std::memcpy(&word, p + n, sizeof word);
        const std::uint64_t differs = word ^ pattern;
        if (differs != 0) {
            const int bit = std::endian::native == std::endian::little ? std::countr_zero(differs)
                                                                       : std::countl_zero(differs);
            return n + bit / 8;
        }
        n += 8;
    }
    while (n < max && p[n] == byte) ++n;
    return n;
}

BlockMasks ClassifyBlock(const std::uint8_t* block, int writeLimit) {
    return Classify(block, writeLimit);
}

std::int64_t PastNSync(const std::uint8_t* p, std::int64_t at, std::int64_t end) {
    std::int64_t count = at + 1;
    while (count < end && (p[count] & kCountContinues) != 0) ++count;
    return count >= end ? at : count + 1;
}

std::int64_t StepPlainCommand(const std::uint8_t* p, std::int64_t at, std::int64_t end,
                              int writeLimit) {
    if (at > end - kRegisterWriteSize) return at;  // not even a write fits
    const std::uint8_t c = p[at];
    if (c < writeLimit) return at + kRegisterWriteSize;
    if (c == kOneSync) return at + RunLength(p + at, end - at, kOneSync);
    if (c == kNSync) return PastNSync(p, at, end);  // `at` when the count runs on past `end`
    return at;
}

std::int64_t SkipPlainCommandsOneByOne(const std::uint8_t* p, std::int64_t at, std::int64_t end,
                                       int writeLimit) {
    for (;;) {
        const std::int64_t next = StepPlainCommand(p, at, end, writeLimit);
        if (next == at) return at;
        at = next;
    }
}

// A block at `at` is walked on bit masks: from a command at position pos,
// the commands that follow while they are writes sit at pos, pos + 3, ...,
// so the first position of that phase whose byte is not a write is the
// next command that is not. If it is a wait, the run of waits moves the
// phase on, and so does an n-sync whose count ends in the block; anything
// else ends the walk there. A block is only walked when a write starting at
// its last byte still fits before `end`.
//
// Which of the two a break is changes from one break to the next without
// a pattern, so the step past it is chosen without a branch:
//
//   break at q    the next command                         mask searched from q
//   ------------  ---------------------------------------  ---------------------
//   wait (0xFF)   the first byte after the run of waits    ~waits
//   n-sync        just past the first count byte whose     ~high, from q + 1
//                 bit 7 is clear
std::int64_t SkipPlainCommandsInBlocks(const std::uint8_t* p, std::int64_t at, std::int64_t end,
                                       int writeLimit) {
    if (writeLimit <= 0) return SkipPlainCommandsOneByOne(p, at, end, writeLimit);
    while (at + kBlock + kRegisterWriteSize - 1 <= end) {
        const BlockMasks m = Classify(p + at, writeLimit);
        std::int64_t pos = 0;
        for (;;) {
            const Chain& chain = kChains[static_cast<std::size_t>(pos)];
            const std::uint64_t breaks = chain.positions & ~m.writes;
            if (breaks == 0) {
                pos = chain.past;
                break;
            }
            const int q = std::countr_zero(breaks);
            const std::uint64_t isWait = (m.waits >> q) & 1;
            if ((isWait | static_cast<std::uint64_t>(p[at + q] == kNSync)) == 0) {
                return at + q;  // none of the kinds
            }
            const std::uint64_t fromQ = ~0ULL << q;
            const std::uint64_t waitMask = 0 - isWait;
            const std::uint64_t ends = (~m.waits & fromQ & waitMask) |
                                       (~m.high & (fromQ << 1) & ~waitMask);
            if (ends == 0) {
                // A run of waits, or a count, that goes on past the block
                // goes on as far as it goes.
                if (isWait != 0) {
                    pos = q + RunLength(p + at + q, end - (at + q), kOneSync);
                    break;
                }
                const std::int64_t past = PastNSync(p, at + q, end);
                if (past == at + q) return past;  // the count runs on past `end`
                pos = past - at;
                break;
            }
            pos = std::countr_zero(ends) + 1 - static_cast<std::int64_t>(isWait);
            if (pos == kBlock) break;
        }
        at += pos;
    }
    return SkipPlainCommandsOneByOne(p, at, end, writeLimit);
}

// ---------------------------------------------------------------------------
// A long walk split over two threads.
//
// The walk is one chain: where each command begins depends on the one
// before. A second thread guesses where a command begins near `middle`: the
// first of kGuesses positions from which the one-by-one rule steps over
// kProbe bytes without stopping. It notes each position it steps on in those
// bytes, then walks on in blocks to the end. The first thread walks from
// `at`; past the guess it goes one by one, and if it steps on a noted
// position the two walks are the same from there on, so the second thread's
// stop is the answer. If it does not (a wrong guess that never met the true
// walk), the first thread walks on alone: a guess can only save time, never
// change the answer.
//
//   outcome of the guess              answer
//   --------------------------------  -----------------------------------------
//   the walks meet in the probe       the second thread's stop
//   the first walk stops before       where it stopped
//   no guess survives, or no meeting  the first thread's own walk on to the end
// ---------------------------------------------------------------------------
namespace {

constexpr std::int64_t kProbe = 256;
constexpr std::int64_t kGuesses = 64;

struct Guess {
    std::int64_t from = -1;  // -1: no guess survived its probe
    std::bitset<kProbe> noted;  // positions from + i stepped on
    std::int64_t stop = 0;
};

Guess GuessAndWalk(const std::uint8_t* p, std::int64_t middle, std::int64_t end, int writeLimit) {
    Guess guess;
    for (std::int64_t from = middle; from < middle + kGuesses; ++from) {
        guess.noted.reset();
        std::int64_t x = from;
        while (x < from + kProbe) {
            guess.noted.set(static_cast<std::size_t>(x - from));
            const std::int64_t next = StepPlainCommand(p, x, end, writeLimit);
            if (next == x) break;
            x = next;
        }
        if (x >= from + kProbe) {
            guess.from = from;
            guess.stop = SkipPlainCommandsInBlocks(p, x, end, writeLimit);
            return guess;
        }
    }
    return guess;
}

// The first thread's part once the guess is known (or -1: none).
std::int64_t WalkToGuess(const std::uint8_t* p, std::int64_t at, std::int64_t end, int writeLimit,
                         const Guess& guess) {
    if (guess.from < 0) return SkipPlainCommandsInBlocks(p, at, end, writeLimit);
    // In blocks up to the guess (a stop there may only be the guess's
    // edge), then one by one through the probe.
    at = SkipPlainCommandsInBlocks(p, at, guess.from, writeLimit);
    while (at < guess.from + kProbe) {
        if (at >= guess.from && guess.noted.test(static_cast<std::size_t>(at - guess.from))) {
            return guess.stop;  // the walks have met
        }
        const std::int64_t next = StepPlainCommand(p, at, end, writeLimit);
        if (next == at) return at;
        at = next;
    }
    return SkipPlainCommandsInBlocks(p, at, end, writeLimit);
}

}  // namespace

std::int64_t SkipPlainCommandsSplit(const std::uint8_t* p, std::int64_t at, std::int64_t end,
                                    int writeLimit, std::int64_t middle) {
    if (writeLimit <= 0 || middle <= at || middle + kGuesses + kProbe > end) {
        return SkipPlainCommandsInBlocks(p, at, end, writeLimit);
    }
    Guess guess;
#if ZELTA_THREADS
    try {
        std::thread second([&] { guess = GuessAndWalk(p, middle, end, writeLimit); });
        // The first half meanwhile, up to where the guesses begin.
        const std::int64_t first = SkipPlainCommandsInBlocks(p, at, middle, writeLimit);
        second.join();
        return WalkToGuess(p, first, end, writeLimit, guess);
    } catch (const std::system_error&) {
        // No second thread to be had: the walk alone.
    }
#endif
    return SkipPlainCommandsInBlocks(p, at, end, writeLimit);
}

std::int64_t SkipPlainCommands(const std::uint8_t* p, std::int64_t at, std::int64_t end,
                               int writeLimit) {
    if (JumpWalkAvailable()) return SkipPlainCommandsByJumps(p, at, end, writeLimit);
    if (end - at < kMinSplitWalk) return SkipPlainCommandsInBlocks(p, at, end, writeLimit);
    return SkipPlainCommandsSplit(p, at, end, writeLimit, at + (end - at) / 2);
}

}  // namespace zelta
