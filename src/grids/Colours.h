#pragma once

#include <cstdint>

namespace tamblin::grids {

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    friend constexpr bool operator==(Rgb, Rgb) = default;
};

// Colours of the activity maps.
inline constexpr Rgb kWhite{255, 255, 255};
inline constexpr Rgb kBandGrey{240, 240, 240};
inline constexpr Rgb kNoteOn{250, 0, 0};
inline constexpr Rgb kNoteOff{100, 255, 100};
inline constexpr Rgb kProgramChange{255, 100, 100};
inline constexpr Rgb kGridLine{192, 192, 192};
inline constexpr Rgb kBeyondCells{128, 128, 128};
inline constexpr Rgb kNotesSelection{255, 0, 0};

// Control change colour for value v: from green (0) to red (127). Values above 127 cannot come
// from a port; they are clamped so the colour stays a valid mix.
constexpr Rgb controllerColour(int value) {
    const int v = value < 0 ? 0 : (value > 127 ? 127 : value);
    return Rgb{static_cast<std::uint8_t>(2 * v), static_cast<std::uint8_t>(255 - 2 * v), 0};
}

// Grid indexes.
inline constexpr int kNotesGrid = 0;
inline constexpr int kProgramsGrid = 1;
inline constexpr int kControllersGrid = 2;

}  // namespace tamblin::grids
