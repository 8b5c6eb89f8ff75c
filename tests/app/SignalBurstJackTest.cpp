// The real program under a burst of terminating signals: however many arrive, of whatever kind,
// it ends once, at once, with status 0 and its ports closed; with its main window up, and with
// the start-up device dialog up. It runs on a private Xvfb, where the test sees which window it
// shows, over a private server (jackd, or PipeWire through its libjack) with one or two MIDI
// sources.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProgram.h"
#include "support/JackEndpoints.h"
#include "support/MidiServer.h"
#include "support/XServer.h"

namespace tamblin::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kMonitorPorts = "^Tamblin(-[0-9]+)?:";

// Whether signal `number`, sent to process `pid`, still waits to be delivered to it.
bool pending(pid_t pid, int number) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("State:") && line.find('Z') != std::string::npos) return false;
        if (line.starts_with("ShdPnd:"))
            return (std::stoull(line.substr(7), nullptr, 16) >> (number - 1) & 1) != 0;
    }
    return false;
}

// Sends `rounds` times SIGUSR1, SIGTERM, SIGHUP, SIGUSR2 and SIGINT, each once the one before has
// been delivered: a signal sent while another of its kind is still pending would merge with it.
// Stops early when a signal is not taken within a second: the program takes no more.
void burst(const ChildProgram& program, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        for (int signal : {SIGUSR1, SIGTERM, SIGHUP, SIGUSR2, SIGINT}) {
            program.signal(signal);
            const auto deadline = std::chrono::steady_clock::now() + 1s;
            while (pending(program.pid(), signal)) {
                if (std::chrono::steady_clock::now() >= deadline) return;
                std::this_thread::yield();
            }
        }
    }
}

class SignalBurstJackTest : public ServerTest {};

TEST_P(SignalBurstJackTest, AnyNumberOfSignalsEndTheProgramOnceWithItsPortsClosed) {
    XServer x;
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(x.running());
    x.exportDisplay();
    const std::string program = ChildProgram::built("src/app/tamblin");
    ASSERT_FALSE(program.empty()) << "TAMBLIN_BUILD_DIR is not set";

    struct Case {
        const char* what;
        int sources;
        const char* window;
    };
    for (const Case& c : {Case{"main window up", 1, "Tamblin V0.2"},
                          Case{"start-up device dialog up", 2, "Select MIDI device"}}) {
        SCOPED_TRACE(c.what);
        std::vector<std::unique_ptr<JackSource>> sources;
        for (int i = 0; i < c.sources; ++i)
            sources.push_back(
                std::make_unique<JackSource>("tamblin-test-source-" + std::to_string(i)));
        ChildProgram monitor({program});
        ASSERT_TRUE(x.waitForWindow({c.window})) << monitor.err();
        if (c.sources == 1) {
            ASSERT_TRUE(server.waitForPort(kMonitorPorts)) << "the input is open";
        }

        burst(monitor, 200);
        EXPECT_EQ(monitor.wait(60s), std::optional<int>(0)) << "nothing: it hangs\n"
                                                            << monitor.err();
        EXPECT_TRUE(server.ports(kMonitorPorts).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, SignalBurstJackTest, ::testing::ValuesIn(serversUnderTest()),
                         serverTestName);

}  // namespace
}  // namespace tamblin::testing
