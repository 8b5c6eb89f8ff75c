// The JACK process thread: queued sends, direct thru and the input callback, once a cycle. It
// allocates nothing and takes no lock; it meets the other threads through the atomics and the
// send queue of CycleShared.

#include <jack/midiport.h>

#include <algorithm>

#include "ports/jack/JackShared.h"

namespace tamblin::ports {

namespace {

// Room left in the output buffer for each event the input brought in a cycle, so that direct thru
// finds room after the queued sends: JACK keeps a short message and its header in at most 12
// bytes.
constexpr std::size_t kRoomPerEvent = 16;
// How long direct thru holds a message for an output being connected: longer than a server takes
// to connect a port, shorter than a Change that waits for the user's choice, after which what was
// held would only be a late burst.
constexpr jack_time_t kHoldUsecs = 500000;

}  // namespace

int JackPortService::Shared::Client::process(jack_nframes_t frames, void* self) noexcept {
    auto& client = *static_cast<Client*>(self);
    Shared& s = client.shared;
    // Odd from here to the end: midiInClose waits for a cycle that may still use its handle.
    // Sequentially consistent with the load of inHandle below and closeInput's store and loads:
    // that pairing is the close barrier, and must not be weakened.
    s.cycles.fetch_add(1, std::memory_order_seq_cst);

    void* outBuffer = jack_port_get_buffer(client.out, frames);
    jack_midi_clear_buffer(outBuffer);
    void* inBuffer = jack_port_get_buffer(client.in, frames);
    const jack_nframes_t events = jack_midi_get_event_count(inBuffer);

    // An output of ours is open or awaited at every moment of a Change: closeOutput sets
    // outAwaited before it clears outHandle, and a Change's open stores outHandle before
    // setThruGate clears outAwaited, all with release. With these acquire loads, an outHandle of
    // 0 read first comes with outAwaited set, and an outAwaited found clear comes with the
    // handle stored before it, which the second load reads. Must not be weakened or reordered.
    Handle out = s.outHandle.load(std::memory_order_acquire);
    const bool awaited = s.outAwaited.load(std::memory_order_acquire);
    if (out == 0 && !awaited) out = s.outHandle.load(std::memory_order_acquire);
    const Handle routed = s.outRouted.load(std::memory_order_acquire);
    const bool outReady = out != 0 && routed == out;
    // The close barrier (see above): must stay sequentially consistent.
    const Handle in = s.inHandle.load(std::memory_order_seq_cst);
    // Acquire: inStarted publishes inStartUsecs, stored before it.
    const bool inReady = in != 0 && s.inRouted.load(std::memory_order_acquire) == in &&
                         s.inStarted.load(std::memory_order_acquire) == in;
    Thru thru;
    thru.gate = {s.outputAllowed.load(std::memory_order_relaxed),
                 s.realTimeFiltered.load(std::memory_order_relaxed)};
    // Direct thru decides on what arrives while an output of ours is open, or awaited by a Change,
    // and on everything the gate keeps back: the refresh pump forwards only the rest (to an ALSA
    // output).
    thru.direct = s.options.directThru;
    thru.jackOutput = thru.direct && (out != 0 || awaited);
    thru.ready = thru.jackOutput && outReady;

    jack_nframes_t frame = 0;
    jack_time_t cycleStart = 0;
    jack_time_t nextStart = 0;
    float period = 0;
    if (jack_get_cycle_times(client.jack, &frame, &cycleStart, &nextStart, &period) != 0)
        cycleStart = jack_get_time();

    const std::uint64_t taken =
        client.sendQueued(outBuffer, events, out, routed, thru.ready && inReady);
    // Release: the worker reads `consumed` to know a closed output's sends have gone out.
    if (taken != 0) s.consumed.fetch_add(taken, std::memory_order_release);
    // Held messages go nowhere once no output of ours is open or awaited.
    client.sendHeld(outBuffer, cycleStart, thru.ready);
    if (!thru.jackOutput) client.heldCount = 0;

    if (inReady && events > 0) client.deliver(inBuffer, events, in, outBuffer, cycleStart, thru);
    // The close barrier's end of the cycle: must stay sequentially consistent.
    s.cycles.fetch_add(1, std::memory_order_seq_cst);
    return 0;
}

// Queued sends first, at the start of the cycle: those of the open port, and those ports closed
// since accepted before their close (see CycleShared::draining), one port after the other. They
// wait while their port's connections are being made, and for the ports closed before theirs. The
// others (of a port closed long ago, or made to a client whose server has gone) are dropped. Room
// is left for what direct thru forwards of this cycle's input. Returns how many sends were taken
// from the queue.
std::uint64_t JackPortService::Shared::Client::sendQueued(void* outBuffer, jack_nframes_t events,
                                                          Handle out, Handle routed,
                                                          bool direct) noexcept {
    Shared& s = shared;
    const Handle closing = s.draining.load(std::memory_order_acquire);
    const Handle lastClosing = s.drainLast.load(std::memory_order_acquire);
    const std::size_t room = direct ? events * kRoomPerEvent : 0;
    std::uint64_t taken = 0;
    while (const jack::OutEntry* entry = s.sends.front()) {
        const bool current = entry->generation == generation;
        // Handles only grow: one above the closing port's, up to the last closed, is a closed
        // port's whose turn is still to come.
        const bool waiting =
            closing != 0 && entry->handle > closing && entry->handle <= lastClosing;
        if (!current || entry->handle == 0 ||
            (entry->handle != out && entry->handle != closing && !waiting)) {
            s.sends.pop();
            ++taken;
            continue;
        }
        if (waiting || routed != entry->handle) break;
        if (jack_midi_max_event_size(outBuffer) < room + entry->bytes.size) break;
        if (jack_midi_event_write(outBuffer, 0, entry->bytes.data(), entry->bytes.size) != 0) break;
        s.sends.pop();
        ++taken;
    }
    return taken;
}

// Direct thru's held messages, oldest first: those held longer than kHoldUsecs are dropped, and
// once the output is connected the others go out at the start of the cycle, as many as fit.
void JackPortService::Shared::Client::sendHeld(void* outBuffer, jack_time_t now,
                                               bool ready) noexcept {
    while (heldCount > 0) {
        const Held& first = held[heldFirst];
        const bool stale = now > first.at && now - first.at > kHoldUsecs;
        if (!stale) {
            if (!ready) break;
            if (jack_midi_event_write(outBuffer, 0, first.bytes.data(), first.bytes.size) != 0)
                break;
        }
        heldFirst = (heldFirst + 1) % kHeldCapacity;
        --heldCount;
    }
}

// Holds a message for the output behind those held before; a message that finds no room does not
// go out.
void JackPortService::Shared::Client::hold(const jack_midi_event_t& event,
                                           jack_time_t at) noexcept {
    if (heldCount == kHeldCapacity) return;
    Held& slot = held[(heldFirst + heldCount) % kHeldCapacity];
    slot.bytes.size = event.size;
    std::copy_n(event.buffer, event.size, slot.bytes.bytes.begin());
    slot.at = at;
    ++heldCount;
}

// Hands each short message of the cycle to the input callback. With direct thru, the gate as it
// stands now decides: a message it keeps back never goes out, and while an output of ours is open
// or awaited one it lets through goes out in this cycle when the output is connected and nothing
// older waits, else held behind the older ones.
void JackPortService::Shared::Client::deliver(void* inBuffer, jack_nframes_t events, Handle handle,
                                              void* outBuffer, jack_time_t cycleStart,
                                              Thru thru) noexcept {
    Shared& s = shared;
    const jack_time_t startedAt = s.inStartUsecs.load(std::memory_order_relaxed);
    if (cycleStart < startedAt) return;  // the cycle began before midiInStart
    const jack_nframes_t rate = jack_get_sample_rate(jack);
    // Relaxed: both were stored before inHandle, whose sequentially consistent load ordered them.
    const InputCallback callback = s.callback.load(std::memory_order_relaxed);
    const Instance instance = s.instance.load(std::memory_order_relaxed);
    const bool fine = s.fineTimes.load(std::memory_order_relaxed);
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
        lastTime = std::max(lastTime, at - startedAt);
        const auto time = static_cast<std::uint32_t>(lastTime / 1000);
        const std::uint32_t micros =
            fine ? static_cast<std::uint32_t>(lastTime % 1000) << kMimMicrosShift : 0;

        const bool out = goesOut(*message, thru.gate);
        const bool decided = thru.direct && (thru.jackOutput || !out);
        if (decided && out) {
            const jack_nframes_t offset = std::max(event.time, lastOffset);
            if (thru.ready && heldCount == 0 &&
                jack_midi_event_write(outBuffer, offset, event.buffer, event.size) == 0)
                lastOffset = offset;
            else
                hold(event, at);
        }
        callback(handle, (decided ? kMimDataDecided : kMimData) | micros, instance, *message, time);
    }
}

// jack2 calls only this one of the two shutdown callbacks when both are set, and only when the
// server has gone.
void JackPortService::Shared::Client::onShutdown(jack_status_t, const char*, void* self) noexcept {
    auto& client = *static_cast<Client*>(self);
    client.gone.store(true, std::memory_order_release);
    // Sends fail from now on, not only once the worker has noticed.
    if (client.shared.generation.load(std::memory_order_acquire) == client.generation)
        client.shared.up.store(false, std::memory_order_release);
    client.shared.wakeWorker();
}

// PipeWire's libjack (0.3) calls only this one, and not only when the server has gone: also when a
// request of the client failed (a connection to a port that went away meanwhile), after which the
// client goes on working. The worker finds out which.
void JackPortService::Shared::Client::onReport(void* self) noexcept {
    auto& client = *static_cast<Client*>(self);
    client.reported.store(true, std::memory_order_release);
    client.shared.wakeWorker();
}

void JackPortService::Shared::Client::onPortRegistration(jack_port_id_t, int, void* self) noexcept {
    static_cast<Client*>(self)->portsChanged.store(true, std::memory_order_release);
}

}  // namespace tamblin::ports
