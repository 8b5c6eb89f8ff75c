#include "input/LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
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
    // Writes all of `text`; false with errno set when a write fails, `done` bytes having been
    // written.
    bool writeAll(const std::string& text, std::size_t& done) const;
    // Where the next write lands in a regular file, or -1 for a pipe, a terminal and the like.
    off_t position() const;
    // A full disk can stop a write inside a line: what was written of that line is taken back,
    // so that the file holds whole lines only. Nothing can be taken back from a pipe.
    void keepWholeLines(off_t start, const std::string& text, std::size_t done) const;
};

off_t LogFile::State::position() const {
    struct stat facts {};
    if (::fstat(fd, &facts) != 0 || !S_ISREG(facts.st_mode)) return -1;
    // An appending file's own position stays where it was until the next write moves it.
    const int flags = ::fcntl(fd, F_GETFL);
    return ::lseek(fd, 0, flags != -1 && (flags & O_APPEND) != 0 ? SEEK_END : SEEK_CUR);
}

void LogFile::State::keepWholeLines(off_t start, const std::string& text, std::size_t done) const {
    if (start < 0 || done == 0) return;
    const std::size_t lastEnd = text.rfind('\n', done - 1);
    const std::size_t whole = lastEnd == std::string::npos ? 0 : lastEnd + 1;
    if (whole == done) return;
    const int savedErrno = errno;
    [[maybe_unused]] const int cut = ::ftruncate(fd, start + static_cast<off_t>(whole));
    errno = savedErrno;
}

bool LogFile::State::writeAll(const std::string& text, std::size_t& done) const {
    done = 0;
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
        const off_t start = position();
        std::size_t done = 0;
        const bool ok = writeAll(chunk, done);
        const int error = errno;
        if (!ok) keepWholeLines(start, chunk, done);
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
