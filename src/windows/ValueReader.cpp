#include "windows/ValueReader.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>

namespace tamblin::windows {

namespace {

constexpr int kLowestValue = 0;
constexpr int kHighestValue = 127;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Value of c as a digit of `radix` (8 or 16), or -1.
int digitValue(char c, int radix) {
    int value = -1;
    if (c >= '0' && c <= '9') value = c - '0';
    if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
    return value < radix ? value : -1;
}

std::string withoutBlanks(std::string_view text) {
    std::string kept;
    kept.reserve(text.size());
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\n') kept.push_back(c);
    return kept;
}

// Accumulating in a double cannot overflow into undefined behaviour: a long enough run of
// digits simply becomes infinity, which the range check then refuses.
double readWholeNumber(std::string_view digits, int radix) {
    double value = 0;
    for (char c : digits) {
        const int digit = digitValue(c, radix);
        if (digit < 0) break;
        value = value * radix + digit;
    }
    return value;
}

// Decimal exponent of the first significant digit (value = 0.d... x 10^order), saturated so
// that no digit string can overflow it.
long long decimalOrder(std::string_view whole, std::string_view fraction, bool exponentNegative,
                       std::string_view exponentDigits) {
    constexpr long long kSaturation = 1'000'000'000'000'000LL;
    long long order = 0;
    if (const std::size_t first = whole.find_first_not_of('0'); first != std::string_view::npos) {
        order = static_cast<long long>(whole.size() - first);
    } else {
        const std::size_t firstInFraction = fraction.find_first_not_of('0');
        order = firstInFraction == std::string_view::npos
                    ? -kSaturation
                    : -static_cast<long long>(firstInFraction);
    }
    long long exponent = 0;
    for (char c : exponentDigits) {
        exponent = exponent * 10 + (c - '0');
        if (exponent >= kSaturation) {
            exponent = kSaturation;
            break;
        }
    }
    return exponentNegative ? order - exponent : order + exponent;
}

std::string_view digitsAt(std::string_view text, std::size_t& at) {
    const std::size_t start = at;
    while (at < text.size() && isDigit(text[at])) ++at;
    return text.substr(start, at - start);
}

double readDecimal(std::string_view text) {
    std::size_t at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';

    const std::string_view whole = digitsAt(text, at);
    std::string_view fraction;
    if (at < text.size() && text[at] == '.') fraction = digitsAt(text, ++at);
    if (whole.empty() && fraction.empty()) return 0;

    bool exponentNegative = false;
    std::string_view exponentDigits;
    if (at < text.size() &&
        (text[at] == 'E' || text[at] == 'e' || text[at] == 'D' || text[at] == 'd')) {
        std::size_t exponentAt = at + 1;
        if (exponentAt < text.size() && (text[exponentAt] == '+' || text[exponentAt] == '-'))
            exponentNegative = text[exponentAt++] == '-';
        // An exponent letter without digits cannot continue the number; the mantissa stands.
        exponentDigits = digitsAt(text, exponentAt);
    }

    // from_chars reads this plain form the same in every locale (strtod would not).
    std::string number(whole.empty() ? std::string_view("0") : whole);
    if (!fraction.empty()) number.append(".").append(fraction);
    if (!exponentDigits.empty())
        number.append(exponentNegative ? "e-" : "e").append(exponentDigits);

    double magnitude = 0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), magnitude);
    if (result.ec == std::errc::result_out_of_range) {
        // from_chars leaves the value alone when out of range: a number of 1 or more that is out
        // of range is too large, any other is too small.
        magnitude = decimalOrder(whole, fraction, exponentNegative, exponentDigits) > 0
                        ? std::numeric_limits<double>::infinity()
                        : 0.0;
    }
    return negative ? -magnitude : magnitude;
}

}  // namespace

double readNumber(std::string_view text) {
    const std::string kept = withoutBlanks(text);
    const std::string_view number(kept);
    if (number.size() >= 2 && number[0] == '&') {
        if (number[1] == 'H' || number[1] == 'h') return readWholeNumber(number.substr(2), 16);
        if (number[1] == 'O' || number[1] == 'o') return readWholeNumber(number.substr(2), 8);
    }
    return readDecimal(number);
}

std::optional<int> controllerValueFromText(std::string_view text) {
    const double value = readNumber(text);
    if (!std::isfinite(value)) return std::nullopt;
    double whole = std::floor(value);
    const double rest = value - whole;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
    if (whole < kLowestValue || whole > kHighestValue) return std::nullopt;
    return static_cast<int>(whole);
}

}  // namespace tamblin::windows
