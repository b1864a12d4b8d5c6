// Writes the fuzzer's seed corpus: generated S98 images, one file each.
//
//   zelta_fuzz_corpus DIR [COUNT]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "generator.h"
#include "loop_songs.h"
#include "s98_builder.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: zelta_fuzz_corpus DIR [COUNT]\n");
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    const int count = argc > 2 ? std::atoi(argv[2]) : 400;
    std::filesystem::create_directories(dir);
    zelta::test::StreamGenerator gen(0xC0FFEE);
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "seed-%04d.s98", i);
        auto image = gen.Image();
        if (image.size() > 4096) image.resize(4096);  // the fuzzer's default length limit
        zelta::test::WriteFile(dir / name, image);
    }
    // Logged songs that loop (and some that do not), as far as they fit.
    int songs = 0;
    for (int i = 0; i < count; ++i) {
        const auto song = zelta::test::LoopSongGenerator(0xC0FFEE + i).Song(static_cast<zelta::test::SongKind>(i % 9));
        if (song.image.size() > 4096) continue;
        char name[32];
        std::snprintf(name, sizeof name, "song-%04d.s98", i);
        zelta::test::WriteFile(dir / name, song.image);
        ++songs;
    }
    zelta::test::WriteFile(dir / "found-device-table-in-the-stream.s98", zelta::test::kDeviceTableInTheStream);
    zelta::test::WriteFile(dir / "found-device-table-in-a-cut-stream.s98", zelta::test::kDeviceTableInACutStream);
    zelta::test::WriteFile(dir / "found-cut-leaves-a-repeat.s98", zelta::test::kCutLeavesARepeat);
    zelta::test::WriteFile(dir / "found-device-table-in-a-shorter-copy.s98", zelta::test::kDeviceTableInAShorterCopy);
    std::printf("%d seed files, %d songs and 4 found inputs in %s\n", count, songs, dir.c_str());
    return 0;
}
