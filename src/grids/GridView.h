#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <QColor>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>

#include "grids/GridModel.h"

namespace tamblin::grids {

// Draws a GridModel and turns pointer events into the grid's Click and MouseMove events. All
// cell logic lives in the model; the view only converts twips to pixels and back.
class GridView : public QWidget {
    Q_OBJECT
public:
    explicit GridView(GridModel& model, QWidget* parent = nullptr);  // does not own the model

    GridModel& model() { return model_; }

    // Off keeps the screen as it is while the model changes; on repaints what changed, once.
    void setPainting(bool on);
    bool painting() const { return painting_; }
    // Call after changing the model: repaints the cells that look different since the last
    // call, and nothing while the grid cannot be seen (it is repainted whole when it can).
    void refresh();

    // Cell under the pointer at the last move or press; 0 over the header row, the label column
    // and beyond the last row or column.
    int mouseRow() const { return mouseRow_; }
    int mouseCol() const { return mouseCol_; }

    void setToolTipText(const QString& text) { toolTipText_ = text; }
    QString toolTipText() const { return toolTipText_; }

    // The cell the keys move and Space or Enter plays (a body cell), and whether the keys have
    // been used on this map since the pointer last pressed it: the focus frame then marks it
    // instead of the current cell. Pointer users see the grid exactly as before.
    int keyRow() const { return keyRow_; }
    int keyCol() const { return keyCol_; }
    bool keyboardInUse() const { return keyboardInUse_; }

    // Scales the cells with the rest of the window: 100 is the layout's own size.
    void setZoom(int percent);
    int zoom() const { return zoom_; }

    QRect cellRect(int row, int col) const;
    int paintCount() const { return paintCount_; }

    QSize sizeHint() const override;

signals:
    // The cell under the pointer when the button went up (see mouseRow()).
    void clicked(int gridIndex, int row, int col);
    void pointerMoved(int gridIndex);

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    using ColumnEdges = std::array<int, GridModel::kCols + 1>;
    ColumnEdges columnEdges() const;  // left pixel edge of every column, then the right end
    int rowPixels() const;
    // The cell's rectangle from the two above; the row and column must be in the grid.
    static QRect cellRect(const ColumnEdges& edges, int height, int row, int col);
    // A cell's pixels at the layout's size, scaled: every cell grows alike, so the map keeps its
    // proportions instead of gathering each cell's rounding at the far edge.
    int zoomed(int pixels) const { return (pixels * zoom_ + 50) / 100; }
    void useKeyboard();
    void moveKeyCell(int row, int col);
    // Tells assistive technology which cell has the focus, or that its words changed.
    void announceKeyCell(bool moved);
    int rowAt(int y) const;  // -1 outside the rows
    int colAt(int x) const;  // -1 outside the columns
    void followPointer(QPoint pos);
    struct CellInk {
        QColor fill;
        QColor ink;
    };
    // `pal`: the widget's palette, looked up once a paint (each lookup asks whether the window
    // is active).
    CellInk cellInk(int row, int col, const QPalette& pal) const;
    void paintText(QPainter& painter, const QRect& rect, int row, int col, const QPalette& pal);

    // What decides a cell's pixels, as the model held it when the cell was last asked to be
    // drawn.
    struct CellLook {
        std::optional<Rgb> background;
        bool selected = false;
        int alignment = 0;
        std::string text;
        friend bool operator==(const CellLook&, const CellLook&) = default;
    };
    CellLook lookOf(int row, int col) const;
    // Remembers the model as the whole grid is about to be drawn.
    void takeLook();
    // Repaints the cells whose look changed since the last time, or the whole grid when that is
    // not known. It forgets the cells the model touched meanwhile: one view per model.
    void repaintChanged();
    // The selected cells drawn as selected, as columns by rows; empty when none are.
    QRect selectionShown() const;
    bool canBeSeen() const;

    GridModel& model_;
    bool painting_ = true;
    int mouseRow_ = 0, mouseCol_ = 0;
    bool pressed_ = false;    // a left press on this grid whose release is a Click
    bool selecting_ = false;  // that press was on a body cell, so a drag extends the selection
    QString toolTipText_;
    int paintCount_ = 0;
    int keyRow_ = 0, keyCol_ = 0;
    bool keyboardInUse_ = false;
    std::string spokenKeyCell_;
    int zoom_ = 100;

    std::vector<CellLook> looks_;  // kRows * kCols, row by row; empty when unknown
    std::uint64_t lookRevision_ = 0;
    int lookRow_ = 0, lookCol_ = 0;  // the current cell, which carries the focus frame
    QRect lookSelection_;
    std::array<int, GridModel::kCols> lookWidths_{};
};

}  // namespace tamblin::grids
