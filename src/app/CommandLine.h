#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tamblin::app {

// What the command line asks of the program. With no options every field keeps its default,
// and the program behaves as it always has.
struct Options {
    bool help = false;
    bool version = false;
    // Lists the input and output devices on standard output, then ends.
    bool list = false;
    // Devices to open at start, without asking, by name (see ports::matchDevice).
    std::optional<std::string> input;
    std::optional<std::string> output;
    // A file that every log line is appended to as well; "-" is standard output.
    std::optional<std::string> log;
    // Thru in the JACK cycle a message arrives in, when input and output are both JACK devices,
    // instead of at the next refresh tick.
    bool directThru = false;
    // The window's size in percent of its layout, 100 to 300 (0 when --zoom was no number).
    int zoom = 100;
    // The input ring is drained as soon as it is half full, besides at each refresh tick.
    bool drainEarly = false;
    // A file that every message from the input is written to, as a MIDI file (".mid") or CSV
    // (".csv"), whatever the window shows.
    std::optional<std::string> capture;
    // SysEx is received, shown in the log and forwarded, instead of dropped at the port.
    bool sysex = false;
};

// The program's command line, read before QApplication exists (so that --help and --version
// need no display), with GNU forms: --opt VALUE, --opt=VALUE, an unambiguous prefix of a long
// option, and -- to end the options. Qt's own options (-platform X, -style=X, -reverse, ...)
// pass through to QApplication with their values, in either their one-dash or two-dash form.
struct CommandLine {
    Options options;
    // argv[0] and Qt's options with their values, in their order: QApplication's arguments.
    std::vector<std::string> qtArguments;
    // Set when the command line cannot be used: one line saying why, without the program name.
    std::optional<std::string> error;
};

CommandLine parseCommandLine(const std::vector<std::string>& args);

// The name the program was started under, for messages: the last part of argv[0].
std::string programName(const std::string& argv0);

// GNU-style texts, each ending in a newline.
std::string helpText(const std::string& program);
std::string versionText(const std::string& program);
// What an unusable command line prints on standard error after its reason.
std::string usageHint(const std::string& program);

// Exit status when no display can be opened for the window.
inline constexpr int kNoDisplayStatus = 1;
// Exit status for a command line that cannot be used.
inline constexpr int kUsageStatus = 2;
// Exit status after the input buffer overran: messages were lost.
inline constexpr int kOverrunStatus = 3;

}  // namespace tamblin::app
