#pragma once

#include <QString>
#include <QWidget>
#include <functional>

class QMessageBox;

namespace tamblin::testing {

// Modal dialogs and message boxes block the test's call until they close. These helpers arm a
// timer before the blocking call: it waits for the next modal widget and acts on it.

// Runs `action` on the next active modal widget (polled every 5 ms, for at most `timeoutMs`).
void onNextModal(std::function<void(QWidget*)> action, int timeoutMs = 5000);

// Runs `action` on the next message box, once (polled every 5 ms, for at most `timeoutMs`); unlike
// onNextModal it passes over other modal windows, such as the dialog that shows the box.
void onNextMessageBox(std::function<void(QMessageBox*)> action, int timeoutMs = 5000);

// Clicks the push button captioned `caption` in the next modal widget and records the text of a
// message box (if it is one) in `seenText` when given.
void clickInNextModal(const QString& caption, QString* seenText = nullptr, int timeoutMs = 5000);

// Text of a QMessageBox, its title and buttons, for assertions.
struct MessageBoxFacts {
    QString title;
    QString text;
    QStringList buttons;
    bool hasIcon = false;
};
MessageBoxFacts messageBoxFacts(QWidget* box);

}  // namespace tamblin::testing
