// libFuzzer entry: every input is an S98 image. It is converted in memory
// with several option sets; nothing may crash or trip a sanitizer, every
// result must match the reference model, and every successful conversion
// must keep the structural invariants (including a second run over the
// output). The same image read front to back in small pieces must give the
// same result. With the loop search on, the message and the lines are those
// without it plus the loop line, and a loop it sets replays as the ordinary
// output (loop_check.h). With -s, the same message, its lines, and the output
// the conversion's from its start up to a cut (CheckBySound in invariants.h).
// Any broken rule aborts with its description.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "chunked_reader.h"
#include "invariants.h"
#include "loop_check.h"
#include "reference_model.h"
#include "zelta/convert.h"

namespace {

[[noreturn]] void Broken(const char* what, const std::string& why) {
    std::fprintf(stderr, "\n*** %s: %s\n", what, why.c_str());
    std::abort();
}

void Compare(std::span<const std::uint8_t> image, zelta::Options options) {
    const auto core = zelta::ConvertInMemory(image, options);
    const auto want = zelta::model::Convert(image, {options.showStartOnly, options.detailLog, options.allChips});
    if (core.message != want.message) Broken("message", "core \"" + core.message + "\", model \"" + want.message + "\"");
    if (core.lines != want.lines) {
        std::string s;
        for (std::size_t i = 0; i < core.lines.size() || i < want.lines.size(); ++i) {
            s += "\n  core:  " + (i < core.lines.size() ? core.lines[i] : std::string("-"));
            s += "\n  model: " + (i < want.lines.size() ? want.lines[i] : std::string("-"));
        }
        Broken("log lines", s);
    }
    if (core.written != want.written || core.output != want.output) Broken("output", "core and model differ");
    // Reads of 1 to 8 bytes and windows of 1 to 8 bytes after the smallest
    // first read, chosen by the image, so that every command gets cut at
    // every place.
    const std::uint8_t pick = image.empty() ? 0 : image.back();
    const zelta::ReadSizes sizes{1, 1 + (pick >> 3) % 8};
    const auto steps = zelta::test::ConvertInSteps(image, 1 + pick % 8, options, sizes);
    if (steps.message != core.message || steps.lines != core.lines ||
        steps.written != core.written || steps.output != core.output) {
        Broken("read in pieces", "differs from the conversion in memory, message \"" +
                                     steps.message + "\" against \"" + core.message + "\"");
    }
    if (options.detailLog && !options.showStartOnly) {
        const auto why = zelta::test::CheckConversion(image, core, options);
        if (!why.empty()) Broken("invariant", why);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> image(data, size);
    Compare(image, {false, true, false});
    Compare(image, {true, false, false});
    Compare(image, {false, false, false});
    Compare(image, {false, true, true});
    for (const zelta::Options options : {zelta::Options{.detailLog = true}, zelta::Options{.showStartOnly = true},
                                         zelta::Options{.detailLog = true, .allChips = true}}) {
        const auto why = zelta::test::CheckLoop(image, options);
        if (!why.empty()) Broken("loop search", why);
    }
    const std::uint8_t pick = image.empty() ? 0 : image[image.size() / 2];
    const zelta::Options sound{.showStartOnly = (pick & 1) != 0, .detailLog = (pick & 2) != 0,
                               .allChips = (pick & 4) != 0, .findLoop = (pick & 8) != 0};
    if (const auto why = zelta::test::CheckBySound(image, sound); !why.empty()) Broken("by sound", why);
    return 0;
}
