#include "windows/MainControls.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyleOptionTabWidgetFrame>
#include <QStylePainter>

#include "windows/Tambview.h"
#include "windows/Twips.h"

namespace tamblin::windows {

namespace {

using Kind = Control::Kind;

// "Label1", "Label2" and "Text1" are the original names and text, kept on purpose
// (docs/NAMES.md).
constexpr Control kControls[] = {
    {Kind::Caption, true, "Label1", "MIDI Input Device:", 480, 1800, 1695, 375, true},
    {Kind::Box, true, "txtMidiIn", "Text1", 2280, 1800, 3255, 375},
    {Kind::Button, true, "cmdChange", "Change", 5760, 1800, 1695, 375},
    {Kind::Caption, true, "Label2", "MIDI Output Device:", 480, 2280, 1695, 375, true},
    {Kind::Box, true, "txtMidiOut", "(none)", 2280, 2280, 3255, 375},
    {Kind::Button, true, "cmdChangeO", "Change", 5760, 2280, 1695, 375},
    // Eight rows of 240 twips: a class's count (615 wide), then its name.
    {Kind::CountRows, true, "lblMsgCounts(k), lblMsgs(k)", "", 3600, 3120, 3375, 240 * 8},
    {Kind::Check, true, "chkNoreal", "Don't display system real time messages", 4680, 7200, 3255,
     255, true},
    {Kind::Check, true, "chkFirst", "Display messages only the first time", 4680, 7440, 3015, 255,
     true},
    {Kind::Log, true, "txtMIDI", "", 8160, 720, 6615, 7455},
    {Kind::Button, false, "cmdCDE", "C D E", 1080, 8520, 1335, 375},
    {Kind::Button, false, "cmdClear", "Clear", 3240, 8520, 1455, 375},
    {Kind::Label, false, "txtVersion", Tambview::kVersion, 7440, 8640, 1935, 255},
    {Kind::Check, false, "chkMidiOut", "Allow MIDI output", 10320, 8640, 3255, 255, true},
    {Kind::Button, false, "cmdExit", "Exit", 14280, 8520, 1935, 375},
};

QString latin(const char* text) {
    return QString::fromLatin1(text);
}

}  // namespace

void TabControl::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionTabWidgetFrame frame;
    frame.initFrom(this);
    frame.rect = rect().adjusted(0, barHeight - 1, 0, 0);
    painter.drawPrimitive(QStyle::PE_FrameTabWidget, frame);
}

std::span<const Control> mainControls() {
    return kControls;
}

QWidget* makeControl(const Control& control, QWidget* misc, QWidget* window) {
    QWidget* parent = control.onMisc ? misc : window;
    const QString text = latin(control.text);
    QWidget* made = nullptr;
    switch (control.kind) {
        case Kind::Caption:
            made = topLabel(parent, text);
            break;
        case Kind::Label:
            made = new QLabel(text, parent);
            break;
        case Kind::Box:
            made = new QLineEdit(text, parent);
            break;
        case Kind::Button:
            made = new QPushButton(text, parent);
            break;
        case Kind::Check:
            made = new QCheckBox(text, parent);
            break;
        case Kind::Log:
            made = new QPlainTextEdit(parent);
            break;
        case Kind::CountRows:
            return nullptr;
    }
    return placeNamed(made, latin(control.name), control.left, control.top, control.width,
                      control.height);
}

QLabel* topLabel(QWidget* parent, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

}  // namespace tamblin::windows
