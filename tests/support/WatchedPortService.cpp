#include "support/WatchedPortService.h"

#include <stdexcept>

namespace tamblin::testing {

namespace {
std::atomic<WatchedPortService*> watched{nullptr};
}  // namespace

WatchedPortService::WatchedPortService(ports::PortService& inner, const input::InputRing& ring)
    : ForwardingPortService(inner), ring_(ring) {
    WatchedPortService* none = nullptr;
    if (!watched.compare_exchange_strong(none, this))
        throw std::logic_error("only one WatchedPortService at a time");
}

WatchedPortService::~WatchedPortService() {
    watched.store(nullptr);
}

void WatchedPortService::watch(std::uint32_t handle, std::uint32_t notification,
                               std::uint32_t instance, std::uint32_t param1, std::uint32_t param2) {
    WatchedPortService* self = watched.load(std::memory_order_acquire);
    if (handle <= self->closedThrough_.load(std::memory_order_acquire))
        self->late_.fetch_add(1, std::memory_order_acq_rel);
    self->deliveries_.fetch_add(1, std::memory_order_acq_rel);
    if (notification == ports::kMimDataForwarded)
        self->forwarded_.fetch_add(1, std::memory_order_acq_rel);
    self->callback_.load(std::memory_order_acquire)(handle, notification, instance, param1, param2);
}

void WatchedPortService::record(const char* operation, long long argument, ports::Result result) {
    calls_.push_back(std::string(operation) + "(" + std::to_string(argument) +
                     ") = " + std::to_string(result));
}

ports::Result WatchedPortService::open(bool input, ports::Handle& handle, ports::DeviceId id,
                                       ports::InputCallback callback, std::uint32_t instance) {
    if (input) {
        if (awaitingOpen_ && ring_.writePos() != writePosAtClose_) ++ringMoves_;
        awaitingOpen_ = false;
        callback_.store(callback, std::memory_order_release);
        if (callback != nullptr) callback = &watch;
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
