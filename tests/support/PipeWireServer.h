#pragma once

#include <string>

#include "support/MidiServer.h"

namespace tamblin::testing {

// A private PipeWire daemon: the stock configuration (its dummy driver drives the graph) without
// D-Bus and without a session manager, in a runtime folder of its own (mode 0700) and under a
// socket named after the server. It points this process's JACK clients, and the programs it
// starts, at itself through XDG_RUNTIME_DIR, PIPEWIRE_RUNTIME_DIR and PIPEWIRE_REMOTE (PipeWire's
// libjack reads no JACK_DEFAULT_SERVER; a client that names a server reaches the socket of that
// name), and merges jack.fix-midi-events=false into PIPEWIRE_PROPS as the program does.
//
// The process must have loaded PipeWire's libjack (see serversUnderTest()); anything else fails
// the test. Unlike jackd -S, PipeWire runs its clients asynchronously and takes a link up only
// once both clients have agreed on it: a message written into a connection before then is lost,
// so connect() and waitForConnection() wait until every link is active.
class PipeWireServer : public MidiServer {
public:
    // Starts the daemon and waits until it accepts JACK clients.
    PipeWireServer();
    ~PipeWireServer() override;

    ServerKind kind() const override { return ServerKind::PipeWire; }
    bool start() override;
    void kill() override;

private:
    const char* program() const override { return "pipewire"; }
    // Every link in the state "active", as pw-dump shows them.
    bool connectionsSettled() const override;

    std::string runtimeDir_;
};

}  // namespace tamblin::testing
