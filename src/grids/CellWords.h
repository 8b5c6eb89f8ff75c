#pragma once

#include <string>

#include "grids/GridModel.h"

namespace tamblin::grids {

// What a cell of an activity map says to a listener (a screen reader), read from the model's
// colours: "channel 1, note 60, C, on", "channel 1, note 61, C sharp, off",
// "channel 2, program 5, changed", "channel 3, controller 7, value 100"; a body cell that nothing
// marked (still in the window's colour, white or grey after a Clear) says "empty" in place of its
// state: "channel 1, note 60, C, empty". A header cell says its text as shown (" 0", "C",
// "N Ch  1", "  (+64)"). Empty text outside the grid.
std::string cellWords(const GridModel& model, int row, int col);

}  // namespace tamblin::grids
