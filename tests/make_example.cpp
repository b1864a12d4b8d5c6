// Writes a small example S98 file: a lead-in of waits and timer writes, an
// instrument set-up, notes, a loop point and a tag.
#include <cstdio>
#include <filesystem>

#include "s98_builder.h"

namespace {

int MakeExample(int argc, const std::filesystem::path& output) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_example OUTPUT.s98\n");
        return 2;
    }
    zelta::test::S98Builder b;
    b.Devices({4});
    b.Sync(3).Write(0, 0x27, 0x30).NSync({0x85, 0x01}).Write(0, 0x27, 0x15);
    b.Write(0, 0x30, 0x71).Write(0, 0xB0, 0x32).Sync();
    b.LoopHere().Write(0, 0x28, 0xF0).Sync(2).Write(0, 0x28, 0x00).Sync().End();
    b.Tag("[S98]title=example\n");
    zelta::test::WriteFile(output, b.Build());
    return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return MakeExample(argc, argc == 2 ? argv[1] : L""); }
#else
int main(int argc, char** argv) { return MakeExample(argc, argc == 2 ? argv[1] : ""); }
#endif
