#include "grids/PointerActions.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "grids/Colours.h"

namespace tamblin::grids {
namespace {

TEST(PointerActionsTest, TooltipDescribesTheCellUnderThePointer) {
    struct Case {
        int grid, row, col;
        std::optional<std::string> text;
    };
    const Case cases[] = {
        {kNotesGrid, 1, 61, "Ch 1 note  60 C "},  // ends in the blank of "C "
        {kNotesGrid, 1, 62, "Ch 1 note  61 C#"},
        {kNotesGrid, 2, 1, "Ch 1 note  64 E "},
        {kNotesGrid, 1, 1, "Ch 1 note  0 C "},
        {kNotesGrid, 32, 64, "Ch 16 note  127 G "},
        {kProgramsGrid, 19, 6, "Ch 10 program change  5"},
        {kProgramsGrid, 3, 1, "Ch 2 program change  0"},
        {kControllersGrid, 32, 64, "Ch 16 controller  127"},
        {kControllersGrid, 5, 8, "Ch 3 controller  7"},
        {kNotesGrid, 0, 5, std::nullopt},  // header row
        {kNotesGrid, 5, 0, std::nullopt},  // label column
        {kProgramsGrid, 0, 0, std::nullopt},
        {kControllersGrid, 33, 1, std::nullopt},
        {kControllersGrid, 1, 65, std::nullopt},
        {3, 1, 1, std::nullopt},  // no such grid
    };
    const NoteNames names = makeNoteNames();
    const KindWords words = makeKindWords();
    for (const Case& c : cases) {
        EXPECT_EQ(tooltipText(c.grid, c.row, c.col, names, words), c.text)
            << "grid " << c.grid << " cell " << c.row << "," << c.col;
    }
}

TEST(PointerActionsTest, ClicksBuildTheMessageOfTheCell) {
    struct Case {
        const char* what;
        std::uint32_t message, expected;
    };
    const Case cases[] = {
        {"ch1 note 64 off -> sound it", noteClickMessage(0, 64, false), 0x7F4090},
        {"ch1 note 64 on -> release", noteClickMessage(0, 64, true), 0x004090},
        {"ch16 note 127 off", noteClickMessage(15, 127, false), 0x7F7F9F},
        {"ch1 note 60 off", noteClickMessage(0, 60, false), 0x7F3C90},
        {"ch2 program 0", programClickMessage(1, 0), 0x0000C1},
        {"ch10 program 90", programClickMessage(9, 90), 0x005AC9},
        {"ch16 controller 127 value 5", controllerClickMessage(15, 127, 5), 0x057FBF},
        {"ch3 controller 7 value 64", controllerClickMessage(2, 7, 64), 0x4007B2},
        {"ch1 controller 0 value 127", controllerClickMessage(0, 0, 127), 0x7F00B0},
        {"value above 127 stays a data byte", controllerClickMessage(0, 1, 200), 0x7F01B0},
        {"negative value", controllerClickMessage(0, 1, -4), 0x0001B0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.message, c.expected) << c.what << std::hex << ": got 0x" << c.message;
    }
}

}  // namespace
}  // namespace tamblin::grids
