#include "input/SysExRing.h"

#include "input/InputRing.h"

namespace tamblin::input {

bool SysExRing::storeNotice(int shortPos) noexcept {
    const Header header{pendingTime_, shortPos, pendingMicros_, pendingBytes_, pendingCount_, 0, 0};
    if (!ring_.push(header, nullptr, 0)) return false;
    pendingCount_ = 0;
    pendingBytes_ = 0;
    return true;
}

bool SysExRing::store(const ports::LongData& data, int shortPos) noexcept {
    if (pendingCount_ != 0) storeNotice(shortPos);
    if (pendingCount_ == 0) {
        const Header header{static_cast<std::int32_t>(data.time),
                            shortPos,
                            data.micros,
                            0,
                            0,
                            static_cast<std::uint8_t>(data.decided),
                            static_cast<std::uint8_t>(data.notSent)};
        if (ring_.push(header, data.bytes, data.size, kNoticeRoom)) return true;
    }
    if (pendingCount_ == 0) {
        pendingTime_ = static_cast<std::int32_t>(data.time);
        pendingMicros_ = data.micros;
    }
    ++pendingCount_;
    pendingBytes_ += data.size;
    storeNotice(shortPos);
    return false;
}

bool SysExRing::front(Entry& entry) noexcept {
    Ring::Record record{};
    if (!ring_.front(record)) return false;
    current_ = record;
    entry.time = record.header.time;
    entry.micros = record.header.micros;
    entry.shortPos = record.header.shortPos;
    entry.decided = record.header.decided != 0;
    entry.notSent = record.header.notSent != 0;
    entry.droppedCount = record.header.droppedCount;
    entry.droppedBytes = record.header.droppedBytes;
    entry.bytes = record.bytes;
    entry.size = record.size;
    return true;
}

void SysExRing::pop(const Entry&) noexcept {
    ring_.pop(current_);
}

void midiInLongCallback(ports::Handle, ports::Instance instance,
                        const ports::LongData& data) noexcept {
    auto* ring = reinterpret_cast<InputRing*>(instance);
    if (ring == nullptr) return;
    if (SysExRing* sysex = ring->sysex()) sysex->store(data, ring->writePos());
}

}  // namespace tamblin::input
