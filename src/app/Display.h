#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tamblin::app {

// Why the window could not open on the X display that Qt is to use, in one line; nothing when it
// can, or when Qt is to use another platform (-platform offscreen, Wayland). Qt itself ends the
// program with an abort when its platform fails. `qtArguments` are QApplication's.
std::optional<std::string> displayProblem(const std::vector<std::string>& qtArguments);

}  // namespace tamblin::app
