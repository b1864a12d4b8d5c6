// In-memory conversion throughput beside memcpy of the same size.
//
//   BM_Convert/<bytes>   ConvertInMemory on a synthetic song (output bytes
//                        gathered into a vector, log lines collected)
//   BM_ConvertInto/<bytes>
//                        ConvertS98Image into an output buffer kept from one
//                        iteration to the next (what memcpy is given too):
//                        the conversion without the allocation of a fresh
//                        output vector
//   BM_Memcpy/<bytes>    memcpy of the same number of bytes into a buffer
//                        that is already allocated and touched
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <vector>

#include "synth_s98.h"
#include "zelta/convert.h"

namespace {

const std::vector<std::uint8_t>& Song(std::size_t size) {
    static std::map<std::size_t, std::vector<std::uint8_t>> songs;
    auto& song = songs[size];
    if (song.empty()) {
        zelta::bench::SynthOptions o;
        o.size = size;
        song = zelta::bench::MakeSong(o);
    }
    return song;
}

void BM_Convert(benchmark::State& state) {
    const auto& song = Song(static_cast<std::size_t>(state.range(0)));
    const auto check = zelta::ConvertInMemory(song);
    if (!check.message.empty() || !check.written || check.output.size() >= song.size()) {
        state.SkipWithError("the synthetic song does not convert");
        return;
    }
    for (auto _ : state) {
        auto r = zelta::ConvertInMemory(song);
        benchmark::DoNotOptimize(r.output.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(song.size()));
}

// Keeps its buffer's memory from one conversion to the next.
class ReusedOutput final : public zelta::OutputTarget {
public:
    bool Open(const std::filesystem::path&) override {
        bytes.clear();
        return true;
    }
    bool Write(std::span<const std::span<const std::uint8_t>> pieces) override {
        for (const auto& piece : pieces) bytes.insert(bytes.end(), piece.begin(), piece.end());
        return true;
    }
    bool Commit() override { return true; }
    void Abort() override {}
    std::vector<std::uint8_t> bytes;
};

class NoLines final : public zelta::LogSink {
public:
    void Append(const std::string&) override {}
};

void BM_ConvertInto(benchmark::State& state) {
    const auto& song = Song(static_cast<std::size_t>(state.range(0)));
    ReusedOutput output;
    NoLines lines;
    output.bytes.reserve(song.size());
    if (!zelta::ConvertS98Image(song, "song.s98", {}, lines, output).empty()) {
        state.SkipWithError("the synthetic song does not convert");
        return;
    }
    for (auto _ : state) {
        auto message = zelta::ConvertS98Image(song, "song.s98", {}, lines, output);
        benchmark::DoNotOptimize(output.bytes.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(song.size()));
}

void BM_Memcpy(benchmark::State& state) {
    const auto& song = Song(static_cast<std::size_t>(state.range(0)));
    std::vector<std::uint8_t> target(song.size(), 1);
    for (auto _ : state) {
        std::memcpy(target.data(), song.data(), song.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(song.size()));
}

// Rates by the clock on the wall: a long walk runs on two threads, and the
// benchmark's default, the calling thread's processor time, would leave the
// second one out.
constexpr std::int64_t kMiB = 1 << 20;
BENCHMARK(BM_Convert)->Arg(kMiB)->Arg(64 * kMiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConvertInto)->Arg(kMiB)->Arg(64 * kMiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Memcpy)->Arg(kMiB)->Arg(64 * kMiB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
