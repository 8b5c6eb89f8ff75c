// The JACK port service's worker thread: every request to the server (opening our client, the
// device list, connections), following the open devices by name, and the server's loss and
// return.

#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "ports/jack/JackLibrary.h"
#include "ports/jack/JackShared.h"

namespace tamblin::ports {

namespace {

using namespace std::chrono_literals;
using jack::Clock;

// How long the worker sleeps while connections settle or a closed output's sends go out, while it
// looks out for a device's port or a server, while all is as wanted, and between two tries to
// reach a server that has gone.
constexpr auto kSettlePause = 5ms;
constexpr auto kPendingPause = 50ms;
constexpr auto kIdlePause = 200ms;
constexpr auto kReopenPause = 500ms;
// How long a closed output's accepted sends may take to go out, counted from when its connection
// is in place (or, for a device that is not there, from the close), before they are given up and
// the device disconnected all the same (a server that stopped running cycles). A busy machine may
// take long to make the connection: up to kDrainPatienceUnconnected, not less.
constexpr auto kDrainPatience = 1s;
constexpr auto kDrainPatienceUnconnected = 10s;
// How long a closed port stays connected to its device: a Change that opens the same device again
// follows at once, and then the connection is kept rather than undone and made anew.
constexpr auto kDisconnectGrace = 200ms;
constexpr auto kDrainPatienceAtExit = 200ms;
// How often the worker makes sure the open devices are still connected to our ports, also when no
// port has come or gone (somebody else may have disconnected them).
constexpr auto kConnectionCheck = 1s;
// How often, and how far apart, the worker tries a client of its own before it takes a report of
// the server's loss for true (see serverAnswers()).
constexpr int kAnswerChecks = 4;
constexpr auto kAnswerCheckPause = 100ms;
// Counts of the cycle counter (two per cycle) after a connection was made or undone before the
// process thread surely runs with it: the cycle in progress may have begun before it, and the
// server switches to a new graph at the start of a cycle.
constexpr std::uint64_t kSettleCounts = 6;
// How long sends wait for the server's notice of their output's connection (see link()) before
// they go by the cycles alone.
constexpr auto kNoticePatience = 1s;

bool isOwnPort(const char* name) {
    const std::string_view full(name);
    return isTamblinClient(full.substr(0, full.find(':')), true);
}

}  // namespace

void JackPortService::Shared::run() {
    std::unique_lock lock(mutex);
    while (!stop) {
        const Wanted wanted{
            wantIn, wantOut,
            drainOuts.empty() ? std::nullopt : std::optional<Target>(drainOuts.front().target)};
        std::optional<Request> asked = std::move(request);
        request.reset();
        lock.unlock();

        Answer reply;
        const Handle drainedOut = pass(wanted, asked, reply);
        passes.fetch_add(1, std::memory_order_release);

        lock.lock();
        if (drainedOut != 0 && !drainOuts.empty() && drainOuts.front().target.handle == drainedOut)
            nextDrain(drainOuts);
        if (asked) {
            answer = std::move(reply);
            answered.notify_all();
        }
        if (stop) break;
        wake.wait_for(lock, pause(), [this] { return woken || stop; });
        woken = false;
    }
    // No output closes any more: the queue of closed ones is the worker's own from here.
    std::deque<jack::Drain> closing = std::move(drainOuts);
    stopping = true;
    lock.unlock();
    // What the closed outputs accepted before they closed goes out before the client does.
    const auto patience = Clock::now() + kDrainPatienceAtExit;
    while (client != nullptr && !closing.empty() && Clock::now() < patience) {
        if (drained(closing.front().target)) {
            nextDrain(closing);
            continue;
        }
        follow(false, closing.front().target, false);
        std::this_thread::sleep_for(1ms);
    }
    closeClient();
    lock.lock();
    finished = true;
    answered.notify_all();
}

// One pass of the worker, outside the lock: notices a lost server, reaches one when something
// wants it, answers `asked` into `reply` and follows the wanted devices. Returns the closed output
// whose sends have all gone out, or 0.
Handle JackPortService::Shared::pass(const Wanted& wanted, const std::optional<Request>& asked,
                                     Answer& reply) {
    // A report of a loss that the server, still answering, belies is left at that: the client
    // runs on, its connections carrying data.
    if (client != nullptr && client->reported.exchange(false, std::memory_order_acquire) &&
        !client->gone.load(std::memory_order_acquire) && !serverAnswers())
        client->gone.store(true, std::memory_order_release);
    if (client != nullptr && client->gone.load(std::memory_order_acquire)) loseClient();
    if (client == nullptr && (asked || wanted.in || wanted.out)) {
        // Right after a loss, every client of the process is given time to learn of it first
        // (see loseClient()); a question waits that long, well within its patience. Other
        // questions try at once, the follower every kReopenPause.
        if (asked) std::this_thread::sleep_until(openAfter);
        if (Clock::now() >= openAfter && (asked || Clock::now() >= nextOpen)) {
            // The same failure again says nothing new: libjack's messages show once.
            const jack::QuietJack quiet(openFailedBefore);
            openFailedBefore = !openClient();
            if (openFailedBefore) nextOpen = Clock::now() + kReopenPause;
        }
    }
    if (asked) reply = serve(*asked);
    if (client == nullptr) return 0;

    const bool portsChanged = client->portsChanged.exchange(false);
    const bool due = Clock::now() >= nextConnectionCheck;
    if (due) nextConnectionCheck = Clock::now() + kConnectionCheck;
    follow(true, wanted.in, portsChanged || due);
    // A closed output is followed until what it accepted has gone out.
    const std::optional<Target>& closingOut = wanted.closingOut;
    const bool draining = closingOut && !drained(*closingOut);
    follow(false, draining ? closingOut : wanted.out, portsChanged || due);
    return closingOut && !draining ? closingOut->handle : 0;
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
// free them at the open.) A busy server can refuse one open: a lost server refuses every one at
// once, so a few tries over a short while tell the two apart.
bool JackPortService::Shared::serverAnswers() {
    for (int attempt = 0; attempt < kAnswerChecks; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(kAnswerCheckPause);
        jack_client_t* check = nullptr;
        {
            const jack::QuietJack quiet;
            check = jack::openClient(kClientName);
        }
        if (check != nullptr) {
            jack_client_close(check);
            return true;
        }
    }
    return false;
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

// Whether the closed output `closing` has no more sends to go out to its device, or they are
// given up on: its server has gone, or the patience has run out (see kDrainPatience).
bool JackPortService::Shared::drained(const Target& closing) {
    if (draining.load(std::memory_order_acquire) != closing.handle) return true;
    const Clock::time_point now = Clock::now();
    if (drainSeen != closing.handle) {
        drainSeen = closing.handle;
        drainSince = now;
        drainRoutedSince.reset();
    }
    // Acquire on both: drainUntil was published by the release store of `draining`, and the
    // process thread's release of `consumed` follows the sends it wrote.
    const auto left = [](const std::atomic<std::uint64_t>& until,
                         const std::atomic<std::uint64_t>& done) -> std::uint64_t {
        const std::uint64_t u = until.load(std::memory_order_acquire);
        const std::uint64_t d = done.load(std::memory_order_acquire);
        return u > d ? u - d : 0;
    };
    const auto leftNow = [&] {
        return left(drainUntil, consumed) + left(drainUntilLong, consumedLong);
    };
    if (leftNow() == 0) return true;
    if (!drainRoutedSince && outRouted.load() == closing.handle) drainRoutedSince = now;
    const auto there = [&] {
        const jack::QuietJack quiet;
        return client != nullptr &&
               jack_port_by_name(client->jack, closing.name.c_str()) != nullptr;
    };
    const char* why = nullptr;
    if (!up.load()) {
        why = "the JACK server has gone";
    } else if (drainRoutedSince) {
        if (now - *drainRoutedSince >= kDrainPatience)
            why = "the server did not take them within a second of the connection";
    } else if (there()) {
        if (now - drainSince >= kDrainPatienceUnconnected)
            why = "the connection was not made within ten seconds";
    } else if (now - drainSince >= kDrainPatience) {
        why = "the device is not there";
    }
    if (why == nullptr) return false;
    // Given up: the process thread drops them from its next cycle on, and counts what it drops.
    // A cycle under way may still send some (a stopped server's clients finish the cycle it
    // began), so what is left and what was dropped are read between two cycles. The store and
    // the loads of `cycles` are sequentially consistent with the process callback's increments
    // and its load of givenUp: a cycle either sees the handle or ends before the count. Must not
    // be weakened.
    const std::uint64_t droppedBefore = givenUpDropped.load(std::memory_order_relaxed);
    givenUp.store(closing.handle, std::memory_order_seq_cst);
    const auto patience = Clock::now() + kDrainPatience;
    std::uint64_t count = 0;
    for (;;) {
        const std::uint64_t cycle = cycles.load(std::memory_order_seq_cst);
        count = leftNow() + givenUpDropped.load(std::memory_order_relaxed) - droppedBefore;
        const bool between = (cycle & 1) == 0 && cycles.load(std::memory_order_seq_cst) == cycle;
        if (between || Clock::now() >= patience) break;
        std::this_thread::yield();
    }
    if (count == 0) return true;  // they went out after all
    // Accepted sends that do not go out are a loss, and said so.
    std::fprintf(stderr,
                 "tamblin: %llu messages for %s, accepted before its output closed, did not go "
                 "out: %s\n",
                 static_cast<unsigned long long>(count), closing.name.c_str(), why);
    return true;
}

// Done with the first of `drains` (under the mutex, where closeOutput adds to them): the next
// closed output's sends go out, or none are waiting any more.
void JackPortService::Shared::nextDrain(std::deque<jack::Drain>& drains) {
    drains.pop_front();
    if (drains.empty()) {
        draining.store(0, std::memory_order_release);
        return;
    }
    drainUntil.store(drains.front().until, std::memory_order_relaxed);
    drainUntilLong.store(drains.front().untilLong, std::memory_order_relaxed);
    // Release: publishes drainUntil (see closeOutput).
    draining.store(drains.front().target.handle, std::memory_order_release);
}

bool JackPortService::Shared::openClient() {
    jack_client_t* jack = jack::openClient(kClientName);
    if (jack == nullptr) return false;
    auto opened = std::make_unique<Client>(*this, jack, ++generations);
    generation.store(opened->generation, std::memory_order_release);
    jack::ClientCallbacks callbacks;
    callbacks.process = &Client::process;
    callbacks.arg = opened.get();
    callbacks.serverGone = &Client::onShutdown;
    callbacks.serverGoneArg = opened.get();
    callbacks.reported = &Client::onReport;
    callbacks.portRegistration = &Client::onPortRegistration;
    callbacks.portConnect = &Client::onPortConnect;
    if (!jack::startClient(
            jack, callbacks,
            {{kInputPortName, false, &opened->in}, {kOutputPortName, true, &opened->out}})) {
        if (!jack::closeClient(jack, opened->gone.load(std::memory_order_acquire)))
            retired.push_back(std::move(opened));
        return false;
    }
    client = std::move(opened);
    // A new client has no connections: the followed devices are connected afresh.
    inFollow.connected.clear();
    outFollow.connected.clear();
    outFollow.noticesWanted.reset();
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
    if (!jack::closeClient(client->jack, true)) retired.push_back(std::move(client));
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

// ---- following the open devices --------------------------------------------------------------

// Connects (`make`) or disconnects our port of a direction and `device`; true when done.
bool JackPortService::Shared::link(bool input, Follow& f, bool make, const std::string& device) {
    const std::string ourName = jack_port_name(input ? client->in : client->out);
    const char* source = input ? device.c_str() : ourName.c_str();
    const char* destination = input ? ourName.c_str() : device.c_str();
    const std::uint64_t noticesBefore = client->linkNotices.load(std::memory_order_acquire);
    const int result = make ? jack_connect(client->jack, source, destination)
                            : jack_disconnect(client->jack, source, destination);
    // What comes in over a new connection is the new device's from the first event on: the input
    // waits only for a device disconnected before to have stopped. Sends wait for the connection,
    // which a server may take up a cycle or two after it has answered.
    if (input && make)
        f.settledAt = std::max(f.settledAt, cycles.load());
    else
        f.settledAt = cycles.load() + kSettleCounts;
    // PipeWire answers before it has set the connection up, and takes up to tens of milliseconds
    // more on a busy machine, whatever its period: what an output writes meanwhile is lost. Its
    // notice of the connection comes once our end is set up; sends wait for it too, and then for
    // the cycles above. (jackd's notice follows at once.)
    if (!input && result == 0) {
        f.noticesWanted = f.noticesWanted.value_or(noticesBefore) + 1;
        f.noticeDeadline = Clock::now() + kNoticePatience;
    }
    return result == 0 || (make && result == EEXIST);
}

// Whether the server has told of the output's connections made or undone, or has been waited
// for long enough; the cycles to settle count from then.
bool JackPortService::Shared::noticed(Follow& f) {
    if (!f.noticesWanted) return true;
    if (client->linkNotices.load(std::memory_order_acquire) < *f.noticesWanted &&
        Clock::now() < f.noticeDeadline)
        return false;
    f.noticesWanted.reset();
    f.settledAt = std::max(f.settledAt, cycles.load() + kSettleCounts);
    return true;
}

// Whether our port of a direction is connected to the device's; asked only of a port that is
// there, which libjack would otherwise complain of.
bool JackPortService::Shared::connectedTo(bool input, const std::string& device) {
    const jack::QuietJack quiet;  // a port that goes at that moment is no error
    return jack_port_by_name(client->jack, device.c_str()) != nullptr &&
           jack_port_connected_to(input ? client->in : client->out, device.c_str());
}

// Keeps one of our ports connected to the device that the open port of its direction follows,
// and off the device of a port closed before. Publishes the port's handle to the process thread
// once the connections it made have settled, so that nothing of a closed port's device reaches a
// new handle, nor a new handle's sends the closed port's device.
void JackPortService::Shared::follow(bool input, const std::optional<Target>& want, bool check) {
    Follow& f = input ? inFollow : outFollow;
    std::atomic<Handle>& routed = input ? inRouted : outRouted;
    const Handle handle = want ? want->handle : 0;
    if (f.handle != handle) check = true;
    f.handle = handle;
    if (want)
        f.closedAt.reset();
    else if (!f.closedAt)
        f.closedAt = Clock::now();
    if (!f.connected.empty() && (!want || want->name != f.connected)) {
        if (!want && !stopping && Clock::now() - *f.closedAt < kDisconnectGrace) return;
        if (connectedTo(input, f.connected) && !link(input, f, false, f.connected) &&
            connectedTo(input, f.connected))
            return;  // still connected: tried again next time, and nothing is published
        f.connected.clear();
    }
    if (!want) return;
    // Nothing but the wanted device comes in once a device disconnected before has stopped: the
    // input is ready before its connection is made, which the server may take up before it has
    // answered.
    if (input && routed.load() != handle && cycles.load() >= f.settledAt) routed.store(handle);
    if (check || f.connected.empty()) connectWanted(input, f, *want);
    if (routed.load() != handle && (input || noticed(f)) && cycles.load() >= f.settledAt)
        routed.store(handle);
}

void JackPortService::Shared::connectWanted(bool input, Follow& f, const Target& want) {
    f.connected.clear();
    if (jack_port_by_name(client->jack, want.name.c_str()) == nullptr) {
        // Not there (yet, or any more): looked for again at every pass.
    } else if (connectedTo(input, want.name)) {
        f.connected = want.name;
    } else {
        // Tried again at every pass while it fails: silent after the first try.
        const jack::QuietJack quiet(f.triedFor == want.handle);
        f.triedFor = want.handle;
        if (link(input, f, true, want.name)) f.connected = want.name;
    }
}

}  // namespace tamblin::ports
