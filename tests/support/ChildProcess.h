#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tamblin::testing {

// A program run by a test, its standard output and error gathered in a temporary file. Started
// with posix_spawn rather than fork, which ThreadSanitizer refuses in a process that already runs
// threads (Qt's, JACK's). A child still running when the object goes is asked to end (SIGTERM),
// then killed after five seconds.
class ChildProcess {
public:
    ChildProcess(const std::string& path, const std::vector<std::string>& args);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    // The exit status once the child has ended (128 + the signal number if a signal ended it),
    // or nothing if it still runs after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // Sends signal `number` to the child while it runs.
    void signal(int number) const;
    // Everything it has written so far.
    std::string output() const;

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string outputPath_;
};

// Path of a program built in the tree under test ($TAMBLIN_BUILD_DIR/`relative`); empty when
// TAMBLIN_BUILD_DIR is not set.
std::string builtProgram(const std::string& relative);

}  // namespace tamblin::testing
