#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tamblin::tools {

using Bytes = std::vector<std::uint8_t>;

// MIDI ends of our own on the JACK server that libjack chooses (JACK_DEFAULT_SERVER), for the
// companion programs and the tests: each a client written directly on libjack, so that what is
// sent and recorded is exactly what JACK carries: one JACK event per send, any bytes, every event
// recorded whole. Opening one throws std::runtime_error when no server answers. JACK renames a
// client whose name is taken ("name-01"); port() gives the name the server gave.
//
// The process thread takes no lock and allocates nothing; every close deactivates the client
// before anything its callbacks use is freed.
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
    // Queues one event of any size, broken ones and empty ones included; waits while the queue
    // is full. A cycle carries what fits jack::kCycleBudget (a larger event alone). False, with
    // nothing queued, once the server has shut the client down. Safe from several threads.
    bool send(const Bytes& bytes);
    // Whether the port is connected to something now.
    bool connected() const;
    // Cycles of the server that the source has run.
    std::uint64_t cycles() const;
    // How long after the start of its cycle (JACK's clock) the source wrote the events of the
    // last cycle that carried any: a process thread that runs late writes into a cycle that began
    // before the events were sent.
    std::chrono::microseconds lastWriteLag() const;
    // JACK's time (jack_get_time()) of the start of that cycle.
    std::uint64_t lastWriteCycle() const;
    // Holds the source's next cycles at their start, before it takes what is queued, as a busy
    // machine may: true once one is held. release() lets it go on (a hold ends by itself after
    // ten seconds).
    bool holdCycle(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void release();
    // Waits until every queued event has been written to a cycle, and every reader of that
    // cycle has had it (two more cycles of the source have run); false on timeout, or once the
    // server has shut the client down.
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
    // When each of received() arrived, in microseconds on the JACK clock.
    std::vector<std::uint64_t> times() const;
    // The events received since the last take(), which received() and count() then forget: for a
    // reader that runs for long.
    std::vector<Bytes> take();
    std::size_t count() const;
    // How often the server said it missed a cycle's deadline.
    std::uint64_t xruns() const;
    // The JACK times of the first cycles that followed cycles the server ran without this client.
    std::vector<std::uint64_t> skippedCycles() const;
    // How many cycles the server ran without this client, all of them.
    std::uint64_t skippedCycleCount() const;
    // The length of the last cycle it ran, in microseconds; 0 before the first.
    std::uint64_t periodUsecs() const;
    // Whether the server ran a cycle without this client within two periods of events received
    // at `before` and `after` (JACK times): PipeWire gives up the cycle of a client that runs
    // late, with what was written for it, where a synchronous jackd waits for the client.
    bool missedCycleAround(std::uint64_t before, std::uint64_t after) const;
    // Whether it did so after `from` and up to two periods after `to` (JACK times).
    bool missedCycleBetween(std::uint64_t from, std::uint64_t to) const;
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

}  // namespace tamblin::tools
