// Writes songs for the page's tests into FOLDER: COUNT generated images
// (song_000.s98, ...) from the property tests' generator, and with BIG_MIB
// one song of that many MiB (big.s98) with a lead-in, a long body and a tag.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "generator.h"
#include "s98_builder.h"

namespace {

std::vector<std::uint8_t> BigSong(std::int64_t size) {
    zelta::test::S98Builder b;
    b.Devices({4, 1});
    b.Sync(40).Write(0, 0x27, 0x30).NSync({0x85, 0x01}).Write(1, 0x07, 0x38);
    b.Write(0, 0x28, 0xF0).LoopHere();
    for (std::uint32_t i = 0; b.Here() < size - 64; ++i) {
        b.Write(static_cast<int>(i % 2), static_cast<std::uint8_t>(0x30 + i % 0x60),
                static_cast<std::uint8_t>(i * 7), static_cast<int>(i / 2 % 2));
        if (i % 5 == 0) b.Sync(1 + static_cast<int>(i % 3));
    }
    b.End().Tag("[S98]title=big\n");
    return b.Build();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: web_songs FOLDER COUNT [BIG_MIB]\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);
    zelta::test::StreamGenerator generator(14);
    for (int i = 0; i < std::atoi(argv[2]); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "song_%03d.s98", i);
        zelta::test::WriteFile(folder / name, generator.Image());
    }
    if (argc > 3) zelta::test::WriteFile(folder / "big.s98", BigSong(std::int64_t{std::atoi(argv[3])} << 20));
    return 0;
}
