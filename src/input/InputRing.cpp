#include "input/InputRing.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

namespace tamblin::input {

InputRing::InputRing(int size)
    : slots_(size),
      messages_(std::make_unique<std::atomic<std::uint32_t>[]>(static_cast<std::size_t>(size))),
      times_(std::make_unique<std::atomic<std::int32_t>[]>(static_cast<std::size_t>(size))),
      decided_(std::make_unique<std::atomic<bool>[]>(static_cast<std::size_t>(size))),
      micros_(std::make_unique<std::atomic<std::uint16_t>[]>(static_cast<std::size_t>(size))) {}

InputRing::~InputRing() {
    if (const int fd = wake_.load(std::memory_order_acquire); fd >= 0) ::close(fd);
}

int InputRing::halfFullWake() {
    int fd = wake_.load(std::memory_order_acquire);
    if (fd < 0) {
        // Not blocking: a write that would overflow the counter fails instead of waiting.
        fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        // Release: a callback that finds the descriptor finds it open.
        wake_.store(fd, std::memory_order_release);
    }
    return fd;
}

void InputRing::raiseHalfFullWake() noexcept {
    const int fd = wake_.load(std::memory_order_acquire);
    if (fd < 0) return;
    const std::uint64_t one = 1;
    // A failed write (the counter full) leaves the wake readable all the same.
    [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
}

void InputRing::takeHalfFullWake() noexcept {
    const int fd = wake_.load(std::memory_order_acquire);
    if (fd < 0) return;
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(fd, &count, sizeof count);
}

void midiInCallback(std::uint32_t /*handle*/, std::uint32_t notification, ports::Instance instance,
                    std::uint32_t message, std::uint32_t timestamp) noexcept {
    const std::uint32_t kind = notification & ~ports::kMimMicrosMask;
    if (kind != ports::kMimData && kind != ports::kMimDataDecided) return;
    auto* ring = reinterpret_cast<InputRing*>(instance);
    if (ring == nullptr) return;
    const auto micros = static_cast<std::uint16_t>(
        std::min((notification & ports::kMimMicrosMask) >> ports::kMimMicrosShift, 999u));
    if (ring->store(message, static_cast<std::int32_t>(timestamp), kind == ports::kMimDataDecided,
                    micros) == InputRing::kHalfFull)
        ring->raiseHalfFullWake();
}

}  // namespace tamblin::input
