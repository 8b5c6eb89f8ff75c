#include "ports/DeviceOpener.h"

namespace tamblin::ports {

namespace {

constexpr std::size_t kNameLimit = 33;

}  // namespace

std::string cstr2str(const std::uint8_t* cs) {
    std::string text;
    for (std::size_t at = 0; at < kNameLimit && cs[at] != 0; ++at)
        text.push_back(static_cast<char>(cs[at]));
    return text;
}

std::vector<DeviceNames> readDevices(PortService& service, bool input) {
    const std::uint32_t counted = input ? service.midiInGetNumDevs() : service.midiOutGetNumDevs();
    // The count as the opener reads it: its low 16 bits, as a signed number.
    const auto count = static_cast<std::int16_t>(counted & 0xFFFFu);
    std::vector<DeviceNames> devices;
    DeviceCaps caps{};
    for (DeviceId id = 0; id < count; ++id) {
        if (input)
            service.midiInGetDevCaps(id, caps, DeviceCaps::kSize);
        else
            service.midiOutGetDevCaps(id, caps, DeviceCaps::kSize);
        devices.push_back(
            {service.deviceName(input, id), cstr2str(caps.bytes.data() + DeviceCaps::kNameOffset)});
    }
    return devices;
}

DeviceMatch matchDevice(const std::vector<DeviceNames>& devices, const std::string& wanted) {
    std::vector<DeviceId> exact;
    std::vector<DeviceId> startingWith;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const auto id = static_cast<DeviceId>(i);
        if (devices[i].whole == wanted || devices[i].shown == wanted) exact.push_back(id);
        if (devices[i].whole.starts_with(wanted)) startingWith.push_back(id);
    }
    using Outcome = DeviceMatch::Outcome;
    if (exact.size() == 1) return {Outcome::Found, exact.front()};
    if (exact.size() > 1) return {Outcome::SeveralExact};
    if (startingWith.size() == 1) return {Outcome::Found, startingWith.front()};
    if (startingWith.size() > 1) return {Outcome::SeveralStartingWith};
    return {Outcome::None};
}

struct DeviceOpener::Direction {
    bool input;
    std::uint32_t (PortService::*count)();
    Result (PortService::*caps)(DeviceId, DeviceCaps&, std::uint32_t);
    const char* noDevices;
    const char* prompt;
    const char* inUse;
};

DeviceOpener::DeviceOpener(PortService& service, OpenerUi& ui) : service_(service), ui_(ui) {}

void DeviceOpener::openMidiIn(DeviceId& midiInDev, Handle& midiInHnd, InputCallback callback,
                              Instance instance, std::optional<DeviceId> chosen) {
    static constexpr Direction kInput{true,
                                      &PortService::midiInGetNumDevs,
                                      &PortService::midiInGetDevCaps,
                                      kNoInputDevices,
                                      kSelectInput,
                                      kInputInUse};
    open(kInput, midiInDev, midiInHnd, callback, instance, chosen);
}

void DeviceOpener::openMidiOut(DeviceId& midiOutDev, Handle& midiOutHnd,
                               std::optional<DeviceId> chosen) {
    static constexpr Direction kOutput{false,
                                       &PortService::midiOutGetNumDevs,
                                       &PortService::midiOutGetDevCaps,
                                       kNoOutputDevices,
                                       kSelectOutput,
                                       kOutputInUse};
    open(kOutput, midiOutDev, midiOutHnd, nullptr, 0, chosen);
}

void DeviceOpener::open(const Direction& direction, DeviceId& device, Handle& handle,
                        InputCallback callback, Instance instance, std::optional<DeviceId> chosen) {
    // One structure for the whole run, zero-filled once: the service rewrites the whole name
    // field on every query, so a shorter name never carries the tail of a longer one.
    DeviceCaps caps{};
    const std::uint8_t* name = caps.bytes.data() + DeviceCaps::kNameOffset;
    if (chosen) {
        device = *chosen;
    } else {
        // Only the low 16 bits of the count are meaningful, as a signed number.
        const auto count = static_cast<std::int16_t>((service_.*direction.count)() & 0xFFFFu);
        // A negative count cannot name any device; opening the previous choice instead would
        // open a device the user never picked in this run of the opener.
        if (count <= 0) {
            ui_.showMessage(direction.noDevices);
            return;
        }
        if (count == 1) {
            device = 0;
        } else {
            std::vector<std::string> names;
            names.reserve(static_cast<std::size_t>(count));
            for (DeviceId id = 0; id < count; ++id) {
                (service_.*direction.caps)(id, caps, DeviceCaps::kSize);
                names.push_back(cstr2str(name));
            }
            // A close by the close box gives -1. The service answers that id with an empty name
            // and a failed open, so nothing opens, no message shows and the name box is emptied.
            device = ui_.chooseDevice(names, direction.prompt);
        }
    }

    (service_.*direction.caps)(device, caps, DeviceCaps::kSize);
    ui_.showDeviceName(direction.input, cstr2str(name));

    if (direction.input) {
        const Result result =
            service_.midiInOpen(handle, device, callback, instance, kCallbackFunction);
        if (result == kOk) {
            service_.midiInStart(handle);
        } else if (result == kAllocated) {
            ui_.showMessage(direction.inUse);
        }
    } else {
        const Result result = service_.midiOutOpen(handle, device, nullptr, 0, 0);
        if (result == kAllocated) ui_.showMessage(direction.inUse);
    }
}

}  // namespace tamblin::ports
