#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace tamblin::testing {

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tamblin-child-XXXXXX").string();
    const int out = ::mkstemp(pattern.data());
    if (out < 0) return;
    outputPath_ = pattern;

    std::vector<std::string> all{path};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDERR_FILENO);
    pid_t pid = -1;
    if (::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out);
}

ChildProcess::~ChildProcess() {
    if (started() && !status_) {
        ::kill(pid_, SIGTERM);
        if (!wait(std::chrono::seconds(5))) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    if (!outputPath_.empty()) std::filesystem::remove(outputPath_);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (started() && !status_) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

void ChildProcess::signal(int number) const {
    if (started() && !status_) ::kill(pid_, number);
}

std::string ChildProcess::output() const {
    std::ifstream in(outputPath_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string builtProgram(const std::string& relative) {
    const char* buildDir = std::getenv("TAMBLIN_BUILD_DIR");
    return buildDir == nullptr ? std::string() : std::string(buildDir) + "/" + relative;
}

}  // namespace tamblin::testing
