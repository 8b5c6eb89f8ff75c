#include "grids/GridView.h"

#include <algorithm>
#include <bitset>
#include <utility>

#include <QAccessible>
#include <QFont>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QShowEvent>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QToolTip>

#include "grids/CellWords.h"
#include "grids/GridAccessible.h"
#include "grids/PointerActions.h"
#include "grids/Twips.h"

namespace tamblin::grids {

namespace {

// Room between a cell's edge and its text, as the grid control leaves it.
constexpr int kTextMargin = 2;

QColor toQColor(Rgb colour) {
    return QColor(colour.r, colour.g, colour.b);
}

bool readsAsNumber(const QString& text) {
    bool ok = false;
    text.trimmed().toDouble(&ok);
    return ok;
}

}  // namespace

GridView::GridView(GridModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    QFont gridFont(QStringLiteral("MS Sans Serif"));
    gridFont.setStyleHint(QFont::SansSerif);
    gridFont.setPointSizeF(8.25);
    setFont(gridFont);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    installGridAccessibility();
}

void GridView::setPainting(bool on) {
    // A plain switch rather than Qt's updatesEnabled, whose end repaints the whole widget. No
    // event is handled while painting is off (it spans one drain), so nothing asks for a paint.
    painting_ = on;
    if (on) refresh();
}

bool GridView::canBeSeen() const {
    return isVisible() && !window()->isMinimized();
}

GridView::CellLook GridView::lookOf(int row, int col) const {
    return {model_.background(row, col), model_.selectionVisible() && model_.isSelected(row, col),
            model_.alignment(row, col), model_.text(row, col)};
}

void GridView::takeLook() {
    looks_.resize(std::size_t{GridModel::kRows} * GridModel::kCols);
    for (int row = 0; row < GridModel::kRows; ++row)
        for (int col = 0; col < GridModel::kCols; ++col)
            looks_[GridModel::at(row, col)] = lookOf(row, col);
    lookRevision_ = model_.revision();
    lookRow_ = model_.row();
    lookCol_ = model_.col();
    lookSelection_ = selectionShown();
    model_.forgetTouched();
    for (int col = 0; col < GridModel::kCols; ++col) lookWidths_[col] = model_.colWidth(col);
}

QRect GridView::selectionShown() const {
    if (!model_.selectionVisible()) return {};
    return QRect(
        QPoint(std::min(model_.col(), model_.colSel()), std::min(model_.row(), model_.rowSel())),
        QPoint(std::max(model_.col(), model_.colSel()), std::max(model_.row(), model_.rowSel())));
}

void GridView::showEvent(QShowEvent* event) {
    // Qt draws the whole grid as it appears.
    QWidget::showEvent(event);
    takeLook();
}

void GridView::refresh() {
    if (!painting_) return;
    repaintChanged();
    announceKeyCell(false);
}

void GridView::setZoom(int percent) {
    zoom_ = percent;
    updateGeometry();
    update();
}

void GridView::repaintChanged() {
    if (!canBeSeen()) {
        looks_.clear();
        model_.forgetTouched();
        return;
    }
    bool whole = looks_.empty();
    for (int col = 0; col < GridModel::kCols && !whole; ++col)
        whole = lookWidths_[col] != model_.colWidth(col);
    if (whole) {
        takeLook();
        update();
        return;
    }
    if (model_.revision() == lookRevision_) return;

    // Each cell's pixels are its own (its text is clipped to it), so repainting the cells that
    // changed gives the picture a whole repaint would.
    // The current cell carries the focus frame: when it moves, both cells are drawn again.
    const bool currentMoved = lookRow_ != model_.row() || lookCol_ != model_.col();
    // Besides those two, only the cells the model touched can look different, unless the
    // selection shown changed; then every cell is compared.
    const QRect selection = selectionShown();
    const bool everyCell = selection != lookSelection_;
    const GridModel::Cells& touched = model_.touched();
    // Worked out once: each cell's rectangle from them costs a lookup of the screen's resolution.
    const ColumnEdges edges = columnEdges();
    const int height = rowPixels();
    QRegion changed;
    for (int row = 0; row < GridModel::kRows; ++row) {
        for (int col = 0; col < GridModel::kCols; ++col) {
            const std::size_t i = GridModel::at(row, col);
            const bool frameMoved = currentMoved && ((row == lookRow_ && col == lookCol_) ||
                                                     (row == model_.row() && col == model_.col()));
            CellLook& was = looks_[i];
            bool redraw = frameMoved;
            if (everyCell || touched.test(i)) {
                CellLook now = lookOf(row, col);
                redraw = redraw || now != was;
                was = std::move(now);
            }
            if (!redraw) continue;
            // Inside its lines, which never change. A column one pixel wide or less has no
            // inside.
            const QRect inside = cellRect(edges, height, row, col).adjusted(0, 0, -1, -1);
            if (!inside.isEmpty()) changed += inside;
        }
    }
    lookRevision_ = model_.revision();
    lookRow_ = model_.row();
    lookCol_ = model_.col();
    lookSelection_ = selection;
    model_.forgetTouched();
    if (!changed.isEmpty()) update(changed);
}

int GridView::rowPixels() const {
    return zoomed(twipsToPixels(model_.rowHeight(), logicalDpiY()));
}

// Each width is converted on its own, as the grid control does, so all body columns are equally
// wide.
GridView::ColumnEdges GridView::columnEdges() const {
    const int dpi = logicalDpiX();
    ColumnEdges edges{};
    for (int c = 0; c < GridModel::kCols; ++c) {
        edges[c + 1] = edges[c] + zoomed(twipsToPixels(model_.colWidth(c), dpi));
    }
    return edges;
}

QRect GridView::cellRect(int row, int col) const {
    if (row < 0 || row >= GridModel::kRows || col < 0 || col >= GridModel::kCols) return {};
    return cellRect(columnEdges(), rowPixels(), row, col);
}

QRect GridView::cellRect(const ColumnEdges& edges, int height, int row, int col) {
    return QRect(edges[col], row * height, edges[col + 1] - edges[col], height);
}

QSize GridView::sizeHint() const {
    return QSize(columnEdges().back(), GridModel::kRows * rowPixels());
}

int GridView::rowAt(int y) const {
    const int height = rowPixels();
    if (y < 0 || height <= 0) return -1;
    const int row = y / height;
    return row < GridModel::kRows ? row : -1;
}

int GridView::colAt(int x) const {
    if (x < 0) return -1;
    const ColumnEdges edges = columnEdges();
    const auto right = std::upper_bound(edges.begin() + 1, edges.end(), x);
    return right == edges.end() ? -1 : static_cast<int>(right - edges.begin()) - 1;
}

void GridView::followPointer(QPoint pos) {
    mouseRow_ = std::max(rowAt(pos.y()), 0);
    mouseCol_ = std::max(colAt(pos.x()), 0);
}

bool GridView::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        if (toolTipText_.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), toolTipText_, this);
        }
        return true;
    }
    return QWidget::event(event);
}

void GridView::mousePressEvent(QMouseEvent* event) {
    followPointer(event->position().toPoint());
    if (event->button() != Qt::LeftButton) return;
    pressed_ = true;
    selecting_ = mouseRow_ >= 1 && mouseCol_ >= 1;
    keyboardInUse_ = false;
    if (selecting_) {
        keyRow_ = mouseRow_;
        keyCol_ = mouseCol_;
        model_.setRow(mouseRow_);
        model_.setCol(mouseCol_);
        refresh();
    }
}

void GridView::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    followPointer(pos);
    if (selecting_ && (event->buttons() & Qt::LeftButton)) {
        // Dragging past an edge stretches the selection to the last body cell on that side.
        const int lastRow = GridModel::kRows - 1, lastCol = GridModel::kCols - 1;
        int row = rowAt(pos.y());
        if (row < 0) row = pos.y() < 0 ? 1 : lastRow;
        int col = colAt(pos.x());
        if (col < 0) col = pos.x() < 0 ? 1 : lastCol;
        model_.setRowSel(std::max(row, 1));
        model_.setColSel(std::max(col, 1));
        refresh();
    }
    emit pointerMoved(model_.index());
}

void GridView::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    followPointer(pos);
    if (event->button() != Qt::LeftButton) return;
    selecting_ = false;
    if (std::exchange(pressed_, false) && rect().contains(pos))
        emit clicked(model_.index(), mouseRow_, mouseCol_);
}

// The grid control raises one Click for the first press of a double-click and a DblClick, which
// nothing handles, for the second: the second press moves the current cell as any press does,
// but its release is no Click. A click after that is a new one.
void GridView::mouseDoubleClickEvent(QMouseEvent* event) {
    mousePressEvent(event);
    pressed_ = false;
}

namespace {

// Collects horizontally or vertically adjacent stretches of one colour and fills each with a
// single call: thousands of one-cell fills and one-pixel lines were most of a repaint's cost.
class RunFiller {
public:
    RunFiller(QPainter& painter, bool horizontal) : painter_(painter), horizontal_(horizontal) {}
    ~RunFiller() { flush(); }

    // Adds the span [from, to) along the run direction, `across` pixels wide from `at`.
    void add(int from, int to, int at, int across, const QColor& colour) {
        if (open_ && from == to_ && at == at_ && across == across_ && colour == colour_) {
            to_ = to;
            return;
        }
        flush();
        open_ = true;
        from_ = from;
        to_ = to;
        at_ = at;
        across_ = across;
        colour_ = colour;
    }

    void flush() {
        if (!open_) return;
        open_ = false;
        if (horizontal_) {
            painter_.fillRect(QRect(from_, at_, to_ - from_, across_), colour_);
        } else {
            painter_.fillRect(QRect(at_, from_, across_, to_ - from_), colour_);
        }
    }

private:
    QPainter& painter_;
    bool horizontal_;
    bool open_ = false;
    int from_ = 0, to_ = 0, at_ = 0, across_ = 0;
    QColor colour_;
};

// The cells to draw for a dirty region: those whose rectangle meets one of its rectangles, the
// rows that meet that rectangle vertically crossed with the columns that meet it horizontally;
// and of those, the cells whose bottom line or right line the region meets. A tick repaints the
// inside of each changed cell only, and its lines stay as they are on screen.
struct CellsToDraw {
    static constexpr std::size_t kCells = std::size_t{GridModel::kRows} * GridModel::kCols;
    std::bitset<kCells> cell;
    std::bitset<kCells> bottom;
    std::bitset<kCells> right;
    std::array<bool, GridModel::kRows> row{};
    std::array<bool, GridModel::kCols> col{};
};

// A tick's region holds a rectangle for each changed cell, hundreds at a dense stream, so each one
// finds its rows and columns directly instead of trying every cell.
template <typename Edges>
CellsToDraw cellsMeeting(const QRegion& region, const Edges& edges, int height) {
    CellsToDraw cells;
    if (height <= 0) return cells;
    for (const QRect& dirty : region) {
        if (dirty.bottom() < 0 || dirty.top() >= GridModel::kRows * height) continue;
        const int firstRow = std::max(0, dirty.top()) / height;
        const int lastRow = std::min(GridModel::kRows * height - 1, dirty.bottom()) / height;
        // The edges never fall from left to right: the first column whose right edge lies past
        // the rectangle's left one, then on while a column starts within it.
        const auto firstEdge = std::upper_bound(edges.begin() + 1, edges.end(), dirty.left());
        for (int col = static_cast<int>(firstEdge - edges.begin()) - 1;
             col < GridModel::kCols && edges[col] <= dirty.right(); ++col) {
            if (edges[col + 1] <= edges[col]) continue;  // no pixels
            cells.col[col] = true;
            const bool rightMet = dirty.right() >= edges[col + 1] - 1;
            for (int row = firstRow; row <= lastRow; ++row) {
                const std::size_t i = GridModel::at(row, col);
                cells.cell.set(i);
                cells.row[row] = true;
                if (dirty.bottom() >= (row + 1) * height - 1) cells.bottom.set(i);
                if (rightMet) cells.right.set(i);
            }
        }
    }
    return cells;
}

}  // namespace

void GridView::paintEvent(QPaintEvent* event) {
    ++paintCount_;
    QPainter painter(this);
    const QRegion& dirtyRegion = event->region();
    const ColumnEdges edges = columnEdges();
    const int height = rowPixels();
    // Every cell that meets the region is drawn below, its lines where the region meets them;
    // only what lies beyond the cells is filled here.
    const QRect allCells(0, 0, edges.back(), GridModel::kRows * height);
    if (!allCells.contains(dirtyRegion.boundingRect())) {
        for (const QRect& dirty : dirtyRegion.subtracted(allCells))
            painter.fillRect(dirty, toQColor(kBeyondCells));
    }

    const CellsToDraw cells = cellsMeeting(dirtyRegion, edges, height);
    const QPalette& pal = palette();

    // Each cell's pixels belong to that cell alone (its grid lines are its right column and
    // bottom row), so filling all cells, then drawing all lines, then all texts gives the same
    // picture as finishing one cell after the other.
    const QColor fixedLine(Qt::black);
    const QColor bodyLine = toQColor(kGridLine);
    {
        RunFiller fills(painter, true);
        RunFiller bottoms(painter, true);
        for (int row = 0; row < GridModel::kRows; ++row) {
            if (!cells.row[row]) continue;
            const int top = row * height;
            for (int col = 0; col < GridModel::kCols; ++col) {
                const std::size_t i = GridModel::at(row, col);
                if (!cells.cell.test(i)) continue;
                const bool fixed = row == 0 || col == 0;
                // All but the bottom line: the right line too, drawn again below where the
                // region meets it, so that a run of one colour is one rectangle.
                fills.add(edges[col], edges[col + 1], top, height - 1, cellInk(row, col, pal).fill);
                if (cells.bottom.test(i))
                    bottoms.add(edges[col], edges[col + 1], top + height - 1, 1,
                                fixed ? fixedLine : bodyLine);
            }
            fills.flush();
            bottoms.flush();
        }
    }
    {
        RunFiller rights(painter, false);
        for (int col = 0; col < GridModel::kCols; ++col) {
            if (!cells.col[col]) continue;
            for (int row = 0; row < GridModel::kRows; ++row) {
                if (!cells.right.test(GridModel::at(row, col))) continue;
                const bool fixed = row == 0 || col == 0;
                rights.add(row * height, (row + 1) * height, edges[col + 1] - 1, 1,
                           fixed ? fixedLine : bodyLine);
            }
            rights.flush();
        }
    }
    for (int row = 0; row < GridModel::kRows; ++row) {
        if (!cells.row[row]) continue;
        for (int col = 0; col < GridModel::kCols; ++col) {
            if (!cells.cell.test(GridModel::at(row, col))) continue;
            paintText(painter, cellRect(edges, height, row, col), row, col, pal);
        }
    }

    if (hasFocus()) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        const QRect cell =
            keyboardInUse_ ? cellRect(keyRow_, keyCol_) : cellRect(model_.row(), model_.col());
        option.rect = cell.adjusted(0, 0, -1, -1);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
}

GridView::CellInk GridView::cellInk(int row, int col, const QPalette& pal) const {
    const bool fixed = row == 0 || col == 0;
    const std::optional<Rgb> background = model_.background(row, col);
    if (fixed) {
        return {background ? toQColor(*background) : pal.color(QPalette::Button),
                pal.color(QPalette::ButtonText)};
    }
    if (model_.selectionVisible() && model_.isSelected(row, col)) {
        return {model_.index() == kNotesGrid ? toQColor(kNotesSelection)
                                             : pal.color(QPalette::Highlight),
                pal.color(QPalette::HighlightedText)};
    }
    return {background ? toQColor(*background) : pal.color(QPalette::Base),
            pal.color(QPalette::Text)};
}

void GridView::paintText(QPainter& painter, const QRect& rect, int row, int col,
                         const QPalette& pal) {
    const std::string& text = model_.text(row, col);
    if (text.empty()) return;
    const QString label = QString::fromStdString(text);
    Qt::Alignment align = Qt::AlignVCenter;
    if (model_.alignment(row, col) == GridModel::kAlignGeneral && readsAsNumber(label)) {
        align |= Qt::AlignRight;
    } else {
        align |= Qt::AlignLeft;
    }
    painter.setPen(cellInk(row, col, pal).ink);
    painter.drawText(rect.adjusted(kTextMargin, 0, -kTextMargin - 1, -1), align, label);
}

}  // namespace tamblin::grids
