// Feeds the value dialog's number reading any text: the result is refused or a whole number
// 0..127, and it agrees with a straightforward reading of the same rule.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "windows/ValueReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto value = tamblin::windows::controllerValueFromText(text);
    if (value && (*value < 0 || *value > 127)) std::abort();

    // The accepted value is the number read, rounded half to even.
    const double number = tamblin::windows::readNumber(text);
    if (std::isnan(number)) std::abort();
    const double rounded = std::nearbyint(number);  // default rounding mode: to nearest even
    const bool inRange = rounded >= 0.0 && rounded <= 127.0;
    if (inRange != value.has_value()) std::abort();
    if (value && static_cast<double>(*value) != rounded) std::abort();
    return 0;
}
