#include "input/RefreshPump.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "input/InputRing.h"

namespace tamblin::input {
namespace {

std::string hex(std::uint32_t message) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", message);
    return text;
}

// Writes down every call the pump makes, in order, and lets a test act from inside the calls
// the way the window would (flipping a check box, a message arriving, a tick while a box is open).
class FakeHost : public PumpHost {
public:
    std::vector<std::string> calls;
    bool filterRealTime = true;
    bool allowOutput = false;
    std::function<void(std::uint32_t)> onDisplay;
    std::function<void()> onOverrun;

    bool realTimeFiltered() const override { return filterRealTime; }
    bool outputAllowed() const override { return allowOutput; }
    void displayMessage(std::uint32_t message, std::int32_t time) override {
        calls.push_back("display " + hex(message) + " @" + std::to_string(time));
        if (onDisplay) onDisplay(message);
    }
    void forward(std::uint32_t message) override { calls.push_back("forward " + hex(message)); }
    void suspendPainting() override { calls.push_back("suspend"); }
    void resumePainting() override { calls.push_back("resume"); }
    void reportOverrun() override {
        calls.push_back("overrun");
        if (onOverrun) onOverrun();
    }
    // SysEx, by their length and time.
    ports::Result longResult = ports::kOk;
    void displaySysEx(const SysExRing::Entry& e) override {
        calls.push_back("display SysEx " + std::to_string(e.size) + " @" + std::to_string(e.time));
    }
    void reportSysExDropped(const SysExRing::Entry& e) override {
        calls.push_back("dropped " + std::to_string(e.droppedBytes));
    }
    ports::Result forwardLong(const std::uint8_t*, std::size_t size) override {
        calls.push_back("forward SysEx " + std::to_string(size));
        return longResult;
    }
    void reportTooLarge(const SysExRing::Entry& e) override {
        calls.push_back("too large " + std::to_string(e.size));
    }
};

using Calls = std::vector<std::string>;

// Writes what the capture receives into the host's calls, among the pump's other calls.
class FakeCapture : public CaptureSink {
public:
    explicit FakeCapture(Calls& calls) : calls_(calls) {}
    void inputOpened(std::string_view name, std::int64_t) override {
        calls_.push_back("opened " + std::string(name));
    }
    void message(std::span<const std::uint8_t> bytes, std::int64_t micros) override {
        std::string text = "capture";
        for (const std::uint8_t b : bytes) text += " " + hex(b);
        calls_.push_back(text + " @" + std::to_string(micros));
    }
    void drained() override { calls_.push_back("drained"); }

private:
    Calls& calls_;
};

struct Fixture {
    std::unique_ptr<InputRing> ring = std::make_unique<InputRing>();
    FakeHost host;
    RefreshPump pump{*ring, host};
};

TEST(RefreshPumpTest, RealTimeMessagesAreSkippedOnlyWhileTheBoxIsChecked) {
    struct Case {
        std::uint32_t message;
        bool filter;
        bool reachesDecoder;
    };
    const Case cases[] = {
        {0xF8, true, false},     // timing clock
        {0xFA, true, false},     // start
        {0xFE, true, false},     // active sensing
        {0xFF, true, false},     // system reset
        {0xF0, true, true},      // not real time
        {0xF2, true, true},      // song position
        {0xF7, true, true},      // EOX
        {0x403C90, true, true},  // ch1 note on
        {0x403C9F, true, true},  // ch16 note on: 0x9F is no real-time status
        {0x7F7FEF, true, true},  // ch16 pitch wheel
        {0xF8, false, true},     // unchecked: nothing is skipped
        {0xFF, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.message << " filter " << c.filter);
        Fixture f;
        f.host.filterRealTime = c.filter;
        f.host.allowOutput = true;
        f.ring->store(c.message, 42);
        f.pump.tick();
        const Calls expected = c.reachesDecoder
                                   ? Calls{"suspend", "display " + hex(c.message) + " @42",
                                           "forward " + hex(c.message), "resume"}
                                   : Calls{"suspend", "resume"};
        EXPECT_EQ(f.host.calls, expected);
        EXPECT_TRUE(f.ring->empty());  // skipped or not, the read position moved on
    }
}

TEST(RefreshPumpTest, RealTimeFilterIsReadForEachMessage) {
    Fixture f;
    f.ring->store(0xF8, 1);
    f.ring->store(0x403C90, 2);  // unchecking the box while this one is decoded
    f.ring->store(0xF8, 3);
    f.ring->store(0xFC, 4);
    f.host.onDisplay = [&](std::uint32_t) { f.host.filterRealTime = false; };
    f.pump.tick();
    EXPECT_EQ(f.host.calls,
              (Calls{"suspend", "display 403C90 @2", "display F8 @3", "display FC @4", "resume"}));
}

// The capture takes every message as it arrived, with the microseconds the port gave, before
// the filter or the gate decide anything, a SysEx in its place among the short messages (one
// dropped for want of room has no bytes to keep); it hears the end of every drain.
TEST(RefreshPumpTest, TheCaptureTakesEveryMessageBeforeAnyFilter) {
    Fixture f;
    FakeCapture capture(f.host.calls);
    f.pump.setCapture(&capture);
    SysExRing sysex(256);
    f.ring->attachSysEx(&sysex);
    const std::uint8_t identity[] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    const std::uint8_t tooLarge[300] = {0xF0};
    const auto storeSysEx = [&](const std::uint8_t* bytes, std::size_t size, std::uint64_t at) {
        ports::LongData data;
        data.bytes = bytes;
        data.size = size;
        data.time = static_cast<std::uint32_t>(at / 1000);
        data.micros = at;
        return sysex.store(data, f.ring->writePos());
    };
    f.ring->store(0xF8, 1, false, 250);  // clock, hidden
    ASSERT_TRUE(storeSysEx(identity, sizeof identity, 1500));
    f.ring->store(0x403C90, 2, true, 999);  // ch1 note on, forwarded already
    ASSERT_FALSE(storeSysEx(tooLarge, sizeof tooLarge, 2999));
    f.ring->store(0x05C0, -2147483647 - 1, false);  // ch1 program 5, ~24.8 days in
    f.pump.tick();
    f.pump.tick();  // nothing waits
    EXPECT_EQ(f.host.calls,
              (Calls{"suspend", "capture F8 @1250", "capture F0 7E 7F 6 1 F7 @1500",
                     "display SysEx 6 @1", "capture 90 3C 40 @2999", "display 403C90 @2",
                     "dropped 300", "capture C0 5 @-2147483648000", "display 5C0 @-2147483648",
                     "resume", "drained", "suspend", "resume", "drained"}));
}

TEST(RefreshPumpTest, ForwardsAfterDecodingWhileOutputIsAllowed) {
    Fixture f;
    f.host.allowOutput = false;
    f.ring->store(0x403C90, 1);  // allowing output while this one is decoded
    f.ring->store(0x05C0, 2);
    f.ring->store(0x6407B0, 3);  // forbidding it again
    f.ring->store(0x403C80, 4);
    f.host.onDisplay = [&](std::uint32_t message) {
        if (message == 0x403C90) f.host.allowOutput = true;
        if (message == 0x6407B0) f.host.allowOutput = false;
    };
    f.pump.tick();
    EXPECT_EQ(f.host.calls,
              (Calls{"suspend", "display 403C90 @1", "forward 403C90", "display 5C0 @2",
                     "forward 5C0", "display 6407B0 @3", "display 403C80 @4", "resume"}));
}

// With direct thru the port service sends a message on in the cycle it arrived and marks it: the
// pump shows it but must not send it a second time.
TEST(RefreshPumpTest, MessagesTheServiceForwardedAreShownButNotSentAgain) {
    Fixture f;
    f.host.allowOutput = true;
    f.ring->store(0x403C90, 1, /*decided=*/true);
    f.ring->store(0x05C0, 2, /*decided=*/false);
    f.ring->store(0x403C80, 3, /*decided=*/true);
    f.pump.tick();
    EXPECT_EQ(f.host.calls, (Calls{"suspend", "display 403C90 @1", "display 5C0 @2", "forward 5C0",
                                   "display 403C80 @3", "resume"}));
}

// A SysEx goes out under "Allow MIDI output" alone (the real-time filter does not apply), whole
// SysEx only, never when the service decided its thru itself; one the output cannot carry is
// reported, once, and so is one that direct thru found too large.
TEST(RefreshPumpTest, WholeSysExAreForwardedUnderTheOutputGateAndTooLargeOnesReported) {
    using Bytes = std::vector<std::uint8_t>;
    struct Case {
        Bytes bytes;
        bool allow;
        bool decided;
        bool notSent;
        ports::Result result;
        Calls calls;
    };
    const Bytes identity{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    const Case cases[] = {
        {identity, true, false, false, ports::kOk, {"display SysEx 6 @5", "forward SysEx 6"}},
        {identity, false, false, false, ports::kOk, {"display SysEx 6 @5"}},
        {identity, true, true, false, ports::kOk, {"display SysEx 6 @5"}},
        {identity, true, true, true, ports::kOk, {"display SysEx 6 @5", "too large 6"}},
        {identity,
         true,
         false,
         false,
         ports::kTooLarge,
         {"display SysEx 6 @5", "forward SysEx 6", "too large 6"}},
        {{0xF0, 0x41, 0x10}, true, false, false, ports::kOk, {"display SysEx 3 @5"}},
        {{0xF0, 0x41, 0xF8, 0xF7}, true, false, false, ports::kOk, {"display SysEx 4 @5"}},
        {{}, true, false, false, ports::kOk, {"display SysEx 0 @5"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.bytes.size() << " bytes, allow " << c.allow << " decided " << c.decided);
        Fixture f;
        SysExRing sysex(4096);
        f.ring->attachSysEx(&sysex);
        f.host.allowOutput = c.allow;
        f.host.longResult = c.result;
        ports::LongData data;
        data.bytes = c.bytes.data();
        data.size = c.bytes.size();
        data.time = 5;
        data.decided = c.decided;
        data.notSent = c.notSent;
        ASSERT_TRUE(sysex.store(data, f.ring->writePos()));
        f.pump.tick();
        Calls expected{"suspend"};
        expected.insert(expected.end(), c.calls.begin(), c.calls.end());
        expected.push_back("resume");
        EXPECT_EQ(f.host.calls, expected);
    }
}

TEST(RefreshPumpTest, SkippedMessagesAreNotForwarded) {
    Fixture f;
    f.host.allowOutput = true;
    f.ring->store(0xF8, 1);
    f.ring->store(0xF8, 2);
    f.ring->store(0x30D1, 3);  // ch2 channel pressure
    f.pump.tick();
    EXPECT_EQ(f.host.calls, (Calls{"suspend", "display 30D1 @3", "forward 30D1", "resume"}));
    EXPECT_EQ(f.ring->readPos(), 3);
    EXPECT_TRUE(f.ring->empty());
}

TEST(RefreshPumpTest, MessagesArrivingDuringTheDrainAreDrainedInTheSameTick) {
    Fixture f;
    f.ring->store(0x403C90, 1);
    f.host.onDisplay = [&](std::uint32_t message) {
        if (message == 0x403C90) f.ring->store(0x403C80, 2);
        if (message == 0x403C80) f.ring->store(0xF6, 3);
    };
    f.pump.tick();
    EXPECT_EQ(f.host.calls, (Calls{"suspend", "display 403C90 @1", "display 403C80 @2",
                                   "display F6 @3", "resume"}));
}

TEST(RefreshPumpTest, EveryTickSuspendsAndResumesPaintingEvenWhenEmpty) {
    Fixture f;
    f.pump.tick();
    f.pump.tick();
    EXPECT_EQ(f.host.calls, (Calls{"suspend", "resume", "suspend", "resume"}));
}

TEST(RefreshPumpTest, OverrunIsReportedOnceAfterTheDrain) {
    Fixture f;
    for (int i = 0; i < 1024; ++i) f.ring->store(0xF8, i);
    f.ring->store(0x403C90, 7);  // arrives after the overrun, still drained
    f.pump.tick();
    f.pump.tick();
    EXPECT_EQ(f.host.calls,
              (Calls{"suspend", "display 403C90 @7", "resume", "overrun", "suspend", "resume"}));
}

// The overrun message box is modal while timer ticks go on, so tick() can run again from inside
// reportOverrun(); the message must still be shown only once.
TEST(RefreshPumpTest, TickFromInsideTheOverrunReportDoesNotReportAgain) {
    Fixture f;
    for (int i = 0; i < 1024; ++i) f.ring->store(0xF8, i);
    int nested = 0;
    f.host.onOverrun = [&] {
        for (nested = 0; nested < 2; ++nested) {
            f.ring->store(0x05C0, 100 + nested);
            f.pump.tick();
        }
    };
    f.pump.tick();
    EXPECT_EQ(f.host.calls, (Calls{"suspend", "resume", "overrun", "suspend", "display 5C0 @100",
                                   "resume", "suspend", "display 5C0 @101", "resume"}));
}

}  // namespace
}  // namespace tamblin::input
