#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/Termination.h"
#include "ports/CompositePortService.h"
#include "ports/JackPortService.h"
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

    // The ALSA sequencer's devices first, then JACK's.
    ports::HandleSource handles;
    ports::RtMidiPortService alsa(ports::makeRtMidiSystem(), &handles);
    ports::JackPortService jack({.directThru = line.options.directThru}, &handles);
    ports::CompositePortService service({&alsa, &jack});
    windows::Tambview window(service);
    app::Termination termination([&window] { window.cmdExit_Click(); });

    window.load();
    int status = 0;
    if (!window.ended()) {  // else ended by a signal while start-up waited for the user
        window.show();
        status = QApplication::exec();
    }
    // A JACK server that stopped answering (a stopped jackd) holds the JACK worker inside libjack,
    // where no call can be taken back, and with it libjack's process-wide lock: destructors and
    // exit handlers could wait for it for ever. The ports are closed by now, so end here.
    if (!jack.finish()) {
        std::fflush(nullptr);
        ::_exit(status);
    }
    return status;
}
