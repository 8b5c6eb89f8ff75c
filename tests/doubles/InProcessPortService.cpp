#include "doubles/InProcessPortService.h"

#include <algorithm>

#include "ports/ShortMessage.h"

namespace tamblin::ports {

InProcessPortService::~InProcessPortService() {
    waitForPlayers();
}

void InProcessPortService::setDevices(bool input, std::vector<std::string> names) {
    std::lock_guard lock(mutex_);
    std::vector<Device> devices;
    for (auto& name : names) devices.push_back(Device{nextSerial_++, std::move(name)});
    devices_.of(input) = std::move(devices);
}

void InProcessPortService::mark(bool input, DeviceId id, bool Device::*flag, bool value) {
    std::lock_guard lock(mutex_);
    devices_.of(input).at(static_cast<std::size_t>(id)).*flag = value;
}

void InProcessPortService::vanish(bool input, DeviceId id) {
    std::lock_guard lock(mutex_);
    Device& device = devices_.of(input).at(static_cast<std::size_t>(id));
    device.vanished = true;
    for (auto& [handle, port] : open_)
        if (port.input == input && port.device == device.serial) port.dead = true;
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
            if (!event.bytes.empty()) {
                if (port.longCallback == nullptr) continue;
                LongData data;
                data.bytes = event.bytes.data();
                data.size = event.bytes.size();
                data.time = static_cast<std::uint32_t>(event.time);
                data.micros = static_cast<std::uint64_t>(event.time) * 1000;
                port.longCallback(handle, port.instance, data);
            } else {
                port.callback(handle, kMimData, port.instance, event.message,
                              static_cast<std::uint32_t>(event.time));
            }
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

bool InProcessPortService::isOpen(bool input, DeviceId id) const {
    std::lock_guard lock(mutex_);
    const int serial = serialOf(input, id);
    return serial != 0 && findOpen(input, serial) != nullptr;
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
    const Device* device = devices_.find(input, id);
    return device != nullptr ? device->serial : 0;
}

const InProcessPortService::Port* InProcessPortService::findOpen(bool input, int serial) const {
    for (const auto& [handle, port] : open_)
        if (port.input == input && port.device == serial) return &port;
    return nullptr;
}

std::uint32_t InProcessPortService::countDevices(bool input) {
    std::lock_guard lock(mutex_);
    std::vector<Device>& devices = devices_.of(input);
    std::erase_if(devices, [](const Device& d) { return d.vanished; });
    record(input ? "midiInGetNumDevs()" : "midiOutGetNumDevs()");
    return static_cast<std::uint32_t>(devices.size());
}

std::optional<std::string> InProcessPortService::listedName(bool input, DeviceId id) {
    std::lock_guard lock(mutex_);
    return devices_.name(input, id);
}

Result InProcessPortService::open(bool input, Handle& handle, DeviceId id, InputCallback callback,
                                  Instance instance) {
    std::lock_guard lock(mutex_);
    const Device* device = devices_.find(input, id);
    Result result = kOk;
    if (device == nullptr || device->vanished) {
        result = kBadDeviceId;
    } else if (device->busy || findOpen(input, device->serial) != nullptr) {
        result = kAllocated;
    } else if (device->failing || (input && callback == nullptr)) {
        result = kError;
    } else {
        handle = handles_ != nullptr ? handles_->take() : nextHandle_++;
        Port port;
        port.input = input;
        port.device = device->serial;
        port.callback = callback;
        port.longCallback = longCallback();
        port.instance = instance;
        open_.emplace(handle, std::move(port));
        ++(input ? inputOpens_ : outputOpens_);
    }
    record(std::string(input ? "midiInOpen(" : "midiOutOpen(") + std::to_string(id) +
           ") = " + std::to_string(result));
    return result;
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

Result InProcessPortService::midiOutShortMsg(Handle handle, std::uint32_t message) {
    std::lock_guard lock(mutex_);
    auto it = open_.find(handle);
    if (it == open_.end() || it->second.input) return kInvalidHandle;
    if (it->second.dead) return kError;
    it->second.sent.push_back(message);
    const MessageBytes bytes = unpackShortMessage(message);
    it->second.sentBytes.emplace_back(bytes.data(), bytes.data() + bytes.size);
    return kOk;
}

Result InProcessPortService::midiOutLongMsg(Handle handle, const std::uint8_t* bytes,
                                            std::size_t size) {
    std::lock_guard lock(mutex_);
    auto it = open_.find(handle);
    if (it == open_.end() || it->second.input) return kInvalidHandle;
    if (it->second.dead) return kError;
    if (longLimit_ && size > *longLimit_) return kTooLarge;
    it->second.sentBytes.emplace_back(bytes, bytes + size);
    return kOk;
}

void InProcessPortService::setLongLimit(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    longLimit_ = bytes;
}

std::vector<std::vector<std::uint8_t>> InProcessPortService::sentBytes(Handle handle) const {
    std::lock_guard lock(mutex_);
    if (auto it = open_.find(handle); it != open_.end()) return it->second.sentBytes;
    if (auto it = closed_.find(handle); it != closed_.end()) return it->second.sentBytes;
    return {};
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
