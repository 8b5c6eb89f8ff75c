#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace tamblin::testing {

// What each thread of process `pid` is waiting in, one "name: wait channel" line a thread.
std::string waitChannels(pid_t pid);

// While it lives, the test deadline (TestMain.cpp) prints what `report` answers when a test runs
// past it: a fixture's server log, say. Made and destroyed on the test's thread.
class DeadlineReport {
public:
    explicit DeadlineReport(std::function<std::string()> report);
    ~DeadlineReport();
    DeadlineReport(const DeadlineReport&) = delete;
    DeadlineReport& operator=(const DeadlineReport&) = delete;
};

// What every living DeadlineReport answers now.
std::string deadlineReports();

}  // namespace tamblin::testing
