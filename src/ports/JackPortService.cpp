#include "ports/JackPortService.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "ports/ShortMessage.h"
#include "ports/SpscQueue.h"
#include "ports/ThruRule.h"

namespace tamblin::ports {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long the worker sleeps while connections settle or a closed output's sends go out, while it
// looks out for a device's port or a server, while all is as wanted, and between two tries to
// reach a server that has gone.
constexpr auto kSettlePause = 5ms;
constexpr auto kPendingPause = 50ms;
constexpr auto kIdlePause = 200ms;
constexpr auto kReopenPause = 500ms;
// How long a closed output's accepted sends may take to go out before its device is disconnected
// all the same (a server that stopped running cycles), and at the end of the run.
constexpr auto kDrainPatience = 1s;
// How long a closed port stays connected to its device: a Change that opens the same device again
// follows at once, and then the connection is kept rather than undone and made anew.
constexpr auto kDisconnectGrace = 200ms;
constexpr auto kDrainPatienceAtExit = 200ms;
// How often the worker makes sure the open devices are still connected to our ports, also when no
// port has come or gone (somebody else may have disconnected them).
constexpr auto kConnectionCheck = 1s;
// Counts of the cycle counter (two per cycle) after a connection was made or undone before the
// process thread surely runs with it: the cycle in progress may have begun before it, and the
// server switches to a new graph at the start of a cycle.
constexpr std::uint64_t kSettleCounts = 6;
// Room left in the output buffer for each event the input brought in a cycle, so that direct thru
// finds room after the queued sends: JACK keeps a short message and its header in at most 12
// bytes.
constexpr std::size_t kRoomPerEvent = 16;

// Whether libjack frees the clients of a server that has gone by itself, when the process next
// opens a client (jack2 does, in JackLibGlobals::Init): we must then never close such a client,
// since libjack may have freed it already. Other implementations leave that to us.
bool libraryFreesDeadClients() {
    static const bool frees = std::strncmp(jack_get_version_string(), "1.9.", 4) == 0;
    return frees;
}

// libjack's messages go to standard error, so that standard output stays the program's own. The
// worker's repeated tries to reach a server that is not there would repeat the same ones, so it
// silences them after the first try.
thread_local bool quietJack = false;

void reportJackMessage(const char* message) {
    if (!quietJack) std::fprintf(stderr, "%s\n", message);
}

bool isOwnPort(const char* name) {
    const std::string_view full(name);
    return isTamblinClient(full.substr(0, full.find(':')), true);
}

struct OutEntry {
    Handle handle = 0;
    std::uint32_t generation = 0;  // of the client the send was made to
    MessageBytes bytes;
};

}  // namespace

struct JackPortService::Shared {
    explicit Shared(Options o) : options(o) {}

    struct Client;
    struct Target {
        Handle handle = 0;
        std::string name;
    };
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
        Handle handle = 0;            // of the open port it follows, 0 for none
        std::string connected;        // the device we connected our port to, empty for none
        std::uint64_t settledAt = 0;  // cycle count from which the connections are as made
        Handle triedFor = 0;          // the handle a connection was last tried for
        std::optional<Clock::time_point> closedAt;  // since when no port is open
    };

    const Options options;

    // ---- shared with the process thread: atomics and the output queue ----
    std::atomic<std::uint64_t> cycles{0};  // odd while our process callback runs
    std::atomic<Handle> inHandle{0};       // the open input
    std::atomic<Handle> inStarted{0};      // the open input, once started
    std::atomic<jack_time_t> inStartUsecs{0};
    std::atomic<Handle> inRouted{0};  // the input whose connections have settled
    std::atomic<InputCallback> callback{nullptr};
    std::atomic<Instance> instance{0};
    std::atomic<Handle> outHandle{0};
    std::atomic<Handle> outRouted{0};
    // A closed output whose sends, accepted before the close, still go out to its device: until
    // `consumed` (sends taken from the queue, written or dropped) reaches `drainUntil` (sends
    // accepted when it closed), the worker follows it as if it were still open.
    std::atomic<Handle> draining{0};
    std::atomic<std::uint64_t> drainUntil{0};
    std::atomic<std::uint64_t> consumed{0};
    std::atomic<bool> outputAllowed{false};
    std::atomic<bool> realTimeFiltered{true};
    std::atomic<std::uint32_t> generation{0};  // of the client that sends go to
    std::atomic<bool> up{false};               // a client of ours runs on a server
    // Sends from the user-interface thread, the one producer, to the process thread.
    SpscQueue<OutEntry, 4096> sends;

    // ---- between the user-interface thread and the worker, under `mutex` ----
    std::mutex mutex;
    std::condition_variable wake;      // the worker waits on it
    std::condition_variable answered;  // the user-interface thread waits on it
    bool woken = false;
    bool stop = false;
    bool finished = false;
    std::optional<Target> wantIn;
    std::optional<Target> wantOut;
    std::optional<Target> drainOut;  // the output `draining` names
    std::optional<Request> request;
    std::optional<Answer> answer;

    // ---- the user-interface thread's own ----
    std::uint64_t pushed = 0;  // sends accepted into `sends`
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
    bool stopping = false;  // the worker's copy of `stop`, once it has seen it
    Handle drainSeen = 0;   // the draining output the worker has been waiting for
    Clock::time_point drainDeadline{};
    Clock::time_point nextConnectionCheck{};

    void run();
    void wakeWorker();
    bool serverAnswers();
    Answer serve(const Request& request);
    bool drained(Handle closing);
    bool openClient();
    void loseClient();
    void closeClient();
    void follow(bool input, const std::optional<Target>& want, bool check);
    Clock::duration pause() const;

    std::optional<Answer> ask(Request request);
};

// One JACK client of ours and what its callbacks touch. It lives as long as libjack may call them.
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
    // The process thread's own: the last timestamp delivered and its handle, so that times of one
    // port never go backwards.
    Handle lastHandle = 0;
    std::int32_t lastTime = 0;

    static int process(jack_nframes_t frames, void* self) noexcept;
    // jack2 calls only this one of the two shutdown callbacks when both are set, and only when
    // the server has gone.
    static void onShutdown(jack_status_t, const char*, void* self) noexcept {
        auto& client = *static_cast<Client*>(self);
        client.gone.store(true, std::memory_order_release);
        // Sends fail from now on, not only once the worker has noticed.
        if (client.shared.generation.load(std::memory_order_acquire) == client.generation)
            client.shared.up.store(false, std::memory_order_release);
        client.shared.wakeWorker();
    }
    // PipeWire's libjack (0.3) calls only this one, and not only when the server has gone: also
    // when a request of the client failed (a connection to a port that went away meanwhile), after
    // which the client goes on working. The worker finds out which.
    static void onReport(void* self) noexcept {
        auto& client = *static_cast<Client*>(self);
        client.reported.store(true, std::memory_order_release);
        client.shared.wakeWorker();
    }
    static void onPortRegistration(jack_port_id_t, int, void* self) noexcept {
        static_cast<Client*>(self)->portsChanged.store(true, std::memory_order_release);
    }
    void deliver(void* inBuffer, jack_nframes_t events, Handle handle, void* outBuffer,
                 bool direct, ThruGate gate) noexcept;
};

// ---- the process thread --------------------------------------------------------------------

int JackPortService::Shared::Client::process(jack_nframes_t frames, void* self) noexcept {
    auto& client = *static_cast<Client*>(self);
    Shared& s = client.shared;
    // Odd from here to the end: midiInClose waits for a cycle that may still use its handle.
    s.cycles.fetch_add(1, std::memory_order_seq_cst);

    void* outBuffer = jack_port_get_buffer(client.out, frames);
    jack_midi_clear_buffer(outBuffer);
    void* inBuffer = jack_port_get_buffer(client.in, frames);
    const jack_nframes_t events = jack_midi_get_event_count(inBuffer);

    const Handle out = s.outHandle.load(std::memory_order_acquire);
    const Handle routed = s.outRouted.load(std::memory_order_acquire);
    const bool outReady = out != 0 && routed == out;
    const Handle in = s.inHandle.load(std::memory_order_seq_cst);
    const bool inReady = in != 0 && s.inRouted.load(std::memory_order_acquire) == in &&
                         s.inStarted.load(std::memory_order_acquire) == in;
    const ThruGate gate{s.outputAllowed.load(std::memory_order_relaxed),
                        s.realTimeFiltered.load(std::memory_order_relaxed)};
    const bool direct = s.options.directThru && inReady && outReady && gate.outputAllowed;

    // Queued sends first, at the start of the cycle: those of the open port, and those a port
    // closed since accepted before its close (see Shared::draining). They wait while their port's
    // connections are being made. The others (of a port closed long ago, or made to a client
    // whose server has gone) are dropped. Room is left for what direct thru forwards of this
    // cycle's input.
    const Handle closing = s.draining.load(std::memory_order_acquire);
    const std::size_t room = direct ? events * kRoomPerEvent : 0;
    std::uint64_t taken = 0;
    while (const OutEntry* entry = s.sends.front()) {
        const bool current = entry->generation == client.generation;
        if (!current || entry->handle == 0 || (entry->handle != out && entry->handle != closing)) {
            s.sends.pop();
            ++taken;
            continue;
        }
        if (routed != entry->handle) break;
        if (jack_midi_max_event_size(outBuffer) < room + entry->bytes.size) break;
        if (jack_midi_event_write(outBuffer, 0, entry->bytes.data(), entry->bytes.size) != 0) break;
        s.sends.pop();
        ++taken;
    }
    if (taken != 0) s.consumed.fetch_add(taken, std::memory_order_release);

    if (inReady && events > 0) client.deliver(inBuffer, events, in, outBuffer, direct, gate);
    s.cycles.fetch_add(1, std::memory_order_seq_cst);
    return 0;
}

void JackPortService::Shared::Client::deliver(void* inBuffer, jack_nframes_t events, Handle handle,
                                              void* outBuffer, bool direct,
                                              ThruGate gate) noexcept {
    Shared& s = shared;
    jack_nframes_t frame = 0;
    jack_time_t cycleStart = 0;
    jack_time_t nextStart = 0;
    float period = 0;
    if (jack_get_cycle_times(jack, &frame, &cycleStart, &nextStart, &period) != 0)
        cycleStart = jack_get_time();
    const jack_time_t startedAt = s.inStartUsecs.load(std::memory_order_relaxed);
    if (cycleStart < startedAt) return;  // the cycle began before midiInStart
    const jack_nframes_t rate = jack_get_sample_rate(jack);
    const InputCallback callback = s.callback.load(std::memory_order_relaxed);
    const Instance instance = s.instance.load(std::memory_order_relaxed);
    if (lastHandle != handle) {
        lastHandle = handle;
        lastTime = 0;
    }

    jack_nframes_t lastOffset = 0;
    for (jack_nframes_t i = 0; i < events; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, inBuffer, i) != 0) continue;
        const std::optional<std::uint32_t> message = packShortMessage(event.buffer, event.size);
        if (!message) continue;
        const jack_time_t at =
            cycleStart + (rate != 0 ? jack_time_t{event.time} * 1000000u / rate : 0);
        const auto time = std::max(lastTime, static_cast<std::int32_t>((at - startedAt) / 1000));
        lastTime = time;

        bool forwarded = false;
        if (direct && goesOut(*message, gate)) {
            const jack_nframes_t offset = std::max(event.time, lastOffset);
            if (jack_midi_event_write(outBuffer, offset, event.buffer, event.size) == 0) {
                forwarded = true;
                lastOffset = offset;
            }
        }
        callback(handle, forwarded ? kMimDataForwarded : kMimData, instance, *message,
                 static_cast<std::uint32_t>(time));
    }
}

// ---- the worker ----------------------------------------------------------------------------

void JackPortService::Shared::run() {
    std::unique_lock lock(mutex);
    while (!stop) {
        const std::optional<Target> in = wantIn;
        const std::optional<Target> out = wantOut;
        const std::optional<Target> closingOut = drainOut;
        std::optional<Request> asked = std::move(request);
        request.reset();
        lock.unlock();

        // A report of a loss that the server, still answering, belies is left at that: the
        // client runs on, its connections carrying data.
        if (client != nullptr && client->reported.exchange(false, std::memory_order_acquire) &&
            !client->gone.load(std::memory_order_acquire) && !serverAnswers())
            client->gone.store(true, std::memory_order_release);
        if (client != nullptr && client->gone.load(std::memory_order_acquire)) loseClient();
        if (client == nullptr && (asked || in || out)) {
            // Right after a loss, every client of the process is given time to learn of it first
            // (see loseClient()); a question waits that long, well within its patience. Other
            // questions try at once, the follower every kReopenPause.
            if (asked) std::this_thread::sleep_until(openAfter);
            if (Clock::now() >= openAfter && (asked || Clock::now() >= nextOpen)) {
                // The same failure again says nothing new: libjack's messages show once.
                quietJack = openFailedBefore;
                openFailedBefore = !openClient();
                quietJack = false;
                if (openFailedBefore) nextOpen = Clock::now() + kReopenPause;
            }
        }
        Answer reply;
        if (asked) reply = serve(*asked);
        Handle drainedOut = 0;
        if (client != nullptr) {
            const bool portsChanged = client->portsChanged.exchange(false);
            const bool due = Clock::now() >= nextConnectionCheck;
            if (due) nextConnectionCheck = Clock::now() + kConnectionCheck;
            follow(true, in, portsChanged || due);
            // A closed output is followed until what it accepted has gone out.
            const bool draining = closingOut && !drained(closingOut->handle);
            if (closingOut && !draining) drainedOut = closingOut->handle;
            follow(false, draining ? closingOut : out, portsChanged || due);
        }

        lock.lock();
        if (drainedOut != 0 && drainOut && drainOut->handle == drainedOut) drainOut.reset();
        if (asked) {
            answer = std::move(reply);
            answered.notify_all();
        }
        if (stop) break;
        wake.wait_for(lock, pause(), [this] { return woken || stop; });
        woken = false;
    }
    const std::optional<Target> closingOut = drainOut;
    stopping = true;
    lock.unlock();
    // What the last output accepted before it closed goes out before the client does.
    const auto patience = Clock::now() + kDrainPatienceAtExit;
    while (client != nullptr && closingOut && !drained(closingOut->handle) &&
           Clock::now() < patience) {
        follow(false, closingOut, false);
        std::this_thread::sleep_for(1ms);
    }
    closeClient();
    lock.lock();
    finished = true;
    answered.notify_all();
}

void JackPortService::Shared::wakeWorker() {
    {
        std::lock_guard lock(mutex);
        woken = true;
    }
    wake.notify_all();
}

// Whether a server answers under the name our client has: a client of the same name opens and
// closes again. (Only asked where libjack leaves the clients of a lost server to us: jack2 would
// free them at the open.)
bool JackPortService::Shared::serverAnswers() {
    quietJack = true;
    jack_client_t* check = jack_client_open(kClientName, JackNoStartServer, nullptr);
    quietJack = false;
    if (check == nullptr) return false;
    jack_client_close(check);
    return true;
}

Clock::duration JackPortService::Shared::pause() const {
    const auto unrouted = [](const Follow& f, const std::atomic<Handle>& routed) {
        return f.handle != 0 && routed.load() != f.handle;
    };
    if (client != nullptr &&
        (draining.load() != 0 || unrouted(inFollow, inRouted) || unrouted(outFollow, outRouted)))
        return kSettlePause;
    const auto looking = [](const Follow& f) {
        return f.handle != 0 ? f.connected.empty() : !f.connected.empty();  // or to disconnect
    };
    const bool waiting = (client == nullptr && (inFollow.handle != 0 || outFollow.handle != 0)) ||
                         looking(inFollow) || looking(outFollow);
    return waiting ? Clock::duration(kPendingPause) : Clock::duration(kIdlePause);
}

// Whether the closed output `closing` has no more sends to go out to its device (given up on
// when its server has gone, or its cycles have stopped running).
bool JackPortService::Shared::drained(Handle closing) {
    if (draining.load(std::memory_order_acquire) != closing) return true;
    if (drainSeen != closing) {
        drainSeen = closing;
        drainDeadline = Clock::now() + kDrainPatience;
    }
    const bool done =
        consumed.load(std::memory_order_acquire) >= drainUntil.load(std::memory_order_acquire) ||
        !up.load() || Clock::now() >= drainDeadline;
    // A later close that put another port in its place keeps that one.
    if (done) draining.compare_exchange_strong(closing, 0);
    return done;
}

bool JackPortService::Shared::openClient() {
    jack_status_t status{};
    jack_client_t* jack = jack_client_open(kClientName, JackNoStartServer, &status);
    if (jack == nullptr) return false;
    auto opened = std::make_unique<Client>(*this, jack, ++generations);
    // Every callback is in place before the client runs.
    jack_set_process_callback(jack, &Client::process, opened.get());
    jack_on_shutdown(jack, &Client::onReport, opened.get());
    jack_on_info_shutdown(jack, &Client::onShutdown, opened.get());
    jack_set_port_registration_callback(jack, &Client::onPortRegistration, opened.get());
    opened->in =
        jack_port_register(jack, kInputPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    opened->out =
        jack_port_register(jack, kOutputPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    generation.store(opened->generation, std::memory_order_release);
    if (opened->in == nullptr || opened->out == nullptr || jack_activate(jack) != 0) {
        if (opened->gone.load(std::memory_order_acquire) && libraryFreesDeadClients())
            retired.push_back(std::move(opened));
        else
            jack_client_close(jack);
        return false;
    }
    client = std::move(opened);
    // A new client has no connections: the followed devices are connected afresh.
    inFollow.connected.clear();
    outFollow.connected.clear();
    nextConnectionCheck = Clock::now();
    up.store(true, std::memory_order_release);
    return true;
}

void JackPortService::Shared::loseClient() {
    up.store(false, std::memory_order_release);
    // jack2 frees every client of a server that has gone when the process next opens a client,
    // ours or another one's: closing ours afterwards would touch freed memory, so it is left to
    // libjack. Its callbacks have all run (the server's going ended the client's threads), but
    // libjack keeps its pointer to the Client until then, so the Client is kept too.
    if (libraryFreesDeadClients())
        retired.push_back(std::move(client));
    else
        jack_client_close(client->jack);
    client.reset();
    // Every client of the process learns of the loss on a thread of its own; opening one before
    // they all have would free theirs under them.
    openAfter = Clock::now() + kReopenPause;
}

void JackPortService::Shared::closeClient() {
    if (client == nullptr) return;
    up.store(false, std::memory_order_release);
    if (client->gone.load(std::memory_order_acquire)) {
        loseClient();
        return;
    }
    jack_client_close(client->jack);
    client.reset();
}

JackPortService::Shared::Answer JackPortService::Shared::serve(const Request& asked) {
    Answer reply;
    reply.id = asked.id;
    reply.reached = client != nullptr;
    if (client == nullptr) return reply;
    // A device for our input is a port others write to, and the other way round.
    const unsigned long flags = asked.input ? JackPortIsOutput : JackPortIsInput;
    if (asked.list) {
        if (const char** ports =
                jack_get_ports(client->jack, nullptr, JACK_DEFAULT_MIDI_TYPE, flags)) {
            for (const char** port = ports; *port != nullptr; ++port)
                if (!isOwnPort(*port)) reply.names.emplace_back(*port);
            jack_free(static_cast<void*>(ports));
        }
    } else if (jack_port_t* port = jack_port_by_name(client->jack, asked.name.c_str())) {
        reply.exists = (jack_port_flags(port) & static_cast<int>(flags)) != 0 &&
                       std::strcmp(jack_port_type(port), JACK_DEFAULT_MIDI_TYPE) == 0 &&
                       !isOwnPort(asked.name.c_str());
    }
    return reply;
}

// Keeps one of our ports connected to the device that the open port of its direction follows,
// and off the device of a port closed before. Publishes the port's handle to the process thread
// once the connections it made have settled, so that nothing of a closed port's device reaches a
// new handle, nor a new handle's sends the closed port's device.
void JackPortService::Shared::follow(bool input, const std::optional<Target>& want, bool check) {
    Follow& f = input ? inFollow : outFollow;
    std::atomic<Handle>& routed = input ? inRouted : outRouted;
    jack_port_t* ours = input ? client->in : client->out;
    const std::string ourName = jack_port_name(ours);
    auto link = [&](bool make, const std::string& device) {
        const char* source = input ? device.c_str() : ourName.c_str();
        const char* destination = input ? ourName.c_str() : device.c_str();
        const int result = make ? jack_connect(client->jack, source, destination)
                                : jack_disconnect(client->jack, source, destination);
        // What comes in over a new connection is the new device's from the first event on: the
        // input waits only for a device disconnected before to have stopped. Sends wait for the
        // connection, which a server may take up a cycle or two after it has answered.
        if (input && make)
            f.settledAt = std::max(f.settledAt, cycles.load());
        else
            f.settledAt = cycles.load() + kSettleCounts;
        return result == 0 || (make && result == EEXIST);
    };

    // Whether our port is connected to the device's; asked only of a port that is there, which
    // libjack would otherwise complain of.
    auto connectedTo = [&](const std::string& device) {
        quietJack = true;  // a port that goes at that moment is no error
        const bool connected = jack_port_by_name(client->jack, device.c_str()) != nullptr &&
                               jack_port_connected_to(ours, device.c_str());
        quietJack = false;
        return connected;
    };

    const Handle handle = want ? want->handle : 0;
    if (f.handle != handle) check = true;
    f.handle = handle;
    if (want)
        f.closedAt.reset();
    else if (!f.closedAt)
        f.closedAt = Clock::now();
    if (!f.connected.empty() && (!want || want->name != f.connected)) {
        if (!want && !stopping && Clock::now() - *f.closedAt < kDisconnectGrace) return;
        if (connectedTo(f.connected) && !link(false, f.connected) && connectedTo(f.connected))
            return;  // still connected: tried again next time, and nothing is published
        f.connected.clear();
    }
    if (!want) return;
    // Nothing but the wanted device comes in once a device disconnected before has stopped: the
    // input is ready before its connection is made, which the server may take up before it has
    // answered.
    if (input && routed.load() != handle && cycles.load() >= f.settledAt) routed.store(handle);
    if (check || f.connected.empty()) {
        f.connected.clear();
        if (jack_port_by_name(client->jack, want->name.c_str()) == nullptr) {
            // Not there (yet, or any more): looked for again at every pass.
        } else if (connectedTo(want->name)) {
            f.connected = want->name;
        } else {
            // Tried again at every pass while it fails: silent after the first try.
            quietJack = f.triedFor == handle;
            f.triedFor = handle;
            if (link(true, want->name)) f.connected = want->name;
            quietJack = false;
        }
    }
    if (routed.load() != handle && cycles.load() >= f.settledAt) routed.store(handle);
}

// ---- the user-interface thread -------------------------------------------------------------

std::optional<JackPortService::Shared::Answer> JackPortService::Shared::ask(Request asked) {
    std::unique_lock lock(mutex);
    if (finished || stop) return std::nullopt;
    if (unanswered != 0) {
        // An earlier question ran out of time: until it is answered, JACK counts as absent.
        if (!answer || answer->id != unanswered) return std::nullopt;
        unanswered = 0;
        answer.reset();
    }
    asked.id = ++nextRequest;
    request = asked;
    woken = true;
    wake.notify_all();
    if (!answered.wait_for(lock, options.answerWait,
                           [&] { return answer && answer->id == asked.id; })) {
        unanswered = asked.id;
        std::fprintf(stderr,
                     "tamblin: the JACK server has not answered within %lld ms; going on without "
                     "JACK until it does\n",
                     static_cast<long long>(options.answerWait.count()));
        return std::nullopt;
    }
    Answer reply = std::move(*answer);
    answer.reset();
    return reply;
}

JackPortService::JackPortService(Options options, HandleSource* handles)
    : shared_(std::make_shared<Shared>(options)),
      handles_(handles != nullptr ? *handles : ownHandles_) {
    jack_set_error_function(&reportJackMessage);
    jack_set_info_function(&reportJackMessage);
    worker_ = std::thread([shared = shared_] { shared->run(); });
}

JackPortService::~JackPortService() {
    finish(shared_->options.answerWait);
}

bool JackPortService::finish(std::chrono::milliseconds wait) {
    if (finished_) return workerEnded_;
    finished_ = true;
    std::unique_lock lock(shared_->mutex);
    shared_->stop = true;
    shared_->wake.notify_all();
    const bool done = shared_->answered.wait_for(lock, wait, [this] { return shared_->finished; });
    lock.unlock();
    // A worker held by a server that does not answer keeps the shared state alive on its own.
    if (done)
        worker_.join();
    else
        worker_.detach();
    workerEnded_ = done;
    return done;
}

bool JackPortService::connected() const {
    return shared_->up.load(std::memory_order_acquire);
}

std::vector<JackPortService::Device> JackPortService::listDevices(bool input) {
    std::vector<Device> devices;
    std::optional<Shared::Answer> answer = shared_->ask({0, true, input, {}});
    if (answer)
        for (std::string& name : answer->names) devices.push_back(Device{std::move(name)});
    return devices;
}

std::uint32_t JackPortService::countDevices(bool input) {
    return devices_.take(input, listDevices(input));
}

std::optional<std::string> JackPortService::listedName(bool input, DeviceId id) {
    return devices_.name(input, id);
}

Result JackPortService::open(bool input, Handle& handle, DeviceId id, InputCallback callback,
                             Instance instance) {
    const Device* device = devices_.find(input, id);
    if (device == nullptr) return kBadDeviceId;
    if (input && callback == nullptr) return kError;
    if ((input ? openIn_ : openOut_) != 0) return kAllocated;
    const std::string name = device->name;
    // The list may have changed since it was counted: the name decides.
    const std::optional<Shared::Answer> answer = shared_->ask({0, false, input, name});
    if (!answer || !answer->reached) return kError;
    if (!answer->exists) return kBadDeviceId;

    const Handle opened = handles_.take();
    if (input) {
        shared_->callback.store(callback, std::memory_order_relaxed);
        shared_->instance.store(instance, std::memory_order_relaxed);
        shared_->inStarted.store(0, std::memory_order_relaxed);
        shared_->inHandle.store(opened, std::memory_order_seq_cst);
        openIn_ = opened;
    } else {
        shared_->outHandle.store(opened, std::memory_order_release);
        openOut_ = opened;
    }
    {
        std::lock_guard lock(shared_->mutex);
        (input ? shared_->wantIn : shared_->wantOut) = Shared::Target{opened, name};
        shared_->woken = true;
    }
    shared_->wake.notify_all();
    handle = opened;
    return kOk;
}

Result JackPortService::midiInStart(Handle handle) {
    if (handle == 0 || handle != openIn_) return kInvalidHandle;
    // jack_get_time() is safe to call once a client has been opened, as it was for the open.
    shared_->inStartUsecs.store(jack_get_time(), std::memory_order_relaxed);
    shared_->inStarted.store(handle, std::memory_order_release);
    return kOk;
}

std::optional<std::int32_t> JackPortService::midiInClock(Handle handle) {
    if (handle == 0 || handle != openIn_ ||
        shared_->inStarted.load(std::memory_order_acquire) != handle)
        return std::nullopt;
    const jack_time_t startedAt = shared_->inStartUsecs.load(std::memory_order_relaxed);
    return static_cast<std::int32_t>((jack_get_time() - startedAt) / 1000);
}

Result JackPortService::close(bool input, Handle handle) {
    if (handle == 0 || handle != (input ? openIn_ : openOut_)) return kInvalidHandle;
    if (input)
        closeInput();
    else
        closeOutput(handle);
    return kOk;
}

void JackPortService::closeInput() {
    Shared& s = *shared_;
    s.inHandle.store(0, std::memory_order_seq_cst);
    s.inStarted.store(0, std::memory_order_relaxed);
    // A cycle that began before the store may still deliver for the handle: wait for its end,
    // microseconds, since the process callback never blocks. A cycle beginning after it sees 0.
    const std::uint64_t cycle = s.cycles.load(std::memory_order_seq_cst);
    if ((cycle & 1) != 0)
        while (s.cycles.load(std::memory_order_seq_cst) == cycle) std::this_thread::yield();
    openIn_ = 0;
    {
        std::lock_guard lock(s.mutex);
        s.wantIn.reset();
        s.woken = true;
    }
    s.wake.notify_all();
}

void JackPortService::closeOutput(Handle handle) {
    Shared& s = *shared_;
    // What was accepted before the close and has not gone out yet still goes out (see
    // Shared::draining), unless the server has gone with it.
    const bool pending = s.up.load(std::memory_order_acquire) &&
                         s.consumed.load(std::memory_order_acquire) < s.pushed;
    if (pending) {
        s.drainUntil.store(s.pushed, std::memory_order_relaxed);
        s.draining.store(handle, std::memory_order_release);
    }
    s.outHandle.store(0, std::memory_order_release);
    openOut_ = 0;
    {
        std::lock_guard lock(s.mutex);
        if (pending) s.drainOut = s.wantOut;
        s.wantOut.reset();
        s.woken = true;
    }
    s.wake.notify_all();
}

Result JackPortService::midiOutShortMsg(Handle handle, std::uint32_t message) {
    if (handle == 0 || handle != openOut_) return kInvalidHandle;
    Shared& s = *shared_;
    if (!s.up.load(std::memory_order_acquire) || s.unanswered != 0) return kError;
    const MessageBytes bytes = unpackShortMessage(message);
    if (bytes.empty()) return kError;
    const OutEntry entry{handle, s.generation.load(std::memory_order_acquire), bytes};
    if (!s.sends.push(entry)) return kError;
    ++s.pushed;
    return kOk;
}

void JackPortService::setThruGate(bool outputAllowed, bool realTimeFiltered) {
    shared_->outputAllowed.store(outputAllowed, std::memory_order_relaxed);
    shared_->realTimeFiltered.store(realTimeFiltered, std::memory_order_relaxed);
}

}  // namespace tamblin::ports
