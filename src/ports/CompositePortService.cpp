#include "ports/CompositePortService.h"

namespace tamblin::ports {

CompositePortService::CompositePortService(std::vector<PortService*> services)
    : services_(std::move(services)),
      inputCounts_(services_.size(), 0),
      outputCounts_(services_.size(), 0) {}

std::uint32_t CompositePortService::countDevices(bool input) {
    auto& counts = input ? inputCounts_ : outputCounts_;
    std::uint32_t total = 0;
    for (std::size_t i = 0; i < services_.size(); ++i) {
        counts[i] = services_[i]->countDevices(input);
        total += counts[i];
    }
    return total;
}

PortService* CompositePortService::locate(bool input, DeviceId& id) const {
    if (id < 0) return nullptr;
    const auto& counts = input ? inputCounts_ : outputCounts_;
    for (std::size_t i = 0; i < services_.size(); ++i) {
        if (static_cast<std::uint32_t>(id) < counts[i]) return services_[i];
        id -= static_cast<DeviceId>(counts[i]);
    }
    return nullptr;
}

PortService* CompositePortService::owner(Handle handle, bool input) const {
    const auto it = open_.find(handle);
    if (it == open_.end() || it->second.input != input) return nullptr;
    return it->second.service;
}

std::optional<std::string> CompositePortService::listedName(bool input, DeviceId id) {
    PortService* service = locate(input, id);
    return service != nullptr ? service->listedName(input, id) : std::nullopt;
}

Result CompositePortService::open(bool input, Handle& handle, DeviceId id, InputCallback callback,
                                  Instance instance) {
    PortService* service = locate(input, id);
    if (service == nullptr) return kBadDeviceId;
    Handle opened = 0;
    const Result result = service->open(input, opened, id, callback, instance);
    if (result != kOk) return result;
    open_[opened] = Open{service, input};
    handle = opened;
    return kOk;
}

Result CompositePortService::midiInStart(Handle handle) {
    PortService* service = owner(handle, true);
    return service != nullptr ? service->midiInStart(handle) : kInvalidHandle;
}

Result CompositePortService::close(bool input, Handle handle) {
    PortService* service = owner(handle, input);
    if (service == nullptr) return kInvalidHandle;
    open_.erase(handle);
    return service->close(input, handle);
}

Result CompositePortService::midiOutShortMsg(Handle handle, std::uint32_t message) {
    PortService* service = owner(handle, false);
    return service != nullptr ? service->midiOutShortMsg(handle, message) : kInvalidHandle;
}

Result CompositePortService::midiOutLongMsg(Handle handle, const std::uint8_t* bytes,
                                            std::size_t size) {
    PortService* service = owner(handle, false);
    return service != nullptr ? service->midiOutLongMsg(handle, bytes, size) : kInvalidHandle;
}

std::optional<std::int32_t> CompositePortService::midiInClock(Handle handle) {
    PortService* service = owner(handle, true);
    return service != nullptr ? service->midiInClock(handle) : std::nullopt;
}

void CompositePortService::setThruGate(bool outputAllowed, bool realTimeFiltered) {
    for (PortService* service : services_) service->setThruGate(outputAllowed, realTimeFiltered);
}

void CompositePortService::setFineTimes(bool fine) {
    for (PortService* service : services_) service->setFineTimes(fine);
}

void CompositePortService::setLongCallback(LongCallback callback) {
    PortService::setLongCallback(callback);
    for (PortService* service : services_) service->setLongCallback(callback);
}

}  // namespace tamblin::ports
