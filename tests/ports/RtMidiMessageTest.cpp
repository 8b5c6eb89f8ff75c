#include <gtest/gtest.h>

#include "ports/RtMidiPortService.h"

namespace tamblin::ports {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(RtMidiMessageTest, SendsAsManyBytesAsTheStatusCalls) {
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
        {0xF8, {0xF8}},                    // timing clock
        {0xFA, {0xFA}},                    // start
        {0xFE, {0xFE}},                    // active sensing
        {0xFF, {0xFF}},                    // reset
        {0xFF403C90, {0x90, 0x3C, 0x40}},  // the top byte is not part of the message
        // Refused: no status byte, SysEx framing alone, a data byte with its top bit set.
        {0x00, {}},
        {0x403C, {}},
        {0x7F, {}},
        {0xF0, {}},
        {0xF7, {}},
        {0x40BC90, {}},
        {0x803C90, {}},
        {0x80C0, {}},
        {0x80F2, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RtMidiPortService::messageBytes(c.message), c.bytes) << std::hex << c.message;
}

TEST(RtMidiMessageTest, RecognisesThePortsOfThisProgram) {
    struct Case {
        const char* api;
        const char* port;
        bool own;
    } cases[] = {
        {"jack", "Tamblin:in", true},
        {"jack", "Tamblin-01:out", true},
        {"jack", "Tamblin-12:in", true},
        {"jack", "Tamblin-Synth:out", false},
        {"jack", "Tamblin-:out", false},
        {"jack", "Tamblin-1a:out", false},
        {"jack", "tamblin:in", false},
        {"jack", "XTamblin:in", false},
        {"jack", "system:midi_capture_1", false},
        {"jack", "tamblin-test-source:out", false},
        {"alsa", "Tamblin:in 128:0", true},
        {"alsa", "Tamblin-01:in 129:0", false},  // ALSA does not rename clients
        {"alsa", "Midi Through:Midi Through Port-0 14:0", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RtMidiPortService::isOwnPort(c.api, c.port), c.own) << c.api << " " << c.port;
}

}  // namespace
}  // namespace tamblin::ports
