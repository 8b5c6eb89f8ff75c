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

struct DeviceOpener::Direction {
    bool input;
    std::uint32_t (PortService::*count)();
    Result (PortService::*caps)(DeviceId, DeviceCaps&, std::uint32_t);
    const char* noDevices;
    const char* prompt;
    const char* inUse;
};

DeviceOpener::DeviceOpener(PortService& service, OpenerUi& ui) : service_(service), ui_(ui) {}

void DeviceOpener::openMidiIn(DeviceId& midiInDev, Handle& midiInHnd, InputCallback callback) {
    static constexpr Direction kInput{true,
                                      &PortService::midiInGetNumDevs,
                                      &PortService::midiInGetDevCaps,
                                      kNoInputDevices,
                                      kSelectInput,
                                      kInputInUse};
    open(kInput, midiInDev, midiInHnd, callback);
}

void DeviceOpener::openMidiOut(DeviceId& midiOutDev, Handle& midiOutHnd) {
    static constexpr Direction kOutput{false,
                                       &PortService::midiOutGetNumDevs,
                                       &PortService::midiOutGetDevCaps,
                                       kNoOutputDevices,
                                       kSelectOutput,
                                       kOutputInUse};
    open(kOutput, midiOutDev, midiOutHnd, nullptr);
}

void DeviceOpener::open(const Direction& direction, DeviceId& device, Handle& handle,
                        InputCallback callback) {
    // Only the low 16 bits of the count are meaningful, as a signed number.
    const auto count = static_cast<std::int16_t>((service_.*direction.count)() & 0xFFFFu);
    // A negative count cannot name any device; opening the previous choice instead would open a
    // device the user never picked in this run of the opener.
    if (count <= 0) {
        ui_.showMessage(direction.noDevices);
        return;
    }

    // One structure for the whole run, zero-filled once: the service rewrites the whole name
    // field on every query, so a shorter name never carries the tail of a longer one.
    DeviceCaps caps{};
    const std::uint8_t* name = caps.bytes.data() + DeviceCaps::kNameOffset;
    if (count == 1) {
        device = 0;
    } else {
        std::vector<std::string> names;
        names.reserve(static_cast<std::size_t>(count));
        for (DeviceId id = 0; id < count; ++id) {
            (service_.*direction.caps)(id, caps, DeviceCaps::kSize);
            names.push_back(cstr2str(name));
        }
        // A close by the close box gives -1. The service answers that id with an empty name and
        // a failed open, so nothing opens, no message shows and the name box is emptied.
        device = ui_.chooseDevice(names, direction.prompt);
    }

    (service_.*direction.caps)(device, caps, DeviceCaps::kSize);
    ui_.showDeviceName(direction.input, cstr2str(name));

    if (direction.input) {
        const Result result = service_.midiInOpen(handle, device, callback, 0, kCallbackFunction);
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
