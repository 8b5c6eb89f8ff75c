#pragma once

#include <cstdint>

#include "input/CaptureSink.h"
#include "input/InputRing.h"
#include "input/SysExRing.h"
#include "ports/ThruRule.h"

namespace tamblin::input {

// What the pump needs from the window around it.
class PumpHost {
public:
    virtual ~PumpHost() = default;
    // "Don't display system real time messages", read for every message.
    virtual bool realTimeFiltered() const = 0;
    // "Allow MIDI output", read for every message right after it was decoded.
    virtual bool outputAllowed() const = 0;
    virtual void displayMessage(std::uint32_t message, std::int32_t time) = 0;
    // Sends `message` unchanged on the output handle; the result is not looked at.
    virtual void forward(std::uint32_t message) = 0;
    // Painting of the notes and controllers grids is suspended around each drain.
    virtual void suspendPainting() = 0;
    virtual void resumePainting() = 0;
    // Tells the user the ring overflowed, then ends the program.
    virtual void reportOverrun() = 0;

    // With `--sysex`, each long message drained, in its place among the short messages: its
    // bytes, its time in milliseconds and in microseconds since the input started. Every one
    // comes here whole, whatever the display filters (none of them applies to SysEx); this is
    // where everything else that wants the SysEx received is fed from.
    virtual void displaySysEx(const SysExRing::Entry& sysex) { static_cast<void>(sysex); }
    // SysEx that found the SysEx ring full, in their place: `sysex.droppedCount` messages of
    // `sysex.droppedBytes` bytes in all, the first of which arrived at `sysex.time`.
    virtual void reportSysExDropped(const SysExRing::Entry& sysex) { static_cast<void>(sysex); }
    // Sends a long message unchanged on the output handle: the service's result.
    virtual ports::Result forwardLong(const std::uint8_t* bytes, std::size_t size) {
        static_cast<void>(bytes);
        static_cast<void>(size);
        return ports::kError;
    }
    // A SysEx that thru let through but the output cannot carry in one piece: not sent at all.
    virtual void reportTooLarge(const SysExRing::Entry& sysex) { static_cast<void>(sysex); }
};

// The refresh pump: on each tick, drains every message waiting in the ring in arrival order, and
// with `--sysex` every long message of the SysEx ring attached to it, each in its place.
class RefreshPump {
public:
    RefreshPump(InputRing& ring, PumpHost& host) : ring_(ring), host_(host) {}

    void tick();

    // Hands every message drained to `capture` first, before any filter, and tells it the end of
    // each drain; null (the default) for none.
    void setCapture(CaptureSink* capture) { capture_ = capture; }

private:
    void handleSysEx(const SysExRing::Entry& sysex);

    InputRing& ring_;
    PumpHost& host_;
    CaptureSink* capture_ = nullptr;
    // Ticks keep running while the overrun message is on screen; it is shown once only.
    bool overrunReported_ = false;
};

}  // namespace tamblin::input
