#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "grids/Colours.h"

namespace tamblin::grids {

// A number as the grids write it: one leading blank where a minus sign would stand (" 7", "-7").
std::string withSignPosition(int number);

// Cell state of one activity grid, changed only through the same small set of grid operations
// the program drives its grid control with, so that the current cell and the selection after
// each program operation are exactly what the control would hold. Plain C++ so that it can be
// tested without a display; GridView draws it.
class GridModel {
public:
    static constexpr int kRows = 33, kCols = 65;
    static constexpr int kChannels = 16, kNumbers = 128;
    static constexpr int kAlignLeftCentre = 1;
    // The control's default: text that reads as a number goes right, other text left.
    static constexpr int kAlignGeneral = 9;
    static constexpr int kLabelColWidth = 800;  // twips
    static constexpr int kBodyColWidth = 220;   // twips
    static constexpr int kRowHeight = 240;      // twips

    // 0 notes ("N Ch "), 1 program changes ("PC Ch "), 2 controllers ("CT Ch ").
    explicit GridModel(int gridIndex);
    int index() const { return index_; }

    // Grid operations. Values outside the grid are ignored, as there is no such cell.
    void setRow(int row);  // also collapses the selection to the current cell
    void setCol(int col);  // also collapses the selection to the current cell
    void setRowSel(int row);
    void setColSel(int col);
    void setFillStyle(int style);  // 1 = formats apply to the whole selection, 0 = current cell
    void setCellBackColor(Rgb colour);
    void setText(std::string text);
    void setCellAlignment(int alignment);
    void setColWidth(int col, int twips);

    int row() const { return row_; }
    int col() const { return col_; }
    int rowSel() const { return rowSel_; }
    int colSel() const { return colSel_; }
    int fillStyle() const { return fillStyle_; }
    int colWidth(int col) const;
    int rowHeight() const { return kRowHeight; }

    // nullopt is the system's window background, which every cell has until it is coloured.
    std::optional<Rgb> background(int row, int col) const;
    const std::string& text(int row, int col) const;
    int alignment(int row, int col) const;
    bool selectionVisible() const { return row_ != rowSel_ || col_ != colSel_; }
    bool isSelected(int row, int col) const;

    // Labels, widths, header alignment and band shading; leaves the current cell at (32, 64).
    void setUp();
    // Colours the cell of (channel 0-15, number 0-127); anything else has no cell and is ignored.
    void markCell(int channel, int number, Rgb colour);
    // The grid's share of Clear: body white, bands grey, no range left selected.
    void clear();
    // Pitch letters over the notes grid's columns; the other grids keep their digits.
    void noteLetters();

    // (0, 0) for a channel or number out of range.
    static std::pair<int, int> cellFor(int channel, int number);
    struct ChannelNumber {
        int channel;
        int number;
        friend bool operator==(const ChannelNumber&, const ChannelNumber&) = default;
    };
    // nullopt over the header row, the label column or outside the grid.
    static std::optional<ChannelNumber> channelNumberAt(int row, int col);

    // Grows with every change that alters what is drawn.
    std::uint64_t revision() const { return revision_; }
    // A cell's place in a table of all cells, such as Cells.
    static constexpr int at(int row, int col) { return row * kCols + col; }
    // The cells whose colour, text or alignment changed since the last forgetTouched(), by
    // at(row, col). The current cell and the selection are told by revision() alone.
    using Cells = std::bitset<kRows * kCols>;
    const Cells& touched() const { return touched_; }
    void forgetTouched() { touched_.reset(); }

private:
    static bool validRow(int row) { return row >= 0 && row < kRows; }
    static bool validCol(int col) { return col >= 0 && col < kCols; }
    // Makes (row, col) the current cell and collapses the selection to it.
    void moveTo(int row, int col);
    void setBackground(int row, int col, Rgb colour);
    void colourCells(int row, int firstCol, int lastCol, Rgb colour);
    void fillRange(int firstCol, int lastCol, Rgb colour);
    void changed() { ++revision_; }

    int index_;
    int row_ = 1, col_ = 1, rowSel_ = 1, colSel_ = 1;
    int fillStyle_ = 0;
    std::array<int, kCols> colWidths_;
    std::array<std::optional<Rgb>, kRows * kCols> backgrounds_{};
    std::array<std::string, kRows * kCols> texts_{};
    std::array<int, kRows * kCols> alignments_;
    std::uint64_t revision_ = 0;
    Cells touched_;
};

}  // namespace tamblin::grids
