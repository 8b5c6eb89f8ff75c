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

std::string escapedName(const std::string& name) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            text += "\\\\";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\t') {
            text += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            text += "\\x";
            text.push_back(kDigits[byte >> 4]);
            text.push_back(kDigits[byte & 0x0F]);
        } else {
            text.push_back(c);
        }
    }
    return text;
}

DeviceMatch matchDevice(const std::vector<DeviceNames>& devices, const std::string& wanted) {
    using Outcome = DeviceMatch::Outcome;
    auto findBy = [&devices](auto matches) -> std::optional<DeviceMatch> {
        std::vector<DeviceId> found;
        for (std::size_t i = 0; i < devices.size(); ++i)
            if (matches(devices[i])) found.push_back(static_cast<DeviceId>(i));
        if (found.empty()) return std::nullopt;
        if (found.size() > 1) return DeviceMatch{Outcome::SeveralExact};
        return DeviceMatch{Outcome::Found, found.front()};
    };
    if (auto match = findBy([&](const DeviceNames& d) { return escapedName(d.whole) == wanted; }))
        return *match;
    if (auto match = findBy([&](const DeviceNames& d) { return d.whole == wanted; })) return *match;
    if (auto match = findBy([&](const DeviceNames& d) { return d.shown == wanted; })) return *match;
    auto match = findBy([&](const DeviceNames& d) {
        return d.whole.starts_with(wanted) || escapedName(d.whole).starts_with(wanted);
    });
    if (!match) return {Outcome::None};
    if (match->outcome == Outcome::SeveralExact) return {Outcome::SeveralStartingWith};
    return *match;
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
