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

    const Handle out = s.outHandle.load(std::memory_order_acquire);
    const Handle routed = s.outRouted.load(std::memory_order_acquire);
    const bool outReady = out != 0 && routed == out;
    // The close barrier (see above): must stay sequentially consistent.
    const Handle in = s.inHandle.load(std::memory_order_seq_cst);
    // Acquire: inStarted publishes inStartUsecs, stored before it.
    const bool inReady = in != 0 && s.inRouted.load(std::memory_order_acquire) == in &&
                         s.inStarted.load(std::memory_order_acquire) == in;
    const ThruGate gate{s.outputAllowed.load(std::memory_order_relaxed),
                        s.realTimeFiltered.load(std::memory_order_relaxed)};
    const bool direct = s.options.directThru && inReady && outReady && gate.outputAllowed;

    const std::uint64_t taken = client.sendQueued(outBuffer, events, out, routed, direct);
    // Release: the worker reads `consumed` to know a closed output's sends have gone out.
    if (taken != 0) s.consumed.fetch_add(taken, std::memory_order_release);

    if (inReady && events > 0) client.deliver(inBuffer, events, in, outBuffer, direct, gate);
    // The close barrier's end of the cycle: must stay sequentially consistent.
    s.cycles.fetch_add(1, std::memory_order_seq_cst);
    return 0;
}

// Queued sends first, at the start of the cycle: those of the open port, and those a port closed
// since accepted before its close (see CycleShared::draining). They wait while their port's
// connections are being made. The others (of a port closed long ago, or made to a client whose
// server has gone) are dropped. Room is left for what direct thru forwards of this cycle's input.
// Returns how many sends were taken from the queue.
std::uint64_t JackPortService::Shared::Client::sendQueued(void* outBuffer, jack_nframes_t events,
                                                          Handle out, Handle routed,
                                                          bool direct) noexcept {
    Shared& s = shared;
    const Handle closing = s.draining.load(std::memory_order_acquire);
    const std::size_t room = direct ? events * kRoomPerEvent : 0;
    std::uint64_t taken = 0;
    while (const jack::OutEntry* entry = s.sends.front()) {
        const bool current = entry->generation == generation;
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
    return taken;
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
    // Relaxed: both were stored before inHandle, whose sequentially consistent load ordered them.
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
