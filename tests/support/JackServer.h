#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tamblin::testing {

// A private JACK server (dummy driver, synchronous mode, no real-time scheduling) for tests that
// need a real MIDI system. It points this process at itself through JACK_DEFAULT_SERVER and sets
// JACK_NO_START_SERVER so that no client starts a server of its own. A server that cannot be
// started fails the running test; it never skips it.
//
// Declare it before everything that uses JACK, so that it goes last. The port helpers each open
// a short-lived JACK client of their own.
//
// libjack names a client's notification socket after the client alone (/dev/shm/jack_<client>_
// <uid>_0), whatever its server, so clients of one name in two processes ("Tamblin-01", say)
// break each other although each process has a server of its own. The first JackServer of a
// process therefore takes a lock file of the machine and the process keeps it until it ends:
// JACK test programs run one at a time, even from two test runs at once.
class JackServer {
public:
    // Starts the server and waits until it accepts clients.
    JackServer();
    ~JackServer();
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    // Starts the server again after kill(), under the same name; records a test failure when it
    // cannot. Returns whether it runs.
    bool start();
    // Ends the server at once, as a crash would, and gives the clients of this process a moment
    // to notice. Those clients must not be used or destroyed afterwards (libjack frees them when
    // the next client opens); see abandon().
    void kill();
    // Stops the server's process (SIGSTOP) as a hung server would be, and lets it go on again.
    void suspend();
    void resume();
    bool running() const { return pid_ > 0; }
    const std::string& name() const { return name_; }

    // Full names of the ports matching the extended regular expression `pattern` (all ports for
    // an empty one), optionally only those with `flags` (JackPortIsInput, JackPortIsOutput).
    std::vector<std::string> ports(const std::string& pattern = {}, unsigned long flags = 0) const;
    // Polls until a port matching `pattern` exists; its full name, or nothing on timeout.
    std::optional<std::string> waitForPort(
        const std::string& pattern, unsigned long flags = 0,
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Polls until no port matches `pattern`; false on timeout.
    bool waitForNoPort(const std::string& pattern,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool connect(const std::string& source, const std::string& destination) const;
    // Full names of the ports connected to `port`.
    std::vector<std::string> connections(const std::string& port) const;

    // Keeps an object made on a server that has been killed from ever being destroyed (its
    // destructor would call into a freed client), while leaving it reachable for leak checkers.
    template <typename T>
    static void abandon(std::unique_ptr<T> object) {
        abandonPointer(object.release());
    }

private:
    static void abandonPointer(const void* object);
    bool spawn();
    bool waitUntilReady();
    void stop();
    // The socket and semaphore files of the server in /dev/shm.
    std::vector<std::filesystem::path> serverFiles() const;
    bool serverSocketExists() const;
    void removeLeftovers() const;

    std::string name_;
    pid_t pid_ = -1;
    bool killed_ = false;
    std::string logPath_;
};

}  // namespace tamblin::testing
