// The page's way into the core: zelta_convert converts one file that the
// host (the page's worker, or node in the tests) reads, logs and keeps, as
// the window's ConvertOneFile does for a file on disk. The host is the
// object module_api.js puts in Module.zeltaHost for the length of the call.
#include <emscripten.h>

#include <array>
#include <cstdint>
#include <string>

#include "messages.h"
#include "zelta/convert.h"

// Each returns what the host's function of the same name returns.
EM_JS(double, host_read, (std::uint8_t * into, double max), {
    return Module.zeltaHost.read(into >>> 0, max);
});
EM_JS(void, host_log, (const char* text, std::size_t size), {
    Module.zeltaHost.log(text >>> 0, size >>> 0);
});
EM_JS(int, host_open, (const char* name, std::size_t size), {
    return Module.zeltaHost.open(UTF8ToString(name >>> 0, size >>> 0)) ? 1 : 0;
});
EM_JS(int, host_write, (const std::uint8_t* bytes, std::size_t size), {
    return Module.zeltaHost.write(bytes >>> 0, size >>> 0) ? 1 : 0;
});
EM_JS(int, host_commit, (std::uint32_t crc), {
    return Module.zeltaHost.commit(crc >>> 0) ? 1 : 0;
});
EM_JS(void, host_abort, (), { Module.zeltaHost.abort(); });

namespace {

// The flags of zelta_convert.
constexpr int kShowStartOnly = 1;  // -n
constexpr int kDetailLog = 2;      // -v
constexpr int kUnreadable = 4;     // the browser cannot read the file (a folder)
constexpr int kFindLoop = 8;       // -l
constexpr int kBySound = 16;       // -s

// CRC-32 (the zip's: reflected polynomial 0xEDB88320), one table lookup per byte.
constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

std::uint32_t UpdateCrc(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
    crc = ~crc;
    for (const std::uint8_t b : bytes) crc = kCrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

class HostReader final : public zelta::ByteReader {
public:
    std::int64_t Read(std::uint8_t* into, std::int64_t max) override {
        return static_cast<std::int64_t>(host_read(into, static_cast<double>(max)));
    }
};

class HostLog final : public zelta::LogSink {
public:
    void Append(const std::string& line) override { host_log(line.data(), line.size()); }
};

// Hands the output to the host as it is written, with its CRC-32 at the end.
class HostOutput final : public zelta::OutputTarget {
public:
    bool Open(const std::filesystem::path& outputPath) override {
        crc_ = 0;
        const std::string name = zelta::FileNamePart(outputPath);
        return host_open(name.data(), name.size()) != 0;
    }
    bool Write(std::span<const std::span<const std::uint8_t>> pieces) override {
        for (const auto& piece : pieces) {
            if (piece.empty()) continue;
            crc_ = UpdateCrc(crc_, piece);
            if (host_write(piece.data(), piece.size()) == 0) return false;
        }
        return true;
    }
    bool Commit() override { return host_commit(crc_) != 0; }
    void Abort() override { host_abort(); }

private:
    std::uint32_t crc_ = 0;
};

}  // namespace

// Logs `name`, converts the `size` bytes the host reads, then logs "-> ok"
// or "-> " with the message. Returns 1 on success.
extern "C" EMSCRIPTEN_KEEPALIVE int zelta_convert(const char* name, double size, int flags) {
    const std::filesystem::path path(reinterpret_cast<const char8_t*>(name));
    const zelta::Options options{.showStartOnly = (flags & kShowStartOnly) != 0,
                                 .detailLog = (flags & kDetailLog) != 0,
                                 .findLoop = (flags & kFindLoop) != 0,
                                 .bySound = (flags & kBySound) != 0};
    HostLog sink;
    sink.Append(zelta::FileNamePart(path));
    std::string message;
    if ((flags & kUnreadable) != 0) {
        message = zelta::msg::kInputOpen;
    } else {
        HostReader reader;
        HostOutput output;
        message = zelta::ConvertS98Stream(reader, static_cast<std::int64_t>(size), path, options,
                                          sink, output);
    }
    if (message.empty()) {
        sink.Append(std::string(zelta::msg::kResultOk));
        return 1;
    }
    sink.Append(std::string(zelta::msg::kResultPrefix) + message);
    return 0;
}
