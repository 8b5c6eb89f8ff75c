#include "windows/Zoom.h"

#include <QFont>
#include <QVariant>
#include <QWidget>
#include <algorithm>

#include "grids/GridView.h"
#include "windows/Twips.h"

namespace tamblin::windows {

namespace {

// The font a control was built with, kept the first time it is zoomed.
constexpr const char* kBuiltFont = "tamblinBuiltFont";
// The width a fitted caption was built with, kept the first time it is zoomed.
constexpr const char* kBuiltWidth = "tamblinBuiltWidth";

void zoomFont(QWidget& widget, int percent) {
    if (!widget.property(kBuiltFont).isValid()) {
        // Controls without a font of their own follow their parent's.
        if (!widget.testAttribute(Qt::WA_SetFont)) return;
        widget.setProperty(kBuiltFont, widget.font());
    }
    QFont font = widget.property(kBuiltFont).value<QFont>();
    if (percent != 100) font.setPointSizeF(font.pointSizeF() * percent / 100);
    widget.setFont(font);
}

}  // namespace

int nextZoomStep(int percent, bool up) {
    if (up) {
        const auto* next = std::upper_bound(kZoomSteps.begin(), kZoomSteps.end(), percent);
        return next == kZoomSteps.end() ? kMaxZoom : *next;
    }
    const auto* next = std::lower_bound(kZoomSteps.begin(), kZoomSteps.end(), percent);
    return next == kZoomSteps.begin() ? kMinZoom : *(next - 1);
}

void zoomWidgets(QWidget& window, int percent) {
    const QVariant client = window.property(kTwipsClient);
    if (client.isValid()) {
        const QSize twips = client.toSize();
        const QSize size =
            twipsRect(0, 0, twips.width(), twips.height(), window.logicalDpiX() * percent / 100)
                .size();
        if (window.minimumSize() == window.maximumSize())
            window.setFixedSize(size);
        else
            window.resize(size);
    }
    QList<QWidget*> widgets = window.findChildren<QWidget*>();
    widgets.prepend(&window);
    for (QWidget* widget : widgets)
        if (widget->property(kFitsCaption).toBool() && !widget->property(kBuiltWidth).isValid())
            widget->setProperty(kBuiltWidth, widget->width());
    // Fonts first: a caption is fitted to its zoomed text.
    for (QWidget* widget : widgets) zoomFont(*widget, percent);
    for (QWidget* widget : widgets) {
        if (auto* grid = qobject_cast<grids::GridView*>(widget)) grid->setZoom(percent);
        const QVariant place = widget->property(kTwipsPlace);
        if (!place.isValid()) continue;
        const QRect twips = place.toRect();
        widget->setGeometry(twipsRect(twips.left(), twips.top(), twips.width(), twips.height(),
                                      widget->logicalDpiX() * percent / 100));
        if (widget->property(kFitsCaption).toBool()) {
            // A widened caption keeps its proportions too, unless its zoomed text needs more.
            const int built = widget->property(kBuiltWidth).toInt();
            widget->resize(std::max(widget->width(), (built * percent + 50) / 100),
                           widget->height());
            fitCaption(widget);
        }
    }
}

}  // namespace tamblin::windows
