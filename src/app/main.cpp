#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/Termination.h"
#include "ports/PipeWireProps.h"
#include "ports/RtMidiPortService.h"
#include "windows/Tambview.h"

namespace {

constexpr const char* kDesktopId = "org.tamblin.Tamblin";

}  // namespace

int main(int argc, char* argv[]) {
    using namespace tamblin;
    const std::vector<std::string> args(argv, argv + argc);
    const std::string program = app::programName(argc > 0 ? argv[0] : "");
    const app::CommandLine line = app::parseCommandLine(args);
    if (line.error) {
        std::fprintf(stderr, "%s: %s\n%s", program.c_str(), line.error->c_str(),
                     app::usageHint(program).c_str());
        return app::kUsageStatus;
    }
    if (line.options.help) {
        std::fputs(app::helpText(program).c_str(), stdout);
        return 0;
    }
    if (line.options.version) {
        std::fputs(app::versionText(program).c_str(), stdout);
        return 0;
    }

    // Before any thread may read the environment, and before the first JACK client opens.
    if (const std::string warning = ports::keepMidiEventsExact(); !warning.empty())
        std::fprintf(stderr, "%s: %s\n", program.c_str(), warning.c_str());

    // QApplication keeps references to these for its whole life.
    std::vector<std::string> qtArguments = line.qtArguments;
    std::vector<char*> qtArgv;
    for (std::string& arg : qtArguments) qtArgv.push_back(arg.data());
    qtArgv.push_back(nullptr);
    int qtArgc = static_cast<int>(qtArguments.size());

    QApplication application(qtArgc, qtArgv.data());
    QApplication::setApplicationName(QStringLiteral("Tamblin"));
    QApplication::setApplicationVersion(QStringLiteral(TAMBLIN_VERSION_STRING));
    // Wayland shells find the window's icon through the desktop entry of this name.
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopId));

    ports::RtMidiPortService service;
    windows::Tambview window(service);
    app::Termination termination([&window] { window.cmdExit_Click(); });

    window.load();
    if (window.ended()) return 0;  // ended by a signal while start-up waited for the user
    window.show();
    return QApplication::exec();
}
