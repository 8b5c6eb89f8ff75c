#include "input/Decoder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tamblin::input {
namespace {

using grids::Rgb;

struct Mark {
    int grid;
    int channel;
    int number;
    Rgb colour;
    friend bool operator==(const Mark&, const Mark&) = default;
    friend std::ostream& operator<<(std::ostream& os, const Mark& m) {
        return os << "grid " << m.grid << " ch " << m.channel << " num " << m.number << " rgb("
                  << int{m.colour.r} << "," << int{m.colour.g} << "," << int{m.colour.b} << ")";
    }
};

// Keeps what a user would see: the count captions, the coloured cells in order, and the log
// as the text box would hold it.
class RecordingSink : public DecoderSink {
public:
    std::array<std::string, kMessageClasses> counts;
    std::vector<Mark> marks;
    std::vector<std::string> log;
    int logClears = 0;
    bool firstTime = false;

    void setCountText(int messageClass, std::string_view text) override {
        counts.at(static_cast<std::size_t>(messageClass)) = std::string(text);
    }
    void markCell(int grid, int channel, int number, Rgb colour) override {
        marks.push_back({grid, channel, number, colour});
    }
    void clearLog() override {
        log.clear();
        ++logClears;
    }
    void appendLog(std::string_view line) override { log.emplace_back(line); }
    bool firstTimeOnly() const override { return firstTime; }
};

struct Fixture {
    RecordingSink sink;
    Decoder decoder{sink};
    Fixture() { decoder.initialise(); }
};

TEST(DecoderTest, WorkedExamplesGiveExactLogLines) {
    struct Case {
        std::int32_t time;
        std::uint32_t message;
        const char* line;
    };
    const Case cases[] = {
        {12345, 0x403C90, "12.345 403C90 note on:  C:1 N:60 V:64"},     // ch1 note 60 vel 64
        {0, 0x403C80, "0 403C80 note off: C:1 N:60 V:64"},              // ch1 note off 60
        {500, 0x05C0, "0.5 005C0 Prog Ch:  C:1 P:5"},                   // ch1 program 5
        {2000, 0xF8, "2 00F8 Timing Clock"},                            // clock
        {60000, 0x6407B0, "60 6407B0 Control:  C:1 C:7 V:100"},         // ch1 volume 100
        {1234, 0x6499, "1.234 006499 note off: C:10 N:100 V:0"},        // ch10 note 100 vel 0
        {7, 0x7F7FEF, "0.007 7F7FEF Pitch Wheel Change"},               // ch16 bend max
        {1, 0x2040A5, "0.001 2040A5 Polyphonic Key Pressure"},          // ch6 key 64
        {10, 0x30D1, "0.01 0030D1 Channel Pressure"},                   // ch2 pressure 48
        {999, 0x7F7FBF, "0.999 7F7FBF Control:  C:16 C:127 V:127"},     // ch16 cc 127
        {3600000, 0x7F7F9F, "3600 7F7F9F note on:  C:16 N:127 V:127"},  // one hour in
        {1010, 0x7FCF, "1.01 007FCF Prog Ch:  C:16 P:127"},             // ch16 program 127
        {-1, 0xFE, "-0.001 00FE Active Sensing"},                       // negative time
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Fixture f;
        f.decoder.displayMessage(c.message, c.time);
        EXPECT_EQ(f.sink.log, std::vector<std::string>{c.line});
    }
}

// SysEx lines: Universal names, long ones cut, malformed ones shown for what they are; the
// counts, the maps and the first-time table never change.
TEST(DecoderTest, SysExGiveOneLineEachAndLeaveCountsAndMapsAlone) {
    using Bytes = std::vector<std::uint8_t>;
    Bytes longDump(1000, 0x11);  // a Roland bulk dump: 41 10 42 12 ..., 1,000 bytes
    longDump[0] = 0xF0, longDump[1] = 0x41, longDump[998] = 0x2A, longDump[999] = 0xF7;
    Bytes exactly32(32, 0x05);  // the longest one shown whole
    exactly32[0] = 0xF0, exactly32[1] = 0x43, exactly32[31] = 0xF7;
    Bytes exactly33 = exactly32;  // the shortest one cut
    exactly33.insert(exactly33.begin() + 2, 0x06);
    struct Case {
        Bytes bytes;
        const char* line;
    };
    const Case cases[] = {
        {{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},
         "1.5 F0 7E 7F 06 01 F7 SysEx 6 bytes: Identity Request"},
        {{0xF0, 0x7E, 0x10, 0x06, 0x02, 0x41, 0x42, 0x00, 0x19, 0x00, 0x00, 0x01, 0x00, 0xF7},
         "1.5 F0 7E 10 06 02 41 42 00 19 00 00 01 00 F7 SysEx 14 bytes: Identity Reply"},
        {{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, "1.5 F0 7E 7F 09 01 F7 SysEx 6 bytes: GM System On"},
        {{0xF0, 0x7E, 0x7F, 0x09, 0x02, 0xF7},
         "1.5 F0 7E 7F 09 02 F7 SysEx 6 bytes: GM System Off"},
        {{0xF0, 0x7E, 0x7F, 0x09, 0x03, 0xF7},
         "1.5 F0 7E 7F 09 03 F7 SysEx 6 bytes: GM2 System On"},
        {{0xF0, 0x7F, 0x7F, 0x04, 0x01, 0x7F, 0x7F, 0xF7},
         "1.5 F0 7F 7F 04 01 7F 7F F7 SysEx 8 bytes: Master Volume 16383"},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x02, 0xF7}, "1.5 F0 7F 7F 06 02 F7 SysEx 6 bytes: MMC Play"},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x01, 0xF7}, "1.5 F0 7F 7F 06 01 F7 SysEx 6 bytes: MMC Stop"},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x44, 0x06, 0x01, 0x21, 0x00, 0x00, 0x00, 0x00, 0xF7},
         "1.5 F0 7F 7F 06 44 06 01 21 00 00 00 00 F7 SysEx 13 bytes: MMC Locate"},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x30, 0xF7},
         "1.5 F0 7F 7F 06 30 F7 SysEx 6 bytes: MMC command 30"},
        {{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x21, 0x02, 0x03, 0x04, 0xF7},
         "1.5 F0 7F 7F 01 01 21 02 03 04 F7 SysEx 10 bytes: MTC Full Frame"},
        {{0xF0, 0x7E, 0x7F, 0x08, 0x00, 0xF7},
         "1.5 F0 7E 7F 08 00 F7 SysEx 6 bytes: Universal Non-Real Time"},
        {{0xF0, 0x7D, 0x01, 0xF7}, "1.5 F0 7D 01 F7 SysEx 4 bytes: Non-Commercial"},
        {{0xF0, 0x00, 0x20, 0x29, 0x02, 0xF7},
         "1.5 F0 00 20 29 02 F7 SysEx 6 bytes: manufacturer 00 20 29"},
        {{0xF0, 0x43, 0xF7}, "1.5 F0 43 F7 SysEx 3 bytes: manufacturer 43"},
        {{0xF0, 0xF7}, "1.5 F0 F7 SysEx 2 bytes"},
        {exactly32,
         "1.5 F0 43 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 "
         "05 05 05 F7 SysEx 32 bytes: manufacturer 43"},
        {exactly33,
         "1.5 F0 43 06 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 05 ... F7 "
         "SysEx 33 bytes: manufacturer 43"},
        {longDump,
         "1.5 F0 41 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 ... F7 "
         "SysEx 1000 bytes: manufacturer 41"},
        // Malformed: no F7, cut by a real-time byte or another status, an empty event, bytes
        // without a status, a status with too many bytes.
        {{0xF0, 0x41, 0x10, 0x42},
         "1.5 F0 41 10 42 SysEx 4 bytes, no F7 at its end: manufacturer 41"},
        {{0xF0}, "1.5 F0 SysEx 1 byte, no F7 at its end"},
        {{0xF0, 0x41, 0xF8, 0x10, 0xF7},
         "1.5 F0 41 F8 10 F7 SysEx 5 bytes, cut by real-time F8: manufacturer 41"},
        {{0xF0, 0x41, 0x90, 0x3C, 0x40},
         "1.5 F0 41 90 3C 40 SysEx 5 bytes, cut by status 90, no F7 at its end: manufacturer 41"},
        {{0xF0, 0xF8, 0x41, 0xF7}, "1.5 F0 F8 41 F7 SysEx 4 bytes, cut by real-time F8"},
        {{}, "1.5 empty event"},
        {{0x41, 0x10, 0xF7}, "1.5 41 10 F7 not a MIDI message, 3 bytes"},
        {{0xF7, 0x01, 0x02}, "1.5 F7 01 02 not a MIDI message, 3 bytes"},
        {{0x90, 0x3C, 0x40, 0x00}, "1.5 90 3C 40 00 not a MIDI message, 4 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Fixture f;
        f.sink.firstTime = true;
        f.decoder.displaySysEx(c.bytes.data(), c.bytes.size(), 1500);
        f.decoder.displaySysEx(c.bytes.data(), c.bytes.size(), 1500);
        EXPECT_EQ(f.sink.log, (std::vector<std::string>{c.line, c.line}))
            << "SysEx are shown every time";
        EXPECT_TRUE(f.sink.marks.empty());
        for (int k = 0; k < kMessageClasses; ++k) EXPECT_EQ(f.decoder.count(k), 0);
        EXPECT_EQ(f.decoder.logLineCount(), 2);
        // The short message that shares the SysEx's first bytes is still new to the table.
        f.decoder.displayMessage(0x00F0u | (c.bytes.size() > 1 ? c.bytes[1] << 8 : 0), 1600);
        EXPECT_EQ(f.sink.log.size(), 3u);
    }

    Fixture f;
    f.decoder.displaySysExDropped(1, 40000, 2000);
    f.decoder.displaySysExDropped(3, 90000, 2001);
    f.decoder.displayNotForwarded(32001, 2002);
    EXPECT_EQ(f.sink.log, (std::vector<std::string>{
                              "2 SysEx dropped: 40000 bytes, no room",
                              "2.001 SysEx dropped: 90000 bytes in 3 messages, no room",
                              "2.002 SysEx not forwarded: 32001 bytes, more than the output "
                              "carries at once",
                          }));
}

// SysEx lines count towards the 1,001 lines after which the log is emptied, as any other line.
TEST(DecoderTest, SysExLinesCountTowardsEmptyingTheLog) {
    Fixture f;
    const std::uint8_t identity[] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    for (int i = 0; i < Decoder::kMaxLogLines; ++i)
        f.decoder.displaySysEx(identity, sizeof identity, i);
    EXPECT_EQ(f.sink.logClears, 0);
    f.decoder.displaySysEx(identity, sizeof identity, 5000);
    EXPECT_EQ(f.sink.logClears, 1);
    EXPECT_EQ(f.sink.log.size(), 1u);
}

TEST(DecoderTest, EachKindCountsInItsClassAndMarksItsCell) {
    struct Case {
        std::uint32_t message;
        int messageClass;
        std::optional<Mark> mark;
    };
    const Case cases[] = {
        {0x403C90, 1, Mark{0, 0, 60, {250, 0, 0}}},       // ch1 note on 60
        {0x403C80, 0, Mark{0, 0, 60, {100, 255, 100}}},   // ch1 note off 60
        {0x006499, 1, Mark{0, 9, 100, {100, 255, 100}}},  // ch10 note on vel 0 = off
        {0x017F9F, 1, Mark{0, 15, 127, {250, 0, 0}}},     // ch16 note 127 vel 1
        {0x00008F, 0, Mark{0, 15, 0, {100, 255, 100}}},   // ch16 note off 0
        {0x6407B0, 3, Mark{2, 0, 7, {200, 55, 0}}},       // ch1 cc 7 = 100
        {0x0000BF, 3, Mark{2, 15, 0, {0, 255, 0}}},       // ch16 cc 0 = 0
        {0x7F40B4, 3, Mark{2, 4, 64, {254, 1, 0}}},       // ch5 cc 64 = 127
        {0x05C0, 4, Mark{1, 0, 5, {255, 100, 100}}},      // ch1 program 5
        {0x7FCA, 4, Mark{1, 10, 127, {255, 100, 100}}},   // ch11 program 127
        {0x2040A5, 2, std::nullopt},                      // poly pressure
        {0x30D1, 5, std::nullopt},                        // channel pressure
        {0x7F7FEF, 6, std::nullopt},                      // pitch wheel
        {0xF0, 7, std::nullopt},                          // system
        {0xF8, 7, std::nullopt},                          // clock
        {0x3C90F2, 7, std::nullopt},                      // song position
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.message);
        Fixture f;
        f.decoder.displayMessage(c.message, 0);
        for (int k = 0; k < kMessageClasses; ++k) {
            const auto idx = static_cast<std::size_t>(k);
            EXPECT_EQ(f.sink.counts[idx], k == c.messageClass ? " 1" : "0") << "class " << k;
            EXPECT_EQ(f.decoder.count(k), k == c.messageClass ? 1 : 0) << "class " << k;
        }
        if (c.mark)
            EXPECT_EQ(f.sink.marks, std::vector<Mark>{*c.mark});
        else
            EXPECT_TRUE(f.sink.marks.empty());
    }
}

TEST(DecoderTest, SystemMessagesAreNamedByTheirLowBits) {
    // Every system status, by its whole byte: the undefined ones (F4, F5, F9, FD) and F0, which
    // never arrives as a short message, read "??".
    // clang-format off
    const std::pair<std::uint32_t, std::string_view> names[] = {
        {0xF0, "??"},           {0xF1, "Quarter Frame"},  {0xF2, "Song position pointer"},
        {0xF3, "Song select"},  {0xF4, "??"},             {0xF5, "??"},
        {0xF6, "Tune Request"}, {0xF7, "EOX??"},          {0xF8, "Timing Clock"},
        {0xF9, "??"},           {0xFA, "Start"},          {0xFB, "Continue"},
        {0xFC, "Stop"},         {0xFD, "??"},             {0xFE, "Active Sensing"},
        {0xFF, "System Reset"}};
    // clang-format on
    for (const auto& [status, name] : names)
        EXPECT_EQ(Decoder::describe(status), name) << "status " << std::hex << status;
}

TEST(DecoderTest, NoteOnWithVelocityZeroIsCountedAsNoteOnButActsAsNoteOff) {
    Fixture f;
    f.decoder.displayMessage(0x403C90, 100);  // ch1 note on 60 vel 64
    EXPECT_TRUE(f.decoder.noteState(0, 60));
    f.decoder.displayMessage(0x003C90, 200);  // ch1 note on 60 vel 0
    EXPECT_FALSE(f.decoder.noteState(0, 60));
    EXPECT_EQ(f.sink.counts[1], " 2");
    EXPECT_EQ(f.sink.counts[0], "0");
    EXPECT_EQ(f.sink.marks.back(), (Mark{0, 0, 60, {100, 255, 100}}));
    EXPECT_EQ(f.sink.log.back(), "0.2 003C90 note off: C:1 N:60 V:0");
}

TEST(DecoderTest, NoteStateFollowsEachChannelAndNote) {
    Fixture f;
    f.decoder.displayMessage(0x7F7F9F, 0);  // ch16 note on 127
    f.decoder.displayMessage(0x010090, 0);  // ch1 note on 0
    f.decoder.displayMessage(0x403C91, 0);  // ch2 note on 60
    f.decoder.displayMessage(0x403C81, 0);  // ch2 note off 60
    EXPECT_TRUE(f.decoder.noteState(15, 127));
    EXPECT_TRUE(f.decoder.noteState(0, 0));
    EXPECT_FALSE(f.decoder.noteState(1, 60));
    EXPECT_FALSE(f.decoder.noteState(0, 60));    // another channel's note
    EXPECT_FALSE(f.decoder.noteState(15, 126));  // a neighbour
    f.decoder.displayMessage(0x6407B0, 0);       // controllers and programs leave notes alone
    f.decoder.displayMessage(0x7FC0, 0);
    EXPECT_TRUE(f.decoder.noteState(15, 127));
    EXPECT_FALSE(f.decoder.noteState(0, 127));
}

TEST(DecoderTest, CountLabelsStartBareAndCarryTheSignBlank) {
    Fixture f;
    for (const std::string& text : f.sink.counts) EXPECT_EQ(text, "0");
    for (int i = 0; i < 12; ++i) f.decoder.displayMessage(0xF8, 0);
    EXPECT_EQ(f.sink.counts[7], " 12");
    EXPECT_EQ(f.decoder.count(7), 12);
}

TEST(DecoderTest, ResetClearsCountsTableAndLogButKeepsNotesAndLineCount) {
    Fixture f;
    f.sink.firstTime = true;
    f.decoder.displayMessage(0x403C90, 0);  // ch1 note on 60
    f.decoder.displayMessage(0x6407B0, 0);  // ch1 cc 7
    f.decoder.displayMessage(0x6407B0, 0);  // filtered repeat
    ASSERT_EQ(f.sink.log.size(), 2u);

    f.decoder.reset();
    for (const std::string& text : f.sink.counts) EXPECT_EQ(text, "0");
    EXPECT_EQ(f.decoder.count(3), 0);
    EXPECT_TRUE(f.sink.log.empty());
    EXPECT_EQ(f.sink.logClears, 1);
    EXPECT_TRUE(f.decoder.noteState(0, 60));
    EXPECT_EQ(f.decoder.logLineCount(), 2);

    f.decoder.displayMessage(0x6407B0, 1500);  // logged again: the table was forgotten
    EXPECT_EQ(f.sink.counts[3], " 1");
    EXPECT_EQ(f.sink.log, std::vector<std::string>{"1.5 6407B0 Control:  C:1 C:7 V:100"});
    EXPECT_EQ(f.decoder.logLineCount(), 3);
}

TEST(DecoderTest, FirstTimeFilterKeysOnStatusAndFirstDataByte) {
    Fixture f;
    f.sink.firstTime = true;
    struct Step {
        std::uint32_t message;
        bool logged;
        bool noteOnAfter;  // the state of the message's own channel and note
    };
    const Step steps[] = {
        {0x403C90, true, true},    // ch1 note on 60 vel 64
        {0x7F3C90, false, true},   // same note, other velocity: same key
        {0x003C90, false, false},  // velocity 0 shares the key, yet the note ends
        {0x403C80, true, false},   // note off: a different status, a different key
        {0x003C80, false, false},  // and only once
        {0x403D90, true, true},    // ch1 note 61
        {0x403C91, true, true},    // ch2 note 60: the channel is part of the status
    };
    std::size_t expectedLines = 0;
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const Step& s = steps[i];
        SCOPED_TRACE(::testing::Message() << "step " << i);
        f.decoder.displayMessage(s.message, 0);
        if (s.logged) ++expectedLines;
        EXPECT_EQ(f.sink.log.size(), expectedLines);
        EXPECT_EQ(f.sink.marks.size(), i + 1);  // every message is marked
        const int channel = static_cast<int>(s.message & 0x0F);
        const int note = static_cast<int>((s.message >> 8) & 0x7F);
        EXPECT_EQ(f.decoder.noteState(channel, note), s.noteOnAfter);
        EXPECT_EQ(f.decoder.logLineCount(), static_cast<int>(expectedLines));
    }
    EXPECT_EQ(f.sink.counts[1], " 5");
    EXPECT_EQ(f.sink.counts[0], " 2");
    EXPECT_EQ(f.sink.marks[2], (Mark{0, 0, 60, {100, 255, 100}}));
}

TEST(DecoderTest, FirstTimeTableIsOnlyUsedWhileChecked) {
    Fixture f;
    f.decoder.displayMessage(0x05C0, 0);  // unchecked: logged, not recorded
    f.decoder.displayMessage(0x05C0, 0);
    f.sink.firstTime = true;
    f.decoder.displayMessage(0x05C0, 0);  // first time while checked
    f.decoder.displayMessage(0x05C0, 0);
    EXPECT_EQ(f.sink.log.size(), 3u);

    f.sink.firstTime = false;
    f.decoder.displayMessage(0x05C0, 0);  // unchecked again: everything is logged
    f.sink.firstTime = true;
    f.decoder.displayMessage(0x05C0, 0);  // toggling kept the key
    EXPECT_EQ(f.sink.log.size(), 4u);
    EXPECT_EQ(f.sink.counts[4], " 6");
}

TEST(DecoderTest, LogIsEmptiedWhenAMessageFollowsTheLastAllowedLine) {
    struct Case {
        const char* name;
        bool firstTime;
        int linesBefore;
        bool nextIsRepeat;  // the next message repeats the first one (filtered when checked)
        int expectedClears;
        std::size_t expectedLogSize;
        int expectedLineCount;
    };
    const Case cases[] = {
        {"1,000 lines, then one more", false, 1000, false, 0, 1001, 1001},
        {"1,001 lines, then one more", false, 1001, false, 1, 1, 1},
        {"filter: 1,000 lines, then a new one", true, 1000, false, 0, 1001, 1001},
        {"filter: 1,001 lines, then a new one", true, 1001, false, 1, 1, 1},
        {"filter: 1,001 lines, then a held back one", true, 1001, true, 1, 0, 0},
        {"filter: 1,000 lines, then a held back one", true, 1000, true, 0, 1000, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.sink.firstTime = c.firstTime;
        // Distinct keys: ch1-16 note on, notes 0-127.
        auto distinct = [](int i) {
            return 0x400090u | static_cast<std::uint32_t>(i / 128) |
                   static_cast<std::uint32_t>(i % 128) << 8;
        };
        for (int i = 0; i < c.linesBefore; ++i) f.decoder.displayMessage(distinct(i), i);
        ASSERT_EQ(f.sink.log.size(), static_cast<std::size_t>(c.linesBefore));
        ASSERT_EQ(f.sink.logClears, 0);

        f.decoder.displayMessage(c.nextIsRepeat ? distinct(0) : distinct(c.linesBefore), 5000);
        EXPECT_EQ(f.sink.logClears, c.expectedClears);
        EXPECT_EQ(f.sink.log.size(), c.expectedLogSize);
        EXPECT_EQ(f.decoder.logLineCount(), c.expectedLineCount);
        if (c.expectedClears == 1 && c.expectedLogSize == 1) {
            EXPECT_EQ(f.sink.log.front(), "5 406997 note on:  C:8 N:105 V:64");
        }
    }
}

TEST(DecoderTest, LinesFromBeforeResetStillCountTowardsEmptying) {
    Fixture f;
    for (int i = 0; i < 1001; ++i) f.decoder.displayMessage(0xF8, i);
    f.decoder.reset();  // empties the log once
    f.decoder.displayMessage(0xFA, 0);
    EXPECT_EQ(f.sink.logClears, 2);
    EXPECT_EQ(f.sink.log, std::vector<std::string>{"0 00FA Start"});
    EXPECT_EQ(f.decoder.logLineCount(), 1);
}

TEST(DecoderTest, TimeTextIsTheShortestDecimalOfSeconds) {
    struct Case {
        std::int32_t time;
        const char* separator;
        const char* text;
    };
    const Case cases[] = {
        {0, ".", "0"},
        {1, ".", "0.001"},
        {10, ".", "0.01"},
        {100, ".", "0.1"},
        {999, ".", "0.999"},
        {1000, ".", "1"},
        {1001, ".", "1.001"},
        {1010, ".", "1.01"},
        {1100, ".", "1.1"},
        {12345, ".", "12.345"},
        {2147483647, ".", "2147483.647"},
        {-1, ".", "-0.001"},
        {-500, ".", "-0.5"},
        {-1000, ".", "-1"},
        {-2147483647 - 1, ".", "-2147483.648"},
        // A Timestamp of 2^31 ms or more reads as negative.
        {static_cast<std::int32_t>(2147483648u), ".", "-2147483.648"},
        {static_cast<std::int32_t>(4294967295u), ".", "-0.001"},
        {static_cast<std::int32_t>(3000000000u), ".", "-1294967.296"},
        {12345, ",", "12,345"},
        {500, ",", "0,5"},
        {2000, ",", "2"},
        {-1500, "\xD9\xAB",
         "-1\xD9\xAB"
         "5"},  // Arabic decimal separator, two bytes
    };
    for (const Case& c : cases) EXPECT_EQ(Decoder::timeText(c.time, c.separator), c.text) << c.time;
}

TEST(DecoderTest, LogLineUsesTheGivenDecimalSeparator) {
    RecordingSink sink;
    Decoder decoder(sink, ",");
    decoder.initialise();
    decoder.displayMessage(0x403C90, 12345);  // ch1 note on 60 vel 64
    decoder.displayMessage(0x403C80, 13000);
    EXPECT_EQ(sink.log, (std::vector<std::string>{"12,345 403C90 note on:  C:1 N:60 V:64",
                                                  "13 403C80 note off: C:1 N:60 V:64"}));
}

TEST(DecoderTest, HexTextKeepsTheLastSixDigitsAfterTwoZeros) {
    struct Case {
        std::uint32_t message;
        const char* text;
    };
    const Case cases[] = {
        {0x0, "000"},           {0xF8, "00F8"},         {0x5C0, "005C0"},     {0x6499, "006499"},
        {0x10000, "010000"},    {0x403C90, "403C90"},   {0x7F7FEF, "7F7FEF"}, {0xAB0CD, "0AB0CD"},
        {0x12403C90, "403C90"}, {0xFFFFFFFF, "FFFFFF"},
    };
    for (const Case& c : cases) EXPECT_EQ(Decoder::hexText(c.message), c.text) << c.text;
}

// Values no port delivers, as a faulty backend might: no access outside the tables, and a
// defined result.
TEST(DecoderTest, FaultyValuesAreShownButTouchNoCellTheyHaveNoRoomFor) {
    struct Case {
        std::uint32_t message;
        int messageClass;
        const char* line;
        std::optional<Mark> mark;
    };
    const Case cases[] = {
        {0x403C10, 7, "0 403C10 ??", std::nullopt},                         // status 0x10
        {0x0, 7, "0 000 ??", std::nullopt},                                 // status 0
        {0x7F7F7F, 7, "0 7F7F7F ??", std::nullopt},                         // status 0x7F
        {0x40C890, 1, "0 40C890 note on:  C:1 N:200 V:64", std::nullopt},   // note 200
        {0x40FF9F, 1, "0 40FF9F note on:  C:16 N:255 V:64", std::nullopt},  // note 255
        {0x00C880, 0, "0 00C880 note off: C:1 N:200 V:0", std::nullopt},    // note 200 off
        {0xC83C90, 1, "0 C83C90 note on:  C:1 N:60 V:200", Mark{0, 0, 60, {250, 0, 0}}},
        {0xC807B0, 3, "0 C807B0 Control:  C:1 C:7 V:200", Mark{2, 0, 7, {254, 1, 0}}},
        {0x64C8B0, 3, "0 64C8B0 Control:  C:1 C:200 V:100", std::nullopt},  // controller 200
        {0x00C8C0, 4, "0 00C8C0 Prog Ch:  C:1 P:200", std::nullopt},        // program 200
        {0xFF403C90, 1, "0 403C90 note on:  C:1 N:60 V:64", Mark{0, 0, 60, {250, 0, 0}}},
        {0xFFFFFFFF, 7, "0 FFFFFF System Reset", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Fixture f;
        f.decoder.displayMessage(c.message, 0);
        EXPECT_EQ(f.sink.counts[static_cast<std::size_t>(c.messageClass)], " 1");
        EXPECT_EQ(f.sink.log, std::vector<std::string>{c.line});
        if (c.mark)
            EXPECT_EQ(f.sink.marks, std::vector<Mark>{*c.mark});
        else
            EXPECT_TRUE(f.sink.marks.empty());
        for (int channel = 0; channel < 16; ++channel)
            for (int note = 0; note < 128; ++note)
                EXPECT_EQ(f.decoder.noteState(channel, note),
                          c.mark && c.mark->grid == 0 && channel == 0 && note == 60);
    }
}

TEST(DecoderTest, FaultyValuesKeepTheFirstTimeKeyInRange) {
    Fixture f;
    f.sink.firstTime = true;
    f.decoder.displayMessage(0x403C90, 0);    // ch1 note on 60
    f.decoder.displayMessage(0x40BC90, 0);    // note 188: its low seven bits make the same key
    f.decoder.displayMessage(0xFFFFFFFF, 0);  // the highest key
    f.decoder.displayMessage(0xFFFF7FFF, 0);
    EXPECT_EQ(f.sink.log, (std::vector<std::string>{"0 403C90 note on:  C:1 N:60 V:64",
                                                    "0 FFFFFF System Reset"}));
}

}  // namespace
}  // namespace tamblin::input
