#pragma once

#include <optional>
#include <string_view>

namespace tamblin::windows {

// The number a text reads as: blanks, tabs and line feeds are removed wherever they stand;
// "&H" or "&O" (either case) starts a hexadecimal or octal whole number; otherwise an optional
// sign, decimal digits with at most one ".", and an optional exponent (E or D, optional sign,
// digits). Reading stops at the first character that cannot continue the number, and a text
// with no number at its start reads as 0. Numbers too large for a double read as infinity.
double readNumber(std::string_view text);

// The controller value an entry gives: the nearest whole number (halfway goes to the even one),
// accepted only within 0..127. Nothing for a refused entry; values never wrap into the range.
std::optional<int> controllerValueFromText(std::string_view text);

}  // namespace tamblin::windows
