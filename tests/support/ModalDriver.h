#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>

class QMessageBox;

namespace tamblin::testing {

// Modal dialogs and message boxes block the test's call until they close. These helpers arm a
// timer before the blocking call: it polls every 5 ms, for at most `timeoutMs`, for the next
// modal window and acts on it once.

// Runs `action` on the next visible modal window.
void onNextModal(std::function<void(QWidget*)> action, int timeoutMs = 5000);

// Runs `action` on the next message box; unlike onNextModal it passes over other modal windows,
// such as the dialog that shows the box.
void onNextMessageBox(std::function<void(QMessageBox*)> action, int timeoutMs = 5000);

// Text of a QMessageBox, its title and buttons, for assertions.
struct MessageBoxFacts {
    QString title;
    QString text;
    QStringList buttons;
    bool hasIcon = false;
};
MessageBoxFacts messageBoxFacts(QWidget* box);

// Clicks OK in the next message box, passing over other modal windows, and records what the box
// showed in `seen` when given.
void answerNextMessageBox(MessageBoxFacts* seen = nullptr, int timeoutMs = 5000);

// Clicks the push button captioned `caption` in the next modal window and records the text of a
// message box (if it is one) in `seenText` when given.
void clickInNextModal(const QString& caption, QString* seenText = nullptr, int timeoutMs = 5000);

// A modal window that nothing answers would block the test for good. While a guard lives, a modal
// window that stays up for `patience` is closed, and what it said (a message box's text, another
// window's title) is kept in closed(): the test fails on it instead of hanging. With no patience,
// every modal window is closed at once, for tests in which the program must ask nothing.
class ModalGuard {
public:
    explicit ModalGuard(std::chrono::milliseconds patience = std::chrono::milliseconds(0));
    ModalGuard(const ModalGuard&) = delete;
    ModalGuard& operator=(const ModalGuard&) = delete;

    const QStringList& closed() const { return closed_; }

private:
    void check();

    std::chrono::milliseconds patience_;
    QTimer timer_;
    QPointer<QWidget> current_;
    QElapsedTimer since_;
    QStringList closed_;
};

}  // namespace tamblin::testing
