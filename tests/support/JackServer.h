#pragma once

#include <filesystem>
#include <vector>

#include "support/MidiServer.h"

namespace tamblin::testing {

// A private jackd (dummy driver, synchronous mode, no real-time scheduling). It points this
// process at itself through JACK_DEFAULT_SERVER and sets JACK_NO_START_SERVER so that no client
// starts a server of its own. The libjack of the process must be jackd's: anything else fails
// the test.
class JackServer : public MidiServer {
public:
    // Starts the server and waits until it accepts clients.
    JackServer();
    ~JackServer() override;

    ServerKind kind() const override { return ServerKind::Jackd; }
    bool start() override;
    void kill() override;

private:
    const char* program() const override { return "jackd"; }
    bool spawnJackd();
    bool waitUntilAccepting();
    void stopJackd();
    // The socket and semaphore files of the server in /dev/shm.
    std::vector<std::filesystem::path> serverFiles() const;
    bool serverSocketExists() const;
    void removeLeftovers() const;

    bool killed_ = false;
};

}  // namespace tamblin::testing
