#include "capture/CaptureFile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

#include "capture/CsvRows.h"
#include "capture/SmfTrack.h"
#include "support/CaptureReader.h"
#include "support/Reports.h"

namespace tamblin::capture {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Arrival {
    Bytes bytes;
    std::int64_t micros;  // on the input port's clock
    bool inMidiFile;      // a MIDI file's events can carry it
};

// Every kind of message an input delivers, hand-made SysEx among them, and what a MIDI file
// leaves out. Times are whole milliseconds apart: see EveryMessageReadsBackInOrder.
const std::vector<Arrival> kArrivals = {
    {{0x90, 0x3C, 0x40}, 0, true},                       // ch1 note on 60 vel 64
    {{0xF8}, 1000, true},                                // timing clock (hidden by the window)
    {{0xFE}, 1000, true},                                // active sensing, same time
    {{0xB1, 0x07, 0x64}, 2000, true},                    // ch2 controller 7 = 100
    {{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, 3000, true},  // SysEx: identity request
    {{0xFF}, 3000, false},                               // system reset: a file's meta event
    {{0xCF, 0x05}, 4000, true},                          // ch16 program 5
    {{0xF1, 0x23}, 5000, true},                          // quarter frame
    {{0xF2, 0x08, 0x00}, 5000, true},                    // song position 8
    {{0xF4}, 6000, false},                               // undefined status
    {{0xF0, 0x43, 0x10, 0x4C}, 6000, false},             // SysEx without its end
    {{0xF0, 0x43, 0xF8, 0x4C, 0xF7}, 6000, false},       // SysEx with a clock inside
    {{0xF7}, 6000, false},                               // a lone end of SysEx
    {{0xFA}, 7000, true},                                // start
    {{0x80, 0x3C, 0x00}, 70000, true},                   // ch1 note off, 63 ms later
    {{0xE0, 0x00, 0x40}, 70000, true},                   // ch1 pitch wheel centre
    {{0x99, 0x24, 0x00}, 130000, true},                  // ch10 note on vel 0
};

std::string hexOf(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t b : bytes) {
        if (!text.empty()) text.push_back(' ');
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

// A SysEx of `size` bytes, F0 to F7, its data counting up.
Bytes sysEx(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i % 128);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

using testing::Reports;

class CaptureFileTest : public ::testing::Test {
protected:
    // A file over the size limit must be a failed write, not the end of the test program.
    static void SetUpTestSuite() { std::signal(SIGXFSZ, SIG_IGN); }

    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("tamblin-capture-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string path(const std::string& name) const { return (dir / name).string(); }

    std::filesystem::path dir;
    Reports reports;
};

TEST_F(CaptureFileTest, TheExtensionChoosesTheFormat) {
    using F = CaptureFile::Format;
    const struct {
        const char* path;
        std::optional<F> format;
    } cases[] = {
        {"take.mid", F::Smf},           {"take.MID", F::Smf},   {"/tmp/a.b/Take.Mid", F::Smf},
        {"take.csv", F::Csv},           {"TAKE.CsV", F::Csv},   {"take.midi", std::nullopt},
        {"take.mid.txt", std::nullopt}, {".mid", std::nullopt}, {"dir.mid/take", std::nullopt},
        {"take", std::nullopt},         {"-", std::nullopt},    {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(CaptureFile::formatOf(c.path), c.format) << c.path;
}

// Both formats through the writing thread, three drains and a change of device, read back by
// readers that are not ours: every message once, in arrival order, each at its time (to the
// millisecond in a MIDI file, to the microsecond in CSV).
TEST_F(CaptureFileTest, EveryMessageReadsBackInOrder) {
    const std::string midi = path("take.mid"), csv = path("take.CSV");
    const std::string second = "Synth, \"B\" 2";  // quoted in CSV
    const Bytes dump = sysEx(40000);
    for (const std::string& file : {midi, csv}) {
        std::int64_t now = 7000000;  // microseconds on a clock of the test's
        std::string error;
        auto capture = CaptureFile::open(file, reports.sink(), error, [&now] { return now; });
        ASSERT_TRUE(capture) << error;
        capture->setDecimalSeparator(",");  // the log's times are then quoted in CSV
        capture->inputOpened("Keyboard A", 0);
        for (std::size_t i = 0; i < kArrivals.size(); ++i) {
            capture->message(kArrivals[i].bytes, kArrivals[i].micros);
            if (i % 6 == 5) capture->drained();
        }
        capture->drained();
        // The second device's clock stood at 5 ms when it opened, 200 ms into the capture.
        now += 200000;
        capture->inputOpened(second, 5000);
        capture->message(dump, 6000);
        capture->message(kArrivals[0].bytes, 9000);
    }  // each closes, writing what waits

    const auto read = testing::readCaptures({midi, csv});
    ASSERT_EQ(read.size(), 2u);

    // The MIDI file: ticks of a millisecond.
    std::vector<std::string> expected = {"marker 0 Keyboard A"};
    for (const Arrival& a : kArrivals)
        if (a.inMidiFile)
            expected.push_back("message " + std::to_string(a.micros / 1000) + " " + hexOf(a.bytes));
    expected.push_back("marker 200 " + second);
    expected.push_back("message 201 " + hexOf(dump));
    expected.push_back("message 204 90 3C 40");
    const std::vector<std::string>& events = read.at(midi);
    ASSERT_EQ(events.size(), expected.size());
    for (std::size_t i = 0; i < events.size(); ++i)
        EXPECT_TRUE(events[i] == expected[i]) << i << ": " << events[i].substr(0, 80);

    // The CSV: every message, the left-out ones too, to the microsecond from the device row.
    const std::vector<std::string>& rows = read.at(csv);
    ASSERT_EQ(rows.size(), 1 + 1 + kArrivals.size() + 3);
    EXPECT_EQ(rows[0], "row\ttime_us\tbytes\tchannel\tkind\tdata\tlog");
    EXPECT_EQ(rows[1], "row\t0\t\t\tInput Device\t\tKeyboard A");
    const std::string table[] = {
        "0\t90 3C 40\t1\tNote On\t60 64\t0 403C90 note on:  C:1 N:60 V:64",
        "1000\tF8\t\tTiming Clock\t\t0,001 00F8 Timing Clock",
        "1000\tFE\t\tActive Sensing\t\t0,001 00FE Active Sensing",
        "2000\tB1 07 64\t2\tControl Change\t7 100\t0,002 6407B1 Control:  C:2 C:7 V:100",
        "3000\tF0 7E 7F 06 01 F7\t\tSysEx\t126 127 6 1\t0,003 F0 7E 7F 06 01 F7 SysEx 6 bytes: "
        "Identity Request",
        "3000\tFF\t\tSystem Reset\t\t0,003 00FF System Reset",
        "4000\tCF 05\t16\tProgram Change\t5\t0,004 005CF Prog Ch:  C:16 P:5",
        "5000\tF1 23\t\tQuarter Frame\t35\t0,005 0023F1 Quarter Frame",
        "5000\tF2 08 00\t\tSong Position Pointer\t8 0\t0,005 008F2 Song position pointer",
        "6000\tF4\t\tUndefined\t\t0,006 00F4 ??",
        "6000\tF0 43 10 4C\t\tSysEx\t67 16 76\t0,006 F0 43 10 4C SysEx 4 bytes, no F7 at its end: "
        "manufacturer 43",
        "6000\tF0 43 F8 4C F7\t\tSysEx\t67 76\t0,006 F0 43 F8 4C F7 SysEx 5 bytes, cut by "
        "real-time F8: manufacturer 43",
        "6000\tF7\t\tEnd of Exclusive\t\t0,006 00F7 EOX??",
        "7000\tFA\t\tStart\t\t0,007 00FA Start",
        "70000\t80 3C 00\t1\tNote Off\t60 0\t0,07 003C80 note off: C:1 N:60 V:0",
        "70000\tE0 00 40\t1\tPitch Wheel Change\t0 64\t0,07 4000E0 Pitch Wheel Change",
        "130000\t99 24 00\t10\tNote On\t36 0\t0,13 002499 note off: C:10 N:36 V:0",
    };
    for (std::size_t i = 0; i < std::size(table); ++i) {
        const std::string& want = table[i];
        EXPECT_EQ(rows[2 + i], "row\t" + want) << i;
    }
    const std::size_t after = 2 + std::size(table);
    EXPECT_EQ(rows[after], "row\t200000\t\t\tInput Device\t\t" + second);
    const std::string& dumpRow = rows[after + 1];
    EXPECT_TRUE(dumpRow.starts_with("row\t201000\tF0 01 02 03 ")) << dumpRow.substr(0, 80);
    EXPECT_NE(dumpRow.find(" 7E 7F 00 01 "), std::string::npos);
    EXPECT_NE(dumpRow.find("\tSysEx\t1 2 3 "), std::string::npos);
    EXPECT_TRUE(
        dumpRow.ends_with(" 60 61 62\t0,006 F0 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E "
                          "0F 10 11 12 13 14 15 16 17 ... F7 SysEx 40000 bytes: "
                          "manufacturer 01"))
        << dumpRow.substr(dumpRow.size() - 80);
    EXPECT_EQ(rows[after + 2],
              "row\t204000\t90 3C 40\t1\tNote On\t60 64\t0,009 403C90 note on:  C:1 N:60 V:64");

    // RFC 4180 as written, not only as Python reads it: CR LF ends, quotes doubled.
    std::ifstream in(csv, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(text.find(",Input Device,,\"Synth, \"\"B\"\" 2\"\r\n"), std::string::npos);
    EXPECT_NE(text.find(",Control Change,7 100,\"0,002 6407B1 Control:  C:2 C:7 V:100\"\r\n"),
              std::string::npos);
    EXPECT_NE(text.find(",Note On,60 64,0 403C90 note on:  C:1 N:60 V:64\r\n"), std::string::npos)
        << "no quotes without need";
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'),
              std::count(text.begin(), text.end(), '\r'));
    EXPECT_TRUE(reports.taken().empty());
}

// The file is applied write by write, as the writing thread applies them, and cut after each one
// and inside the longest: whatever a kill leaves is a file the reader takes whole, with every
// event up to the last commit at least, at its millisecond.
TEST_F(CaptureFileTest, AMidiFileCutAtEachStepOfItsWritesStillReads) {
    SmfTrack track;
    Bytes image = track.start();
    struct Cut {
        std::string file;
        std::size_t atLeast;  // events the cut file must hold
        std::size_t atMost;
    };
    std::vector<Cut> cuts;
    std::vector<std::string> all;  // the events as the reader prints them, in order
    const auto snapshot = [&](const Bytes& bytes, std::size_t atLeast, std::size_t atMost) {
        const std::string file = path("cut" + std::to_string(cuts.size()) + ".mid");
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        cuts.push_back({file, atLeast, atMost});
    };
    snapshot(image, 0, 0);

    // Times in microseconds: a tick is the millisecond a message arrived in; never backwards.
    const struct {
        Bytes bytes;
        std::int64_t micros;
        long tick;
        const char* marker;
    } commits[][3] = {
        {{{0x90, 0x3C, 0x40}, 999, 0, nullptr},  // ch1 note on
         {{0xF8}, 1000, 1, nullptr},             // clock
         {sysEx(300), 2999, 2, nullptr}},
        {{{}, 4500, 4, "Synth B"},
         {{0xB0, 0x40, 0x7F}, 4000, 4, nullptr},  // arrived "before" the marker: kept at its tick
         {{0xC0, 0x05}, 3000000, 3000, nullptr}},
        {{{0xFC}, 3000001, 3000, nullptr},  // stop
         {{0xFF}, 3000002, 3000, nullptr},  // system reset: left out
         {{0x80, 0x3C, 0x40}, 3200400, 3200, nullptr}},
    };
    for (const auto& commit : commits) {
        const std::size_t before = all.size();
        for (const auto& e : commit) {
            if (e.marker != nullptr) {
                track.addMarker(e.marker, e.micros);
                all.push_back("marker " + std::to_string(e.tick) + " " + e.marker);
            } else if (track.addMessage(e.bytes, e.micros)) {
                all.push_back("message " + std::to_string(e.tick) + " " + hexOf(e.bytes));
            }
        }
        const std::vector<FileWrite> writes = track.commit();
        ASSERT_EQ(writes.size(), 3u);
        for (std::size_t step = 0; step < writes.size(); ++step) {
            const FileWrite& w = writes[step];
            if (image.size() < w.offset + w.bytes.size()) image.resize(w.offset + w.bytes.size());
            if (step == 0) {
                // Killed inside the append.
                Bytes torn = image;
                std::copy_n(w.bytes.begin(), w.bytes.size() / 2, torn.begin() + w.offset);
                torn.resize(w.offset + w.bytes.size() / 2);
                snapshot(torn, before, before);
            }
            std::copy(w.bytes.begin(), w.bytes.end(), image.begin() + w.offset);
            // Readers that stop at the first end of track see the new events from the last step.
            snapshot(image, step == 2 ? all.size() : before, all.size());
        }
        EXPECT_EQ(image.size(), track.fileSize());
    }
    EXPECT_TRUE(track.commit().empty()) << "nothing added, nothing written";

    std::vector<std::string> files;
    for (const Cut& c : cuts) files.push_back(c.file);
    const auto read = testing::readCaptures(files);
    for (const Cut& c : cuts) {
        SCOPED_TRACE(c.file);
        ASSERT_TRUE(read.contains(c.file));
        const std::vector<std::string>& events = read.at(c.file);
        ASSERT_GE(events.size(), c.atLeast);
        ASSERT_LE(events.size(), c.atMost);
        EXPECT_EQ(events, std::vector<std::string>(all.begin(), all.begin() + events.size()));
    }
}

TEST_F(CaptureFileTest, AFailedWriteIsReportedOnceAndTheFileStaysWhole) {
    for (const char* name : {"full.mid", "full.csv"}) {
        const std::string file = path(name);
        std::string error;
        // A clock that stands still: the note's tick does not depend on how fast this runs.
        auto capture =
            CaptureFile::open(file, reports.sink(), error, [] { return std::int64_t{0}; });
        ASSERT_TRUE(capture) << error;
        const std::uintmax_t started = std::filesystem::file_size(file);
        capture->inputOpened("Keyboard", 0);
        capture->message(Bytes{0x90, 0x3C, 0x40}, 1000);
        capture->drained();
        // The note written, then a full disk, made without privileges: a file size limit (the
        // process's own).
        for (int i = 0; i < 500 && std::filesystem::file_size(file) == started; ++i)
            ::usleep(10000);
        ASSERT_GT(std::filesystem::file_size(file), started) << "the note was not written in 5 s";
        rlimit saved{};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit limit = saved;
        limit.rlim_cur = std::filesystem::file_size(file) + 100;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        const Bytes dump = sysEx(1000);
        for (int i = 0; i < 100 && !capture->stopped(); ++i) {
            capture->message(dump, 2000 + i);
            capture->drained();
            ::usleep(2000);
        }
        EXPECT_TRUE(capture->stopped()) << "waited 100 drains for the failure";
        capture->message(dump, 9000);
        capture->drained();
        capture.reset();
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
        const std::vector<std::string> seen = reports.taken();
        ASSERT_EQ(seen.size(), 1u) << name;
        EXPECT_EQ(seen[0], "cannot write the capture to " + file +
                               ": File too large; it is no longer written");
        reports.texts.clear();
        if (file.ends_with(".mid")) {
            const auto read = testing::readCaptures({file});
            ASSERT_TRUE(read.contains(file));
            ASSERT_FALSE(read.at(file).empty());
            EXPECT_EQ(read.at(file).back(), "message 1 90 3C 40") << "the file as last committed";
        }
    }

    std::string error;
    const std::string missing = path("no such folder/x.mid");
    EXPECT_FALSE(CaptureFile::open(missing, reports.sink(), error));
    EXPECT_EQ(error, "cannot open the capture file " + missing + ": No such file or directory");
}

}  // namespace
}  // namespace tamblin::capture
