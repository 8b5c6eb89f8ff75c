#pragma once

#include <QAccessibleTableInterface>
#include <QAccessibleWidget>
#include <vector>

#include "grids/GridModel.h"

namespace tamblin::grids {

class GridView;

// Makes every GridView a table to assistive technology: 32 rows by 64 columns of body cells,
// each named in words (see cellWords), the row labels as row headers and the digits or letters
// over the columns as column headers. The children are all the grid's cells, headers included,
// row by row, as the grid draws them.
void installGridAccessibility();

// The child index of the grid's cell (row, col), headers included.
constexpr int gridChildIndex(int row, int col) {
    return row * GridModel::kCols + col;
}

class GridAccessible final : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit GridAccessible(GridView* view);
    ~GridAccessible() override;

    GridView* view() const;

    // QAccessibleInterface
    int childCount() const override;
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QAccessibleInterface* childAt(int x, int y) const override;
    QAccessibleInterface* focusChild() const override;
    void* interface_cast(QAccessible::InterfaceType type) override;

    // QAccessibleTableInterface
    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QString columnDescription(int column) const override;
    QString rowDescription(int row) const override;
    int columnCount() const override { return GridModel::kCols - 1; }
    int rowCount() const override { return GridModel::kRows - 1; }
    QAccessibleInterface* cellAt(int row, int column) const override;
    int selectedCellCount() const override { return 0; }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override { return 0; }
    QList<QAccessibleInterface*> selectedCells() const override { return {}; }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override { return {}; }
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int) const override { return false; }
    bool selectRow(int) override { return false; }
    bool selectColumn(int) override { return false; }
    bool unselectRow(int) override { return false; }
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent*) override {}

private:
    // Cells are made when first asked for and registered, so that each keeps one identity.
    mutable std::vector<QAccessible::Id> cellIds_;
};

}  // namespace tamblin::grids
