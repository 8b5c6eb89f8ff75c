#include "windows/DestroyedWindowWatch.h"

#include <xcb/xcb.h>

#include <QApplication>
#include <QPointer>
#include <QWidget>
#include <QWindow>

namespace tamblin::windows {

DestroyedWindowWatch::DestroyedWindowWatch() {
    QCoreApplication::instance()->installNativeEventFilter(this);
}

DestroyedWindowWatch::~DestroyedWindowWatch() {
    if (QCoreApplication* application = QCoreApplication::instance())
        application->removeNativeEventFilter(this);
}

bool DestroyedWindowWatch::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & ~0x80) != XCB_DESTROY_NOTIFY) return false;
    const xcb_window_t destroyed =
        reinterpret_cast<const xcb_destroy_notify_event_t*>(event)->window;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->internalWinId() != destroyed) continue;
        // Not from inside Qt's event reading: closing may end a modal loop or the program.
        QMetaObject::invokeMethod(
            widget, [widget] { closeAsByCloseBox(widget); }, Qt::QueuedConnection);
        return true;
    }
    return false;
}

void DestroyedWindowWatch::closeAsByCloseBox(QWidget* window) {
    QPointer<QWidget> guard(window);
    window->close();
    if (guard == nullptr) return;
    // The widget keeps its QWindow; only the platform window goes, and the next show makes one.
    if (QWindow* handle = window->windowHandle()) handle->destroy();
}

}  // namespace tamblin::windows
