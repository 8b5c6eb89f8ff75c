#include "input/LogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace tamblin::input {

struct LogFile::State {
    int fd = -1;
    bool ownsFd = false;
    std::string name;
    Report report;

    std::mutex mutex;
    std::condition_variable changed;
    std::string waiting;       // handed over, not yet taken by the writer
    std::size_t inFlight = 0;  // taken by the writer, being written
    bool stopped = false;
    bool closing = false;
    bool finished = false;  // the writer has returned

    void run();
    // Writes all of `text`; false with errno set when a write fails.
    bool writeAll(const std::string& text) const;
};

bool LogFile::State::writeAll(const std::string& text) const {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

void LogFile::State::run() {
    std::unique_lock lock(mutex);
    while (true) {
        changed.wait(lock, [this] { return !waiting.empty() || closing || stopped; });
        if (stopped || waiting.empty()) break;
        std::string chunk;
        chunk.swap(waiting);
        inFlight = chunk.size();
        lock.unlock();
        const bool ok = writeAll(chunk);
        const int error = errno;
        lock.lock();
        inFlight = 0;
        if (!ok && !stopped) {
            stopped = true;
            waiting.clear();
            lock.unlock();
            report("cannot write the log to " + name + ": " + std::strerror(error) +
                   "; it is no longer written");
            lock.lock();
            break;
        }
    }
    if (ownsFd) ::close(fd);
    finished = true;
    changed.notify_all();
}

std::unique_ptr<LogFile> LogFile::open(const std::string& path, Report report, std::string& error) {
    auto state = std::make_shared<State>();
    state->report = std::move(report);
    if (path == "-") {
        state->fd = STDOUT_FILENO;
        state->name = "standard output";
    } else {
        state->fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
        if (state->fd < 0) {
            error = "cannot open the log file " + path + ": " + std::strerror(errno);
            return nullptr;
        }
        state->ownsFd = true;
        state->name = path;
    }
    return std::unique_ptr<LogFile>(new LogFile(std::move(state)));
}

LogFile::LogFile(std::shared_ptr<State> state) : state_(std::move(state)) {
    // The thread shares the state, so that it may outlive this object (see the destructor).
    std::thread([state = state_] { state->run(); }).detach();
}

LogFile::~LogFile() {
    std::unique_lock lock(state_->mutex);
    state_->closing = true;
    state_->changed.notify_all();
    // A reader that never reads would hold the writer in write() for good; the program ends
    // anyway, and the writer, which owns a share of the state, goes with the process.
    state_->changed.wait_for(lock, std::chrono::seconds(2), [this] { return state_->finished; });
}

void LogFile::write(std::string_view text) {
    if (text.empty()) return;
    bool fellBehind = false;
    {
        std::lock_guard lock(state_->mutex);  // the writer holds it only to take what waits
        if (state_->stopped) return;
        if (state_->waiting.size() + state_->inFlight + text.size() > kMaxWaiting) {
            state_->stopped = true;
            state_->waiting.clear();
            fellBehind = true;
        } else {
            state_->waiting.append(text);
        }
    }
    state_->changed.notify_one();
    if (fellBehind)
        state_->report("the reader of " + state_->name +
                       " does not keep up; the log is no longer written to it");
}

bool LogFile::stopped() const {
    std::lock_guard lock(state_->mutex);
    return state_->stopped;
}

}  // namespace tamblin::input
