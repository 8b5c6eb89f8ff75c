#pragma once

#include <QWidget>
#include <span>

class QLabel;

namespace tamblin::windows {

// The tab control: one row of tabs over four pages. Pages span the whole control, so positions
// on a page are measured from the control's top-left corner, as the grids' top of 360 twips
// (just under the row of tabs) expects.
class TabControl final : public QWidget {
public:
    using QWidget::QWidget;
    int barHeight = 0;

protected:
    void paintEvent(QPaintEvent*) override;
};

// One control of the main window, as its table gives it.
struct Control {
    enum class Kind { Caption, Label, Box, Button, Check, Log, CountRows };
    Kind kind;
    bool onMisc;  // on the Misc page, else on the window under the tabs
    const char* name;
    const char* text;
    int left, top, width, height;  // twips
    bool fit = false;              // a caption widened when the font runs wider (fitCaption)
};

// The controls of the Misc page and of the window's bottom row, in the order they are made. The
// CountRows entry stands for the count labels, which the window makes itself.
std::span<const Control> mainControls();

// Makes, names and places `control` on `misc` or `window`; null for CountRows.
QWidget* makeControl(const Control& control, QWidget* misc, QWidget* window);

// Labels of the desktop the program was designed for draw their text at the top: a count then
// sits on its class name's line.
QLabel* topLabel(QWidget* parent, const QString& text);

}  // namespace tamblin::windows
