#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tamblin::testing {

// A program run as a child process, its standard output and error each collected from a pipe.
// The child dies with the test (PR_SET_PDEATHSIG), and one still running when the object goes is
// killed.
class ChildProcess {
public:
    // `args[0]` is the program's path.
    explicit ChildProcess(std::vector<std::string> args);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // The exit status once the child has ended (128 + the signal's number if a signal ended it),
    // or nothing if it still runs after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    void signal(int number) const;
    // What the child has written so far.
    std::string out();
    std::string err();

private:
    void collect();

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string outText_;
    std::string errText_;
    std::optional<int> status_;
};

// Path of a program built in this tree: TAMBLIN_BUILD_DIR + `relative`, or empty if unset.
std::string builtProgram(const std::string& relative);

// Path of the running program.
std::string thisProgram();

}  // namespace tamblin::testing
