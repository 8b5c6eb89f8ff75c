#include "windows/DialogOpenerUi.h"

#include <utility>

#include "windows/DeviceDialog.h"
#include "windows/MessageBox.h"

namespace tamblin::windows {

DialogOpenerUi::DialogOpenerUi(DialogProvider dialog, NameSink showInputName,
                               NameSink showOutputName, Ended ended)
    : dialog_(std::move(dialog)),
      showInputName_(std::move(showInputName)),
      showOutputName_(std::move(showOutputName)),
      ended_(std::move(ended)) {}

// Device names are UTF-8, as JACK and the ALSA sequencer give them.
int DialogOpenerUi::chooseDevice(const std::vector<std::string>& names, const std::string& prompt) {
    DeviceDialog& dialog = dialog_();
    dialog.clearDevices();
    for (const std::string& name : names) dialog.addDevice(QString::fromStdString(name));
    dialog.setTask(QString::fromStdString(prompt));
    dialog.selectRow(0);
    dialog.showModal();
    if (ended_ && ended_()) return -1;
    return dialog.selectedRow();
}

void DialogOpenerUi::showMessage(const std::string& text) {
    windows::showMessage(QString::fromStdString(text));
}

void DialogOpenerUi::showDeviceName(bool input, const std::string& name) {
    const NameSink& sink = input ? showInputName_ : showOutputName_;
    if (sink) sink(QString::fromStdString(name));
}

}  // namespace tamblin::windows
