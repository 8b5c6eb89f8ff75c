#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tamblin::capture {

// Bytes to put at `offset` in a file.
struct FileWrite {
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> bytes;
};

// A Standard MIDI File of format 0 (one track) that grows as messages arrive and is a whole,
// valid file between any two of the writes it asks for, so that a capture killed at any moment
// still opens. One tick is one millisecond: 500 ticks per quarter note at the tempo of 120 beats
// a minute, which the track's first event sets.
//
// Events are added, then commit() gives the writes that put them in the file, in this order:
//   1. the new events and a new end of track, after the old end of track (beyond the track's
//      length, which still ends at the old one: readers take the file as it was);
//   2. the track's new length, which now covers both ends of track (readers that stop at the first
//      one take the file as it was; the others read the new events too);
//   3. an empty text event over the old end of track.
// Plain state, no file: whoever writes applies the writes in order (see CaptureFile).
class SmfTrack {
public:
    static constexpr int kTicksPerQuarter = 500;
    static constexpr std::uint32_t kMicrosPerQuarter = 500000;

    // The file as first written: header, track header, tempo, end of track.
    std::vector<std::uint8_t> start() const;

    // Adds one message that arrived `micros` after the capture began, as an event of its own: a
    // short message with its status byte (system common and real-time messages too, as
    // single-status events), a whole SysEx (F0 ... F7) as a SysEx event. Leaves out, returning
    // false, what a file's events cannot carry: System Reset (0xFF begins a meta event there), the
    // undefined statuses 0xF4, 0xF5, 0xF9 and 0xFD, a lone 0xF7, a SysEx without its 0xF7 or with a
    // status byte inside, and anything that is no whole message.
    bool addMessage(std::span<const std::uint8_t> bytes, std::int64_t micros);
    // Adds a marker meta event with `text` (the input device a capture goes on from).
    void addMarker(std::string_view text, std::int64_t micros);

    // The writes that put the events added since the last commit into the file (see above);
    // none when nothing was added.
    std::vector<FileWrite> commit();

    // The file's size once every write so far is applied.
    std::uint64_t fileSize() const { return fileSize_; }

private:
    void addDelta(std::int64_t micros);

    std::vector<std::uint8_t> pending_;
    std::int64_t lastTick_ = 0;
    // The track's data as written: the tempo and the end of track at first.
    std::uint64_t trackLength_ = 11;
    std::uint64_t fileSize_ = 22 + 11;
};

}  // namespace tamblin::capture
