#include "ports/CompositePortService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "doubles/InProcessPortService.h"
#include "support/ForwardingPortService.h"

namespace tamblin::ports {
namespace {

// Appends each message to the vector that the instance value points to.
void record(std::uint32_t, std::uint32_t, Instance received, std::uint32_t message, std::uint32_t) {
    reinterpret_cast<std::vector<std::uint32_t>*>(received)->push_back(message);
}

// Notes the thru gate, which the composite must hand to every service it is made of.
class GateRecorder final : public testing::ForwardingPortService {
public:
    using ForwardingPortService::ForwardingPortService;
    std::vector<std::string> gates;
    void setThruGate(bool allowed, bool filtered) override {
        gates.push_back(std::to_string(allowed) + std::to_string(filtered));
    }
};

struct Fixture {
    HandleSource handles;
    InProcessPortService alsa{&handles};
    InProcessPortService jack{&handles};
    GateRecorder alsaGate{alsa};
    GateRecorder jackGate{jack};
    CompositePortService service{{&alsaGate, &jackGate}};
    std::vector<std::uint32_t> received;
    Instance into = reinterpret_cast<Instance>(&received);

    Fixture() {
        alsa.setInputDevices({"Midi Through:Midi Through Port-0 14:0", "Keys:Keys MIDI 1 20:0"});
        alsa.setOutputDevices({"Synth:Synth MIDI 1 24:0"});
        jack.setInputDevices({"a2j:Keys", "tamblin-send:out"});
        jack.setOutputDevices({"fluidsynth:midi", "tamblin-send:in"});
    }
};

TEST(CompositePortServiceTest, ListsEachServiceInTurnAndOpensOnTheOneOfTheDevice) {
    Fixture f;
    ASSERT_EQ(f.service.midiInGetNumDevs(), 4u);
    ASSERT_EQ(f.service.midiOutGetNumDevs(), 3u);
    std::vector<std::string> inputs;
    for (DeviceId id = -1; id <= 4; ++id) {
        DeviceCaps caps;
        caps.bytes.fill(0x5A);
        const Result result = f.service.midiInGetDevCaps(id, caps, DeviceCaps::kSize);
        const auto* name = caps.bytes.data() + DeviceCaps::kNameOffset;
        const std::string shown(name, std::find(name, name + DeviceCaps::kNameBytes, 0));
        EXPECT_EQ(result, id >= 0 && id < 4 ? kOk : kBadDeviceId) << id;
        EXPECT_EQ(shown, f.service.deviceName(true, id).substr(0, 31)) << id;
        inputs.push_back(f.service.deviceName(true, id));
    }
    EXPECT_EQ(inputs, (std::vector<std::string>{"", "Midi Through:Midi Through Port-0 14:0",
                                                "Keys:Keys MIDI 1 20:0", "a2j:Keys",
                                                "tamblin-send:out", ""}));
    EXPECT_EQ(f.service.deviceName(false, 1), "fluidsynth:midi");

    // Input 3 is the second device of the second service; output 0 the first of the first.
    Handle in = 0;
    Handle out = 0;
    ASSERT_EQ(f.service.midiInOpen(in, 3, record, f.into, kCallbackFunction), kOk);
    ASSERT_EQ(f.service.midiOutOpen(out, 0, nullptr, 0, 0), kOk);
    EXPECT_TRUE(f.jack.inputOpen(1));
    EXPECT_TRUE(f.alsa.outputOpen(0));
    EXPECT_NE(in, out) << "one source of handles for both";
    ASSERT_EQ(f.service.midiInStart(in), kOk);
    EXPECT_EQ(f.jack.play(1, {{0x403C90, 5}}), 1u);
    EXPECT_EQ(f.received, std::vector<std::uint32_t>{0x403C90});
    EXPECT_TRUE(f.service.midiInClock(in).has_value());
    EXPECT_EQ(f.service.midiOutShortMsg(out, 0x05C0), kOk);
    EXPECT_EQ(f.alsa.sent(out), std::vector<std::uint32_t>{0x05C0});

    // A service's own answers come through: busy, bad id.
    f.alsa.setInputBusy(1, true);
    Handle other = 0x77;
    EXPECT_EQ(f.service.midiInOpen(other, 1, record, f.into, kCallbackFunction), kAllocated);
    EXPECT_EQ(f.service.midiInOpen(other, 4, record, f.into, kCallbackFunction), kBadDeviceId);
    EXPECT_EQ(f.service.midiInOpen(other, -1, record, f.into, kCallbackFunction), kBadDeviceId);
    EXPECT_EQ(other, 0x77u);

    f.service.setThruGate(true, false);
    EXPECT_EQ(f.alsaGate.gates, std::vector<std::string>{"10"});
    EXPECT_EQ(f.jackGate.gates, std::vector<std::string>{"10"});
}

TEST(CompositePortServiceTest, RefusesHandleZeroClosedHandlesAndTheOtherDirection) {
    Fixture f;
    ASSERT_EQ(f.service.midiInGetNumDevs(), 4u);
    ASSERT_EQ(f.service.midiOutGetNumDevs(), 3u);
    Handle in = 0;
    Handle out = 0;
    ASSERT_EQ(f.service.midiInOpen(in, 2, record, f.into, kCallbackFunction), kOk);
    ASSERT_EQ(f.service.midiOutOpen(out, 2, nullptr, 0, 0), kOk);

    for (const Handle none : {Handle{0}, out}) {
        EXPECT_NE(f.service.midiInStart(none), kOk);
        EXPECT_NE(f.service.midiInClose(none), kOk);
        EXPECT_EQ(f.service.midiInClock(none), std::nullopt);
    }
    for (const Handle none : {Handle{0}, in}) {
        EXPECT_NE(f.service.midiOutShortMsg(none, 0x403C90), kOk);
        EXPECT_NE(f.service.midiOutClose(none), kOk);
    }
    EXPECT_TRUE(f.jack.inputOpen(0)) << "refused calls have no effect";
    EXPECT_TRUE(f.jack.outputOpen(1));

    ASSERT_EQ(f.service.midiInClose(in), kOk);
    ASSERT_EQ(f.service.midiOutClose(out), kOk);
    EXPECT_FALSE(f.jack.inputOpen(0));
    EXPECT_FALSE(f.jack.outputOpen(1));
    EXPECT_NE(f.service.midiInClose(in), kOk);
    EXPECT_NE(f.service.midiInStart(in), kOk);
    EXPECT_NE(f.service.midiOutShortMsg(out, 0x403C90), kOk);
    EXPECT_NE(f.service.midiOutClose(out), kOk);
    EXPECT_EQ(f.jack.sendCount(), 0u);
}

}  // namespace
}  // namespace tamblin::ports
