#include "input/DisplayBatch.h"

namespace tamblin::input {

void LogLines::appendText(std::string_view line) {
    text_.append(line);
    text_.push_back('\n');
}

void LogLines::appendMessage(std::uint32_t message, std::int32_t time) {
    messages_.push_back({message, time, text_.size()});
}

void LogLines::append(LogLines&& later) {
    if (empty()) {
        text_.swap(later.text_);
        messages_.swap(later.messages_);
    } else {
        const std::size_t base = text_.size();
        text_.append(later.text_);
        for (const Message& m : later.messages_)
            messages_.push_back({m.message, m.time, base + m.at});
    }
    later.clear();
}

void LogLines::clear() {
    text_.clear();
    messages_.clear();
}

const std::string& LogLines::worded(std::string_view decimalSeparator) {
    if (messages_.empty()) return text_;
    std::string all;
    // Most lines are shorter than 40 characters.
    all.reserve(text_.size() + messages_.size() * 40);
    std::size_t done = 0;
    for (const Message& m : messages_) {
        all.append(text_, done, m.at - done);
        done = m.at;
        Decoder::appendMessageLine(all, m.message, m.time, decimalSeparator);
        all.push_back('\n');
    }
    all.append(text_, done, std::string::npos);
    text_.swap(all);
    messages_.clear();
    return text_;
}

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
    pendingLog_.appendText(line);
    if (copying_) {
        pendingCopy_.append(line);
        pendingCopy_.push_back('\n');
    }
}

void DisplayBatch::appendMessageLine(std::uint32_t message, std::int32_t time) {
    // The copy takes every line at the next tick, so the words are needed now.
    if (copying_) {
        line_.clear();
        Decoder::appendMessageLine(line_, message, time, separator_);
        appendLog(line_);
        return;
    }
    pendingLog_.appendMessage(message, time);
}

void DisplayBatch::applyTo(BatchView& view) {
    if (logClearPending_) {
        heldLogClear_ = true;
        heldLog_.clear();
        logClearPending_ = false;
    }
    heldLog_.append(std::move(pendingLog_));
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
        view.appendLog(heldLog_.worded(separator_));
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
