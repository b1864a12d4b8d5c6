// Structural checks of one in-memory conversion, shared by the property
// tests and the fuzzer. They rest only on what the result itself says (the
// start line and the detail lines) and on the input's byte layout, not on
// the key-on rules, so they hold whatever those rules decide:
//
//   - the output is the input with exactly the left-out commands removed,
//     the header words 0x10 and 0x18 aside;
//   - every detail line names input bytes that lie in front of the start, in
//     stream order, and is a wait, a wait's count byte or a timer write;
//   - the new tag offset points at the same bytes; the new loop offset
//     points at the first kept byte at or after the old one;
//   - converting the output again leaves nothing out and gives the same
//     bytes, whenever the device entries read the same in both.
//
// CheckConversion returns the first broken rule as text, or "".
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "zelta/convert.h"

namespace zelta::test {

namespace invariants_detail {

inline std::int32_t Word(std::span<const std::uint8_t> b, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t{b[at + i]} << (8 * i);
    return static_cast<std::int32_t>(v);
}

inline std::string Hex(std::int64_t v) {
    char t[16];
    std::snprintf(t, sizeof t, "%08x", static_cast<unsigned>(v));
    return t;
}

struct Unit {
    std::int64_t offset;
    std::int64_t size;
};

// Reads a detail line back into the unit it names; false if it is not one.
inline bool ParseDetail(const std::string& line, std::span<const std::uint8_t> in, Unit& unit, std::string& kind) {
    unsigned off = 0, b0 = 0, b1 = 0, b2 = 0;
    char rest[16] = {0};
    int used = 0;
    if (std::sscanf(line.c_str(), "%8x : %2x%n", &off, &b0, &used) != 2) return false;
    const std::string tail = line.substr(static_cast<std::size_t>(used));
    char again[64];
    if (tail.empty()) {
        kind = "count";
        unit = {off, 1};
        std::snprintf(again, sizeof again, "%08x : %02x", off, b0);
    } else if (tail == "       [1sync]" || tail == "       [nSync]") {
        kind = tail.substr(8, 5);
        unit = {off, 1};
        std::snprintf(again, sizeof again, "%08x : %02x       [%s]", off, b0, kind.c_str());
    } else if (std::sscanf(tail.c_str(), " %2x %2x %15s", &b1, &b2, rest) == 3 && std::string(rest) == "[Timer]") {
        kind = "Timer";
        unit = {off, 3};
        std::snprintf(again, sizeof again, "%08x : %02x %02x %02x [Timer]", off, b0, b1, b2);
    } else {
        return false;
    }
    if (again != line) return false;
    if (off + static_cast<std::uint64_t>(unit.size) > in.size()) return false;
    if (in[off] != b0) return false;
    if (unit.size == 3 && (in[off + 1] != b1 || in[off + 2] != b2)) return false;
    return true;
}

// How many of the `removed` bytes lie below offset x.
inline std::int64_t removedBelow0(const std::vector<Unit>& removed, std::int64_t x) {
    std::int64_t n = 0;
    for (const auto& u : removed)
        if (u.offset < x) n += std::min(u.size, x - u.offset);
    return n;
}

}  // namespace invariants_detail

// Whether the device entries read the same in both files (an entry may lie
// in the stream, which a run changes): a second run is compared only then.
inline bool SameDeviceTypes(std::span<const std::uint8_t> in, std::span<const std::uint8_t> out) {
    using invariants_detail::Word;
    const std::int64_t count = Word(in, 0x1C);
    for (std::int64_t i = 0; i < std::clamp<std::int64_t>(count, 0, 127); ++i) {
        const auto e = static_cast<std::size_t>(0x20 + 16 * i);
        const bool inIn = e + 4 <= in.size(), inOut = e + 4 <= out.size();
        if (inIn != inOut || (inIn && Word(in, e) != Word(out, e))) return false;
    }
    return true;
}

// `result` must come from a run with detailLog set (and showStartOnly
// clear) for the left-out bytes to be known. With `endAt`, the output's
// stream was cut there (-s): it is the output up to a command, or a wait
// shortened, then 0xFD at endAt and the tag.
inline std::string CheckConversion(std::span<const std::uint8_t> in, const MemoryConversion& result,
                                   Options options, bool checkSecondRun = true, std::int64_t endAt = -1) {
    using namespace invariants_detail;
    if (!result.message.empty()) {
        if (result.written) return "a failed conversion says it wrote a copy";
        return "";
    }
    if (result.lines.empty()) return "no start line";
    unsigned start = 0;
    int used = 0;
    if (std::sscanf(result.lines[0].c_str(), "start offset(1st key-on)=%8x\n%n", &start, &used) != 1 ||
        result.lines[0] != "start offset(1st key-on)=" + Hex(start) + "\n")
        return "bad start line: " + result.lines[0];
    if (options.showStartOnly) {
        if (result.lines.size() != 1 || result.written || !result.output.empty())
            return "a show-start-only run logged or wrote more than the start line";
        return "";
    }
    if (!result.written) return "success without a written copy";
    if (result.lines.size() < 2 || result.lines[1].rfind("output file:", 0) != 0 || result.lines[1].back() != '\n')
        return "no output file line";

    const auto size = static_cast<std::int64_t>(in.size());
    const std::int64_t tag = Word(in, 0x10), dump = Word(in, 0x14), loop = Word(in, 0x18), count = Word(in, 0x1C);
    const std::int64_t end = tag > dump ? tag : size;
    if (start != 0 && (start < dump || start >= end)) return "start outside the stream";

    // The left-out units named by the detail lines.
    std::vector<Unit> logged;
    bool countExpected = false;
    for (std::size_t i = 2; i < result.lines.size(); ++i) {
        Unit u{};
        std::string kind;
        if (!ParseDetail(result.lines[i], in, u, kind)) return "bad detail line: " + result.lines[i];
        if (start == 0 || u.offset < dump || u.offset + u.size > start) return "left out at or after the start: " + result.lines[i];
        if (!logged.empty() && u.offset < logged.back().offset + logged.back().size) return "detail lines out of order";
        const bool isCount = kind == "count";
        if (isCount != countExpected) return "a count line where none belongs: " + result.lines[i];
        if (isCount && u.offset != logged.back().offset + 1) return "count byte not next to its wait";
        if (kind == "1sync" && in[u.offset] != 0xFF) return "[1sync] not on 0xff";
        if (kind == "nSync" && in[u.offset] != 0xFE) return "[nSync] not on 0xfe";
        if (kind == "Timer" && (in[u.offset + 1] != 0x27 || (in[u.offset] & 1) != 0)) return "[Timer] not a port-0 0x27 write";
        countExpected = kind == "nSync" || (isCount && (in[u.offset] & 0x80));
        logged.push_back(u);
    }
    if (countExpected) return "an n-sync's count bytes end early";

    // Walk the input's commands; everything not left out must be in the
    // output, in order. A port-1 timer write of an OPN-family device in front
    // of the start is left out without a line.
    std::vector<std::uint8_t> expected(in.begin(), in.begin() + dump);
    std::vector<std::int64_t> outAt;  // output offset of each kept stream byte, by input offset - dump
    std::size_t next = 0;
    std::vector<Unit> removed;
    std::int64_t at = dump;
    auto keep = [&](std::int64_t from, std::int64_t n) {
        for (std::int64_t k = 0; k < n; ++k) {
            outAt.push_back(static_cast<std::int64_t>(expected.size()));
            expected.push_back(in[static_cast<std::size_t>(from + k)]);
        }
    };
    auto drop = [&](std::int64_t from, std::int64_t n) {
        for (std::int64_t k = 0; k < n; ++k) outAt.push_back(-1);
        removed.push_back({from, n});
    };
    while (at < end) {
        const std::uint8_t c = in[static_cast<std::size_t>(at)];
        std::int64_t n = c == 0xFF || c == 0xFD ? 1 : c == 0xFE ? 1 : 3;
        if (n == 3 && at + 3 > end) return "success on a truncated register write";
        const bool isLogged = next < logged.size() && logged[next].offset == at;
        if (isLogged) {
            if (logged[next].size != n) return "a detail line splits a command";
            drop(at, n);
            ++next;
        } else if (n == 3 && at < start && in[static_cast<std::size_t>(at) + 1] == 0x27 && (c & 1)) {
            const std::int64_t index = c >> 1;
            const std::int64_t type = count == 0 ? 4 : Word(in, static_cast<std::size_t>(0x20 + 16 * index));
            if (type >= 2 && type <= 4) drop(at, 3);
            else keep(at, 3);
        } else {
            keep(at, n);
        }
        at += n;
        if (c == 0xFD) break;
        if (c == 0xFE) {
            // Count bytes are units of their own in the detail lines.
            std::uint8_t b = 0x80;
            while (b & 0x80) {
                if (at >= end) return "success on a truncated n-sync";
                b = in[static_cast<std::size_t>(at)];
                const bool countLogged = next < logged.size() && logged[next].offset == at;
                if (countLogged) { drop(at, 1); ++next; }
                else keep(at, 1);
                ++at;
            }
        }
    }
    if (next != logged.size()) return "a detail line names bytes that are not a command";
    const std::int64_t walkEnd = at;
    if (tag > dump) expected.insert(expected.end(), in.begin() + walkEnd, in.end());

    const auto& out = result.output;
    auto header = [](std::size_t k) { return (k >= 0x10 && k < 0x14) || (k >= 0x18 && k < 0x1C); };
    if (endAt >= 0) {
        // The last command before endAt: all before it as expected, it too
        // unless it is a wait shorter than the one expected there.
        const auto e = static_cast<std::size_t>(endAt);
        std::size_t q = static_cast<std::size_t>(dump), last = q;
        auto ticksAt = [](std::span<const std::uint8_t> b, std::size_t k, std::size_t& past) {
            std::uint64_t t = 0;
            past = k + 1;
            if (b[k] != 0xFE) return std::uint64_t{b[k] == 0xFF ? 1u : 0u};
            for (int shift = 0; past < b.size(); shift += 7) {
                if (shift < 64) t |= std::uint64_t(b[past] & 0x7F) << shift;  // the bits a count holds
                if ((b[past++] & 0x80) == 0) break;
            }
            return t + 2;
        };
        while (q < e && e < out.size()) {
            last = q;
            std::size_t past = q + 3;
            if (out[q] >= 0xFE) ticksAt(out, q, past);
            q = past;
        }
        if (q != e || e >= out.size() || out[e] != 0xFD) return "no command ends at the end offset " + Hex(endAt);
        for (std::size_t k = 0; k < last; ++k)
            if (!header(k) && (k >= expected.size() || out[k] != expected[k])) return "the cut output differs at " + Hex(k);
        if (!std::equal(out.begin() + last, out.begin() + e, expected.begin() + last, expected.begin() + std::min(e, expected.size()))) {
            std::size_t past = 0, wantPast = 0;
            if (last >= expected.size() || ticksAt(out, last, past) == 0 || ticksAt(out, last, past) >= ticksAt(expected, last, wantPast))
                return "the cut output's last command is not a shortened wait";
        }
        const bool tagAfter = tag > dump;
        if (!std::equal(in.begin() + (tagAfter ? tag : size), in.end(), out.begin() + e + 1, out.end()))
            return "no tag, or another, after the end of a cut output";
        if (Word(out, 0x10) != (tagAfter ? endAt + 1 : tag - removedBelow0(removed, tag)) || Word(out, 0x18) != 0)
            return "a cut output's tag or loop offset";
        return "";
    }
    if (out.size() != expected.size()) return "output size " + std::to_string(out.size()) + ", expected " + std::to_string(expected.size());
    for (std::size_t k = 0; k < out.size(); ++k) {
        if (header(k)) continue;
        if (out[k] != expected[k]) return "output differs from the input less its left-out commands at " + Hex(static_cast<std::int64_t>(k));
    }

    auto removedBelow = [&](std::int64_t x) { return removedBelow0(removed, x); };
    const std::int64_t newTag = Word(out, 0x10), newLoop = Word(out, 0x18);
    if (tag == 0 ? newTag != 0 : newTag != tag - removedBelow(tag)) return "tag offset " + Hex(newTag);
    if (tag > dump && !std::equal(in.begin() + tag, in.end(), out.begin() + newTag, out.end()))
        return "the new tag offset does not point at the tag";
    if (loop == 0 ? newLoop != 0 : newLoop != loop - removedBelow(loop)) return "loop offset " + Hex(newLoop);
    if (loop >= dump && loop < walkEnd) {
        for (std::int64_t k = loop - dump; k < static_cast<std::int64_t>(outAt.size()); ++k) {
            if (outAt[static_cast<std::size_t>(k)] < 0) continue;
            if (outAt[static_cast<std::size_t>(k)] != newLoop) return "the new loop offset misses the first kept byte";
            break;
        }
    }
    if (start == 0 && !removed.empty()) return "bytes left out of a file without a start";

    if (!checkSecondRun) return "";
    // A second run sees the same commands in the same order, so it finds the
    // same start and has nothing left to drop.
    if (!SameDeviceTypes(in, out)) return "";
    const auto again = ConvertInMemory(out, options);
    if (!again.message.empty()) return "the output does not convert again: " + again.message;
    const std::int64_t start2 = start == 0 ? 0 : start - removedBelow(start);
    if (again.lines.size() != 2 || again.lines[0] != "start offset(1st key-on)=" + Hex(start2) + "\n")
        return "a second run found another start or left more out";
    if (again.output != out) return "a second run changed the bytes";
    return "";
}

}  // namespace zelta::test

namespace zelta::test {

// -s checked against the conversion without it: the same message; the start
// line, then the loop's line (-l), then the end's; a start never before the
// --all-chips one (or 0, when nothing is heard); the output the conversion's with that start (the detail
// lines name what it left out), cut after the last sound only when there is
// no loop; a second run changes nothing.
inline std::string CheckBySound(std::span<const std::uint8_t> in, Options options) {
    using namespace invariants_detail;
    options.bySound = false;
    const auto without = ConvertInMemory(in, options);
    Options keyOn = options;
    keyOn.allChips = true, keyOn.findLoop = false, keyOn.showStartOnly = false;
    const auto allChips = ConvertInMemory(in, keyOn);
    options.bySound = true;
    const auto sound = ConvertInMemory(in, options);
    if (sound.message != without.message) return "message \"" + sound.message + "\", without -s \"" + without.message + "\"";
    if (!sound.message.empty()) return sound.written ? "a failure wrote a copy" : "";
    auto lines = sound.lines;
    const std::size_t endAt = options.findLoop ? 2 : 1;
    if (lines.size() <= endAt) return "no end line";
    const std::string end = lines[endAt], loop = options.findLoop ? lines[1] : "";
    lines.erase(lines.begin() + 1, lines.begin() + static_cast<std::ptrdiff_t>(endAt) + 1);
    unsigned start = 0, startAll = 0, cut = 0;
    std::sscanf(lines[0].c_str(), "start offset(1st key-on)=%8x", &start);
    std::sscanf(allChips.lines[0].c_str(), "start offset(1st key-on)=%8x", &startAll);
    // 0: nothing is heard, nothing left out.
    if (start != 0 && (start < startAll || startAll == 0)) return "a start before the --all-chips start";
    double seconds = 0;
    const bool isCut = std::sscanf(end.c_str(), "end offset(silence cut)=%8x, %lf s", &cut, &seconds) == 2;
    char again[80];
    std::snprintf(again, sizeof again, "end offset(silence cut)=%08x, %.2f s\n", cut, seconds);
    if (isCut ? end != again : end != "end offset(silence cut)=none\n") return "end line " + end;
    const bool looped = !loop.empty() && loop != "loop offset(repeat found)=none\n";
    if (isCut && (Word(in, 0x18) != 0 || looped)) return "a looped song cut at its end";
    if (options.showStartOnly) return sound.written ? "-n wrote a copy" : "";
    if (options.detailLog && !options.findLoop) {
        MemoryConversion stripped = sound;
        stripped.lines = lines;
        options.bySound = false;
        const std::string why = CheckConversion(in, stripped, options, false, isCut ? std::int64_t{cut} : -1);
        options.bySound = true;
        if (!why.empty()) return why;
    }
    // As with the ordinary conversion: unless the device entries read other
    // bytes in the output.
    if (!SameDeviceTypes(in, sound.output)) return "";
    const auto twice = ConvertInMemory(sound.output, options);
    if (!twice.message.empty()) return "the output does not convert again: " + twice.message;
    return twice.output == sound.output ? "" : "a second run changed the bytes";
}

}  // namespace zelta::test
