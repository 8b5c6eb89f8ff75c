#include "input/InputRing.h"

#include "ports/PortService.h"

namespace tamblin::input {

namespace {
InputRing g_ring;
}  // namespace

InputRing& inputRing() noexcept {
    return g_ring;
}

void midiInCallback(std::uint32_t /*handle*/, std::uint32_t notification,
                    std::uint32_t /*instance*/, std::uint32_t message,
                    std::uint32_t timestamp) noexcept {
    if (notification != ports::kMimData && notification != ports::kMimDataForwarded) return;
    g_ring.store(message, static_cast<std::int32_t>(timestamp),
                 notification == ports::kMimDataForwarded);
}

}  // namespace tamblin::input
