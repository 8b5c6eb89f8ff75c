#pragma once

#include <cstddef>
#include <cstdint>

#include "ports/PortService.h"
#include "ports/RecordRing.h"

namespace tamblin::input {

class InputRing;

// The ring of long messages (SysEx) beside the input ring, with `--sysex`: whole messages from
// the input callback's thread to the refresh pump, each with the place among the short messages
// where it arrived.
//
// Threads: store() runs on the port service's callback thread, the one producer, and never
// blocks, allocates or waits for the pump; front() and pop() run on the user-interface thread.
// A message that does not fit whole is dropped whole, and a notice of it takes its place (room for
// one notice is always kept; further drops before the pump drains are added to the notice that
// waits to be stored). Short messages never wait for a SysEx: they have a ring of their own.
class SysExRing {
public:
    // Bytes: a little over 32 SysEx of the largest size a JACK cycle carries, more than three
    // refresh ticks of a 31,250 baud cable.
    static constexpr std::size_t kBytes = std::size_t{1} << 20;

    explicit SysExRing(std::size_t bytes = kBytes) : ring_(bytes) {}

    struct Entry {
        std::int32_t time = 0;     // milliseconds since the input started
        std::uint64_t micros = 0;  // microseconds since the input started
        // The input ring's write index when it arrived: the pump hands it on once the short
        // messages before that index have been drained.
        int shortPos = 0;
        bool decided = false;  // see ports::LongData
        bool notSent = false;
        // A drop notice instead of a message: how many messages were dropped, and their bytes.
        std::uint32_t droppedCount = 0;
        std::uint64_t droppedBytes = 0;
        const std::uint8_t* bytes = nullptr;  // valid until pop()
        std::size_t size = 0;
    };

    // Producer side: stores `data` as arriving after the short message stored at input ring
    // index `shortPos - 1`. False when it was dropped.
    bool store(const ports::LongData& data, int shortPos) noexcept;

    // Consumer side: the oldest entry, or false when none waits.
    bool front(Entry& entry) noexcept;
    void pop(const Entry& entry) noexcept;

private:
    struct Header {
        std::int32_t time;
        std::int32_t shortPos;
        std::uint64_t micros;
        std::uint64_t droppedBytes;
        std::uint32_t droppedCount;
        std::uint8_t decided;
        std::uint8_t notSent;
    };
    using Ring = ports::RecordRing<Header>;
    // Room kept free after every message for a drop notice, which may have to skip the end of the
    // storage.
    static constexpr std::size_t kNoticeRoom = 2 * Ring::footprint(0);

    bool storeNotice(int shortPos) noexcept;

    Ring ring_;
    Ring::Record current_{};
    // The producer's own: drops not yet told in the ring.
    std::uint32_t pendingCount_ = 0;
    std::uint64_t pendingBytes_ = 0;
    std::int32_t pendingTime_ = 0;
    std::uint64_t pendingMicros_ = 0;
};

// The long-message route handed to the port service with `--sysex` (setLongCallback): stores the
// message in the SysEx ring attached to the input ring that the open's instance value names
// (instanceOf); does nothing without one.
void midiInLongCallback(ports::Handle handle, ports::Instance instance,
                        const ports::LongData& data) noexcept;

}  // namespace tamblin::input
