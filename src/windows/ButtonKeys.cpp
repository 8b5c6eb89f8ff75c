#include "windows/ButtonKeys.h"

#include <QKeyEvent>
#include <QPushButton>

namespace tamblin::windows {

namespace {

class EnterPresses final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) return false;
        if ((key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) return false;
        auto* button = qobject_cast<QPushButton*>(watched);
        if (button == nullptr || !button->isEnabled()) return false;
        button->click();
        return true;
    }
};

}  // namespace

void pressButtonsOnEnter(QWidget& window) {
    auto* filter = new EnterPresses(&window);
    for (QPushButton* button : window.findChildren<QPushButton*>()) {
        // A dialog would otherwise make a button its default one, pressed by Enter anywhere.
        button->setAutoDefault(false);
        button->setDefault(false);
        button->installEventFilter(filter);
    }
}

}  // namespace tamblin::windows
