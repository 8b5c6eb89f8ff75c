#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabBar>
#include <QTest>
#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <ios>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "grids/GridView.h"
#include "input/InputRing.h"
#include "ports/jack/JackPortService.h"
#include "support/ChildProgram.h"
#include "support/JackEndpoints.h"
#include "support/MidiServer.h"
#include "support/ModalDriver.h"
#include "support/RgbPrinting.h"
#include "support/WatchedPortService.h"
#include "support/WindowProbe.h"
#include "windows/Tambview.h"

using tamblin::grids::Rgb;
using tamblin::ports::JackPortService;
using tamblin::windows::Tambview;
using namespace tamblin::testing;

namespace {

using namespace std::chrono_literals;

constexpr int kPatienceMs = 20000;  // the machine may be busy with other JACK tests
const std::string kOwnPorts = "^Tamblin(-[0-9]+)?:";
const std::string kSenderOut = "^tamblin-send(-[0-9]+)?:out$";

std::string senderPath() {
    return ChildProgram::built("tools/tamblin-send");
}

std::uint32_t packed(const Bytes& bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) value |= std::uint32_t{bytes[i]} << (8 * i);
    return value;
}

// The sender's stream: channel messages from a seed, 2,000 a second, once something has connected
// to it or it has been given SIGUSR1. (It notices connections through a JACK client of its own,
// which may fail to open on a busy machine: the signal is the sure way.) On a loaded machine the
// last few messages can be lost when it closes its port, before a late reader has taken them, so
// it plays more than the tests hold the monitor to.
constexpr std::size_t kChecked = 2000;
std::vector<std::string> streamingSender() {
    return {senderPath(), "--api",  "jack", "--stream",          "2100", "--rate",
            "2000",       "--seed", "11",   "--wait-connection", "60"};
}

// Whether two recordings of one stream agree as far as both go: nothing lost, changed, added or
// reordered.
::testing::AssertionResult agree(const std::vector<Bytes>& a, const std::vector<Bytes>& b) {
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        if (a[i] != b[i])
            return ::testing::AssertionFailure() << "message " << i << " is " << std::hex
                                                 << packed(a[i]) << ", not " << packed(b[i]);
    }
    return ::testing::AssertionSuccess();
}

// The count labels a window shows after seeing `messages`: " N", or "0" for a class never seen.
QStringList countTextsFor(const std::vector<Bytes>& messages) {
    std::array<int, 8> counts{};
    for (const Bytes& bytes : messages) ++counts[static_cast<std::size_t>((bytes[0] >> 4) - 8)];
    QStringList texts;
    for (const int count : counts)
        texts << (count == 0 ? QStringLiteral("0") : QStringLiteral(" %1").arg(count));
    return texts;
}

// The whole window over the JACK port service, on a private server (jackd, or PipeWire through
// its libjack) where the test decides which devices exist.
class TambviewJackTest : public ServerTest {
protected:
    static void SetUpTestSuite() { ensureApplication(); }

    void SetUp() override { ASSERT_TRUE(server.running()); }

    void TearDown() override {
        // The ports close before the server and the test's own endpoints go.
        if (window && !window->ended()) window->cmdExit_Click();
        EXPECT_TRUE(modalGuard.closed().isEmpty())
            << "the window asked: " << modalGuard.closed().join(" / ").toStdString();
    }

    // Builds the window and runs its start-up. The devices the test set up leave it no choice,
    // so it must not ask anything.
    void start(bool directThru = false) {
        if (window && !window->ended()) window->cmdExit_Click();
        window.reset();
        watched.reset();
        service.reset();
        // Room for what arrives while a busy machine keeps the test's thread from draining: these
        // tests are about what the window shows and forwards, not about keeping up with a rate
        // (scripts/load.sh measures that).
        ring = std::make_unique<tamblin::input::InputRing>(tamblin::input::InputRing::kLargeSlots);
        service =
            std::make_unique<JackPortService>(JackPortService::Options{.directThru = directThru});
        watched = std::make_unique<WatchedPortService>(*service, *ring);
        window = std::make_unique<Tambview>(*watched, *ring);
        window->setEndProgram([this] { ++ends; });
        window->load();
        EXPECT_TRUE(modalGuard.closed().isEmpty())
            << "start-up asked " << modalGuard.closed().join(" / ").toStdString();
        ASSERT_NE(window->midiInHnd(), 0u) << "the input did not open";
    }

    // Checks "Allow MIDI output", whose handler opens the only output device without asking.
    void allowOutput() {
        WindowProbe(*window).checkBox("chkMidiOut")->setChecked(true);
        ASSERT_NE(window->midiOutHnd(), 0u) << "the output did not open";
    }

    // Waits until the server has connected `port` to something and taken the connection up:
    // from then on what its client writes reaches the reader. (A message written before goes
    // nowhere.)
    bool waitForConnection(const std::string& port) const {
        return server.waitForConnection(port, std::chrono::milliseconds(kPatienceMs));
    }

    QStringList countTexts() const {
        QStringList texts;
        for (int k = 0; k < 8; ++k) texts << WindowProbe(*window).countText(k);
        return texts;
    }

    // Sends what `source` sends into the window until the first message arrives, and drains it:
    // from then on the source reaches the window. Needs the real-time filter checked.
    void handshake(JackSource& source) {
        ASSERT_TRUE(tamblin::testing::handshake(source, *ring));
        window->refreshTick();
    }

    // Clicks the program change cell of channel 1 and `program`, and waits until `receiver` has
    // it: from then on what the window sends reaches the receiver.
    void clickProgram(int program) {
        window->findChild<QTabBar*>(QStringLiteral("tabBar"))->setCurrentIndex(1);
        tamblin::grids::GridView* grid = window->grid(1);
        QTest::mouseClick(grid, Qt::LeftButton, {}, grid->cellRect(1, program + 1).center());
    }

    // Runs a tick, then clicks the program change cell of channel 1 and `program` and waits until
    // `receiver` has that message, the marker: everything the window forwarded before, a duplicate
    // included, has come by then. The marker's place among what `receiver` has; nothing when it
    // does not come.
    std::optional<std::size_t> sendMarker(const JackSink& receiver, int program) {
        window->refreshTick();
        const std::size_t before = receiver.count();
        clickProgram(program);
        const Bytes marker = {0xC0, static_cast<std::uint8_t>(program)};
        std::optional<std::size_t> at;
        waitFor(
            [&] {
                const std::vector<Bytes> received = receiver.received();
                for (std::size_t i = before; i < received.size() && !at; ++i)
                    if (received[i] == marker) at = i;
                return at.has_value();
            },
            kPatienceMs);
        return at;
    }

    // What `receiver` has, without the marker at `marker`.
    static std::vector<Bytes> receivedWithout(const JackSink& receiver, std::size_t marker) {
        std::vector<Bytes> received = receiver.received();
        received.erase(received.begin() + static_cast<std::ptrdiff_t>(marker));
        return received;
    }

    // What `receiver` has from the window once a marker sent after it has come, without the
    // marker; nothing when the marker does not come.
    std::optional<std::vector<Bytes>> forwardedBeforeMarker(const JackSink& receiver, int program) {
        const std::optional<std::size_t> marker = sendMarker(receiver, program);
        if (!marker) return std::nullopt;
        return receivedWithout(receiver, *marker);
    }

    // Each window gets a ring of its own, which outlives its port service.
    std::unique_ptr<tamblin::input::InputRing> ring = std::make_unique<tamblin::input::InputRing>();
    std::unique_ptr<JackPortService> service =
        std::make_unique<JackPortService>();  // first, so that it goes after the window
    std::unique_ptr<WatchedPortService> watched;
    std::unique_ptr<Tambview> window;
    int ends = 0;
    // Nobody answers a modal window in these tests: a window that asks something (an
    // unexpected device choice, the overrun message) is closed, so that the test fails rather
    // than waits for ever.
    ModalGuard modalGuard;
};

// Exactly what was sent, in the log and on thru: PipeWire's libjack would turn a note on of
// velocity 0 into a note off of velocity 64 unless the program tells it not to.
TEST_P(TambviewJackTest, ShowsAndForwardsExactlyWhatTheOnlySourceSends) {
    JackSource source("tamblin-test-keys");
    JackSink receiver;
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(allowOutput());
    WindowProbe probe(*window);
    EXPECT_EQ(probe.lineEdit("txtMidiIn")->text(), "tamblin-test-keys:out");
    ASSERT_NO_FATAL_FAILURE(handshake(source));
    ASSERT_TRUE(waitForConnection(receiver.port()));
    probe.checkBox("chkNoreal")->setChecked(false);  // the timing clock below is to be shown

    struct Case {
        Bytes bytes;
        const char* shown;  // the log line without its time
    } cases[] = {
        {{0x90, 0x3C, 0x40}, "403C90 note on:  C:1 N:60 V:64"},
        {{0x80, 0x3C, 0x40}, "403C80 note off: C:1 N:60 V:64"},
        {{0xC0, 0x05}, "005C0 Prog Ch:  C:1 P:5"},
        {{0xF8}, "00F8 Timing Clock"},
        {{0xB0, 0x07, 0x64}, "6407B0 Control:  C:1 C:7 V:100"},
        {{0x99, 0x64, 0x00}, "006499 note off: C:10 N:100 V:0"},  // ch10 note on, velocity 0
        {{0x80, 0x3C, 0x00}, "003C80 note off: C:1 N:60 V:0"},    // ch1 note off, velocity 0
    };
    const auto sent = static_cast<qsizetype>(std::size(cases));
    for (const Case& c : cases) source.send(c.bytes);
    ASSERT_TRUE(waitFor([&] { return probe.logLines().size() >= sent; }, kPatienceMs))
        << probe.log().toStdString();
    ASSERT_TRUE(receiver.waitForCount(std::size(cases), std::chrono::milliseconds(kPatienceMs)))
        << receiver.count() << " forwarded";
    const std::optional<std::int32_t> now = service->midiInClock(window->midiInHnd());
    ASSERT_TRUE(now.has_value());

    const QStringList lines = probe.logLines();
    ASSERT_EQ(lines.size(), sent);
    // Real arrival times: the shortest decimal text, without trailing zeros.
    const QRegularExpression timeText(
        QStringLiteral("^(0|[1-9][0-9]*)(%1[0-9]*[1-9])?$")
            .arg(QRegularExpression::escape(QLocale().decimalPoint())));
    double previous = 0;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const qsizetype blank = lines[i].indexOf(QLatin1Char(' '));
        const QString time = lines[i].left(blank);
        EXPECT_EQ(lines[i].mid(blank + 1), cases[i].shown);
        ASSERT_TRUE(timeText.match(time).hasMatch()) << lines[i].toStdString();
        bool parsed = false;
        const double seconds = QLocale().toDouble(time, &parsed);
        ASSERT_TRUE(parsed) << lines[i].toStdString();
        EXPECT_GE(seconds, previous) << lines[i].toStdString();
        EXPECT_LE(seconds, *now / 1000.0) << lines[i].toStdString();
        previous = seconds;
    }

    EXPECT_EQ(countTexts(), (QStringList{" 2", " 2", "0", " 1", " 1", "0", "0", " 1"}));
    EXPECT_EQ(window->gridModel(0).background(1, 61), Rgb(100, 255, 100));   // ch1 note 60, off
    EXPECT_EQ(window->gridModel(0).background(20, 37), Rgb(100, 255, 100));  // ch10 note 100
    EXPECT_EQ(window->gridModel(1).background(1, 6), Rgb(255, 100, 100));    // ch1 program 5
    EXPECT_EQ(window->gridModel(2).background(1, 8), Rgb(200, 55, 0));       // ch1 ctl 7 = 100

    std::vector<Bytes> expected;
    for (const Case& c : cases) expected.push_back(c.bytes);
    EXPECT_EQ(forwardedBeforeMarker(receiver, 9), expected) << "nothing too many was forwarded";
    EXPECT_EQ(ends, 0);
}

TEST_P(TambviewJackTest, ThruForwardsTheSendersStreamCompleteAndCountsIt) {
    ASSERT_FALSE(senderPath().empty()) << "TAMBLIN_BUILD_DIR is not set";

    // What the seed plays, recorded straight from the sender.
    std::vector<Bytes> stream;
    {
        JackSink reference("tamblin-test-reference");
        const auto sender = server.startWithPort(streamingSender(), kSenderOut);
        ASSERT_NE(sender, nullptr);
        const auto port = server.waitForPort(kSenderOut);
        ASSERT_TRUE(port.has_value());
        ASSERT_TRUE(server.connect(*port, reference.port()));
        ASSERT_TRUE(waitForConnection(*port));
        sender->signal(SIGUSR1);
        ASSERT_EQ(sender->wait(30s), 0) << sender->err();
        ASSERT_TRUE(reference.waitForCount(kChecked, 20s)) << reference.count() << " arrived";
        stream = reference.received();
    }
    for (const Bytes& bytes : stream)
        ASSERT_LT(bytes[0], 0xF8) << "a real-time message would need the filter unchecked";
    ASSERT_TRUE(server.waitForNoPort("^tamblin-test-reference:"));
    // The reference's and the sender's closes may hold jackd up for a few seconds; the window,
    // which counts a server silent for 2 s as absent, starts once it runs again.
    const JackCycles cycles;
    ASSERT_TRUE(cycles.waitForCycles(2));

    // The same stream again, into the monitor, with the receiver as the only output device.
    JackSink receiver("tamblin-test-receiver");
    const auto sender = server.startWithPort(streamingSender(), kSenderOut);
    ASSERT_NE(sender, nullptr);
    const auto port = server.waitForPort(kSenderOut);
    ASSERT_TRUE(port.has_value());
    ASSERT_NO_FATAL_FAILURE(start());
    // Before the event loop runs: the first tick already forwards.
    ASSERT_NO_FATAL_FAILURE(allowOutput());
    ASSERT_TRUE(waitForConnection(*port));
    ASSERT_TRUE(waitForConnection(receiver.port()));
    sender->signal(SIGUSR1);
    EXPECT_EQ(WindowProbe(*window).lineEdit("txtMidiOut")->text(), "tamblin-test-receiver:in");

    ASSERT_TRUE(waitFor([&] { return receiver.count() >= kChecked; }, kPatienceMs))
        << receiver.count() << " forwarded; counts " << countTexts().join('|').toStdString();
    ASSERT_EQ(sender->wait(30s), 0) << sender->err();
    // Once the last tick has shown what it forwarded.
    EXPECT_TRUE(
        waitFor([&] { return countTexts() == countTextsFor(receiver.received()); }, kPatienceMs));
    const std::optional<std::size_t> marker = sendMarker(receiver, 0);
    ASSERT_TRUE(marker.has_value()) << "the marker did not come";
    // Messages still on their way when the sender ended are shown and forwarded at later ticks:
    // the counts come to show what was forwarded, the marker with it, unless something went out
    // twice.
    EXPECT_TRUE(
        waitFor([&] { return countTexts() == countTextsFor(receiver.received()); }, kPatienceMs))
        << "the counts show what was forwarded";

    const std::vector<Bytes> forwarded = receivedWithout(receiver, *marker);
    ASSERT_GE(forwarded.size(), kChecked);
    EXPECT_TRUE(agree(forwarded, stream));
    EXPECT_FALSE(ring->overrun());
    EXPECT_EQ(ends, 0);
}

TEST_P(TambviewJackTest, ClickOnANoteCellPlaysItOnTheOutput) {
    JackSource source;
    JackSink receiver;
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(allowOutput());
    ASSERT_TRUE(waitForConnection(receiver.port()));
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    tamblin::grids::GridView* notes = window->grid(0);
    const QPoint cell = notes->cellRect(2, 1).center();  // ch1 note 64

    QTest::mouseClick(notes, Qt::LeftButton, {}, cell);
    ASSERT_TRUE(receiver.waitForCount(1));
    QTest::mouseClick(notes, Qt::LeftButton, {}, cell);  // the note sounds: this ends it
    ASSERT_TRUE(receiver.waitForCount(2));

    EXPECT_EQ(receiver.received(), (std::vector<Bytes>{{0x90, 0x40, 0x7F}, {0x90, 0x40, 0x00}}));
    const QStringList lines = WindowProbe(*window).logLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral(" 7F4090 note on:  C:1 N:64 V:127")))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral(" 004090 note off: C:1 N:64 V:0")))
        << lines[1].toStdString();
    EXPECT_EQ(window->gridModel(0).background(2, 1), Rgb(100, 255, 100));
}

TEST_P(TambviewJackTest, ExitDisconnectsBothPortsAndTheClientGoesWithTheService) {
    JackSource source;
    JackSink receiver;
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(allowOutput());
    ASSERT_TRUE(waitForConnection(source.port()));
    ASSERT_TRUE(waitForConnection(receiver.port()));
    std::vector<std::string> own = server.ports(kOwnPorts);
    std::sort(own.begin(), own.end());  // jackd lists them in order of making, PipeWire not
    EXPECT_EQ(own, (std::vector<std::string>{"Tamblin:in", "Tamblin:out"}));
    EXPECT_EQ(server.connections(source.port()), std::vector<std::string>{"Tamblin:in"});
    EXPECT_EQ(server.connections(receiver.port()), std::vector<std::string>{"Tamblin:out"});

    WindowProbe(*window).button("cmdExit")->click();
    EXPECT_EQ(ends, 1);
    EXPECT_TRUE(waitFor(
        [&] {
            return server.connections(source.port()).empty() &&
                   server.connections(receiver.port()).empty();
        },
        kPatienceMs));
    EXPECT_TRUE(service->finish());
    EXPECT_TRUE(server.waitForNoPort(kOwnPorts))
        << ::testing::PrintToString(server.ports(kOwnPorts));
}

// Events sent one a cycle: an unterminated SysEx, a lone EOX and a zero-length event are each
// one whole event, so everything between them is shown and forwarded, with thru at the tick
// and with direct thru.
TEST_P(TambviewJackTest, MalformedEventsCostNothingButThemselvesInTheLogAndOnThru) {
    for (const bool direct : {false, true}) {
        SCOPED_TRACE(direct ? "direct thru" : "thru at the tick");
        JackSource source("tamblin-test-source", 1);
        JackSink receiver;
        ASSERT_NO_FATAL_FAILURE(start(direct));
        ASSERT_NO_FATAL_FAILURE(allowOutput());
        ASSERT_NO_FATAL_FAILURE(handshake(source));
        clickProgram(9);  // the window's output reaches the receiver before the stream begins
        ASSERT_TRUE(receiver.waitForCount(1));
        WindowProbe probe(*window);
        const qsizetype linesBefore = probe.logLines().size();

        const std::vector<Bytes> events = {{0xCF, 0x00},
                                           {0xF0},
                                           {0xCF, 0x01},
                                           {0x90, 0x3C, 0x64},
                                           {0xF6},
                                           {0xCF, 0x02},
                                           {0xF7},
                                           {0xCF, 0x03},
                                           {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},
                                           {},  // PipeWire's libjack sends no empty event
                                           {0xB3, 0x07, 0x64},
                                           {0xF0, 0x43},
                                           {0xCF, 0x04}};
        for (const Bytes& event : events) source.send(event);
        const QStringList expectedLines = {
            "00CF Prog Ch:  C:16 P:0",         "001CF Prog Ch:  C:16 P:1",
            "643C90 note on:  C:1 N:60 V:100", "00F6 Tune Request",
            "002CF Prog Ch:  C:16 P:2",        "00F7 EOX??",
            "003CF Prog Ch:  C:16 P:3",        "6407B3 Control:  C:4 C:7 V:100",
            "004CF Prog Ch:  C:16 P:4"};
        ASSERT_TRUE(
            waitFor([&] { return probe.logLines().size() >= linesBefore + 9; }, kPatienceMs))
            << probe.log().toStdString();
        QStringList shown = probe.logLines().mid(linesBefore);
        for (QString& line : shown) line = line.mid(line.indexOf(QLatin1Char(' ')) + 1);
        EXPECT_EQ(shown, expectedLines);

        const std::vector<Bytes> forwarded = {
            {0xC0, 0x09}, {0xCF, 0x00}, {0xCF, 0x01}, {0x90, 0x3C, 0x64}, {0xF6},
            {0xCF, 0x02}, {0xF7},       {0xCF, 0x03}, {0xB3, 0x07, 0x64}, {0xCF, 0x04}};
        ASSERT_TRUE(waitFor([&] { return receiver.count() >= forwarded.size(); }, kPatienceMs));
        EXPECT_EQ(forwardedBeforeMarker(receiver, 10), forwarded) << "nothing forwarded twice";
        EXPECT_EQ(watched->lateDeliveries(), 0u);
    }
}

// Whether `received` is `sent` in its order, as thru may pass it on: each note at most once and
// in the order sent, and between two notes no more timing clocks than were sent between them (a
// clock held back and sent later would make a burst). `gaps` gets the runs of notes not
// received, as [first, end) positions in `sent`.
using Gaps = std::vector<std::pair<std::size_t, std::size_t>>;
::testing::AssertionResult inArrivalOrder(const std::vector<Bytes>& sent,
                                          const std::vector<Bytes>& received, Gaps& gaps) {
    gaps.clear();
    const Bytes clock = {0xF8};
    std::vector<std::size_t> clocksBefore(sent.size() + 1, 0);  // clocks sent before position i
    for (std::size_t i = 0; i < sent.size(); ++i)
        clocksBefore[i + 1] = clocksBefore[i] + (sent[i] == clock ? 1 : 0);
    std::size_t from = 0;  // the position after the last note matched
    std::size_t clocks = 0;
    for (std::size_t r = 0; r <= received.size(); ++r) {
        if (r < received.size() && received[r] == clock) {
            ++clocks;
            continue;
        }
        std::size_t at = sent.size();
        if (r < received.size()) {
            at = std::find(sent.begin() + static_cast<std::ptrdiff_t>(from), sent.end(),
                           received[r]) -
                 sent.begin();
            if (at == sent.size())
                return ::testing::AssertionFailure()
                       << "message " << r << " (" << std::hex << packed(received[r]) << std::dec
                       << ") came out of order or twice";
        }
        if (at - from > clocksBefore[at] - clocksBefore[from]) gaps.emplace_back(from, at);
        if (clocks > clocksBefore[at] - clocksBefore[from])
            return ::testing::AssertionFailure()
                   << clocks << " clocks before message " << r << ", where "
                   << clocksBefore[at] - clocksBefore[from] << " were sent";
        clocks = 0;
        from = at + 1;
    }
    return ::testing::AssertionSuccess();
}

// Direct thru: each message goes out once, in the order received, with the clicks' messages
// among them, also across an output Change, a re-check of "Allow MIDI output" and unchecking
// "Don't display system real time messages", each made after messages have waited for the next
// refresh. What arrived while a box held it back never goes out; the window shows everything.
// Run under ThreadSanitizer too.
TEST_P(TambviewJackTest, DirectThruSendsEachMessageOnceInOrderWithClicksBetween) {
    constexpr int kNotes = 3000;
    constexpr int kClicks = 30;
    constexpr int kChangeAt = 8, kRecheckAt = 16, kShowClocksAt = 24;
    JackSource source;
    JackSink receiver;
    ASSERT_NO_FATAL_FAILURE(start(/*directThru=*/true));
    ASSERT_NO_FATAL_FAILURE(allowOutput());
    ASSERT_NO_FATAL_FAILURE(handshake(source));
    clickProgram(0);
    ASSERT_TRUE(receiver.waitForCount(1));

    // The stream: note ons and offs of channel 2 whose numbers count up, and a timing clock after
    // every fourth.
    std::vector<Bytes> stream;
    for (int i = 0; i < kNotes; ++i) {
        stream.push_back({static_cast<std::uint8_t>(i % 2 == 0 ? 0x91 : 0x81),
                          static_cast<std::uint8_t>((i / 2) % 128),
                          static_cast<std::uint8_t>((i / 256) % 128)});
        if (i % 4 == 3) stream.push_back({0xF8});
    }
    std::atomic<bool> done{false};
    std::atomic<std::size_t> sent{0};
    std::thread sender([&] {
        for (const Bytes& message : stream) {
            source.send(message);
            sent.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(240));
        }
        done.store(true);
    });
    std::string moments;  // how far the stream had gone at each action, for a failure
    const auto mark = [&](const char* what) {
        moments += std::string(" ") + what + " at " + std::to_string(sent.load()) + ";";
    };
    WindowProbe probe(*window);
    const auto waitUndrained = [] { std::this_thread::sleep_for(30ms); };  // no tick runs
    for (int click = 1; click <= kClicks; ++click) {
        clickProgram(click);
        if (click == kChangeAt) {
            waitUndrained();
            mark("Change");
            window->findChild<QPushButton*>(QStringLiteral("cmdChangeO"))->click();
            mark("its end");
        } else if (click == kRecheckAt) {
            mark("uncheck");
            probe.checkBox("chkMidiOut")->setChecked(false);
            waitUndrained();
            mark("re-check");
            probe.checkBox("chkMidiOut")->setChecked(true);
        } else if (click == kShowClocksAt) {
            waitUndrained();
            mark("clocks shown");
            probe.checkBox("chkNoreal")->setChecked(false);
        }
        processEventsFor(20);
    }
    while (!done.load()) processEventsFor(20);
    sender.join();

    EXPECT_TRUE(waitFor(
        [&] {
            const QString half = QString(" %1").arg(kNotes / 2);
            return countTexts().mid(0, 5) ==
                   QStringList{half, half, "0", "0", QString(" %1").arg(kClicks + 1)};
        },
        kPatienceMs))
        << countTexts().join('|').toStdString();
    const std::vector<Bytes> received =
        forwardedBeforeMarker(receiver, kClicks + 1).value_or(std::vector<Bytes>{});
    std::vector<Bytes> thru;
    std::vector<int> programs;
    for (const Bytes& message : received) {
        if (message[0] == 0xC0)
            programs.push_back(message[1]);
        else
            thru.push_back(message);
    }
    Gaps gaps;
    EXPECT_TRUE(inArrivalOrder(stream, thru, gaps));
    // When the receiver had each message, in microseconds on the JACK clock.
    const std::vector<Bytes> all = receiver.received();
    const std::vector<std::uint64_t> times = receiver.times();
    const auto timeOf = [&](const Bytes& message) -> std::optional<std::uint64_t> {
        const auto found = std::find(all.begin(), all.end(), message);
        if (found == all.end()) return std::nullopt;
        return times[static_cast<std::size_t>(found - all.begin())];
    };
    const auto noteAt = [&](std::size_t position) -> std::optional<std::uint64_t> {
        while (position < stream.size() && position > 0 && stream[position] == Bytes{0xF8})
            --position;  // the note before a clock: clocks are all alike
        if (position >= stream.size()) return std::nullopt;
        return timeOf(stream[position]);
    };
    // PipeWire gives up the cycle of a client that runs late, and what was written for it; what
    // is missing between two messages the receiver had around a cycle it missed went there.
    // A synchronous jackd never does, so there everything missing counts.
    const auto lostWithACycle = [&](std::optional<std::uint64_t> before,
                                    std::optional<std::uint64_t> after) {
        return GetParam() == ServerKind::PipeWire && before && after &&
               receiver.missedCycleAround(*before, *after);
    };
    const auto ms = [&](std::optional<std::uint64_t> usecs) -> std::string {
        if (!usecs || times.empty()) return "-";
        return std::to_string((static_cast<double>(*usecs) - static_cast<double>(times.front())) /
                              1000.0);
    };
    std::string missing;
    std::size_t ownGaps = 0;  // not the server's
    for (const auto& [first, end] : gaps) {
        const std::optional<std::uint64_t> before =
            first > 0 ? noteAt(first - 1) : std::optional<std::uint64_t>{};
        const bool servers = lostWithACycle(before, noteAt(end));
        ownGaps += servers ? 0 : 1;
        missing += " " + std::to_string(first) + "-" + std::to_string(end) + " (received " +
                   ms(before) + " ms before, " + ms(noteAt(end)) + " ms after" +
                   (servers ? ", with a cycle the receiver missed" : "") + ");";
    }
    std::string skipped;
    for (const std::uint64_t at : receiver.skippedCycles()) skipped += " " + ms(at);
    // One run of notes is missing: those that came while output was not allowed.
    EXPECT_TRUE(!gaps.empty() && ownGaps <= 1)
        << "notes are missing but those that came while output was not allowed, or none are; "
           "missing (stream positions):"
        << missing << " the stream was sent up to:" << moments
        << " the receiver missed the cycles before (ms):" << skipped << "; the server reported "
        << receiver.xruns() << " xruns";
    if (ownGaps < gaps.size())  // said, so that a run's log shows how often it happens
        std::cout << "the server gave up a cycle of the receiver; missing:" << missing << '\n';
    // Every click's program change, in order; one the server gave up with a cycle aside.
    std::vector<int> clicked;
    for (int program = 0; program <= kClicks; ++program) {
        const bool had = std::find(programs.begin(), programs.end(), program) != programs.end();
        if (!had && program > 0 && program < kClicks &&
            lostWithACycle(timeOf({0xC0, static_cast<std::uint8_t>(program - 1)}),
                           timeOf({0xC0, static_cast<std::uint8_t>(program + 1)})))
            continue;
        clicked.push_back(program);
    }
    EXPECT_EQ(programs, clicked) << "the receiver missed the cycles before (ms):" << skipped;
    EXPECT_GT(watched->decidedDeliveries(), 0u) << "nothing was decided in its own cycle";
    EXPECT_FALSE(ring->overrun());
    EXPECT_EQ(watched->lateDeliveries(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Servers, TambviewJackTest, ::testing::ValuesIn(serversUnderTest()),
                         serverTestName);

}  // namespace
