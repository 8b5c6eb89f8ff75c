#include "ports/RtMidiPortService.h"

#include "ports/ShortMessage.h"

namespace tamblin::ports {

namespace {

// The client part of a port name as RtMidi gives it ("Tamblin:Monitor input 128:0").
std::string_view clientOf(const std::string& portName) {
    return std::string_view(portName).substr(0, portName.find(':'));
}

}  // namespace

std::int64_t RtMidiPortService::InputState::microsecondsAt(Clock::time_point when) const {
    const Clock::duration since{when.time_since_epoch().count() -
                                startedAt.load(std::memory_order_relaxed)};
    return std::chrono::duration_cast<std::chrono::microseconds>(since).count();
}

RtMidiPortService::RtMidiPortService(std::unique_ptr<MidiSystem> system, HandleSource* handles)
    : system_(std::move(system)), handles_(handles != nullptr ? *handles : ownHandles_) {}

RtMidiPortService::~RtMidiPortService() {
    std::lock_guard lock(mutex_);
    open_.clear();
}

// Runs on the MIDI system's input thread. The time is taken here rather than summed from
// RtMidi's deltas, which drift from the clock that midiInClock reads.
void RtMidiPortService::onMessage(const std::uint8_t* bytes, std::size_t size, void* user) {
    const Clock::time_point now = Clock::now();
    const auto* state = static_cast<const InputState*>(user);
    if (!state->started.load(std::memory_order_acquire)) return;
    const std::optional<std::uint32_t> message = packShortMessage(bytes, size);
    const std::int64_t micros = state->microsecondsAt(now);
    if (!message) {
        if (state->longCallback == nullptr) return;
        LongData data;
        data.bytes = bytes;
        data.size = size;
        data.time = static_cast<std::uint32_t>(micros / 1000);
        data.micros = static_cast<std::uint64_t>(micros);
        state->longCallback(state->handle, state->instance, data);
        return;
    }
    const std::uint32_t fine =
        state->fineTimes ? static_cast<std::uint32_t>(micros % 1000) << kMimMicrosShift : 0;
    state->callback(state->handle, kMimData | fine, state->instance, *message,
                    static_cast<std::uint32_t>(micros / 1000));
}

std::vector<RtMidiPortService::Device> RtMidiPortService::listDevices(bool input) {
    std::vector<Device> devices;
    for (const int api : system_->apis()) {
        for (std::string& name : system_->portNames(api, input, kClientName)) {
            if (name.empty() || isTamblinClient(clientOf(name), false)) continue;
            devices.push_back(Device{api, std::move(name)});
        }
    }
    return devices;
}

std::uint32_t RtMidiPortService::countDevices(bool input) {
    std::lock_guard lock(mutex_);
    return devices_.take(input, listDevices(input));
}

std::optional<std::string> RtMidiPortService::listedName(bool input, DeviceId id) {
    std::lock_guard lock(mutex_);
    return devices_.name(input, id);
}

Result RtMidiPortService::open(bool input, Handle& handle, DeviceId id, InputCallback callback,
                               Instance instance) {
    std::lock_guard lock(mutex_);
    const Device* device = devices_.find(input, id);
    if (device == nullptr) return kBadDeviceId;
    if (input && callback == nullptr) return kError;
    for (const auto& [openHandle, openPort] : open_)
        if (openPort->input == input && openPort->device == *device) return kAllocated;

    auto port = std::make_unique<Port>();
    port->input = input;
    port->device = *device;
    const Handle opened = handles_.take();
    if (input) {
        port->state.callback = callback;
        port->state.handle = opened;
        port->state.instance = instance;
        port->state.fineTimes = fineTimes_;
        port->state.longCallback = longCallback();
        port->endpoint = system_->makeInput(device->api, kClientName, &onMessage, &port->state,
                                            port->state.longCallback != nullptr);
    } else {
        port->endpoint = system_->makeOutput(device->api, kClientName);
    }
    if (port->endpoint == nullptr) return kError;
    // The device list may have changed since it was counted: the name decides.
    const std::vector<std::string> names = port->endpoint->portNames();
    unsigned int index = 0;
    while (index < names.size() && names[index] != device->name) ++index;
    if (index == names.size()) return kBadDeviceId;
    if (!port->endpoint->openPort(index, input ? kInputPortName : kOutputPortName)) return kError;
    handle = opened;
    open_.emplace(handle, std::move(port));
    return kOk;
}

RtMidiPortService::Port* RtMidiPortService::find(Handle handle, bool input) {
    auto it = open_.find(handle);
    if (it == open_.end() || it->second->input != input) return nullptr;
    return it->second.get();
}

Result RtMidiPortService::midiInStart(Handle handle) {
    std::lock_guard lock(mutex_);
    Port* port = find(handle, true);
    if (port == nullptr) return kInvalidHandle;
    port->state.startedAt.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    port->state.started.store(true, std::memory_order_release);
    return kOk;
}

std::optional<std::int32_t> RtMidiPortService::midiInClock(Handle handle) {
    std::lock_guard lock(mutex_);
    const Port* port = find(handle, true);
    if (port == nullptr || !port->state.started.load(std::memory_order_acquire))
        return std::nullopt;
    return port->state.millisecondsAt(Clock::now());
}

Result RtMidiPortService::midiOutShortMsg(Handle handle, std::uint32_t message) {
    std::lock_guard lock(mutex_);
    Port* port = find(handle, false);
    if (port == nullptr) return kInvalidHandle;
    const MessageBytes bytes = unpackShortMessage(message);
    if (bytes.empty()) return kError;
    return port->endpoint->send(bytes.data(), bytes.size) ? kOk : kError;
}

Result RtMidiPortService::midiOutLongMsg(Handle handle, const std::uint8_t* bytes,
                                         std::size_t size) {
    std::lock_guard lock(mutex_);
    Port* port = find(handle, false);
    if (port == nullptr) return kInvalidHandle;
    if (size == 0) return kError;
    return port->endpoint->send(bytes, size) ? kOk : kError;
}

Result RtMidiPortService::close(bool input, Handle handle) {
    std::unique_ptr<Port> port;
    {
        std::lock_guard lock(mutex_);
        auto it = open_.find(handle);
        if (it == open_.end() || it->second->input != input) return kInvalidHandle;
        port = std::move(it->second);
        open_.erase(it);
    }
    // Destroying the endpoint joins the input thread's work for the port.
    port.reset();
    return kOk;
}

}  // namespace tamblin::ports
