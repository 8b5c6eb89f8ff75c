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
        heldLogClear_ = true;
        heldLog_.clear();
        logClearPending_ = false;
    }
    if (heldLog_.empty()) {
        heldLog_.swap(pendingLog_);
    } else {
        heldLog_.append(pendingLog_);
    }
    pendingLog_.clear();
    for (std::size_t k = 0; k < pendingCounts_.size(); ++k) {
        if (!countDirty_[k]) continue;
        view.countChanged(static_cast<int>(k), pendingCounts_[k]);
        heldCounts_[k].swap(pendingCounts_[k]);
        heldCountDirty_[k] = true;
        countDirty_[k] = false;
    }

    if (view.logShown()) applyHeldLog(view);
    if (!pendingCopy_.empty()) {
        view.copyLog(pendingCopy_);
        pendingCopy_.clear();
    }
    if (view.countsShown()) applyHeldCounts(view);
    for (std::size_t i = 0; i < gridDirty_.size(); ++i) {
        if (!gridDirty_[i]) continue;
        view.refreshGrid(static_cast<int>(i));
        gridDirty_[i] = false;
    }
}

void DisplayBatch::applyHeld(BatchView& view) {
    if (view.logShown()) applyHeldLog(view);
    if (view.countsShown()) applyHeldCounts(view);
}

void DisplayBatch::applyHeldLog(BatchView& view) {
    if (heldLogClear_) {
        view.clearLog();
        heldLogClear_ = false;
    }
    if (!heldLog_.empty()) {
        view.appendLog(heldLog_);
        heldLog_.clear();
    }
}

void DisplayBatch::applyHeldCounts(BatchView& view) {
    for (std::size_t k = 0; k < heldCounts_.size(); ++k) {
        if (!heldCountDirty_[k]) continue;
        view.setCountText(static_cast<int>(k), heldCounts_[k]);
        heldCountDirty_[k] = false;
    }
}

}  // namespace tamblin::input
