#include "support/Deadline.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

namespace tamblin::testing {

namespace {

struct Reports {
    std::mutex mutex;
    std::map<const DeadlineReport*, std::function<std::string()>> byOwner;
};

Reports& reports() {
    static auto* kept = new Reports();  // the deadline's thread may read it while the process ends
    return *kept;
}

}  // namespace

std::string waitChannels(pid_t pid) {
    std::string text;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream comm(task.path() / "comm");
        std::ifstream wchan(task.path() / "wchan");
        std::string name;
        std::string channel;
        std::getline(comm, name);
        std::getline(wchan, channel);
        text += "  " + name + ": " + channel + "\n";
    }
    return text;
}

DeadlineReport::DeadlineReport(std::function<std::string()> report) {
    std::lock_guard lock(reports().mutex);
    reports().byOwner.emplace(this, std::move(report));
}

DeadlineReport::~DeadlineReport() {
    std::lock_guard lock(reports().mutex);
    reports().byOwner.erase(this);
}

std::string deadlineReports() {
    std::lock_guard lock(reports().mutex);
    std::string text;
    for (const auto& [owner, report] : reports().byOwner) text += report();
    return text;
}

}  // namespace tamblin::testing
