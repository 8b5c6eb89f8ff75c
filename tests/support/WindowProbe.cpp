#include "support/WindowProbe.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTabBar>
#include <QThread>
#include <stdexcept>

namespace tamblin::testing {

template <typename T>
T* WindowProbe::find(const char* name) const {
    T* widget = window_.findChild<T*>(QString::fromLatin1(name));
    if (widget == nullptr) throw std::runtime_error(std::string("no control named ") + name);
    return widget;
}

QLineEdit* WindowProbe::lineEdit(const char* name) const {
    return find<QLineEdit>(name);
}
QCheckBox* WindowProbe::checkBox(const char* name) const {
    return find<QCheckBox>(name);
}
QPushButton* WindowProbe::button(const char* name) const {
    return find<QPushButton>(name);
}
QString WindowProbe::labelText(const char* name) const {
    return find<QLabel>(name)->text();
}

template <typename Read>
QString WindowProbe::onMiscPage(Read read) const {
    auto* tabs = window_.findChild<QTabBar*>(QStringLiteral("tabBar"));
    if (tabs == nullptr) return read();
    const int shown = tabs->currentIndex();
    tabs->setCurrentIndex(3);
    QString text = read();
    tabs->setCurrentIndex(shown);
    return text;
}

QString WindowProbe::countText(int messageClass) const {
    return onMiscPage([&] {
        return labelText(
            QStringLiteral("lblMsgCounts(%1)").arg(messageClass).toLatin1().constData());
    });
}

QString WindowProbe::log() const {
    return onMiscPage([&] { return find<QPlainTextEdit>("txtMIDI")->toPlainText(); });
}

QStringList WindowProbe::logLines() const {
    QStringList lines = log().split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();
    return lines;
}

void clickButton(QWidget* parent, const QString& caption) {
    for (auto* button : parent->findChildren<QAbstractButton*>()) {
        if (button->text() == caption) {
            button->click();
            return;
        }
    }
    throw std::runtime_error("no button captioned " + caption.toStdString());
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

void processEventsFor(int ms) {
    waitFor([] { return false; }, ms);
}

}  // namespace tamblin::testing

#include <QApplication>

namespace tamblin::testing {
void ensureApplication() {
    if (QCoreApplication::instance() != nullptr) return;
    static int argc = 1;
    static char name[] = "tamblin-tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives until the process ends
}
}  // namespace tamblin::testing
