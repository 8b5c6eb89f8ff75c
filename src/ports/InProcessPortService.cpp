#include "ports/InProcessPortService.h"

#include <algorithm>

namespace tamblin::ports {

InProcessPortService::~InProcessPortService() {
    waitForPlayers();
}

std::vector<InProcessPortService::Device> InProcessPortService::named(
    std::vector<std::string> names) {
    std::vector<Device> devices;
    for (auto& name : names) devices.push_back(Device{nextSerial_++, std::move(name)});
    return devices;
}

void InProcessPortService::setInputDevices(std::vector<std::string> names) {
    std::lock_guard lock(mutex_);
    inputs_ = named(std::move(names));
}

void InProcessPortService::setOutputDevices(std::vector<std::string> names) {
    std::lock_guard lock(mutex_);
    outputs_ = named(std::move(names));
}

void InProcessPortService::setInputBusy(DeviceId id, bool busy) {
    std::lock_guard lock(mutex_);
    inputs_.at(static_cast<std::size_t>(id)).busy = busy;
}

void InProcessPortService::setOutputBusy(DeviceId id, bool busy) {
    std::lock_guard lock(mutex_);
    outputs_.at(static_cast<std::size_t>(id)).busy = busy;
}

void InProcessPortService::setInputFailing(DeviceId id, bool failing) {
    std::lock_guard lock(mutex_);
    inputs_.at(static_cast<std::size_t>(id)).failing = failing;
}

void InProcessPortService::setOutputFailing(DeviceId id, bool failing) {
    std::lock_guard lock(mutex_);
    outputs_.at(static_cast<std::size_t>(id)).failing = failing;
}

void InProcessPortService::vanishInput(DeviceId id) {
    std::lock_guard lock(mutex_);
    Device& device = inputs_.at(static_cast<std::size_t>(id));
    device.vanished = true;
    for (auto& [handle, port] : open_)
        if (port.input && port.device == device.serial) port.dead = true;
}

void InProcessPortService::vanishOutput(DeviceId id) {
    std::lock_guard lock(mutex_);
    Device& device = outputs_.at(static_cast<std::size_t>(id));
    device.vanished = true;
    for (auto& [handle, port] : open_)
        if (!port.input && port.device == device.serial) port.dead = true;
}

void InProcessPortService::setClock(std::int32_t ms) {
    std::lock_guard lock(mutex_);
    clock_ = ms;
}

std::size_t InProcessPortService::play(DeviceId id, const std::vector<Event>& events) {
    std::size_t delivered = 0;
    for (const Event& event : events) {
        std::lock_guard lock(mutex_);
        const int serial = serialOf(true, id);
        for (const auto& [handle, port] : open_) {
            if (!port.input || port.device != serial || !port.started || port.dead) continue;
            port.callback(handle, kMimData, port.instance, event.message,
                          static_cast<std::uint32_t>(event.time));
            ++delivered;
        }
    }
    return delivered;
}

void InProcessPortService::playFromThread(DeviceId id, std::vector<Event> events) {
    std::lock_guard lock(mutex_);
    players_.emplace_back([this, id, events = std::move(events)] { play(id, events); });
}

void InProcessPortService::waitForPlayers() {
    std::vector<std::thread> players;
    {
        std::lock_guard lock(mutex_);
        players.swap(players_);
    }
    for (auto& player : players) player.join();
}

std::vector<std::uint32_t> InProcessPortService::sent(Handle handle) const {
    std::lock_guard lock(mutex_);
    if (auto it = open_.find(handle); it != open_.end()) return it->second.sent;
    if (auto it = closed_.find(handle); it != closed_.end()) return it->second.sent;
    return {};
}

std::vector<std::uint32_t> InProcessPortService::sentToDevice(DeviceId id) const {
    std::lock_guard lock(mutex_);
    const int serial = serialOf(false, id);
    std::map<Handle, const Port*> ports;  // handles grow with time, so this is send order
    for (const auto& [handle, port] : closed_)
        if (!port.input && port.device == serial) ports[handle] = &port;
    for (const auto& [handle, port] : open_)
        if (!port.input && port.device == serial) ports[handle] = &port;
    std::vector<std::uint32_t> all;
    for (const auto& [handle, port] : ports)
        all.insert(all.end(), port->sent.begin(), port->sent.end());
    return all;
}

std::size_t InProcessPortService::sendCount() const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& [handle, port] : open_) count += port.sent.size();
    for (const auto& [handle, port] : closed_) count += port.sent.size();
    return count;
}

bool InProcessPortService::inputOpen(DeviceId id) const {
    std::lock_guard lock(mutex_);
    const int serial = serialOf(true, id);
    return serial != 0 && findOpen(true, serial) != nullptr;
}

bool InProcessPortService::outputOpen(DeviceId id) const {
    std::lock_guard lock(mutex_);
    const int serial = serialOf(false, id);
    return serial != 0 && findOpen(false, serial) != nullptr;
}

int InProcessPortService::inputOpens() const {
    std::lock_guard lock(mutex_);
    return inputOpens_;
}

int InProcessPortService::outputOpens() const {
    std::lock_guard lock(mutex_);
    return outputOpens_;
}

std::vector<std::string> InProcessPortService::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

void InProcessPortService::record(std::string call) {
    calls_.push_back(std::move(call));
}

int InProcessPortService::serialOf(bool input, DeviceId id) const {
    const auto& devices = input ? inputs_ : outputs_;
    if (id < 0 || static_cast<std::size_t>(id) >= devices.size()) return 0;
    return devices[static_cast<std::size_t>(id)].serial;
}

const InProcessPortService::Port* InProcessPortService::findOpen(bool input, int serial) const {
    for (const auto& [handle, port] : open_)
        if (port.input == input && port.device == serial) return &port;
    return nullptr;
}

std::uint32_t InProcessPortService::midiInGetNumDevs() {
    std::lock_guard lock(mutex_);
    std::erase_if(inputs_, [](const Device& d) { return d.vanished; });
    record("midiInGetNumDevs()");
    return static_cast<std::uint32_t>(inputs_.size());
}

std::uint32_t InProcessPortService::midiOutGetNumDevs() {
    std::lock_guard lock(mutex_);
    std::erase_if(outputs_, [](const Device& d) { return d.vanished; });
    record("midiOutGetNumDevs()");
    return static_cast<std::uint32_t>(outputs_.size());
}

Result InProcessPortService::midiInGetDevCaps(DeviceId id, DeviceCaps& caps, std::uint32_t) {
    std::lock_guard lock(mutex_);
    return answerCaps(inputs_, id, caps);
}

Result InProcessPortService::midiOutGetDevCaps(DeviceId id, DeviceCaps& caps, std::uint32_t) {
    std::lock_guard lock(mutex_);
    return answerCaps(outputs_, id, caps);
}

std::string InProcessPortService::deviceName(bool input, DeviceId id) {
    std::lock_guard lock(mutex_);
    return answerName(input ? inputs_ : outputs_, id);
}

Result InProcessPortService::open(bool input, Handle& handle, DeviceId id, InputCallback callback,
                                  std::uint32_t instance) {
    std::lock_guard lock(mutex_);
    const auto& devices = input ? inputs_ : outputs_;
    Result result = kOk;
    if (id < 0 || static_cast<std::size_t>(id) >= devices.size() ||
        devices[static_cast<std::size_t>(id)].vanished) {
        result = kBadDeviceId;
    } else if (const Device& device = devices[static_cast<std::size_t>(id)];
               device.busy || findOpen(input, device.serial) != nullptr) {
        result = kAllocated;
    } else if (device.failing || (input && callback == nullptr)) {
        result = kError;
    } else {
        handle = handles_ != nullptr ? handles_->take() : nextHandle_++;
        Port port;
        port.input = input;
        port.device = device.serial;
        port.callback = callback;
        port.instance = instance;
        open_.emplace(handle, std::move(port));
        ++(input ? inputOpens_ : outputOpens_);
    }
    record(std::string(input ? "midiInOpen(" : "midiOutOpen(") + std::to_string(id) +
           ") = " + std::to_string(result));
    return result;
}

Result InProcessPortService::midiInOpen(Handle& handle, DeviceId id, InputCallback callback,
                                        std::uint32_t instance, std::uint32_t) {
    return open(true, handle, id, callback, instance);
}

Result InProcessPortService::midiOutOpen(Handle& handle, DeviceId id, InputCallback,
                                         std::uint32_t instance, std::uint32_t) {
    return open(false, handle, id, nullptr, instance);
}

Result InProcessPortService::midiInStart(Handle handle) {
    std::lock_guard lock(mutex_);
    auto it = open_.find(handle);
    const bool ok = it != open_.end() && it->second.input;
    if (ok) {
        it->second.started = true;
        it->second.startedAt = std::chrono::steady_clock::now();
    }
    record("midiInStart(" + std::to_string(handle) + ") = " + (ok ? "0" : "5"));
    return ok ? kOk : kInvalidHandle;
}

Result InProcessPortService::close(bool input, Handle handle) {
    // Taking the mutex waits for a delivery in progress: no callback after this returns.
    std::lock_guard lock(mutex_);
    auto it = open_.find(handle);
    const bool ok = it != open_.end() && it->second.input == input;
    if (ok) {
        closed_.insert(open_.extract(it));
    }
    record(std::string(input ? "midiInClose(" : "midiOutClose(") + std::to_string(handle) +
           ") = " + (ok ? "0" : "5"));
    return ok ? kOk : kInvalidHandle;
}

Result InProcessPortService::midiInClose(Handle handle) {
    return close(true, handle);
}
Result InProcessPortService::midiOutClose(Handle handle) {
    return close(false, handle);
}

Result InProcessPortService::midiOutShortMsg(Handle handle, std::uint32_t message) {
    std::lock_guard lock(mutex_);
    auto it = open_.find(handle);
    if (it == open_.end() || it->second.input) return kInvalidHandle;
    if (it->second.dead) return kError;
    it->second.sent.push_back(message);
    return kOk;
}

std::optional<std::int32_t> InProcessPortService::midiInClock(Handle handle) {
    std::lock_guard lock(mutex_);
    auto it = open_.find(handle);
    if (it == open_.end() || !it->second.input || !it->second.started) return std::nullopt;
    if (clock_) return clock_;
    return static_cast<std::int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - it->second.startedAt)
                                         .count());
}

}  // namespace tamblin::ports
