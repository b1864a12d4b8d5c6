// The bulk of a stream after its start: register writes to valid devices and
// one-tick waits. The scan only has to step over them, and does so 64 bytes
// at a time.
#pragma once

#include <cstdint>

namespace zelta {

// Steps over writes (first byte below writeLimit, three bytes) and waits
// (0xFF, one byte; 0xFE and its count) from the command at `at`, in
// p[0, end). Stops at the first command that is none of these, or that
// would not end before `end`, or at `end` after a run of one-tick waits.
// Returns that command's offset. By jump tables where the processor has
// them; otherwise in blocks, a long walk split over two threads.
std::int64_t SkipPlainCommands(const std::uint8_t* p, std::int64_t at, std::int64_t end,
                               int writeLimit);

// Without jump tables, a walk of at least this many bytes is split over two
// threads.
inline constexpr std::int64_t kMinSplitWalk = std::int64_t{4} << 20;

// The same in 64-byte blocks, on one thread.
std::int64_t SkipPlainCommandsInBlocks(const std::uint8_t* p, std::int64_t at, std::int64_t end,
                                       int writeLimit);

// The same, a second thread walking from a guessed command near `middle`
// (see plain_run.cpp); the answer never depends on the guess.
std::int64_t SkipPlainCommandsSplit(const std::uint8_t* p, std::int64_t at, std::int64_t end,
                                    int writeLimit, std::int64_t middle);

// One step of the rule: just past the write, run of waits or n-sync at
// `at`, or `at` when the command there is none of these or would not end
// before `end`.
std::int64_t StepPlainCommand(const std::uint8_t* p, std::int64_t at, std::int64_t end,
                              int writeLimit);

// The same by jump tables (plain_run_jumps.cpp), where the processor has
// 64-byte byte permutes; in blocks otherwise.
bool JumpWalkAvailable();
std::int64_t SkipPlainCommandsByJumps(const std::uint8_t* p, std::int64_t at, std::int64_t end,
                                      int writeLimit);

// The commands of the 64-byte block at p, walked from offset `entry` (below
// 64), where JumpWalkAvailable(); the next 64 bytes must be readable too.
// `at` holds their offsets in order; bit m of `writes` is set when command m
// is a write, of `kept` when it is a write the lead-in's filter may keep:
// all writes without `leftOutModes`, else all but the timer writes the table
// (LeadInFilter::FillLeftOutModes, 128 entries; writeLimit at most 128) says
// are left out. Returns where the walk goes on: below 64, the offset of a
// command that is none of the plain kinds or an n-sync whose count does not
// end before the next block's last byte (not listed); 64 + k, offset k of
// the next block.
struct BlockCommands {
    std::uint8_t at[64];
    std::uint64_t writes = 0;
    std::uint64_t kept = 0;
};
unsigned ListBlockCommands(const std::uint8_t* p, unsigned entry, int writeLimit,
                           const std::uint8_t* leftOutModes, BlockCommands& out);

// The same, one command at a time: the rule itself, which the block walk
// must match.
std::int64_t SkipPlainCommandsOneByOne(const std::uint8_t* p, std::int64_t at, std::int64_t end,
                                       int writeLimit);

// Just past the n-sync at `at`, or `at` when its count runs on to `end`.
std::int64_t PastNSync(const std::uint8_t* p, std::int64_t at, std::int64_t end);

// For one 64-byte block: bit j of `writes` is set when byte j is below the
// write limit, of `waits` when byte j is 0xFF, of `high` when its bit 7 is.
struct BlockMasks {
    std::uint64_t writes = 0;
    std::uint64_t waits = 0;
    std::uint64_t high = 0;
};
BlockMasks ClassifyBlock(const std::uint8_t* block, int writeLimit);
BlockMasks ClassifyBlockPortable(const std::uint8_t* block, int writeLimit);

// Length of the run of `byte` at p, at most `max`.
std::int64_t RunLength(const std::uint8_t* p, std::int64_t max, std::uint8_t byte);

}  // namespace zelta
