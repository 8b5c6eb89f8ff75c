// The window's device rows and output gate: opening the devices, the two Change buttons, "Allow
// MIDI output", and the dialogs they show.
#include <QCheckBox>

#include "windows/DeviceDialog.h"
#include "windows/Tambview.h"
#include "windows/ValueDialog.h"
#include "windows/Zoom.h"

namespace tamblin::windows {

void Tambview::openMidiIn(std::optional<ports::DeviceId> chosen) {
    opener_.openMidiIn(midiInDev_, midiInHnd_, &input::midiInCallback, input::instanceOf(ring_),
                       chosen);
}

void Tambview::openMidiOut(std::optional<ports::DeviceId> chosen) {
    opener_.openMidiOut(midiOutDev_, midiOutHnd_, chosen);
}

// A dialog takes the window's zoom each time it is used: closing one restores its built size.
DeviceDialog& Tambview::deviceDialog() {
    if (!deviceDialog_) deviceDialog_ = std::make_unique<DeviceDialog>();
    if (zoom_ != 100) zoomWidgets(*deviceDialog_, zoom_);
    return *deviceDialog_;
}

ValueDialog& Tambview::valueDialog() {
    if (!valueDialog_) valueDialog_ = std::make_unique<ValueDialog>();
    if (zoom_ != 100) zoomWidgets(*valueDialog_, zoom_);
    return *valueDialog_;
}

void Tambview::cmdChange_Click() {
    service_.midiInClose(midiInHnd_);
    openMidiIn();
}

void Tambview::cmdChangeO_Click() {
    service_.midiOutClose(midiOutHnd_);
    openMidiOut();
    // Tells a port service that holds received messages for the output a Change opens whether
    // the Change has ended with one of its own.
    mirrorThruGate();
}

void Tambview::chkMidiOut_Click() {
    if (chkMidiOut_->checkState() == Qt::Checked && midiOutHnd_ == 0) {
        openMidiOut();
        // Raises this handler once more, which finds the box clear and does nothing.
        if (midiOutHnd_ == 0) chkMidiOut_->setChecked(false);
    }
    mirrorThruGate();
}

void Tambview::mirrorThruGate() {
    service_.setThruGate(outputAllowed() && !overran_, realTimeFiltered());
}

}  // namespace tamblin::windows
