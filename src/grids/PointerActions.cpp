#include "grids/PointerActions.h"

#include <algorithm>

#include "grids/Colours.h"
#include "grids/GridModel.h"

namespace tamblin::grids {

namespace {

// Data bytes are 7-bit; a larger value must not spill into the status bit of the byte.
std::uint32_t dataByte(int value) {
    return static_cast<std::uint32_t>(std::clamp(value, 0, 127));
}

std::uint32_t shortMessage(int status, int data1, int data2) {
    return static_cast<std::uint32_t>(status & 0xFF) | dataByte(data1) << 8 | dataByte(data2) << 16;
}

}  // namespace

NoteNames makeNoteNames() {
    return {"C ", "C#", "D ", "D#", "E ", "F ", "F#", "G ", "G#", "A ", "A#", "B "};
}

KindWords makeKindWords() {
    return {" note ", " program change ", " controller "};
}

std::optional<std::string> tooltipText(int gridIndex, int row, int col, const NoteNames& noteNames,
                                       const KindWords& kindWords) {
    if (gridIndex < 0 || gridIndex >= static_cast<int>(kindWords.size())) return std::nullopt;
    const auto cell = GridModel::channelNumberAt(row, col);
    if (!cell) return std::nullopt;
    std::string text = "Ch" + withSignPosition(cell->channel + 1) + kindWords[gridIndex] +
                       withSignPosition(cell->number);
    if (gridIndex == kNotesGrid) text += " " + noteNames[cell->number % 12];
    return text;
}

std::uint32_t noteClickMessage(int channel, int note, bool noteIsOn) {
    return shortMessage(0x90 + (channel & 0x0F), note, noteIsOn ? 0 : 127);
}

std::uint32_t programClickMessage(int channel, int program) {
    return shortMessage(0xC0 + (channel & 0x0F), program, 0);
}

std::uint32_t controllerClickMessage(int channel, int controller, int value) {
    return shortMessage(0xB0 + (channel & 0x0F), controller, value);
}

}  // namespace tamblin::grids
