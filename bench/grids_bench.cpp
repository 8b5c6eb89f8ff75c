#include <benchmark/benchmark.h>

#include <QApplication>
#include <algorithm>
#include <vector>

#include "grids/Colours.h"
#include "grids/GridModel.h"
#include "grids/GridView.h"

namespace {

using tamblin::grids::GridModel;
using tamblin::grids::GridView;

// A full pump batch: one mark per message, every cell of the notes grid once.
void BM_MarkEveryNoteCell(benchmark::State& state) {
    GridModel grid(tamblin::grids::kNotesGrid);
    grid.setUp();
    for (auto _ : state) {
        for (int channel = 0; channel < GridModel::kChannels; ++channel) {
            for (int note = 0; note < GridModel::kNumbers; ++note) {
                grid.markCell(channel, note, tamblin::grids::kNoteOn);
            }
        }
        benchmark::DoNotOptimize(grid.revision());
    }
    state.SetItemsProcessed(state.iterations() * GridModel::kChannels * GridModel::kNumbers);
}
BENCHMARK(BM_MarkEveryNoteCell);

void BM_ClearGrid(benchmark::State& state) {
    GridModel grid(tamblin::grids::kControllersGrid);
    grid.setUp();
    for (auto _ : state) {
        grid.clear();
        grid.markCell(0, 0, tamblin::grids::kNoteOn);  // so the next Clear has work to do
    }
}
BENCHMARK(BM_ClearGrid);

// The one repaint per tick that a suspended grid makes when painting resumes.
void BM_PaintWholeGrid(benchmark::State& state) {
    GridModel grid(tamblin::grids::kNotesGrid);
    grid.setUp();
    GridView view(grid);
    view.resize(view.sizeHint());
    QImage target(view.size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        view.render(&target);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PaintWholeGrid);

// What a shown grid does at a tick of a dense stream: find the cells that changed and ask for
// them to be repainted. Each tick marks 400 cells over all channels; between ticks (not timed)
// 8 MiB are written, as the rest of the program and the MIDI system do between two ticks, so the
// grid's state is out of the caches as it is live. Argument: 1 flushes, 0 keeps the caches warm.
void BM_TickFindsChangedCells(benchmark::State& state) {
    GridModel grid(tamblin::grids::kNotesGrid);
    grid.setUp();
    GridView view(grid);
    view.resize(view.sizeHint());
    view.show();
    QCoreApplication::processEvents();
    std::vector<char> elsewhere(std::size_t{8} << 20);
    int turn = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ++turn;
        for (int i = 0; i < 400; ++i)
            grid.markCell(i % 16, (i * 7 + turn) % 128,
                          (i + turn) % 2 ? tamblin::grids::kNoteOn : tamblin::grids::kNoteOff);
        if (state.range(0) != 0) {
            std::fill(elsewhere.begin(), elsewhere.end(), static_cast<char>(turn));
            benchmark::ClobberMemory();
        }
        state.ResumeTiming();
        view.refresh();
        state.PauseTiming();
        QCoreApplication::processEvents();  // the repaint, not timed here
        state.ResumeTiming();
    }
}
BENCHMARK(BM_TickFindsChangedCells)->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
