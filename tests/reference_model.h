// A second, deliberately plain implementation of the conversion, written from
// the rules alone and sharing no code with the core. The property tests and
// the fuzzer run both on the same bytes and compare every result: message,
// log lines and output bytes.
//
// It favours obviousness over speed: the scan first collects every command
// of the stream, then decides the start, then what is left out, then
// builds the output from that list.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zelta::model {

struct ModelOptions {
    bool showStartOnly = false;
    bool detailLog = false;
    bool allChips = false;
};

// One left-out stretch of input bytes.
struct LeftOut {
    std::int64_t offset = 0;
    std::int64_t size = 0;
    bool logged = true;  // a port-1 timer write is left out without a line
};

struct ModelResult {
    std::string message;              // empty = success
    std::vector<std::string> lines;   // log lines in order
    std::vector<std::uint8_t> output; // empty unless a copy was written
    bool written = false;
    std::int64_t startOffset = 0;     // 0 = no start found (or not scanned)
    std::vector<LeftOut> leftOut;     // in stream order
};

// The output path's file-name part for an input path (the text after the
// last '/' of the input with its extension replaced by "_new.s98").
std::string OutputNameFor(const std::string& inputPath);

ModelResult Convert(std::span<const std::uint8_t> image, ModelOptions options,
                    const std::string& inputPath = "song.s98");

}  // namespace zelta::model
