#include "app/DeviceArguments.h"

#include <gtest/gtest.h>

#include "doubles/InProcessPortService.h"

namespace tamblin::app {
namespace {

const std::string kLong = "A MIDI port name far longer than the 31 bytes shown";  // cut to 31
const std::string kShort31 = "cabcdefghijklmnopqrstuvwxy:outX";                   // 31 bytes

TEST(DeviceArgumentsTest, ANameChoosesByWholeNameShownNameOrUniqueStart) {
    ports::InProcessPortService service;
    service.setInputDevices({"Keyboard:out", "Synth:midi in", "Synth 2:midi in", kLong, "Twin",
                             "Twin", kShort31, kShort31 + "Y", "out\nin: injected", "Back\\slash"});
    const struct {
        std::string name;
        std::optional<ports::DeviceId> id;
    } cases[] = {
        {"Keyboard:out", 0},
        {"Key", 0},
        {"Synth:midi in", 1},  // whole name, although "Synth 2:midi in" starts the same way
        {"Synth 2", 2},
        {kLong, 3},
        {kLong.substr(0, 31), 3},  // the name the dialog shows
        {kLong.substr(0, 40), 3},
        {"Synth", std::nullopt},  // the start of two names
        {"Twin", std::nullopt},   // the whole name of two devices
        {"keyboard", std::nullopt},
        {"Keyboard:out ", std::nullopt},
        {kShort31, 6},  // whole name of one, shown name of the other
        {kShort31 + "Y", 7},
        {"out\\nin: injected", 8},  // as --list prints it
        {"out\nin: injected", 8},
        {"Back\\\\slash", 9},  // as --list prints it
        {"Back\\slash", 9},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(deviceByName(service, true, c.name, error), c.id) << "'" << c.name << "'";
        EXPECT_EQ(error.empty(), c.id.has_value()) << "'" << c.name << "': " << error;
    }
}

TEST(DeviceArgumentsTest, AnUnusableNameIsExplainedWithTheDevicesOfItsDirection) {
    ports::InProcessPortService service;
    service.setInputDevices({"Keyboard:out"});
    service.setOutputDevices({"Synth:in", "Synth:thru"});
    std::string error;
    EXPECT_FALSE(deviceByName(service, false, "Synth", error));
    EXPECT_EQ(error,
              "the names of several output devices start with 'Synth'.\n"
              "The output devices are:\n"
              "  Synth:in\n"
              "  Synth:thru");
    service.setOutputDevices({});
    EXPECT_FALSE(deviceByName(service, false, "Synth", error));
    EXPECT_EQ(error,
              "no output device is named 'Synth' or has a name starting with it.\n"
              "There is no output device.");

    // The list counts afresh, and shows each whole name on a line of its own.
    service.setOutputDevices({"Synth:in", kLong, "out\nin: injected", "Esc\x1b[0m\\"});
    EXPECT_EQ(deviceListText(service), "in: Keyboard:out\nout: Synth:in\nout: " + kLong +
                                           "\nout: out\\nin: injected\nout: Esc\\x1b[0m\\\\\n");
}

}  // namespace
}  // namespace tamblin::app
