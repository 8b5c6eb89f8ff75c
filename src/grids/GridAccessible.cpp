#include "grids/GridAccessible.h"

#include <QPointer>

#include "grids/CellWords.h"
#include "grids/GridView.h"
#include "grids/PointerActions.h"

namespace tamblin::grids {

namespace {

// One cell of a grid: a body cell, a row label, a column header or the empty corner.
class GridCellAccessible final : public QAccessibleInterface, public QAccessibleTableCellInterface {
public:
    GridCellAccessible(GridView* view, int row, int col) : view_(view), row_(row), col_(col) {}

    bool isValid() const override { return !view_.isNull(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return view_ ? view_->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override {
        return view_ ? QAccessible::queryAccessibleInterface(view_.data()) : nullptr;
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* focusChild() const override { return nullptr; }

    QString text(QAccessible::Text t) const override {
        if (!view_) return {};
        switch (t) {
            case QAccessible::Name:
                return QString::fromStdString(cellWords(view_->model(), row_, col_));
            case QAccessible::Description: {
                // What the pointer's tooltip says over the same cell.
                const auto tip = tooltipText(view_->model().index(), row_, col_, makeNoteNames(),
                                             makeKindWords());
                return tip ? QString::fromStdString(*tip) : QString();
            }
            default:
                return {};
        }
    }
    void setText(QAccessible::Text, const QString&) override {}

    QRect rect() const override {
        if (!view_) return {};
        const QRect cell = view_->cellRect(row_, col_);
        return QRect(view_->mapToGlobal(cell.topLeft()), cell.size());
    }

    QAccessible::Role role() const override {
        if (row_ == 0) return QAccessible::ColumnHeader;
        if (col_ == 0) return QAccessible::RowHeader;
        return QAccessible::Cell;
    }

    QAccessible::State state() const override {
        QAccessible::State s;
        if (!view_ || !view_->isVisible()) {
            s.invisible = true;
            return s;
        }
        if (!body()) return s;
        s.focusable = true;
        s.focused = view_->hasFocus() && view_->keyboardInUse() && view_->keyRow() == row_ &&
                    view_->keyCol() == col_;
        return s;
    }

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TableCellInterface && body())
            return static_cast<QAccessibleTableCellInterface*>(this);
        return nullptr;
    }

    // QAccessibleTableCellInterface, over the body cells
    bool isSelected() const override { return false; }
    QList<QAccessibleInterface*> columnHeaderCells() const override {
        return {headerCell(0, col_)};
    }
    QList<QAccessibleInterface*> rowHeaderCells() const override {
        // Both rows of a channel are headed by their own label: "N Ch  1", then "  (+64)".
        return {headerCell(row_, 0)};
    }
    int columnIndex() const override { return col_ - 1; }
    int rowIndex() const override { return row_ - 1; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return parent(); }

private:
    bool body() const { return row_ > 0 && col_ > 0; }
    QAccessibleInterface* headerCell(int row, int col) const {
        QAccessibleInterface* grid = parent();
        return grid ? grid->child(gridChildIndex(row, col)) : nullptr;
    }

    QPointer<GridView> view_;
    int row_, col_;
};

QAccessibleInterface* gridFactory(const QString& className, QObject* object) {
    if (className != QLatin1String(GridView::staticMetaObject.className())) return nullptr;
    if (auto* view = qobject_cast<GridView*>(object)) return new GridAccessible(view);
    return nullptr;
}

}  // namespace

void installGridAccessibility() {
    // Factories are the process's, kept by Qt for its lifetime: install this one once.
    static const bool installed = [] {
        QAccessible::installFactory(&gridFactory);
        return true;
    }();
    (void)installed;
}

GridAccessible::GridAccessible(GridView* view)
    : QAccessibleWidget(view, QAccessible::Table),
      cellIds_(static_cast<std::size_t>(GridModel::kRows * GridModel::kCols), 0) {}

GridAccessible::~GridAccessible() {
    for (const QAccessible::Id id : cellIds_)
        if (id != 0) QAccessible::deleteAccessibleInterface(id);
}

GridView* GridAccessible::view() const {
    return static_cast<GridView*>(widget());
}

int GridAccessible::childCount() const {
    return GridModel::kRows * GridModel::kCols;
}

QAccessibleInterface* GridAccessible::child(int index) const {
    if (index < 0 || index >= childCount()) return nullptr;
    QAccessible::Id& id = cellIds_[static_cast<std::size_t>(index)];
    if (id == 0)
        id = QAccessible::registerAccessibleInterface(
            new GridCellAccessible(view(), index / GridModel::kCols, index % GridModel::kCols));
    return QAccessible::accessibleInterface(id);
}

int GridAccessible::indexOfChild(const QAccessibleInterface* child) const {
    if (child == nullptr) return -1;
    const QAccessible::Id id = QAccessible::uniqueId(const_cast<QAccessibleInterface*>(child));
    for (std::size_t i = 0; i < cellIds_.size(); ++i)
        if (cellIds_[i] == id) return static_cast<int>(i);
    return -1;
}

QAccessibleInterface* GridAccessible::childAt(int x, int y) const {
    const QPoint at = view()->mapFromGlobal(QPoint(x, y));
    for (int row = 0; row < GridModel::kRows; ++row)
        for (int col = 0; col < GridModel::kCols; ++col)
            if (view()->cellRect(row, col).contains(at)) return child(gridChildIndex(row, col));
    return nullptr;
}

QAccessibleInterface* GridAccessible::focusChild() const {
    const GridView* grid = view();
    if (!grid->hasFocus() || !grid->keyboardInUse()) return nullptr;
    return child(gridChildIndex(grid->keyRow(), grid->keyCol()));
}

void* GridAccessible::interface_cast(QAccessible::InterfaceType type) {
    if (type == QAccessible::TableInterface) return static_cast<QAccessibleTableInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

QString GridAccessible::columnDescription(int column) const {
    return QString::fromStdString(view()->model().text(0, column + 1));
}

QString GridAccessible::rowDescription(int row) const {
    return QString::fromStdString(view()->model().text(row + 1, 0));
}

QAccessibleInterface* GridAccessible::cellAt(int row, int column) const {
    if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount()) return nullptr;
    return child(gridChildIndex(row + 1, column + 1));
}

}  // namespace tamblin::grids
