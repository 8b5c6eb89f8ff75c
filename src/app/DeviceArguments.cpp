#include "app/DeviceArguments.h"

#include "ports/DeviceOpener.h"

namespace tamblin::app {

std::string deviceListText(ports::PortService& service) {
    std::string text;
    for (const bool input : {true, false})
        for (const ports::DeviceNames& device : ports::readDevices(service, input))
            text += (input ? "in: " : "out: ") + ports::escapedName(device.whole) + "\n";
    return text;
}

std::optional<ports::DeviceId> deviceByName(ports::PortService& service, bool input,
                                            const std::string& name, std::string& error) {
    const std::vector<ports::DeviceNames> devices = ports::readDevices(service, input);
    const ports::DeviceMatch match = ports::matchDevice(devices, name);
    using Outcome = ports::DeviceMatch::Outcome;
    if (match.outcome == Outcome::Found) return match.id;

    const std::string kind = input ? "input" : "output";
    switch (match.outcome) {
        case Outcome::None:
            error =
                "no " + kind + " device is named '" + name + "' or has a name starting with it.";
            break;
        case Outcome::SeveralExact:
            error = "several " + kind + " devices are named '" + name + "'.";
            break;
        default:
            error = "the names of several " + kind + " devices start with '" + name + "'.";
            break;
    }
    if (devices.empty()) {
        error += "\nThere is no " + kind + " device.";
    } else {
        error += "\nThe " + kind + " devices are:";
        for (const ports::DeviceNames& device : devices)
            error += "\n  " + ports::escapedName(device.whole);
    }
    return std::nullopt;
}

}  // namespace tamblin::app
