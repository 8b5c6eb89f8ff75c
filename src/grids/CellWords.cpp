#include "grids/CellWords.h"

#include <optional>

#include "grids/Colours.h"

namespace tamblin::grids {

namespace {

constexpr const char* kSpokenNotes[12] = {"C", "C sharp", "D", "D sharp", "E", "F", "F sharp",
                                          "G", "G sharp", "A", "A sharp", "B"};

// The state a colour stands for in grid `gridIndex`; nullopt for no mark.
std::optional<std::string> stateWords(int gridIndex, std::optional<Rgb> colour) {
    if (!colour) return std::nullopt;
    switch (gridIndex) {
        case kNotesGrid:
            if (*colour == kNoteOn) return "on";
            if (*colour == kNoteOff) return "off";
            return std::nullopt;
        case kProgramsGrid:
            if (*colour == kProgramChange) return "changed";
            return std::nullopt;
        default: {
            // Every control change colour is (2v, 255 - 2v, 0); white and grey are none of them.
            const int value = colour->r / 2;
            if (*colour == controllerColour(value)) return "value " + std::to_string(value);
            return std::nullopt;
        }
    }
}

}  // namespace

std::string cellWords(const GridModel& model, int row, int col) {
    if (row < 0 || row >= GridModel::kRows || col < 0 || col >= GridModel::kCols) return {};
    const auto cell = GridModel::channelNumberAt(row, col);
    if (!cell) return model.text(row, col);
    static constexpr const char* kKinds[3] = {"note", "program", "controller"};
    const int index = model.index();
    std::string words = "channel " + std::to_string(cell->channel + 1) + ", " +
                        kKinds[index >= 0 && index < 3 ? index : kControllersGrid] + " " +
                        std::to_string(cell->number);
    if (index == kNotesGrid) words += std::string(", ") + kSpokenNotes[cell->number % 12];
    return words + ", " + stateWords(index, model.background(row, col)).value_or("empty");
}

}  // namespace tamblin::grids
