#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

namespace tamblin::ports {

// A bounded queue of records of any length (a fixed header and its bytes) between one producer
// thread and one consumer thread, for SysEx: no lock, and no allocation after construction. A
// record that does not fit whole is refused whole; each record's bytes are contiguous, so the
// consumer reads them in place.
//
// Threads: push() and room() run on the producer's thread only; front() and pop() on the
// consumer's only. Both byte counts grow for ever and each is written by one side. The producer
// writes a record before it publishes the advanced tail (release), which the consumer acquires
// before it reads the record; the consumer publishes the advanced head (release) only when done
// with the record, and the producer acquires it before it writes over that space.
template <typename Header>
class RecordRing {
    static_assert(std::is_trivially_copyable_v<Header>);

public:
    struct Record {
        Header header;
        const std::uint8_t* bytes;
        std::size_t size;
    };

    // `capacity` bytes, rounded up to a power of two.
    explicit RecordRing(std::size_t capacity) : capacity_(roundUp(capacity)) {
        storage_ = std::make_unique<std::uint8_t[]>(capacity_);
    }
    RecordRing(const RecordRing&) = delete;
    RecordRing& operator=(const RecordRing&) = delete;

    std::size_t capacity() const noexcept { return capacity_; }
    // Room a record of `size` bytes takes, its header included.
    static constexpr std::size_t footprint(std::size_t size) noexcept {
        return kHead + align(size);
    }

    // Producer side. False, with nothing stored, when the record does not fit now with `reserve`
    // bytes left free after it.
    bool push(const Header& header, const std::uint8_t* bytes, std::size_t size,
              std::size_t reserve = 0) noexcept {
        const std::size_t need = footprint(size);
        std::uint64_t tail = tail_.load(std::memory_order_relaxed);
        const std::uint64_t head = head_.load(std::memory_order_acquire);
        const std::size_t free = capacity_ - static_cast<std::size_t>(tail - head);
        const std::size_t at = static_cast<std::size_t>(tail & (capacity_ - 1));
        // A record never wraps: the end of the storage is skipped when it is too short for one.
        const std::size_t skip = capacity_ - at < need ? capacity_ - at : 0;
        if (need + reserve > capacity_ || skip + need + reserve > free) return false;
        if (skip != 0) {
            writeLength(at, kSkip);
            tail += skip;
        }
        const std::size_t start = static_cast<std::size_t>(tail & (capacity_ - 1));
        writeLength(start, static_cast<std::uint32_t>(size));
        std::memcpy(storage_.get() + start + kLength, &header, sizeof header);
        if (size != 0) std::memcpy(storage_.get() + start + kHead, bytes, size);
        tail_.store(tail + need, std::memory_order_release);
        return true;
    }

    // Consumer side: the oldest record, or nothing when none waits. Its bytes stay valid until
    // pop().
    bool front(Record& record) noexcept {
        std::uint64_t head = head_.load(std::memory_order_relaxed);
        const std::uint64_t tail = tail_.load(std::memory_order_acquire);
        if (head == tail) return false;
        std::size_t at = static_cast<std::size_t>(head & (capacity_ - 1));
        std::uint32_t length = readLength(at);
        if (length == kSkip) {
            head += capacity_ - at;
            head_.store(head, std::memory_order_release);
            if (head == tail) return false;
            at = 0;
            length = readLength(at);
        }
        std::memcpy(&record.header, storage_.get() + at + kLength, sizeof record.header);
        record.bytes = storage_.get() + at + kHead;
        record.size = length;
        return true;
    }
    // Consumer side: hands the record that front() returned back to the producer.
    void pop(const Record& record) noexcept {
        head_.store(head_.load(std::memory_order_relaxed) + footprint(record.size),
                    std::memory_order_release);
    }

    // Either side: whether no record waits, as of some moment during the call.
    bool empty() const noexcept {
        return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_acquire);
    }

private:
    static constexpr std::uint32_t kSkip = 0xFFFFFFFFu;
    static constexpr std::size_t kLength = sizeof(std::uint32_t);
    static constexpr std::size_t align(std::size_t n) noexcept { return (n + 7) & ~std::size_t{7}; }
    static constexpr std::size_t kHead = align(kLength + sizeof(Header));
    static std::size_t roundUp(std::size_t n) noexcept {
        std::size_t c = 64;
        while (c < n) c *= 2;
        return c;
    }

    void writeLength(std::size_t at, std::uint32_t length) noexcept {
        std::memcpy(storage_.get() + at, &length, kLength);
    }
    std::uint32_t readLength(std::size_t at) const noexcept {
        std::uint32_t length = 0;
        std::memcpy(&length, storage_.get() + at, kLength);
        return length;
    }

    const std::size_t capacity_;
    std::unique_ptr<std::uint8_t[]> storage_;
    alignas(64) std::atomic<std::uint64_t> head_{0};
    alignas(64) std::atomic<std::uint64_t> tail_{0};
};

}  // namespace tamblin::ports
