// Every text the conversion returns or logs, named once.
//
// Numbers are printf-style: offsets as eight lowercase hex digits (a negative
// field shows as its two's complement), bytes as two.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelta::msg {

// Results of ConvertS98File (empty text = success).
inline constexpr std::string_view kInputOpen = "input file open error.";
inline constexpr std::string_view kInputTooLarge = "input file too large.";
inline constexpr std::string_view kMemory = "memory allocation error.";
inline constexpr std::string_view kInputRead = "input file read error.";
inline constexpr std::string_view kHeader = "S98 header error.";
inline constexpr std::string_view kVersion = "S98 version error.";
inline constexpr std::string_view kOutputOpen = "output file open error.";
inline constexpr std::string_view kOutputWrite = "output file write error.";

std::string DataOffsetError(std::int32_t dumpOffset);  // "data offset error. %08x"
std::string TagOffsetError(std::int32_t tagOffset);    // "tag offset error. %08x"
std::string UnexpectedEof(std::int64_t offset);        // "found unexpected EOF.  ofs=%08x"
// "found corrupted data.  ofs=%08x: %02x %02x %02x"
std::string CorruptedData(std::int64_t offset, const std::uint8_t* command);

// Log lines. The first two (and the loop search's) end with a line feed, which is part of the line.
std::string StartLine(std::int64_t startOffset);  // "start offset(1st key-on)=%08x\n"
std::string OutputLine(std::string_view fileName);  // "output file:%s\n"
// The loop search's line (-l), between those two; each ends with a line feed.
// "loop offset(repeat found)=%08x, %.2f s\n"
std::string LoopFoundLine(std::int64_t loopOffset, double seconds);
inline constexpr std::string_view kLoopNoneLine = "loop offset(repeat found)=none\n";
std::string LoopKeptLine(std::int64_t loopOffset);  // "loop offset(kept)=%08x\n"
// The silent end's line (-s), after the start line and the loop's; each ends
// with a line feed. "end offset(silence cut)=%08x, %.2f s\n"
std::string EndCutLine(std::int64_t endOffset, double seconds);
inline constexpr std::string_view kEndNoneLine = "end offset(silence cut)=none\n";
std::string OneSyncLine(std::int64_t offset, std::uint8_t b);  // "%08x : %02x       [1sync]"
std::string NSyncLine(std::int64_t offset, std::uint8_t b);    // "%08x : %02x       [nSync]"
std::string CountByteLine(std::int64_t offset, std::uint8_t b);  // "%08x : %02x"
// "%08x : %02x %02x %02x [Timer]"
std::string TimerLine(std::int64_t offset, const std::uint8_t* command);

// Lines framing one file, as the window and the command line show them.
inline constexpr std::string_view kResultOk = "-> ok";
inline constexpr std::string_view kResultPrefix = "-> ";

}  // namespace zelta::msg
