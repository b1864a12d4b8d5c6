// Finding where a logged song starts to repeat (-l).
//
// A logger cannot know a song's loop: it records the intro, two or three
// passes of the loop, and stops somewhere in a later pass. The search works
// on the stream the ordinary conversion wrote (the lead-in already cut) and
// finds the loop from the writes alone, the waits giving only their times:
//
//   w[0..n)  the compared writes in stream order (CompareRuleFor, in
//            chip_rules.h: writes that cannot change the sound are left out,
//            a mode register is compared by its mode bits when they change)
//   t(j)     the ticks waited before w[j]
//
// A loop (A, L), counted in compared writes, qualifies when
//   periodic  w[j] == w[j + L] for every j >= A with j + L < n, and the log
//             holds one whole repeat: A + 2L <= n
//   sounding  w[A .. A+L) holds a key-on (the OPN family's, or any chip's
//             with --all-chips): a loop of silence is no loop
//   steady    d(j) = t(j + L) - t(j) over every j in [A, n - L) varies by
//             no more than 2 ticks or 3 ms, whichever is more
//   paced     its pass lasts as long as the song's later passes, within a
//             tick: |L * d(A) - S(L)| <= L, S(L) the sum of d(j) over the
//             last L pairs, j in [n - 2L, n - L) (the two passes the log
//             ends with, held in full); when the writes from A on repeat
//             with a shorter period p (p then divides L), also
//             |p * d'(A) - S(p)| <= p, d' taken over p: a loop of several
//             passes is paced by its first
//   long      its length D = t(A + L) - t(A) is 1 s or more
// Of the qualifying loops the one with the smallest A is taken, and of those
// the smallest L. A start before the song's own pace begins, at the end of
// a slower first pass or in an intro whose last writes come as the loop's
// do but a few ms early, is steady within the tolerance yet not paced: the
// pass timed from it, which playback jumps back by, would be a few ticks off
// every later one. Periods come from the Z-function of the reversed compared
// writes: z[L] is how far the song read backwards from its end agrees with
// itself shifted by L, so it has period L from A(L) = n - L - z[L] on.
//
// The loop found is then played back against the stream, write by write:
// playback runs w[0 .. A+L), then jumps back to w[A], again and again; every
// compared write it plays must be the log's, at the log's time within the
// steady rule's tolerance and one tick per jump. A loop that does not play
// back so gives way to the qualifying loop with the next start (the
// smallest A' > A, then the smallest L), up to 16 loops; then the search
// declines. It declines too when it would take more than a few dozen steps
// per write, all its rounds together (only contrived files come near), and
// for a log longer than 2^32 ticks (a time takes 4 bytes): declining is
// always safe, the file is then converted as without -l.
//
// Cost: reading the records, the Z values and a round of the search are
// linear in the log (the search's steps are counted against the budget
// above); each further round adds the Z values again, a walk of the stream
// up to the cut and a comparison of the writes after it, so a log whose
// loops all fail to play back costs at most 16 such rounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "s98_image.h"

namespace zelta {

// Readies fresh memory, not touched yet, for the search and its output: the
// records of a long song run to hundreds of megabytes, and rooms of
// kHugeRoom or more go in huge pages where the system has them; a smaller
// room is mapped at once, which costs less than a fault a page.
inline constexpr std::size_t kHugeRoom = std::size_t{8} << 20;
void ReadyRoom(void* p, std::size_t size);

// The loop as the output is to hold it.
struct FoundLoop {
    std::int64_t loopOffset = 0;  // the command of the loop's first compared write
    std::int64_t cutOffset = 0;   // the command of the second pass's first compared write
    double seconds = 0;           // the loop's length
};

// What the search found: the loop, or none; or that there was no room for
// its records (nothing in the search throws).
struct LoopSearch {
    std::optional<FoundLoop> loop;
    bool outOfMemory = false;
};

// Searches the stream of `image`, an output of the ordinary conversion (its
// stream validated).
LoopSearch FindLoop(const S98Image& image, bool allChips);

}  // namespace zelta
