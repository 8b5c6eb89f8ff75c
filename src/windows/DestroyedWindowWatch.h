#pragma once

#include <QAbstractNativeEventFilter>

class QWidget;

namespace tamblin::windows {

// Another X client can destroy a top-level window of this program without asking it first
// (XDestroyWindow, as `xdotool windowclose` does). Qt's xcb platform does not notice: the widget
// would go on as shown, with no window on the screen. This watch takes such a destruction for a
// click of the window's close box: the main window ends the program, a dialog or message box
// counts as closed. It also drops the dead platform window, so that the next show of the widget
// creates a new one. On other platforms it sees no X events and does nothing.
//
// Lives on the user-interface thread, as long as the application object; one per process.
class DestroyedWindowWatch final : public QAbstractNativeEventFilter {
public:
    DestroyedWindowWatch();  // installs itself on the application
    ~DestroyedWindowWatch() override;
    DestroyedWindowWatch(const DestroyedWindowWatch&) = delete;
    DestroyedWindowWatch& operator=(const DestroyedWindowWatch&) = delete;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    static void closeAsByCloseBox(QWidget* window);
};

}  // namespace tamblin::windows
