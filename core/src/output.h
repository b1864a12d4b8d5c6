// The output's name and the places its bytes go, below both the public entry
// points (convert.cpp) and the conversion (conversion.cpp). FileNamePart,
// OutputPathFor and MemoryOutput, declared in the public interface, are
// defined in output.cpp with the file target declared here.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "os_file.h"
#include "zelta/convert.h"

namespace zelta {

// Writes the output through a replacement file: the earlier output stays
// whole until the new one is complete.
class FileOutput final : public OutputTarget {
public:
    bool Open(const std::filesystem::path& outputPath) override { return file_.Create(outputPath); }
    bool Write(std::span<const std::span<const std::uint8_t>> pieces) override {
        return file_.Write(pieces);
    }
    bool Commit() override { return file_.Commit(); }
    void Abort() override { file_.Discard(); }

private:
    os::ReplacementFile file_;
};

}  // namespace zelta
