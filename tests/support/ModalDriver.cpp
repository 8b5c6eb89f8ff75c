#include "support/ModalDriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <memory>

namespace tamblin::testing {

void onNextModal(std::function<void(QWidget*)> action, int timeoutMs) {
    auto* timer = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, clock, action, timeoutMs] {
        if (QWidget* modal = QApplication::activeModalWidget(); modal && modal->isVisible()) {
            timer->stop();
            timer->deleteLater();
            action(modal);
        } else if (clock->elapsed() > timeoutMs) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

void onNextMessageBox(std::function<void(QMessageBox*)> action, int timeoutMs) {
    auto* poll = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, clock, action, timeoutMs] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        const bool found = box && box->isVisible();
        if (found || clock->elapsed() > timeoutMs) {
            poll->stop();
            poll->deleteLater();
        }
        if (found) action(box);
    });
    poll->start();
}

void clickInNextModal(const QString& caption, QString* seenText, int timeoutMs) {
    onNextModal(
        [caption, seenText](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal); box && seenText)
                *seenText = box->text();
            for (auto* button : modal->findChildren<QAbstractButton*>()) {
                if (button->text() == caption) {
                    button->click();
                    return;
                }
            }
        },
        timeoutMs);
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

}  // namespace tamblin::testing
