#include "ports/ShortMessage.h"
#include "ports/ThruRule.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace tamblin::ports {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes sent(std::uint32_t message) {
    const MessageBytes bytes = unpackShortMessage(message);
    return Bytes(bytes.data(), bytes.data() + bytes.size);
}

TEST(ShortMessageTest, SendsAsManyBytesAsTheStatusCalls) {
    struct Case {
        std::uint32_t message;
        Bytes bytes;
    } cases[] = {
        {0x403C90, {0x90, 0x3C, 0x40}},    // ch1 note 60 vel 64
        {0x003C8F, {0x8F, 0x3C, 0x00}},    // ch16 note off
        {0x7F3CA1, {0xA1, 0x3C, 0x7F}},    // ch2 key pressure
        {0x6407B3, {0xB3, 0x07, 0x64}},    // ch4 controller 7 value 100
        {0x05C9, {0xC9, 0x05}},            // ch10 program 5
        {0x7F05C9, {0xC9, 0x05}},          // a stray second data byte is not sent
        {0x30D2, {0xD2, 0x30}},            // ch3 channel pressure
        {0x4000EF, {0xEF, 0x00, 0x40}},    // ch16 pitch wheel centre
        {0x21F1, {0xF1, 0x21}},            // time code quarter frame
        {0x2010F2, {0xF2, 0x10, 0x20}},    // song position
        {0x03F3, {0xF3, 0x03}},            // song select
        {0xF4, {0xF4}},                    // undefined system common: no data bytes
        {0xF6, {0xF6}},                    // tune request
        {0xF7, {0xF7}},                    // a lone EOX, as received: thru sends it on
        {0xF8, {0xF8}},                    // timing clock
        {0xFA, {0xFA}},                    // start
        {0xFE, {0xFE}},                    // active sensing
        {0xFF, {0xFF}},                    // reset
        {0xFF403C90, {0x90, 0x3C, 0x40}},  // the top byte is not part of the message
        // Refused: no status byte, a SysEx start, a data byte with its top bit set.
        {0x00, {}},
        {0x403C, {}},
        {0x7F, {}},
        {0xF0, {}},
        {0x40BC90, {}},
        {0x803C90, {}},
        {0x80C0, {}},
        {0x80F2, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(sent(c.message), c.bytes) << std::hex << c.message;
}

// A JACK MIDI event is one whole message: what it carries is decided by that event alone.
TEST(ShortMessageTest, TakesAWholeEventAsOneShortMessageOrNothing) {
    struct Case {
        Bytes event;
        std::optional<std::uint32_t> message;
    } cases[] = {
        {{0x90, 0x3C, 0x40}, 0x403C90},                        // ch1 note 60 vel 64
        {{0x99, 0x64, 0x00}, 0x006499},                        // ch10 note on, velocity 0
        {{0xCF, 0x00}, 0x00CF},                                // ch16 program 0
        {{0xE0, 0x7F, 0x7F}, 0x7F7FE0},                        // pitch wheel at the top
        {{0xF2, 0x10, 0x20}, 0x2010F2},                        // song position
        {{0xF6}, 0xF6},                                        // tune request
        {{0xF7}, 0xF7},                                        // a lone EOX is passed on
        {{0xF8}, 0xF8},                                        // timing clock
        {{0xFD}, 0xFD},                                        // undefined real time
        {{}, std::nullopt},                                    // zero length
        {{0xF0}, std::nullopt},                                // a lone SysEx start
        {{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, std::nullopt},  // SysEx is not shown
        {{0xF0, 0x43, 0x12}, std::nullopt},                    // an unterminated SysEx
        {{0xF7, 0x00}, std::nullopt},                          // EOX with a byte after it
        {{0x3C, 0x40}, std::nullopt},                          // no status byte
        {{0x90, 0xBC, 0x40}, std::nullopt},                    // data byte with its top bit set
        {{0x90, 0x3C}, std::nullopt},                          // one data byte short
        {{0xC0, 0x05, 0x06}, std::nullopt},                    // one data byte too many
        {{0x90, 0x3C, 0x40, 0x90}, std::nullopt},              // a second status in the same event
        {{0xF8, 0x90, 0x3C, 0x40}, std::nullopt},  // real time before a message: malformed
        {{0xC0, 0xF8}, std::nullopt},              // real time inside a message: likewise
    };
    for (const Case& c : cases) {
        EXPECT_EQ(packShortMessage(c.event.data(), c.event.size()), c.message)
            << ::testing::PrintToString(c.event);
        if (c.message) {
            EXPECT_EQ(sent(*c.message), c.event) << "sends back what it took";
        }
    }
}

TEST(ShortMessageTest, RecognisesTheClientsOfThisProgram) {
    struct Case {
        const char* client;
        bool renamedToo;  // JACK renames a second "Tamblin"; ALSA does not
        bool own;
    } cases[] = {
        {"Tamblin", true, true},        {"Tamblin-01", true, true},
        {"Tamblin-12", true, true},     {"Tamblin-Synth", true, false},
        {"Tamblin-", true, false},      {"Tamblin-1a", true, false},
        {"tamblin", true, false},       {"XTamblin", true, false},
        {"system", true, false},        {"tamblin-test-source", true, false},
        {"Tamblin", false, true},       {"Tamblin-01", false, false},
        {"Midi Through", false, false}, {"", true, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isTamblinClient(c.client, c.renamedToo), c.own)
            << c.client << " renamed " << c.renamedToo;
}

// The one rule behind thru at the tick and in the JACK cycle.
TEST(ShortMessageTest, ThruForwardsWhatIsShownWhileOutputIsAllowed) {
    struct Case {
        std::uint32_t message;
        bool allowed;
        bool filtered;
        bool shown;
        bool out;
    } cases[] = {
        {0x403C90, true, true, true, true},    // ch1 note on
        {0x403C90, false, true, true, false},  // output not allowed: shown only
        {0x403C9F, true, true, true, true},    // ch16 note on: 0x9F is no real-time status
        {0x7F7FEF, true, true, true, true},    // ch16 pitch wheel
        {0xF7, true, true, true, true},        // EOX, just below the real-time statuses
        {0xF0, true, true, true, true},        // SysEx status
        {0xF8, true, true, false, false},      // timing clock, filtered: neither
        {0xFE, true, true, false, false},      // active sensing, filtered
        {0xFF, true, true, false, false},      // system reset, filtered
        {0xF8, true, false, true, true},       // the filter off: clock goes out too
        {0xFF, false, false, true, false},     // shown, output not allowed
        {0x7F00F8, true, true, false, false},  // clock with stray data bytes: still real time
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.message << " allowed " << c.allowed
                                          << " filtered " << c.filtered);
        EXPECT_EQ(isShown(c.message, c.filtered), c.shown);
        EXPECT_EQ(goesOut(c.message, ThruGate{c.allowed, c.filtered}), c.out);
    }
    static_assert(goesOut(0x403C90, ThruGate{true, true}) && !goesOut(0xF8, ThruGate{true, true}));
}

}  // namespace
}  // namespace tamblin::ports
