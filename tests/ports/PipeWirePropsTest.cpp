#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "ports/PipeWireProps.h"

namespace tamblin::ports {
namespace {

// Each case through the pure merge and through the environment, as a program start sees it.
TEST(PipeWirePropsTest, MergesExactMidiEventsAndKeepsWhatTheUserSet) {
    const std::string alone = "{ jack.fix-midi-events=false }";
    struct Case {
        std::optional<std::string> current;  // PIPEWIRE_PROPS as found; nothing when unset
        std::string merged;
        bool replaced = false;
    } cases[] = {
        {std::nullopt, alone},
        {"", alone},
        {" \t\n", alone},
        {"{ a=b }", "{ a=b jack.fix-midi-events=false }"},
        {"{}", alone},
        {"{node.latency=256/48000}", "{node.latency=256/48000 jack.fix-midi-events=false }"},
        {"a=b c=d", "a=b c=d jack.fix-midi-events=false"},
        {"a = b # as the user likes it",
         "a = b # as the user likes it\njack.fix-midi-events=false"},
        {"{ \"a\": \"b } c\", d = [ 1 2 ] }",  // brackets inside a string and a list
         "{ \"a\": \"b } c\", d = [ 1 2 ] jack.fix-midi-events=false }"},
        {"{ a = { jack.fix-midi-events = true } }",  // nested: not the client's own property
         "{ a = { jack.fix-midi-events = true } jack.fix-midi-events=false }"},
        // Already there: false stays as written, anything else becomes false.
        {"{ jack.fix-midi-events=false a=b }", "{ jack.fix-midi-events=false a=b }"},
        {"{ \"jack.fix-midi-events\": \"false\" }", "{ \"jack.fix-midi-events\": \"false\" }"},
        {"{ jack.fix-midi-events=true a=b }", "{ jack.fix-midi-events=false a=b }"},
        {"jack.fix-midi-events=1 x=y jack.fix-midi-events=true",
         "jack.fix-midi-events=false x=y jack.fix-midi-events=false"},
        {"{ jack.fix-midi-events = { on = true } }", "{ jack.fix-midi-events = false }"},
        // Malformed: replaced as a whole, and said so.
        {"{ a=\"b }", alone, true},    // unterminated string
        {"{ a=b", alone, true},        // unclosed object
        {"a=b }", alone, true},        // closing brace without an opening one
        {"{ a=b } c=d", alone, true},  // something after the object
        {"{ a }", alone, true},        // key without a value
        {"{ a=[ 1 2 }", alone, true},  // unclosed list
        {"[ a b ]", alone, true},      // a list, not pairs
        {"{ { a=b } }", alone, true},  // an object as a key
    };
    for (const Case& c : cases) {
        const std::string shown = c.current ? "\"" + *c.current + "\"" : "unset";
        const PipeWireProps merged = withExactMidiEvents(
            c.current ? std::optional<std::string_view>(*c.current) : std::nullopt);
        EXPECT_EQ(merged.value, c.merged) << shown;
        EXPECT_EQ(merged.replaced, c.replaced) << shown;

        if (c.current)
            ::setenv("PIPEWIRE_PROPS", c.current->c_str(), 1);
        else
            ::unsetenv("PIPEWIRE_PROPS");
        const std::string warning = keepMidiEventsExact();
        const char* set = std::getenv("PIPEWIRE_PROPS");
        ASSERT_NE(set, nullptr) << shown;
        EXPECT_EQ(set, c.merged) << shown;
        EXPECT_EQ(warning.empty(), !c.replaced) << shown << ": " << warning;
        EXPECT_EQ(keepMidiEventsExact(), "") << shown << ": a second call finds it merged";
        EXPECT_STREQ(std::getenv("PIPEWIRE_PROPS"), c.merged.c_str()) << shown;
    }
}

}  // namespace
}  // namespace tamblin::ports
