#include "ports/CompositePortService.h"

namespace tamblin::ports {

CompositePortService::CompositePortService(std::vector<PortService*> services)
    : services_(std::move(services)),
      inputCounts_(services_.size(), 0),
      outputCounts_(services_.size(), 0) {}

std::uint32_t CompositePortService::count(bool input) {
    auto& counts = input ? inputCounts_ : outputCounts_;
    std::uint32_t total = 0;
    for (std::size_t i = 0; i < services_.size(); ++i) {
        counts[i] = input ? services_[i]->midiInGetNumDevs() : services_[i]->midiOutGetNumDevs();
        total += counts[i];
    }
    return total;
}

std::uint32_t CompositePortService::midiInGetNumDevs() {
    return count(true);
}

std::uint32_t CompositePortService::midiOutGetNumDevs() {
    return count(false);
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

Result CompositePortService::midiInGetDevCaps(DeviceId id, DeviceCaps& caps, std::uint32_t size) {
    if (PortService* service = locate(true, id)) return service->midiInGetDevCaps(id, caps, size);
    writeProductName(caps, "");
    return kBadDeviceId;
}

Result CompositePortService::midiOutGetDevCaps(DeviceId id, DeviceCaps& caps, std::uint32_t size) {
    if (PortService* service = locate(false, id)) return service->midiOutGetDevCaps(id, caps, size);
    writeProductName(caps, "");
    return kBadDeviceId;
}

std::string CompositePortService::deviceName(bool input, DeviceId id) {
    PortService* service = locate(input, id);
    return service != nullptr ? service->deviceName(input, id) : std::string();
}

Result CompositePortService::midiInOpen(Handle& handle, DeviceId id, InputCallback callback,
                                        std::uint32_t instance, std::uint32_t flags) {
    PortService* service = locate(true, id);
    if (service == nullptr) return kBadDeviceId;
    Handle opened = 0;
    const Result result = service->midiInOpen(opened, id, callback, instance, flags);
    if (result != kOk) return result;
    open_[opened] = Open{service, true};
    handle = opened;
    return kOk;
}

Result CompositePortService::midiOutOpen(Handle& handle, DeviceId id, InputCallback callback,
                                         std::uint32_t instance, std::uint32_t flags) {
    PortService* service = locate(false, id);
    if (service == nullptr) return kBadDeviceId;
    Handle opened = 0;
    const Result result = service->midiOutOpen(opened, id, callback, instance, flags);
    if (result != kOk) return result;
    open_[opened] = Open{service, false};
    handle = opened;
    return kOk;
}

Result CompositePortService::midiInStart(Handle handle) {
    PortService* service = owner(handle, true);
    return service != nullptr ? service->midiInStart(handle) : kInvalidHandle;
}

Result CompositePortService::midiInClose(Handle handle) {
    PortService* service = owner(handle, true);
    if (service == nullptr) return kInvalidHandle;
    open_.erase(handle);
    return service->midiInClose(handle);
}

Result CompositePortService::midiOutShortMsg(Handle handle, std::uint32_t message) {
    PortService* service = owner(handle, false);
    return service != nullptr ? service->midiOutShortMsg(handle, message) : kInvalidHandle;
}

Result CompositePortService::midiOutClose(Handle handle) {
    PortService* service = owner(handle, false);
    if (service == nullptr) return kInvalidHandle;
    open_.erase(handle);
    return service->midiOutClose(handle);
}

std::optional<std::int32_t> CompositePortService::midiInClock(Handle handle) {
    PortService* service = owner(handle, true);
    return service != nullptr ? service->midiInClock(handle) : std::nullopt;
}

void CompositePortService::setThruGate(bool outputAllowed, bool realTimeFiltered) {
    for (PortService* service : services_) service->setThruGate(outputAllowed, realTimeFiltered);
}

}  // namespace tamblin::ports
