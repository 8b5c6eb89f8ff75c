// The tamblin program itself, run as a child process over a private server (jackd, or PipeWire
// through its libjack), as a user runs
// it from a shell: the device list, devices chosen by name, and a log file that keeps every line.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QRegularExpression>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "input/Decoder.h"
#include "support/CaptureReader.h"
#include "support/ChildProgram.h"
#include "support/JackEndpoints.h"
#include "support/MidiServer.h"

namespace tamblin::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kSender = "tamblin-send:out";

// The hexadecimal text of the log: the value with "00" put in front, its last six characters.
std::string hexText(const Bytes& bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) value |= std::uint32_t{bytes[i]} << (8 * i);
    char digits[16];
    std::snprintf(digits, sizeof digits, "00%X", value);
    const std::string text = digits;
    return text.size() > 6 ? text.substr(text.size() - 6) : text;
}

// The bytes as the capture's readers print them ("90 3C 40").
std::string spacedHex(const Bytes& bytes) {
    std::string text;
    char digits[4];
    for (const std::uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", b);
        text += (text.empty() ? "" : " ") + std::string(digits);
    }
    return text;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// While it lives, children start with no display at all.
class NoDisplay {
public:
    NoDisplay() {
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
            ::unsetenv(name);
        }
    }
    ~NoDisplay() {
        for (const auto& [name, value] : saved_)
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

class TamblinJackTest : public ServerTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running());
        ASSERT_FALSE(tamblin.empty()) << "TAMBLIN_BUILD_DIR is not set";
    }

    // tamblin-send playing `count` messages at `rate` once something connects to its port.
    std::unique_ptr<ChildProgram> startSender(long count, int rate) {
        auto sender = server.startWithPort(
            {ChildProgram::built("tools/tamblin-send"), "--api", "jack", "--wait-connection", "120",
             "--stream", std::to_string(count), "--rate", std::to_string(rate)},
            std::string("^") + kSender + "$");
        EXPECT_NE(sender, nullptr);
        return sender;
    }

    const std::string tamblin = ChildProgram::built("src/app/tamblin");
};

TEST_P(TamblinJackTest, TheListAndUnusableNamesNeedNoDisplay) {
    JackSink sink;
    const auto sender = startSender(1, 1);
    NoDisplay noDisplay;  // a window would fail to start: every case below must end before one

    // Each program waits 2 s at most for the server's answers: before each, the server answers
    // again after the program before it (see MidiServer::answers()).
    ASSERT_TRUE(server.answers());
    ChildProgram list({tamblin, "--list"});
    EXPECT_EQ(list.wait(30s), 0) << list.err();
    EXPECT_EQ(list.out(), "in: tamblin-send:out\nout: " + sink.port() + "\n")
        << "standard output holds the list alone; standard error:\n"
        << list.err();

    const struct {
        std::vector<std::string> args;
        std::string says;
        int status = 2;
    } cases[] = {
        {{"--input", "nosuch"},
         "tamblin: no input device is named 'nosuch' or has a name starting with it.\n"
         "The input devices are:\n  tamblin-send:out\n"},
        {{"--input", kSender, "--output", "tamblin-send"},
         "tamblin: no output device is named 'tamblin-send' or has a name starting with it.\n"
         "The output devices are:\n  " +
             sink.port() + "\n"},
        {{"--log", "/nonexistent/capture.log"},
         "tamblin: cannot open the log file /nonexistent/capture.log: No such file or directory\n"},
        {{"--input"}, "tamblin: option '--input' requires an argument\n"},
        {{"--input", kSender, "--capture", "take.txt"},
         "tamblin: option '--capture' takes a file name ending in .mid or .csv\n"},
        {{"-platform", "offscreen", "--capture", "/nonexistent/take.mid"},
         "tamblin: cannot open the capture file /nonexistent/take.mid: No such file or "
         "directory\n"},
        // Qt would abort (status 134) where the window cannot open.
        {{"--input", kSender}, "tamblin: cannot open a display: DISPLAY is not set\n", 1},
        {{"--input", kSender, "-display", ":65000"},
         "tamblin: cannot open the display :65000\n",
         1},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{tamblin};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ASSERT_TRUE(server.answers());
        ChildProgram run(args);
        EXPECT_EQ(run.wait(30s), c.status) << c.args.front() << ": " << run.err();
        EXPECT_TRUE(run.err().ends_with(c.says) || run.err().starts_with(c.says))
            << c.args.front() << " said:\n"
            << run.err();
        EXPECT_EQ(run.out(), "");
    }
}

TEST_P(TamblinJackTest, ALogOnStandardOutputKeepsEveryLineOfAStreamTheBoxCannotHold) {
    constexpr long kCount = 1500;  // more than the 1,001 lines the box keeps
    JackSink sink;
    const auto sender = startSender(kCount, 2000);
    ChildProgram monitor({tamblin, "-platform", "offscreen", "--input", kSender, "--output",
                          sink.port(), "--log", "-"});
    const bool allArrived = sink.waitForCount(kCount, 60s);
    // The log is written at the tick after the last message.
    for (int i = 0; i < 200 && linesOf(monitor.out()).size() < kCount; ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(monitor.end(30s), 0) << monitor.err();
    ASSERT_TRUE(allArrived) << "thru from the first message: " << sink.count() << " of " << kCount
                            << "\n"
                            << monitor.err();

    // Line for line, the log tells what went through, in the same order, with times that never
    // go back; standard output holds nothing else.
    const std::vector<Bytes> forwarded = sink.received();
    const std::vector<std::string> lines = linesOf(monitor.out());
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kCount)) << monitor.err();
    const QRegularExpression line(QStringLiteral("^(\\d+(\\.\\d+)?) ([0-9A-F]{4,6}) \\S.*$"));
    double last = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto match = line.match(QString::fromStdString(lines[i]));
        ASSERT_TRUE(match.hasMatch()) << i << ": " << lines[i];
        EXPECT_EQ(match.captured(3).toStdString(), hexText(forwarded[i])) << i << ": " << lines[i];
        const double time = match.captured(1).toDouble();
        EXPECT_GE(time, last) << i << ": " << lines[i];
        last = time;
    }
}

// A SysEx dump among short messages: SysEx of every length up to 32,000 bytes (the most one JACK
// cycle of ours carries), each with a note before and after it, all sent at full speed.
std::vector<Bytes> sysExDump() {
    std::vector<Bytes> dump;
    const std::size_t sizes[] = {6,     2, 32,  33,    100, 1000,  4000, 8191,  16000, 31999,
                                 32000, 7, 250, 20000, 3,   12000, 500,  32000, 64,    2048};
    std::uint8_t tag = 0;
    for (int round = 0; round < 3; ++round) {
        for (const std::size_t size : sizes) {
            ++tag;
            dump.push_back({0x90, static_cast<std::uint8_t>(tag & 0x7F), 0x40});
            Bytes sysex(size);
            for (std::size_t i = 0; i < size; ++i)
                sysex[i] = static_cast<std::uint8_t>((tag * 7 + i) & 0x7F);
            sysex.front() = 0xF0;
            sysex.back() = 0xF7;
            dump.push_back(std::move(sysex));
            dump.push_back({0x80, static_cast<std::uint8_t>(tag & 0x7F), 0x40});
        }
    }
    return dump;
}

// With --sysex, both at the tick and with --direct-thru: the log, the thru receiver and the
// capture (a MIDI file at the tick, CSV with direct thru) hold every message of the dump once, in
// order, byte for byte (the log as far as it shows a SysEx).
TEST_P(TamblinJackTest, ASysExDumpGoesThroughLogThruAndCaptureWholeAndInOrder) {
    const std::vector<Bytes> dump = sysExDump();
    for (const bool direct : {false, true}) {
        SCOPED_TRACE(direct ? "direct thru" : "thru at the tick");
        JackSource source("tamblin-test-source");
        JackSink sink;
        const std::string capture =
            (std::filesystem::temp_directory_path() /
             ("tamblin-sysex-" + std::to_string(::getpid()) + (direct ? ".csv" : ".mid")))
                .string();
        std::vector<std::string> args{tamblin,   "-platform",   "offscreen", "--sysex",
                                      "--input", source.port(), "--output",  sink.port(),
                                      "--log",   "-",           "--capture", capture};
        if (direct) args.push_back("--direct-thru");
        ASSERT_TRUE(server.answers());  // after the monitor before (see MidiServer::answers())
        ChildProgram monitor(args);
        ASSERT_TRUE(server.waitForConnection(source.port(), 30s)) << "the input, connected\n"
                                                                  << monitor.err();
        // ch1 note 127 until it is logged and forwarded: from then on both ends carry every
        // message. The markers' count is taken once the log and the receiver agree on it.
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        const Bytes marker{0x90, 0x7F, 0x01};
        while ((monitor.out().empty() || sink.count() == 0) &&
               std::chrono::steady_clock::now() < deadline) {
            ASSERT_TRUE(source.send(marker));
            std::this_thread::sleep_for(100ms);
        }
        std::size_t markers = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(300ms);
            markers = linesOf(monitor.out()).size();
            if (markers != 0 && sink.count() == markers) break;
        }
        ASSERT_EQ(sink.count(), markers) << "the markers, logged and forwarded\n" << monitor.err();

        for (const Bytes& message : dump) ASSERT_TRUE(source.send(message));
        const bool allArrived = sink.waitForCount(markers + dump.size(), 60s);
        for (int i = 0; i < 200 && linesOf(monitor.out()).size() < markers + dump.size(); ++i)
            std::this_thread::sleep_for(50ms);
        EXPECT_EQ(monitor.end(30s), 0) << monitor.err();
        EXPECT_TRUE(allArrived) << sink.count() << " of " << markers + dump.size() << "\n"
                                << monitor.err();

        const std::vector<Bytes> forwarded = sink.received();
        ASSERT_EQ(forwarded.size(), markers + dump.size()) << monitor.err();
        for (std::size_t i = 0; i < dump.size(); ++i)
            EXPECT_EQ(forwarded[markers + i], dump[i]) << "thru, message " << i;
        const std::vector<std::string> lines = linesOf(monitor.out());
        ASSERT_EQ(lines.size(), markers + dump.size()) << monitor.err();
        for (std::size_t i = 0; i < dump.size(); ++i) {
            const Bytes& m = dump[i];
            const std::string& line = lines[markers + i];
            const std::string text = m[0] == 0xF0
                                         ? input::Decoder::sysExHexText(m.data(), m.size()) + " " +
                                               input::Decoder::describeSysEx(m.data(), m.size())
                                         : hexText(m);
            EXPECT_EQ(line.substr(line.find(' ') + 1, text.size()), text) << "log, message " << i;
        }

        // The capture as readers other than ours see it: the markers, then the dump.
        const auto read = readCaptures({capture});
        std::filesystem::remove(capture);
        ASSERT_TRUE(read.contains(capture));
        std::vector<std::string> captured;
        for (const std::string& entry : read.at(capture)) {
            std::istringstream in(entry);
            std::string word, time, bytes;
            if (direct) {
                std::getline(in, word, '\t');
                std::getline(in, time, '\t');
                std::getline(in, bytes, '\t');
                if (word == "row" && time != "time_us" && !bytes.empty()) captured.push_back(bytes);
            } else if (in >> word >> time && word == "message") {
                std::getline(in >> std::ws, bytes);
                captured.push_back(bytes);
            }
            ASSERT_NE(word, "error") << entry;
        }
        ASSERT_EQ(captured.size(), markers + dump.size());
        for (std::size_t i = 0; i < dump.size(); ++i)
            EXPECT_EQ(captured[markers + i], spacedHex(dump[i])) << "capture, message " << i;
    }
}

// An overrun loses messages: a script must not read success, nor the log file look whole. The
// box still waits for a person meanwhile; the test ends the program with SIGTERM instead.
TEST_P(TamblinJackTest, AnOverrunIsToldOnStandardErrorInTheLogFileAndByTheExitStatus) {
    // PipeWire drops what a cycle cannot carry, several hundred events; 300 a cycle are more than
    // the ring holds between two refreshes at any period up to 2,048 frames.
    JackSource source("tamblin-test-source", 300);
    const std::filesystem::path log = std::filesystem::temp_directory_path() /
                                      ("tamblin-overrun-" + std::to_string(::getpid()) + ".log");
    std::filesystem::remove(log);
    auto logText = [&log] {
        std::ifstream in(log);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    ChildProgram monitor(
        {tamblin, "-platform", "offscreen", "--input", source.port(), "--log", log.string()});
    ASSERT_TRUE(server.waitForConnection(source.port(), 30s)) << "the input, connected\n"
                                                              << monitor.err();
    // ch1 note 60, a time to count losses from, until one is logged: the input may connect a
    // little before it starts, and what comes before its start is not shown.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (logText().empty() && std::chrono::steady_clock::now() < deadline) {
        ASSERT_TRUE(source.send({0x90, 0x3C, 0x40}));
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_FALSE(logText().empty()) << "the first line, logged within 30 s\n" << monitor.err();

    // Several times what the ring holds, at more than it holds in one refresh.
    for (int i = 0; i < 5000; ++i) ASSERT_TRUE(source.send({0x80, 0x3C, 0x40}));
    const std::string told =
        "tamblin: I am sorry, but the MIDI input buffer has been overrun. Exiting rather than "
        "displaying misleading information.\n";
    while (monitor.err().find(told) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline + 30s)
        std::this_thread::sleep_for(20ms);
    EXPECT_NE(monitor.err().find(told), std::string::npos)
        << "told at once, while the box waits; standard error:\n"
        << monitor.err() << "\nrefused " << source.refused() << " cycles " << source.cycles()
        << " lines " << linesOf(logText()).size();
    EXPECT_EQ(monitor.end(30s), 3) << monitor.err();

    const std::vector<std::string> lines = linesOf(logText());
    std::filesystem::remove(log);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_LT(lines.size(), 5000u);
    const QRegularExpression lost(QStringLiteral(
        "^Messages after (\\d+(\\.\\d+)?) were lost: the MIDI input buffer was overrun\\.$"));
    const auto match = lost.match(QString::fromStdString(lines.back()));
    ASSERT_TRUE(match.hasMatch()) << lines.back();
    // The time of a message the log shows, before the loss.
    const std::string since = match.captured(1).toStdString();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end() - 1, [&since](const std::string& line) {
        return line.starts_with(since + " ");
    })) << since;
}

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every message the input delivers goes into the capture, the real-time ones the window hides
// included, in order, at the times of the JACK clock; a MIDI file killed mid-run still reads. The
// CSV run keeps a log beside it, which holds what the window shows and nothing more.
TEST_P(TamblinJackTest, ACaptureHoldsEveryMessageTheInputDeliveredAtItsTime) {
    const Bytes probe = {0x90, 0x3C, 0x40};  // ch1 note on, until the capture holds one
    const Bytes last = {0x80, 0x3C, 0x00};   // ch1 note off, the end of the stream
    std::vector<Bytes> stream;
    for (int i = 0; i < 240; ++i) {
        const auto channel = static_cast<std::uint8_t>(i % 16);
        const auto value = static_cast<std::uint8_t>(i % 128);
        const Bytes kinds[6] = {{0xF8},  // clock: the window hides it
                                {std::uint8_t(0xB0 | channel), 7, value},
                                {0xFE},  // active sensing: hidden too
                                {std::uint8_t(0xE0 | channel), value, 64},
                                {std::uint8_t(i % 12 == 4 ? 0xFA : 0xFC)},
                                {std::uint8_t(0xC0 | channel), value}};
        stream.push_back(kinds[i % 6]);
    }
    stream.push_back(last);
    const auto base =
        std::filesystem::temp_directory_path() / ("tamblin-capture-" + std::to_string(::getpid()));
    // One run of the monitor into a capture of `extension`. What it finds the server lost or
    // misdated of whole cycles goes into `cycles`; anything else fails the test.
    const auto runOnce = [&](const std::string& extension, std::vector<std::string>& cycles) {
        const bool csv = extension == ".csv";
        const std::filesystem::path capture = base.string() + extension;
        const std::filesystem::path log = base.string() + ".log";
        std::filesystem::remove(capture);
        std::filesystem::remove(log);
        // What the capture holds of a message while the program runs.
        const auto holds = [&](const Bytes& bytes) {
            const std::string text = fileText(capture);
            return text.find(csv ? "," + spacedHex(bytes) + ","
                                 : std::string(bytes.begin(), bytes.end())) != std::string::npos;
        };
        JackSource source("tamblin-test-source", 4);  // four a cycle: times of several cycles
        JackSink sink;                                // the same events, timed by the JACK clock
        std::vector<std::string> args = {tamblin,       "-platform", "offscreen",     "--input",
                                         source.port(), "--capture", capture.string()};
        if (csv) args.insert(args.end(), {"--log", log.string()});
        ASSERT_TRUE(server.answers());  // after the monitor before (see MidiServer::answers())
        ChildProgram monitor(args);
        ASSERT_TRUE(server.waitForConnection(source.port(), 30s)) << "the input, connected\n"
                                                                  << monitor.err();
        ASSERT_TRUE(server.connect(source.port(), sink.port()));
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while ((!holds(probe) || sink.count() == 0) &&
               std::chrono::steady_clock::now() < deadline) {
            ASSERT_TRUE(source.send(probe));
            std::this_thread::sleep_for(100ms);
        }
        ASSERT_TRUE(holds(probe) && sink.count() > 0)
            << "a probe in the capture and the sink within 30 s\n"
            << monitor.err();
        ASSERT_TRUE(source.flushed());
        for (const Bytes& bytes : stream) ASSERT_TRUE(source.send(bytes));
        ASSERT_TRUE(source.flushed());
        while (!holds(last) && std::chrono::steady_clock::now() < deadline + 30s)
            std::this_thread::sleep_for(20ms);
        ASSERT_TRUE(holds(last)) << "the stream's end in the capture, written at a refresh\n"
                                 << monitor.err();
        if (csv) {
            EXPECT_EQ(monitor.end(30s), 0) << monitor.err();
        } else {
            monitor.signal(SIGKILL);  // no chance to tidy the file up
            EXPECT_EQ(monitor.wait(30s), 128 + SIGKILL);
        }

        // The sink's events from the last probe on, and the capture's.
        const std::vector<Bytes> received = sink.received();
        const std::vector<std::uint64_t> times = sink.times();
        const auto lastProbe = std::find(received.rbegin(), received.rend(), probe);
        ASSERT_NE(lastProbe, received.rend());
        const auto from = static_cast<std::size_t>(received.rend() - lastProbe - 1);
        const std::vector<Bytes> sent(received.begin() + static_cast<long>(from) + 1,
                                      received.end());
        if (sent.size() < stream.size() && sink.skippedCycleCount() != 0) {
            cycles.push_back("the sink missed " + std::to_string(sink.skippedCycleCount()) +
                             " cycle(s) and received " + std::to_string(sent.size()) + " of " +
                             std::to_string(stream.size()) + " events");
            return;  // its times are no measure then
        }
        ASSERT_EQ(sent, stream) << "the sink, as sent";
        const auto read = readCaptures({capture.string()});
        ASSERT_TRUE(read.contains(capture.string()));
        const std::vector<std::string>& lines = read.at(capture.string());
        ASSERT_FALSE(lines.empty());
        // Each message's bytes and time (ms in a MIDI file, µs in CSV), and the devices opened.
        std::vector<std::pair<std::string, long long>> messages;
        std::vector<std::string> devices;
        for (const std::string& line : lines) {
            std::istringstream in(line);
            std::string word, time;
            if (csv) {
                std::getline(in, word, '\t');
                std::getline(in, time, '\t');
                std::string bytes, channel, kind, data, text;
                std::getline(in, bytes, '\t');
                std::getline(in, channel, '\t');
                std::getline(in, kind, '\t');
                std::getline(in, data, '\t');
                std::getline(in, text);
                if (time == "time_us") continue;  // the header
                if (kind == "Input Device")
                    devices.push_back(text);
                else
                    messages.emplace_back(bytes, std::stoll(time));
            } else {
                in >> word >> time;
                std::string rest;
                std::getline(in, rest);
                ASSERT_NE(word, "error") << line;
                if (word == "marker")
                    devices.push_back(rest.substr(1));
                else
                    messages.emplace_back(rest.substr(1), std::stoll(time));
            }
        }
        EXPECT_EQ(devices, std::vector<std::string>{source.port()});
        const auto probeAt = std::find_if(messages.rbegin(), messages.rend(), [&](const auto& m) {
            return m.first == spacedHex(probe);
        });
        ASSERT_NE(probeAt, messages.rend());
        const auto first = static_cast<std::size_t>(messages.rend() - probeAt - 1);
        const std::size_t count = messages.size() - first;
        if (count < stream.size() + 1) {
            cycles.push_back("the capture holds " + std::to_string(count) + " of the " +
                             std::to_string(stream.size() + 1) + " messages from the probe on");
            return;
        }
        ASSERT_EQ(count, stream.size() + 1) << "every message once";
        // Times from the last probe's, against the JACK clock's: a millisecond's tick in a MIDI
        // file, the microsecond in CSV. A whole number of periods off is a late cycle's.
        const long long unit = csv ? 1 : 1000;
        const auto period = static_cast<long long>(sink.periodUsecs());
        for (std::size_t i = 0; i <= stream.size(); ++i) {
            const auto& [bytes, time] = messages[first + i];
            EXPECT_EQ(bytes, spacedHex(i == 0 ? probe : stream[i - 1])) << i;
            const auto port = static_cast<long long>(times[from + i] - times[from]);
            const long long captured = (time - messages[first].second) * unit;
            const long long off = captured - port;
            const std::string said = std::to_string(i) + ": captured " + std::to_string(captured) +
                                     " µs after the probe, the port " + std::to_string(port);
            const long long periods =
                period != 0 ? std::llround(static_cast<double>(off) / static_cast<double>(period))
                            : 0;
            if (std::abs(off) >= (csv ? 2 : 1000) && periods != 0 &&
                std::abs(off - periods * period) < period / 8)
                cycles.push_back(said);
            else
                EXPECT_LT(std::abs(off), csv ? 2 : 1000) << said;
        }
        if (csv) {
            // The log shows what the window shows: the real-time messages are left out.
            const std::size_t shown = static_cast<std::size_t>(
                std::count_if(messages.begin(), messages.end(),
                              [](const auto& m) { return m.first.size() != 2; }));
            EXPECT_EQ(linesOf(fileText(log)).size(), shown);
        }
    };

    // PipeWire gives up the cycle of a client that runs late, with what was written for it, and a
    // client woken late reads the next cycle's clock, which then dates the late cycle's events: a
    // run that loses whole cycles or dates them a whole period off is the server's doing, and
    // goes again. jackd -S waits for every client: its one run must be exact.
    const int runs = server.kind() == ServerKind::PipeWire ? 5 : 1;
    for (const std::string extension : {".csv", ".mid"}) {
        SCOPED_TRACE(extension);
        for (int run = 1;; ++run) {
            std::vector<std::string> cycles;
            runOnce(extension, cycles);
            std::filesystem::remove(base.string() + extension);
            std::filesystem::remove(base.string() + ".log");
            if (HasFatalFailure() || cycles.empty()) break;
            std::string text;
            for (std::size_t i = 0; i < std::min<std::size_t>(cycles.size(), 8); ++i)
                text += "\n  " + cycles[i];
            if (cycles.size() > 8) text += "\n  and " + std::to_string(cycles.size() - 8) + " more";
            if (run == runs) {
                ADD_FAILURE() << "in each of " << runs
                              << " runs, whole cycles lost or misdated:" << text;
                break;
            }
            std::cout << "run " << run << " on " << extension
                      << ": whole cycles lost or misdated, as PipeWire does to a late client;"
                      << " again:" << text << "\n";
        }
        if (HasFatalFailure()) return;
    }
}

// Whether the main thread of process `pid` waits in the open of a log file (for writing,
// appending, creating it).
bool openingLog(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    std::string dirfd;
    std::string path;
    std::string flags;
    if (!(in >> number >> dirfd >> path >> flags) || number != SYS_openat) return false;
    const long wanted = O_WRONLY | O_CREAT | O_APPEND;
    return (std::stol(flags, nullptr, 16) & (O_ACCMODE | O_CREAT | O_APPEND)) == wanted;
}

// Opening a FIFO waits for its reader: the monitor must wait there before it opens any port, not
// with its JACK client up and its ports registered.
TEST_P(TamblinJackTest, ALogFifoWithoutAReaderHoldsTheMonitorBeforeAnyPortOpens) {
    JackSource source;
    const std::filesystem::path fifo =
        std::filesystem::temp_directory_path() / ("tamblin-fifo-" + std::to_string(::getpid()));
    std::filesystem::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ChildProgram monitor(
        {tamblin, "-platform", "offscreen", "--input", source.port(), "--log", fifo.string()});
    ASSERT_TRUE(monitor.started());
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!openingLog(monitor.pid()) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(openingLog(monitor.pid())) << "the monitor, waiting to open the log, within 30 s\n"
                                           << monitor.err();
    const auto tasks =
        std::filesystem::directory_iterator("/proc/" + std::to_string(monitor.pid()) + "/task");
    EXPECT_EQ(std::distance(begin(tasks), end(tasks)), 1) << "no thread of a port service yet";
    EXPECT_EQ(server.ports("^Tamblin(-[0-9]+)?:"), std::vector<std::string>{});

    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    // Its input is connected once the window has started up, ready for SIGTERM.
    EXPECT_TRUE(server.waitForConnection(source.port(), 30s))
        << "its input, once the log has a reader, within 30 s\n"
        << monitor.err();
    EXPECT_EQ(monitor.end(30s), 0) << monitor.err();
    ::close(reader);
    std::filesystem::remove(fifo);
}

// A standard stream closed at start must not hand its number to the next file opened: libjack's
// shared files took descriptor 1, and the program's output went into them.
TEST_P(TamblinJackTest, StandardStreamsClosedAtStartAreOpenOnDevNull) {
    JackSource source;
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::vector<int> closed;
        std::string port;  // made once the program has its JACK client up
    } cases[] = {
        {"tamblin >&-",
         {tamblin, "-platform", "offscreen", "--input", source.port()},
         {1},
         "^Tamblin(-[0-9]+)?:"},
        {"tamblin <&- >&- 2>&-",
         {tamblin, "-platform", "offscreen", "--input", source.port()},
         {0, 1, 2},
         "^Tamblin(-[0-9]+)?:"},
        {"tamblin-send <&- >&- 2>&-",
         {ChildProgram::built("tools/tamblin-send"), "--api", "jack", "--wait-connection", "120",
          "--stream", "1", "--rate", "1"},
         {0, 1, 2},
         std::string("^") + kSender + "$"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // The program before may end without its client's close, after which jackd -S stalls
        // and a monitor started then finds no devices (see MidiServer::answers()).
        ASSERT_TRUE(server.answers());
        ChildProgram::Options options;
        options.closed = c.closed;
        ChildProgram program(c.args, options);
        ASSERT_TRUE(program.started());
        if (!server.waitForPort(c.port, 0, 30s)) {
            const std::optional<int> status = program.wait(0ms);
            FAIL() << "its JACK client, within 30 s; the program "
                   << (status ? "ended with status " + std::to_string(*status) : "still runs");
        }
        for (const int fd : c.closed) {
            std::error_code error;
            const auto target = std::filesystem::read_symlink(
                "/proc/" + std::to_string(program.pid()) + "/fd/" + std::to_string(fd), error);
            EXPECT_EQ(error ? "closed" : target.string(), "/dev/null") << "descriptor " << fd;
        }
        program.end(30s);
        ASSERT_TRUE(server.waitForNoPort(c.port, 30s)) << "gone, within 30 s";
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, TamblinJackTest, ::testing::ValuesIn(serversUnderTest()),
                         serverTestName);

}  // namespace
}  // namespace tamblin::testing
