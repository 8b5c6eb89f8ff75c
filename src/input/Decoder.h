#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>

// Deliberately: the decoder chooses the colour of every mark it asks for (note on, note off,
// program change, the controller's value), as the maps' colour table says. It reaches the maps
// themselves only through DecoderSink::markCell, and the colours are plain values: no widget.
#include "grids/Colours.h"

namespace tamblin::input {

inline constexpr int kMessageClasses = 8;

// What the decoder shows its results on. The display batch implements it (DisplayBatch.h, which
// the window applies to its widgets once a refresh tick); tests implement it to record what a user
// would see.
class DecoderSink {
public:
    virtual ~DecoderSink() = default;
    // Caption of count label `messageClass`.
    virtual void setCountText(int messageClass, std::string_view text) = 0;
    virtual void markCell(int grid, int channel, int number, grids::Rgb colour) = 0;
    virtual void clearLog() = 0;
    // One log line, without its line end.
    virtual void appendLog(std::string_view line) = 0;
    // Whether a short message's log line is handed over unworded, to appendMessageLine: a sink
    // that may never show it words it (Decoder::appendMessageLine) only when it must.
    virtual bool takesMessageLines() const { return false; }
    virtual void appendMessageLine(std::uint32_t message, std::int32_t time) {
        static_cast<void>(message);
        static_cast<void>(time);
    }
    // "Display messages only the first time", read afresh for every message.
    virtual bool firstTimeOnly() const = 0;
};

// Turns short messages into counts, descriptions, note state, grid marks and log lines.
// User-interface thread only.
class Decoder {
public:
    // The log is emptied when a message arrives after this many appended lines.
    static constexpr int kMaxLogLines = 1001;

    explicit Decoder(DecoderSink& sink, std::string decimalSeparator = ".");

    // Count labels to "0"; the rest of the state starts empty.
    void initialise();
    void displayMessage(std::uint32_t message, std::int32_t time);
    // With `--sysex`: one log line for a long message as the input delivered it (see
    // sysExHexText and describeSysEx). The counts and maps have no class for it and stay as they
    // are; the first-time filter does not apply (its table is keyed on short messages).
    void displaySysEx(const std::uint8_t* bytes, std::size_t size, std::int32_t time);
    // One log line for `count` SysEx of `bytes` bytes in all that the SysEx ring had no room
    // for, the first of which arrived at `time`.
    void displaySysExDropped(std::uint32_t count, std::uint64_t bytes, std::int32_t time);
    // One log line for a SysEx that thru let through and the output could not carry whole.
    void displayNotForwarded(std::size_t size, std::int32_t time);
    // The decoder's share of Clear: counts and their labels to "0", the first-time table
    // forgotten, the log emptied. Note state and the log line count stay.
    void reset();

    bool noteState(int channel, int note) const;
    std::int64_t count(int messageClass) const { return counts_[messageClass]; }
    int logLineCount() const { return logLineCount_; }

    // A short message's log line, "0.5 005C0 Prog Ch:  C:1 P:5", appended to `out`.
    static void appendMessageLine(std::string& out, std::uint32_t message, std::int32_t time,
                                  std::string_view decimalSeparator);

    // Pieces of a log line, exposed for tests and the benchmarks.
    static std::string describe(std::uint32_t message);
    static std::string timeText(std::int32_t time, std::string_view decimalSeparator);
    static std::string hexText(std::uint32_t message);
    // A long message's bytes in hex, two digits each and a space between: all of them up to
    // kSysExShownWhole bytes, else the first kSysExShownHead, "...", and the last.
    static std::string sysExHexText(const std::uint8_t* bytes, std::size_t size);
    // "SysEx 6 bytes: Identity Request", "SysEx 120 bytes: manufacturer 43", and what is wrong
    // with a malformed one ("SysEx 5 bytes, no F7 at its end: ...", "not a MIDI message, 3 bytes").
    static std::string describeSysEx(const std::uint8_t* bytes, std::size_t size);

    static constexpr std::size_t kSysExShownWhole = 32;
    static constexpr std::size_t kSysExShownHead = 24;

private:
    // Empties the log first when it holds kMaxLogLines lines, then appends line_.
    void appendLine();

    DecoderSink& sink_;
    std::string separator_;
    std::array<std::int64_t, kMessageClasses> counts_{};
    std::bitset<16 * 128> noteState_;
    std::bitset<32768> seen_;
    int logLineCount_ = 0;
    std::string line_;  // reused for every log line
};

}  // namespace tamblin::input
