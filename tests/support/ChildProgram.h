#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tamblin::testing {

// A program run as a child process, its standard input /dev/null (or a pipe that send() writes
// to) and its standard output and error each collected from a pipe (or sent to a file, or thrown
// away). It is started with fork
// and exec, the one place in the tests that forks. Between the two the child makes only
// async-signal-safe calls and starts no thread: ThreadSanitizer accepts a fork in a process that
// already runs threads (Qt's, JACK's) and refuses only a child that starts threads before exec.
// The child dies with the thread that started it (PR_SET_PDEATHSIG). One still running when the
// object goes is asked to end (SIGTERM), so that its JACK clients leave their server properly,
// and killed five seconds later.
class ChildProgram {
public:
    struct Options {
        // A descriptor of this process that the child keeps under the same number (one to
        // report on, such as Xvfb's -displayfd); -1 for none.
        int keepOpen = -1;
        // Sends the child's output to /dev/null instead of collecting it.
        bool discardOutput = false;
        // A file that takes the child's output (created, or emptied), instead of collecting it.
        std::string outputFile;
        // The signal the child gets when the test ends first: SIGTERM lets a server clean up.
        int deathSignal = SIGKILL;
        // The file to run when args[0] is only the name the program is to see itself under.
        std::string executable;
        // The child's whole environment (NAME=value each) instead of this process's.
        std::optional<std::vector<std::string>> environment;
        // Standard input is a pipe that send() writes to and closeInput() closes.
        bool pipeInput = false;
        // Standard descriptors (0, 1, 2) the child starts with closed, as `program <&- >&- 2>&-`
        // starts it from a shell.
        std::vector<int> closed;
    };

    // `args[0]` is the program's path.
    explicit ChildProgram(std::vector<std::string> args) : ChildProgram(std::move(args), {}) {}
    ChildProgram(std::vector<std::string> args, const Options& options);
    ~ChildProgram();
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    // Path of a program built in this tree: TAMBLIN_BUILD_DIR + `relative`, or empty if unset.
    static std::string built(const std::string& relative);
    // Path of the running program.
    static std::string self();

    // Whether the program runs: false when it could not be started (errno says why).
    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // The exit status once the child has ended (128 + the signal's number if a signal ended it),
    // or nothing if it still runs after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // Sends signal `number` to the child while it runs.
    void signal(int number) const;
    // Whether the child has a handler of its own for signal `number` now (SigCgt of its status).
    bool catches(int number) const;
    // Asks the child to end (SIGTERM), kills it if it still runs after `patience`, and returns
    // its exit status.
    int end(std::chrono::milliseconds patience);
    // What the child has written so far.
    std::string out();
    std::string err();

    // With Options::pipeInput: writes `text` to the child's standard input; false when the child
    // no longer reads it.
    bool send(const std::string& text);
    void closeInput();
    // Waits until the child's standard output, from where the last take ended, holds `marker`,
    // and returns what came up to it (the marker left out); nothing when the child ends or
    // `timeout` passes first.
    std::optional<std::string> takeOutUntil(const std::string& marker,
                                            std::chrono::milliseconds timeout);

private:
    void collect();

    pid_t pid_ = -1;
    int in_ = -1;
    std::size_t taken_ = 0;
    int out_ = -1;
    int err_ = -1;
    std::string outText_;
    std::string errText_;
    std::optional<int> status_;
};

}  // namespace tamblin::testing
