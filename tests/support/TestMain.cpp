// The main of every test program: GoogleTest's, with a deadline for each test. A test that has
// not ended by its deadline is reported at once, with where each thread of the process waits
// (a backtrace of every thread when gdb is at hand) and whatever the running test's fixtures
// registered (a server's log, say), and the program ends with status 1: a ctest timeout is never
// how a test fails. TAMBLIN_TEST_DEADLINE sets the deadline in seconds (240 by default).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "support/ChildProgram.h"
#include "support/Deadline.h"

namespace tamblin::testing {
namespace {

class Watchdog final : public ::testing::EmptyTestEventListener {
public:
    explicit Watchdog(std::chrono::seconds deadline) : deadline_(deadline) {
        std::thread([this] { watch(); }).detach();  // ends with the process
    }

    void OnTestStart(const ::testing::TestInfo& test) override {
        std::lock_guard lock(mutex_);
        name_ = std::string(test.test_suite_name()) + "." + test.name();
        until_ = std::chrono::steady_clock::now() + deadline_;
        armed_ = true;
        changed_.notify_all();
    }

    void OnTestEnd(const ::testing::TestInfo&) override {
        std::lock_guard lock(mutex_);
        armed_ = false;
        changed_.notify_all();
    }

private:
    void watch() {
        std::unique_lock lock(mutex_);
        while (true) {
            if (!armed_) {
                changed_.wait(lock);
                continue;
            }
            const auto until = until_;
            if (changed_.wait_until(lock, until) == std::cv_status::timeout && armed_ &&
                until_ == until)
                expire();
        }
    }

    [[noreturn]] void expire() {
        std::fprintf(stderr,
                     "\n%s did not end within its deadline of %lld s. Its threads wait in:\n%s",
                     name_.c_str(), static_cast<long long>(deadline_.count()),
                     waitChannels(::getpid()).c_str());
        std::fprintf(stderr, "%s", backtraces().c_str());
        std::fprintf(stderr, "%s", deadlineReports().c_str());
        std::fflush(nullptr);
        ::_exit(1);
    }

    // Every thread's backtrace, from gdb when the machine has it.
    static std::string backtraces() {
        if (::access("/usr/bin/gdb", X_OK) != 0) return "(no gdb for backtraces)\n";
        ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY);  // a child may not trace its parent otherwise
        ChildProgram gdb({"/usr/bin/gdb", "-batch", "-nx", "-p", std::to_string(::getpid()), "-ex",
                          "thread apply all bt"});
        if (!gdb.wait(std::chrono::seconds(60))) gdb.end(std::chrono::seconds(1));
        return "Backtraces:\n" + gdb.out();
    }

    const std::chrono::seconds deadline_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool armed_ = false;
    std::string name_;
    std::chrono::steady_clock::time_point until_;
};

std::chrono::seconds deadlineFromEnvironment() {
    const char* text = std::getenv("TAMBLIN_TEST_DEADLINE");
    const long seconds = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return std::chrono::seconds(seconds > 0 ? seconds : 240);
}

}  // namespace
}  // namespace tamblin::testing

int main(int argc, char** argv) {
    // A child that is gone when a test writes to it is the test's to report, not a signal's.
    ::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    auto* watchdog = new tamblin::testing::Watchdog(tamblin::testing::deadlineFromEnvironment());
    ::testing::TestEventListeners& listeners = ::testing::UnitTest::GetInstance()->listeners();
    listeners.Append(watchdog);
    const int result = RUN_ALL_TESTS();
    // Its thread waits on it until the process ends: it is never destroyed.
    listeners.Release(watchdog);
    return result;
}
