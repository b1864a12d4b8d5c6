#include "messages.h"

#include <cstdio>

namespace zelta::msg {
namespace {

// Offsets are 32-bit in the format; a negative header field shows as its
// two's complement.
unsigned Hex32(std::int64_t value) { return static_cast<std::uint32_t>(value); }

template <typename... Args>
std::string Format(const char* format, Args... args) {
    char buffer[96];
    const int n = std::snprintf(buffer, sizeof buffer, format, args...);
    return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace

std::string DataOffsetError(std::int32_t dumpOffset) {
    return Format("data offset error. %08x", Hex32(dumpOffset));
}

std::string TagOffsetError(std::int32_t tagOffset) {
    return Format("tag offset error. %08x", Hex32(tagOffset));
}

std::string UnexpectedEof(std::int64_t offset) {
    return Format("found unexpected EOF.  ofs=%08x", Hex32(offset));
}

std::string CorruptedData(std::int64_t offset, const std::uint8_t* command) {
    return Format("found corrupted data.  ofs=%08x: %02x %02x %02x", Hex32(offset),
                  unsigned{command[0]}, unsigned{command[1]}, unsigned{command[2]});
}

std::string StartLine(std::int64_t startOffset) {
    return Format("start offset(1st key-on)=%08x\n", Hex32(startOffset));
}

std::string OutputLine(std::string_view fileName) {
    std::string line = "output file:";
    line.append(fileName);
    line.push_back('\n');
    return line;
}

std::string LoopFoundLine(std::int64_t loopOffset, double seconds) {
    return Format("loop offset(repeat found)=%08x, %.2f s\n", Hex32(loopOffset), seconds);
}

std::string LoopKeptLine(std::int64_t loopOffset) {
    return Format("loop offset(kept)=%08x\n", Hex32(loopOffset));
}

std::string EndCutLine(std::int64_t endOffset, double seconds) {
    return Format("end offset(silence cut)=%08x, %.2f s\n", Hex32(endOffset), seconds);
}

std::string OneSyncLine(std::int64_t offset, std::uint8_t b) {
    return Format("%08x : %02x       [1sync]", Hex32(offset), unsigned{b});
}

std::string NSyncLine(std::int64_t offset, std::uint8_t b) {
    return Format("%08x : %02x       [nSync]", Hex32(offset), unsigned{b});
}

std::string CountByteLine(std::int64_t offset, std::uint8_t b) {
    return Format("%08x : %02x", Hex32(offset), unsigned{b});
}

std::string TimerLine(std::int64_t offset, const std::uint8_t* command) {
    return Format("%08x : %02x %02x %02x [Timer]", Hex32(offset), unsigned{command[0]},
                  unsigned{command[1]}, unsigned{command[2]});
}

}  // namespace zelta::msg
