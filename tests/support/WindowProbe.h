#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <functional>

namespace tamblin::testing {

// Reads and works the main window's controls by name, as a user would see them.
class WindowProbe {
public:
    explicit WindowProbe(QWidget& window) : window_(window) {}

    QLineEdit* lineEdit(const char* name) const;
    QCheckBox* checkBox(const char* name) const;
    QPushButton* button(const char* name) const;
    QString labelText(const char* name) const;
    // The count labels and the log are on the Misc page: these read them as a user does, by
    // showing that page, then go back to the page that was shown.
    QString countText(int messageClass) const;  // lblMsgCounts(k)
    QString log() const;                        // the whole text of txtMIDI
    QStringList logLines() const;               // its lines, without the empty one after the last

private:
    template <typename T>
    T* find(const char* name) const;
    template <typename Read>
    QString onMiscPage(Read read) const;
    QWidget& window_;
};

// Clicks the button captioned `caption` among `parent`'s children.
void clickButton(QWidget* parent, const QString& caption);

// Runs the event loop until `condition` holds or `timeoutMs` passes; returns the condition.
bool waitFor(const std::function<bool()>& condition, int timeoutMs);

// Runs the event loop for `ms` milliseconds.
void processEventsFor(int ms);

}  // namespace tamblin::testing

namespace tamblin::testing {
// The application object widget tests need; created on first use, kept for the process.
void ensureApplication();
}  // namespace tamblin::testing

#include <ostream>
// Readable failure messages for Qt strings.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* os) {
    *os << '{';
    for (const QString& text : list) *os << "\n  \"" << text.toStdString() << '"';
    *os << " }";
}
