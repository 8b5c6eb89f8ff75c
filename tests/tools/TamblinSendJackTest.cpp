#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProgram.h"
#include "support/JackEndpoints.h"
#include "support/MidiServer.h"

namespace tamblin::testing {
namespace {

using namespace std::chrono_literals;

std::string toolPath() {
    return ChildProgram::built("tools/tamblin-send");
}

// The tool, run as a child process with its output collected.
ChildProgram runTool(std::vector<std::string> args) {
    args.insert(args.begin(), toolPath());
    return ChildProgram(std::move(args));
}

constexpr std::chrono::milliseconds kToolPatience = 15s;

std::uint32_t packed(const Bytes& bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) value |= std::uint32_t{bytes[i]} << (8 * i);
    return value;
}

class TamblinSendJackTest : public ServerTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running());
        ASSERT_FALSE(toolPath().empty()) << "TAMBLIN_BUILD_DIR is not set";
        ASSERT_EQ(::access(toolPath().c_str(), X_OK), 0) << toolPath();
    }

    // The tool, started until its port shows (see MidiServer::startWithPort); null if it never
    // does.
    std::unique_ptr<ChildProgram> startTool(std::vector<std::string> args) {
        args.insert(args.begin(), toolPath());
        return server.startWithPort(args, "^tamblin-send:out$");
    }

    // Runs the tool into a fresh sink until it ends; what arrived, each message packed. With
    // `missedCycles`, also how many cycles the server ran without the sink meanwhile.
    std::vector<std::uint32_t> play(const std::vector<std::string>& args,
                                    std::uint64_t* missedCycles = nullptr) {
        JackSink sink;
        const auto tool = startTool(args);
        if (tool == nullptr) return {};
        const auto port = server.waitForPort("^tamblin-send:out$");
        EXPECT_TRUE(port.has_value()) << "the tool's port went away";
        if (!port) return {};
        EXPECT_TRUE(server.connect(*port, sink.port()));
        EXPECT_EQ(tool->wait(kToolPatience), 0) << tool->err();
        awaitStragglers(sink);
        if (missedCycles) *missedCycles = sink.skippedCycleCount();
        std::vector<std::uint32_t> messages;
        for (const Bytes& bytes : sink.received())
            if (bytes != Bytes{0xFC}) messages.push_back(packed(bytes));
        return messages;
    }

    // Once the tool has ended, its last JACK cycle is over; a marker from another source then
    // arrives after everything the tool sent. (It is connected only now: JACK drops a whole
    // cycle of an input fed by two ports when one of them has not written its buffer yet, and
    // a loaded server drops cycles too: the marker goes again until one arrives.)
    void awaitStragglers(const JackSink& sink) {
        JackSource marker("tamblin-test-marker");
        ASSERT_TRUE(server.connect(marker.port(), sink.port()));
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        do {
            marker.send({0xFC});
            if (waitForMarkers(sink, 1, 100ms)) return;
        } while (std::chrono::steady_clock::now() < deadline);
        FAIL() << "no marker arrived within 10 s";
    }

    static bool waitForMarkers(const JackSink& sink, std::size_t markers,
                               std::chrono::milliseconds patience = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (true) {
            const std::vector<Bytes> received = sink.received();
            if (static_cast<std::size_t>(
                    std::count(received.begin(), received.end(), Bytes{0xFC})) >= markers)
                return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
    }
};

TEST_P(TamblinSendJackTest, StreamIsCompleteAndFollowsItsSeed) {
    const std::vector<std::string> args = {
        "--api",  "jack", "--wait-connection", "10", "--stream", "200", "--rate", "2000",
        "--seed", "7"};
    const std::vector<std::uint32_t> first = play(args);
    ASSERT_EQ(first.size(), 200u);
    const std::vector<std::uint32_t> opening(first.begin(), first.begin() + 6);
    EXPECT_EQ(opening, (std::vector<std::uint32_t>{
                           0x0019D4,  // ch5 channel pressure 25
                           0x671783,  // ch4 note 23 off
                           0x170EB9,  // ch10 controller 14 value 23
                           0x2A6EA9,  // ch10 key pressure
                           0x662798,  // ch9 note 39 on
                           0x077FA0,  // ch1 key pressure
                       }));
    for (const std::uint32_t message : first) {
        const std::uint32_t status = message & 0xFF;
        EXPECT_TRUE(status >= 0x80 && status < 0xF0) << std::hex << message;
        EXPECT_FALSE((status & 0xF0) == 0x90 && (message >> 16) == 0) << "a note on of velocity 0";
        EXPECT_FALSE((status & 0xF0) == 0xB0 && ((message >> 8) & 0xFF) >= 120)
            << "a channel mode message";
    }
    const std::set<std::uint32_t> kinds = [&] {
        std::set<std::uint32_t> seen;
        for (const std::uint32_t message : first) seen.insert(message & 0xF0);
        return seen;
    }();
    EXPECT_EQ(kinds, (std::set<std::uint32_t>{0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0}));

    EXPECT_EQ(play(args), first) << "the same seed gives the same stream";
}

// The end of a run is where a client's close can race its own process thread and where the last
// messages can be cut off: short runs one after another, each ending cleanly and complete.
TEST_P(TamblinSendJackTest, ShortRunsEachEndCleanlyWithEverythingSent) {
    for (int run = 1; run <= 20; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const std::vector<std::uint32_t> sent =
            play({"--api", "jack", "--wait-connection", "10", "--stream", "10", "--rate", "20000",
                  "--seed", std::to_string(run)});
        ASSERT_EQ(sent.size(), 10u);
    }
}

TEST_P(TamblinSendJackTest, DemoTouchesEveryViewAndReleasesItsNotes) {
    std::uint64_t missed = 0;
    const std::vector<std::uint32_t> demo = play({"--wait-connection", "10", "--demo"}, &missed);
    std::map<std::uint32_t, int> perKind;
    std::set<std::uint32_t> noteChannels;
    std::map<std::uint32_t, int> sounding;  // channel and note -> note ons not yet released
    for (const std::uint32_t message : demo) {
        const std::uint32_t status = message & 0xFF;
        ++perKind[status >= 0xF0 ? status : status & 0xF0];
        const std::uint32_t key = message & 0xFF0F;
        if ((status & 0xF0) == 0x90 && (message >> 16) > 0) {
            noteChannels.insert(status & 0x0F);
            ++sounding[key];
        }
        if ((status & 0xF0) == 0x80) --sounding[key];
    }
    for (const std::uint32_t kind : {0x80u, 0x90u, 0xA0u, 0xB0u, 0xC0u, 0xD0u, 0xE0u, 0xF8u, 0xFEu})
        EXPECT_GT(perKind[kind], 0) << std::hex << kind;
    EXPECT_GE(noteChannels.size(), 3u);
    // PipeWire gives up the cycle of a client that runs late, with what was written for it: a
    // note on or off lost there is the server's. jackd -S waits for every client.
    const bool serverLost = server.kind() == ServerKind::PipeWire && missed > 0;
    for (const auto& [key, count] : sounding) {
        if (count != 0 && serverLost) {
            std::cout << "the sink missed " << missed << " cycle(s), and with them note "
                      << std::hex << key << std::dec << "'s on or off\n";
            continue;
        }
        EXPECT_EQ(count, 0) << std::hex << key << std::dec << " (of " << demo.size()
                            << " messages; cycles the server ran without the sink: " << missed
                            << ")";
    }
}

TEST_P(TamblinSendJackTest, LoopStoppedMidPhraseReleasesItsNotes) {
    JackSink sink;
    const auto tool = startTool({"--wait-connection", "10", "--demo", "--loop"});
    ASSERT_NE(tool, nullptr);
    const auto port = server.waitForPort("^tamblin-send:out$");
    ASSERT_TRUE(port.has_value());
    ASSERT_TRUE(server.connect(*port, sink.port()));
    ASSERT_TRUE(sink.waitForCount(100));  // well into the phrase, notes sounding
    ASSERT_EQ(tool->end(kToolPatience), 0) << tool->err();
    awaitStragglers(sink);
    std::map<std::uint32_t, int> sounding;  // channel and note -> note ons not yet released
    for (const Bytes& bytes : sink.received()) {
        if ((bytes[0] & 0xF0) == 0x90 && bytes[2] > 0) ++sounding[packed(bytes) & 0xFF0F];
        if ((bytes[0] & 0xF0) == 0x80) --sounding[packed(bytes) & 0xFF0F];
    }
    for (const auto& [key, count] : sounding) EXPECT_EQ(count, 0) << std::hex << key;
}

TEST_P(TamblinSendJackTest, ReceivesAndPrintsEachMessage) {
    ChildProgram tool = runTool({"--api", "jack", "--receive", "--expect", "4", "--timeout", "10"});
    const auto port = server.waitForPort("^tamblin-send:in$");
    ASSERT_TRUE(port.has_value());
    JackSource source;
    ASSERT_TRUE(server.connect(source.port(), *port));
    source.send({0x90, 0x3C, 0x40});  // ch1 note 60 vel 64
    source.send({0xF0, 0x01, 0xF7});  // SysEx: not a short message
    source.send({0xC1, 0x05});        // ch2 program 5
    source.send({0xF8});              // timing clock
    source.send({0xE0, 0x00, 0x40});  // ch1 pitch wheel centre
    source.send({0xFE});              // after the fourth: not waited for
    ASSERT_EQ(tool.wait(kToolPatience), 0) << tool.err();
    EXPECT_EQ(tool.out(), "403C90\n0005C1\n0000F8\n4000E0\n");
}

// --sysex sends SysEx from hex and from a .syx file, cut after each F7, each one event and whole
// however long; --receive --with-sysex prints them by their length among the short messages.
TEST_P(TamblinSendJackTest, SendsSysExFromHexAndFromASyxFile) {
    Bytes large(20000, 0x11);
    large.front() = 0xF0;
    large.back() = 0xF7;
    const std::string syx =
        ::testing::TempDir() + "tamblin-send-" + std::to_string(::getpid()) + ".SYX";
    {
        std::FILE* file = std::fopen(syx.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        const Bytes identity{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
        std::fwrite(large.data(), 1, large.size(), file);
        std::fwrite(identity.data(), 1, identity.size(), file);
        std::fclose(file);
    }
    const struct {
        std::string source;
        std::vector<Bytes> sent;
    } cases[] = {
        {"F0 7E 7F 06 01 F7F0431007F7",
         {{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, {0xF0, 0x43, 0x10, 0x07, 0xF7}}},
        {syx, {large, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source.substr(0, 30));
        JackSink sink;
        const auto tool = startTool({"--wait-connection", "10", "--sysex", c.source});
        ASSERT_NE(tool, nullptr);
        const auto port = server.waitForPort("^tamblin-send:out$");
        ASSERT_TRUE(port.has_value());
        ASSERT_TRUE(server.connect(*port, sink.port()));
        EXPECT_EQ(tool->wait(kToolPatience), 0) << tool->err();
        awaitStragglers(sink);
        std::vector<Bytes> received = sink.received();
        std::erase(received, Bytes{0xFC});
        EXPECT_EQ(received, c.sent);
    }
    std::remove(syx.c_str());

    ChildProgram tool =
        runTool({"--api", "jack", "--receive", "--with-sysex", "--expect", "3", "--timeout", "10"});
    const auto port = server.waitForPort("^tamblin-send:in$");
    ASSERT_TRUE(port.has_value());
    JackSource source;
    ASSERT_TRUE(server.connect(source.port(), *port));
    source.send({0x90, 0x3C, 0x40});
    source.send(large);
    source.send({0xF0, 0x43, 0x10});  // no F7: no SysEx
    source.send({0xF8});
    ASSERT_EQ(tool.wait(kToolPatience), 0) << tool.err();
    EXPECT_EQ(tool.out(), "403C90\nSysEx 20000\n0000F8\n");
}

TEST_P(TamblinSendJackTest, ReceiveFailsWhenTooFewArrive) {
    ChildProgram tool = runTool({"--receive", "--count", "--expect", "3", "--timeout", "1"});
    const auto port = server.waitForPort("^tamblin-send:in$");
    ASSERT_TRUE(port.has_value());
    JackSource source;
    ASSERT_TRUE(server.connect(source.port(), *port));
    source.send({0x90, 0x3C, 0x40});
    source.send({0x80, 0x3C, 0x40});
    EXPECT_EQ(tool.wait(kToolPatience), 1);
    EXPECT_EQ(tool.out(), "2\n");
}

TEST_P(TamblinSendJackTest, BadArgumentsPrintTheUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--stream", "10"},                           // no rate
        {"--stream", "--rate", "10"},                 // no count
        {"--stream", "10", "--rate", "0"},            // no pace
        {"--demo", "--stream", "10", "--rate", "5"},  // two things at once
        {"--receive", "--loop"},                      // loop is for the demo
        {"--api", "coremidi", "--demo"},              // not a system here
        {"--demo", "--delay", "soon"},
        {"--demo", "--louder"},
        {"--sysex", "F0 7E 7"},                 // half a byte
        {"--sysex", "F0 GG F7"},                // no hex
        {"--sysex", "F0+1F7"},                  // a sign is not a digit
        {"--sysex", "/nonexistent/dump.syx"},   // no file
        {"--sysex", "F07EF7", "--with-sysex"},  // --with-sysex is for receiving
    };
    for (const auto& args : cases) {
        ChildProgram tool = runTool(args);
        EXPECT_EQ(tool.wait(kToolPatience), 2) << ::testing::PrintToString(args);
        EXPECT_EQ(tool.err().rfind("usage: tamblin-send ", 0), 0u)
            << ::testing::PrintToString(args);
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, TamblinSendJackTest, ::testing::ValuesIn(serversUnderTest()),
                         serverTestName);

}  // namespace
}  // namespace tamblin::testing
