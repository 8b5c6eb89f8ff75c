#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace tamblin::grids {

// Note names by pitch class, two characters each ("C ", "C#", ...).
using NoteNames = std::array<std::string, 12>;
// The word for each grid's content, by grid index (" note ", " program change ", " controller ").
using KindWords = std::array<std::string, 3>;

NoteNames makeNoteNames();
KindWords makeKindWords();

// Tooltip for the cell (row, col) of grid `gridIndex`, e.g. "Ch 1 note  60 C "; nullopt over the
// header row, the label column or outside the grid, where the tooltip stays as it is.
std::optional<std::string> tooltipText(int gridIndex, int row, int col, const NoteNames& noteNames,
                                       const KindWords& kindWords);

// The short message (status | data1 << 8 | data2 << 16) a click on a body cell sends. A click
// on a sounding note releases it with a note on of velocity 0.
std::uint32_t noteClickMessage(int channel, int note, bool noteIsOn);
std::uint32_t programClickMessage(int channel, int program);
std::uint32_t controllerClickMessage(int channel, int controller, int value);

}  // namespace tamblin::grids
