// The window's device rows and output gate: opening the devices, the two Change buttons, "Allow
// MIDI output", and the dialogs they show.
#include <QCheckBox>

#include "windows/DeviceDialog.h"
#include "windows/Tambview.h"
#include "windows/ValueDialog.h"
#include "windows/Zoom.h"

namespace tamblin::windows {

void Tambview::openMidiIn(std::optional<ports::DeviceId> chosen) {
    const ports::Handle before = midiInHnd_;
    opener_.openMidiIn(midiInDev_, midiInHnd_, &input::midiInCallback, input::instanceOf(ring_),
                       chosen);
    if (capture_ == nullptr || midiInHnd_ == 0 || midiInHnd_ == before) return;
    // The capture times the new device's messages from the moment its clock started.
    const std::int64_t clock = service_.midiInClock(midiInHnd_).value_or(0);
    capture_->inputOpened(service_.deviceName(true, midiInDev_), clock * 1000);
}

void Tambview::setCapture(input::CaptureSink* capture) {
    capture_ = capture;
    pump_.setCapture(capture);
    if (capture != nullptr) service_.setFineTimes(true);
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
    // What the closed device delivered goes into the capture before the next device's marker,
    // timed by its own clock.
    if (capture_ != nullptr && !ended_ && !overran_) refreshTick();
    if (ended_) return;
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
