#include "support/WatchedPortService.h"

namespace tamblin::testing {

WatchedPortService::WatchedPortService(ports::PortService& inner, const input::InputRing& ring)
    : ForwardingPortService(inner), ring_(ring) {}

void WatchedPortService::watch(std::uint32_t handle, std::uint32_t notification,
                               ports::Instance instance, std::uint32_t param1,
                               std::uint32_t param2) {
    auto* self = reinterpret_cast<WatchedPortService*>(instance);
    if (handle <= self->closedThrough_.load(std::memory_order_acquire))
        self->late_.fetch_add(1, std::memory_order_acq_rel);
    self->deliveries_.fetch_add(1, std::memory_order_acq_rel);
    if (notification == ports::kMimDataDecided)
        self->decided_.fetch_add(1, std::memory_order_acq_rel);
    self->callback_.load(std::memory_order_acquire)(
        handle, notification, self->instance_.load(std::memory_order_acquire), param1, param2);
}

void WatchedPortService::record(const char* operation, long long argument, ports::Result result) {
    calls_.push_back(std::string(operation) + "(" + std::to_string(argument) +
                     ") = " + std::to_string(result));
}

ports::Result WatchedPortService::open(bool input, ports::Handle& handle, ports::DeviceId id,
                                       ports::InputCallback callback, ports::Instance instance) {
    if (input) {
        if (awaitingOpen_ && ring_.writePos() != writePosAtClose_) ++ringMoves_;
        awaitingOpen_ = false;
        callback_.store(callback, std::memory_order_release);
        instance_.store(instance, std::memory_order_release);
        if (callback != nullptr) {
            callback = &watch;
            instance = reinterpret_cast<ports::Instance>(this);
        }
    }
    const ports::Result result = inner_.open(input, handle, id, callback, instance);
    record(input ? "midiInOpen" : "midiOutOpen", id, result);
    return result;
}

ports::Result WatchedPortService::close(bool input, ports::Handle handle) {
    const ports::Result result = inner_.close(input, handle);
    if (input && result == ports::kOk) {
        if (handle > closedThrough_.load(std::memory_order_relaxed))
            closedThrough_.store(handle, std::memory_order_release);
        writePosAtClose_ = ring_.writePos();
        awaitingOpen_ = true;
    }
    record(input ? "midiInClose" : "midiOutClose", handle, result);
    return result;
}

ports::Result WatchedPortService::midiOutShortMsg(ports::Handle handle, std::uint32_t message) {
    const ports::Result result = inner_.midiOutShortMsg(handle, message);
    ++(result == ports::kOk ? sendsDone_ : sendsRefused_);
    return result;
}

}  // namespace tamblin::testing
