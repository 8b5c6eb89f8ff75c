#include "app/CommandLine.h"

#include "capture/CaptureFile.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>

#ifndef TAMBLIN_VERSION_STRING
#error "TAMBLIN_VERSION_STRING must be defined by the build"
#endif

namespace tamblin::app {

namespace {

constexpr int kMinZoom = 100, kMaxZoom = 300;

// A whole number of percent, or 0.
int percentFrom(const std::string& text) {
    int percent = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), percent);
    return error == std::errc() && end == text.data() + text.size() ? percent : 0;
}

struct OptionSpec {
    std::string_view name;       // without the dashes
    char shortName;              // 0 when it has none
    std::string_view valueName;  // empty when it takes no value
    std::string_view help;
    void (*apply)(Options&, const std::string& value);
};

constexpr std::array kOptions{
    OptionSpec{"help", 'h', "", "display this help and exit",
               [](Options& o, const std::string&) { o.help = true; }},
    OptionSpec{"version", 0, "", "output version information and exit",
               [](Options& o, const std::string&) { o.version = true; }},
    OptionSpec{"list", 0, "", "list the input and output devices, then exit",
               [](Options& o, const std::string&) { o.list = true; }},
    OptionSpec{"input", 0, "NAME", "open the input device NAME at start, without asking",
               [](Options& o, const std::string& v) { o.input = v; }},
    OptionSpec{"output", 0, "NAME",
               "open the output device NAME at start, with \"Allow MIDI output\" checked",
               [](Options& o, const std::string& v) { o.output = v; }},
    OptionSpec{"log", 0, "FILE", "append every log line to FILE as well ('-' for standard output)",
               [](Options& o, const std::string& v) { o.log = v; }},
    OptionSpec{"capture", 0, "FILE",
               "write every message from the input to FILE, whatever the window\n"
               "shows: a MIDI file when FILE ends in .mid, CSV when in .csv",
               [](Options& o, const std::string& v) { o.capture = v; }},
    OptionSpec{"direct-thru", 0, "",
               "with input and output both on JACK, forward each message in the\n"
               "JACK cycle it arrives in, not at the next screen refresh",
               [](Options& o, const std::string&) { o.directThru = true; }},
    OptionSpec{"zoom", 0, "PERCENT",
               "start with the window and its dialogs at PERCENT of their size,\n"
               "100 to 300 (Ctrl+Plus, Ctrl+Minus and Ctrl+0 zoom while it runs)",
               [](Options& o, const std::string& v) { o.zoom = percentFrom(v); }},
    OptionSpec{"drain-early", 0, "",
               "take messages from the input buffer as soon as 512 wait, not only at\n"
               "each screen refresh, and give it room for 16,383, so that bursts do\n"
               "not overrun it",
               [](Options& o, const std::string&) { o.drainEarly = true; }},
    OptionSpec{"sysex", 0, "",
               "receive System Exclusive messages: show each in the log and forward\n"
               "it whole with the others (without it, SysEx is dropped at the port)",
               [](Options& o, const std::string&) { o.sysex = true; }},
};

// Qt's own options (QCoreApplication, QGuiApplication with the xcb platform, QApplication), by
// whether they take a value. Qt reads them with one dash or two.
struct QtOption {
    std::string_view name;
    bool takesValue;
};
constexpr std::array kQtOptions{
    QtOption{"platform", true},
    QtOption{"platformpluginpath", true},
    QtOption{"platformtheme", true},
    QtOption{"plugin", true},
    QtOption{"qwindowgeometry", true},
    QtOption{"geometry", true},
    QtOption{"qwindowicon", true},
    QtOption{"icon", true},
    QtOption{"qwindowtitle", true},
    QtOption{"title", true},
    QtOption{"session", true},
    QtOption{"display", true},
    QtOption{"name", true},
    QtOption{"visual", true},
    QtOption{"style", true},
    QtOption{"stylesheet", true},
    QtOption{"reverse", false},
    QtOption{"widgetcount", false},
    QtOption{"nograb", false},
    QtOption{"dograb", false},
    QtOption{"sync", false},
    QtOption{"testability", false},
    QtOption{"qmljsdebugger", false},
};

const QtOption* findQtOption(std::string_view name) {
    for (const QtOption& option : kQtOptions)
        if (option.name == name) return &option;
    return nullptr;
}

// An exact long name, else the only option whose name starts with `name`.
const OptionSpec* findLong(std::string_view name, bool& ambiguous) {
    ambiguous = false;
    for (const OptionSpec& option : kOptions)
        if (option.name == name) return &option;
    const OptionSpec* found = nullptr;
    for (const OptionSpec& option : kOptions) {
        if (!option.name.starts_with(name)) continue;
        if (found != nullptr) {
            ambiguous = true;
            return nullptr;
        }
        found = &option;
    }
    return found;
}

const OptionSpec* findShort(char name) {
    for (const OptionSpec& option : kOptions)
        if (option.shortName != 0 && option.shortName == name) return &option;
    return nullptr;
}

}  // namespace

namespace {

void fail(CommandLine& line, std::string why) {
    if (!line.error) line.error = std::move(why);
}

// Reads the option word args[i] ("--name[=value]", or short options, grouped as in "-hv"): applies
// the options before the last one of a group and returns the last one, with its value when the
// word holds it. Null, with line.error set, when the word names no option of ours.
const OptionSpec* readOptionWord(const std::string& arg, CommandLine& line,
                                 std::optional<std::string>& value, std::string& shown) {
    if (arg[1] == '-') {
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(2, equals == std::string::npos ? equals : equals - 2);
        if (equals != std::string::npos) value = arg.substr(equals + 1);
        bool ambiguous = false;
        const OptionSpec* option = findLong(name, ambiguous);
        shown = "--" + name;
        if (option == nullptr) {
            fail(line, std::string(ambiguous ? "option '" : "unrecognized option '") + shown +
                           (ambiguous ? "' is ambiguous" : "'"));
            return nullptr;
        }
        shown = "--" + std::string(option->name);
        if (value && option->valueName.empty()) {
            fail(line, "option '" + shown + "' doesn't allow an argument");
            return nullptr;
        }
        return option;
    }
    // Short options may be grouped ("-hv"); one that takes a value takes the rest of the word, or
    // the next word.
    const OptionSpec* option = nullptr;
    for (std::size_t at = 1; at < arg.size(); ++at) {
        option = findShort(arg[at]);
        shown = std::string("-") + arg[at];
        if (option == nullptr) {
            fail(line, "invalid option -- '" + std::string(1, arg[at]) + "'");
            return nullptr;
        }
        if (!option->valueName.empty()) {
            if (at + 1 < arg.size()) value = arg.substr(at + 1);
            break;
        }
        if (at + 1 < arg.size()) option->apply(line.options, {});
    }
    return option;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    if (args.empty()) return line;
    line.qtArguments.push_back(args[0]);

    for (std::size_t i = 1; i < args.size() && !line.error; ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            if (i + 1 < args.size()) fail(line, "unexpected argument '" + args[i + 1] + "'");
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            fail(line, "unexpected argument '" + arg + "'");
            break;
        }

        // Qt's options, as Qt reads them: "-style X", "--style X", "-style=X".
        const std::string_view bare = std::string_view(arg).substr(arg[1] == '-' ? 2 : 1);
        const std::string_view qtName = bare.substr(0, bare.find('='));
        if (const QtOption* qt = findQtOption(qtName)) {
            line.qtArguments.push_back(arg);
            const bool inlineValue = qtName.size() != bare.size();
            if (qt->takesValue && !inlineValue) {
                if (i + 1 >= args.size()) {
                    fail(line, "option '" + arg + "' requires an argument");
                    break;
                }
                line.qtArguments.push_back(args[++i]);
            }
            continue;
        }

        std::optional<std::string> value;
        std::string shown;  // the option as the user wrote it, for messages
        const OptionSpec* option = readOptionWord(arg, line, value, shown);
        if (option == nullptr) break;
        if (!option->valueName.empty() && !value) {
            if (i + 1 >= args.size()) {
                fail(line, "option '" + shown + "' requires an argument");
                break;
            }
            value = args[++i];
        }
        option->apply(line.options, value.value_or(std::string()));
    }
    if (line.options.zoom < kMinZoom || line.options.zoom > kMaxZoom)
        fail(line, "option '--zoom' takes a whole percentage from 100 to 300");
    if (line.options.capture && !capture::CaptureFile::formatOf(*line.options.capture))
        fail(line, "option '--capture' takes a file name ending in .mid or .csv");
    return line;
}

std::string programName(const std::string& argv0) {
    const std::size_t slash = argv0.rfind('/');
    const std::string name = slash == std::string::npos ? argv0 : argv0.substr(slash + 1);
    return name.empty() ? std::string("tamblin") : name;
}

std::string helpText(const std::string& program) {
    std::string text = "Usage: " + program + " [OPTION]...\n";
    text +=
        "Show every short MIDI message that arrives at one input port: a timed log line, a count\n"
        "per message class and a coloured cell in an activity map. Forward the messages to an\n"
        "output port, and send notes, program changes and controller values with a click.\n"
        "\n";
    std::size_t width = 0;
    std::vector<std::string> heads;
    for (const OptionSpec& option : kOptions) {
        // Appended piece by piece: GCC 12 takes "literal + std::string" chains here for
        // overlapping copies (a -Wrestrict false alarm at -O3).
        std::string head = "  ";
        if (option.shortName != 0) {
            head.push_back('-');
            head.push_back(option.shortName);
            head.append(", ");
        } else {
            head.append("    ");
        }
        head.append("--").append(option.name);
        if (!option.valueName.empty()) head.append(" ").append(option.valueName);
        width = std::max(width, head.size());
        heads.push_back(std::move(head));
    }
    for (std::size_t i = 0; i < kOptions.size(); ++i) {
        text.append(heads[i]).append(width + 2 - heads[i].size(), ' ');
        // A help text of several lines continues under its first.
        for (const char c : kOptions[i].help) {
            if (c == '\n')
                text.append("\n").append(width + 2, ' ');
            else
                text.push_back(c);
        }
        text.append("\n");
    }
    text +=
        "\n"
        "A device NAME is a device's whole name, as --list prints it or as it is, the name the\n"
        "device dialog shows, or the start of exactly one device's name. --list prints each\n"
        "whole name on one line: a backslash as \\\\, a line feed as \\n, a tab as \\t and any\n"
        "other control character as \\x and two hexadecimal digits. The log file is written as\n"
        "the log box shows its lines, and is never emptied. The capture file is written anew,\n"
        "a valid file after every screen refresh. Qt's own options, such as -platform NAME,\n"
        "-style NAME and -reverse, are passed on to Qt.\n"
        "\n"
        "Exit status: 0 when the monitor ends normally, 1 when no display can be opened, 2 for a\n"
        "command line, device NAME, log or capture file that cannot be used, 3 when the MIDI\n"
        "input buffer overran and messages were lost.\n";
    return text;
}

std::string versionText(const std::string& program) {
    return program + " (Tamblin) " TAMBLIN_VERSION_STRING
                     "\n"
                     "Copyright (C) 2026 The Tamblin developers.\n"
                     "License MIT: <https://opensource.org/license/mit>.\n"
                     "This is free software: you are free to change and redistribute it.\n"
                     "There is NO WARRANTY, to the extent permitted by law.\n";
}

std::string usageHint(const std::string& program) {
    return "Usage: " + program + " [OPTION]...\nTry '" + program +
           " --help' for more information.\n";
}

}  // namespace tamblin::app
