#include <gtest/gtest.h>

#include <QImage>
#include <ostream>

#include "grids/Colours.h"
#include "grids/GridModel.h"
#include "grids/GridView.h"
#include "support/WindowProbe.h"

// Failure messages show colours as the user would read them.
inline void PrintTo(const QColor& colour, std::ostream* os) {
    *os << '(' << colour.red() << ", " << colour.green() << ", " << colour.blue() << ')';
}

namespace tamblin::grids {
namespace {

class GridLinesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testing::ensureApplication(); }

    // The whole view, or only `region` of it, as an expose of that region asks, in place.
    static QImage paint(GridView& view, const QRegion& region = QRegion()) {
        QImage image(view.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::magenta);
        view.render(&image, region.boundingRect().topLeft(), region);
        return image;
    }
};

// Every cell ends in a one-pixel line on its right and bottom edge: black around the fixed row
// and column, light grey between body cells; everything else in the cell is its fill.
TEST_F(GridLinesTest, EachCellIsItsFillFramedByItsOwnLines) {
    GridModel model(kNotesGrid);
    model.setUp();
    model.markCell(0, 60, kNoteOn);  // row 1, col 61
    model.markCell(1, 0, kNoteOff);  // row 3, col 1
    model.setRow(5);                 // rows 5-6, cols 3-4 selected
    model.setCol(3);
    model.setRowSel(6);
    model.setColSel(4);
    GridView view(model);
    view.resize(view.sizeHint() + QSize(10, 10));
    const QImage image = paint(view);
    const QPalette& pal = view.palette();
    const QColor black(0, 0, 0), grey(192, 192, 192);

    struct Case {
        int row, col;
        QColor fill, line;
    };
    const Case cases[] = {
        {0, 0, pal.color(QPalette::Button), black},
        {0, 64, pal.color(QPalette::Button), black},
        {32, 0, pal.color(QPalette::Button), black},
        {1, 1, pal.color(QPalette::Base), grey},
        {1, 40, QColor(240, 240, 240), grey},  // band
        {1, 61, QColor(250, 0, 0), grey},
        {1, 62, QColor(240, 240, 240), grey},  // right after a marked cell
        {3, 1, QColor(100, 255, 100), grey},
        {5, 3, QColor(255, 0, 0), grey},  // selection
        {6, 4, QColor(255, 0, 0), grey},
        {6, 5, QColor(240, 240, 240), grey},  // band, next to the selection
        {32, 64, pal.color(QPalette::Base), grey},
    };
    auto check = [&](const QImage& image, const Case& c) {
        const QRect r = view.cellRect(c.row, c.col);
        for (int y : {r.top(), r.center().y(), r.bottom()})
            EXPECT_EQ(image.pixelColor(r.right(), y), c.line) << "right edge, y " << y;
        for (int x : {r.left(), r.center().x(), r.right() - 1})
            EXPECT_EQ(image.pixelColor(x, r.bottom()), c.line) << "bottom edge, x " << x;
        if (c.col != 0 && c.row != 0) {  // fixed cells carry text that may cover their middle
            for (QPoint p : {r.topLeft(), r.center(), QPoint(r.right() - 1, r.bottom() - 1)})
                EXPECT_EQ(image.pixelColor(p), c.fill) << "inside at " << p.x() << "," << p.y();
        } else {
            EXPECT_EQ(image.pixelColor(r.topLeft()), c.fill);
        }
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "cell " << c.row << "," << c.col);
        check(image, c);
        // Painted alone, as an expose of exactly that cell asks: its lines are the last row and
        // column of what is asked for.
        SCOPED_TRACE("the cell alone");
        check(paint(view, view.cellRect(c.row, c.col)), c);
    }
    const QRect last = view.cellRect(32, 64);
    EXPECT_EQ(image.pixelColor(last.right() + 1, last.top()), QColor(128, 128, 128));
    EXPECT_EQ(image.pixelColor(last.left(), last.bottom() + 1), QColor(128, 128, 128));
}

// A column made zero wide takes no pixels at all, not even a line over its neighbour's.
TEST_F(GridLinesTest, AZeroWidthColumnLeavesNoTrace) {
    GridModel model(kProgramsGrid);
    model.setUp();
    model.setColWidth(1, 0);
    model.markCell(0, 1, kProgramChange);  // row 1, col 2, right after the hidden column
    GridView view(model);
    view.resize(view.sizeHint());
    const QImage image = paint(view);
    const QRect label = view.cellRect(1, 0), after = view.cellRect(1, 2);
    ASSERT_EQ(label.right() + 1, after.left());
    EXPECT_EQ(image.pixelColor(label.right(), label.center().y()), QColor(0, 0, 0));
    EXPECT_EQ(image.pixelColor(after.left(), after.center().y()), QColor(255, 100, 100));
}

}  // namespace
}  // namespace tamblin::grids
