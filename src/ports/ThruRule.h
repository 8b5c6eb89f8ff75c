#pragma once

#include <cstdint>

namespace tamblin::ports {

// The thru rule, in one place for the refresh pump and for direct thru in the JACK cycle: what a
// received short message does given "Allow MIDI output" and "Don't display system real time
// messages".
struct ThruGate {
    bool outputAllowed = false;
    bool realTimeFiltered = true;
};

// True for the system real-time statuses 0xF8-0xFF.
constexpr bool isRealTime(std::uint32_t message) {
    return (message & 0xF8) == 0xF8;
}

// Whether the message is displayed: a system real-time message is not while the filter is on.
constexpr bool isShown(std::uint32_t message, bool realTimeFiltered) {
    return !(realTimeFiltered && isRealTime(message));
}

// Whether the message goes out on the output: every message that is displayed, while output is
// allowed. A message the filter hides is not forwarded either.
constexpr bool goesOut(std::uint32_t message, ThruGate gate) {
    return gate.outputAllowed && isShown(message, gate.realTimeFiltered);
}

}  // namespace tamblin::ports
