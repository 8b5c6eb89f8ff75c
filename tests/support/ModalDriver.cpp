#include "support/ModalDriver.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <memory>

namespace tamblin::testing {

namespace {

// Polls every 5 ms until `find` gives a visible window, then runs `action` on it once; gives up
// after `timeoutMs`.
void onNext(std::function<QWidget*()> find, std::function<void(QWidget*)> action, int timeoutMs) {
    auto* poll = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, clock, find, action, timeoutMs] {
        QWidget* found = find();
        const bool visible = found != nullptr && found->isVisible();
        if (visible || clock->elapsed() > timeoutMs) {
            poll->stop();
            poll->deleteLater();
        }
        if (visible) action(found);
    });
    poll->start();
}

// Clicks the button captioned `caption` in `modal`; one without it is closed, and the test fails.
void clickIn(QWidget* modal, const QString& caption) {
    for (auto* button : modal->findChildren<QAbstractButton*>()) {
        if (button->text() == caption) {
            button->click();
            return;
        }
    }
    ADD_FAILURE() << "no button captioned " << caption.toStdString() << " in "
                  << modal->windowTitle().toStdString();
    modal->close();
}

}  // namespace

void onNextModal(std::function<void(QWidget*)> action, int timeoutMs) {
    onNext([] { return QApplication::activeModalWidget(); }, std::move(action), timeoutMs);
}

void onNextMessageBox(std::function<void(QMessageBox*)> action, int timeoutMs) {
    onNext([] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); },
           [action](QWidget* box) { action(static_cast<QMessageBox*>(box)); }, timeoutMs);
}

MessageBoxFacts messageBoxFacts(QWidget* widget) {
    MessageBoxFacts facts;
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (!box) return facts;
    facts.title = box->windowTitle();
    facts.text = box->text();
    for (auto* button : box->buttons()) facts.buttons << button->text();
    facts.hasIcon = box->icon() != QMessageBox::NoIcon || !box->iconPixmap().isNull();
    return facts;
}

void answerNextMessageBox(MessageBoxFacts* seen, int timeoutMs) {
    onNextMessageBox(
        [seen](QMessageBox* box) {
            if (seen) *seen = messageBoxFacts(box);
            clickIn(box, QStringLiteral("OK"));
        },
        timeoutMs);
}

void clickInNextModal(const QString& caption, QString* seenText, int timeoutMs) {
    onNextModal(
        [caption, seenText](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal); box && seenText)
                *seenText = box->text();
            clickIn(modal, caption);
        },
        timeoutMs);
}

ModalGuard::ModalGuard(std::chrono::milliseconds patience) : patience_(patience) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { check(); });
    timer_.start();
}

void ModalGuard::check() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) {
        current_ = nullptr;
        return;
    }
    if (modal != current_) {
        current_ = modal;
        since_.start();
    }
    if (since_.elapsed() < patience_.count()) return;
    const auto* box = qobject_cast<QMessageBox*>(modal);
    closed_ << (box != nullptr ? box->text() : modal->windowTitle());
    current_ = nullptr;
    const QPointer<QWidget> closing(modal);
    modal->close();
    if (closing && closing->isVisible()) closing->hide();  // a window that refuses to close
}

}  // namespace tamblin::testing
