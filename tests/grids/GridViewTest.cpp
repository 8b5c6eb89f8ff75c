#include "grids/GridView.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QToolTip>
#include <functional>

#include "grids/Colours.h"
#include "grids/GridModel.h"
#include "support/WindowProbe.h"
#include "windows/Twips.h"

namespace tamblin::grids {
namespace {

class GridViewTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testing::ensureApplication(); }

    // A set-up grid shown on the offscreen screen, sized to hold all its cells.
    void show(GridView& view) {
        view.model().setUp();
        view.resize(view.sizeHint() + QSize(20, 20));
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
        // Let the first paint happen, so later counts start from a settled widget.
        ASSERT_TRUE(QTest::qWaitFor([&] { return view.paintCount() > 0; }));
    }

    static QColor colourAt(GridView& view, int row, int col) {
        const QImage image = view.grab().toImage();
        const QPoint centre = view.cellRect(row, col).center();
        const qreal ratio = image.devicePixelRatio();
        return image.pixelColor(QPoint(qRound(centre.x() * ratio), qRound(centre.y() * ratio)));
    }

    static QColor toQColor(Rgb colour) { return QColor(colour.r, colour.g, colour.b); }
};

TEST_F(GridViewTest, BurstOfMarksWhilePaintingIsOffPaintsOnce) {
    GridModel model(kNotesGrid);
    GridView view(model);
    show(view);
    QCoreApplication::processEvents();
    const int before = view.paintCount();

    view.setPainting(false);
    EXPECT_FALSE(view.painting());
    for (int note = 0; note < 128; ++note) {
        model.markCell(note % 16, note, kNoteOn);
        view.refresh();
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(view.paintCount(), before);
    view.setPainting(true);
    view.refresh();

    ASSERT_TRUE(QTest::qWaitFor([&] { return view.paintCount() > before; }));
    // A repaint still pending happens now, synchronously: a second paint would be counted.
    QCoreApplication::sendPostedEvents();
    QEvent sync(QEvent::UpdateRequest);
    QApplication::sendEvent(&view, &sync);
    EXPECT_EQ(view.paintCount(), before + 1);
    EXPECT_TRUE(view.painting());

    // A tick in which nothing changed repaints nothing, and neither does a mark that leaves
    // every cell as it was.
    view.setPainting(false);
    model.markCell(127 % 16, 127, kNoteOn);
    view.setPainting(true);
    view.refresh();
    QCoreApplication::sendPostedEvents();
    QApplication::sendEvent(&view, &sync);
    QCoreApplication::processEvents();
    EXPECT_EQ(view.paintCount(), before + 1);
}

TEST_F(GridViewTest, PointerPositionsMapToCells) {
    GridModel model(kNotesGrid);
    GridView view(model);
    show(view);
    QSignalSpy clicks(&view, &GridView::clicked);
    QSignalSpy moves(&view, &GridView::pointerMoved);

    struct Case {
        int row, col;
        int mouseRow, mouseCol;
    };
    const Case cases[] = {
        {2, 1, 2, 1},     {1, 64, 1, 64}, {32, 64, 32, 64},
        {17, 33, 17, 33}, {0, 5, 0, 5},  // header row
        {5, 0, 5, 0},                    // label column
        {0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "cell " << c.row << "," << c.col);
        const QPoint centre = view.cellRect(c.row, c.col).center();
        QTest::mouseMove(&view, centre);
        EXPECT_EQ(view.mouseRow(), c.mouseRow);
        EXPECT_EQ(view.mouseCol(), c.mouseCol);
        clicks.clear();
        QTest::mouseClick(&view, Qt::LeftButton, {}, centre);
        EXPECT_EQ(view.mouseRow(), c.mouseRow);
        EXPECT_EQ(view.mouseCol(), c.mouseCol);
        ASSERT_EQ(clicks.count(), 1);
        EXPECT_EQ(clicks.at(0).at(0).toInt(), kNotesGrid);
    }
    EXPECT_GE(moves.count(), 1);

    // Beyond the last column there is no cell.
    const QRect last = view.cellRect(5, 64);
    QTest::mouseMove(&view, QPoint(last.right() + 5, last.center().y()));
    EXPECT_EQ(view.mouseRow(), 5);
    EXPECT_EQ(view.mouseCol(), 0);
}

TEST_F(GridViewTest, PressMakesTheCellCurrentAndDragSelects) {
    GridModel model(kProgramsGrid);
    GridView view(model);
    show(view);
    QSignalSpy clicks(&view, &GridView::clicked);

    QTest::mousePress(&view, Qt::LeftButton, {}, view.cellRect(3, 4).center());
    EXPECT_EQ(model.row(), 3);
    EXPECT_EQ(model.col(), 4);
    EXPECT_FALSE(model.selectionVisible());

    QMouseEvent drag(QEvent::MouseMove, QPointF(view.cellRect(6, 9).center()),
                     view.mapToGlobal(QPointF(view.cellRect(6, 9).center())), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&view, &drag);
    EXPECT_EQ(model.rowSel(), 6);
    EXPECT_EQ(model.colSel(), 9);
    EXPECT_TRUE(model.selectionVisible());

    QTest::mouseRelease(&view, Qt::LeftButton, {}, view.cellRect(6, 9).center());
    ASSERT_EQ(clicks.count(), 1);
    EXPECT_EQ(clicks.at(0).at(0).toInt(), kProgramsGrid);

    // A press on the header leaves the current cell alone.
    QTest::mouseClick(&view, Qt::LeftButton, {}, view.cellRect(0, 20).center());
    EXPECT_EQ(model.row(), 3);
    EXPECT_EQ(model.col(), 4);
}

TEST_F(GridViewTest, CellsShowTheirColours) {
    GridModel model(kNotesGrid);
    GridView view(model);
    show(view);
    model.markCell(0, 60, kNoteOn);              // row 1, col 61
    model.markCell(2, 7, controllerColour(64));  // row 5, col 8
    view.refresh();

    EXPECT_EQ(colourAt(view, 1, 61), QColor(250, 0, 0));
    EXPECT_EQ(colourAt(view, 5, 8), QColor(128, 127, 0));
    EXPECT_EQ(colourAt(view, 1, 40), QColor(240, 240, 240));  // band, note 39
    EXPECT_EQ(colourAt(view, 1, 2), view.palette().color(QPalette::Base));
    EXPECT_EQ(colourAt(view, 0, 2), view.palette().color(QPalette::Button));
    const QRect last = view.cellRect(32, 64);
    const QImage image = view.grab().toImage();
    EXPECT_EQ(image.pixelColor(last.right() + 5, last.bottom() + 5), QColor(128, 128, 128));

    model.clear();
    view.refresh();
    EXPECT_EQ(colourAt(view, 1, 61), QColor(240, 240, 240));
    EXPECT_EQ(colourAt(view, 1, 2), QColor(255, 255, 255));
}

TEST_F(GridViewTest, ARangeSelectionShowsInTheSelectionColour) {
    for (int index : {kNotesGrid, kProgramsGrid}) {
        SCOPED_TRACE(index);
        GridModel model(index);
        GridView view(model);
        show(view);
        model.setRow(3);
        model.setCol(4);
        model.setRowSel(4);
        view.refresh();
        const QColor selected =
            index == kNotesGrid ? QColor(255, 0, 0) : view.palette().color(QPalette::Highlight);
        EXPECT_EQ(colourAt(view, 4, 4), selected);
        model.setRow(3);  // a single cell is not shown as selected
        view.refresh();
        EXPECT_EQ(colourAt(view, 3, 4), view.palette().color(QPalette::Base));
    }
}

// A tick repaints only the cells that look different since the last one; what is on the screen
// after each tick must still be what a whole repaint draws, whatever the grid operations did.
TEST_F(GridViewTest, TheScreenAfterEachTickIsWhatAWholeRepaintDraws) {
    GridModel model(kNotesGrid);
    GridView view(model);
    show(view);
    view.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    view.setFocus();
    ASSERT_TRUE(view.hasFocus());
    // As after a Tab: the style then draws the focus frame, which follows the current cell.
    view.setAttribute(Qt::WA_KeyboardFocusChange);
    const auto onScreen = [&] {
        QCoreApplication::sendPostedEvents();
        QEvent sync(QEvent::UpdateRequest);
        QApplication::sendEvent(&view, &sync);
        return view.screen()
            ->grabWindow(view.winId())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    };
    const auto range = [&](int row, int col, int rowSel, int colSel) {
        model.setRow(row);
        model.setCol(col);
        model.setRowSel(rowSel);
        model.setColSel(colSel);
    };
    struct Tick {
        const char* what;
        std::function<void()> operations;
    };
    const Tick ticks[] = {
        {"notes on and off, one cell twice",
         [&] {
             for (int i = 0; i < 40; ++i) model.markCell(i % 16, i * 3, i % 3 ? kNoteOn : kNoteOff);
             model.markCell(0, 0, kNoteOff);
         }},
        {"the same marks again: nothing changes but the current cell",
         [&] {
             for (int i = 0; i < 40; ++i) model.markCell(i % 16, i * 3, i % 3 ? kNoteOn : kNoteOff);
         }},
        {"a range selected", [&] { range(3, 4, 9, 20); }},
        {"the range grown and moved", [&] { range(2, 10, 12, 30); }},
        {"a range coloured through the selection",
         [&] {
             model.setFillStyle(1);
             model.setCellBackColor(kProgramChange);
             model.setFillStyle(0);
         }},
        {"a mark collapses the selection", [&] { model.markCell(5, 100, kNoteOn); }},
        {"text and alignment of the current cell",
         [&] {
             range(7, 7, 7, 7);
             model.setText("x");
             model.setCellAlignment(GridModel::kAlignLeftCentre);
         }},
        {"pitch letters", [&] { model.noteLetters(); }},
        {"clear", [&] { model.clear(); }},
        {"a wider column", [&] { model.setColWidth(3, 2 * GridModel::kBodyColWidth); }},
    };
    for (const Tick& tick : ticks) {
        SCOPED_TRACE(tick.what);
        tick.operations();
        view.refresh();
        const QImage shown = onScreen();
        ASSERT_FALSE(shown.isNull());
        EXPECT_TRUE(shown == view.grab().toImage().convertToFormat(QImage::Format_RGB32));
    }
}

TEST_F(GridViewTest, RestingPointerShowsTheGridsOneTooltip) {
    GridModel model(kNotesGrid);
    GridView view(model);
    show(view);
    const QPoint at = view.cellRect(1, 61).center();
    QHelpEvent rest(QEvent::ToolTip, at, view.mapToGlobal(at));

    view.setToolTipText(QStringLiteral("Ch 1 note  60 C "));
    QApplication::sendEvent(&view, &rest);
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text(), QStringLiteral("Ch 1 note  60 C "));

    view.setToolTipText(QString());
    QApplication::sendEvent(&view, &rest);
    EXPECT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }));
}

TEST_F(GridViewTest, GeometryFollowsTheTwipWidths) {
    GridModel model(kControllersGrid);
    GridView view(model);
    model.setUp();
    const int dpi = view.logicalDpiX();
    const auto px = [dpi](int twips) { return windows::twipsToPixels(twips, dpi); };
    EXPECT_EQ(view.cellRect(0, 0), QRect(0, 0, px(800), px(240)));
    EXPECT_EQ(view.cellRect(0, 1).left(), px(800));
    EXPECT_EQ(view.cellRect(2, 3).width(), px(220));
    EXPECT_EQ(view.cellRect(2, 3).top(), 2 * px(240));
    EXPECT_EQ(view.cellRect(33, 0), QRect());
    EXPECT_EQ(view.focusPolicy(), Qt::StrongFocus);
    EXPECT_DOUBLE_EQ(view.font().pointSizeF(), 8.25);
}

}  // namespace
}  // namespace tamblin::grids
