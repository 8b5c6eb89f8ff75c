#pragma once

#include <array>

class QWidget;

namespace tamblin::windows {

// The zoom steps, in percent of the layout's own size; Ctrl+Plus and Ctrl+Minus go from one to
// the next, Ctrl+0 back to 100.
inline constexpr std::array kZoomSteps{100, 125, 150, 175, 200, 250, 300};
inline constexpr int kMinZoom = kZoomSteps.front(), kMaxZoom = kZoomSteps.back();

// The next step above (up) or below `percent`, which may lie between steps; it stays at the end.
int nextZoomStep(int percent, bool up);

// Scales `window` and every control in it to `percent` of the layout's size: the places kept in
// twips (see placeInTwips), the fonts set on a control and the grids' cells. Captions that
// fitCaption widened are fitted again. 100 restores exactly what was built.
void zoomWidgets(QWidget& window, int percent);

}  // namespace tamblin::windows
