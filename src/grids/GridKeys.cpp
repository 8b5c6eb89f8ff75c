// The maps on the keyboard: the keyboard's cell, its moves, playing it, and what a screen reader
// is told of it.
#include <QAccessible>
#include <QKeyEvent>
#include <QToolTip>
#include <algorithm>
#include <utility>

#include "grids/CellWords.h"
#include "grids/GridAccessible.h"
#include "grids/GridView.h"
#include "grids/PointerActions.h"

namespace tamblin::grids {

void GridView::focusInEvent(QFocusEvent* event) {
    // Reached by the keys, the map shows which cell they will move; a press shows the current
    // cell as it always has.
    const Qt::FocusReason reason = event->reason();
    if (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
        reason == Qt::ShortcutFocusReason)
        useKeyboard();
    QWidget::focusInEvent(event);
    if (keyboardInUse_) announceKeyCell(true);
}

void GridView::useKeyboard() {
    if (keyRow_ < 1 || keyCol_ < 1) {
        keyRow_ = std::max(model_.row(), 1);
        keyCol_ = std::max(model_.col(), 1);
    }
    keyboardInUse_ = true;
    update();
}

void GridView::keyPressEvent(QKeyEvent* event) {
    const int lastRow = GridModel::kRows - 1, lastCol = GridModel::kCols - 1;
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    const int key = event->key();
    const bool plays = key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter;
    const bool moves = key == Qt::Key_Left || key == Qt::Key_Right || key == Qt::Key_Up ||
                       key == Qt::Key_Down || key == Qt::Key_Home || key == Qt::Key_End ||
                       key == Qt::Key_PageUp || key == Qt::Key_PageDown;
    if ((!plays && !moves) || event->modifiers() & (Qt::AltModifier | Qt::ShiftModifier)) {
        QWidget::keyPressEvent(event);
        return;
    }
    useKeyboard();
    if (plays) {
        if (!event->isAutoRepeat()) emit clicked(model_.index(), keyRow_, keyCol_);
        return;
    }
    int row = keyRow_, col = keyCol_;
    switch (key) {
        case Qt::Key_Left:
            --col;
            break;
        case Qt::Key_Right:
            ++col;
            break;
        case Qt::Key_Up:
            --row;
            break;
        case Qt::Key_Down:
            ++row;
            break;
        // A channel's two rows together: Page Up and Page Down step a whole channel.
        case Qt::Key_PageUp:
            row -= 2;
            break;
        case Qt::Key_PageDown:
            row += 2;
            break;
        case Qt::Key_Home:
            col = 1;
            if (ctrl) row = 1;
            break;
        case Qt::Key_End:
            col = lastCol;
            if (ctrl) row = lastRow;
            break;
        default:
            break;
    }
    moveKeyCell(std::clamp(row, 1, lastRow), std::clamp(col, 1, lastCol));
}

void GridView::moveKeyCell(int row, int col) {
    keyRow_ = row;
    keyCol_ = col;
    update();
    // The tooltip a pointer resting on the cell would show.
    const auto tip = tooltipText(model_.index(), row, col, makeNoteNames(), makeKindWords());
    if (tip && isVisible())
        QToolTip::showText(mapToGlobal(cellRect(row, col).bottomLeft()),
                           QString::fromStdString(*tip), this, cellRect(row, col));
    announceKeyCell(true);
}

void GridView::announceKeyCell(bool moved) {
    if (!keyboardInUse_ || keyRow_ < 1 || keyCol_ < 1) return;
    std::string words = cellWords(model_, keyRow_, keyCol_);
    const bool changed = words != spokenKeyCell_;
    spokenKeyCell_ = std::move(words);
    if (!hasFocus() || (!moved && !changed)) return;
    QAccessibleEvent event(this, moved ? QAccessible::Focus : QAccessible::NameChanged);
    event.setChild(gridChildIndex(keyRow_, keyCol_));
    QAccessible::updateAccessibility(&event);
}

}  // namespace tamblin::grids
