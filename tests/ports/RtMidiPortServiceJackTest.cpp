#include <gtest/gtest.h>

#include <jack/jack.h>

#include <RtMidi.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "ports/RtMidiPortService.h"
#include "support/JackEndpoints.h"
#include "support/JackServer.h"

namespace tamblin::ports {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::JackServer;
using testing::JackSink;
using testing::JackSource;

struct Arrival {
    std::uint32_t message;
    std::uint32_t time;
    bool operator==(const Arrival&) const = default;
};

// What the input callback was handed. The callback takes a plain function, so the recorders
// are process-wide and the instance value picks one.
class Recorder {
public:
    void reset() {
        std::lock_guard lock(mutex_);
        arrivals_.clear();
        closed_ = false;
        late_ = 0;
        foreign_ = 0;
    }
    void add(std::uint32_t notification, std::uint32_t message, std::uint32_t time) {
        {
            std::lock_guard lock(mutex_);
            if (notification != kMimData) ++foreign_;
            if (closed_) ++late_;
            arrivals_.push_back({message, time});
        }
        arrived_.notify_all();
    }
    // Called right after midiInClose returned: every later callback is counted as late.
    void markClosed() {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    bool waitForCount(std::size_t count, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, timeout, [&] { return arrivals_.size() >= count; });
    }
    bool waitForMessage(std::uint32_t message, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, timeout, [&] {
            return std::any_of(arrivals_.begin(), arrivals_.end(),
                               [&](const Arrival& a) { return a.message == message; });
        });
    }
    std::vector<Arrival> arrivals() {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }
    std::vector<std::uint32_t> messages() {
        std::vector<std::uint32_t> messages;
        for (const Arrival& a : arrivals()) messages.push_back(a.message);
        return messages;
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return arrivals_.size();
    }
    int late() {
        std::lock_guard lock(mutex_);
        return late_;
    }
    int foreign() {
        std::lock_guard lock(mutex_);
        return foreign_;
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Arrival> arrivals_;
    bool closed_ = false;
    int late_ = 0;
    int foreign_ = 0;
};

Recorder recorders[2];

void record(std::uint32_t, std::uint32_t notification, std::uint32_t instance,
            std::uint32_t message, std::uint32_t time) {
    recorders[instance].add(notification, message, time);
}

std::string productName(const DeviceCaps& caps) {
    const auto* name = caps.bytes.data() + DeviceCaps::kNameOffset;
    return std::string(name, std::find(name, name + DeviceCaps::kNameBytes, 0));
}

std::vector<std::string> inputNames(PortService& service) {
    std::vector<std::string> names;
    const auto count = static_cast<DeviceId>(service.midiInGetNumDevs());
    for (DeviceId id = 0; id < count; ++id) {
        DeviceCaps caps;
        service.midiInGetDevCaps(id, caps, DeviceCaps::kSize);
        names.push_back(productName(caps));
    }
    return names;
}

std::vector<std::string> outputNames(PortService& service) {
    std::vector<std::string> names;
    const auto count = static_cast<DeviceId>(service.midiOutGetNumDevs());
    for (DeviceId id = 0; id < count; ++id) {
        DeviceCaps caps;
        service.midiOutGetDevCaps(id, caps, DeviceCaps::kSize);
        names.push_back(productName(caps));
    }
    return names;
}

DeviceId idOf(const std::vector<std::string>& names, const std::string& name) {
    const auto it = std::find(names.begin(), names.end(), name);
    return it == names.end() ? -1 : static_cast<DeviceId>(it - names.begin());
}

// Sends note ons from a thread of its own until stopped.
class Stream {
public:
    explicit Stream(JackSource& source)
        : thread_([this, &source] {
              std::uint8_t note = 0;
              while (!stop_.load()) {
                  source.send({0x90, note, 0x40});
                  note = static_cast<std::uint8_t>((note + 1) % 128);
                  std::this_thread::sleep_for(500us);
              }
          }) {}
    ~Stream() { stop(); }
    void stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class RtMidiPortServiceJackTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(jack.running());
        for (Recorder& r : recorders) r.reset();
    }

    // Counts the inputs and opens the one named `name`, started, recording into recorders[0].
    Handle openStartedInput(PortService& service, const std::string& name) {
        const DeviceId id = idOf(inputNames(service), name);
        EXPECT_GE(id, 0) << name << " is not among the inputs";
        Handle handle = 0;
        EXPECT_EQ(service.midiInOpen(handle, id, record, 0, kCallbackFunction), kOk);
        EXPECT_EQ(service.midiInStart(handle), kOk);
        return handle;
    }

    Handle openOutput(PortService& service, const std::string& name) {
        const DeviceId id = idOf(outputNames(service), name);
        EXPECT_GE(id, 0) << name << " is not among the outputs";
        Handle handle = 0;
        EXPECT_EQ(service.midiOutOpen(handle, id, nullptr, 0, 0), kOk);
        return handle;
    }

    JackServer jack;
    RtMidiPortService service;
};

TEST_F(RtMidiPortServiceJackTest, DeliversShortMessagesInOrderAndDropsTheRest) {
    JackSource source;
    const Handle handle = openStartedInput(service, source.port());

    struct Case {
        Bytes bytes;
        std::uint32_t delivered;  // 0: dropped
    } cases[] = {
        {{0x90, 0x3C, 0x40}, 0x403C90},             // ch1 note 60 vel 64
        {{0x80, 0x3C, 0x00}, 0x003C80},             // ch1 note 60 off
        {{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, 0},  // SysEx is not shown
        {{0xB3, 0x07, 0x64}, 0x6407B3},             // ch4 controller 7 value 100
        {{0xC9, 0x05}, 0x05C9},                     // ch10 program 5
        {{0xF8}, 0xF8},                             // timing clock, which RtMidi drops by default
        {{0xFE}, 0xFE},                             // active sensing, likewise
        {{0x3C, 0x40}, 0},                          // no status byte
        {{0x90, 0xBC, 0x40}, 0},                    // data byte with its top bit set
        {{0x90, 0x3C}, 0},                          // one data byte short
        {{0xC0, 0x05, 0x06}, 0},                    // one data byte too many
        {{0xEF, 0x00, 0x40}, 0x4000EF},             // ch16 pitch wheel centre
        {{0xD2, 0x30}, 0x30D2},                     // ch3 channel pressure
        {{0xA1, 0x3C, 0x7F}, 0x7F3CA1},             // ch2 key pressure
        {{0xF2, 0x10, 0x20}, 0x2010F2},             // song position
        {{0x91, 0x40, 0x00}, 0x004091},             // ch2 note 64 vel 0
    };
    std::vector<std::uint32_t> expected;
    for (const Case& c : cases) {
        source.send(c.bytes);
        if (c.delivered != 0) expected.push_back(c.delivered);
    }
    ASSERT_TRUE(recorders[0].waitForCount(expected.size()));
    // A marker sent last: whatever was dropped would have come before it.
    source.send({0xFC});
    ASSERT_TRUE(recorders[0].waitForCount(expected.size() + 1));
    expected.push_back(0xFC);

    EXPECT_EQ(recorders[0].messages(), expected);
    EXPECT_EQ(recorders[0].foreign(), 0);
    const std::vector<Arrival> arrivals = recorders[0].arrivals();
    for (std::size_t i = 1; i < arrivals.size(); ++i)
        EXPECT_LE(arrivals[i - 1].time, arrivals[i].time) << "message " << i;
    const std::optional<std::int32_t> clock = service.midiInClock(handle);
    ASSERT_TRUE(clock.has_value());
    EXPECT_LE(static_cast<std::int32_t>(arrivals.back().time), *clock);
    EXPECT_EQ(service.midiInClose(handle), kOk);
}

TEST_F(RtMidiPortServiceJackTest, TimestampsCountMillisecondsFromTheStart) {
    JackSource source;
    const auto beforeStart = std::chrono::steady_clock::now();
    const Handle handle = openStartedInput(service, source.port());
    const auto afterStart = std::chrono::steady_clock::now();
    std::this_thread::sleep_until(afterStart + 120ms);
    source.send({0x90, 0x3C, 0x40});
    ASSERT_TRUE(recorders[0].waitForCount(1));
    const auto received = std::chrono::steady_clock::now();
    const auto time = static_cast<std::int32_t>(recorders[0].arrivals()[0].time);
    EXPECT_GE(time, 120);
    EXPECT_LE(
        time,
        std::chrono::duration_cast<std::chrono::milliseconds>(received - beforeStart).count());
    EXPECT_EQ(service.midiInClose(handle), kOk);
}

TEST_F(RtMidiPortServiceJackTest, NothingArrivesBeforeStart) {
    JackSource source;
    JackSink probe("tamblin-test-probe");
    ASSERT_TRUE(jack.connect(source.port(), probe.port()));
    const DeviceId id = idOf(inputNames(service), source.port());
    Handle handle = 0;
    ASSERT_EQ(service.midiInOpen(handle, id, record, 0, kCallbackFunction), kOk);

    source.send({0x90, 0x01, 0x01});  // before the start
    ASSERT_TRUE(probe.waitForCount(1));
    // In synchronous mode a JACK cycle ends for every client before the next begins: once the
    // probe has the marker, the open port has been handed the first message too.
    source.send({0xFC});
    ASSERT_TRUE(probe.waitForCount(2));

    ASSERT_EQ(service.midiInStart(handle), kOk);
    source.send({0x90, 0x02, 0x02});
    ASSERT_TRUE(recorders[0].waitForMessage(0x020290));
    // The marker may have reached the port after the start; the first message cannot have.
    const std::vector<std::uint32_t> messages = recorders[0].messages();
    EXPECT_TRUE(messages == std::vector<std::uint32_t>({0x020290}) ||
                messages == std::vector<std::uint32_t>({0xFC, 0x020290}))
        << ::testing::PrintToString(messages);
    EXPECT_EQ(service.midiInClose(handle), kOk);
}

TEST_F(RtMidiPortServiceJackTest, SendsEachShortMessageWithItsLength) {
    JackSink sink;
    const Handle handle = openOutput(service, sink.port());

    struct Case {
        std::uint32_t message;
        Bytes sent;  // empty: refused
    } cases[] = {
        {0x403C90, {0x90, 0x3C, 0x40}},  // ch1 note 60 vel 64
        {0x0040E0, {0xE0, 0x40, 0x00}},  // ch1 pitch wheel
        {0x3C, {}},                      // no status byte
        {0x05C1, {0xC1, 0x05}},          // ch2 program 5
        {0xF0, {}},                      // SysEx start alone
        {0x30D2, {0xD2, 0x30}},          // ch3 channel pressure
        {0xF8, {0xF8}},                  // timing clock
        {0xF7, {}},                      // SysEx end alone
        {0x2010F2, {0xF2, 0x10, 0x20}},  // song position
        {0x03F3, {0xF3, 0x03}},          // song select
        {0x80BC90, {}},                  // data byte with its top bit set
        {0xFE, {0xFE}},                  // active sensing
        {0x7F3CA1, {0xA1, 0x3C, 0x7F}},  // ch2 key pressure
    };
    std::vector<Bytes> expected;
    for (const Case& c : cases) {
        const Result result = service.midiOutShortMsg(handle, c.message);
        if (c.sent.empty()) {
            EXPECT_NE(result, kOk) << std::hex << c.message;
        } else {
            EXPECT_EQ(result, kOk) << std::hex << c.message;
            expected.push_back(c.sent);
        }
    }
    ASSERT_TRUE(sink.waitForCount(expected.size()));
    ASSERT_EQ(service.midiOutShortMsg(handle, 0xFC), kOk);  // marker, after anything refused
    expected.push_back({0xFC});
    ASSERT_TRUE(sink.waitForCount(expected.size()));
    EXPECT_EQ(sink.received(), expected);
    EXPECT_EQ(service.midiOutClose(handle), kOk);
}

TEST_F(RtMidiPortServiceJackTest, NoCallbackOnceCloseHasReturned) {
    JackSource source;
    JackSink probe("tamblin-test-probe");
    ASSERT_TRUE(jack.connect(source.port(), probe.port()));
    Stream stream(source);
    // Closing while messages pour in, several times, to meet a callback in progress.
    for (int round = 0; round < 5; ++round) {
        recorders[0].reset();
        const Handle handle = openStartedInput(service, source.port());
        ASSERT_TRUE(recorders[0].waitForCount(20)) << "round " << round;
        ASSERT_EQ(service.midiInClose(handle), kOk);
        recorders[0].markClosed();
        const std::size_t atClose = recorders[0].count();

        const std::size_t probed = probe.count();
        ASSERT_TRUE(probe.waitForCount(probed + 50)) << "the stream goes on";
        EXPECT_EQ(recorders[0].late(), 0) << "round " << round;
        EXPECT_EQ(recorders[0].count(), atClose) << "round " << round;
    }
}

// Another program rewiring the graph makes the server notify every client, ours included, on
// their own threads, while closing an input unregisters its port on ours. libjack walks the
// client's ports for those notifications and does not guard the list; a close must not let the
// two meet.
TEST_F(RtMidiPortServiceJackTest, InputsOpenAndCloseWhileAnotherProgramRewiresTheGraph) {
    JackSource source;
    JackSource other("tamblin-test-other");
    JackSink sink;
    std::atomic<bool> stop{false};
    std::atomic<int> rewirings{0};
    std::thread rewire([&] {
        jack_status_t status{};
        jack_client_t* client = jack_client_open("tamblin-test-rewire", JackNoStartServer,
                                                 &status, jack.name().c_str());
        if (client == nullptr) return;
        while (!stop.load()) {
            jack_connect(client, other.port().c_str(), sink.port().c_str());
            jack_disconnect(client, other.port().c_str(), sink.port().c_str());
            rewirings.fetch_add(1);
        }
        jack_client_close(client);
    });

    Stream stream(source);
    const DeviceId id = idOf(inputNames(service), source.port());
    ASSERT_GE(id, 0);
    int opened = 0;
    for (int round = 0; round < 200; ++round) {
        Handle handle = 0;
        if (service.midiInOpen(handle, id, record, 0, kCallbackFunction) != kOk) continue;
        ++opened;
        EXPECT_EQ(service.midiInStart(handle), kOk);
        // The server tells of our own connection a cycle or two later: close at every moment.
        std::this_thread::sleep_for(std::chrono::microseconds(round * 50));
        EXPECT_EQ(service.midiInClose(handle), kOk);
    }
    stop.store(true);
    rewire.join();
    EXPECT_EQ(opened, 200);
    EXPECT_GT(rewirings.load(), 0) << "the graph never changed";
}

TEST_F(RtMidiPortServiceJackTest, HandleRules) {
    JackSource source;
    JackSink sink;

    // Handle 0: nothing was ever opened.
    EXPECT_NE(service.midiInStart(0), kOk);
    EXPECT_NE(service.midiInClose(0), kOk);
    EXPECT_NE(service.midiOutShortMsg(0, 0x403C90), kOk);
    EXPECT_NE(service.midiOutClose(0), kOk);
    EXPECT_EQ(service.midiInClock(0), std::nullopt);

    const DeviceId inId = idOf(inputNames(service), source.port());
    Handle in = 0;
    ASSERT_EQ(service.midiInOpen(in, inId, record, 0, kCallbackFunction), kOk);
    EXPECT_NE(in, 0u);
    EXPECT_EQ(service.midiInClock(in), std::nullopt) << "not started yet";
    const Handle out = openOutput(service, sink.port());
    EXPECT_NE(out, in);

    // A handle of the other direction is no handle here.
    EXPECT_NE(service.midiOutShortMsg(in, 0x403C90), kOk);
    EXPECT_NE(service.midiOutClose(in), kOk);
    EXPECT_NE(service.midiInStart(out), kOk);
    EXPECT_NE(service.midiInClose(out), kOk);
    EXPECT_EQ(service.midiInClock(out), std::nullopt);

    // Closed handles.
    ASSERT_EQ(service.midiInClose(in), kOk);
    ASSERT_EQ(service.midiOutClose(out), kOk);
    EXPECT_NE(service.midiInClose(in), kOk);
    EXPECT_NE(service.midiInStart(in), kOk);
    EXPECT_EQ(service.midiInClock(in), std::nullopt);
    EXPECT_NE(service.midiOutShortMsg(out, 0x403C90), kOk);
    EXPECT_NE(service.midiOutClose(out), kOk);

    // Handles are not reused, and the closed output sent nothing.
    Handle again = 0;
    ASSERT_EQ(service.midiInOpen(again, inId, record, 0, kCallbackFunction), kOk);
    const Handle outAgain = openOutput(service, sink.port());
    EXPECT_NE(again, in);
    EXPECT_NE(again, out);
    EXPECT_NE(outAgain, in);
    EXPECT_NE(outAgain, out);
    ASSERT_EQ(service.midiOutShortMsg(outAgain, 0xFC), kOk);
    ASSERT_TRUE(sink.waitForCount(1));
    EXPECT_EQ(sink.received(), std::vector<Bytes>{{0xFC}});
}

TEST_F(RtMidiPortServiceJackTest, OwnPortsAreNeverListed) {
    JackSource source;
    JackSink sink;
    JackSource namesake("Tamblin-Synth");  // a client of someone else
    RtMidiPortService other;               // a second service: its JACK clients become "Tamblin-NN"

    const Handle in = openStartedInput(service, source.port());
    const Handle out = openOutput(service, sink.port());
    const Handle otherIn = openStartedInput(other, source.port());
    const Handle otherOut = openOutput(other, sink.port());
    ASSERT_GE(jack.ports("^Tamblin(-[0-9]+)?:").size(), 4u) << "the services have their ports";

    for (PortService* s :
         {static_cast<PortService*>(&service), static_cast<PortService*>(&other)}) {
        const std::vector<std::string> inputs = inputNames(*s);
        const std::vector<std::string> outputs = outputNames(*s);
        EXPECT_GE(idOf(inputs, source.port()), 0);
        EXPECT_GE(idOf(inputs, namesake.port()), 0);
        EXPECT_GE(idOf(outputs, sink.port()), 0);
        for (const auto& names : {inputs, outputs})
            for (const std::string& name : names)
                EXPECT_FALSE(RtMidiPortService::isOwnPort("jack", name)) << name;
    }
    EXPECT_EQ(service.midiInClose(in), kOk);
    EXPECT_EQ(service.midiOutClose(out), kOk);
    EXPECT_EQ(other.midiInClose(otherIn), kOk);
    EXPECT_EQ(other.midiOutClose(otherOut), kOk);
}

TEST_F(RtMidiPortServiceJackTest, InvalidIdAnswersBadDeviceIdWithAnEmptyName) {
    JackSource source;
    JackSink sink;
    const auto inputs = static_cast<DeviceId>(service.midiInGetNumDevs());
    const auto outputs = static_cast<DeviceId>(service.midiOutGetNumDevs());
    ASSERT_GE(inputs, 1);
    ASSERT_GE(outputs, 1);

    for (const DeviceId id : {-1, inputs, inputs + 7, std::numeric_limits<DeviceId>::min()}) {
        DeviceCaps caps;
        ASSERT_EQ(service.midiInGetDevCaps(0, caps, DeviceCaps::kSize), kOk);
        ASSERT_FALSE(productName(caps).empty());
        EXPECT_EQ(service.midiInGetDevCaps(id, caps, DeviceCaps::kSize), kBadDeviceId) << id;
        EXPECT_EQ(productName(caps), "") << "no name left from the query before, id " << id;
        Handle handle = 0x77;
        EXPECT_EQ(service.midiInOpen(handle, id, record, 0, kCallbackFunction), kBadDeviceId);
        EXPECT_EQ(handle, 0x77u);
    }
    for (const DeviceId id : {-1, outputs, outputs + 7}) {
        DeviceCaps caps;
        ASSERT_EQ(service.midiOutGetDevCaps(0, caps, DeviceCaps::kSize), kOk);
        EXPECT_EQ(service.midiOutGetDevCaps(id, caps, DeviceCaps::kSize), kBadDeviceId) << id;
        EXPECT_EQ(productName(caps), "") << id;
        Handle handle = 0x77;
        EXPECT_EQ(service.midiOutOpen(handle, id, nullptr, 0, 0), kBadDeviceId);
        EXPECT_EQ(handle, 0x77u);
    }
}

TEST_F(RtMidiPortServiceJackTest, SecondOpenOfAnOpenDeviceAnswersInUse) {
    JackSource source;
    JackSink sink;
    const DeviceId inId = idOf(inputNames(service), source.port());
    const DeviceId outId = idOf(outputNames(service), sink.port());

    Handle in = 0;
    ASSERT_EQ(service.midiInOpen(in, inId, record, 0, kCallbackFunction), kOk);
    Handle second = 0x77;
    EXPECT_EQ(service.midiInOpen(second, inId, record, 1, kCallbackFunction), kAllocated);
    EXPECT_EQ(second, 0x77u);
    ASSERT_EQ(service.midiInClose(in), kOk);
    EXPECT_EQ(service.midiInOpen(second, inId, record, 1, kCallbackFunction), kOk);
    EXPECT_EQ(service.midiInClose(second), kOk);

    Handle out = 0;
    ASSERT_EQ(service.midiOutOpen(out, outId, nullptr, 0, 0), kOk);
    second = 0x77;
    EXPECT_EQ(service.midiOutOpen(second, outId, nullptr, 0, 0), kAllocated);
    EXPECT_EQ(second, 0x77u);
    ASSERT_EQ(service.midiOutClose(out), kOk);
    EXPECT_EQ(service.midiOutOpen(second, outId, nullptr, 0, 0), kOk);
    EXPECT_EQ(service.midiOutClose(second), kOk);
}

TEST_F(RtMidiPortServiceJackTest, OpenGoesByTheNameCounted) {
    auto first = std::make_unique<JackSource>("tamblin-test-first");
    JackSource second("tamblin-test-second");
    const std::vector<std::string> names = inputNames(service);
    const DeviceId firstId = idOf(names, first->port());
    const DeviceId secondId = idOf(names, second.port());
    ASSERT_GE(firstId, 0);
    ASSERT_GE(secondId, 0);
    ASSERT_LT(firstId, secondId);
    first.reset();  // the list has changed since the count: the second port moved up
    ASSERT_TRUE(jack.waitForNoPort("^tamblin-test-first:"));

    Handle handle = 0;
    const Result gone = service.midiInOpen(handle, firstId, record, 0, kCallbackFunction);
    EXPECT_NE(gone, kOk);
    EXPECT_NE(gone, kAllocated);
    ASSERT_EQ(service.midiInOpen(handle, secondId, record, 0, kCallbackFunction), kOk);
    ASSERT_EQ(service.midiInStart(handle), kOk);
    second.send({0x90, 0x3C, 0x40});
    ASSERT_TRUE(recorders[0].waitForCount(1));
    EXPECT_EQ(recorders[0].messages(), std::vector<std::uint32_t>{0x403C90});
    EXPECT_EQ(service.midiInClose(handle), kOk);
}

TEST_F(RtMidiPortServiceJackTest, LongNameIsCutButStillOpens) {
    // 14 ASCII bytes and nine 2-byte letters: byte 31 falls inside the ninth letter.
    const std::string client =
        "tamblin-test-x\u00e4\u00f6\u00fc\u00e4\u00f6\u00fc\u00e4\u00f6\u00fc";
    JackSource source(client);
    const std::vector<std::string> names = inputNames(service);
    const std::string shown = "tamblin-test-x\u00e4\u00f6\u00fc\u00e4\u00f6\u00fc\u00e4\u00f6";
    const DeviceId id = idOf(names, shown);
    ASSERT_GE(id, 0);
    Handle handle = 0;
    ASSERT_EQ(service.midiInOpen(handle, id, record, 0, kCallbackFunction), kOk);
    ASSERT_EQ(service.midiInStart(handle), kOk);
    source.send({0xC0, 0x07});
    ASSERT_TRUE(recorders[0].waitForCount(1));
    EXPECT_EQ(recorders[0].messages(), std::vector<std::uint32_t>{0x07C0});
    EXPECT_EQ(service.midiInClose(handle), kOk);
}

TEST_F(RtMidiPortServiceJackTest, SourceThatQuitsMidStreamLeavesThePortQuiet) {
    auto source = std::make_unique<JackSource>();
    const std::string port = source->port();
    const DeviceId id = idOf(inputNames(service), port);
    Handle handle = 0;
    ASSERT_EQ(service.midiInOpen(handle, id, record, 0, kCallbackFunction), kOk);
    ASSERT_EQ(service.midiInStart(handle), kOk);
    {
        Stream stream(*source);
        ASSERT_TRUE(recorders[0].waitForCount(20));
    }
    source.reset();
    ASSERT_TRUE(jack.waitForNoPort("^" + port));

    EXPECT_TRUE(service.midiInClock(handle).has_value());
    EXPECT_EQ(idOf(inputNames(service), port), -1);
    Handle reopened = 0x77;
    const Result result = service.midiInOpen(reopened, id, record, 0, kCallbackFunction);
    EXPECT_NE(result, kOk);
    EXPECT_NE(result, kAllocated);
    EXPECT_EQ(service.midiInClose(handle), kOk);
}

TEST_F(RtMidiPortServiceJackTest, ServerThatDiesTakesItsPortsQuietly) {
    auto source = std::make_unique<JackSource>();
    auto sink = std::make_unique<JackSink>();
    const Handle in = openStartedInput(service, source->port());
    const Handle out = openOutput(service, sink->port());
    auto leftOpen = std::make_unique<RtMidiPortService>();  // destroyed with its ports open
    openStartedInput(*leftOpen, source->port());
    openOutput(*leftOpen, sink->port());
    ASSERT_EQ(service.midiOutShortMsg(out, 0x403C90), kOk);
    ASSERT_TRUE(sink->waitForCount(1));

    jack.kill();
    JackServer::abandon(source->release());
    JackServer::abandon(sink->release());

    EXPECT_NE(service.midiOutShortMsg(out, 0x403C90), kOk);
    EXPECT_EQ(idOf(inputNames(service), "tamblin-test-source:out"), -1);
    EXPECT_EQ(idOf(outputNames(service), "tamblin-test-sink:in"), -1);
    EXPECT_EQ(service.midiInClose(in), kOk);
    EXPECT_EQ(service.midiOutClose(out), kOk);
    leftOpen.reset();

    // A new server: the same service lists and opens its ports.
    ASSERT_TRUE(jack.start());
    JackSource newSource;
    const Handle newIn = openStartedInput(service, newSource.port());
    newSource.send({0xB0, 0x40, 0x7F});
    ASSERT_TRUE(recorders[0].waitForCount(1));
    EXPECT_EQ(recorders[0].messages(), std::vector<std::uint32_t>{0x7F40B0});
    EXPECT_EQ(service.midiInClose(newIn), kOk);
}

}  // namespace
}  // namespace tamblin::ports
