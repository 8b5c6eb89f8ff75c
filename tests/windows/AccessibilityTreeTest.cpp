#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProgram.h"
#include "support/Deadline.h"
#include "support/XServer.h"

// The window as a screen reader reads it: a real X server, a private D-Bus session bus with the
// AT-SPI bus it activates, and Qt's accessibility bridge, read from outside through pyatspi.

namespace tamblin::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 30s;

std::map<std::string, std::string> linesStartingWith(const std::string& text,
                                                     const std::string& kind) {
    std::map<std::string, std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with(kind + " ")) continue;
        // "cell Notes map:0:60 channel 1, ...": the key runs to the last colon's number.
        const std::string rest = line.substr(kind.size() + 1);
        std::size_t keyEnd = rest.find(' ', rest.rfind(':'));
        if (kind == "table") keyEnd = rest.find_last_of(' ', rest.find_last_of(' ') - 1);
        if (keyEnd == std::string::npos) continue;
        found[rest.substr(0, keyEnd)] = rest.substr(keyEnd + 1);
    }
    return found;
}

TEST(AccessibilityTreeTest, TheMapsAreTablesWhoseCellsSayWhatTheyStandForAndShow) {
    XServer x;
    ASSERT_TRUE(x.running());
    x.exportDisplay();

    ChildProgram::Options busOptions;
    busOptions.deathSignal = SIGTERM;
    ChildProgram bus({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"},
                     busOptions);
    ASSERT_TRUE(bus.started()) << "dbus-daemon: " << std::strerror(errno);
    const auto address = bus.takeOutUntil("\n", kPatience);
    ASSERT_TRUE(address) << "the session bus gave no address\n" << bus.err();
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address->c_str(), 1);
    // Qt's bridge otherwise waits for a screen reader to ask for it.
    ::setenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1", 1);
    DeadlineReport busLog([&bus] { return "session bus:\n" + bus.err(); });

    // Asking for the AT-SPI bus's address starts it (at-spi-bus-launcher, activated by the
    // session bus) and answers once it runs, so that the window finds it when it starts.
    ChildProgram launch({"/usr/bin/dbus-send", "--session", "--print-reply",
                         "--reply-timeout=20000", "--dest=org.a11y.Bus", "/org/a11y/bus",
                         "org.a11y.Bus.GetAddress"});
    const auto launched = launch.wait(kPatience);
    ASSERT_TRUE(launched) << "the AT-SPI bus did not start\n" << bus.err();
    ASSERT_EQ(*launched, 0) << "the AT-SPI bus did not start\n" << launch.err() << bus.err();

    const std::string program = ChildProgram::built("tests/tamblin-accessible-window");
    ASSERT_FALSE(program.empty()) << "TAMBLIN_BUILD_DIR is not set";
    ChildProgram::Options windowOptions;
    windowOptions.pipeInput = true;
    ChildProgram window({program}, windowOptions);
    ASSERT_TRUE(window.takeOutUntil("ready\n", kPatience)) << "the window did not come up\n"
                                                           << window.err();

    // Map, row and column of the table (body cells only, counted from 0), and what a screen
    // reader finds there: the cell's name, its row header, its column header, its description.
    const struct {
        std::string cell;
        std::string expected;
    } cases[] = {
        {"Notes map:0:60", "channel 1, note 60, C, on|N Ch  1| 0|Ch 1 note  60 C "},
        {"Notes map:0:61", "channel 1, note 61, C sharp, empty|N Ch  1| 1|Ch 1 note  61 C#"},
        {"Notes map:1:0", "channel 1, note 64, E, empty|  (+64)| 0|Ch 1 note  64 E "},
        {"Program changes map:2:5",
         "channel 2, program 5, changed|PC Ch  2| 5|Ch 2 program change  5"},
        {"Program changes map:3:5",
         "channel 2, program 69, empty|  (+64)| 5|Ch 2 program change  69"},
        {"Controllers map:4:7",
         "channel 3, controller 7, value 100|CT Ch  3| 7|Ch 3 controller  7"},
        {"Controllers map:31:63",
         "channel 16, controller 127, empty|  (+64)| 3|Ch 16 controller  127"},
    };
    std::vector<std::string> args{"/usr/bin/python3",
                                  TAMBLIN_TESTS_DIR "/windows/accessibility_tree.py",
                                  std::to_string(window.pid())};
    for (const auto& c : cases) args.push_back(c.cell);
    ChildProgram reader(args);
    const auto status = reader.wait(2 * kPatience);
    ASSERT_TRUE(status) << "the reader did not finish\n" << reader.err() << window.err();
    ASSERT_EQ(*status, 0) << reader.err() << window.err();
    const std::string tree = reader.out();

    const auto tables = linesStartingWith(tree, "table");
    for (const char* map : {"Notes map", "Program changes map", "Controllers map"})
        EXPECT_EQ(tables.count(map) ? tables.at(map) : "<missing>", "32 64") << map << "\n" << tree;
    const auto cells = linesStartingWith(tree, "cell");
    for (const auto& c : cases)
        EXPECT_EQ(cells.count(c.cell) ? cells.at(c.cell) : "<missing>", c.expected)
            << c.cell << "\n"
            << tree;
    // The rest of the window speaks too: the log, counts with their class (one counted before
    // accessibility came on, one after), a button.
    for (const char* object :
         {"text 'MIDI message log'", "label 'Note On Messages: 1'", "label 'Note Off Messages: 1'",
          "push button 'Clear the maps, counts and log'", "check box 'Allow MIDI output'"})
        EXPECT_NE(tree.find(object), std::string::npos) << object << "\n" << tree;

    window.closeInput();
    const auto ended = window.wait(kPatience);
    EXPECT_TRUE(ended) << "the window did not end when told";
}

}  // namespace
}  // namespace tamblin::testing
