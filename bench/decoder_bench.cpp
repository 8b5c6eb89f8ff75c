#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "CountingNew.h"
#include "input/Decoder.h"

namespace {

using tamblin::bench::AllocationCounter;
using tamblin::input::Decoder;
using tamblin::input::DecoderSink;

// Takes every result but does next to nothing with it, so the figure is the decoder's own.
class LeanSink : public DecoderSink {
public:
    std::size_t logChars = 0;
    std::size_t marks = 0;

    void setCountText(int, std::string_view text) override { logChars += text.size() & 1; }
    void markCell(int, int, int, tamblin::grids::Rgb) override { ++marks; }
    void clearLog() override {}
    void appendLog(std::string_view line) override { logChars += line.size(); }
    bool firstTimeOnly() const override { return false; }
};

// A player's stream: notes on and off (some as velocity 0), controllers, a few program changes,
// and MIDI clock between them.
std::vector<std::uint32_t> realisticMix(std::size_t n) {
    std::vector<std::uint32_t> messages;
    messages.reserve(n);
    std::uint32_t seed = 12345;
    auto random = [&seed](std::uint32_t below) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % below;
    };
    while (messages.size() < n) {
        const std::uint32_t channel = random(16);
        const std::uint32_t number = random(128);
        const std::uint32_t value = random(128);
        // Weights out of 20: 7 note on, 3 note off, 2 note on with velocity 0, 3 controller,
        // 1 program change, 4 timing clock.
        const std::uint32_t pick = random(20);
        if (pick < 7)
            messages.push_back((value | 1) << 16 | number << 8 | 0x90 | channel);
        else if (pick < 10)
            messages.push_back(value << 16 | number << 8 | 0x80 | channel);
        else if (pick < 12)
            messages.push_back(number << 8 | 0x90 | channel);
        else if (pick < 15)
            messages.push_back(value << 16 | number << 8 | 0xB0 | channel);
        else if (pick < 16)
            messages.push_back(number << 8 | 0xC0 | channel);
        else
            messages.push_back(0xF8);
    }
    return messages;
}

void BM_DisplayMessage(benchmark::State& state) {
    const std::vector<std::uint32_t> messages = realisticMix(4096);
    LeanSink sink;
    Decoder decoder(sink);
    decoder.initialise();
    long allocations = 0;
    std::int32_t time = 0;
    for (auto _ : state) {
        const AllocationCounter counter;
        for (const std::uint32_t message : messages) decoder.displayMessage(message, time += 7);
        allocations += counter.count();
    }
    benchmark::DoNotOptimize(sink.logChars);
    benchmark::DoNotOptimize(sink.marks);
    const auto decoded =
        static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(messages.size());
    state.SetItemsProcessed(decoded);
    state.counters["allocations"] = static_cast<double>(allocations);
}
BENCHMARK(BM_DisplayMessage);

}  // namespace

BENCHMARK_MAIN();
