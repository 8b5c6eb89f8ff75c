#pragma once

#include <QString>
#include <functional>

#include "ports/DeviceOpener.h"

namespace tamblin::windows {

class DeviceDialog;

// The device opener's user interface in the program: the device dialog, message boxes, and the
// main window's two name boxes (reached through callbacks).
class DialogOpenerUi final : public ports::OpenerUi {
public:
    using NameSink = std::function<void(const QString&)>;
    // The window's one device dialog, created on first use.
    using DialogProvider = std::function<DeviceDialog&()>;
    // Whether the program has ended while the dialog was up (an input overrun): the choice is
    // then no device, so that no port opens after both were closed.
    using Ended = std::function<bool()>;

    DialogOpenerUi(DialogProvider dialog, NameSink showInputName, NameSink showOutputName,
                   Ended ended = {});

    int chooseDevice(const std::vector<std::string>& names, const std::string& prompt) override;
    void showMessage(const std::string& text) override;
    void showDeviceName(bool input, const std::string& name) override;

private:
    DialogProvider dialog_;
    NameSink showInputName_;
    NameSink showOutputName_;
    Ended ended_;
};

}  // namespace tamblin::windows
