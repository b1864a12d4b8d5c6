// The loop search checked from the bytes alone (loop tests, property tests,
// fuzzer). A small decoder reads a stream's commands and the writes the search
// compares; a player follows a looped output through its loop offset until it
// has played as many compared writes as the ordinary output holds, each of
// which must be the ordinary output's, close to its time. Nothing here calls
// the core's search. CheckLoop(image, options) converts without and with
// findLoop and returns the first broken rule as text, or "".
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "invariants.h"
#include "s98_builder.h"
#include "zelta/convert.h"

namespace zelta::test {

struct S98Op {  // a register write, or a wait of `wait` ticks
    std::int64_t at = 0, wait = 0;
    std::uint8_t cmd = 0, reg = 0, value = 0;
    bool write = false;
};

struct ComparedWrite {
    std::uint32_t key;  // command byte, register, value as compared
    std::int64_t time, at;
};

struct S98Stream {
    std::int64_t tag = 0, dump = 0, loop = 0;
    std::uint64_t num = 10, den = 1000;  // the tick, num / den seconds
    std::vector<std::int32_t> types;     // by device index
    std::vector<S98Op> ops;              // up to the end command or the stream's end
    std::int64_t end = 0;                // where they end

    // Rule 5's bound on a spread of times: two ticks or 3 ms, whichever is more.
    bool Tolerates(std::int64_t t) const { return t <= 2 || static_cast<unsigned __int128>(1000) * static_cast<std::uint64_t>(t) * num <= 3 * den; }
    bool LastsASecond(std::int64_t t) const { return static_cast<unsigned __int128>(t) * num >= den; }
};

inline std::string ParseS98(std::span<const std::uint8_t> in, S98Stream& s) {
    using invariants_detail::Word;
    if (in.size() < 0x20) return "short header";
    s.tag = Word(in, 0x10), s.dump = Word(in, 0x14), s.loop = Word(in, 0x18);
    if (Word(in, 4)) s.num = static_cast<std::uint32_t>(Word(in, 4));
    if (Word(in, 8)) s.den = static_cast<std::uint32_t>(Word(in, 8));
    const std::int64_t count = Word(in, 0x1C);
    s.types.assign(count == 0, 4);
    for (std::size_t e = 0x20; e < 0x20 + 16 * static_cast<std::size_t>(std::clamp<std::int64_t>(count, 0, 128)); e += 16)
        s.types.push_back(e + 4 <= in.size() ? Word(in, e) : -1);
    const auto end = s.tag > s.dump ? s.tag : static_cast<std::int64_t>(in.size());
    if (s.dump < 0x20 || end > static_cast<std::int64_t>(in.size())) return "bad data offset";
    for (s.end = s.dump; s.end < end && in[s.end] != 0xFD;) {
        S98Op op{s.end, 1, in[s.end]};
        ++s.end;
        if (op.cmd == 0xFE) {
            std::uint64_t v = 0;
            for (int shift = 0, more = 1; more; shift += 7, ++s.end) {
                if (s.end >= end || shift > 56) return "bad n-sync";
                v |= std::uint64_t{in[s.end] & 0x7Fu} << shift, more = in[s.end] & 0x80;
            }
            op.wait = static_cast<std::int64_t>(v + 2);
        } else if (op.cmd != 0xFF) {
            if (s.end + 2 > end) return "truncated write";
            op = {op.at, 0, op.cmd, in[s.end], in[s.end + 1], true};
            s.end += 2;
        }
        s.ops.push_back(op);
    }
    return "";
}

// The compared key of each write, in stream order: timer and I/O registers
// left out, a mode register compared when its mode bits change.
class CompareFilter {
public:
    explicit CompareFilter(const S98Stream& s) : s_(s) {}
    bool Key(const S98Op& op, std::uint32_t& key) {
        const std::size_t device = op.cmd >> 1;
        const int type = device < s_.types.size() ? s_.types[device] : -1;
        const bool port0 = !(op.cmd & 1);
        const std::uint8_t r = op.reg;
        std::uint8_t v = op.value, mask = 0;
        if (type >= 2 && type <= 4) {
            if (port0 && ((r >= 0x24 && r <= 0x26) || r == 0x0E || r == 0x0F)) return false;
            mask = r == 0x27 ? 0xC0 : 0;
        } else if (type == 5) {
            if (r >= 0x10 && r <= 0x13) return false;
            mask = r == 0x14 ? 0x80 : 0;
        } else if (((type == 1 || type == 15) && (r == 0x0E || r == 0x0F)) || (type >= 7 && type <= 9 && port0 && r >= 2 && r <= 4)) {
            return false;
        }
        if (mask) {
            v &= mask;
            if (std::exchange(mode_[op.cmd], v) == v) return false;
        }
        key = std::uint32_t{op.cmd} << 16 | std::uint32_t{r} << 8 | v;
        return true;
    }

private:
    const S98Stream& s_;
    std::array<std::uint8_t, 256> mode_{};
};

inline std::vector<ComparedWrite> Compared(const S98Stream& s) {
    CompareFilter filter(s);
    std::vector<ComparedWrite> w;
    std::int64_t time = 0;
    std::uint32_t key = 0;
    for (const auto& op : s.ops)
        if ((time += op.wait, op.write) && filter.Key(op, key)) w.push_back({key, time, op.at});
    return w;
}

// Plays `looped`, jumping to its loop offset at its end, until it has given
// want.size() compared writes: each must be want's, within rule 5's tolerance
// of its time plus one tick per jump.
inline std::string Replay(const S98Stream& looped, const std::vector<ComparedWrite>& want) {
    std::size_t loopOp = 0, got = 0, gotAtJump = SIZE_MAX;
    while (loopOp < looped.ops.size() && looped.ops[loopOp].at != looped.loop) ++loopOp;
    CompareFilter filter(looped);
    std::int64_t time = 0, jumps = 0;
    std::uint32_t key = 0;
    for (std::size_t i = 0; got < want.size(); ++i) {
        if (i == looped.ops.size()) {
            if (loopOp == i || gotAtJump == got) return "the loop plays no compared write";
            i = loopOp, gotAtJump = got, ++jumps;
        }
        const auto& op = looped.ops[i];
        if (!(time += op.wait, op.write) || !filter.Key(op, key)) continue;
        const auto off = std::abs(time - want[got].time) - jumps;
        if (key != want[got].key || (off > 0 && !looped.Tolerates(off)))
            return "the replay's compared write " + std::to_string(got) + " after " + std::to_string(jumps) + " jumps is " +
                   (key != want[got].key ? "another" : "at tick " + std::to_string(time) + ", in the log " + std::to_string(want[got].time));
        ++got;
    }
    return "";
}

struct FoundLoop {  // in compared writes of the ordinary output
    bool found = false;
    std::int64_t start = 0, length = 0;
};

// A found loop against the ordinary output: the bytes, one whole repeat of at
// least a second, the line and the replay.
inline std::string CheckFoundLoop(const std::vector<std::uint8_t>& ordinary, const std::vector<std::uint8_t>& out,
                                  const std::string& line, FoundLoop& found) {
    using invariants_detail::Hex;
    S98Stream o, p;
    if (const auto why = ParseS98(ordinary, o) + ParseS98(out, p); !why.empty()) return why;
    const auto w = Compared(o);
    const auto n = static_cast<std::int64_t>(w.size());
    std::int64_t a = -1, m = -1;
    for (std::int64_t j = 0; j < n; ++j) a = w[j].at == p.loop ? j : a, m = w[j].at == p.end ? j : m;
    if (a < 0 || m <= a) return "loop offset " + Hex(p.loop) + " and cut " + Hex(p.end) + " are not at compared writes in order";
    found = {true, a, m - a};
    const bool tagAfter = o.tag > o.dump;
    auto expected = std::vector<std::uint8_t>(ordinary.begin(), ordinary.begin() + p.end);
    expected.push_back(0xFD);
    if (tagAfter) expected.insert(expected.end(), ordinary.begin() + o.tag, ordinary.end());
    S98Builder::Put(expected, 0x10, static_cast<std::int32_t>(tagAfter ? p.end + 1 : o.tag));
    S98Builder::Put(expected, 0x18, static_cast<std::int32_t>(p.loop));
    if (out != expected) return "the looped output is not the ordinary output cut at its loop, an end and the tag";
    const std::int64_t ticks = w[m].time - w[a].time;
    if (a + 2 * found.length > n || !o.LastsASecond(ticks)) return "the log holds no whole repeat, or the loop is under a second";
    char want[80];
    std::snprintf(want, sizeof want, "loop offset(repeat found)=%08x, %.2f s\n", static_cast<unsigned>(p.loop),
                  static_cast<double>(ticks) * static_cast<double>(o.num) / static_cast<double>(o.den));
    if (line != want) return "loop line " + line;
    return Replay(p, w);
}

inline std::string CheckLoop(std::span<const std::uint8_t> image, Options options, FoundLoop* result = nullptr) {
    using invariants_detail::Hex;
    using invariants_detail::Word;
    options.findLoop = false;
    const auto ordinary = ConvertInMemory(image, options);
    options.findLoop = true;
    const auto looped = ConvertInMemory(image, options);
    FoundLoop found;
    if (result) *result = found;
    if (looped.message != ordinary.message) return "message \"" + looped.message + "\", without the search \"" + ordinary.message + "\"";
    if (!ordinary.message.empty()) return looped.lines == ordinary.lines && !looped.written ? "" : "a failure logs or writes otherwise";
    auto lines = looped.lines;
    const std::string line = lines.size() > 1 ? lines[1] : "";
    if (lines.size() > 1) lines.erase(lines.begin() + 1);
    if (lines != ordinary.lines) return "the lines are not those without the search and the loop line after the start line";
    if (options.showStartOnly) {  // the same loop line, nothing written
        options.showStartOnly = false;
        const auto full = ConvertInMemory(image, options);
        return !looped.written && full.lines.size() > 1 && full.lines[1] == line ? "" : "-n logs or writes otherwise";
    }
    const bool kept = Word(image, 0x18) != 0;
    if (kept || line == "loop offset(repeat found)=none\n") {
        if (kept && line != "loop offset(kept)=" + Hex(Word(ordinary.output, 0x18)) + "\n") return "loop line " + line;
        return looped.output == ordinary.output ? "" : "no loop set, yet the output is not the ordinary one";
    }
    const auto why = CheckFoundLoop(ordinary.output, looped.output, line, found);
    if (result) *result = found;
    if (!why.empty()) return why;
    if (!SameDeviceTypes(image, looped.output)) return "";  // as for the ordinary output (invariants.h)
    const auto again = ConvertInMemory(looped.output, options);  // keeps the loop, changes nothing
    const std::string keptLine = "loop offset(kept)=" + Hex(Word(looped.output, 0x18)) + "\n";
    return again.lines.size() > 1 && again.lines[1] == keptLine && again.output == looped.output ? "" : "a second run changes the looped output";
}

}  // namespace zelta::test
