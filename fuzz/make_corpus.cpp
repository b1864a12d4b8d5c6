// Writes the fuzzer's seed corpus: generated S98 images, one file each.
//
//   zelta_fuzz_corpus DIR [COUNT]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "generator.h"
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
    std::printf("%d seed files in %s\n", count, dir.c_str());
    return 0;
}
