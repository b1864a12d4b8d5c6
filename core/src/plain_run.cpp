#include "plain_run.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "s98_image.h"

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

std::int64_t SkipPlainCommandsOneByOne(const std::uint8_t* p, std::int64_t at, std::int64_t end,
                                       int writeLimit) {
    const std::int64_t last = end - kRegisterWriteSize;  // a write here still fits
    while (at <= last) {
        const std::uint8_t c = p[at];
        if (c < writeLimit) {
            at += kRegisterWriteSize;
        } else if (c == kOneSync) {
            at += RunLength(p + at, end - at, kOneSync);
        } else if (c == kNSync) {
            const std::int64_t past = PastNSync(p, at, end);
            if (past == at) break;  // the count runs on past `end`
            at = past;
        } else {
            break;
        }
    }
    return at;
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
std::int64_t SkipPlainCommands(const std::uint8_t* p, std::int64_t at, std::int64_t end,
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

}  // namespace zelta
