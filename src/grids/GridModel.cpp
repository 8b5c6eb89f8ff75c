#include "grids/GridModel.h"

#include <algorithm>
#include <stdexcept>

namespace tamblin::grids {

namespace {

constexpr std::array<const char*, 3> kPrefixes{"N Ch ", "PC Ch ", "CT Ch "};
constexpr const char* kUpperRowLabel = "  (+64)";
// Width of a column the program has not sized yet.
constexpr int kPlainColWidth = 960;

// Cells of the numbers 36-47, 60-71 and 84-95 in the two rows of a channel pair.
struct Band {
    int first, last;
};
constexpr std::array<Band, 2> kLowerRowBands{{{37, 48}, {61, 64}}};
constexpr std::array<Band, 2> kUpperRowBands{{{1, 8}, {21, 32}}};

constexpr std::array<const char*, 12> kPitchLetters{"C", "",  "D", "",  "E", "F",
                                                    "",  "G", "",  "A", "",  "B"};

}  // namespace

std::string withSignPosition(int number) {
    std::string text = std::to_string(number);
    if (number >= 0) text.insert(text.begin(), ' ');
    return text;
}

GridModel::GridModel(int gridIndex) : index_(gridIndex) {
    if (gridIndex < 0 || gridIndex >= static_cast<int>(kPrefixes.size())) {
        throw std::out_of_range("grid index must be 0, 1 or 2");
    }
    colWidths_.fill(kPlainColWidth);
    alignments_.fill(kAlignGeneral);
}

void GridModel::setRow(int row) {
    if (validRow(row)) moveTo(row, col_);
}

void GridModel::setCol(int col) {
    if (validCol(col)) moveTo(row_, col);
}

void GridModel::moveTo(int row, int col) {
    if (row_ == row && col_ == col && rowSel_ == row && colSel_ == col) return;
    row_ = rowSel_ = row;
    col_ = colSel_ = col;
    changed();
}

void GridModel::setRowSel(int row) {
    if (!validRow(row) || rowSel_ == row) return;
    rowSel_ = row;
    changed();
}

void GridModel::setColSel(int col) {
    if (!validCol(col) || colSel_ == col) return;
    colSel_ = col;
    changed();
}

void GridModel::setFillStyle(int style) {
    fillStyle_ = style == 1 ? 1 : 0;
}

void GridModel::setCellBackColor(Rgb colour) {
    if (fillStyle_ == 0) {
        setBackground(row_, col_, colour);
        return;
    }
    for (int r = std::min(row_, rowSel_); r <= std::max(row_, rowSel_); ++r) {
        for (int c = std::min(col_, colSel_); c <= std::max(col_, colSel_); ++c) {
            setBackground(r, c, colour);
        }
    }
}

void GridModel::setText(std::string text) {
    std::string& cell = texts_[at(row_, col_)];
    if (cell == text) return;
    cell = std::move(text);
    touched_.set(at(row_, col_));
    changed();
}

void GridModel::setCellAlignment(int alignment) {
    int& cell = alignments_[at(row_, col_)];
    if (cell == alignment) return;
    cell = alignment;
    touched_.set(at(row_, col_));
    changed();
}

void GridModel::setColWidth(int col, int twips) {
    if (!validCol(col) || twips < 0 || colWidths_[col] == twips) return;
    colWidths_[col] = twips;
    changed();
}

int GridModel::colWidth(int col) const {
    return validCol(col) ? colWidths_[col] : 0;
}

std::optional<Rgb> GridModel::background(int row, int col) const {
    if (!validRow(row) || !validCol(col)) return std::nullopt;
    return backgrounds_[at(row, col)];
}

const std::string& GridModel::text(int row, int col) const {
    static const std::string kNoText;
    if (!validRow(row) || !validCol(col)) return kNoText;
    return texts_[at(row, col)];
}

int GridModel::alignment(int row, int col) const {
    if (!validRow(row) || !validCol(col)) return kAlignGeneral;
    return alignments_[at(row, col)];
}

bool GridModel::isSelected(int row, int col) const {
    return row >= std::min(row_, rowSel_) && row <= std::max(row_, rowSel_) &&
           col >= std::min(col_, colSel_) && col <= std::max(col_, colSel_);
}

void GridModel::setUp() {
    setColWidth(0, kLabelColWidth);

    setRow(0);
    for (int k = 0; k <= 63; ++k) {
        setColWidth(k + 1, kBodyColWidth);
        setCol(k + 1);
        setText(withSignPosition(k % 10));
        setCellAlignment(kAlignLeftCentre);
    }

    setCol(0);
    for (int c = 1; c <= kChannels; ++c) {
        setRow(2 * c - 1);
        setText(kPrefixes[index_] + withSignPosition(c));
        setRow(2 * c);
        setText(kUpperRowLabel);
    }

    for (int r = 1; r <= 31; r += 2) {
        for (const Band& band : kLowerRowBands) colourCells(r, band.first, band.last, kBandGrey);
        for (const Band& band : kUpperRowBands) {
            colourCells(r + 1, band.first, band.last, kBandGrey);
        }
    }
    setCol(64);
}

void GridModel::markCell(int channel, int number, Rgb colour) {
    const auto [row, col] = cellFor(channel, number);
    if (row == 0) return;
    setRow(row);
    setCol(col);
    setCellBackColor(colour);
}

void GridModel::clear() {
    setRow(1);
    setCol(1);
    setRowSel(32);
    setColSel(64);
    setFillStyle(1);
    setCellBackColor(kWhite);
    for (int r = 1; r <= 31; r += 2) {
        setRow(r);
        for (const Band& band : kLowerRowBands) fillRange(band.first, band.last, kBandGrey);
    }
    for (int r = 2; r <= 32; r += 2) {
        setRow(r);
        for (const Band& band : kUpperRowBands) fillRange(band.first, band.last, kBandGrey);
    }
    setCol(64);
}

void GridModel::noteLetters() {
    if (index_ != kNotesGrid) return;
    setRow(0);
    for (int k = 0; k <= 63; ++k) {
        setCol(k + 1);
        setText(kPitchLetters[k % 12]);
    }
}

std::pair<int, int> GridModel::cellFor(int channel, int number) {
    if (channel < 0 || channel >= kChannels || number < 0 || number >= kNumbers) return {0, 0};
    return number <= 63 ? std::pair{2 * channel + 1, number + 1}
                        : std::pair{2 * channel + 2, number - 63};
}

std::optional<GridModel::ChannelNumber> GridModel::channelNumberAt(int row, int col) {
    if (row < 1 || row >= kRows || col < 1 || col >= kCols) return std::nullopt;
    return ChannelNumber{(row - 1) / 2, 64 * ((row - 1) % 2) + col - 1};
}

void GridModel::setBackground(int row, int col, Rgb colour) {
    std::optional<Rgb>& cell = backgrounds_[at(row, col)];
    if (cell == colour) return;
    cell = colour;
    touched_.set(at(row, col));
    changed();
}

// One cell at a time, as set-up does it.
void GridModel::colourCells(int row, int firstCol, int lastCol, Rgb colour) {
    setRow(row);
    for (int c = firstCol; c <= lastCol; ++c) {
        setCol(c);
        setCellBackColor(colour);
    }
}

// The current row is already set; one range fill from firstCol to lastCol.
void GridModel::fillRange(int firstCol, int lastCol, Rgb colour) {
    setCol(firstCol);
    setColSel(lastCol);
    setCellBackColor(colour);
}

}  // namespace tamblin::grids
