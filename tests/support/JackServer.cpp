#include "support/JackServer.h"

#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tamblin::testing {

using namespace std::chrono_literals;

namespace {

// Runs tamblin-jack-query with `arguments`, which tidies what jack2 keeps in /dev/shm, and fails
// the test, saying it could not do `what`, when that fails.
void tidy(const std::vector<std::string>& arguments, const std::string& what) {
    std::vector<std::string> command{ChildProgram::built("tests/tamblin-jack-query")};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ChildProgram tool(command);
    const std::optional<int> status = tool.wait(60s);
    if (!tool.out().empty()) std::cerr << tool.out();
    if (status != 0) ADD_FAILURE() << "could not " << what << ": " << tool.err();
}

// Clears the entries of jack2's registry of servers that our servers named `prefix`... left when
// they were killed (see tamblin-jack-query), so that they never fill it.
void reclaimStaleRegistrations(const std::string& prefix) {
    tidy({"--reclaim", prefix},
         "clear the registry entries of the servers named " + prefix + "...");
}

}  // namespace

JackServer::JackServer() : MidiServer("tamblin-test") {
    if (libjackIsPipeWires()) {
        ADD_FAILURE() << "this process loaded PipeWire's libjack (" << loadedLibjack()
                      << "), which cannot reach jackd: run it without PipeWire's libjack folder "
                         "on LD_LIBRARY_PATH";
        return;
    }
    // Those of earlier test runs, killed with their test, say.
    static std::once_flag once;
    std::call_once(once, [] { reclaimStaleRegistrations("tamblin-"); });
    start();
}

JackServer::~JackServer() {
    // A killed server leaves its entry in JACK's registry of servers, which holds only eight:
    // starting one under the same name reclaims it, and a proper stop then clears it.
    if (killed_ && spawnJackd()) waitUntilAccepting();
    stopJackd();
    // A server that did not end when asked was killed.
    reclaimStaleRegistrations(name());
}

bool JackServer::spawnJackd() {
    const std::string path = onPath("jackd");
    if (path.empty()) {
        ADD_FAILURE() << "cannot start jackd: not found on PATH (is the jackd2 package installed?)";
        return false;
    }
    // A process killed while it held a lock of jack2's metadata database (such as a server that a
    // test kills) leaves it held, and jackd would hang at its start: with no jackd running, the
    // database starts anew.
    tidy({"--clear-metadata"}, "clear jack2's metadata database");
    // Synchronous mode: in asynchronous mode a client that joins late loses events here.
    const bool spawned = spawn(
        path,
        {"jackd", "-S", "-n", name(), "--no-realtime", "-d", "dummy", "-r", "48000", "-p", "256"},
        currentEnvironment());
    if (spawned) killed_ = false;
    return spawned;
}

bool JackServer::waitUntilAccepting() {
    // Trying a client only once the server's socket exists spares the log a screenful of
    // libjack's connection errors.
    return waitUntilReady([this] { return serverSocketExists(); });
}

bool JackServer::start() {
    if (running()) return true;
    ::setenv("JACK_DEFAULT_SERVER", name().c_str(), 1);
    ::setenv("JACK_NO_START_SERVER", "1", 1);
    return spawnJackd() && waitUntilAccepting();
}

void JackServer::stopJackd() {
    if (!running()) return;
    stop();
    removeLeftovers();
}

void JackServer::kill() {
    if (!running()) return;
    killProcess();
    killed_ = true;
    removeLeftovers();
    // The clients of this process learn of the loss on their own threads, at once in practice.
    // Their owners must see it before the next client opens and libjack frees them, so this
    // waits a moment rather than let the test's next step race them.
    std::this_thread::sleep_for(200ms);
}

std::vector<std::filesystem::path> JackServer::serverFiles() const {
    const std::string socketPrefix = "jack_" + name() + "_";
    const std::string semaphorePrefix =
        "jack_sem." + std::to_string(::getuid()) + "_" + name() + "_";
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", error)) {
        const std::string file = entry.path().filename().string();
        if (file.starts_with(socketPrefix) || file.starts_with(semaphorePrefix))
            files.push_back(entry.path());
    }
    return files;
}

bool JackServer::serverSocketExists() const {
    const std::string socketPrefix = "jack_" + name() + "_";
    for (const auto& file : serverFiles())
        if (file.filename().string().starts_with(socketPrefix)) return true;
    return false;
}

void JackServer::removeLeftovers() const {
    // A server that was killed leaves its socket and semaphore files behind. (Its shared memory
    // is reclaimed by the next server that starts.)
    std::error_code error;
    for (const auto& file : serverFiles()) std::filesystem::remove(file, error);
}

}  // namespace tamblin::testing
