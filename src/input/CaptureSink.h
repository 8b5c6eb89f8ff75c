#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tamblin::input {

// Receives every message the input delivers, in arrival order, whatever the display shows
// (--capture). The refresh pump and the window call it, on the user-interface thread only.
class CaptureSink {
public:
    virtual ~CaptureSink() = default;
    // An input device was opened and started; its clock, which times its messages, stood at
    // `clockMicros` just now.
    virtual void inputOpened(std::string_view name, std::int64_t clockMicros) = 0;
    // One message, whole (a short message's 1 to 3 bytes, or a SysEx from F0 to F7), and its
    // arrival time in microseconds on the input port's clock.
    virtual void message(std::span<const std::uint8_t> bytes, std::int64_t micros) = 0;
    // The end of a drain of the input: what arrived since the last one goes to the file now.
    virtual void drained() = 0;
};

}  // namespace tamblin::input
