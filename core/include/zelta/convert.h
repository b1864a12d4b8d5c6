// zelta: cuts the silent lead-in off S98 register logs.
//
// This is the whole public interface of the core library. The window and the
// command line call nothing else.
//
//   ConvertS98File   reads a file, converts it, writes <name>_new.s98 beside it
//   ConvertS98Image  the same conversion on bytes already in memory, writing
//                    into any OutputTarget (a file, or a byte vector)
//   ConvertS98Stream the same conversion on bytes read front to back from
//                    any ByteReader, as ConvertS98File reads a file
//   ConvertOneFile   ConvertS98File framed by the file-name line and the
//                    "-> ok" / "-> <message>" result line, as the user sees it
//
// Every routine returns its failure as message text (empty = success) and
// never throws for anything a file can contain.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelta {

// Taken by value once at the start of each conversion.
struct Options {
    bool showStartOnly = false;  // -n: report the start point, write nothing
    bool detailLog = false;      // -v: log every byte that is left out
    bool allChips = false;       // --all-chips: any device's key-on may start
    bool findLoop = false;       // -l: set the loop where the song repeats, cut the repeats
    bool bySound = false;        // -s: start at the first sound, cut the silent end
};

// Receives the conversion's log lines in order. Each call is one line; a
// line may end with a line feed, which belongs to the line's text.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void Append(const std::string& line) = 0;
};

// A LogSink that keeps the lines, for tests and in-memory use.
class LineCollector final : public LogSink {
public:
    void Append(const std::string& line) override { lines.push_back(line); }
    std::vector<std::string> lines;
};

// Where the trimmed copy goes. Open is called once with the output path,
// then Write any number of times, then Commit once. Abort is called instead
// of Commit when the conversion gives up after a successful Open.
class OutputTarget {
public:
    virtual ~OutputTarget() = default;
    virtual bool Open(const std::filesystem::path& outputPath) = 0;
    // Writes the pieces in order, as if they were one buffer.
    virtual bool Write(std::span<const std::span<const std::uint8_t>> pieces) = 0;
    virtual bool Commit() = 0;
    virtual void Abort() = 0;
};

// An OutputTarget that keeps the output bytes in memory.
class MemoryOutput final : public OutputTarget {
public:
    bool Open(const std::filesystem::path& outputPath) override;
    bool Write(std::span<const std::span<const std::uint8_t>> pieces) override;
    bool Commit() override;
    void Abort() override;

    std::filesystem::path path;        // what Open was given
    std::vector<std::uint8_t> bytes;   // what was written
    bool committed = false;
};

// A path as UTF-8 text for lines and messages. On Windows a unit that is no
// character (a lone surrogate, which names may hold) shows as U+FFFD.
std::string PathText(const std::filesystem::path& path);

// The file-name part of a path: the text after its last separator.
std::string FileNamePart(const std::filesystem::path& path);

// What replaces the input's extension in the output's name.
inline constexpr std::string_view kOutputSuffix = "_new.s98";

// The input path with its extension replaced by kOutputSuffix.
std::filesystem::path OutputPathFor(const std::filesystem::path& inputPath);

// Converts an image already in memory. inputPath only names the output; no
// file is touched except through `output`.
std::string ConvertS98Image(std::span<const std::uint8_t> image,
                            const std::filesystem::path& inputPath,
                            Options options, LogSink& sink,
                            OutputTarget& output);

// The input of ConvertS98Stream, read front to back.
class ByteReader {
public:
    virtual ~ByteReader() = default;
    // Reads up to `max` (> 0) bytes into `into`. Returns how many, 0 at the
    // end, or -1 on a read error.
    virtual std::int64_t Read(std::uint8_t* into, std::int64_t max) = 0;
};

// Converts the `size` bytes `input` holds, reading each of them once and
// holding only the image's start and a window of its rest in memory. The
// output and the lines are those ConvertS98Image gives for the same bytes;
// an input that ends early or fails is "input file read error.".
std::string ConvertS98Stream(ByteReader& input, std::int64_t size,
                             const std::filesystem::path& inputPath,
                             Options options, LogSink& sink,
                             OutputTarget& output);

// Reads `path`, converts it and writes <name>_new.s98 beside it (safely:
// a temporary file renamed over the output).
std::string ConvertS98File(const std::filesystem::path& path, Options options,
                           LogSink& sink);

// Logs the file-name part of `path`, converts it, then logs "-> ok" or
// "-> " with the message. Returns true on success.
bool ConvertOneFile(const std::filesystem::path& path, Options options,
                    LogSink& sink);

// The in-memory conversion in one call, for tests, fuzzing and benchmarks.
struct MemoryConversion {
    std::string message;
    std::vector<std::string> lines;
    std::vector<std::uint8_t> output;  // empty unless a copy was written
    bool written = false;
};
MemoryConversion ConvertInMemory(std::span<const std::uint8_t> image,
                                 Options options = {},
                                 const std::filesystem::path& inputPath = "song.s98");

// Makes a write past the file-size limit fail with "output file write
// error." instead of ending the process. Front ends call it once at start.
void IgnoreFileSizeSignal();

}  // namespace zelta
