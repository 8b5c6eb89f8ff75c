#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "ports/RtMidiPortService.h"
#include "windows/Tambview.h"

namespace {

int g_signalPipe[2] = {-1, -1};

// A terminating signal only writes a byte; the event loop then runs the Exit action, so the ports
// are closed as after the Exit button.
void onTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signalPipe[0], &byte, 1);
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tamblin"));

    tamblin::ports::RtMidiPortService service;
    tamblin::windows::Tambview window(service);

    std::unique_ptr<QSocketNotifier> terminate;
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) == 0) {
        terminate = std::make_unique<QSocketNotifier>(g_signalPipe[1], QSocketNotifier::Read);
        QObject::connect(terminate.get(), &QSocketNotifier::activated, &window, [&window] {
            char byte;
            [[maybe_unused]] const auto read = ::read(g_signalPipe[1], &byte, 1);
            window.cmdExit_Click();
        });
        struct sigaction action {};
        action.sa_handler = onTerminate;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGHUP, &action, nullptr);
    }

    window.load();
    if (window.ended()) return 0;  // ended by a signal while start-up waited for the user
    window.show();
    return QApplication::exec();
}
