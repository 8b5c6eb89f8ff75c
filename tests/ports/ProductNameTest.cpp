#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "ports/PortService.h"

namespace tamblin::ports {
namespace {

// The name bytes of caps up to the first zero, and whether every byte after it is zero.
struct ShownName {
    std::string text;
    bool zeroFilled;
};

ShownName shownName(const DeviceCaps& caps) {
    const auto* begin = caps.bytes.data() + DeviceCaps::kNameOffset;
    const auto* end = begin + DeviceCaps::kNameBytes;
    const auto* zero = std::find(begin, end, 0);
    return {std::string(begin, zero), std::all_of(zero, end, [](auto b) { return b == 0; })};
}

TEST(ProductNameTest, KeepsAtMost31BytesAndNeverHalfACharacter) {
    const std::string a31(31, 'a');
    struct Case {
        std::string name;
        std::string shown;
    } cases[] = {
        {"", ""},
        {"tamblin-test-source:out", "tamblin-test-source:out"},
        {a31, a31},
        {a31 + "bcdef", a31},
        {std::string(29, 'a') + "\u00e4", std::string(29, 'a') + "\u00e4"},  // ends on byte 31
        {std::string(30, 'a') + "\u00e4", std::string(30, 'a')},  // 2-byte char over the end
        {std::string(29, 'a') + "\u20ac", std::string(29, 'a')},  // 3-byte euro sign
        {std::string(28, 'a') + "\u20ac", std::string(28, 'a') + "\u20ac"},
        {std::string(28, 'a') + "\U0001F3B9", std::string(28, 'a')},  // 4-byte keyboard
        {std::string(27, 'a') + "\U0001F3B9x", std::string(27, 'a') + "\U0001F3B9"},
        {"Synth \u00e4\u00f6\u00fc \u00e4\u00f6\u00fc \u00e4\u00f6\u00fc \u00e4\u00f6\u00fc "
         "\u00e4\u00f6\u00fc",
         "Synth \u00e4\u00f6\u00fc \u00e4\u00f6\u00fc \u00e4\u00f6\u00fc \u00e4\u00f6"},
    };
    for (const Case& c : cases) {
        DeviceCaps caps;
        caps.bytes.fill(0x5A);  // the caller reuses the structure: earlier contents must go
        writeProductName(caps, c.name.c_str());
        const ShownName shown = shownName(caps);
        EXPECT_EQ(shown.text, c.shown) << c.name;
        EXPECT_LE(shown.text.size(), 31u) << c.name;
        EXPECT_TRUE(shown.zeroFilled) << c.name;
        EXPECT_EQ(caps.bytes[DeviceCaps::kNameOffset - 1], 0x5A) << "bytes before the name stay";
        EXPECT_EQ(caps.bytes[DeviceCaps::kNameOffset + DeviceCaps::kNameBytes], 0x5A)
            << "bytes after the name stay";
    }
}

}  // namespace
}  // namespace tamblin::ports
