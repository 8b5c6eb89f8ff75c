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

#include "support/Deadline.h"
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

constexpr const char* kEndOfAnswer = "\x04\n";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) found.push_back(line);
    return found;
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
    // A test that crashes, or that ctest kills, takes its server with it: a server hung at its
    // start-up would not act on a gentler signal, and would hold its entry in jack2's registry
    // of servers as a live one for good (a killed one's is reclaimed; see JackServer).
    ChildProgram::Options options;
    options.outputFile = logPath_;
    options.deathSignal = SIGKILL;
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
        if (ready() && openQuery(deadline)) return true;
        if (process_->wait(0ms)) {
            process_.reset();
            ADD_FAILURE() << program() << " ended at start-up:\n" << log();
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            std::string threads = "; its threads wait in\n" + waitChannels(process_->pid());
            if (query_)
                threads += "the query client's threads wait in\n" + waitChannels(query_->pid());
            stop();
            ADD_FAILURE() << program() << " did not accept clients within 10 s" << threads
                          << "\nThe server said:\n"
                          << log();
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
}

bool MidiServer::openQuery(std::chrono::steady_clock::time_point deadline) {
    if (!query_) {
        const std::string path = ChildProgram::built("tests/tamblin-jack-query");
        if (path.empty()) {
            ADD_FAILURE() << "TAMBLIN_BUILD_DIR is not set: cannot start tamblin-jack-query";
            return false;
        }
        ChildProgram::Options options;
        options.pipeInput = true;
        query_ = std::make_unique<ChildProgram>(std::vector<std::string>{path, name_}, options);
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return query_->takeOutUntil("ready\n", std::max(left, 0ms)).has_value();
}

void MidiServer::closeQuery() {
    if (!query_) return;
    query_->closeInput();  // it closes its client and ends
    if (!query_->wait(5s)) {
        std::cerr << "tamblin-jack-query did not end within 5 s of its input's end; its threads "
                     "wait in\n"
                  << waitChannels(query_->pid());
        query_->end(1s);
    }
    query_.reset();
}

std::optional<std::vector<std::string>> MidiServer::ask(const std::string& request) const {
    if (!query_) {
        ADD_FAILURE() << "asked " << program() << " \"" << request
                      << "\" while no query client runs (is the server running?)";
        return std::nullopt;
    }
    std::optional<std::string> answer;
    if (query_->send(request + "\n")) answer = query_->takeOutUntil(kEndOfAnswer, 10s);
    if (!answer) {
        ADD_FAILURE() << program() << " did not answer \"" << request
                      << "\" within 10 s; the query client "
                      << (query_->wait(0ms) ? "has ended" : "runs") << " and its threads wait in\n"
                      << waitChannels(query_->pid()) << "It said:\n"
                      << query_->err() << "\nThe server said:\n"
                      << log();
        return std::nullopt;
    }
    return lines(*answer);
}

bool MidiServer::answers() const {
    return ask("sync").has_value();
}

void MidiServer::stop() {
    closeQuery();
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
    // The server goes first. Killed first, the query client would leave jackd forgetting it, in
    // jack2's metadata database, when the server's own kill comes: a lock held then stays held
    // for every later server.
    if (running()) {
        process_->signal(SIGKILL);
        process_->wait(10s);
        process_.reset();
    }
    if (query_) {
        query_->signal(SIGKILL);
        query_->wait(10s);
        query_.reset();
    }
}

std::string MidiServer::log() const {
    return readFile(logPath_);
}

std::vector<std::string> MidiServer::ports(const std::string& pattern, unsigned long flags) const {
    return ask("ports " + std::to_string(flags) + " " + pattern)
        .value_or(std::vector<std::string>{});
}

std::unique_ptr<ChildProgram> MidiServer::startWithPort(const std::vector<std::string>& args,
                                                        const std::string& pattern) const {
    for (int attempt = 1;; ++attempt) {
        if (!waitForNoPort(pattern)) {
            ADD_FAILURE() << "a port matching " << pattern << " was still there after 10 s";
            return nullptr;
        }
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
    // A port shows as soon as its client has registered it, but a connection waits until the
    // client is active (the query client says -1 until jackd has said so; see jack_query.cpp).
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    int result = -1;
    // jackd says EEXIST for a connection that exists, PipeWire -EEXIST.
    while (result != 0 && result != EEXIST && result != -EEXIST) {
        const std::optional<std::vector<std::string>> answer =
            ask("connect " + source + "\t" + destination);
        if (!answer) return false;
        result = answer->size() == 1 ? std::atoi(answer->front().c_str()) : -1;
        if (result == 0 || result == EEXIST || result == -EEXIST) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            ADD_FAILURE() << "could not connect " << source << " to " << destination
                          << " within 10 s (" << result << "); the server said:\n"
                          << log();
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
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
    return ask("connections " + port).value_or(std::vector<std::string>{});
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
