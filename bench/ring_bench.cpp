#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "CountingNew.h"
#include "input/InputRing.h"

namespace {

using tamblin::bench::AllocationCounter;
using tamblin::input::InputRing;
using tamblin::input::instanceOf;
using tamblin::input::midiInCallback;

constexpr std::uint32_t kShortMessage = 963;
constexpr int kBatch = 1000;  // below the ring's 1,023, so a batch never overruns

// The input callback's whole path into the ring, as the port service's thread runs it.
void BM_CallbackStore(benchmark::State& state) {
    auto owned = std::make_unique<InputRing>();
    InputRing& ring = *owned;
    const tamblin::ports::Instance instance = instanceOf(ring);
    long allocations = 0;
    std::uint32_t time = 0;
    for (auto _ : state) {
        {
            const AllocationCounter counter;
            for (int i = 0; i < kBatch; ++i, ++time)
                midiInCallback(1, kShortMessage, instance, 0x403C90 ^ ((time & 0x7F) << 8), time);
            allocations += counter.count();
        }
        state.PauseTiming();
        while (!ring.empty()) ring.advanceRead();
        state.ResumeTiming();
    }
    if (ring.overrun()) state.SkipWithError("the ring overran");
    const auto messages = static_cast<double>(state.iterations()) * kBatch;
    state.SetItemsProcessed(static_cast<std::int64_t>(messages));
    state.counters["time_per_message"] =
        benchmark::Counter(messages, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["allocations"] = static_cast<double>(allocations);
}
BENCHMARK(BM_CallbackStore);

}  // namespace

BENCHMARK_MAIN();
