#include "input/DisplayBatch.h"

namespace tamblin::input {

void DisplayBatch::setCountText(int messageClass, std::string_view text) {
    const auto i = static_cast<std::size_t>(messageClass);
    pendingCounts_[i].assign(text);
    countDirty_[i] = true;
}

void DisplayBatch::markCell(int grid, int channel, int number, grids::Rgb colour) {
    models_[static_cast<std::size_t>(grid)]->markCell(channel, number, colour);
    gridDirty_[static_cast<std::size_t>(grid)] = true;
}

void DisplayBatch::clearLog() {
    // Lines waiting for the widget would have been emptied with the rest of the log.
    pendingLog_.clear();
    logClearPending_ = true;
}

void DisplayBatch::appendLog(std::string_view line) {
    pendingLog_.append(line);
    pendingLog_.push_back('\n');
    if (copying_) {
        pendingCopy_.append(line);
        pendingCopy_.push_back('\n');
    }
}

void DisplayBatch::applyTo(BatchView& view) {
    if (logClearPending_) {
        view.clearLog();
        logClearPending_ = false;
    }
    if (!pendingLog_.empty()) {
        view.appendLog(pendingLog_);
        pendingLog_.clear();
    }
    if (!pendingCopy_.empty()) {
        view.copyLog(pendingCopy_);
        pendingCopy_.clear();
    }
    for (std::size_t k = 0; k < pendingCounts_.size(); ++k) {
        if (!countDirty_[k]) continue;
        view.setCountText(static_cast<int>(k), pendingCounts_[k]);
        countDirty_[k] = false;
    }
    for (std::size_t i = 0; i < gridDirty_.size(); ++i) {
        if (!gridDirty_[i]) continue;
        view.refreshGrid(static_cast<int>(i));
        gridDirty_[i] = false;
    }
}

}  // namespace tamblin::input
