#include "support/MidiServer.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "support/JackServer.h"
#include "support/PipeWireServer.h"

extern char** environ;

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

// The machine-wide lock, taken by the first server of the process and kept until the process
// ends. Giving it back between servers would let test processes take turns, and a process keeps
// JACK clients beyond the life of their server (abandoned ones, and libjack's own state), whose
// notification sockets another process's clients of the same name would take over.
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

std::string canonical(const std::filesystem::path& path) {
    std::error_code error;
    const std::filesystem::path found = std::filesystem::canonical(path, error);
    return error ? path.string() : found.string();
}

}  // namespace

MidiServer::MidiServer(const std::string& prefix) {
    lockMachine();
    static std::atomic<int> counter{0};
    name_ = prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    logPath_ = (std::filesystem::temp_directory_path() / (name_ + ".log")).string();
}

MidiServer::~MidiServer() {
    // What the server said is worth reading when the test failed.
    if (::testing::Test::HasFailure() && std::filesystem::exists(logPath_))
        std::printf("the server said:\n%s", log().c_str());
    std::filesystem::remove(logPath_);
}

std::vector<std::string> MidiServer::currentEnvironment() {
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable)
        variables.emplace_back(*variable);
    return variables;
}

std::string MidiServer::onPath(const std::string& program) {
    std::istringstream directories(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
    for (std::string directory; std::getline(directories, directory, ':');) {
        const std::string candidate = directory + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

bool MidiServer::spawn(const std::string& path, const std::vector<std::string>& args,
                       const std::vector<std::string>& environment) {
    // A test that crashes takes its server with it.
    ChildProgram::Options options;
    options.outputFile = logPath_;
    options.deathSignal = SIGTERM;
    options.executable = path;
    options.environment = environment;
    auto process = std::make_unique<ChildProgram>(args, options);
    if (!process->started()) {
        ADD_FAILURE() << "cannot start " << program() << ": " << std::strerror(errno);
        return false;
    }
    process_ = std::move(process);
    return true;
}

bool MidiServer::waitUntilReady(const std::function<bool()>& ready) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (true) {
        if (ready()) return true;
        if (process_->wait(0ms)) {
            process_.reset();
            ADD_FAILURE() << program() << " ended at start-up:\n" << log();
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            stop();
            ADD_FAILURE() << program() << " did not accept clients within 10 s:\n" << log();
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
}

void MidiServer::stop() {
    if (!running()) return;
    process_->signal(SIGCONT);  // a suspended server could not act on SIGTERM
    process_->end(5s);
    process_.reset();
}

void MidiServer::suspend() {
    if (running()) process_->signal(SIGSTOP);
}

void MidiServer::resume() {
    if (running()) process_->signal(SIGCONT);
}

void MidiServer::killProcess() {
    if (!running()) return;
    process_->signal(SIGKILL);
    process_->wait(10s);
    process_.reset();
}

bool MidiServer::acceptsClients() const {
    return withClient(
        name_, [](jack_client_t*) {}, 0ms);
}

std::string MidiServer::log() const {
    return readFile(logPath_);
}

std::vector<std::string> MidiServer::ports(const std::string& pattern, unsigned long flags) const {
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

namespace {

// What each thread of process `pid` is waiting in, one "name: wait channel" a thread.
std::string waitChannels(pid_t pid) {
    std::string text;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream comm(task.path() / "comm");
        std::ifstream wchan(task.path() / "wchan");
        std::string name;
        std::string channel;
        std::getline(comm, name);
        std::getline(wchan, channel);
        text += "  " + name + ": " + channel + "\n";
    }
    return text;
}

}  // namespace

std::unique_ptr<ChildProgram> MidiServer::startWithPort(const std::vector<std::string>& args,
                                                        const std::string& pattern) const {
    for (int attempt = 1;; ++attempt) {
        auto program = std::make_unique<ChildProgram>(args);
        if (waitForPort(pattern)) return program;
        std::string names;
        for (const std::string& port : ports()) names += "  " + port + "\n";
        if (attempt == 2) {
            ADD_FAILURE() << args.front() << " made no port matching " << pattern
                          << " twice; the server has\n"
                          << names << "and the program said\n"
                          << program->err();
            return nullptr;
        }
        std::cerr << args.front() << " made no port matching " << pattern
                  << " within 10 s; the server has\n"
                  << names << "and its threads wait in\n"
                  << waitChannels(program->pid()) << "It is started once more.\n";
        program->signal(SIGKILL);
        program->wait(std::chrono::seconds(10));
    }
}

std::optional<std::string> MidiServer::waitForPort(const std::string& pattern, unsigned long flags,
                                                   std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const std::vector<std::string> found = ports(pattern, flags);
        if (!found.empty()) return found.front();
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
}

bool MidiServer::waitForNoPort(const std::string& pattern,
                               std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!ports(pattern).empty()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool MidiServer::connect(const std::string& source, const std::string& destination) const {
    int result = -1;
    withClient(name_, [&](jack_client_t* client) {
        result = jack_connect(client, source.c_str(), destination.c_str());
    });
    // jackd says EEXIST for a connection that exists, PipeWire -EEXIST.
    if (result != 0 && result != EEXIST && result != -EEXIST) return false;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!connectionsSettled()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

bool MidiServer::waitForConnection(const std::string& port,
                                   std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (connections(port).empty() || !connectionsSettled()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::vector<std::string> MidiServer::connections(const std::string& port) const {
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

void MidiServer::abandonPointer(const void* object) {
    static std::mutex mutex;
    static auto* kept = new std::vector<const void*>();
    std::lock_guard lock(mutex);
    kept->push_back(object);
}

std::unique_ptr<MidiServer> startServer(ServerKind kind) {
    if (kind == ServerKind::PipeWire) return std::make_unique<PipeWireServer>();
    return std::make_unique<JackServer>();
}

std::string loadedLibjack() {
    Dl_info info{};
    void* symbol = ::dlsym(RTLD_DEFAULT, "jack_client_open");
    if (symbol == nullptr || ::dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) return {};
    return canonical(info.dli_fname);
}

bool libjackIsPipeWires() {
    const std::string loaded = loadedLibjack();
    return !loaded.empty() && std::filesystem::path(loaded).parent_path().string() ==
                                  canonical(TAMBLIN_PIPEWIRE_JACK_DIR);
}

std::vector<ServerKind> serversUnderTest() {
    const char* chosen = std::getenv("TAMBLIN_TEST_SERVER");
    if (chosen == nullptr || *chosen == '\0')
        return {libjackIsPipeWires() ? ServerKind::PipeWire : ServerKind::Jackd};
    if (std::strcmp(chosen, "jackd") == 0) return {ServerKind::Jackd};
    if (std::strcmp(chosen, "pipewire") == 0) return {ServerKind::PipeWire};
    // Both, so that the one this process cannot reach fails and says why.
    return {ServerKind::Jackd, ServerKind::PipeWire};
}

std::string serverTestName(const ::testing::TestParamInfo<ServerKind>& info) {
    return info.param == ServerKind::PipeWire ? "PipeWire" : "Jackd";
}

void PrintTo(ServerKind kind, std::ostream* out) {
    *out << (kind == ServerKind::PipeWire ? "PipeWire" : "jackd");
}

}  // namespace tamblin::testing

#if defined(__SANITIZE_THREAD__)
// JACK clients of one process hand MIDI data to each other in port buffers of shared memory: one
// client's process thread writes a buffer (jack_midi_event_write copies into it), the next one's
// reads it, ordered by the futexes that libjack runs its graph with, which ThreadSanitizer cannot
// see. Those copies would show as races; races in our own code are still reported.
extern "C" const char* __tsan_default_suppressions() {
    return "race:jack_midi_event_write\nrace:jack_midi_event_reserve\n";
}
#endif
