#pragma once

#include <optional>
#include <string>

#include "ports/PortService.h"

namespace tamblin::app {

// The device list as --list prints it: "in: NAME" for each input, then "out: NAME" for each
// output, one a line, in the order that the device dialogs show, each NAME a whole name with its
// control characters and backslashes escaped (ports::escapedName), as --input takes it.
std::string deviceListText(ports::PortService& service);

// The device that --input NAME (`input`) or --output NAME stands for, counted afresh; nothing,
// with `error` set to a message that lists the devices of that direction, when NAME matches
// no device or several.
std::optional<ports::DeviceId> deviceByName(ports::PortService& service, bool input,
                                            const std::string& name, std::string& error);

}  // namespace tamblin::app
