#include "tools/JackEndpoints.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "ports/RecordRing.h"
#include "ports/jack/JackLibrary.h"

namespace tamblin::tools {

namespace {

using namespace std::chrono_literals;

// The queues between a client's process thread and the program hold whole events of any size,
// each with when a sink received it, on the JACK clock (a source's are 0).
struct EventTime {
    std::uint64_t usecs = 0;
};
using EventQueue = ports::RecordRing<EventTime>;
constexpr std::size_t kQueueBytes = std::size_t{4} << 20;

// What libjack may still call into after its client's server was killed, kept (reachable) for the
// rest of the run.
void keepForever(std::shared_ptr<void> state) {
    static std::mutex mutex;
    static auto* kept = new std::vector<std::shared_ptr<void>>();
    std::lock_guard lock(mutex);
    kept->push_back(std::move(state));
}

template <typename Poll>
bool pollUntil(std::chrono::milliseconds timeout, Poll done) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The client and port of an endpoint, and whether the server shut the client down.
struct Endpoint {
    jack_client_t* client = nullptr;
    jack_port_t* port = nullptr;
    std::atomic<bool> gone{false};
    std::atomic<std::uint64_t> xruns{0};

    void open(const std::string& name, bool output, JackProcessCallback process, void* self) {
        client = ports::jack::openClient(name.c_str());
        if (client == nullptr) throw std::runtime_error("cannot open JACK client " + name);
        ports::jack::ClientCallbacks callbacks;
        callbacks.process = process;
        callbacks.arg = self;
        callbacks.serverGone = [](jack_status_t, const char*, void* e) {
            static_cast<Endpoint*>(e)->gone.store(true, std::memory_order_release);
        };
        callbacks.serverGoneArg = this;
        jack_set_xrun_callback(
            client,
            [](void* e) {
                static_cast<Endpoint*>(e)->xruns.fetch_add(1, std::memory_order_relaxed);
                return 0;
            },
            this);
        if (!ports::jack::startClient(client, callbacks,
                                      {{output ? "out" : "in", output, &port}})) {
            jack_client_close(client);
            throw std::runtime_error("cannot start JACK client " + name);
        }
    }

    // Closes the client, or leaves a dead one to libjack and keeps `state` for it.
    void close(std::shared_ptr<void> state) {
        if (!ports::jack::closeClient(client, gone.load(std::memory_order_acquire)))
            keepForever(std::move(state));
    }
};

}  // namespace

struct JackSource::State : Endpoint {
    std::size_t perCycle = 0;
    std::mutex sending;  // the queue has one producer at a time
    EventQueue queue{kQueueBytes};
    std::atomic<std::uint64_t> queued{0};
    std::atomic<std::uint64_t> written{0};  // or refused
    std::atomic<std::uint64_t> refused{0};
    std::atomic<std::uint64_t> cycles{0};
    std::atomic<std::int64_t> lastWriteLag{0};  // microseconds
    std::atomic<std::uint64_t> lastWriteCycle{0};
    std::atomic<bool> holding{false};
    std::atomic<bool> held{false};

    static int process(jack_nframes_t frames, void* self) noexcept {
        auto& s = *static_cast<State*>(self);
        if (s.holding.load(std::memory_order_acquire)) {
            s.held.store(true, std::memory_order_release);
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (s.holding.load(std::memory_order_acquire) &&
                   std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        void* buffer = jack_port_get_buffer(s.port, frames);
        jack_midi_clear_buffer(buffer);
        std::uint64_t n = 0;
        std::uint64_t refused = 0;
        std::size_t cost = 0;
        bool longWritten = false;
        EventQueue::Record event{};
        while (s.queue.front(event)) {
            if (s.perCycle != 0 && n == s.perCycle) break;
            // Our clients' budget for a cycle that carries a long event; a larger event goes
            // alone.
            const bool isLong = event.size > 3;
            const std::size_t eventCost = event.size + ports::jack::kEventCost;
            if (n != 0 && (isLong || longWritten) && cost + eventCost > ports::jack::kCycleBudget)
                break;
            cost += eventCost;
            longWritten = longWritten || isLong;
            const auto offset = static_cast<jack_nframes_t>(std::min<std::uint64_t>(n, frames - 1));
            if (jack_midi_event_write(buffer, offset, event.bytes, event.size) != 0) {
                // Waits for the next cycle when the buffer is full; but an event that does not go
                // even into an empty buffer never will (PipeWire's libjack takes no empty event).
                if (jack_midi_get_event_count(buffer) != 0) break;
                ++refused;
            }
            s.queue.pop(event);
            ++n;
        }
        if (refused != 0) s.refused.fetch_add(refused, std::memory_order_relaxed);
        if (n != 0) {
            // The cycle's start as readers' time stamps take it.
            jack_nframes_t frame = 0;
            jack_time_t cycleStart = 0;
            jack_time_t nextStart = 0;
            float period = 0;
            const jack_time_t now = jack_get_time();
            if (jack_get_cycle_times(s.client, &frame, &cycleStart, &nextStart, &period) != 0)
                cycleStart = now;
            s.lastWriteLag.store(now > cycleStart ? static_cast<std::int64_t>(now - cycleStart) : 0,
                                 std::memory_order_relaxed);
            s.lastWriteCycle.store(cycleStart, std::memory_order_relaxed);
        }
        s.written.fetch_add(n, std::memory_order_release);
        s.cycles.fetch_add(1, std::memory_order_release);
        return 0;
    }
};

JackSource::JackSource(const std::string& client, std::size_t perCycle)
    : state_(std::make_shared<State>()) {
    state_->perCycle = perCycle;
    state_->open(client, true, &State::process, state_.get());
    port_ = jack_port_name(state_->port);
}

JackSource::~JackSource() {
    state_->close(state_);
}

bool JackSource::send(const Bytes& bytes) {
    std::lock_guard lock(state_->sending);
    while (!state_->queue.push({}, bytes.data(), bytes.size())) {
        if (state_->gone.load(std::memory_order_acquire)) return false;
        std::this_thread::sleep_for(1ms);
    }
    state_->queued.fetch_add(1, std::memory_order_release);
    return true;
}

bool JackSource::flushed(std::chrono::milliseconds timeout) const {
    const std::uint64_t queued = state_->queued.load(std::memory_order_acquire);
    const auto gone = [&] { return state_->gone.load(std::memory_order_acquire); };
    if (!pollUntil(timeout, [&] { return state_->written.load() >= queued || gone(); }) || gone())
        return false;
    // Two more cycles: every reader of the cycle the last event went out in has had it.
    const std::uint64_t cycle = state_->cycles.load();
    return pollUntil(timeout, [&] { return state_->cycles.load() >= cycle + 2 || gone(); }) &&
           !gone();
}

std::uint64_t JackSource::refused() const {
    return state_->refused.load(std::memory_order_relaxed);
}

bool JackSource::connected() const {
    return jack_port_connected(state_->port) > 0;
}

std::uint64_t JackSource::cycles() const {
    return state_->cycles.load(std::memory_order_acquire);
}

bool JackSource::holdCycle(std::chrono::milliseconds timeout) {
    state_->held.store(false, std::memory_order_relaxed);
    state_->holding.store(true, std::memory_order_release);
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!state_->held.load(std::memory_order_acquire)) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void JackSource::release() {
    state_->holding.store(false, std::memory_order_release);
}

std::uint64_t JackSource::lastWriteCycle() const {
    return state_->lastWriteCycle.load(std::memory_order_relaxed);
}

std::chrono::microseconds JackSource::lastWriteLag() const {
    return std::chrono::microseconds(state_->lastWriteLag.load(std::memory_order_relaxed));
}

bool JackSource::waitForConnection(std::chrono::milliseconds timeout) const {
    return pollUntil(timeout, [&] { return connected(); });
}

struct JackSink::State : Endpoint {
    EventQueue queue{kQueueBytes};
    std::atomic<std::uint64_t> lost{0};
    // Cycles the server ran without this client: where the frame count of one cycle's start is
    // not the last one's plus its length. The first few are kept, each as the JACK time of the
    // cycle that came after it.
    jack_nframes_t lastFrame = 0;
    jack_nframes_t lastFrames = 0;
    std::atomic<std::uint64_t> skipped{0};
    static constexpr std::size_t kSkipsKept = 16;
    std::array<std::atomic<std::uint64_t>, kSkipsKept> skipTimes{};
    std::atomic<std::uint64_t> periodUsecs{0};
    mutable std::mutex reading;  // the queue has one consumer at a time
    std::vector<Bytes> log;
    std::vector<std::uint64_t> times;

    static int process(jack_nframes_t frames, void* self) noexcept {
        auto& s = *static_cast<State*>(self);
        void* buffer = jack_port_get_buffer(s.port, frames);
        const jack_nframes_t count = jack_midi_get_event_count(buffer);
        jack_nframes_t frame = 0;
        jack_time_t start = 0, next = 0;
        float period = 0;
        if (jack_get_cycle_times(s.client, &frame, &start, &next, &period) != 0)
            start = jack_get_time();
        if (s.lastFrames != 0 && frame - s.lastFrame != s.lastFrames) {
            const std::uint64_t n = s.skipped.fetch_add(1, std::memory_order_relaxed);
            if (n < kSkipsKept) s.skipTimes[n].store(start, std::memory_order_relaxed);
        }
        s.lastFrame = frame;
        s.lastFrames = frames;
        const jack_nframes_t rate = jack_get_sample_rate(s.client);
        if (rate != 0)
            s.periodUsecs.store(std::uint64_t{frames} * 1000000u / rate, std::memory_order_relaxed);
        for (jack_nframes_t i = 0; i < count; ++i) {
            jack_midi_event_t in;
            if (jack_midi_event_get(&in, buffer, i) != 0) continue;
            // As the monitor times its input (see ports/jack/JackProcess.cpp).
            const EventTime time{start + (rate != 0 ? jack_time_t{in.time} * 1000000u / rate : 0)};
            if (!s.queue.push(time, in.buffer, in.size))
                s.lost.fetch_add(1, std::memory_order_relaxed);
        }
        return 0;
    }

    // Under `reading`.
    void drain() {
        EventQueue::Record event{};
        while (queue.front(event)) {
            log.emplace_back(event.bytes, event.bytes + event.size);
            times.push_back(event.header.usecs);
            queue.pop(event);
        }
    }
    void check() const {
        if (lost.load(std::memory_order_relaxed) != 0)
            throw std::runtime_error("a JACK sink lost events: its queue was full");
    }
};

JackSink::JackSink(const std::string& client) : state_(std::make_shared<State>()) {
    state_->open(client, false, &State::process, state_.get());
    port_ = jack_port_name(state_->port);
    // Drains the queue as events come, whether the test reads them or not.
    drainer_ = std::thread([state = state_, stop = stop_] {
        while (!stop->load()) {
            {
                std::lock_guard lock(state->reading);
                state->drain();
            }
            std::this_thread::sleep_for(2ms);
        }
    });
}

JackSink::~JackSink() {
    stop_->store(true);
    drainer_.join();
    state_->close(state_);
}

std::vector<Bytes> JackSink::received() const {
    std::lock_guard lock(state_->reading);
    state_->drain();
    state_->check();
    return state_->log;
}

std::vector<std::uint64_t> JackSink::times() const {
    std::lock_guard lock(state_->reading);
    state_->drain();
    return state_->times;
}

std::vector<Bytes> JackSink::take() {
    std::lock_guard lock(state_->reading);
    state_->drain();
    state_->check();
    state_->times.clear();
    return std::exchange(state_->log, {});
}

std::size_t JackSink::count() const {
    std::lock_guard lock(state_->reading);
    state_->drain();
    state_->check();
    return state_->log.size();
}

std::uint64_t JackSink::xruns() const {
    return state_->xruns.load(std::memory_order_relaxed);
}

std::vector<std::uint64_t> JackSink::skippedCycles() const {
    std::vector<std::uint64_t> found;
    const std::uint64_t n = std::min<std::uint64_t>(state_->skipped.load(), State::kSkipsKept);
    for (std::uint64_t i = 0; i < n; ++i) found.push_back(state_->skipTimes[i].load());
    return found;
}

std::uint64_t JackSink::skippedCycleCount() const {
    return state_->skipped.load(std::memory_order_relaxed);
}

std::uint64_t JackSink::periodUsecs() const {
    return state_->periodUsecs.load(std::memory_order_relaxed);
}

bool JackSink::missedCycleAround(std::uint64_t before, std::uint64_t after) const {
    const std::uint64_t reach = 2 * periodUsecs();
    for (const std::uint64_t at : skippedCycles())
        if (before + reach >= at && after <= at + reach) return true;
    return false;
}

bool JackSink::missedCycleBetween(std::uint64_t from, std::uint64_t to) const {
    const std::uint64_t reach = 2 * periodUsecs();
    for (const std::uint64_t at : skippedCycles())
        if (at > from && at <= to + reach) return true;
    return false;
}

bool JackSink::waitForCount(std::size_t count, std::chrono::milliseconds timeout) const {
    return pollUntil(timeout, [&] { return this->count() >= count; });
}

struct JackCycles::State {
    jack_client_t* client = nullptr;
    std::atomic<std::uint64_t> cycles{0};
};

JackCycles::JackCycles(const std::string& client) : state_(new State) {
    state_->client = ports::jack::openClient(client.c_str());
    if (state_->client == nullptr) throw std::runtime_error("cannot open JACK client " + client);
    ports::jack::ClientCallbacks callbacks;
    callbacks.process = [](jack_nframes_t, void* self) {
        static_cast<State*>(self)->cycles.fetch_add(1, std::memory_order_relaxed);
        return 0;
    };
    callbacks.arg = state_.get();
    // On a throw, the member's deleter closes the client.
    if (!ports::jack::startClient(state_->client, callbacks, {}))
        throw std::runtime_error("cannot start JACK client " + client);
}

void JackCycles::Close::operator()(State* state) const {
    if (state->client != nullptr) jack_client_close(state->client);
    delete state;
}

bool JackCycles::waitForCycles(std::uint64_t count, std::chrono::milliseconds timeout) const {
    const std::uint64_t from = state_->cycles.load(std::memory_order_relaxed);
    return pollUntil(
        timeout, [&] { return state_->cycles.load(std::memory_order_relaxed) >= from + count; });
}

}  // namespace tamblin::tools
