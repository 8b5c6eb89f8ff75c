#pragma once

#include <chrono>

#include "tools/JackEndpoints.h"

namespace tamblin::input {
class InputRing;
}

namespace tamblin::testing {

// The test's own MIDI ends on the JACK server of the process (see MidiServer).
using tools::Bytes;
using tools::JackCycles;
using tools::JackSink;
using tools::JackSource;

// Sends active sensing from `source` until something reaches `ring`, into which nothing else
// comes meanwhile: from then on the source's connection to the monitor carries every event.
// (A connection is made in a graph of a later cycle, however soon the server has answered.)
// Returns once all it sent has arrived. The window's default real-time filter keeps these
// messages out of its views. False on timeout.
bool handshake(JackSource& source, const input::InputRing& ring,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace tamblin::testing
