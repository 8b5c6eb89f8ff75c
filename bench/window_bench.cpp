// One refresh tick of the real main window over a burst that fills the input ring.
//
// The window is loaded and shown over an in-process port service with one input device. Each
// iteration plays 1,023 note, control change and program change messages into the ring (not
// timed), then times:
//   1. refreshTick(): the drain, with every message decoded, counted, marked and logged, and
//      the batch handed to the widgets (the log empties every 1,001 lines, as it does live);
//   2. the paint this causes: one pass of the event loop repaints what is on screen (the
//      selected page and the bottom strip), and each grid on a hidden page is painted once into
//      an image of its on-screen size, so all three grids are painted exactly once per burst,
//      as they would be when the user looks at them.
// Arguments: the page shown (0 "Notes", 3 "Misc": the log and the counters) and whether the
// widgets are updated once per tick (1) or after every message (0). A last line gives the
// ratio of the two medians per page.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QTabBar>
#include <QTimer>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "doubles/InProcessPortService.h"
#include "grids/GridView.h"
#include "input/InputRing.h"
#include "windows/Tambview.h"

namespace {

using tamblin::ports::InProcessPortService;
using tamblin::windows::Tambview;

constexpr int kBurst = tamblin::input::InputRing::kSlots - 1;  // the most the ring holds
constexpr int kGrids = 3;

double residentMegabytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0.0;
}

void settle(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Notes on and off, controllers and program changes over all channels: every one is logged,
// counted and marks a cell.
std::vector<InProcessPortService::Event> burst(std::uint32_t shift) {
    std::vector<InProcessPortService::Event> events;
    events.reserve(kBurst);
    for (int i = 0; i < kBurst; ++i) {
        const auto channel = static_cast<std::uint32_t>(i % 16);
        const auto number = static_cast<std::uint32_t>((i * 7 + shift) % 128);
        const auto value = static_cast<std::uint32_t>((i * 13) % 128);
        std::uint32_t message = 0;
        switch (i % 4) {
            case 0:
                message = (value | 1) << 16 | number << 8 | (0x90 | channel);
                break;
            case 1:
                message = value << 16 | number << 8 | (0x80 | channel);
                break;
            case 2:
                message = value << 16 | number << 8 | (0xB0 | channel);
                break;
            default:
                message = number << 8 | (0xC0 | channel);
                break;
        }
        events.push_back({message, 10000 + i});
    }
    return events;
}

struct Setting {
    InProcessPortService& service;
    Tambview& window;
    double startMegabytes;
};

void BM_RefreshTick(benchmark::State& state, const Setting& setting) {
    const int page = static_cast<int>(state.range(0));
    Tambview& window = setting.window;
    window.setBatchedUpdates(state.range(1) != 0);
    window.findChild<QTabBar*>(QStringLiteral("tabBar"))->setCurrentIndex(page);
    settle(50);

    std::array<QImage, kGrids> offscreen;
    for (int i = 0; i < kGrids; ++i)
        offscreen[static_cast<std::size_t>(i)] =
            QImage(window.grid(i)->size(), QImage::Format_ARGB32_Premultiplied);
    std::array<int, kGrids> paintsBefore{};
    for (int i = 0; i < kGrids; ++i)
        paintsBefore[static_cast<std::size_t>(i)] = window.grid(i)->paintCount();

    // Two bursts in turn, which leave different colours: the grids repaint only cells that
    // changed, and a burst repeated exactly would change none.
    const std::array<std::vector<InProcessPortService::Event>, 2> bursts{burst(0), burst(1)};
    std::size_t turn = 0;
    double tickSeconds = 0.0;
    double paintSeconds = 0.0;
    for (auto _ : state) {
        const auto& events = bursts[turn++ % bursts.size()];
        if (setting.service.play(0, events) != events.size()) {
            state.SkipWithError("the input port took no messages");
            break;
        }
        const auto start = std::chrono::steady_clock::now();
        window.refreshTick();
        const auto ticked = std::chrono::steady_clock::now();
        QCoreApplication::processEvents();
        for (int i = 0; i < kGrids; ++i) {
            if (!window.grid(i)->isVisible())
                window.grid(i)->render(&offscreen[static_cast<std::size_t>(i)]);
        }
        const auto stop = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
        tickSeconds += std::chrono::duration<double>(ticked - start).count();
        paintSeconds += std::chrono::duration<double>(stop - ticked).count();
    }
    window.setBatchedUpdates(true);

    // Shows that every grid was painted once per burst inside the timed region.
    for (int i = 0; i < kGrids; ++i) {
        state.counters["paints" + std::to_string(i)] = benchmark::Counter(
            window.grid(i)->paintCount() - paintsBefore[static_cast<std::size_t>(i)],
            benchmark::Counter::kAvgIterations);
    }
    // The two parts of the timed region: the tick itself, then the paint.
    state.counters["tick_ms"] =
        benchmark::Counter(tickSeconds * 1e3, benchmark::Counter::kAvgIterations);
    state.counters["paint_ms"] =
        benchmark::Counter(paintSeconds * 1e3, benchmark::Counter::kAvgIterations);
    state.counters["rss_start_MB"] = setting.startMegabytes;
    state.SetItemsProcessed(state.iterations() * kBurst);
}

// Passes every report on to the reporter the command line asked for and keeps the medians, to
// compare the batched tick with the per-message one at the end.
class RatioReporter : public benchmark::BenchmarkReporter {
public:
    explicit RatioReporter(benchmark::BenchmarkReporter& display) : display_(display) {}

    bool ReportContext(const Context& context) override { return display_.ReportContext(context); }

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.aggregate_name == "median")
                medians_[run.run_name.args] = run.GetAdjustedRealTime();
        display_.ReportRuns(runs);
    }

    void Finalize() override { display_.Finalize(); }

    void printRatios() const {
        for (const char* page : {"page:0", "page:3"}) {
            const auto batched = medians_.find(std::string(page) + "/batched:1");
            const auto single = medians_.find(std::string(page) + "/batched:0");
            if (batched == medians_.end() || single == medians_.end() || batched->second <= 0)
                continue;
            std::printf("%s: median tick %.2f ms batched, %.2f ms per message: %.1fx\n", page,
                        batched->second, single->second, single->second / batched->second);
        }
    }

private:
    benchmark::BenchmarkReporter& display_;
    std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    InProcessPortService service;
    service.setInputDevices({"Keys"});
    tamblin::input::InputRing ring;
    Tambview window(service, ring);
    window.setEndProgram([] {});
    window.load();
    window.show();
    // Only the ticks the benchmark runs itself: a timer tick inside the timed region would add
    // a repaint of its own.
    window.findChild<QTimer*>(QStringLiteral("Timer"))->stop();
    settle(200);
    const Setting setting{service, window, residentMegabytes()};

    benchmark::RegisterBenchmark(
        "BM_RefreshTick", [&setting](benchmark::State& state) { BM_RefreshTick(state, setting); })
        ->ArgsProduct({{0, 3}, {1, 0}})
        ->ArgNames({"page", "batched"})
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter(*benchmark::CreateDefaultDisplayReporter());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    window.cmdExit_Click();
    return 0;
}
