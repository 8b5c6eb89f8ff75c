#pragma once

#include <cstdint>

#include "input/CaptureSink.h"
#include "input/InputRing.h"
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
};

// The refresh pump: on each tick, drains every message waiting in the ring in arrival order.
class RefreshPump {
public:
    RefreshPump(InputRing& ring, PumpHost& host) : ring_(ring), host_(host) {}

    void tick();

    // Hands every message drained to `capture` first, before any filter, and tells it the end of
    // each drain; null (the default) for none.
    void setCapture(CaptureSink* capture) { capture_ = capture; }

private:
    InputRing& ring_;
    PumpHost& host_;
    CaptureSink* capture_ = nullptr;
    // Ticks keep running while the overrun message is on screen; it is shown once only.
    bool overrunReported_ = false;
};

}  // namespace tamblin::input
