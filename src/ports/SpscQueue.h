#pragma once

#include <array>
#include <atomic>
#include <cstddef>

namespace tamblin::ports {

// A fixed-size queue between one producer thread and one consumer thread, with no lock and no
// allocation after construction: a full queue refuses a push instead of waiting.
//
// Threads: push() runs on the producer's thread only; front() and pop() on the consumer's only.
// Both indexes count up for ever and each is written by one side. The producer fills a slot
// before it publishes the advanced tail (release), which the consumer acquires before it reads
// the slot; the consumer publishes the advanced head (release) only when done with the slot,
// and the producer acquires it before it reuses one.
template <typename T, std::size_t Capacity>
class SpscQueue {
    static_assert(Capacity > 0 && (Capacity & (Capacity - 1)) == 0, "a power of two");

public:
    static constexpr std::size_t kCapacity = Capacity;

    // Producer side. False, with nothing stored, when Capacity entries wait.
    bool push(const T& value) noexcept {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == Capacity) return false;
        slots_[tail & (Capacity - 1)] = value;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    // Consumer side: the oldest entry, or null when none waits. It stays valid until pop().
    const T* front() const noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return nullptr;
        return &slots_[head & (Capacity - 1)];
    }
    // Consumer side: hands the oldest entry's slot back to the producer. Only after front()
    // returned an entry.
    void pop() noexcept {
        head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }

    // Either side: how many entries wait, as of some moment during the call.
    std::size_t size() const noexcept {
        const std::size_t head = head_.load(std::memory_order_acquire);
        return tail_.load(std::memory_order_acquire) - head;
    }

private:
    std::array<T, Capacity> slots_{};
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
};

}  // namespace tamblin::ports
