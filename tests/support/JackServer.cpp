#include "support/JackServer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace tamblin::testing {

namespace {

using namespace std::chrono_literals;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Opens a client on server `name` without starting one; null when none answers. Each client
// has a name of its own: JACK can refuse a client whose name a closing one still holds.
jack_client_t* openClient(const std::string& name) {
    static std::atomic<int> counter{0};
    const std::string client = "tamblin-test-helper-" + std::to_string(++counter);
    jack_status_t status{};
    return jack_client_open(client.c_str(),
                            static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                            &status, name.c_str());
}

// Runs `use` with a client of server `name`; false when no client could be opened within
// `patience` (a loaded machine can make the server slow to answer).
template <typename Use>
bool withClient(const std::string& name, Use use, std::chrono::milliseconds patience = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    jack_client_t* client = nullptr;
    while ((client = openClient(name)) == nullptr) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    use(client);
    jack_client_close(client);
    return true;
}

bool reap(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const pid_t done = ::waitpid(pid, nullptr, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
}

// The machine-wide lock, taken by the first JackServer of the process and kept until the process
// ends. Giving it back between servers would let JACK test processes take turns, and a process
// keeps JACK clients beyond the life of their server (abandoned ones, and libjack's own state),
// whose notification sockets another process's clients of the same name would take over.
void lockMachine() {
    static std::once_flag once;
    std::call_once(once, [] {
        const auto path = std::filesystem::temp_directory_path() / "tamblin-jack-tests.lock";
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0)
            ADD_FAILURE() << "cannot lock " << path << ": " << std::strerror(errno);
        // The descriptor stays open, and the lock held, until the process ends.
    });
}

}  // namespace

JackServer::JackServer() {
    lockMachine();
    static std::atomic<int> counter{0};
    name_ = "tamblin-test-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    logPath_ = (std::filesystem::temp_directory_path() / (name_ + ".log")).string();
    start();
}

JackServer::~JackServer() {
    // A killed server leaves its entry in JACK's registry of servers, which holds only eight:
    // starting one under the same name reclaims it, and a proper stop then clears it.
    if (killed_ && spawn()) waitUntilReady();
    stop();
    // What the server said is worth reading when the test failed.
    if (::testing::Test::HasFailure()) std::printf("jackd said:\n%s", readFile(logPath_).c_str());
    std::filesystem::remove(logPath_);
}

bool JackServer::spawn() {
    std::string path;
    std::istringstream directories(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
    for (std::string directory; std::getline(directories, directory, ':');) {
        const std::string candidate = directory + "/jackd";
        if (::access(candidate.c_str(), X_OK) == 0) {
            path = candidate;
            break;
        }
    }
    if (path.empty()) {
        ADD_FAILURE() << "cannot start jackd: not found on PATH (is the jackd2 package installed?)";
        return false;
    }
    // Synchronous mode: in asynchronous mode a client that joins late loses events here.
    std::vector<std::string> args = {"jackd", "-S",    "-n", name_, "--no-realtime", "-d", "dummy",
                                     "-r",    "48000", "-p", "256"};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ADD_FAILURE() << "cannot start jackd: " << std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec. A test that crashes takes its
        // server with it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        const int log = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = ::open("/dev/null", O_RDONLY);
        if (log < 0 || null < 0) ::_exit(127);
        ::dup2(null, STDIN_FILENO);
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    pid_ = pid;
    killed_ = false;
    return true;
}

bool JackServer::waitUntilReady() {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (true) {
        // Trying a client only once the server's socket exists spares the log a screenful of
        // libjack's connection errors.
        if (serverSocketExists() && withClient(
                                        name_, [](jack_client_t*) {}, 0ms))
            return true;
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            ADD_FAILURE() << "jackd ended at start-up:\n" << readFile(logPath_);
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            stop();
            ADD_FAILURE() << "jackd did not accept clients within 10 s:\n" << readFile(logPath_);
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
}

bool JackServer::start() {
    if (running()) return true;
    ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    ::setenv("JACK_NO_START_SERVER", "1", 1);
    return spawn() && waitUntilReady();
}

void JackServer::stop() {
    if (!running()) return;
    ::kill(pid_, SIGCONT);  // a suspended server could not act on SIGTERM
    ::kill(pid_, SIGTERM);
    if (!reap(pid_, 5s)) {
        ::kill(pid_, SIGKILL);
        reap(pid_, 10s);
    }
    pid_ = -1;
    removeLeftovers();
}

void JackServer::kill() {
    if (!running()) return;
    ::kill(pid_, SIGKILL);
    reap(pid_, 10s);
    pid_ = -1;
    killed_ = true;
    removeLeftovers();
    // The clients of this process learn of the loss on their own threads, at once in practice.
    // Their owners must see it before the next client opens and libjack frees them, so this
    // waits a moment rather than let the test's next step race them.
    std::this_thread::sleep_for(200ms);
}

void JackServer::suspend() {
    if (running()) ::kill(pid_, SIGSTOP);
}

void JackServer::resume() {
    if (running()) ::kill(pid_, SIGCONT);
}

std::vector<std::filesystem::path> JackServer::serverFiles() const {
    const std::string socketPrefix = "jack_" + name_ + "_";
    const std::string semaphorePrefix =
        "jack_sem." + std::to_string(::getuid()) + "_" + name_ + "_";
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
    const std::string socketPrefix = "jack_" + name_ + "_";
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

std::vector<std::string> JackServer::ports(const std::string& pattern, unsigned long flags) const {
    std::vector<std::string> names;
    withClient(name_, [&](jack_client_t* client) {
        const char** found =
            jack_get_ports(client, pattern.empty() ? nullptr : pattern.c_str(), nullptr, flags);
        if (found == nullptr) return;
        for (const char** port = found; *port != nullptr; ++port) names.emplace_back(*port);
        jack_free(static_cast<void*>(found));
    });
    return names;
}

std::optional<std::string> JackServer::waitForPort(const std::string& pattern, unsigned long flags,
                                                   std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const std::vector<std::string> found = ports(pattern, flags);
        if (!found.empty()) return found.front();
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
}

bool JackServer::waitForNoPort(const std::string& pattern,
                               std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!ports(pattern).empty()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool JackServer::connect(const std::string& source, const std::string& destination) const {
    int result = -1;
    withClient(name_, [&](jack_client_t* client) {
        result = jack_connect(client, source.c_str(), destination.c_str());
    });
    return result == 0 || result == EEXIST;
}

std::vector<std::string> JackServer::connections(const std::string& port) const {
    std::vector<std::string> names;
    withClient(name_, [&](jack_client_t* client) {
        jack_port_t* found = jack_port_by_name(client, port.c_str());
        if (found == nullptr) return;
        const char** connected = jack_port_get_all_connections(client, found);
        if (connected == nullptr) return;
        for (const char** name = connected; *name != nullptr; ++name) names.emplace_back(*name);
        jack_free(static_cast<void*>(connected));
    });
    return names;
}

void JackServer::abandonPointer(const void* object) {
    static std::mutex mutex;
    static auto* kept = new std::vector<const void*>();
    std::lock_guard lock(mutex);
    kept->push_back(object);
}

}  // namespace tamblin::testing

#if defined(__SANITIZE_THREAD__)
// JACK clients of one process hand MIDI data to each other in port buffers of shared memory: one
// client's process thread writes a buffer (jack_midi_event_write copies into it), the next one's
// reads it, ordered by the futexes that libjack runs its graph with, which ThreadSanitizer cannot
// see. RtMidi's clients (tamblin-send) pass data through lock-free rings ordered by barriers
// inside libjack in the same way. Their copies would show as races; races in our own code are
// still reported.
extern "C" const char* __tsan_default_suppressions() {
    return "race:jack_midi_event_write\nrace:jack_midi_event_reserve\n"
           "race:jack_ringbuffer_read\nrace:jack_ringbuffer_peek\nrace:jack_ringbuffer_write\n";
}
#endif
