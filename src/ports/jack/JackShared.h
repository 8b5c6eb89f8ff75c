#pragma once

// The state of the JACK port service that its three threads share, and the JACK client it runs.
// Included by the service's own files only (JackPortService.cpp, JackProcess.cpp,
// JackWorker.cpp).

#include <jack/jack.h>
#include <jack/midiport.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ports/RecordRing.h"
#include "ports/ShortMessage.h"
#include "ports/SpscQueue.h"
#include "ports/ThruRule.h"
#include "ports/jack/JackPortService.h"

namespace tamblin::ports::jack {

using Clock = std::chrono::steady_clock;

// A short send, packed as the port service takes it (unpackShortMessage gives its bytes): twelve
// bytes, so that a tick's thru of a dense stream fills few cache lines for the process thread.
struct OutEntry {
    Handle handle = 0;
    std::uint32_t generation = 0;  // of the client the send was made to
    std::uint32_t message = 0;     // a well-formed short message
};
static_assert(sizeof(OutEntry) == 12);

// A long send (SysEx), queued after `shortsBefore` short sends had been accepted.
struct LongSend {
    Handle handle = 0;
    std::uint32_t generation = 0;
    std::uint64_t shortsBefore = 0;
};

// A port of ours that is open on a device, by its full name.
struct Target {
    Handle handle = 0;
    std::string name;
};

// A closed output whose sends still go out, and the count of sends accepted when it closed.
struct Drain {
    Target target;
    std::uint64_t until = 0;
    std::uint64_t untilLong = 0;
};

// A question of the user-interface thread that the worker answers.
struct Request {
    std::uint64_t id = 0;
    bool list = true;  // the device list, else whether `name` is there
    bool input = true;
    std::string name;
};

struct Answer {
    std::uint64_t id = 0;
    bool reached = false;  // a client of ours runs
    bool exists = false;
    std::vector<std::string> names;
};

// What the worker keeps about one of our ports.
struct Follow {
    Handle handle = 0;                          // of the open port it follows, 0 for none
    std::string connected;                      // the device we connected our port to, or empty
    std::uint64_t settledAt = 0;                // cycle count from which connections are as made
    Handle triedFor = 0;                        // the handle a connection was last tried for
    std::optional<Clock::time_point> closedAt;  // since when no port is open
    // An output's connections made or undone that the server may not have told of yet: the count
    // of linkNotices that tells of them all, and until when it is waited for (see link()).
    std::optional<std::uint64_t> noticesWanted;
    Clock::time_point noticeDeadline{};
};

// Shared with the process thread: atomics and the output queue only, so that it never waits.
struct CycleShared {
    std::atomic<std::uint64_t> cycles{0};  // odd while our process callback runs
    std::atomic<Handle> inHandle{0};       // the open input
    std::atomic<Handle> inStarted{0};      // the open input, once started
    std::atomic<jack_time_t> inStartUsecs{0};
    std::atomic<Handle> inRouted{0};  // the input whose connections have settled
    std::atomic<InputCallback> callback{nullptr};
    std::atomic<LongCallback> longCallback{nullptr};  // with --sysex
    std::atomic<Instance> instance{0};
    std::atomic<Handle> outHandle{0};
    std::atomic<Handle> outRouted{0};
    // A closed output whose sends, accepted before the close, still go out to its device: until
    // `consumed` (sends taken from the queue, written or dropped) reaches `drainUntil` (sends
    // accepted when it closed), the worker follows it as if it were still open. Outputs closed
    // after it with sends still to go out take their turns in the order they closed: their
    // handles lie above `draining`, up to `drainLast`, and their sends wait in the queue.
    std::atomic<Handle> draining{0};
    std::atomic<Handle> drainLast{0};
    // A closed output whose sends the worker has given up on: they are dropped from then on, so
    // that none goes out after it has said they did not (see drained()).
    std::atomic<Handle> givenUp{0};
    std::atomic<std::uint64_t> givenUpDropped{0};  // its sends, short and long, dropped so far
    std::atomic<std::uint64_t> drainUntil{0};
    std::atomic<std::uint64_t> consumed{0};
    // The same for long sends (SysEx), which queue beside the short ones.
    std::atomic<std::uint64_t> drainUntilLong{0};
    std::atomic<std::uint64_t> consumedLong{0};
    // Direct thru: an output of ours was closed by a Change that has not ended yet; what arrives
    // meanwhile is held for the output the Change opens (see JackPortService::setThruGate).
    std::atomic<bool> outAwaited{false};
    std::atomic<bool> outputAllowed{false};
    std::atomic<bool> realTimeFiltered{true};
    // The input callback's notifications carry the microseconds (PortService::setFineTimes).
    std::atomic<bool> fineTimes{false};
    std::atomic<std::uint32_t> generation{0};  // of the client that sends go to
    std::atomic<bool> up{false};               // a client of ours runs on a server
    // Sends from the user-interface thread, the one producer, to the process thread.
    SpscQueue<OutEntry, 4096> sends;
    // Long sends, in their place among `sends` (see LongSend). Never used without --sysex.
    RecordRing<LongSend> longSends{std::size_t{1} << 20};
};

// Between the user-interface thread and the worker, under `mutex`.
struct Mailbox {
    std::mutex mutex;
    std::condition_variable wake;      // the worker waits on it
    std::condition_variable answered;  // the user-interface thread waits on it
    bool woken = false;
    bool stop = false;
    std::atomic<std::uint64_t> passes{0};  // see JackPortService::workerPasses()
    bool finished = false;
    std::optional<Target> wantIn;
    std::optional<Target> wantOut;
    // The closed outputs whose sends still go out, in the order they closed: the first is the
    // one `draining` names.
    std::deque<Drain> drainOuts;
    std::optional<Request> request;
    std::optional<Answer> answer;
};

}  // namespace tamblin::ports::jack

namespace tamblin::ports {

struct JackPortService::Shared : jack::CycleShared, jack::Mailbox {
    explicit Shared(Options o) : options(o) {}

    struct Client;
    using Target = jack::Target;
    using Request = jack::Request;
    using Answer = jack::Answer;
    using Follow = jack::Follow;
    using Clock = jack::Clock;

    const Options options;

    // ---- the user-interface thread's own ----
    std::uint64_t pushed = 0;      // sends accepted into `sends`
    std::uint64_t pushedLong = 0;  // and into `longSends`
    std::uint64_t nextRequest = 0;
    std::uint64_t unanswered = 0;  // a request that ran out of time, 0 for none

    // ---- the worker's own ----
    std::unique_ptr<Client> client;
    // Clients of a server that went away, which libjack may still hold (see loseClient()).
    std::vector<std::unique_ptr<Client>> retired;
    std::uint32_t generations = 0;
    Clock::time_point nextOpen{};   // when the worker tries to reach a server again
    Clock::time_point openAfter{};  // no client opens before this, after a loss
    bool openFailedBefore = false;
    Follow inFollow;
    Follow outFollow;
    bool stopping = false;           // the worker's copy of `stop`, once it has seen it
    Handle drainSeen = 0;            // the draining output the worker has been waiting for
    Clock::time_point drainSince{};  // since when
    std::optional<Clock::time_point> drainRoutedSince{};  // and since when it is connected
    Clock::time_point nextConnectionCheck{};

    // What the worker's pass is to follow, copied from the mailbox.
    struct Wanted {
        std::optional<Target> in;
        std::optional<Target> out;
        std::optional<Target> closingOut;  // a closed output whose sends still go out
    };

    // The worker (JackWorker.cpp).
    void run();
    Handle pass(const Wanted& wanted, const std::optional<Request>& asked, Answer& reply);
    void wakeWorker();
    bool serverAnswers();
    Answer serve(const Request& request);
    bool drained(const Target& closing);
    void nextDrain(std::deque<jack::Drain>& drains);
    bool openClient();
    void loseClient();
    void closeClient();
    void follow(bool input, const std::optional<Target>& want, bool check);
    void connectWanted(bool input, Follow& f, const Target& want);
    bool link(bool input, Follow& f, bool make, const std::string& device);
    bool noticed(Follow& f);
    bool connectedTo(bool input, const std::string& device);
    Clock::duration pause() const;

    // The user-interface thread (JackPortService.cpp).
    std::optional<Answer> ask(Request request);
};

// One JACK client of ours and what its callbacks touch (JackProcess.cpp). It lives as long as
// libjack may call them.
struct JackPortService::Shared::Client {
    Client(Shared& s, jack_client_t* j, std::uint32_t g) : shared(s), jack(j), generation(g) {}

    Shared& shared;
    jack_client_t* jack;
    const std::uint32_t generation;
    jack_port_t* in = nullptr;
    jack_port_t* out = nullptr;
    std::atomic<bool> gone{false};          // the server has shut the client down
    std::atomic<bool> reported{false};      // libjack said so, which may be untrue (see run())
    std::atomic<bool> portsChanged{false};  // a port came or went somewhere in the graph
    // Connections made or undone anywhere in the graph that the server has told of.
    std::atomic<std::uint64_t> linkNotices{0};
    // The process thread's own: the last time delivered (microseconds since midiInStart) and its
    // handle, so that times of one port never go backwards.
    Handle lastHandle = 0;
    jack_time_t lastTime = 0;
    // What the process thread has written to the output in the cycle that runs, in the
    // reckoning of kCycleBudget.
    std::size_t cycleBytes = 0;
    bool longWritten = false;  // a long event is among them
    // Direct thru's messages that wait, in arrival order, for the output to be connected (the
    // process thread's own, fixed in size).
    struct Held {
        MessageBytes bytes;
        jack_time_t at = 0;  // when it arrived
    };
    static constexpr std::size_t kHeldCapacity = 4096;
    std::array<Held, kHeldCapacity> held{};
    std::size_t heldFirst = 0;
    std::size_t heldCount = 0;

    static int process(jack_nframes_t frames, void* self) noexcept;
    static void onShutdown(jack_status_t, const char*, void* self) noexcept;
    static void onReport(void* self) noexcept;
    static void onPortRegistration(jack_port_id_t, int, void* self) noexcept;
    static void onPortConnect(jack_port_id_t, jack_port_id_t, int, void* self) noexcept;

private:
    // What the process thread does about thru in one cycle.
    struct Thru {
        bool direct = false;      // direct thru is on
        bool jackOutput = false;  // an output of ours is open or awaited: thru is decided here
        bool ready = false;       // the output is connected: held and new messages can go out
        ThruGate gate;
    };

    std::uint64_t sendQueued(void* outBuffer, std::size_t room, Handle out, Handle routed) noexcept;
    bool write(void* outBuffer, jack_nframes_t offset, const std::uint8_t* bytes, std::size_t size,
               std::size_t room = 0) noexcept;
    void deliverLong(const jack_midi_event_t& event, jack_nframes_t& lastOffset, void* outBuffer,
                     LongData& data, const Thru& thru) noexcept;
    void sendHeld(void* outBuffer, jack_time_t now, bool ready) noexcept;
    void hold(const jack_midi_event_t& event, jack_time_t at) noexcept;
    void deliver(void* inBuffer, jack_nframes_t events, Handle handle, void* outBuffer,
                 jack_time_t cycleStart, Thru thru) noexcept;
};

}  // namespace tamblin::ports
