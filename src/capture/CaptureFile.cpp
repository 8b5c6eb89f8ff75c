#include "capture/CaptureFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>

#include "capture/CsvRows.h"
#include "capture/SmfTrack.h"

namespace tamblin::capture {

struct CaptureFile::State {
    int fd = -1;
    std::string name;
    Format format = Format::Smf;
    Report report;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Batch> waiting;  // handed over, not yet taken by the writer
    std::size_t waitingWeight = 0;
    std::size_t inFlight = 0;  // taken by the writer, being written
    std::string separator = ".";
    bool stopped = false;
    bool closing = false;
    bool finished = false;  // the writer has returned

    // The writer's own.
    SmfTrack track;
    std::string text;

    void run();
    // Writes one batch; false with errno set when a write fails.
    bool write(const Batch& batch, const std::string& separator);
    bool writeAt(const std::uint8_t* bytes, std::size_t size, std::optional<off_t> offset) const;
};

bool CaptureFile::State::writeAt(const std::uint8_t* bytes, std::size_t size,
                                 std::optional<off_t> offset) const {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t written =
            offset ? ::pwrite(fd, bytes + done, size - done, *offset + static_cast<off_t>(done))
                   : ::write(fd, bytes + done, size - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

bool CaptureFile::State::write(const Batch& batch, const std::string& separator) {
    const auto bytesOf = [&batch](const Record& r) {
        return std::span<const std::uint8_t>(batch.bytes.data() + r.offset, r.size);
    };
    if (format == Format::Csv) {
        text.clear();
        for (const Record& r : batch.records) {
            const std::span<const std::uint8_t> bytes = bytesOf(r);
            if (r.device)
                appendCsvDeviceRow(text, {reinterpret_cast<const char*>(bytes.data()), r.size},
                                   r.micros);
            else
                appendCsvRow(text, bytes, r.micros, logText(bytes, r.logTime, separator));
        }
        return writeAt(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), {});
    }
    for (const Record& r : batch.records) {
        const std::span<const std::uint8_t> bytes = bytesOf(r);
        if (r.device)
            track.addMarker({reinterpret_cast<const char*>(bytes.data()), r.size}, r.micros);
        else
            track.addMessage(bytes, r.micros);
    }
    // The track's length is four bytes.
    constexpr std::uint64_t kLargest = std::numeric_limits<std::uint32_t>::max();
    const std::vector<FileWrite> writes = track.commit();
    if (track.fileSize() > kLargest) {
        errno = EFBIG;
        return false;
    }
    for (const FileWrite& w : writes)
        if (!writeAt(w.bytes.data(), w.bytes.size(), static_cast<off_t>(w.offset))) return false;
    return true;
}

void CaptureFile::State::run() {
    std::unique_lock lock(mutex);
    while (true) {
        changed.wait(lock, [this] { return !waiting.empty() || closing || stopped; });
        if (stopped || waiting.empty()) break;
        std::deque<Batch> taken;
        taken.swap(waiting);
        inFlight = waitingWeight;
        waitingWeight = 0;
        const std::string separatorNow = separator;
        lock.unlock();
        bool ok = true;
        for (const Batch& batch : taken)
            if (!(ok = write(batch, separatorNow))) break;
        const int error = errno;
        lock.lock();
        inFlight = 0;
        if (!ok && !stopped) {
            stopped = true;
            waiting.clear();
            waitingWeight = 0;
            lock.unlock();
            report("cannot write the capture to " + name + ": " + std::strerror(error) +
                   "; it is no longer written");
            lock.lock();
            break;
        }
    }
    ::close(fd);
    finished = true;
    changed.notify_all();
}

std::optional<CaptureFile::Format> CaptureFile::formatOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    const std::string_view base = path.substr(slash == std::string_view::npos ? 0 : slash + 1);
    if (base.size() <= 4) return std::nullopt;  // a name, not only an extension
    std::string extension(base.substr(base.size() - 4));
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == ".mid") return Format::Smf;
    if (extension == ".csv") return Format::Csv;
    return std::nullopt;
}

std::unique_ptr<CaptureFile> CaptureFile::open(const std::string& path, Report report,
                                               std::string& error, Clock clock) {
    const std::optional<Format> format = formatOf(path);
    if (!format) {
        error = "the capture file " + path + " must end in .mid or .csv";
        return nullptr;
    }
    auto state = std::make_shared<State>();
    state->report = std::move(report);
    state->format = *format;
    state->name = path;
    state->fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    const auto fail = [&](int code) {
        error = "cannot open the capture file " + path + ": " + std::strerror(code);
        return nullptr;
    };
    if (state->fd < 0) return fail(errno);
    const std::vector<std::uint8_t> start =
        *format == Format::Smf ? state->track.start()
                               : std::vector<std::uint8_t>(kCsvHeader.begin(), kCsvHeader.end());
    if (!state->writeAt(start.data(), start.size(), {})) {
        const int code = errno;
        ::close(state->fd);
        return fail(code);
    }
    if (!clock) {
        clock = [] {
            return std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                .count();
        };
    }
    return std::unique_ptr<CaptureFile>(new CaptureFile(std::move(state), std::move(clock)));
}

CaptureFile::CaptureFile(std::shared_ptr<State> state, Clock clock)
    : state_(std::move(state)), clock_(std::move(clock)), began_(clock_()) {
    // The thread shares the state, so that it may outlive this object (see the destructor).
    std::thread([state = state_] { state->run(); }).detach();
}

CaptureFile::~CaptureFile() {
    drained();
    std::unique_lock lock(state_->mutex);
    state_->closing = true;
    state_->changed.notify_all();
    // A disk that never answers would hold the writer for good; the program ends anyway, and the
    // writer, which owns a share of the state, goes with the process.
    state_->changed.wait_for(lock, std::chrono::seconds(2), [this] { return state_->finished; });
}

void CaptureFile::setDecimalSeparator(std::string separator) {
    std::lock_guard lock(state_->mutex);
    state_->separator = std::move(separator);
}

void CaptureFile::inputOpened(std::string_view name, std::int64_t clockMicros) {
    const std::int64_t now = elapsedMicros();
    base_ = now - clockMicros;
    batch_.records.push_back({true, now, 0, static_cast<std::uint32_t>(batch_.bytes.size()),
                              static_cast<std::uint32_t>(name.size())});
    batch_.bytes.insert(batch_.bytes.end(), name.begin(), name.end());
}

void CaptureFile::message(std::span<const std::uint8_t> bytes, std::int64_t micros) {
    batch_.records.push_back({false, base_ + micros, static_cast<std::int32_t>(micros / 1000),
                              static_cast<std::uint32_t>(batch_.bytes.size()),
                              static_cast<std::uint32_t>(bytes.size())});
    batch_.bytes.insert(batch_.bytes.end(), bytes.begin(), bytes.end());
}

void CaptureFile::drained() {
    if (batch_.records.empty()) return;
    bool fellBehind = false;
    {
        std::lock_guard lock(state_->mutex);  // the writer holds it only to take what waits
        if (!state_->stopped) {
            const std::size_t weight = batch_.weight();
            if (state_->waitingWeight + state_->inFlight + weight > kMaxWaiting) {
                state_->stopped = true;
                state_->waiting.clear();
                state_->waitingWeight = 0;
                fellBehind = true;
            } else {
                state_->waitingWeight += weight;
                state_->waiting.push_back(std::move(batch_));
            }
        }
    }
    batch_ = Batch{};
    state_->changed.notify_one();
    if (fellBehind)
        state_->report("the disk does not keep up with the capture to " + state_->name +
                       "; it is no longer written");
}

bool CaptureFile::stopped() const {
    std::lock_guard lock(state_->mutex);
    return state_->stopped;
}

}  // namespace tamblin::capture
