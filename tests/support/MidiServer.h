#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/ChildProgram.h"
#include "support/Deadline.h"

namespace tamblin::testing {

enum class ServerKind { Jackd, PipeWire };

// A private server, started for one test, that this process's JACK clients (and the programs it
// starts) reach through libjack: jackd itself (JackServer) or PipeWire through its JACK library
// (PipeWireServer). A server that cannot be started fails the running test; it never skips it.
//
// Declare it before everything that uses JACK, so that it goes last. The port helpers ask one
// client per server, which runs in a child process (tamblin-jack-query) from the server's start
// to its stop: this process opens no client beside those under test, and a server that stops
// answering fails the request at its deadline instead of holding the test.
//
// libjack names a client's notification socket after the client alone (/dev/shm/jack_<client>_
// <uid>_0), whatever its server, so clients of one name in two processes ("Tamblin-01", say)
// break each other although each process has a server of its own. The first server of a
// process therefore takes a lock file of the machine and the process keeps it until it ends:
// test programs with real MIDI run one at a time, even from two test runs at once, whichever
// server they use.
class MidiServer {
public:
    virtual ~MidiServer();
    MidiServer(const MidiServer&) = delete;
    MidiServer& operator=(const MidiServer&) = delete;

    virtual ServerKind kind() const = 0;
    // Starts the server again after kill(), under the same name; records a test failure when it
    // cannot. Returns whether it runs.
    virtual bool start() = 0;
    // Ends the server at once, as a crash would, and gives the clients of this process a moment
    // to notice. Those clients must not be used or destroyed afterwards (jackd's libjack frees
    // them when the next client opens); see abandon().
    virtual void kill() = 0;
    // Stops the server's process (SIGSTOP) as a hung server would be, and lets it go on again.
    void suspend();
    void resume();
    bool running() const { return process_ != nullptr; }
    // The server's name: what clients pass with JackServerName to reach it.
    const std::string& name() const { return name_; }

    // Full names of the ports matching the extended regular expression `pattern` (all ports for
    // an empty one), optionally only those with `flags` (JackPortIsInput, JackPortIsOutput).
    std::vector<std::string> ports(const std::string& pattern = {}, unsigned long flags = 0) const;
    // Polls until a port matching `pattern` exists; its full name, or nothing on timeout.
    std::optional<std::string> waitForPort(
        const std::string& pattern, unsigned long flags = 0,
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Starts `args`, a program that makes a port matching `pattern`, and waits for the port.
    // It starts the program only once no port matches `pattern`: JACK gives a client whose name
    // is still taken, by an earlier run of the program whose client the server has not removed
    // yet, another name ("tamblin-send-01"), and its port would never match. A program whose
    // port has not appeared within 10 s is killed and started once more, with a line on standard
    // error that says what the server had and where the program's threads were waiting. Null,
    // with a test failure that says what the server had and the program said, when the second
    // start fails too.
    std::unique_ptr<ChildProgram> startWithPort(const std::vector<std::string>& args,
                                                const std::string& pattern) const;
    // Polls until no port matches `pattern`; false on timeout.
    bool waitForNoPort(const std::string& pattern,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Waits until the server answers a request of its own, so that a program started next finds
    // it answering: jackd -S stalls for 5 s when a client ends without its close (a killed
    // program, or one that gave up waiting for its close). False, with a test failure, when it
    // does not answer within 10 s.
    bool answers() const;
    // Connects two ports and waits until the server has taken the connection up (see
    // connectionsSettled()): what is written into it from then on arrives.
    bool connect(const std::string& source, const std::string& destination) const;
    // Polls until `port` is connected to something and the server has taken up every
    // connection; false on timeout. For connections that others make.
    bool waitForConnection(const std::string& port,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Full names of the ports connected to `port`.
    std::vector<std::string> connections(const std::string& port) const;

    // Keeps an object made on a server that has been killed from ever being destroyed (its
    // destructor would call into a freed client), while leaving it reachable for leak checkers.
    template <typename T>
    static void abandon(std::unique_ptr<T> object) {
        abandonPointer(object.release());
    }

protected:
    // Takes the machine-wide lock and names the server "<prefix>-<pid>-<count>".
    explicit MidiServer(const std::string& prefix);

    // Starts `path` with `args` (args[0] the program's name) and exactly the environment
    // `environment` (NAME=value each), its output going to the server's log. The child dies with
    // this process. False, and a test failure, when it cannot be started.
    bool spawn(const std::string& path, const std::vector<std::string>& args,
               const std::vector<std::string>& environment);
    // Polls until `ready` answers true and the query client is up on the server; stops the
    // server and fails the test when the server ends or 10 s pass first.
    bool waitUntilReady(const std::function<bool()>& ready);
    // Asks the server to end (SIGTERM) and waits; kills it when it takes too long.
    void stop();
    // Kills the server (SIGKILL) and waits for its end.
    void killProcess();
    // Whether every connection on the server carries data yet. jackd -S takes a connection up
    // in the graph it runs next, before any client's next cycle; PipeWire negotiates each link
    // with both clients first, asynchronously.
    virtual bool connectionsSettled() const { return true; }
    std::string log() const;
    // The program's name for messages ("jackd", "pipewire").
    virtual const char* program() const = 0;

    static std::vector<std::string> currentEnvironment();
    // `path` on PATH: its full name, or empty.
    static std::string onPath(const std::string& program);

private:
    static void abandonPointer(const void* object);
    // Starts the query client, if it does not run, and waits until `deadline` for it to be up.
    bool openQuery(std::chrono::steady_clock::time_point deadline);
    // Ends the query client, its client closing first.
    void closeQuery();
    // The query client's answer to `request`, a line each; nothing, and a test failure that says
    // where it waited, when it gives none within 10 s.
    std::optional<std::vector<std::string>> ask(const std::string& request) const;

    std::string name_;
    std::unique_ptr<ChildProgram> process_;  // while it runs
    std::unique_ptr<ChildProgram> query_;    // while the server runs
    std::string logPath_;
    DeadlineReport deadlineReport_{[this] { return "The server " + name_ + " said:\n" + log(); }};
};

// A server of `kind`, started. A test failure is recorded when it cannot start: check running().
std::unique_ptr<MidiServer> startServer(ServerKind kind);

// The servers this process runs its tests on: the one TAMBLIN_TEST_SERVER names ("jackd" or
// "pipewire"), or else the one whose libjack the process has loaded. ctest starts each real-MIDI
// program once per server, with PipeWire's libjack on LD_LIBRARY_PATH for PipeWire, as pw-jack
// does: one process cannot load both libjacks.
std::vector<ServerKind> serversUnderTest();
// Full path of the libjack this process has loaded.
std::string loadedLibjack();
// Whether that is PipeWire's (from its folder, TAMBLIN_PIPEWIRE_JACK_DIR at build time).
bool libjackIsPipeWires();

// The last part of a test's name, after its server: ".../Jackd", ".../PipeWire".
std::string serverTestName(const ::testing::TestParamInfo<ServerKind>& info);
void PrintTo(ServerKind kind, std::ostream* out);

// Base of fixtures that run on each server of serversUnderTest(): its server starts before the
// derived fixture's members and goes after them. Instantiate a derived fixture with
//     INSTANTIATE_TEST_SUITE_P(Servers, MyJackTest, ::testing::ValuesIn(serversUnderTest()),
//                              serverTestName);
// (tests/CMakeLists.txt registers a program that does so once for each server.)
class ServerTest : public ::testing::TestWithParam<ServerKind> {
protected:
    std::unique_ptr<MidiServer> ownedServer_ = startServer(GetParam());
    MidiServer& server = *ownedServer_;
};

}  // namespace tamblin::testing
