#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ports/Interface.h"

namespace tamblin::ports {

// The RtMidi objects that RtMidiPortService works through, behind a small interface, so that the
// service can be tested without a MIDI system (the ALSA sequencer needs /dev/snd/seq).

// Receives one whole message as the MIDI system delivers it, on the system's input thread.
using MidiReceive = void (*)(const std::uint8_t* bytes, std::size_t size, void* user);

// One RtMidiIn or RtMidiOut: a client of the MIDI system that can open one of the system's ports
// under a port name of its own. Destroying it closes its port and its client; for an input, no
// MidiReceive call for it runs once the destructor has returned.
class MidiEndpoint : public Interface {
public:
    virtual ~MidiEndpoint() = default;

    // Full names of the ports this endpoint could open, in the system's order.
    [[nodiscard]] virtual std::vector<std::string> portNames() = 0;
    // Opens the port at `index` of portNames(), naming our own port `portName`; false on failure.
    [[nodiscard]] virtual bool openPort(unsigned int index, const std::string& portName) = 0;
    // Sends one message (outputs only); false on failure.
    [[nodiscard]] virtual bool send(const std::uint8_t* bytes, std::size_t size) = 0;
};

class MidiSystem : public Interface {
public:
    virtual ~MidiSystem() = default;

    // The systems to offer, as RtMidi::Api values, in listing order: those that can be reached.
    [[nodiscard]] virtual std::vector<int> apis() = 0;
    // Full names of the system's sources (`input`) or destinations, in the system's order,
    // listed by a client named `clientName`.
    [[nodiscard]] virtual std::vector<std::string> portNames(int api, bool input,
                                                             const std::string& clientName) = 0;
    // A new endpoint as a client named `clientName`, or null when the system refuses one. An
    // input hands every message to `receive` with `user`, from when its port opens until it is
    // destroyed; clock and active sensing are delivered, SysEx (assembled whole) only when
    // `sysex` is set.
    [[nodiscard]] virtual std::unique_ptr<MidiEndpoint> makeInput(int api,
                                                                  const std::string& clientName,
                                                                  MidiReceive receive, void* user,
                                                                  bool sysex) = 0;
    [[nodiscard]] virtual std::unique_ptr<MidiEndpoint> makeOutput(
        int api, const std::string& clientName) = 0;
};

// RtMidi itself, with every system it was built with except JACK, which JackPortService speaks to
// directly; the ALSA sequencer only when /dev/snd/seq can be opened.
std::unique_ptr<MidiSystem> makeRtMidiSystem();

}  // namespace tamblin::ports
