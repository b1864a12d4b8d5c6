// The loop search checked from the bytes alone, shared by the loop tests, the
// property tests and the fuzzer. A small decoder reads a converted file's
// command stream and the writes the search compares (the rule text's list of
// left-out writes, applied in stream order); a player follows the looped
// output through its loop offset until it has played as many compared writes
// as the ordinary output holds, and must give those writes in order, each
// close to its time. Nothing here calls the core's search.
//
// CheckLoop(image, options) converts `image` without and with findLoop and
// returns the first broken rule as text, or "".
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "invariants.h"
#include "zelta/convert.h"

namespace zelta::test {

// A register write, or (write == false) a wait of `wait` ticks.
struct S98Op {
    std::int64_t at = 0;
    std::int64_t wait = 0;
    std::uint8_t cmd = 0, reg = 0, value = 0;
    bool write = false;
};

struct S98Stream {
    std::int64_t tag = 0, dump = 0, loop = 0, count = 0;
    std::uint64_t num = 10, den = 1000;  // the tick, num / den seconds
    std::vector<std::int32_t> types;     // by device index
    std::vector<S98Op> ops;              // up to the end command or the stream's end
    std::int64_t end = 0;                // offset of the end command (or of the stream's end)

    int TypeOf(std::uint8_t cmd) const {
        const std::size_t device = cmd >> 1;
        return device < types.size() ? types[device] : -1;
    }
    // Rule 5's bound on a spread of times: two ticks or 3 ms, whichever is more.
    bool Tolerates(std::int64_t ticks) const {
        return ticks <= 2 || static_cast<unsigned __int128>(1000) * static_cast<std::uint64_t>(ticks) * num <= 3 * den;
    }
};

inline std::string ParseS98(std::span<const std::uint8_t> in, S98Stream& s) {
    using invariants_detail::Word;
    if (in.size() < 0x20) return "short header";
    s.tag = Word(in, 0x10), s.dump = Word(in, 0x14), s.loop = Word(in, 0x18), s.count = Word(in, 0x1C);
    if (const auto n = static_cast<std::uint32_t>(Word(in, 0x04))) s.num = n;
    if (const auto d = static_cast<std::uint32_t>(Word(in, 0x08))) s.den = d;
    s.types = s.count == 0 ? std::vector<std::int32_t>{4} : std::vector<std::int32_t>{};
    for (std::int64_t i = 0; i < s.count && i < 128; ++i) {
        const auto e = static_cast<std::size_t>(0x20 + 16 * i);
        s.types.push_back(e + 4 <= in.size() ? Word(in, e) : -1);
    }
    const auto streamEnd = s.tag > s.dump ? s.tag : static_cast<std::int64_t>(in.size());
    if (s.dump < 0x20 || streamEnd > static_cast<std::int64_t>(in.size())) return "bad data offset";
    std::int64_t at = s.dump;
    while (at < streamEnd && in[static_cast<std::size_t>(at)] != 0xFD) {
        S98Op op{at};
        const auto c = in[static_cast<std::size_t>(at++)];
        if (c == 0xFF) {
            op.wait = 1;
        } else if (c == 0xFE) {
            std::uint64_t v = 0;
            for (int shift = 0;; shift += 7) {
                if (at >= streamEnd || shift > 56) return "bad n-sync";
                const auto b = in[static_cast<std::size_t>(at++)];
                v |= std::uint64_t{b & 0x7Fu} << shift;
                if (!(b & 0x80)) break;
            }
            op.wait = static_cast<std::int64_t>(v + 2);
        } else {
            if (at + 2 > streamEnd) return "truncated write";
            op = {op.at, 0, c, in[static_cast<std::size_t>(at)], in[static_cast<std::size_t>(at) + 1], true};
            at += 2;
        }
        s.ops.push_back(op);
    }
    s.end = at;
    return "";
}

// Which writes the search compares, and as what; it keeps the last mode bits
// of 0x27 (OPN family) and 0x14 (OPM) per command byte, as a player would.
class CompareFilter {
public:
    explicit CompareFilter(const S98Stream& s) : s_(s) {}

    std::optional<std::uint32_t> Key(const S98Op& op) {
        const int type = s_.TypeOf(op.cmd);
        const bool port0 = !(op.cmd & 1);
        const std::uint8_t r = op.reg;
        std::uint8_t v = op.value;
        if (type >= 2 && type <= 4) {
            if (port0 && ((r >= 0x24 && r <= 0x26) || r == 0x0E || r == 0x0F)) return {};
            if (r == 0x27 && !ModeChanges(op.cmd, v &= 0xC0)) return {};
        } else if (type == 5) {
            if (r >= 0x10 && r <= 0x13) return {};
            if (r == 0x14 && !ModeChanges(op.cmd, v &= 0x80)) return {};
        } else if ((type == 1 || type == 15) && (r == 0x0E || r == 0x0F)) {
            return {};
        } else if (type >= 7 && type <= 9 && port0 && r >= 0x02 && r <= 0x04) {
            return {};
        }
        return std::uint32_t{op.cmd} << 16 | std::uint32_t{r} << 8 | v;
    }

private:
    bool ModeChanges(std::uint8_t cmd, std::uint8_t bits) {
        const bool changed = last_[cmd] != bits;
        last_[cmd] = bits;
        return changed;
    }
    const S98Stream& s_;
    std::array<std::uint8_t, 256> last_{};
};

struct ComparedWrite {
    std::uint32_t key;
    std::int64_t time;  // ticks of the waits before it
    std::int64_t at;    // offset of its command
};

inline std::vector<ComparedWrite> Compared(const S98Stream& s) {
    CompareFilter filter(s);
    std::vector<ComparedWrite> w;
    std::int64_t time = 0;
    for (const auto& op : s.ops) {
        time += op.wait;
        if (const auto key = op.write ? filter.Key(op) : std::nullopt) w.push_back({*key, time, op.at});
    }
    return w;
}

// The loop a conversion set, in compared writes of the ordinary output.
struct FoundLoop {
    bool found = false;
    std::int64_t start = 0, length = 0;
};

inline std::string LoopLine(std::int64_t offset, std::int64_t ticks, const S98Stream& s) {
    char b[80];
    std::snprintf(b, sizeof b, "loop offset(repeat found)=%08x, %.2f s\n", static_cast<unsigned>(offset),
                  static_cast<double>(ticks) * static_cast<double>(s.num) / static_cast<double>(s.den));
    return b;
}

// Plays `looped` (jumping to its loop offset at its end) until it has given
// `want.size()` compared writes; each must be want's, within rule 5's
// tolerance of its time plus one tick per jump.
inline std::string Replay(const S98Stream& looped, const std::vector<ComparedWrite>& want) {
    std::size_t loopOp = 0;
    while (loopOp < looped.ops.size() && looped.ops[loopOp].at != looped.loop) ++loopOp;
    if (loopOp == looped.ops.size()) return "the loop offset is not at a command";
    CompareFilter filter(looped);
    std::size_t got = 0, i = 0, gotAtJump = 0;
    std::int64_t time = 0, jumps = 0;
    while (got < want.size()) {
        if (i == looped.ops.size()) {
            if (jumps > 0 && got == gotAtJump) return "a pass of the loop plays no compared write";
            i = loopOp, gotAtJump = got, ++jumps;
            continue;
        }
        const auto& op = looped.ops[i++];
        time += op.wait;
        const auto key = op.write ? filter.Key(op) : std::nullopt;
        if (!key) continue;
        const auto& w = want[got];
        const std::string where = "compared write " + std::to_string(got) + " after " + std::to_string(jumps) + " jumps";
        if (*key != w.key) return "the replay gives another write as " + where;
        const std::int64_t off = (time > w.time ? time - w.time : w.time - time) - jumps;
        if (off > 0 && !looped.Tolerates(off))
            return "the replay plays " + where + " at tick " + std::to_string(time) + ", the log at " + std::to_string(w.time);
        ++got;
    }
    return "";
}

// A found loop against the ordinary output: the bytes, the rule's conditions,
// the line and the replay.
inline std::string CheckFoundLoop(const std::vector<std::uint8_t>& ordinary, const std::vector<std::uint8_t>& out,
                                  const std::string& line, FoundLoop& found) {
    using invariants_detail::Word;
    S98Stream o, p;
    if (const auto why = ParseS98(ordinary, o); !why.empty()) return "the ordinary output: " + why;
    if (const auto why = ParseS98(out, p); !why.empty()) return "the looped output: " + why;
    const auto w = Compared(o);
    const auto n = static_cast<std::int64_t>(w.size());
    const std::int64_t cut = p.end;
    std::int64_t a = -1, m = -1;
    for (std::int64_t j = 0; j < n; ++j) {
        if (w[j].at == p.loop) a = j;
        if (w[j].at == cut) m = j;
    }
    if (a < 0) return "the loop offset " + invariants_detail::Hex(p.loop) + " is not at a compared write";
    if (m <= a) return "the cut at " + invariants_detail::Hex(cut) + " is not at a compared write after the loop's";
    const std::int64_t len = m - a;
    found = {true, a, len};
    if (a + 2 * len > n) return "the log holds no whole repeat of the loop";

    // The bytes: the ordinary output up to the cut, the end, the tag.
    const bool tagAfter = o.tag > o.dump;
    const auto tail = tagAfter ? static_cast<std::int64_t>(ordinary.size()) - o.tag : 0;
    if (static_cast<std::int64_t>(out.size()) != cut + 1 + tail || out[static_cast<std::size_t>(cut)] != 0xFD)
        return "the looped output is not the ordinary one cut at its loop, an end and the tag";
    for (std::int64_t k = 0; k < cut; ++k)
        if ((k < 0x10 || k >= 0x14) && (k < 0x18 || k >= 0x1C) && out[k] != ordinary[k])
            return "the looped output differs from the ordinary one at " + invariants_detail::Hex(k);
    if (tagAfter && !std::equal(out.begin() + cut + 1, out.end(), ordinary.begin() + o.tag))
        return "the tag is not the ordinary output's";
    if (Word(out, 0x10) != (tagAfter ? cut + 1 : o.tag)) return "tag offset " + invariants_detail::Hex(Word(out, 0x10));

    // Rule 5 and the line.
    std::int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (std::int64_t j = a; j + len < n; ++j) {
        lo = std::min(lo, w[j + len].time - w[j].time);
        hi = std::max(hi, w[j + len].time - w[j].time);
    }
    if (!o.Tolerates(hi - lo)) return "the loop's length varies by " + std::to_string(hi - lo) + " ticks";
    const std::int64_t ticks = w[m].time - w[a].time;
    if (static_cast<unsigned __int128>(ticks) * o.num < o.den) return "the loop lasts less than a second";
    if (line != LoopLine(p.loop, ticks, o)) return "loop line \"" + line + "\", expected \"" + LoopLine(p.loop, ticks, o) + "\"";
    return Replay(p, w);
}

inline std::string CheckLoop(std::span<const std::uint8_t> image, Options options, FoundLoop* result = nullptr) {
    options.findLoop = false;
    const auto ordinary = ConvertInMemory(image, options);
    options.findLoop = true;
    const auto looped = ConvertInMemory(image, options);
    FoundLoop found;
    if (result) *result = found;
    if (looped.message != ordinary.message) return "message \"" + looped.message + "\", without the search \"" + ordinary.message + "\"";
    if (!ordinary.message.empty() || ordinary.lines.empty()) {
        if (looped.lines != ordinary.lines || looped.written) return "a failed conversion logs or writes otherwise with the search";
        return "";
    }
    if (looped.lines.size() != ordinary.lines.size() + 1) return "not one line more than without the search";
    const std::string line = looped.lines[1];
    auto rest = looped.lines;
    rest.erase(rest.begin() + 1);
    if (rest != ordinary.lines) return "lines other than the loop line differ from those without the search";
    if (options.showStartOnly) {
        if (looped.written) return "-n wrote a copy";
        options.showStartOnly = false;
        const auto full = ConvertInMemory(image, options);
        return full.lines.size() > 1 && full.lines[1] == line ? "" : "-n logs another loop line: " + line;
    }
    std::string why;
    if (invariants_detail::Word(image, 0x18) != 0) {
        if (line != "loop offset(kept)=" + invariants_detail::Hex(invariants_detail::Word(ordinary.output, 0x18)) + "\n")
            return "input with a loop offset, line " + line;
        if (looped.output != ordinary.output) return "a kept loop changed the output";
    } else if (line == "loop offset(repeat found)=none\n") {
        if (looped.output != ordinary.output) return "no loop, yet the output differs from the ordinary one";
    } else {
        why = CheckFoundLoop(ordinary.output, looped.output, line, found);
        if (result) *result = found;
        if (!why.empty()) return why;
        // A second run keeps the loop and changes nothing.
        const auto again = ConvertInMemory(looped.output, options);
        const std::string kept = "loop offset(kept)=" + invariants_detail::Hex(invariants_detail::Word(looped.output, 0x18)) + "\n";
        if (!again.message.empty() || again.lines.size() < 2 || again.lines[1] != kept || again.output != looped.output)
            return "a second run over the looped output does not keep it unchanged";
    }
    return "";
}

}  // namespace zelta::test
