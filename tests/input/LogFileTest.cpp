#include "input/LogFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include "support/Reports.h"

namespace tamblin::input {
namespace {

using testing::Reports;

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class LogFileTest : public ::testing::Test {
protected:
    // A reader that goes away, or a file over the size limit, must be a failed write, not the end
    // of the test program.
    static void SetUpTestSuite() {
        std::signal(SIGPIPE, SIG_IGN);
        std::signal(SIGXFSZ, SIG_IGN);
    }

    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("tamblin-logfile-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::filesystem::path dir;
    Reports reports;
};

TEST_F(LogFileTest, EveryLineIsAppendedInOrderAfterWhatTheFileHeld) {
    const auto path = dir / "capture.log";
    std::ofstream(path) << "0 403C90 note on:  C:1 N:60 V:64\n";
    std::string expected = readAll(path);
    for (int run = 0; run < 2; ++run) {  // a second run appends as well
        std::string error;
        auto log = LogFile::open(path.string(), reports.sink(), error);
        ASSERT_TRUE(log) << error;
        for (int tick = 0; tick < 300; ++tick) {
            std::string lines;
            for (int i = 0; i < 10; ++i)
                lines += std::to_string(run) + "." + std::to_string(tick * 10 + i) +
                         " 00F8 Timing Clock\n";
            log->write(lines);
            expected += lines;
        }
        log->write("");
    }
    EXPECT_EQ(readAll(path), expected);
    EXPECT_TRUE(reports.taken().empty());
}

TEST_F(LogFileTest, AFailedWriteIsReportedOnceAndWritingStops) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);  // nobody reads: EPIPE
    const std::string closedPipe = "/proc/self/fd/" + std::to_string(ends[1]);
    const std::string before = "0 403C90 note on:  C:1 N:60 V:64\n";
    const std::string line = "1.5 6407B0 Control:  C:1 C:7 V:100\n";
    // A disk that fills up inside a line, made without privileges: a file size limit (the
    // process's own) stops a write short, the next one fails.
    const std::string limited = (dir / "limited.log").string();
    std::ofstream(limited) << before;
    const struct {
        std::string path;
        std::string reason;
        rlim_t sizeLimit = RLIM_INFINITY;
    } cases[] = {
        {"/dev/full", "No space left on device"},
        {closedPipe, "Broken pipe"},
        {limited, "File too large", before.size() + 2 * line.size() + line.size() / 2},
    };
    for (const auto& c : cases) {
        Reports seen;
        std::string error;
        auto log = LogFile::open(c.path, seen.sink(), error);
        ASSERT_TRUE(log) << error;
        rlimit saved{};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit limit = saved;
        limit.rlim_cur = std::min(c.sizeLimit, saved.rlim_max);
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        for (int i = 0; i < 50 && !log->stopped(); ++i) {
            log->write(line);
            ::usleep(1000);
        }
        EXPECT_TRUE(log->stopped()) << c.path;
        log->write("more\n");
        log.reset();
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
        if (c.path == limited) {
            // What the file held, then whole lines only: none torn at the limit.
            EXPECT_EQ(readAll(limited), before + line + line);
        }
        ASSERT_EQ(seen.taken().size(), 1u) << c.path;
        EXPECT_EQ(seen.taken()[0], "cannot write the log to " + c.path + ": " + c.reason +
                                       "; it is no longer written");
    }
    ::close(ends[1]);

    std::string error;
    EXPECT_FALSE(LogFile::open((dir / "no such folder" / "x.log").string(), reports.sink(), error));
    EXPECT_EQ(error, "cannot open the log file " + (dir / "no such folder" / "x.log").string() +
                         ": No such file or directory");
}

TEST_F(LogFileTest, AReaderThatFallsBehindNeverHoldsTheWindowUp) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);  // read by nobody until the end
    const std::string path = "/proc/self/fd/" + std::to_string(ends[1]);
    std::string error;
    auto log = LogFile::open(path, reports.sink(), error);
    ASSERT_TRUE(log) << error;
    // Twice what may wait: every call returns at once (a blocked one would hang the test).
    const std::string tick(64 * 1024, 'x');
    for (std::size_t written = 0; written < 2 * LogFile::kMaxWaiting; written += tick.size())
        log->write(tick);
    EXPECT_TRUE(log->stopped());
    EXPECT_EQ(reports.taken(),
              std::vector<std::string>{"the reader of " + path +
                                       " does not keep up; the log is no longer written to it"});
    ::close(ends[0]);  // lets the writer's last write fail, so the log ends at once
    log.reset();
    ::close(ends[1]);
    EXPECT_EQ(reports.taken().size(), 1u);
}

}  // namespace
}  // namespace tamblin::input
