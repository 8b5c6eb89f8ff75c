#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "ports/PortService.h"

namespace tamblin::input {

class SysExRing;

// Single-producer, single-consumer ring between the MIDI input callback and the refresh pump.
//
// Threads: store() runs on the port service's callback thread and is the only writer of the
// slots, the write index and the overrun flag; the pump on the user-interface thread is the only
// writer of the read index. Nothing is locked. The slots are relaxed atomics so that even an
// overrunning producer never races the consumer; ordering comes from the indexes: the producer
// publishes the write index with release after filling the slot, the consumer acquires it before
// reading the slots it covers and releases the read index only when it is done with a slot.
// Whoever opens the input owns the ring (the program has one, made by main); nothing here is
// process-wide, so two windows, or two tests, in one process never share a ring.
class InputRing {
public:
    // The ring's size: it holds one message fewer.
    static constexpr int kSlots = 1024;
    // The size for a consumer that drains at the half-full wake as well as at its tick: room for
    // the backlog a JACK server hands over at once after a stall (a period change, for one),
    // about two seconds at 8,000 messages a second.
    static constexpr int kLargeSlots = 16384;
    // The count of unread messages at which the half-full wake (see halfFullWake) is raised: half
    // of the standard size, whatever this ring's.
    static constexpr int kHalfFull = kSlots / 2;

    explicit InputRing(int size = kSlots);
    // The size for a consumer that drains early, or only at its tick.
    static constexpr int sizeFor(bool drainEarly) { return drainEarly ? kLargeSlots : kSlots; }
    InputRing(const InputRing&) = delete;
    InputRing& operator=(const InputRing&) = delete;
    ~InputRing();

    struct Entry {
        std::uint32_t message;
        std::int32_t time;
        // The port service has decided itself whether it goes out (direct thru): sent, held for
        // an output being connected, or kept back by the gate as it stood when it arrived.
        bool decided;
        // Microseconds past `time`'s millisecond, 0 to 999, from a service that times arrivals
        // that finely (see ports::kMimMicrosShift); else 0.
        std::uint16_t micros = 0;
    };

    int size() const noexcept { return slots_; }
    int next(int index) const noexcept { return index + 1 == slots_ ? 0 : index + 1; }

    // Producer side: the slot's stores, one index advance and the overrun test. Never blocks or
    // allocates. Storing the size()-th unread message makes the indexes meet and raises overrun.
    // Returns the count of unread messages it left, as far as it saw the read index: it grows by
    // one a store at most, so on its way up it equals kHalfFull once.
    int store(std::uint32_t message, std::int32_t time, bool decided = false,
              std::uint16_t micros = 0) noexcept {
        const int w = writePos_.load(std::memory_order_relaxed);
        // Read before publishing: read after it, a consumer that drained the new message at once
        // would look like a lapped one. next(w) == r means size() - 1 messages were unread.
        const int r = readPos_.load(std::memory_order_acquire);
        messages_[w].store(message, std::memory_order_relaxed);
        times_[w].store(time, std::memory_order_relaxed);
        decided_[w].store(decided, std::memory_order_relaxed);
        micros_[w].store(micros, std::memory_order_relaxed);
        const int advanced = next(w);
        writePos_.store(advanced, std::memory_order_release);
        if (advanced == r) overrun_.store(true, std::memory_order_release);
        return (advanced - r + slots_) % slots_;
    }

    // Consumer side; unread() and empty() may also be asked by a producer that waits for room,
    // so the read index is acquired: the consumer's reads of a slot precede its next filling.
    int readPos() const noexcept { return readPos_.load(std::memory_order_acquire); }
    int writePos() const noexcept { return writePos_.load(std::memory_order_acquire); }
    bool empty() const noexcept { return readPos() == writePos(); }
    bool overrun() const noexcept { return overrun_.load(std::memory_order_acquire); }

    // Reads the slot at `index`; valid for indexes covered by a previously acquired writePos().
    Entry at(int index) const noexcept {
        return {messages_[index].load(std::memory_order_relaxed),
                times_[index].load(std::memory_order_relaxed),
                decided_[index].load(std::memory_order_relaxed),
                micros_[index].load(std::memory_order_relaxed)};
    }

    // Hands the slot at the read index back to the producer.
    void advanceRead() noexcept { readPos_.store(next(readPos()), std::memory_order_release); }

    // The time slot at the read index: the oldest waiting message's time, or when the ring is
    // empty the time of the message stored size() messages ago (0 before that many arrived).
    std::int32_t timeAtReadPos() const noexcept { return at(readPos()).time; }

    // Number of unread messages, (write - read) mod size().
    int unread() const noexcept { return (writePos() - readPos() + slots_) % slots_; }

    // The half-full wake: a file descriptor (an eventfd, made on first use and kept as long as the
    // ring) that becomes readable each time the input callback leaves kHalfFull messages unread,
    // so that the consumer can drain before its next tick. -1 when it cannot be made.
    int halfFullWake();
    // Producer side: makes the wake readable, if it was ever asked for. One write to an eventfd:
    // no lock, no allocation, and it never waits.
    void raiseHalfFullWake() noexcept;
    // Consumer side: reads the wake back to not readable.
    void takeHalfFullWake() noexcept;

    // With `--sysex`: the ring that long messages from the same callback thread go to (see
    // midiInLongCallback), attached by the ring's owner before any input opens; null without.
    void attachSysEx(SysExRing* sysex) noexcept { sysex_ = sysex; }
    SysExRing* sysex() const noexcept { return sysex_; }

private:
    const int slots_;
    // Value-initialised: every slot starts at 0.
    const std::unique_ptr<std::atomic<std::uint32_t>[]> messages_;
    const std::unique_ptr<std::atomic<std::int32_t>[]> times_;
    const std::unique_ptr<std::atomic<bool>[]> decided_;
    const std::unique_ptr<std::atomic<std::uint16_t>[]> micros_;
    std::atomic<int> writePos_{0};
    std::atomic<int> readPos_{0};
    std::atomic<bool> overrun_{false};
    std::atomic<int> wake_{-1};
    SysExRing* sysex_ = nullptr;
};

// The input callback handed to the port service, with the ring it fills as the open's instance
// value (instanceOf): acts on notification 963 (a short message) and on its decided variant
// (ports::kMimDataDecided), storing the message, its timestamp (with the microseconds the
// notification may carry, ports::kMimMicrosShift) and whether thru was decided in that ring;
// ignores every other notification, and every call without a ring.
void midiInCallback(std::uint32_t handle, std::uint32_t notification, ports::Instance instance,
                    std::uint32_t message, std::uint32_t timestamp) noexcept;

// The instance value through which midiInCallback reaches `ring`.
inline ports::Instance instanceOf(InputRing& ring) noexcept {
    return reinterpret_cast<ports::Instance>(&ring);
}

}  // namespace tamblin::input
