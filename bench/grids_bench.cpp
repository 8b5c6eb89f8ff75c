#include <benchmark/benchmark.h>

#include <QApplication>
#include <algorithm>
#include <random>
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

// A shown grid at the ticks of a dense stream: each tick marks 400 cells over all channels;
// between ticks (not timed) 8 MiB are written, as the rest of the program and the MIDI system do
// between two ticks, so the grid's state is out of the core's own caches. Argument: 1 flushes,
// 0 keeps the caches warm. (Live, after 100 ms of other work, the window's pixels may be out of
// a large shared cache too; the repaint then costs about twice the flushed figure.) `timed` is
// what is measured: the tick's search for the changed cells (GridView::refresh) or the repaint
// that follows it.
enum class Timed { Refresh, Repaint };

void runDenseTicks(benchmark::State& state, Timed timed) {
    GridModel grid(tamblin::grids::kNotesGrid);
    grid.setUp();
    GridView view(grid);
    view.resize(view.sizeHint());
    view.show();
    QCoreApplication::processEvents();
    std::vector<char> elsewhere(std::size_t{8} << 20);
    // Notes on and off at random, as a dense stream plays them: about half the marks change a
    // cell's colour. (A pattern that repeats marks each cell with the colour it has.)
    std::minstd_rand random(16);
    char turn = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < 400; ++i) {
            const auto draw = random();
            grid.markCell(static_cast<int>(draw % 16), static_cast<int>(draw / 16 % 128),
                          draw / 2048 % 2 ? tamblin::grids::kNoteOn : tamblin::grids::kNoteOff);
        }
        if (state.range(0) != 0) {
            std::fill(elsewhere.begin(), elsewhere.end(), ++turn);
            benchmark::ClobberMemory();
        }
        if (timed == Timed::Refresh) state.ResumeTiming();
        view.refresh();
        if (timed == Timed::Refresh) state.PauseTiming();
        if (timed == Timed::Repaint) state.ResumeTiming();
        QCoreApplication::processEvents();
        if (timed == Timed::Repaint) state.PauseTiming();
        state.ResumeTiming();
    }
}

void BM_TickFindsChangedCells(benchmark::State& state) {
    runDenseTicks(state, Timed::Refresh);
}
BENCHMARK(BM_TickFindsChangedCells)->Arg(0)->Arg(1);

void BM_TickRepaint(benchmark::State& state) {
    runDenseTicks(state, Timed::Repaint);
}
BENCHMARK(BM_TickRepaint)->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
