// Writes the benchmark inputs.
//
//   zelta_bench_inputs one  FILE BYTES [SEED]
//   zelta_bench_inputs many FOLDER COUNT MIN_BYTES MAX_BYTES [SEED]
//   zelta_bench_inputs loop FILE BYTES
//
// "many" writes FOLDER/song00000.s98 ... with sizes spread evenly at random
// between MIN_BYTES and MAX_BYTES. "loop" writes a song that repeats (for
// -l) and prints how many register writes it holds.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "synth_s98.h"

namespace {

bool WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

int Usage() {
    std::fputs("usage: zelta_bench_inputs one FILE BYTES [SEED]\n"
               "       zelta_bench_inputs many FOLDER COUNT MIN_BYTES MAX_BYTES [SEED]\n"
               "       zelta_bench_inputs loop FILE BYTES\n",
               stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using zelta::bench::MakeSong;
    using zelta::bench::SynthOptions;
    if (argc < 2) return Usage();
    const std::string what = argv[1];
    if (what == "one" && (argc == 4 || argc == 5)) {
        SynthOptions o;
        o.size = std::strtoull(argv[3], nullptr, 10);
        o.seed = argc == 5 ? std::strtoull(argv[4], nullptr, 10) : 1;
        if (!WriteFile(argv[2], MakeSong(o))) {
            std::perror(argv[2]);
            return 1;
        }
        return 0;
    }
    if (what == "loop" && argc == 4) {
        zelta::bench::LoopSongOptions o;
        o.size = std::strtoull(argv[3], nullptr, 10);
        std::uint64_t writes = 0;
        if (!WriteFile(argv[2], zelta::bench::MakeLoopSong(o, &writes))) {
            std::perror(argv[2]);
            return 1;
        }
        std::printf("%llu\n", static_cast<unsigned long long>(writes));
        return 0;
    }
    if (what == "many" && (argc == 6 || argc == 7)) {
        const std::filesystem::path folder = argv[2];
        const unsigned long count = std::strtoul(argv[3], nullptr, 10);
        const unsigned long low = std::strtoul(argv[4], nullptr, 10);
        const unsigned long high = std::strtoul(argv[5], nullptr, 10);
        const std::uint64_t seed = argc == 7 ? std::strtoull(argv[6], nullptr, 10) : 1;
        if (high < low) return Usage();
        std::filesystem::create_directories(folder);
        zelta::bench::Random sizes(seed);
        for (unsigned long i = 0; i < count; ++i) {
            SynthOptions o;
            o.size = low + sizes.Below(static_cast<std::uint32_t>(high - low + 1));
            o.seed = seed * 1000003 + i;
            char name[32];
            std::snprintf(name, sizeof name, "song%05lu.s98", i);
            if (!WriteFile(folder / name, MakeSong(o))) {
                std::perror(name);
                return 1;
            }
        }
        return 0;
    }
    return Usage();
}
