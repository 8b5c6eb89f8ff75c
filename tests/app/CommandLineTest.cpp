#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <sstream>

#include "windows/Tambview.h"

namespace tamblin::app {
namespace {

using Args = std::vector<std::string>;

// What a command line comes to, in one comparable line: the options set, Qt's arguments after
// argv[0], or the error.
std::string outcome(const Args& tail) {
    Args args{"/usr/bin/tamblin"};
    args.insert(args.end(), tail.begin(), tail.end());
    const CommandLine line = parseCommandLine(args);
    if (line.error) return "error: " + *line.error;
    EXPECT_FALSE(line.qtArguments.empty());
    if (!line.qtArguments.empty()) {
        EXPECT_EQ(line.qtArguments.front(), args.front());
    }
    std::ostringstream text;
    const Options& o = line.options;
    text << (o.help ? "help " : "") << (o.version ? "version " : "") << (o.list ? "list " : "");
    if (o.input) text << "input=" << *o.input << " ";
    if (o.output) text << "output=" << *o.output << " ";
    if (o.log) text << "log=" << *o.log << " ";
    if (o.capture) text << "capture=" << *o.capture << " ";
    text << (o.directThru ? "direct-thru " : "") << (o.drainEarly ? "drain-early " : "")
         << (o.sysex ? "sysex " : "");
    if (o.zoom != 100) text << "zoom=" << o.zoom << " ";
    text << "qt[";
    for (std::size_t i = 1; i < line.qtArguments.size(); ++i)
        text << (i > 1 ? " " : "") << line.qtArguments[i];
    text << "]";
    return text.str();
}

TEST(CommandLineTest, ReadsGnuFormsAndPassesQtOptionsOn) {
    const struct {
        Args args;
        std::string expected;
    } cases[] = {
        {{}, "qt[]"},
        // Our options: long, short, an unambiguous prefix, and the end of options.
        {{"--help"}, "help qt[]"},
        {{"-h"}, "help qt[]"},
        {{"--he"}, "help qt[]"},
        {{"--version"}, "version qt[]"},
        {{"--vers"}, "version qt[]"},
        {{"--version", "--help"}, "help version qt[]"},
        {{"--"}, "qt[]"},
        {{"--help", "--"}, "help qt[]"},
        {{"--direct-thru"}, "direct-thru qt[]"},
        {{"--dir", "-reverse"}, "direct-thru qt[-reverse]"},
        {{"--drain-early", "--direct-thru"}, "direct-thru drain-early qt[]"},
        {{"--sysex", "--dr"}, "drain-early sysex qt[]"},
        {{"--sy"}, "sysex qt[]"},
        {{"--sysex=on"}, "error: option '--sysex' doesn't allow an argument"},
        {{"--d"}, "error: option '--d' is ambiguous"},
        {{"--direct-thru=yes"}, "error: option '--direct-thru' doesn't allow an argument"},
        // Options with a value take the next word whatever it is, or what follows "=".
        {{"--input", "tamblin-send:out"}, "input=tamblin-send:out qt[]"},
        {{"--input=a=b", "--output", "--log"}, "input=a=b output=--log qt[]"},
        {{"--log", "-", "--list"}, "list log=- qt[]"},
        {{"--log=", "--in", "-platform"}, "input=-platform log= qt[]"},
        {{"--out", "Synth 1", "-reverse"}, "output=Synth 1 qt[-reverse]"},
        {{"--input", "x", "--input", "y"}, "input=y qt[]"},
        {{"--li"}, "list qt[]"},
        {{"--capture", "Take 1.MID", "--log", "-"}, "log=- capture=Take 1.MID qt[]"},
        {{"--c=/tmp/take.Csv"}, "capture=/tmp/take.Csv qt[]"},
        {{"--zoom", "200"}, "zoom=200 qt[]"},
        {{"--zoom=125", "-reverse"}, "zoom=125 qt[-reverse]"},
        {{"--zoom", "100"}, "qt[]"},
        {{"--zoom", "300"}, "zoom=300 qt[]"},
        // Qt's options keep their values and their order, in every form Qt reads.
        {{"-platform", "offscreen"}, "qt[-platform offscreen]"},
        {{"--platform", "offscreen"}, "qt[--platform offscreen]"},
        {{"-style=fusion", "-reverse"}, "qt[-style=fusion -reverse]"},
        {{"-reverse", "--help", "-style", "fusion"}, "help qt[-reverse -style fusion]"},
        {{"-geometry", "640x480+0+0", "-qwindowtitle", "--help"},
         "qt[-geometry 640x480+0+0 -qwindowtitle --help]"},
        {{"-qmljsdebugger=port:1234"}, "qt[-qmljsdebugger=port:1234]"},
        {{"-display", ":1", "-name", "x", "-session", "s"}, "qt[-display :1 -name x -session s]"},
        // What cannot be used.
        {{"--frobnicate"}, "error: unrecognized option '--frobnicate'"},
        {{"--help=yes"}, "error: option '--help' doesn't allow an argument"},
        {{"--he=yes"}, "error: option '--help' doesn't allow an argument"},
        {{"-x"}, "error: invalid option -- 'x'"},
        {{"-hx"}, "error: invalid option -- 'x'"},
        {{"file.mid"}, "error: unexpected argument 'file.mid'"},
        {{"-"}, "error: unexpected argument '-'"},
        {{"--", "--help"}, "error: unexpected argument '--help'"},
        {{"-platform"}, "error: option '-platform' requires an argument"},
        {{"--input"}, "error: option '--input' requires an argument"},
        {{"--list", "--log"}, "error: option '--log' requires an argument"},
        {{"--l", "x"}, "error: option '--l' is ambiguous"},
        {{"--list=all"}, "error: option '--list' doesn't allow an argument"},
        {{"--help", "--bogus", "--nonsense"}, "error: unrecognized option '--bogus'"},
        {{"--zoom", "99"}, "error: option '--zoom' takes a whole percentage from 100 to 300"},
        {{"--zoom", "301"}, "error: option '--zoom' takes a whole percentage from 100 to 300"},
        {{"--zoom", "150%"}, "error: option '--zoom' takes a whole percentage from 100 to 300"},
        {{"--zoom="}, "error: option '--zoom' takes a whole percentage from 100 to 300"},
        {{"--capture", "take.txt"},
         "error: option '--capture' takes a file name ending in .mid or .csv"},
        {{"--capture", "take.midi"},
         "error: option '--capture' takes a file name ending in .mid or .csv"},
        {{"--capture", "-"}, "error: option '--capture' takes a file name ending in .mid or .csv"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const std::string& arg : c.args) shown += " " + arg;
        EXPECT_EQ(outcome(c.args), c.expected) << "tamblin" << shown;
    }
}

TEST(CommandLineTest, HelpListsEveryOptionAndVersionMatchesTheWindow) {
    const std::string help = helpText("tamblin");
    EXPECT_TRUE(help.starts_with("Usage: tamblin [OPTION]...\n"));
    EXPECT_NE(help.find("  -h, --help "), std::string::npos) << help;
    for (const char* option :
         {"      --version ", "      --list ", "      --input NAME ", "      --output NAME ",
          "      --log FILE ", "      --capture FILE ", "      --direct-thru ",
          "      --drain-early ", "      --zoom PERCENT "})
        EXPECT_NE(help.find(option), std::string::npos) << option << "\n" << help;

    // GNU's first line, "NAME (PACKAGE) VERSION", and the version the window shows ("V0.2").
    const std::string window = windows::Tambview::kVersion;
    const std::string shown = window.substr(window.rfind(" V") + 2);
    const std::string version = versionText("tamblin");
    EXPECT_TRUE(version.starts_with("tamblin (Tamblin) " + shown + ".")) << version;
    EXPECT_NE(version.find("License MIT"), std::string::npos) << version;

    EXPECT_EQ(programName("/usr/local/bin/tamblin"), "tamblin");
    EXPECT_EQ(programName("tamblin"), "tamblin");
    EXPECT_EQ(usageHint("tamblin"),
              "Usage: tamblin [OPTION]...\nTry 'tamblin --help' for more information.\n");
}

}  // namespace
}  // namespace tamblin::app
