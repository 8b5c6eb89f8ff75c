// The JACK process thread: queued sends, direct thru and the input callback, once a cycle. It
// allocates nothing and takes no lock; it meets the other threads through the atomics and the
// send queue of CycleShared.

#include <jack/midiport.h>

#include <algorithm>

#include "ports/jack/JackLibrary.h"
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

    client.cycleBytes = 0;
    client.longWritten = false;
    // Room for what direct thru forwards of this cycle's input, after the queued sends.
    std::size_t room = 0;
    if (thru.ready && inReady) {
        room = events * kRoomPerEvent;
        if (s.longCallback.load(std::memory_order_relaxed) != nullptr) {
            for (jack_nframes_t i = 0; i < events; ++i) {
                jack_midi_event_t event;
                if (jack_midi_event_get(&event, inBuffer, i) == 0 && event.size > 3)
                    room += event.size + jack::kEventCost;
            }
        }
    }
    const std::uint64_t taken = client.sendQueued(outBuffer, room, out, routed);
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

// Writes one event unless it would leave less than `room` in the buffer, or, in a cycle that
// carries a long event, take it over kCycleBudget (short events alone fill the buffer as libjack
// lets them, as they always have).
bool JackPortService::Shared::Client::write(void* outBuffer, jack_nframes_t offset,
                                            const std::uint8_t* bytes, std::size_t size,
                                            std::size_t room) noexcept {
    const std::size_t cost = size + jack::kEventCost;
    const bool isLong = size > 3;
    if ((isLong || longWritten) && cycleBytes + cost + room > jack::kCycleBudget) return false;
    if (jack_midi_max_event_size(outBuffer) < room + size) return false;
    if (jack_midi_event_write(outBuffer, offset, bytes, size) != 0) return false;
    cycleBytes += cost;
    longWritten = longWritten || isLong;
    return true;
}

// Queued sends first, at the start of the cycle: those of the open port, and those ports closed
// since accepted before their close (see CycleShared::draining), one port after the other, long
// ones in their place among the short ones. They wait while their port's connections are being
// made, and for the ports closed before theirs. The others (of a port closed long ago, or made to
// a client whose server has gone) are dropped. `room` is left for what direct thru forwards of
// this cycle's input. Returns how many short sends were taken.
std::uint64_t JackPortService::Shared::Client::sendQueued(void* outBuffer, std::size_t room,
                                                          Handle out, Handle routed) noexcept {
    Shared& s = shared;
    const Handle closing = s.draining.load(std::memory_order_acquire);
    const Handle lastClosing = s.drainLast.load(std::memory_order_acquire);
    // The process thread is the one writer of `consumed`.
    const std::uint64_t before = s.consumed.load(std::memory_order_relaxed);
    std::uint64_t taken = 0;
    // Handles only grow: one above the closing port's, up to the last closed, is a closed port's
    // whose turn is still to come.
    const auto waiting = [&](Handle handle) {
        return closing != 0 && handle > closing && handle <= lastClosing;
    };
    // Sequentially consistent, with the cycle's first increment of `cycles`: the worker's barrier
    // in drained(). Must not be weakened.
    const Handle givenUp = s.givenUp.load(std::memory_order_seq_cst);
    const auto stale = [&](Handle handle, std::uint32_t made) {
        return made != generation || handle == 0 || handle == givenUp ||
               (handle != out && handle != closing && !waiting(handle));
    };
    for (;;) {
        const jack::OutEntry* entry = s.sends.front();
        RecordRing<jack::LongSend>::Record pending{};
        // A long send goes once the short sends accepted before it have.
        if (s.longSends.front(pending) &&
            (entry == nullptr || pending.header.shortsBefore <= before + taken)) {
            const jack::LongSend& send = pending.header;
            if (!stale(send.handle, send.generation)) {
                if (waiting(send.handle) || routed != send.handle) break;
                if (!write(outBuffer, 0, pending.bytes, pending.size, room)) break;
            } else if (send.handle == givenUp) {
                s.givenUpDropped.fetch_add(1, std::memory_order_relaxed);
            }
            s.longSends.pop(pending);
            // Release, as for `consumed`.
            s.consumedLong.fetch_add(1, std::memory_order_release);
            continue;
        }
        if (entry == nullptr) break;
        if (stale(entry->handle, entry->generation)) {
            if (entry->handle == givenUp) s.givenUpDropped.fetch_add(1, std::memory_order_relaxed);
            s.sends.pop();
            ++taken;
            continue;
        }
        if (waiting(entry->handle) || routed != entry->handle) break;
        const MessageBytes bytes = unpackShortMessage(entry->message);
        if (!write(outBuffer, 0, bytes.data(), bytes.size, room)) break;
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
            if (!write(outBuffer, 0, first.bytes.data(), first.bytes.size)) break;
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
    // The input was started before this cycle ran (inReady), so all it carries came after the
    // start, even when JACK's clock has the cycle begin before it: a cycle of a busy server runs
    // late, tens of milliseconds on a loaded machine, and what the sender wrote into it meanwhile
    // is no less received. The start then moves back to the cycle's start, so that no time is
    // below 0 and the times keep their distances (midiInClock counts from there too); unless a
    // new start came meanwhile.
    jack_time_t startedAt = s.inStartUsecs.load(std::memory_order_relaxed);
    if (cycleStart < startedAt &&
        s.inStartUsecs.compare_exchange_strong(startedAt, cycleStart, std::memory_order_relaxed))
        startedAt = cycleStart;
    const jack_nframes_t rate = jack_get_sample_rate(jack);
    // Relaxed: both were stored before inHandle, whose sequentially consistent load ordered them.
    const InputCallback callback = s.callback.load(std::memory_order_relaxed);
    const Instance instance = s.instance.load(std::memory_order_relaxed);
    const bool fine = s.fineTimes.load(std::memory_order_relaxed);
    const LongCallback longCallback = s.longCallback.load(std::memory_order_relaxed);
    if (lastHandle != handle) {
        lastHandle = handle;
        lastTime = 0;
    }

    jack_nframes_t lastOffset = 0;
    for (jack_nframes_t i = 0; i < events; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, inBuffer, i) != 0) continue;
        const std::optional<std::uint32_t> message = packShortMessage(event.buffer, event.size);
        if (!message && longCallback == nullptr) continue;
        const jack_time_t at =
            cycleStart + (rate != 0 ? jack_time_t{event.time} * 1000000u / rate : 0);
        lastTime = std::max(lastTime, at > startedAt ? at - startedAt : 0);
        const auto time = static_cast<std::uint32_t>(lastTime / 1000);
        if (!message) {
            LongData data;
            data.bytes = event.buffer;
            data.size = event.size;
            data.time = time;
            data.micros = lastTime;
            deliverLong(event, lastOffset, outBuffer, data, thru);
            longCallback(handle, instance, data);
            continue;
        }
        const std::uint32_t micros =
            fine ? static_cast<std::uint32_t>(lastTime % 1000) << kMimMicrosShift : 0;

        const bool out = goesOut(*message, thru.gate);
        const bool decided = thru.direct && (thru.jackOutput || !out);
        if (decided && out) {
            const jack_nframes_t offset = std::max(event.time, lastOffset);
            if (thru.ready && heldCount == 0 && write(outBuffer, offset, event.buffer, event.size))
                lastOffset = offset;
            else
                hold(event, at);
        }
        callback(handle, (decided ? kMimDataDecided : kMimData) | micros, instance, *message, time);
    }
}

// Direct thru of a long message: a whole SysEx that the gate lets through goes out in this cycle
// when the output is connected, nothing waits before it and it fits; otherwise it does not go out
// at all (it is not held: a SysEx is never sent late or in part), and `data` says so. Anything
// else that is no short message never goes out.
void JackPortService::Shared::Client::deliverLong(const jack_midi_event_t& event,
                                                  jack_nframes_t& lastOffset, void* outBuffer,
                                                  LongData& data, const Thru& thru) noexcept {
    const bool out = thru.gate.outputAllowed && isWholeSysEx(event.buffer, event.size);
    data.decided = thru.direct && (thru.jackOutput || !out);
    if (!data.decided || !out) return;
    const jack_nframes_t offset = std::max(event.time, lastOffset);
    if (thru.ready && heldCount == 0 && write(outBuffer, offset, event.buffer, event.size))
        lastOffset = offset;
    else
        data.notSent = true;
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

// Called by libjack with its own locks held (PipeWire's): it asks libjack nothing.
void JackPortService::Shared::Client::onPortConnect(jack_port_id_t, jack_port_id_t, int,
                                                    void* self) noexcept {
    static_cast<Client*>(self)->linkNotices.fetch_add(1, std::memory_order_release);
}

}  // namespace tamblin::ports
