#include "input/InputRing.h"

namespace tamblin::input {

namespace {
constexpr std::uint32_t kShortMessageArrived = 963;
InputRing g_ring;
}  // namespace

InputRing& inputRing() noexcept {
    return g_ring;
}

void midiInCallback(std::uint32_t /*handle*/, std::uint32_t notification,
                    std::uint32_t /*instance*/, std::uint32_t message,
                    std::uint32_t timestamp) noexcept {
    if (notification != kShortMessageArrived) return;
    g_ring.store(message, static_cast<std::int32_t>(timestamp));
}

}  // namespace tamblin::input
