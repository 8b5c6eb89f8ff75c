#include "app/Display.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <string_view>

namespace tamblin::app {

namespace {

// The value of Qt's option `name` ("-name VALUE", "--name VALUE", "-name=VALUE"), the last one
// given; the command line has checked that a value follows.
std::optional<std::string> qtOption(const std::vector<std::string>& args, std::string_view name) {
    std::optional<std::string> value;
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string_view arg = args[i];
        arg.remove_prefix(arg.starts_with("--") ? 2 : 1);
        if (arg == name && i + 1 < args.size())
            value = args[++i];
        else if (arg.starts_with(name) && arg.substr(name.size()).starts_with('='))
            value = std::string(arg.substr(name.size() + 1));
    }
    return value;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

std::optional<std::string> displayProblem(const std::vector<std::string>& qtArguments) {
    std::string platform =
        qtOption(qtArguments, "platform").value_or(environment("QT_QPA_PLATFORM"));
    if (platform.empty()) {
        // Qt's own choice: xcb, unless the session is a Wayland one.
        if (environment("XDG_SESSION_TYPE") == "wayland" || !environment("WAYLAND_DISPLAY").empty())
            return std::nullopt;
        platform = "xcb";
    }
    // A platform's options follow a colon; a list of platforms is tried in turn.
    if (platform != "xcb" && !platform.starts_with("xcb:")) return std::nullopt;

    const std::optional<std::string> display = qtOption(qtArguments, "display");
    xcb_connection_t* connection = xcb_connect(display ? display->c_str() : nullptr, nullptr);
    const bool failed = xcb_connection_has_error(connection) != 0;
    xcb_disconnect(connection);
    if (!failed) return std::nullopt;
    const std::string name = display.value_or(environment("DISPLAY"));
    if (name.empty()) return "cannot open a display: DISPLAY is not set";
    return "cannot open the display " + name;
}

}  // namespace tamblin::app
