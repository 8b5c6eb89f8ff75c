#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tamblin::input {
class InputRing;
}

namespace tamblin::testing {

using Bytes = std::vector<std::uint8_t>;

// The test's own MIDI ends on the JACK server of the process (see MidiServer), each a client
// written directly on libjack, so that what a test sends and records is exactly what JACK
// carries: one JACK event per send, any bytes, every event recorded whole.
//
// A client whose server was killed is not closed by its destructor where libjack frees it itself
// (jack2, at the process's next client open); the endpoint keeps what libjack may still call.

// A client with no port that counts the server's cycles. A synchronous jackd can stop its cycles
// for seconds while it waits for a client that is closing; a test that starts a program with a
// deadline of its own waits with this until the server runs again. Keep it until the test ends:
// its own close could hold the server up the same way.
class JackCycles {
public:
    explicit JackCycles(const std::string& client = "tamblin-test-cycles");

    // Waits until the server has run `count` more cycles; false on timeout.
    bool waitForCycles(std::uint64_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    struct State;
    struct Close {  // closes the client
        void operator()(State* state) const;
    };
    std::unique_ptr<State, Close> state_;
};

// A source: a client with an output port "<client>:out" that the program under test can open as
// an input device. What send() queues, the process thread writes, at most `perCycle` events in one
// cycle (0: all that wait).
class JackSource {
public:
    explicit JackSource(const std::string& client = "tamblin-test-source",
                        std::size_t perCycle = 0);
    ~JackSource();
    JackSource(const JackSource&) = delete;
    JackSource& operator=(const JackSource&) = delete;

    const std::string& port() const { return port_; }
    // Queues one event of up to 64 bytes, broken ones and empty ones included; waits while the
    // queue is full. Safe from several threads.
    void send(const Bytes& bytes);
    // Waits until every queued event has been written to a cycle, and every reader of that
    // cycle has had it (two more cycles of the source have run); false on timeout.
    bool flushed(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Waits until the port is connected to something; false on timeout.
    bool waitForConnection(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Events that libjack refused to write even into an empty buffer, and so dropped.
    std::uint64_t refused() const;

    struct State;

private:
    std::shared_ptr<State> state_;
    std::string port_;
};

// A destination: a client with an input port "<client>:in" that records every event it receives,
// whatever its bytes.
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

    struct State;

private:
    std::shared_ptr<State> state_;
    std::string port_;
    std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
    std::thread drainer_;
};

// Sends active sensing from `source` until something reaches `ring`, into which nothing else
// comes meanwhile: from then on the source's connection to the monitor carries every event.
// (A connection is made in a graph of a later cycle, however soon the server has answered.)
// Returns once all it sent has arrived. The window's default real-time filter keeps these
// messages out of its views. False on timeout.
bool handshake(JackSource& source, const input::InputRing& ring,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace tamblin::testing
