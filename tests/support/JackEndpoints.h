#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class RtMidiIn;
class RtMidiOut;

namespace tamblin::testing {

using Bytes = std::vector<std::uint8_t>;

// A MIDI source on the JACK server of the process (see JackServer): an RtMidi virtual output
// port "<client>:out" that the program under test can open as an input device.
class JackSource {
public:
    explicit JackSource(const std::string& client = "tamblin-test-source");
    ~JackSource();
    JackSource(const JackSource&) = delete;
    JackSource& operator=(const JackSource&) = delete;

    const std::string& port() const { return port_; }
    // Sends any bytes as one JACK MIDI event, broken ones included.
    void send(const Bytes& bytes);

    // For a test that kills the server: the RtMidi object, to hand to JackServer::abandon().
    std::unique_ptr<RtMidiOut> release();

private:
    std::unique_ptr<RtMidiOut> midi_;
    std::string port_;
};

// A MIDI destination: an RtMidi virtual input port "<client>:in" that records every event it
// receives (SysEx, clock and active sensing included).
class JackSink {
public:
    explicit JackSink(const std::string& client = "tamblin-test-sink");
    ~JackSink();
    JackSink(const JackSink&) = delete;
    JackSink& operator=(const JackSink&) = delete;

    const std::string& port() const { return port_; }
    std::vector<Bytes> received() const;
    std::size_t count() const;
    // Waits until at least `count` events have arrived; false on timeout.
    bool waitForCount(std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // Only after the server was killed: the sink no longer receives anything then.
    std::unique_ptr<RtMidiIn> release();

private:
    static void onMessage(double, std::vector<unsigned char>* message, void* sink);

    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<Bytes> received_;
    std::unique_ptr<RtMidiIn> midi_;  // last: destroyed first, while the record still exists
    std::string port_;
};

}  // namespace tamblin::testing
