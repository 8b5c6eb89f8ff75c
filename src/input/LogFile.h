#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tamblin::input {

// A copy of the log that keeps every line: a file appended to and never emptied, or standard
// output. The user-interface thread hands it each tick's lines; a thread of its own writes them,
// so that neither a slow disk nor a reader that falls behind ever holds the window up (a window
// held up long enough would overrun the input ring).
//
// Writing stops for good, with one report, when a write fails (a full disk, a file over its size
// limit, a reader that went away: SIGPIPE and SIGXFSZ must be ignored) or when more than
// kMaxWaiting bytes wait for a reader that does not keep up. A file then ends with a whole line.
class LogFile {
public:
    using Report = std::function<void(const std::string& text)>;
    static constexpr std::size_t kMaxWaiting = 8 * 1024 * 1024;

    // Opens `path` for appending, creating it if need be; "-" is standard output. Null, with
    // `error` set, when it cannot be opened. `report` receives the one-line reports; it may run
    // on the writing thread.
    static std::unique_ptr<LogFile> open(const std::string& path, Report report,
                                         std::string& error);
    // Gives what still waits up to two seconds to be written, then lets go of it.
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Queues `text` (whole lines) for writing. Never waits for the file.
    void write(std::string_view text);
    // Whether writing has stopped (a failed write, or a reader that fell behind).
    bool stopped() const;

private:
    struct State;
    explicit LogFile(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

}  // namespace tamblin::input
