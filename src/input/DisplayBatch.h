#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "grids/GridModel.h"
#include "input/Decoder.h"

namespace tamblin::input {

// What a batch is applied to: the window's widgets.
class BatchView {
public:
    virtual ~BatchView() = default;
    virtual void clearLog() = 0;
    // Whole lines, each ended by a line feed.
    virtual void appendLog(std::string_view lines) = 0;
    virtual void copyLog(std::string_view lines) = 0;
    virtual void setCountText(int messageClass, std::string_view text) = 0;
    // A count's new text, at every refresh whether the counts are shown or not: what a screen
    // reader says of a count must be current on any page.
    virtual void countChanged(int messageClass, std::string_view text) = 0;
    // The grid's model has changed since the last refresh.
    virtual void refreshGrid(int grid) = 0;
    // Whether the log box and the count labels can be seen now. What they cannot show is held
    // as plain text until they can.
    virtual bool logShown() const = 0;
    virtual bool countsShown() const = 0;
};

// Log lines in their order: lines already worded, and short messages whose line is worded only
// when its text is needed. While the log is hidden most lines are emptied away unseen, and a
// message takes less than half the memory its words would.
class LogLines {
public:
    // `line` without its line end.
    void appendText(std::string_view line);
    void appendMessage(std::uint32_t message, std::int32_t time);
    // Takes `later`'s lines after these, and leaves it empty.
    void append(LogLines&& later);
    void clear();
    bool empty() const { return text_.empty() && messages_.empty(); }
    // Every line worded, each ended by a line feed.
    const std::string& worded(std::string_view decimalSeparator);

private:
    struct Message {
        std::uint32_t message;
        std::int32_t time;
        std::size_t at;  // its place in text_, before the worded line that follows it
    };
    std::string text_;
    std::vector<Message> messages_;  // in order, `at` never falling
};

// The display's changes since they were last applied, as plain data: the decoder writes into it,
// and the window applies it to its widgets once a refresh tick, so that each widget changes once
// a tick whatever the number of messages. The grid models are marked at once (the batch only
// notes which grids to repaint). User-interface thread only.
class DisplayBatch final : public DecoderSink {
public:
    // Log lines are worded with `decimalSeparator`, as the decoder that writes into the batch
    // words them (Decoder's constructor takes decimalSeparator()).
    DisplayBatch(std::array<grids::GridModel*, 3> models, std::string decimalSeparator)
        : models_(models), separator_(std::move(decimalSeparator)) {}

    const std::string& decimalSeparator() const { return separator_; }

    // "Display messages only the first time", mirrored from its check box.
    void setFirstTimeOnly(bool on) { firstTimeOnly_ = on; }
    // Whether the log lines are also kept for BatchView::copyLog.
    void setCopying(bool on) { copying_ = on; }

    // Hands every change to `view`, in the order: log cleared, lines, copy, counts, grids; then
    // starts an empty batch. The log and the counts are held instead while `view` does not show
    // them.
    void applyTo(BatchView& view);
    // Hands `view` what was held for the log and the counts, for those it shows now: the box
    // then holds what it would hold had it been shown throughout.
    void applyHeld(BatchView& view);

    void setCountText(int messageClass, std::string_view text) override;
    void markCell(int grid, int channel, int number, grids::Rgb colour) override;
    void clearLog() override;
    void appendLog(std::string_view line) override;
    bool takesMessageLines() const override { return true; }
    void appendMessageLine(std::uint32_t message, std::int32_t time) override;
    bool firstTimeOnly() const override { return firstTimeOnly_; }

private:
    void applyHeldLog(BatchView& view);
    void applyHeldCounts(BatchView& view);

    std::array<grids::GridModel*, 3> models_;
    std::string separator_;
    bool firstTimeOnly_ = false;
    bool copying_ = false;

    bool logClearPending_ = false;
    LogLines pendingLog_;
    std::string pendingCopy_;
    std::string line_;  // reused to word a line for the copy
    std::array<std::string, kMessageClasses> pendingCounts_;
    std::array<bool, kMessageClasses> countDirty_{};
    std::array<bool, 3> gridDirty_{};

    // Applied batches, not shown yet: at most the lines since the log was last emptied.
    bool heldLogClear_ = false;
    LogLines heldLog_;
    std::array<std::string, kMessageClasses> heldCounts_;
    std::array<bool, kMessageClasses> heldCountDirty_{};
};

}  // namespace tamblin::input
