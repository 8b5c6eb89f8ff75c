#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "input/InputRing.h"
#include "ports/PortService.h"
#include "support/ForwardingPortService.h"

namespace tamblin::testing {

// Passes every call on to another port service and watches the input path on the way: it hands
// the inner service a callback of its own that counts each delivery before passing it on, and
// notes every delivery for a port whose midiInClose had already returned. It also reads the input
// ring's write index when a close returns and again at the next open: a callback after the close
// would have moved it.
//
// Threads: the operations run on the user-interface thread, the callback on the service's, which
// finds the watching service through the open's instance value; the watched service must outlive
// its ports.
class WatchedPortService final : public ForwardingPortService {
public:
    WatchedPortService(ports::PortService& inner, const input::InputRing& ring);

    std::uint64_t deliveries() const { return deliveries_.load(std::memory_order_acquire); }
    // Deliveries of messages whose thru the service decided itself (direct thru).
    std::uint64_t decidedDeliveries() const { return decided_.load(std::memory_order_acquire); }
    // Deliveries for a port after its midiInClose had returned.
    std::uint64_t lateDeliveries() const { return late_.load(std::memory_order_acquire); }
    // Closes after which the ring's write index had moved by the next input open.
    int ringMovesWhileClosed() const { return ringMoves_; }
    int sendsDone() const { return sendsDone_; }
    int sendsRefused() const { return sendsRefused_; }
    // Opens and closes with their results, in call order: "midiInClose(3) = 0".
    const std::vector<std::string>& calls() const { return calls_; }

    ports::Result open(bool input, ports::Handle& handle, ports::DeviceId id,
                       ports::InputCallback callback, ports::Instance instance) override;
    ports::Result close(bool input, ports::Handle handle) override;
    ports::Result midiOutShortMsg(ports::Handle handle, std::uint32_t message) override;

private:
    static void watch(std::uint32_t handle, std::uint32_t notification, ports::Instance instance,
                      std::uint32_t param1, std::uint32_t param2);
    void record(const char* operation, long long argument, ports::Result result);

    const input::InputRing& ring_;
    // The callback and instance value of the open input, for the watch to pass each delivery on.
    std::atomic<ports::InputCallback> callback_{nullptr};
    std::atomic<ports::Instance> instance_{0};
    std::atomic<std::uint64_t> deliveries_{0};
    std::atomic<std::uint64_t> late_{0};
    std::atomic<std::uint64_t> decided_{0};
    // The highest input handle whose close has returned. Services hand out ever larger handles
    // and the window holds one input at a time, so a delivery for a handle up to it is late.
    std::atomic<ports::Handle> closedThrough_{0};
    bool awaitingOpen_ = false;
    int writePosAtClose_ = 0;
    int ringMoves_ = 0;
    int sendsDone_ = 0;
    int sendsRefused_ = 0;
    std::vector<std::string> calls_;
};

}  // namespace tamblin::testing
