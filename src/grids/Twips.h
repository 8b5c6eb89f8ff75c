#pragma once

namespace tamblin::grids {

// Layouts and the grids' cell sizes are given in twips (1440 to the inch), converted with the
// screen's logical DPI so a high-DPI screen shows the same physical layout: 15 twips to a pixel
// at 96 dpi.
constexpr int twipsToPixels(int twips, int dpi) {
    return (twips * dpi + 720) / 1440;
}

}  // namespace tamblin::grids
