#include <unistd.h>

#include <QApplication>
#include <QLocale>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/DeviceArguments.h"
#include "app/Display.h"
#include "app/StandardStreams.h"
#include "app/Termination.h"
#include "capture/CaptureFile.h"
#include "input/LogFile.h"
#include "input/SysExRing.h"
#include "ports/CompositePortService.h"
#include "ports/PipeWireProps.h"
#include "ports/RtMidiPortService.h"
#include "ports/jack/JackPortService.h"
#include "windows/DestroyedWindowWatch.h"
#include "windows/Tambview.h"

namespace {

constexpr const char* kDesktopId = "org.tamblin.Tamblin";

// What ends the program before anything starts: a command line it cannot take, --help and
// --version. Returns the program's status then.
std::optional<int> endsAtOnce(const tamblin::app::CommandLine& line, const std::string& program,
                              const std::function<void(const std::string&)>& complain) {
    using namespace tamblin;
    if (line.error) {
        complain(*line.error);
        std::fputs(app::usageHint(program).c_str(), stderr);
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
    return std::nullopt;
}

// Opens the --log file; null, said through `complain`, when it cannot.
std::unique_ptr<tamblin::input::LogFile> openLog(
    const std::string& path, const std::function<void(const std::string&)>& complain) {
    // A reader that goes away, or a file over the size limit, is a failed write, reported once,
    // not the end of the program.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    std::string error;
    std::unique_ptr<tamblin::input::LogFile> log =
        tamblin::input::LogFile::open(path, complain, error);
    if (!log) complain(error);
    return log;
}

// Opens the --capture file; null, said through `complain`, when it cannot.
std::unique_ptr<tamblin::capture::CaptureFile> openCapture(
    const std::string& path, const std::function<void(const std::string&)>& complain) {
    std::string error;
    std::unique_ptr<tamblin::capture::CaptureFile> capture =
        tamblin::capture::CaptureFile::open(path, complain, error);
    if (!capture) complain(error);
    return capture;
}

// What the window starts on, as the command line chose it.
struct WindowStart {
    std::optional<tamblin::ports::DeviceId> input;
    std::optional<tamblin::ports::DeviceId> output;
    tamblin::input::LogFile* log = nullptr;
    tamblin::capture::CaptureFile* capture = nullptr;
    int zoom = 100;
    bool drainEarly = false;  // the ring is drained as soon as it is half full, too
};

// The devices that --input and --output name, into `start`; false, said through `complain`, when
// one of them is not there or not one device.
bool chooseDevices(tamblin::ports::PortService& service, const tamblin::app::Options& options,
                   WindowStart& start, const std::function<void(const std::string&)>& complain) {
    using namespace tamblin;
    std::string error;
    if (options.output &&
        !(start.output = app::deviceByName(service, false, *options.output, error))) {
        complain(error);
        return false;
    }
    if (options.input && !(start.input = app::deviceByName(service, true, *options.input, error))) {
        complain(error);
        return false;
    }
    return true;
}

// The window's part of the run: Qt, the window on the devices chosen, and the event loop. Ends
// through `end` (see main) while the window and Qt still exist.
int runWindow(std::vector<std::string> qtArguments, tamblin::ports::PortService& service,
              tamblin::input::InputRing& ring, const WindowStart& start,
              const std::function<void(const std::string&)>& complain,
              const std::function<int(int)>& end) {
    using namespace tamblin;
    // QApplication keeps references to these for its whole life.
    std::vector<char*> qtArgv;
    for (std::string& arg : qtArguments) qtArgv.push_back(arg.data());
    qtArgv.push_back(nullptr);
    int qtArgc = static_cast<int>(qtArguments.size());

    QApplication application(qtArgc, qtArgv.data());
    QApplication::setApplicationName(QStringLiteral("Tamblin"));
    QApplication::setApplicationVersion(QStringLiteral(TAMBLIN_VERSION_STRING));
    // Wayland shells find the window's icon through the desktop entry of this name.
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopId));

    // From here on a terminating signal ends the program through the Exit action, once the
    // event loop runs (a modal dialog's included).
    windows::Tambview* ending = nullptr;
    app::Termination termination([&ending] {
        if (ending != nullptr) ending->cmdExit_Click();
    });
    // A window that another X client destroys counts as closed by its close box.
    windows::DestroyedWindowWatch destroyedWindows;
    windows::Tambview window(service, ring);
    ending = &window;
    window.setStartDevices(start.input, start.output);
    if (start.drainEarly) window.setDrainEarly(true);
    if (tamblin::input::LogFile* log = start.log)
        window.setLogCopy([log](std::string_view text) { log->write(text); });
    if (capture::CaptureFile* capture = start.capture) {
        capture->setDecimalSeparator(QLocale().decimalPoint().toStdString());
        window.setCapture(capture);
    }
    window.setOverrunReport([&complain](std::string_view text) { complain(std::string(text)); });

    if (start.zoom != 100) window.setZoom(start.zoom);
    window.load();
    // Ended by a signal while start-up waited for the user.
    if (window.ended()) return end(window.overran() ? app::kOverrunStatus : 0);
    window.show();
    const int status = QApplication::exec();
    return end(window.overran() ? app::kOverrunStatus : status);
}

}  // namespace

int main(int argc, char* argv[]) {
    using namespace tamblin;
    // With nowhere to say so: the descriptors 0 to 2 may be closed.
    if (!app::openClosedStandardStreams()) return 1;
    const std::vector<std::string> args(argv, argv + argc);
    const std::string program = app::programName(argc > 0 ? argv[0] : "");
    auto complain = [&program](const std::string& text) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), text.c_str());
    };
    const app::CommandLine line = app::parseCommandLine(args);
    if (const std::optional<int> status = endsAtOnce(line, program, complain)) return *status;
    const app::Options& options = line.options;

    // Before any thread may read the environment, and before the first JACK client opens (the
    // JACK service opens its client as soon as it exists, --list included).
    if (const std::string warning = ports::keepMidiEventsExact(); !warning.empty())
        complain(warning);

    // Before any port opens: opening a FIFO waits for its reader, and no port of ours may wait
    // with it.
    std::unique_ptr<input::LogFile> log;
    if (options.log && !options.list && !(log = openLog(*options.log, complain)))
        return app::kUsageStatus;

    // Made last before the window, so that a command line that fails leaves an earlier capture
    // of the same name alone.
    std::unique_ptr<capture::CaptureFile> capture;
    // The one input ring, which the input's callback fills and the window drains: it outlives
    // both the port services and the window. Drained early, it has room for a stalled server's
    // backlog too.
    input::InputRing ring(input::InputRing::sizeFor(options.drainEarly));
    // With --sysex, the long messages' ring beside it, which lives as long.
    std::unique_ptr<input::SysExRing> sysex;
    if (options.sysex) {
        sysex = std::make_unique<input::SysExRing>();
        ring.attachSysEx(sysex.get());
    }
    // The ALSA sequencer's devices first, then JACK's.
    ports::HandleSource handles;
    ports::RtMidiPortService alsa(ports::makeRtMidiSystem(), &handles);
    ports::JackPortService jack({.directThru = options.directThru}, &handles);
    ports::CompositePortService service({&alsa, &jack});
    if (options.sysex) service.setLongCallback(&input::midiInLongCallback);
    // A JACK server that stopped answering (a stopped jackd) holds the JACK worker inside libjack,
    // where no call can be taken back, and with it libjack's process-wide lock: destructors and
    // exit handlers could wait for it for ever. Every way out goes through here, once the ports
    // are closed, and then the program ends without waiting.
    auto end = [&jack, &capture, &complain](int status) {
        // What the last drains handed over is written before a way out that waits for nothing.
        capture.reset();
        if (!jack.finish()) {
            // The server then finds our client gone without its close: jackd -S waits for it for
            // seconds, every client of the server with it.
            complain("the JACK server did not close our client within 2 s; ending without it");
            std::fflush(nullptr);
            ::_exit(status);
        }
        return status;
    };

    // Everything up to the window needs no display: --list, and the checks of the device names,
    // which end the program before any window appears.
    if (options.list) {
        std::fputs(app::deviceListText(service).c_str(), stdout);
        return end(std::fflush(stdout) == 0 ? 0 : 1);
    }
    WindowStart start{{}, {}, log.get(), nullptr, options.zoom, options.drainEarly};
    if (!chooseDevices(service, options, start, complain)) return end(app::kUsageStatus);

    // Qt would abort without a display; one line and a status say it instead.
    if (const std::optional<std::string> problem = app::displayProblem(line.qtArguments)) {
        complain(*problem);
        return end(app::kNoDisplayStatus);
    }
    if (options.capture && !(capture = openCapture(*options.capture, complain)))
        return end(app::kUsageStatus);
    start.capture = capture.get();

    return runWindow(line.qtArguments, service, ring, start, complain, end);
}
