#pragma once

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace tamblin::app {

// Turns SIGTERM, SIGINT, SIGHUP, SIGUSR1 and SIGUSR2 into a call of `onSignal` on the
// user-interface thread, so that a terminating signal ends the program as the Exit button does:
// ports closed first. Any number of signals, of any of these kinds, make one call. One per
// process.
class Termination final : public QObject {
public:
    explicit Termination(std::function<void()> onSignal);
    ~Termination() override;
    Termination(const Termination&) = delete;
    Termination& operator=(const Termination&) = delete;

private:
    std::function<void()> onSignal_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace tamblin::app
