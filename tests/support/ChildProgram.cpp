#include "support/ChildProgram.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace tamblin::testing {

ChildProgram::ChildProgram(std::vector<std::string> args, const Options& options) {
    const bool collect = !options.discardOutput && options.outputFile.empty();
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const int file =
        options.outputFile.empty()
            ? -1
            : ::open(options.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    // The child reports here why exec failed; exec closes it.
    int failure[2] = {-1, -1};
    if (null < 0 || (!options.outputFile.empty() && file < 0) ||
        (collect && (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)) ||
        (options.pipeInput && ::pipe2(in, O_CLOEXEC) != 0) || ::pipe2(failure, O_CLOEXEC) != 0) {
        const int error = errno;
        for (const int fd : {null, file, out[0], out[1], err[0], err[1], in[0], in[1]})
            if (fd >= 0) ::close(fd);
        errno = error;
        return;
    }
    // Everything the child needs is made before the fork.
    const std::string executable = options.executable.empty() ? args[0] : options.executable;
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables = options.environment.value_or(std::vector<std::string>{});
    std::vector<char*> envp;
    for (auto& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    const int outTarget = collect ? out[1] : file >= 0 ? file : null;
    const int errTarget = collect ? err[1] : file >= 0 ? file : null;
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::prctl(PR_SET_PDEATHSIG, options.deathSignal);
        ::signal(SIGPIPE, SIG_DFL);  // the test program ignores it; the child gets the default
        if (::getppid() != parent) ::_exit(127);
        if (options.keepOpen >= 0) ::fcntl(options.keepOpen, F_SETFD, 0);
        ::dup2(in[0] >= 0 ? in[0] : null, STDIN_FILENO);
        ::dup2(outTarget, STDOUT_FILENO);
        ::dup2(errTarget, STDERR_FILENO);
        for (const int fd : options.closed) ::close(fd);
        if (options.environment)
            ::execve(executable.c_str(), argv.data(), envp.data());
        else
            ::execv(executable.c_str(), argv.data());
        const int error = errno;
        [[maybe_unused]] const ssize_t written = ::write(failure[1], &error, sizeof error);
        ::_exit(127);
    }
    const int forkError = errno;
    for (const int fd : {null, file, out[1], err[1], failure[1], in[0]})
        if (fd >= 0) ::close(fd);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    if (pid_ > 0) {
        int error = 0;
        ssize_t n = 0;
        while ((n = ::read(failure[0], &error, sizeof error)) < 0 && errno == EINTR) {
        }
        if (n == sizeof error) {
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
            errno = error;
        }
    } else {
        errno = forkError;
    }
    const int error = errno;
    ::close(failure[0]);
    errno = error;
    if (out_ < 0) return;
    // Collecting takes what the child has written and returns at once.
    ::fcntl(out_, F_SETFL, O_NONBLOCK);
    ::fcntl(err_, F_SETFL, O_NONBLOCK);
}

ChildProgram::~ChildProgram() {
    closeInput();
    if (pid_ > 0 && !status_) end(std::chrono::seconds(5));
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
}

void ChildProgram::collect() {
    char buffer[4096];
    for (auto [fd, text] : {std::pair{&out_, &outText_}, std::pair{&err_, &errText_}}) {
        if (*fd < 0) continue;
        ssize_t n = 0;
        while ((n = ::read(*fd, buffer, sizeof buffer)) > 0)
            text->append(buffer, static_cast<std::size_t>(n));
        if (n == 0) {  // the child closed its end
            ::close(*fd);
            *fd = -1;
        }
    }
}

std::optional<int> ChildProgram::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_ && pid_ > 0) {
        collect();
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        ::poll(fds, 2, 10);
    }
    collect();
    return status_;
}

void ChildProgram::signal(int number) const {
    if (pid_ > 0 && !status_) ::kill(pid_, number);
}

bool ChildProgram::catches(int number) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigCgt:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (number - 1) & 1u) != 0;
    return false;
}

int ChildProgram::end(std::chrono::milliseconds patience) {
    if (pid_ <= 0) return -1;
    if (!status_) ::kill(pid_, SIGTERM);
    if (const std::optional<int> status = wait(patience)) return *status;
    ::kill(pid_, SIGKILL);
    return wait(std::chrono::seconds(10)).value_or(-1);
}

bool ChildProgram::send(const std::string& text) {
    std::size_t done = 0;
    while (in_ >= 0 && done < text.size()) {
        // A child gone raises SIGPIPE, which the test programs ignore (see TestMain.cpp).
        const ssize_t n = ::write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return in_ >= 0;
}

void ChildProgram::closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

std::optional<std::string> ChildProgram::takeOutUntil(const std::string& marker,
                                                      std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        collect();
        if (const std::size_t at = outText_.find(marker, taken_); at != std::string::npos) {
            std::string taken = outText_.substr(taken_, at - taken_);
            taken_ = at + marker.size();
            return taken;
        }
        if (out_ < 0 || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        pollfd fds[1] = {{out_, POLLIN, 0}};
        ::poll(fds, 1, 10);
    }
}

std::string ChildProgram::out() {
    collect();
    return outText_;
}

std::string ChildProgram::err() {
    collect();
    return errText_;
}

std::string ChildProgram::built(const std::string& relative) {
    const char* buildDir = std::getenv("TAMBLIN_BUILD_DIR");
    return buildDir == nullptr ? std::string() : std::string(buildDir) + "/" + relative;
}

std::string ChildProgram::self() {
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

}  // namespace tamblin::testing
