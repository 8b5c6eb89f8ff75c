// The main window over the JACK port service and a private server (jackd, or PipeWire through its
// libjack), while things go wrong:
// the server dies and returns, or stops answering; the source quits and returns; the devices are
// changed many times under a stream; and the ring overruns while the user-interface thread is
// blocked.
//
// The streaming source is tamblin-send in a process of its own: whatever becomes of its JACK
// client, it cannot hold this process up. The overrun ends the program and its flag stays set for
// the life of the process, so that case runs in a child too: this program started again with
// kMonitorFlag, which makes main() run the monitor instead of the tests. The stopped server at
// start-up runs the program itself.

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <RtMidi.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabBar>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "grids/GridView.h"
#include "input/InputRing.h"
#include "ports/jack/JackPortService.h"
#include "support/ChildProgram.h"
#include "support/JackEndpoints.h"
#include "support/MidiServer.h"
#include "support/ModalDriver.h"
#include "support/WatchedPortService.h"
#include "support/WindowProbe.h"
#include "windows/Tambview.h"

namespace tamblin::windows {
namespace {

using namespace std::chrono_literals;
using ports::JackPortService;
using testing::ChildProgram;
using testing::JackSink;
using testing::JackSource;
using testing::serversUnderTest;
using testing::ServerTest;
using testing::serverTestName;
using testing::WatchedPortService;
using testing::WindowProbe;

constexpr const char* kMonitorFlag = "--run-monitor-under-burst";
// Generous: other helpers' JACK tests share the two cores.
constexpr int kPatienceMs = 20000;

int entriesIn(const char* directory) {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory))
        ++count;
    return count;
}

constexpr const char* kSenderPort = "tamblin-send:out";

// A log line of one of the channel messages tamblin-send streams: time, hexadecimal, description.
const QRegularExpression kStreamLine(QStringLiteral(
    "^\\d+(\\.\\d+)? [0-9A-F]{4,6} (note on:  C:|note off: C:|Control:  C:|Prog Ch:  C:|"
    "Polyphonic Key Pressure$|Channel Pressure$|Pitch Wheel Change$)"));

class FaultsJackTest : public ServerTest {
protected:
    static void SetUpTestSuite() { testing::ensureApplication(); }

    void SetUp() override { ASSERT_TRUE(server.running()); }

    void TearDown() override {
        // A window's destructor closes nothing, and the watched service must outlive the ports.
        if (window && !window->ended()) window->cmdExit_Click();
        EXPECT_TRUE(unexpectedModals().isEmpty()) << unexpectedModals().join(" | ").toStdString();
    }

    // A test answers the modal windows it expects at once: one still open after two seconds
    // was not expected.
    const QStringList& unexpectedModals() const { return modalGuard.closed(); }

    // Starts tamblin-send streaming channel messages at `rate` per second and waits for its port;
    // null when the port does not appear. The fixture keeps it until after TearDown has closed the
    // window's ports: a sender that is told to end releases its sounding notes, a burst that
    // would overrun an input left open without ticks.
    ChildProgram* startSender(int rate = 1000) {
        auto sender =
            server.startWithPort({ChildProgram::built("tools/tamblin-send"), "--api", "jack",
                                  "--stream", "1000000000", "--rate", std::to_string(rate)},
                                 std::string("^") + kSenderPort + "$");
        if (sender == nullptr) return nullptr;
        senders.push_back(std::move(sender));
        return senders.back().get();
    }

    // Loads and shows the window; with one source and one sink on the server it asks nothing.
    void start(bool allowOutput) {
        window = std::make_unique<Tambview>(service, ring);
        window->setEndProgram([this] { ++ends; });
        window->load();
        window->show();
        QObject::connect(window->findChild<QTimer*>(QStringLiteral("Timer")), &QTimer::timeout,
                         window.get(), [this] { ++ticks; });
        if (allowOutput) {
            probe().checkBox("chkMidiOut")->click();
            ASSERT_TRUE(probe().checkBox("chkMidiOut")->isChecked());
        }
    }

    WindowProbe probe() const { return WindowProbe(*window); }
    std::string inputName() const { return probe().lineEdit("txtMidiIn")->text().toStdString(); }
    std::string outputName() const { return probe().lineEdit("txtMidiOut")->text().toStdString(); }

    // Messages the decoder has counted, all classes together.
    std::int64_t counted() const {
        std::int64_t total = 0;
        for (int k = 0; k < input::kMessageClasses; ++k) total += window->decoder().count(k);
        return total;
    }

    bool messagesFlow(std::int64_t howMany = 50) {
        const std::int64_t from = counted();
        return testing::waitFor([&] { return counted() >= from + howMany; }, kPatienceMs);
    }

    bool ticksGoOn(int howMany = 3) {
        const int from = ticks;
        return testing::waitFor([&] { return ticks >= from + howMany; }, kPatienceMs);
    }

    bool sinkReceives(const JackSink& sink, std::size_t howMany = 50) {
        const std::size_t from = sink.count();
        return testing::waitFor([&] { return sink.count() >= from + howMany; }, kPatienceMs);
    }

    void click(const char* button) { probe().button(button)->click(); }

    // Clicks the program change cell of `channel` (0-15) and `program` (0-63).
    void clickProgramCell(int channel, int program) {
        window->findChild<QTabBar*>(QStringLiteral("tabBar"))->setCurrentIndex(1);
        grids::GridView* grid = window->grid(1);
        QTest::mouseClick(grid, Qt::LeftButton, {},
                          grid->cellRect(2 * channel + 1, program + 1).center());
    }

    QString lastLogLine() const {
        const QStringList lines = probe().logLines();
        return lines.isEmpty() ? QString() : lines.back();
    }

    input::InputRing ring;
    JackPortService backend;
    WatchedPortService service{backend, ring};
    std::vector<std::unique_ptr<ChildProgram>> senders;
    std::unique_ptr<Tambview> window;
    int ticks = 0;
    int ends = 0;
    testing::ModalGuard modalGuard{2s};
};

// The server is killed under a stream with thru on, and started again: the window runs on
// meanwhile, and once a source and a sink of the same names are back, input and thru resume by
// themselves, without a Change.
TEST_P(FaultsJackTest, ServerKilledAndRestartedThruResumesWithoutAChange) {
    ChildProgram* sender = startSender();
    ASSERT_TRUE(sender);
    auto sink = std::make_unique<JackSink>();
    start(/*allowOutput=*/true);
    ASSERT_EQ(inputName(), kSenderPort);
    ASSERT_EQ(outputName(), sink->port());
    ASSERT_TRUE(messagesFlow());
    ASSERT_TRUE(sinkReceives(*sink)) << "thru";
    const ports::Handle in = window->midiInHnd();
    const ports::Handle out = window->midiOutHnd();

    server.kill();
    sender->end(1s);  // its client went with the server
    sink.reset();
    const int sentBefore = service.sendsDone();
    const int refusedBefore = service.sendsRefused();

    // Without a server the window goes on: ticks come, a click is shown, its send goes nowhere.
    EXPECT_TRUE(ticksGoOn());
    const std::int64_t programChanges = window->decoder().count(4);
    clickProgramCell(0, 5);
    EXPECT_TRUE(lastLogLine().contains(
        QRegularExpression(QStringLiteral("^-?\\d+(\\.\\d+)? 005C0 Prog Ch:  C:1 P:5$"))))
        << lastLogLine().toStdString();
    EXPECT_EQ(service.sendsDone(), sentBefore);
    EXPECT_GT(service.sendsRefused(), refusedBefore);
    EXPECT_EQ(probe().countText(4), QStringLiteral(" %1").arg(programChanges + 1));

    // The same server name, a source and a sink of the same names: no Change is clicked.
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(startSender());
    JackSink newSink;
    EXPECT_TRUE(messagesFlow()) << "the input came back";
    EXPECT_TRUE(sinkReceives(newSink)) << "thru came back";
    EXPECT_TRUE(lastLogLine().contains(kStreamLine)) << lastLogLine().toStdString();
    EXPECT_EQ(window->midiInHnd(), in);
    EXPECT_EQ(window->midiOutHnd(), out);
    EXPECT_EQ(inputName(), kSenderPort);
    EXPECT_EQ(outputName(), newSink.port());
    EXPECT_TRUE(probe().checkBox("chkMidiOut")->isChecked());

    EXPECT_EQ(service.lateDeliveries(), 0u);
    EXPECT_EQ(ends, 0);
    EXPECT_FALSE(ring.overrun());
}

// A source quits while it streams and returns under the same name, three times: each time it is
// connected again by itself, and every message it sends from then on is counted, once.
TEST_P(FaultsJackTest, SourceThatQuitsAndReturnsIsFollowedAndEveryMessageCounted) {
    constexpr int kPerReturn = 500;
    const std::string client = "tamblin-test-keys";
    auto source = std::make_unique<JackSource>(client);
    start(/*allowOutput=*/false);
    ASSERT_EQ(inputName(), source->port());
    for (int round = 0; round <= 3; ++round) {
        SCOPED_TRACE(::testing::Message() << "return " << round);
        if (round > 0) {
            for (int i = 0; i < 300; ++i)
                source->send({0xB0, 0x01, static_cast<std::uint8_t>(i % 128)});
            source.reset();  // quits with messages still queued
            ASSERT_TRUE(server.waitForNoPort("^" + client + ":"));
            EXPECT_TRUE(ticksGoOn());
            source = std::make_unique<JackSource>(client);
        }
        ASSERT_TRUE(testing::handshake(*source, ring));
        window->refreshTick();
        const std::int64_t before = counted();
        for (int i = 0; i < kPerReturn; ++i)
            source->send({0x92, static_cast<std::uint8_t>(i % 128), 0x40});
        // A program change after them: once it is counted, so is everything sent before it.
        const std::int64_t programChanges = window->decoder().count(4);
        source->send({0xC2, 0x01});
        EXPECT_TRUE(testing::waitFor([&] { return window->decoder().count(4) > programChanges; },
                                     kPatienceMs))
            << counted() - before << " of " << kPerReturn;
        EXPECT_EQ(counted(), before + kPerReturn + 1);
    }
    EXPECT_EQ(inputName(), source->port());
    EXPECT_EQ(service.lateDeliveries(), 0u);
    EXPECT_EQ(ends, 0);
}

// The output is changed again and again while thru forwards a stream: no crash (RtMidi freed an
// output's queue while its client still ran), and thru goes on. Run under AddressSanitizer.
TEST_P(FaultsJackTest, OutputChangesUnderThruTrafficSurviveTheSanitizersAndThruGoesOn) {
    constexpr int kChanges = 1000;
    ChildProgram* sender = startSender(2000);
    ASSERT_TRUE(sender);
    JackSink sink;
    start(/*allowOutput=*/true);
    ASSERT_TRUE(messagesFlow());
    ASSERT_TRUE(sinkReceives(sink));
    QPushButton* change = probe().button("cmdChangeO");
    for (int i = 0; i < kChanges && unexpectedModals().isEmpty(); ++i) {
        change->click();
        window->refreshTick();
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(outputName(), sink.port());
    EXPECT_TRUE(sinkReceives(sink)) << "thru goes on after the changes";
    EXPECT_EQ(ends, 0);
    EXPECT_FALSE(ring.overrun());
}

// At 8,000 messages a second with thru on, changing the devices must not hold the window up
// long enough for the input ring to overrun (RtMidi's output Change took 100-140 ms where it was
// found, and some 50 ms here). Each Change is clicked 75 ms after a tick, when the ring already
// holds some 600 of its 1,023 messages: holding the window up 50 ms more overran it.
TEST_P(FaultsJackTest, ChangesAt8000MessagesASecondWithoutOverrun) {
    ChildProgram* sender = startSender(8000);
    ASSERT_TRUE(sender);
    JackSink sink;
    start(/*allowOutput=*/true);
    ASSERT_TRUE(messagesFlow());
    QElapsedTimer clock;
    qint64 longest = 0;
    for (int i = 0; i < 20 && unexpectedModals().isEmpty(); ++i) {
        const int tick = ticks;
        ASSERT_TRUE(testing::waitFor([&] { return ticks > tick; }, kPatienceMs));
        testing::processEventsFor(75);
        clock.start();
        click(i % 2 == 0 ? "cmdChangeO" : "cmdChange");
        longest = std::max(longest, clock.elapsed());
    }
    testing::processEventsFor(200);
    std::printf("the longest Change took %lld ms\n", static_cast<long long>(longest));
    EXPECT_TRUE(messagesFlow());
    EXPECT_TRUE(sinkReceives(sink));
    EXPECT_FALSE(ring.overrun());
    EXPECT_EQ(ends, 0);
    // The stream ends with the test, the window's input closed first: the sender's last act,
    // releasing its sounding notes, is a burst larger than the ring.
    window->cmdExit_Click();
    EXPECT_EQ(sender->end(10s), 1) << "stopped before its end, and no worse:\n" << sender->err();
}

// A JACK server that takes no requests (stopped) at start-up: the program does not wait for it
// for ever. It carries on without JACK (the window comes up behind the no-device message), a
// terminating signal ends it, and it ends although libjack still holds its worker.
TEST_P(FaultsJackTest, StoppedServerAtStartUpTheProgramComesUpAndEndsOnSigterm) {
    const std::string program = ChildProgram::built("src/app/tamblin");
    ASSERT_FALSE(program.empty()) << "TAMBLIN_BUILD_DIR is not set";
    server.suspend();
    ChildProgram monitor({program, "-platform", "offscreen"});
    const bool gaveUp = testing::waitFor(
        [&] { return monitor.err().find("has not answered") != std::string::npos; }, kPatienceMs);
    EXPECT_TRUE(gaveUp) << "start-up still waits for the server:\n" << monitor.err();
    // Once the program turns the signal into the Exit action, whether the event loop runs yet
    // or not: the signal waits in its socket until it does.
    EXPECT_TRUE(testing::waitFor([&] { return monitor.catches(SIGTERM); }, kPatienceMs))
        << "the program never took SIGTERM over";
    EXPECT_EQ(monitor.end(10s), 0) << monitor.err();

    // Without a window too: the list leaves JACK out, and the program ends.
    ChildProgram list({program, "--list"});
    EXPECT_EQ(list.wait(kPatienceMs * 1ms), 0) << list.err();
    EXPECT_EQ(list.out(), "") << "JACK counts as absent, and there is no other device";
    server.resume();
}

TEST_P(FaultsJackTest, AThousandInputChangesUnderAStream) {
    constexpr int kChanges = 1000;
    // Threads and descriptors that Qt and libjack create on first use are counted in after these.
    constexpr int kWarmUp = 20;
    // Slow enough that the ring, drained after every change, never comes near overrunning even
    // when a change takes long on a loaded machine.
    ChildProgram* sender = startSender(500);
    ASSERT_TRUE(sender);
    start(/*allowOutput=*/false);
    ASSERT_EQ(inputName(), kSenderPort);
    ASSERT_TRUE(messagesFlow(20));

    QPushButton* change = probe().button("cmdChange");
    int done = 0;
    // A change takes far less than a JACK cycle, so most ports are closed before a message can
    // reach them: every 50th one is kept open until one has.
    int waitedFor = 0;
    auto changeUntil = [&](int count) {
        for (; done < count && unexpectedModals().isEmpty(); ++done) {
            change->click();
            window->refreshTick();
            QCoreApplication::processEvents();
            if (done % 50 == 49) {
                const std::uint64_t delivered = service.deliveries();
                waitedFor +=
                    testing::waitFor([&] { return service.deliveries() > delivered; }, kPatienceMs);
            }
        }
        return unexpectedModals().isEmpty();
    };
    ASSERT_TRUE(changeUntil(kWarmUp)) << "change " << done;
    const int threads = entriesIn("/proc/self/task");
    const int descriptors = entriesIn("/proc/self/fd");
    const std::uint64_t deliveredBefore = service.deliveries();
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(changeUntil(kChanges)) << "change " << done;
    const qint64 elapsed = clock.elapsed();
    const int threadsAtEnd = entriesIn("/proc/self/task");
    const int descriptorsAtEnd = entriesIn("/proc/self/fd");
    // A leak per change would show as hundreds. A few threads and descriptors of the last
    // connections may still be on their way out on a loaded machine, so the counts are given
    // time to come back.
    int threadsAfter = threadsAtEnd;
    int descriptorsAfter = descriptorsAtEnd;
    testing::waitFor(
        [&] {
            threadsAfter = entriesIn("/proc/self/task");
            descriptorsAfter = entriesIn("/proc/self/fd");
            return threadsAfter <= threads + 4 && descriptorsAfter <= descriptors + 4;
        },
        kPatienceMs);
    std::printf(
        "%d input changes took %lld ms; threads %d -> %d (then %d), descriptors %d -> %d "
        "(then %d)\n",
        kChanges - kWarmUp, static_cast<long long>(elapsed), threads, threadsAtEnd, threadsAfter,
        descriptors, descriptorsAtEnd, descriptorsAfter);

    EXPECT_EQ(service.lateDeliveries(), 0u) << "callbacks after a close had returned";
    EXPECT_EQ(service.ringMovesWhileClosed(), 0);
    EXPECT_EQ(waitedFor, kChanges / 50) << "each port waited for delivered";
    EXPECT_GT(service.deliveries(), deliveredBefore)
        << "the stream reached the ports between; the sender "
        << (sender->wait(std::chrono::milliseconds(0)) ? "had ended" : "still ran") << ":\n"
        << sender->err();
    EXPECT_LE(threadsAfter, threads + 4);
    EXPECT_LE(descriptorsAfter, descriptors + 4);

    int opens = 0;
    int closes = 0;
    for (const std::string& call : service.calls()) {
        opens += call == "midiInOpen(0) = 0";
        closes += call.starts_with("midiInClose(") && call.ends_with(") = 0");
    }
    EXPECT_EQ(opens, kChanges + 1);
    EXPECT_EQ(closes, kChanges);
    EXPECT_EQ(inputName(), kSenderPort);
    EXPECT_TRUE(messagesFlow(20)) << "the last open delivers";
    EXPECT_FALSE(ring.overrun());
    EXPECT_EQ(ends, 0);
}

// ---- the overrun, in a process of its own -----------------------------------------------------

// Full names of the ports of `pattern` on the server of this process's JACK_DEFAULT_SERVER.
std::vector<std::string> jackPorts(const char* pattern) {
    std::vector<std::string> names;
    jack_client_t* client = jack_client_open("tamblin-test-ports", JackNoStartServer, nullptr);
    if (client == nullptr) return {"(no JACK server)"};
    if (const char** found = jack_get_ports(client, pattern, nullptr, 0)) {
        for (const char** name = found; *name != nullptr; ++name) names.emplace_back(*name);
        jack_free(static_cast<void*>(found));
    }
    jack_client_close(client);
    return names;
}

constexpr const char* kMonitorPorts = "^Tamblin(-[0-9]+)?:";

TEST_P(FaultsJackTest, OverrunIsShownOnceThenTheProgramEndsWithBothPortsClosed) {
    const std::string sender = ChildProgram::built("tools/tamblin-send");
    ASSERT_FALSE(sender.empty()) << "TAMBLIN_BUILD_DIR is not set";
    JackSink sink;
    // 3,000 messages at 8,000 a second once the monitor's input is connected, while the
    // monitor's user-interface thread is blocked until its ring of 1,023 has overrun. (Not all at
    // once: PipeWire carries about a thousand short messages per cycle and port, and RtMidi drops
    // what does not fit.)
    const auto burst = server.startWithPort(
        {sender, "--wait-connection", "60", "--stream", "3000", "--rate", "8000"},
        "^tamblin-send:out$");
    ASSERT_NE(burst, nullptr);

    ChildProgram monitor({ChildProgram::self(), kMonitorFlag, "tamblin-send:out", sink.port()});
    const std::optional<int> status = monitor.wait(180s);
    ASSERT_TRUE(status.has_value()) << "the monitor did not end\n" << monitor.err();
    EXPECT_EQ(*status, 0) << monitor.err();
    EXPECT_EQ(monitor.out(),
              "overrun messages: 1\n"
              "other messages: 0\n"
              "input closed: 0\n"
              "output closed: 0\n"
              "monitor ports at the end: 0\n")
        << monitor.err();
    EXPECT_TRUE(jackPorts(kMonitorPorts).empty());
    EXPECT_EQ(burst->wait(30s), 0) << burst->err();
}

INSTANTIATE_TEST_SUITE_P(Servers, FaultsJackTest, ::testing::ValuesIn(serversUnderTest()),
                         serverTestName);

// The monitor: the real window over the real backend, as the program runs it, with the end
// hook left as it is (the event loop exits with 0). Its UI thread is blocked as soon as the
// burst begins, until the ring has overrun; message boxes are answered after 300 ms, long enough
// for ticks to run under them. Prints what it saw; its exit status is the event loop's.
int runMonitorUnderBurst(int argc, char** argv) {
    if (argc != 4) return 2;
    const QString inputPort = QString::fromLocal8Bit(argv[2]);
    const QString outputPort = QString::fromLocal8Bit(argv[3]);
    testing::ensureApplication();
    input::InputRing ring;
    JackPortService backend;
    WatchedPortService service(backend, ring);
    int overrunMessages = 0;
    QStringList otherMessages;
    int status = 0;
    {
        Tambview window(service, ring);

        QTimer boxes;
        QPointer<QWidget> current;
        QElapsedTimer shownFor;
        boxes.setInterval(5);
        QObject::connect(&boxes, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal == nullptr || !modal->isVisible()) return;
            if (auto* list = modal->findChild<QListWidget*>(QStringLiteral("lstDevs"))) {
                for (int row = 0; row < list->count(); ++row)
                    if (list->item(row)->text() == inputPort ||
                        list->item(row)->text() == outputPort)
                        list->setCurrentRow(row);
                testing::clickButton(modal, QStringLiteral("OK"));
                return;
            }
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (box == nullptr) return;
            if (current != box) {
                current = box;
                shownFor.start();
                if (box->text() == QString::fromLatin1(Tambview::kOverrunText))
                    ++overrunMessages;
                else
                    otherMessages << box->text();
            }
            if (shownFor.elapsed() >= 300) testing::clickButton(box, QStringLiteral("OK"));
        });
        boxes.start();

        const int quiet = ring.writePos();
        QTimer blocker;
        blocker.setInterval(1);
        QObject::connect(&blocker, &QTimer::timeout, [&] {
            if (ring.writePos() == quiet) return;
            blocker.stop();
            const auto deadline = std::chrono::steady_clock::now() + 30s;
            while (!ring.overrun()) {
                if (std::chrono::steady_clock::now() >= deadline) {
                    std::fputs("no overrun within 30 s of a blocked user-interface thread\n",
                               stderr);
                    QCoreApplication::exit(3);
                    return;
                }
                std::this_thread::sleep_for(1ms);
            }
        });

        QTimer::singleShot(120s, QCoreApplication::instance(), [] {
            std::fputs("no overrun within 120 s\n", stderr);
            QCoreApplication::exit(3);
        });

        window.load();
        window.show();
        window.findChild<QCheckBox*>(QStringLiteral("chkMidiOut"))->click();
        blocker.start();
        status = QApplication::exec();
    }
    int inputClosed = -1;
    int outputClosed = -1;
    for (const std::string& call : service.calls()) {
        const int result = std::stoi(call.substr(call.rfind('=') + 2));
        if (call.starts_with("midiInClose(")) inputClosed = result;
        if (call.starts_with("midiOutClose(")) outputClosed = result;
    }
    std::printf("overrun messages: %d\nother messages: %lld\n", overrunMessages,
                static_cast<long long>(otherMessages.size()));
    for (const QString& text : otherMessages) std::fprintf(stderr, "%s\n", qPrintable(text));
    std::printf("input closed: %d\noutput closed: %d\n", inputClosed, outputClosed);
    // The client goes with the service, after a bounded wait for its worker.
    const bool finished = backend.finish();
    std::printf("monitor ports at the end: %zu\n", finished ? jackPorts(kMonitorPorts).size() : 99);
    std::fflush(stdout);
    return status;
}

}  // namespace
}  // namespace tamblin::windows

int main(int argc, char** argv) {
    if (argc >= 2 && std::string_view(argv[1]) == tamblin::windows::kMonitorFlag)
        return tamblin::windows::runMonitorUnderBurst(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
