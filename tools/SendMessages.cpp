#include "tools/SendMessages.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <utility>

namespace tamblin::tools {

std::vector<Timed> demoPhrase() {
    std::vector<Timed> events;
    auto at = [&](int ms, Bytes bytes) { events.push_back({ms, std::move(bytes)}); };
    auto note = [&](int ms, int length, unsigned char channel, unsigned char key,
                    unsigned char velocity) {
        at(ms, {static_cast<unsigned char>(0x90 | channel), key, velocity});
        at(ms + length, {static_cast<unsigned char>(0x80 | channel), key, 0x40});
    };
    constexpr int kBeat = 500;
    constexpr int kBars = 2;
    constexpr int kLength = kBars * 4 * kBeat;

    at(0, {0xC0, 0});   // ch1 piano
    at(0, {0xC1, 33});  // ch2 bass
    at(0, {0xC2, 48});  // ch3 strings
    at(0, {0xB0, 7, 100});
    at(0, {0xB1, 10, 40});
    for (int tick = 0; tick < kLength * 24 / kBeat; ++tick) at(tick * kBeat / 24, {0xF8});
    for (int ms = 0; ms < kLength; ms += 300) at(ms, {0xFE});

    const unsigned char melody[] = {60, 64, 67, 72, 71, 67, 64, 62};
    for (int i = 0; i < 8; ++i) note(i * kBeat, kBeat - 50, 0, melody[i], 90);
    at(1 * kBeat + 100, {0xA0, 64, 70});  // key pressure on the held E
    at(1 * kBeat + 200, {0xA0, 64, 20});
    for (int bar = 0; bar < kBars; ++bar) {
        note(bar * 4 * kBeat, 2 * kBeat - 20, 1, 36, 100);
        note(bar * 4 * kBeat + 2 * kBeat, 2 * kBeat - 20, 1, 43, 100);
        for (int beat = 0; beat < 4; ++beat) {
            const int ms = (bar * 4 + beat) * kBeat;
            note(ms, 100, 9, beat % 2 == 0 ? 36 : 38, 110);  // kick, snare
            note(ms + kBeat / 2, 80, 9, 42, 70);             // hi-hat
        }
    }
    for (const unsigned char key : {48, 52, 55}) note(0, kLength - 100, 2, key, 60);
    for (int step = 0; step <= 32; ++step) {
        const int ms = step * (kLength / 32);
        const auto up = static_cast<unsigned char>(std::min(127, step * 8));
        at(ms, {0xB0, 1, up});                                     // ch1 modulation wheel
        at(ms, {0xB2, 74, static_cast<unsigned char>(127 - up)});  // ch3 brightness
        at(ms, {0xD2, static_cast<unsigned char>(step <= 16 ? up : 127 - up)});  // ch3 pressure
    }
    for (int step = 0; step <= 16; ++step) {  // ch2 bends up a whole tone and back
        const int value = 8192 + 4096 * (step <= 8 ? step : 16 - step) / 8;
        at(4 * kBeat + step * 30, {0xE1, static_cast<unsigned char>(value & 0x7F),
                                   static_cast<unsigned char>(value >> 7)});
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const Timed& a, const Timed& b) { return a.ms < b.ms; });
    return events;
}

std::optional<std::vector<Bytes>> sysExMessages(const std::string& source) {
    Bytes bytes;
    std::string lower = source;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower.size() > 4 && lower.ends_with(".syx")) {
        std::FILE* file = std::fopen(source.c_str(), "rb");
        if (file == nullptr) return std::nullopt;
        for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file))
            bytes.push_back(static_cast<std::uint8_t>(c));
        std::fclose(file);
    } else {
        std::string digits;
        for (const char c : source)
            if (c != ' ') digits.push_back(c);
        if (digits.empty() || digits.size() % 2 != 0) return std::nullopt;
        // Hex digits only: strtol alone would take "+1", " 1" or "0x" as a byte.
        auto value = [](char c) {
            return std::isdigit(static_cast<unsigned char>(c))
                       ? c - '0'
                       : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        };
        for (std::size_t i = 0; i < digits.size(); i += 2) {
            if (!std::isxdigit(static_cast<unsigned char>(digits[i])) ||
                !std::isxdigit(static_cast<unsigned char>(digits[i + 1])))
                return std::nullopt;
            bytes.push_back(
                static_cast<std::uint8_t>(value(digits[i]) * 16 + value(digits[i + 1])));
        }
    }
    std::vector<Bytes> messages;
    for (const std::uint8_t byte : bytes) {
        if (messages.empty() || (!messages.back().empty() && messages.back().back() == 0xF7))
            messages.emplace_back();
        messages.back().push_back(byte);
    }
    if (messages.empty()) return std::nullopt;
    return messages;
}

}  // namespace tamblin::tools
