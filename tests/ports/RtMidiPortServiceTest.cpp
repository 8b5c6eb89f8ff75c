// The RtMidi port service (the ALSA sequencer on Linux) over a stand-in for RtMidi: this machine
// has no /dev/snd/seq, and what matters here is what the service asks of RtMidi and makes of its
// answers.
#include "ports/RtMidiPortService.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <RtMidi.h>
#include <algorithm>
#include <string>
#include <vector>

namespace tamblin::ports {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kAlsa = RtMidi::LINUX_ALSA;

// Lists the ports a test gives it and writes down every call the service makes.
class FakeMidiSystem final : public MidiSystem {
public:
    std::vector<std::string> sources;       // what inputs can open
    std::vector<std::string> destinations;  // what outputs can open
    std::vector<std::string> calls;
    MidiReceive receive = nullptr;  // of the input made last
    void* user = nullptr;

    std::vector<int> apis() override { return {kAlsa}; }
    std::vector<std::string> portNames(int, bool input, const std::string& client) override {
        calls.push_back(std::string(input ? "list sources as " : "list destinations as ") + client);
        return input ? sources : destinations;
    }
    std::unique_ptr<MidiEndpoint> makeInput(int, const std::string& client, MidiReceive r, void* u,
                                            bool sysex) override {
        calls.push_back("input client " + client + (sysex ? " with SysEx" : ""));
        receive = r;
        user = u;
        return std::make_unique<Endpoint>(*this, true);
    }
    std::unique_ptr<MidiEndpoint> makeOutput(int, const std::string& client) override {
        calls.push_back("output client " + client);
        return std::make_unique<Endpoint>(*this, false);
    }

private:
    class Endpoint final : public MidiEndpoint {
    public:
        Endpoint(FakeMidiSystem& system, bool input) : system_(system), input_(input) {}
        ~Endpoint() override {
            if (input_) system_.receive = nullptr;
        }
        std::vector<std::string> portNames() override {
            return input_ ? system_.sources : system_.destinations;
        }
        bool openPort(unsigned int index, const std::string& port) override {
            const auto& names = input_ ? system_.sources : system_.destinations;
            system_.calls.push_back("open " + names.at(index) + " as port " + port);
            return true;
        }
        bool send(const std::uint8_t* bytes, std::size_t size) override {
            std::string call = "send";
            for (std::size_t i = 0; i < size; ++i) call += " " + std::to_string(bytes[i]);
            system_.calls.push_back(call);
            return true;
        }

    private:
        FakeMidiSystem& system_;
        bool input_;
    };
};

struct Arrival {
    std::uint32_t handle;
    std::uint32_t notification;
    std::uint32_t message;
};
// Appends each arrival to the vector that the instance value points to.
void record(std::uint32_t handle, std::uint32_t notification, Instance arrivals,
            std::uint32_t message, std::uint32_t) {
    reinterpret_cast<std::vector<Arrival>*>(arrivals)->push_back({handle, notification, message});
}

struct Fixture {
    std::vector<Arrival> arrivals;
    Instance into = reinterpret_cast<Instance>(&arrivals);
    FakeMidiSystem* system = new FakeMidiSystem;
    RtMidiPortService service{std::unique_ptr<MidiSystem>(system)};

    std::vector<std::string> inputNames() {
        std::vector<std::string> names;
        const auto count = static_cast<DeviceId>(service.midiInGetNumDevs());
        for (DeviceId id = 0; id < count; ++id) names.push_back(service.deviceName(true, id));
        return names;
    }
};

TEST(RtMidiPortServiceTest, OpensAsClientTamblinWithClearPortNames) {
    Fixture f;
    f.system->sources = {"Keys:Keys MIDI 1 20:0"};
    f.system->destinations = {"Synth:Synth MIDI 1 24:0"};
    ASSERT_EQ(f.service.midiInGetNumDevs(), 1u);
    ASSERT_EQ(f.service.midiOutGetNumDevs(), 1u);
    Handle in = 0;
    Handle out = 0;
    ASSERT_EQ(f.service.midiInOpen(in, 0, record, f.into, kCallbackFunction), kOk);
    ASSERT_EQ(f.service.midiOutOpen(out, 0, nullptr, 0, 0), kOk);
    EXPECT_EQ(f.system->calls, (std::vector<std::string>{
                                   "list sources as Tamblin",
                                   "list destinations as Tamblin",
                                   "input client Tamblin",
                                   "open Keys:Keys MIDI 1 20:0 as port Monitor input",
                                   "output client Tamblin",
                                   "open Synth:Synth MIDI 1 24:0 as port Thru output",
                               }));
}

// Another monitor's ports (ALSA names every one "Tamblin") are never offered; the list may change
// between the count and the open, and then the name decides.
TEST(RtMidiPortServiceTest, ListsOtherClientsOnlyAndOpensByName) {
    Fixture f;
    f.system->sources = {"Midi Through:Midi Through Port-0 14:0", "Tamblin:Thru output 129:0",
                         "Keys:Keys MIDI 1 20:0", "Tamblin-Synth:out 130:0"};
    EXPECT_EQ(f.inputNames(),
              (std::vector<std::string>{"Midi Through:Midi Through Port-0 14:0",
                                        "Keys:Keys MIDI 1 20:0", "Tamblin-Synth:out 130:0"}));
    f.system->sources = {"Keys:Keys MIDI 1 20:0", "Tamblin-Synth:out 130:0"};  // one went
    f.system->calls.clear();

    Handle handle = 0x77;
    EXPECT_EQ(f.service.midiInOpen(handle, 0, record, f.into, kCallbackFunction), kBadDeviceId);
    EXPECT_EQ(handle, 0x77u);
    ASSERT_EQ(f.service.midiInOpen(handle, 1, record, f.into, kCallbackFunction), kOk);
    EXPECT_EQ(f.system->calls.back(), "open Keys:Keys MIDI 1 20:0 as port Monitor input");
    EXPECT_EQ(f.service.midiInClose(handle), kOk);
}

TEST(RtMidiPortServiceTest, HandleRulesInUseAndDelivery) {
    Fixture f;
    f.system->sources = {"Keys:Keys MIDI 1 20:0", "Pads:Pads MIDI 1 21:0"};
    f.system->destinations = {"Synth:Synth MIDI 1 24:0"};
    ASSERT_EQ(f.service.midiInGetNumDevs(), 2u);
    ASSERT_EQ(f.service.midiOutGetNumDevs(), 1u);

    Handle in = 0;
    ASSERT_EQ(f.service.midiInOpen(in, 0, record, f.into, kCallbackFunction), kOk);
    Handle second = 0x77;
    EXPECT_EQ(f.service.midiInOpen(second, 0, record, f.into, kCallbackFunction), kAllocated);
    EXPECT_EQ(second, 0x77u);
    Handle out = 0;
    ASSERT_EQ(f.service.midiOutOpen(out, 0, nullptr, 0, 0), kOk);
    EXPECT_NE(out, in);

    // Nothing before the start; whole short messages only after it.
    const Bytes before = {0x90, 0x3C, 0x40};
    f.system->receive(before.data(), before.size(), f.system->user);
    ASSERT_EQ(f.service.midiInStart(in), kOk);
    for (const Bytes& event :
         {Bytes{0xC0, 0x05}, Bytes{0xF0, 0x01, 0xF7}, Bytes{0x90, 0x3C}, Bytes{0xF7}, Bytes{0xFE}})
        f.system->receive(event.data(), event.size(), f.system->user);
    ASSERT_EQ(f.arrivals.size(), 3u);
    EXPECT_EQ(f.arrivals[0].message, 0x05C0u);
    EXPECT_EQ(f.arrivals[1].message, 0xF7u);
    EXPECT_EQ(f.arrivals[2].message, 0xFEu);
    for (const Arrival& a : f.arrivals) {
        EXPECT_EQ(a.handle, in);
        EXPECT_EQ(a.notification, kMimData);
    }
    EXPECT_TRUE(f.service.midiInClock(in).has_value());

    EXPECT_EQ(f.service.midiOutShortMsg(out, 0x403C90), kOk);
    EXPECT_NE(f.service.midiOutShortMsg(out, 0xF0), kOk);
    EXPECT_EQ(f.system->calls.back(), "send 144 60 64");

    // Handle 0, the other direction's handle and closed handles are refused.
    EXPECT_NE(f.service.midiInClose(0), kOk);
    EXPECT_NE(f.service.midiOutShortMsg(in, 0x403C90), kOk);
    EXPECT_NE(f.service.midiInStart(out), kOk);
    ASSERT_EQ(f.service.midiInClose(in), kOk);
    EXPECT_EQ(f.system->receive, nullptr) << "the close destroyed the endpoint";
    ASSERT_EQ(f.service.midiOutClose(out), kOk);
    EXPECT_NE(f.service.midiInClose(in), kOk);
    EXPECT_NE(f.service.midiInStart(in), kOk);
    EXPECT_EQ(f.service.midiInClock(in), std::nullopt);
    EXPECT_NE(f.service.midiOutShortMsg(out, 0x403C90), kOk);
    EXPECT_NE(f.service.midiOutClose(out), kOk);

    // The device is free again, under a handle never seen before.
    ASSERT_EQ(f.service.midiInOpen(second, 0, record, f.into, kCallbackFunction), kOk);
    EXPECT_NE(second, in);
    EXPECT_NE(second, out);

    // Asked for fine times (--capture), an input opened from then on adds the microseconds past
    // the millisecond to each notification: spaced out, they cannot all be 0.
    f.service.setFineTimes(true);
    ASSERT_EQ(f.service.midiInClose(second), kOk);
    ASSERT_EQ(f.service.midiInOpen(second, 1, record, f.into, kCallbackFunction), kOk);
    ASSERT_EQ(f.service.midiInStart(second), kOk);
    f.arrivals.clear();
    for (int i = 0; i < 20; ++i) {
        f.system->receive(before.data(), before.size(), f.system->user);
        ::usleep(137);
    }
    ASSERT_EQ(f.arrivals.size(), 20u);
    bool someMicros = false;
    for (const Arrival& a : f.arrivals) {
        EXPECT_EQ(a.notification & ~kMimMicrosMask, kMimData);
        someMicros = someMicros || (a.notification & kMimMicrosMask) != 0;
    }
    EXPECT_TRUE(someMicros);
}

// SysEx reaches the long-message route, whole and with both times, only when one was set before
// the open: RtMidi is then told not to ignore it; short messages keep their own callback either
// way. A long send goes out as it is.
TEST(RtMidiPortServiceTest, SysExIsReceivedOnlyWithALongCallback) {
    static std::vector<Bytes> longs;
    static std::vector<std::uint64_t> micros;
    const LongCallback keep = [](Handle, Instance, const LongData& data) {
        longs.emplace_back(data.bytes, data.bytes + data.size);
        micros.push_back(data.micros);
        EXPECT_EQ(data.micros / 1000, data.time);
    };
    for (const bool sysex : {false, true}) {
        SCOPED_TRACE(sysex ? "with a long callback" : "without");
        longs.clear();
        Fixture f;
        f.system->sources = {"Keys:Keys MIDI 1 20:0"};
        f.system->destinations = {"Synth:Synth MIDI 1 24:0"};
        if (sysex) f.service.setLongCallback(keep);
        ASSERT_EQ(f.service.midiInGetNumDevs(), 1u);
        ASSERT_EQ(f.service.midiOutGetNumDevs(), 1u);
        Handle in = 0;
        Handle out = 0;
        ASSERT_EQ(f.service.midiInOpen(in, 0, record, f.into, kCallbackFunction), kOk);
        EXPECT_EQ(f.system->calls.back(), "open Keys:Keys MIDI 1 20:0 as port Monitor input");
        EXPECT_EQ(f.system->calls[f.system->calls.size() - 2],
                  sysex ? "input client Tamblin with SysEx" : "input client Tamblin");
        ASSERT_EQ(f.service.midiInStart(in), kOk);
        const Bytes identity{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
        for (const Bytes& event : {Bytes{0xC0, 0x05}, identity, Bytes{0xFE}})
            f.system->receive(event.data(), event.size(), f.system->user);
        ASSERT_EQ(f.arrivals.size(), 2u);
        EXPECT_EQ(f.arrivals[0].message, 0x05C0u);
        EXPECT_EQ(f.arrivals[1].message, 0xFEu);
        EXPECT_EQ(longs, sysex ? std::vector<Bytes>{identity} : std::vector<Bytes>{});

        ASSERT_EQ(f.service.midiOutOpen(out, 0, nullptr, 0, 0), kOk);
        EXPECT_EQ(f.service.midiOutLongMsg(out, identity.data(), identity.size()), kOk);
        EXPECT_EQ(f.system->calls.back(), "send 240 126 127 6 1 247");
        EXPECT_NE(f.service.midiOutLongMsg(in, identity.data(), identity.size()), kOk);
        EXPECT_EQ(f.service.midiInClose(in), kOk);
        EXPECT_EQ(f.service.midiOutClose(out), kOk);
    }
}

}  // namespace
}  // namespace tamblin::ports
