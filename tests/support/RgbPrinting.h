#pragma once

#include <ostream>

#include "grids/Colours.h"

namespace tamblin::grids {

// Failure messages show colours as the user would read them: (250, 0, 0).
inline void PrintTo(const Rgb& colour, std::ostream* os) {
    *os << '(' << int{colour.r} << ", " << int{colour.g} << ", " << int{colour.b} << ')';
}

}  // namespace tamblin::grids
