// The walk over plain commands by jump tables, on processors with 64-byte
// byte permutes (AVX-512 VBMI).
//
// Each 64-byte block gets a table: for every offset q in it, where the
// command that begins at q leads.
//
//   byte at q                 jump[q]
//   ------------------------  -------------------------------------------
//   below the write limit     q + 3
//   0xFF (one-tick wait)      q + 1
//   0xFE (n-sync)             just past its last count byte, when that
//                             lies within the next block; else q
//   anything else             q (the walk stops there)
//
// Offsets 64 and up stand for the next block (64 + k: its offset k) and
// lead to themselves. Composing the table with itself six times gives, for
// every offset, where 64 steps from it lead: out of the block, or to the
// command the walk stops at. Only the entry the walk really comes in by
// (nearly always offset 0, 1 or 2) is then looked up. The tables of the
// blocks do not depend on each other, so the processor builds the next
// ones while the walk looks up the current one: the chain of dependent
// steps is one lookup per block instead of one step per command.
#include "plain_run.h"

#include "chip_rules.h"
#include "s98_image.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZELTA_JUMP_WALK 1
// GCC 12 takes the undefined upper lanes of its 512-to-128-bit cast for
// uninitialized values.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#define ZELTA_JUMP_WALK 0
#endif

namespace zelta {

#if ZELTA_JUMP_WALK

namespace {

#define ZELTA_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi,bmi,bmi2")))

constexpr std::int64_t kBlock = 64;
// A block is only walked when the next one can be read too (an n-sync's
// count may run into it).
constexpr std::int64_t kReadAhead = 2 * kBlock;
// log2(64): every step moves at least one byte on.
constexpr int kDoublings = 6;
// How far ahead of the block in hand the next ones are asked for from memory.
constexpr std::int64_t kPrefetchAhead = 64 * kBlock;

// Where the n-sync at q leads: just past the first count byte after q whose
// bit 7 is clear, with `high` the bit-7 masks of this block and the next;
// q when that lies beyond the next block. Without branches: whether a block
// holds a 0xFE byte at all has no pattern.
ZELTA_VBMI inline unsigned PastCount(unsigned q, std::uint64_t high, std::uint64_t nextHigh) {
    const unsigned from = q + 1;  // at most 64
    const std::uint64_t after = from < 64 ? ~std::uint64_t{0} << from : 0;
    const std::uint64_t clear = ~high & after;
    const unsigned inNext = 64 + static_cast<unsigned>(_tzcnt_u64(~nextHigh));  // 128: none
    const unsigned last = clear != 0 ? static_cast<unsigned>(_tzcnt_u64(clear)) : inNext;
    return last + 1 < 2 * kBlock ? last + 1 : q;
}

// The block at p (with the next one, `next`), one step from each offset.
ZELTA_VBMI inline __m512i SingleJumps(__m512i v, __m512i next, __m512i limit, __m512i offsets) {
    const __mmask64 writes = _mm512_cmplt_epu8_mask(v, limit);
    const __mmask64 waits = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(kOneSync)));
    const __mmask64 others = _knot_mask64(_kor_mask64(writes, waits));
    __m512i jumps = _mm512_add_epi8(offsets, _mm512_set1_epi8(kRegisterWriteSize));
    jumps = _mm512_mask_add_epi8(jumps, waits, offsets, _mm512_set1_epi8(1));
    jumps = _mm512_mask_mov_epi8(jumps, others, offsets);
    // The first n-sync of the block is set without a branch; the blocks
    // that hold more (few) take the loop.
    std::uint64_t nsyncs =
        _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(kNSync)));
    const std::uint64_t high = _mm512_movepi8_mask(v);
    const std::uint64_t nextHigh = _mm512_movepi8_mask(next);
    do {
        const auto q = static_cast<unsigned>(_tzcnt_u64(nsyncs));  // 64: none
        jumps = _mm512_mask_mov_epi8(jumps, _blsi_u64(nsyncs),
                                     _mm512_set1_epi8(static_cast<char>(PastCount(q, high, nextHigh))));
        nsyncs = _blsr_u64(nsyncs);
    } while (nsyncs != 0);
    return jumps;
}

// Where 2^k steps lead, from where 2^(k-1) steps do.
ZELTA_VBMI inline __m512i Twice(__m512i jumps, __m512i nextBlock) {
    return _mm512_permutex2var_epi8(jumps, jumps, nextBlock);
}

// The block at p, composed to 64 steps.
ZELTA_VBMI inline __m512i BlockJumps(const std::uint8_t* p, __m512i limit, __m512i offsets,
                                     __m512i nextBlock) {
    _mm_prefetch(reinterpret_cast<const char*>(p + kPrefetchAhead), _MM_HINT_T0);
    __m512i jumps = SingleJumps(_mm512_loadu_si512(p), _mm512_loadu_si512(p + kBlock), limit, offsets);
    for (int i = 0; i < kDoublings; ++i) jumps = Twice(jumps, nextBlock);
    return jumps;
}

alignas(64) constexpr std::uint8_t kOffsets[kBlock] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
    22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43,
    44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63};

// Lane m's bit k, for each k: the lanes that take the 2^k steps.
constexpr std::uint64_t kLaneBits[kDoublings] = {
    0xAAAAAAAAAAAAAAAAULL, 0xCCCCCCCCCCCCCCCCULL, 0xF0F0F0F0F0F0F0F0ULL,
    0xFF00FF00FF00FF00ULL, 0xFFFF0000FFFF0000ULL, 0xFFFFFFFF00000000ULL};

// jumps[entry]: the first eight from a register, the rest through memory.
ZELTA_VBMI inline unsigned Lookup(__m512i jumps, unsigned entry) {
    if (entry < 8) [[likely]] {
        const auto first = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm512_castsi512_si128(jumps)));
        return static_cast<unsigned>(first >> (8 * entry)) & 0xFF;
    }
    alignas(64) std::uint8_t all[kBlock];
    _mm512_store_si512(all, jumps);
    return all[entry];
}

ZELTA_VBMI std::int64_t Walk(const std::uint8_t* p, std::int64_t at, std::int64_t end,
                             int writeLimit) {
    const __m512i limit = _mm512_set1_epi8(static_cast<char>(writeLimit));
    const __m512i offsets = _mm512_load_si512(kOffsets);
    const __m512i nextBlock = _mm512_add_epi8(offsets, _mm512_set1_epi8(kBlock));
    std::int64_t base = at;
    unsigned entry = 0;
    while (base + kReadAhead <= end) {
        const unsigned to = Lookup(BlockJumps(p + base, limit, offsets, nextBlock), entry);
        if (to < kBlock) [[unlikely]] {
            // Stopped: at a command that is none of the plain kinds, or at an
            // n-sync whose count runs past the next block.
            const std::int64_t stop = base + to;
            if (p[stop] != kNSync) return stop;
            const std::int64_t past = PastNSync(p, stop, end);
            if (past == stop) return stop;
            base = past;
            entry = 0;
            continue;
        }
        base += kBlock;
        entry = to - kBlock;
    }
    return SkipPlainCommandsInBlocks(p, base + entry, end, writeLimit);
}

// Lane m of the answer: where m steps from `entry` lead. The powers of the
// table are composed for each lane by the bits of m.
ZELTA_VBMI unsigned List(const std::uint8_t* p, unsigned entry, int writeLimit,
                         const std::uint8_t* leftOutModes, BlockCommands& out) {
    const __m512i limit = _mm512_set1_epi8(static_cast<char>(writeLimit));
    const __m512i offsets = _mm512_load_si512(kOffsets);
    const __m512i nextBlock = _mm512_add_epi8(offsets, _mm512_set1_epi8(kBlock));
    _mm_prefetch(reinterpret_cast<const char*>(p + kPrefetchAhead), _MM_HINT_T0);
    const __m512i v = _mm512_loadu_si512(p);
    const __m512i next = _mm512_loadu_si512(p + kBlock);
    const __m512i single = SingleJumps(v, next, limit, offsets);
    __m512i power = single;
    __m512i lanes = _mm512_set1_epi8(static_cast<char>(entry));
    for (int k = 0; k < kDoublings; ++k) {
        lanes = _mm512_mask2_permutex2var_epi8(power, lanes, kLaneBits[k], nextBlock);
        power = Twice(power, nextBlock);
    }
    // A lane is a command when it lies in the block and the walk goes on
    // from it: after the last one come the exit or the stop, over and over.
    const __m512i onward = _mm512_permutex2var_epi8(single, lanes, nextBlock);
    const __mmask64 commands = _mm512_cmplt_epu8_mask(lanes, _mm512_set1_epi8(kBlock)) &
                               _mm512_cmpneq_epi8_mask(onward, lanes);
    const __m512i bytes = _mm512_permutex2var_epi8(v, lanes, next);
    out.writes = commands & _mm512_cmplt_epu8_mask(bytes, limit);
    out.kept = out.writes;
    if (leftOutModes != nullptr) {
        // The timer writes that repeat the mode in effect: a register byte of
        // 0x27, and bits 7-6 of the value as the table asks (command bytes
        // are below 128 here).
        const __m512i one = _mm512_set1_epi8(1);
        const __m512i reg = _mm512_permutex2var_epi8(v, _mm512_add_epi8(lanes, one), next);
        const __m512i value =
            _mm512_permutex2var_epi8(v, _mm512_add_epi8(lanes, _mm512_add_epi8(one, one)), next);
        const __m512i mode = _mm512_and_si512(_mm512_srli_epi16(value, kOpnCh3ModeShift),
                                              _mm512_set1_epi8(0x03));
        const __m512i wanted = _mm512_permutex2var_epi8(
            _mm512_loadu_si512(leftOutModes), bytes, _mm512_loadu_si512(leftOutModes + kBlock));
        const __mmask64 timer = _mm512_cmpeq_epi8_mask(reg, _mm512_set1_epi8(kOpnTimerReg));
        const __mmask64 repeats =
            _mm512_cmpeq_epi8_mask(wanted, mode) |
            _mm512_cmpeq_epi8_mask(wanted, _mm512_set1_epi8(static_cast<char>(LeadInFilter::kAnyMode)));
        out.kept &= ~(timer & repeats);
    }
    _mm512_storeu_si512(out.at, lanes);
    return Lookup(power, entry);
}

}  // namespace

bool JumpWalkAvailable() {
    static const bool available = __builtin_cpu_supports("avx512f") &&
                                  __builtin_cpu_supports("avx512bw") &&
                                  __builtin_cpu_supports("avx512vbmi") &&
                                  __builtin_cpu_supports("bmi2");
    return available;
}

std::int64_t SkipPlainCommandsByJumps(const std::uint8_t* p, std::int64_t at, std::int64_t end,
                                      int writeLimit) {
    if (writeLimit <= 0 || !JumpWalkAvailable()) {
        return SkipPlainCommandsInBlocks(p, at, end, writeLimit);
    }
    return Walk(p, at, end, writeLimit);
}

unsigned ListBlockCommands(const std::uint8_t* p, unsigned entry, int writeLimit,
                           const std::uint8_t* leftOutModes, BlockCommands& out) {
    return List(p, entry, writeLimit, leftOutModes, out);
}

#else

bool JumpWalkAvailable() { return false; }

unsigned ListBlockCommands(const std::uint8_t*, unsigned, int, const std::uint8_t*, BlockCommands&) {
    return 0;
}

std::int64_t SkipPlainCommandsByJumps(const std::uint8_t* p, std::int64_t at, std::int64_t end,
                                      int writeLimit) {
    return SkipPlainCommandsInBlocks(p, at, end, writeLimit);
}

#endif

}  // namespace zelta
