#pragma once

#include <QFont>
#include <QRect>
#include <QWidget>

#include "grids/Twips.h"

namespace tamblin::windows {

using grids::twipsToPixels;

inline QRect twipsRect(int left, int top, int width, int height, int dpi) {
    // Edges are converted, not sizes, so that adjacent controls stay adjacent.
    const int x0 = twipsToPixels(left, dpi), y0 = twipsToPixels(top, dpi);
    return QRect(x0, y0, twipsToPixels(left + width, dpi) - x0,
                 twipsToPixels(top + height, dpi) - y0);
}

// The property that keeps a control's place in twips, so that a zoom can place it again.
inline constexpr const char* kTwipsPlace = "tamblinTwipsPlace";
// The property that keeps a window's client size in twips.
inline constexpr const char* kTwipsClient = "tamblinTwipsClient";
// Set on a caption that fitCaption widened.
inline constexpr const char* kFitsCaption = "tamblinFitsCaption";

inline void placeInTwips(QWidget* widget, int left, int top, int width, int height) {
    widget->setProperty(kTwipsPlace, QRect(left, top, width, height));
    widget->setGeometry(twipsRect(left, top, width, height, widget->logicalDpiX()));
}

// Names a control (the name tests and style sheets find it by) and places it; returns it, so
// that a control is made, named and placed in one statement.
template <typename Control>
Control* placeNamed(Control* control, const QString& name, int left, int top, int width,
                    int height) {
    control->setObjectName(name);
    placeInTwips(control, left, top, width, height);
    return control;
}

// Widens a left-aligned caption (a label or a check box) that its box would cut off. The layout
// was drawn for the classic dialog font; a substitute face can run a few pixels wider, and a
// caption must still read whole.
inline void fitCaption(QWidget* widget) {
    widget->setProperty(kFitsCaption, true);
    const int needed = widget->sizeHint().width();
    if (needed > widget->width()) widget->resize(needed, widget->height());
}

// The nearest installed sans-serif face to the classic 8.25 pt dialog font: its metric-compatible
// successors first, then any sans-serif face.
inline QFont dialogFont(qreal pointSize = 8.25, bool bold = false) {
    static const bool substituted = [] {
        QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                                   {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Arial"),
                                    QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                    QStringLiteral("Helvetica"), QStringLiteral("DejaVu Sans")});
        return true;
    }();
    (void)substituted;
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

}  // namespace tamblin::windows
