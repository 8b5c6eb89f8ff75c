#include "app/Termination.h"

#include <sys/socket.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>

namespace tamblin::app {

namespace {

int g_signalPipe[2] = {-1, -1};
// Set by the first terminating signal. Later ones find the program already ending and write
// nothing: a burst of them must neither fill the socket nor run the Exit action twice.
std::atomic<bool> g_signalled{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

// A terminating signal only writes a byte; the event loop then runs the Exit action. The write
// end is non-blocking, so that no thread can ever wait inside this handler.
void onTerminate(int) {
    if (g_signalled.exchange(true)) return;
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signalPipe[0], &byte, 1);
    errno = savedErrno;
}

}  // namespace

Termination::Termination(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    notifier_ = std::make_unique<QSocketNotifier>(g_signalPipe[1], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        char byte;
        while (::read(g_signalPipe[1], &byte, 1) > 0) {
        }
        onSignal_();
    });
    struct sigaction action {};
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // SIGUSR1 and SIGUSR2 too: their default action would end the program without closing
    // its ports.
    for (const int number : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2})
        sigaction(number, &action, nullptr);
}

// The handlers stay installed and the socket open until the process ends: a signal during the
// rest of the shut-down then writes at most one byte that nobody reads, and a handler running
// on another thread never writes into a descriptor closed under it.
Termination::~Termination() = default;

}  // namespace tamblin::app
