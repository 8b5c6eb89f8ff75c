#pragma once

#include <QString>
#include <functional>

#include "ports/DeviceOpener.h"

namespace tamblin::windows {

class DeviceDialog;

// The device opener's user interface in the real program: the device dialog, message boxes,
// and the two name boxes of the main window (reached through callbacks).
class DialogOpenerUi : public ports::OpenerUi {
public:
    using NameSink = std::function<void(const QString&)>;
    // Lets the window create its one device dialog on first use.
    using DialogProvider = std::function<DeviceDialog&()>;

    DialogOpenerUi(DialogProvider dialog, NameSink showInputName, NameSink showOutputName);
    DialogOpenerUi(DeviceDialog& dialog, NameSink showInputName, NameSink showOutputName);

    int chooseDevice(const std::vector<std::string>& names, const std::string& prompt) override;
    void showMessage(const std::string& text) override;
    void showDeviceName(bool input, const std::string& name) override;

private:
    DialogProvider dialog_;
    NameSink showInputName_;
    NameSink showOutputName_;
};

}  // namespace tamblin::windows
