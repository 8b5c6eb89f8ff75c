#include "capture/SmfTrack.h"

#include <algorithm>

#include "ports/ShortMessage.h"

namespace tamblin::capture {

namespace {

constexpr std::uint8_t kEndOfTrack[] = {0x00, 0xFF, 0x2F, 0x00};
// What takes an old end of track's place: an empty text event, as long as the end of track.
constexpr std::uint8_t kBlank[] = {0x00, 0xFF, 0x01, 0x00};
// Where the track's length stands: after "MThd", its length and six bytes, and "MTrk".
constexpr std::uint64_t kTrackLengthOffset = 18;

void appendVariable(std::vector<std::uint8_t>& out, std::uint64_t value) {
    std::uint8_t groups[10];
    int count = 0;
    do {
        groups[count++] = static_cast<std::uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (count > 1) out.push_back(static_cast<std::uint8_t>(groups[--count] | 0x80));
    out.push_back(groups[0]);
}

void appendBig(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A status that a file's track takes as a short message's event: the channel messages, the system
// common messages with their data and the system real-time messages but System Reset.
bool fileTakesStatus(std::uint8_t status) {
    switch (status) {
        case 0xF0:
        case 0xF4:
        case 0xF5:
        case 0xF7:
        case 0xF9:
        case 0xFD:
        case 0xFF:
            return false;
        default:
            return status >= 0x80;
    }
}

}  // namespace

std::vector<std::uint8_t> SmfTrack::start() const {
    std::vector<std::uint8_t> out = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1};
    appendBig(out, kTicksPerQuarter, 2);
    out.insert(out.end(), {'M', 'T', 'r', 'k'});
    appendBig(out, 11, 4);
    out.insert(out.end(), {0x00, 0xFF, 0x51, 0x03});
    appendBig(out, kMicrosPerQuarter, 3);
    out.insert(out.end(), std::begin(kEndOfTrack), std::end(kEndOfTrack));
    return out;
}

void SmfTrack::addDelta(std::int64_t micros) {
    // Never backwards: a file has no negative delta.
    const std::int64_t tick = std::max(lastTick_, micros / 1000);
    appendVariable(pending_, static_cast<std::uint64_t>(tick - lastTick_));
    lastTick_ = tick;
}

bool SmfTrack::addMessage(std::span<const std::uint8_t> bytes, std::int64_t micros) {
    if (bytes.empty()) return false;
    const std::uint8_t status = bytes[0];
    const auto dataOnly = [](std::span<const std::uint8_t> data) {
        return std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b < 0x80; });
    };
    if (status == 0xF0) {
        if (bytes.size() < 2 || bytes.back() != 0xF7 ||
            !dataOnly(bytes.subspan(1, bytes.size() - 2)))
            return false;
        addDelta(micros);
        pending_.push_back(0xF0);
        appendVariable(pending_, bytes.size() - 1);
        pending_.insert(pending_.end(), bytes.begin() + 1, bytes.end());
        return true;
    }
    if (!fileTakesStatus(status) ||
        bytes.size() != static_cast<std::size_t>(ports::shortMessageLength(status)) ||
        !dataOnly(bytes.subspan(1)))
        return false;
    addDelta(micros);
    // Each event has its status: no running status, which a real-time event would break.
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    return true;
}

void SmfTrack::addMarker(std::string_view text, std::int64_t micros) {
    addDelta(micros);
    pending_.insert(pending_.end(), {0xFF, 0x06});
    appendVariable(pending_, text.size());
    pending_.insert(pending_.end(), text.begin(), text.end());
}

std::vector<FileWrite> SmfTrack::commit() {
    if (pending_.empty()) return {};
    std::vector<FileWrite> writes(3);
    const std::uint64_t oldEnd = fileSize_ - sizeof kEndOfTrack;
    const std::uint64_t added = pending_.size() + sizeof kEndOfTrack;

    writes[0].offset = fileSize_;
    writes[0].bytes = std::move(pending_);
    writes[0].bytes.insert(writes[0].bytes.end(), std::begin(kEndOfTrack), std::end(kEndOfTrack));
    pending_.clear();

    trackLength_ += added;
    fileSize_ += added;
    writes[1].offset = kTrackLengthOffset;
    appendBig(writes[1].bytes, static_cast<std::uint32_t>(trackLength_), 4);

    writes[2].offset = oldEnd;
    writes[2].bytes.assign(std::begin(kBlank), std::end(kBlank));
    return writes;
}

}  // namespace tamblin::capture
