#include "grids/CellWords.h"
#include "grids/GridModel.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/RgbPrinting.h"

namespace tamblin::grids {
namespace {

using Cells = std::vector<std::optional<Rgb>>;

Cells backgrounds(const GridModel& grid) {
    Cells cells;
    for (int r = 0; r < GridModel::kRows; ++r) {
        for (int c = 0; c < GridModel::kCols; ++c) cells.push_back(grid.background(r, c));
    }
    return cells;
}

std::vector<std::string> texts(const GridModel& grid) {
    std::vector<std::string> all;
    for (int r = 0; r < GridModel::kRows; ++r) {
        for (int c = 0; c < GridModel::kCols; ++c) all.push_back(grid.text(r, c));
    }
    return all;
}

// The shaded numbers, independent of how they fall on the cells.
bool inBand(int number) {
    return (number >= 36 && number <= 47) || (number >= 60 && number <= 71) ||
           (number >= 84 && number <= 95);
}

GridModel setUpGrid(int index) {
    GridModel grid(index);
    grid.setUp();
    return grid;
}

TEST(GridModelTest, SetUpWritesHeaderDigitsLabelsAndWidths) {
    struct Case {
        int grid;
        const char* firstLabel;
        const char* lastLabel;
    };
    for (const Case& c : {Case{0, "N Ch  1", "N Ch  16"}, Case{1, "PC Ch  1", "PC Ch  16"},
                          Case{2, "CT Ch  1", "CT Ch  16"}}) {
        SCOPED_TRACE(c.grid);
        const GridModel grid = setUpGrid(c.grid);
        EXPECT_EQ(grid.text(1, 0), c.firstLabel);
        EXPECT_EQ(grid.text(31, 0), c.lastLabel);
        for (int row = 2; row <= 32; row += 2) EXPECT_EQ(grid.text(row, 0), "  (+64)") << row;
        EXPECT_EQ(grid.text(0, 0), "");

        struct Header {
            int col;
            const char* text;
        };
        for (const Header& h : {Header{1, " 0"}, Header{2, " 1"}, Header{10, " 9"},
                                Header{11, " 0"}, Header{61, " 0"}, Header{64, " 3"}}) {
            EXPECT_EQ(grid.text(0, h.col), h.text) << "column " << h.col;
        }
        EXPECT_EQ(grid.colWidth(0), 800);
        for (int col = 1; col <= 64; ++col) {
            EXPECT_EQ(grid.colWidth(col), 220) << col;
            EXPECT_EQ(grid.alignment(0, col), GridModel::kAlignLeftCentre) << col;
        }
        EXPECT_EQ(grid.text(5, 7), "");
    }
}

TEST(GridModelTest, SetUpShadesTheBandsAndLeavesTheRestInTheWindowColour) {
    for (int index = 0; index < 3; ++index) {
        SCOPED_TRACE(index);
        const GridModel grid = setUpGrid(index);
        for (int row = 0; row < GridModel::kRows; ++row) {
            for (int col = 0; col < GridModel::kCols; ++col) {
                const auto cell = GridModel::channelNumberAt(row, col);
                const std::optional<Rgb> expected =
                    cell && inBand(cell->number) ? std::optional{kBandGrey} : std::nullopt;
                ASSERT_EQ(grid.background(row, col), expected) << row << "," << col;
            }
        }
        EXPECT_EQ(grid.row(), 32);
        EXPECT_EQ(grid.col(), 64);
        EXPECT_FALSE(grid.selectionVisible());
    }
}

TEST(GridModelTest, MarkColoursTheMappedCellOnly) {
    struct Case {
        int grid, channel, number;
        Rgb colour;
        int row, col;
    };
    const Case cases[] = {
        {0, 0, 63, kNoteOn, 1, 64},             // ch1 note 63: end of the first row
        {0, 0, 64, kNoteOff, 2, 1},             // ch1 note 64: start of the second row
        {0, 0, 127, kNoteOn, 2, 64},            // ch1 note 127
        {0, 15, 63, kNoteOn, 31, 64},           // ch16 note 63
        {0, 15, 64, kNoteOff, 32, 1},           // ch16 note 64
        {0, 15, 127, kNoteOn, 32, 64},          // ch16 note 127: last body cell
        {0, 0, 60, kNoteOn, 1, 61},             // ch1 middle C
        {2, 2, 7, controllerColour(64), 5, 8},  // ch3 CC 7 value 64
        {1, 9, 90, kProgramChange, 20, 27},     // ch10 PC 90, in a grey band
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "ch " << c.channel << " n " << c.number);
        GridModel grid = setUpGrid(c.grid);
        Cells expected = backgrounds(grid);
        expected[static_cast<std::size_t>(c.row * GridModel::kCols + c.col)] = c.colour;

        grid.markCell(c.channel, c.number, c.colour);

        EXPECT_EQ(backgrounds(grid), expected);
        EXPECT_EQ(grid.row(), c.row);
        EXPECT_EQ(grid.col(), c.col);
        EXPECT_EQ(GridModel::cellFor(c.channel, c.number), std::pair(c.row, c.col));
    }
    EXPECT_EQ(controllerColour(64), (Rgb{128, 127, 0}));
}

TEST(GridModelTest, MarksOutsideTheChannelsOrNumbersAreIgnored) {
    struct Case {
        int channel, number;
    };
    for (const Case& c : {Case{16, 0}, Case{-1, 0}, Case{0, 128}, Case{0, -1}, Case{200, 300}}) {
        SCOPED_TRACE(::testing::Message() << "ch " << c.channel << " n " << c.number);
        GridModel grid = setUpGrid(kNotesGrid);
        const Cells before = backgrounds(grid);
        const auto revision = grid.revision();

        grid.markCell(c.channel, c.number, kNoteOn);

        EXPECT_EQ(backgrounds(grid), before);
        EXPECT_EQ(grid.revision(), revision);
        EXPECT_EQ(grid.row(), 32);
        EXPECT_EQ(grid.col(), 64);
        EXPECT_EQ(GridModel::cellFor(c.channel, c.number), std::pair(0, 0));
    }
}

TEST(GridModelTest, ClearRestoresBandsAndWhitensTheRestKeepingLabels) {
    for (int index = 0; index < 3; ++index) {
        SCOPED_TRACE(index);
        GridModel grid = setUpGrid(index);
        const std::vector<std::string> labels = texts(grid);
        grid.markCell(9, 90, kProgramChange);  // row 20 col 27, in a band
        grid.markCell(0, 60, kNoteOn);         // row 1 col 61, in a band
        grid.markCell(0, 0, kNoteOff);         // row 1 col 1, plain body
        grid.markCell(15, 127, kNoteOn);       // row 32 col 64, plain body
        grid.setRowSel(3);                     // a range left selected, as a drag leaves it
        grid.setColSel(5);

        grid.clear();

        for (int row = 0; row < GridModel::kRows; ++row) {
            for (int col = 0; col < GridModel::kCols; ++col) {
                const auto cell = GridModel::channelNumberAt(row, col);
                std::optional<Rgb> expected;
                if (cell) expected = inBand(cell->number) ? kBandGrey : kWhite;
                ASSERT_EQ(grid.background(row, col), expected) << row << "," << col;
            }
        }
        EXPECT_EQ(texts(grid), labels);
        EXPECT_EQ(grid.colWidth(0), 800);
        EXPECT_EQ(grid.colWidth(64), 220);
        EXPECT_FALSE(grid.selectionVisible());
        EXPECT_EQ(grid.row(), 32);
        EXPECT_EQ(grid.col(), 64);
        EXPECT_EQ(grid.fillStyle(), 1);
    }
}

TEST(GridModelTest, MarkAfterClearStillColoursOneCell) {
    GridModel grid = setUpGrid(kControllersGrid);
    grid.clear();
    Cells expected = backgrounds(grid);
    expected[5 * GridModel::kCols + 8] = Rgb{128, 127, 0};

    grid.markCell(2, 7, controllerColour(64));  // ch3 CC 7 value 64

    EXPECT_EQ(backgrounds(grid), expected);
    EXPECT_FALSE(grid.selectionVisible());
}

TEST(GridModelTest, NoteLettersReplaceTheDigitsOfTheNotesGridOnly) {
    struct Header {
        int col;
        const char* text;
    };
    const Header letters[] = {{1, "C"},  {2, ""},   {3, "D"}, {4, ""},   {5, "E"}, {6, "F"},
                              {7, ""},   {8, "G"},  {9, ""},  {10, "A"}, {11, ""}, {12, "B"},
                              {13, "C"}, {61, "C"}, {62, ""}, {63, "D"}, {64, ""}};
    GridModel notes = setUpGrid(kNotesGrid);
    notes.noteLetters();
    notes.noteLetters();  // pressing again writes the same letters
    for (const Header& h : letters) EXPECT_EQ(notes.text(0, h.col), h.text) << "column " << h.col;
    EXPECT_EQ(notes.text(1, 0), "N Ch  1");
    EXPECT_EQ(notes.text(2, 0), "  (+64)");
    EXPECT_EQ(notes.alignment(0, 1), GridModel::kAlignLeftCentre);

    notes.clear();
    for (const Header& h : letters) EXPECT_EQ(notes.text(0, h.col), h.text) << "column " << h.col;

    for (int index : {kProgramsGrid, kControllersGrid}) {
        GridModel grid = setUpGrid(index);
        grid.noteLetters();
        EXPECT_EQ(grid.text(0, 1), " 0");
        EXPECT_EQ(grid.text(0, 3), " 2");
    }
}

TEST(GridModelTest, CellsMapBackToChannelAndNumber) {
    struct Case {
        int row, col;
        std::optional<GridModel::ChannelNumber> expected;
    };
    const Case cases[] = {
        {1, 1, {{0, 0}}},     {2, 1, {{0, 64}}},     {1, 64, {{0, 63}}},    {32, 64, {{15, 127}}},
        {20, 27, {{9, 90}}},  {5, 8, {{2, 7}}},      {0, 5, std::nullopt},  {5, 0, std::nullopt},
        {0, 0, std::nullopt}, {33, 1, std::nullopt}, {1, 65, std::nullopt}, {-1, 1, std::nullopt},
    };
    for (const Case& c : cases) {
        const auto got = GridModel::channelNumberAt(c.row, c.col);
        ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.row << "," << c.col;
        if (got) {
            EXPECT_EQ(got->channel, c.expected->channel) << c.row << "," << c.col;
            EXPECT_EQ(got->number, c.expected->number) << c.row << "," << c.col;
        }
    }
    for (int channel = 0; channel < GridModel::kChannels; ++channel) {
        for (int number = 0; number < GridModel::kNumbers; ++number) {
            const auto [row, col] = GridModel::cellFor(channel, number);
            const auto back = GridModel::channelNumberAt(row, col);
            ASSERT_TRUE(back.has_value()) << channel << "," << number;
            ASSERT_EQ(*back, (GridModel::ChannelNumber{channel, number}));
        }
    }
}

TEST(GridModelTest, SelectionFollowsTheGridControlRules) {
    GridModel grid(kNotesGrid);
    grid.setRow(3);
    grid.setCol(4);
    grid.setRowSel(5);
    grid.setColSel(2);
    EXPECT_TRUE(grid.selectionVisible());
    grid.setFillStyle(0);
    grid.setCellBackColor(kNoteOn);
    EXPECT_EQ(grid.background(3, 4), kNoteOn);
    EXPECT_EQ(grid.background(5, 2), std::nullopt);

    grid.setFillStyle(1);
    grid.setCellBackColor(kWhite);  // the corner may lie above or left of the current cell
    for (int row = 3; row <= 5; ++row) {
        for (int col = 2; col <= 4; ++col) EXPECT_EQ(grid.background(row, col), kWhite);
    }
    EXPECT_EQ(grid.background(6, 4), std::nullopt);
    EXPECT_EQ(grid.background(3, 5), std::nullopt);

    grid.setRow(7);  // collapses the selection
    EXPECT_FALSE(grid.selectionVisible());
    EXPECT_EQ(grid.rowSel(), 7);
    EXPECT_EQ(grid.colSel(), 4);
}

TEST(GridModelTest, OnlyThreeGridsExist) {
    EXPECT_THROW(GridModel{3}, std::out_of_range);
    EXPECT_THROW(GridModel{-1}, std::out_of_range);
}

// What a screen reader says for a cell comes from its colour alone: every mark reads back as
// the event it shows, and the window colour, white and the grey bands read as no mark.
TEST(GridModelTest, CellWordsSayTheMarkACellShows) {
    const struct {
        int grid, channel, number;
        std::optional<Rgb> mark;  // nullopt: left as set-up made it
        std::string words;
    } cases[] = {
        {kNotesGrid, 0, 60, kNoteOn, "channel 1, note 60, C, on"},
        {kNotesGrid, 0, 61, kNoteOff, "channel 1, note 61, C sharp, off"},
        {kNotesGrid, 15, 127, std::nullopt, "channel 16, note 127, G, empty"},
        {kNotesGrid, 0, 36, std::nullopt, "channel 1, note 36, C, empty"},  // a grey band cell
        {kNotesGrid, 1, 70, kProgramChange, "channel 2, note 70, A sharp, empty"},
        {kProgramsGrid, 1, 5, kProgramChange, "channel 2, program 5, changed"},
        {kProgramsGrid, 9, 90, std::nullopt, "channel 10, program 90, empty"},
        {kControllersGrid, 2, 7, controllerColour(100), "channel 3, controller 7, value 100"},
        {kControllersGrid, 2, 8, controllerColour(0), "channel 3, controller 8, value 0"},
        {kControllersGrid, 2, 9, controllerColour(127), "channel 3, controller 9, value 127"},
        {kControllersGrid, 2, 10, kWhite, "channel 3, controller 10, empty"},
        {kControllersGrid, 2, 36, kBandGrey, "channel 3, controller 36, empty"},
    };
    for (const auto& c : cases) {
        GridModel model(c.grid);
        model.setUp();
        if (c.mark) model.markCell(c.channel, c.number, *c.mark);
        const auto [row, col] = GridModel::cellFor(c.channel, c.number);
        EXPECT_EQ(cellWords(model, row, col), c.words);
    }
    GridModel notes(kNotesGrid);
    notes.setUp();
    EXPECT_EQ(cellWords(notes, 0, 61), " 0") << "a header says its text";
    EXPECT_EQ(cellWords(notes, 2, 0), "  (+64)");
    notes.noteLetters();
    EXPECT_EQ(cellWords(notes, 0, 61), "C");
}

}  // namespace
}  // namespace tamblin::grids
