#include "input/InputRing.h"

namespace tamblin::input {

void midiInCallback(std::uint32_t /*handle*/, std::uint32_t notification, ports::Instance instance,
                    std::uint32_t message, std::uint32_t timestamp) noexcept {
    if (notification != ports::kMimData && notification != ports::kMimDataDecided) return;
    auto* ring = reinterpret_cast<InputRing*>(instance);
    if (ring == nullptr) return;
    ring->store(message, static_cast<std::int32_t>(timestamp),
                notification == ports::kMimDataDecided);
}

}  // namespace tamblin::input
