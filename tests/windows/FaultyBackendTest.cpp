// Values no MIDI port delivers, from a backend that delivers them anyway: status bytes below 0x80,
// data bytes above 127, bits 24-31 set. The window must stay inside its tables (the sanitizer
// builds run this), and shows, counts, marks and forwards them as follows: a status below 0x80
// counts as a Misc. message described "??"; a number above 127 is shown but marks no cell and
// keeps no note state; a controller value above 127 colours its cell as 127 would; thru sends
// every value on unchanged.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <set>
#include <utility>
#include <vector>

#include "doubles/InProcessPortService.h"
#include "grids/GridModel.h"
#include "input/InputRing.h"
#include "support/RgbPrinting.h"
#include "support/WindowProbe.h"
#include "windows/Tambview.h"

namespace tamblin::windows {
namespace {

using grids::GridModel;
using grids::Rgb;
using ports::InProcessPortService;
using testing::WindowProbe;

class FaultyBackendTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testing::ensureApplication(); }

    void SetUp() override {
        service.setInputDevices({"Faulty"});
        service.setOutputDevices({"Recorder"});
        window = std::make_unique<Tambview>(service, ring);
        window->setEndProgram([] {});
        window->load();
        probe().checkBox("chkMidiOut")->click();
        ASSERT_NE(window->midiOutHnd(), 0u);
    }

    WindowProbe probe() const { return WindowProbe(*window); }

    void playAndTick(const std::vector<InProcessPortService::Event>& events) {
        ASSERT_EQ(service.play(0, events), events.size());
        window->refreshTick();
    }

    InProcessPortService service;
    input::InputRing ring;
    std::unique_ptr<Tambview> window;
};

struct Mark {
    int grid;
    int channel;
    int number;
    Rgb colour;
};

TEST_F(FaultyBackendTest, BadValuesStayInsideTheTablesAndGoOutUnchanged) {
    struct Case {
        std::uint32_t message;
        const char* line;  // nullptr: skipped as a real-time message
    };
    const Case cases[] = {
        {0x00403C10, "1 403C10 ??"},                         // a data byte where the status goes
        {0x0000007F, "2 007F ??"},                           // status 0x7F
        {0x12345678, "3 345678 ??"},                         // status 0x78 and a top byte
        {0x0040C890, "4 40C890 note on:  C:1 N:200 V:64"},   // note 200 has no cell
        {0x00C83C91, "5 C83C91 note on:  C:2 N:60 V:200"},   // velocity 200 still sounds
        {0x00FF8F80, "6 FF8F80 note off: C:1 N:143 V:255"},  // note 143 has no cell
        {0x00C807B0, "7 C807B0 Control:  C:1 C:7 V:200"},    // value 200 coloured as 127
        {0x007F90B0, "8 7F90B0 Control:  C:1 C:144 V:127"},  // controller 144 has no cell
        {0x0000C8C0, "9 00C8C0 Prog Ch:  C:1 P:200"},        // program 200 has no cell
        {0xFF403C90, "10 403C90 note on:  C:1 N:60 V:64"},   // top byte set, the rest is fine
        {0x00FFFFE0, "11 FFFFE0 Pitch Wheel Change"},        // data bytes 255
        {0x0080FFA3, "12 80FFA3 Polyphonic Key Pressure"},   // data bytes 255 and 128
        {0x00FFFFD5, "13 FFFFD5 Channel Pressure"},          // data bytes 255
        {0xFFFFFFFF, nullptr},                               // status 0xFF: System Reset
        {0xABCDEF01, "15 CDEF01 ??"},                        // status 0x01
    };
    std::vector<InProcessPortService::Event> events;
    QStringList expectedLog;
    std::vector<std::uint32_t> expectedSent;
    std::int32_t time = 0;
    for (const Case& c : cases) {
        time += 1000;
        events.push_back({c.message, time});
        if (c.line == nullptr) continue;
        expectedLog << QString::fromLatin1(c.line);
        expectedSent.push_back(c.message);
    }
    playAndTick(events);

    EXPECT_EQ(probe().logLines(), expectedLog);
    const char* counts[input::kMessageClasses] = {" 1", " 3", " 1", " 2", " 1", " 1", " 1", " 4"};
    for (int k = 0; k < input::kMessageClasses; ++k)
        EXPECT_EQ(probe().countText(k), QString::fromLatin1(counts[k])) << "class " << k;
    EXPECT_EQ(service.sent(window->midiOutHnd()), expectedSent);

    const Mark marks[] = {
        {grids::kNotesGrid, 1, 60, grids::kNoteOn},
        {grids::kNotesGrid, 0, 60, grids::kNoteOn},
        {grids::kControllersGrid, 0, 7, Rgb{254, 1, 0}},
    };
    for (int g = 0; g < 3; ++g) {
        GridModel expected(g);
        expected.setUp();
        for (const Mark& mark : marks)
            if (mark.grid == g) expected.markCell(mark.channel, mark.number, mark.colour);
        const GridModel& shown = window->gridModel(g);
        for (int row = 0; row < GridModel::kRows; ++row) {
            for (int col = 0; col < GridModel::kCols; ++col) {
                EXPECT_EQ(shown.background(row, col), expected.background(row, col))
                    << "grid " << g << " row " << row << " col " << col;
                EXPECT_EQ(shown.text(row, col), expected.text(row, col))
                    << "grid " << g << " row " << row << " col " << col;
            }
        }
    }

    const std::set<std::pair<int, int>> sounding = {{0, 60}, {1, 60}};
    for (int channel = 0; channel < 16; ++channel)
        for (int note = 0; note < 128; ++note)
            EXPECT_EQ(window->decoder().noteState(channel, note),
                      sounding.contains({channel, note}))
                << "channel " << channel << " note " << note;
}

TEST_F(FaultyBackendTest, RealTimeFilterReadsOnlyTheStatusByte) {
    probe().checkBox("chkNoreal")->setChecked(false);
    playAndTick({{0xFFFFFFFF, 1000},    // System Reset with data bytes and a top byte
                 {0x7F7F7FF8, 2000},    // Timing Clock likewise
                 {0x000000F0, 3000}});  // a lone SysEx start
    EXPECT_EQ(probe().logLines(),
              (QStringList{"1 FFFFFF System Reset", "2 7F7FF8 Timing Clock", "3 00F0 ??"}));
    EXPECT_EQ(probe().countText(7), " 3");
    EXPECT_EQ(service.sent(window->midiOutHnd()),
              (std::vector<std::uint32_t>{0xFFFFFFFF, 0x7F7F7FF8, 0x000000F0}));

    probe().checkBox("chkNoreal")->setChecked(true);
    playAndTick({{0xFFFFFFFF, 4000}, {0x7F7F7FF8, 5000}, {0x12345678, 6000}});
    EXPECT_EQ(probe().logLines().back(), "6 345678 ??") << "status 0x78 is no real-time status";
    EXPECT_EQ(probe().countText(7), " 4");
    EXPECT_EQ(service.sent(window->midiOutHnd()).back(), 0x12345678u);
    EXPECT_EQ(service.sent(window->midiOutHnd()).size(), 4u);
}

}  // namespace
}  // namespace tamblin::windows
