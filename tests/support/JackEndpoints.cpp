#include "support/JackEndpoints.h"

#include <thread>

#include "input/InputRing.h"

namespace tamblin::testing {

using namespace std::chrono_literals;

bool handshake(JackSource& source, const input::InputRing& ring,
               std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const int before = ring.writePos();
    while (std::chrono::steady_clock::now() < deadline) {
        source.send({0xFE});
        // Any more of them still on their way have arrived once the source has flushed.
        const auto waitUntil = std::chrono::steady_clock::now() + 20ms;
        while (std::chrono::steady_clock::now() < waitUntil) {
            if (ring.writePos() != before) return source.flushed();
            std::this_thread::sleep_for(1ms);
        }
    }
    return false;
}

}  // namespace tamblin::testing
