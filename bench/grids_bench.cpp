#include <benchmark/benchmark.h>

#include <QApplication>

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

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
