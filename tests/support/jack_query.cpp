// tamblin-jack-query SERVER: one JACK client of its own that answers the tests' questions about
// server SERVER, so that a test process never opens and closes clients beside the client under
// test (libjack deadlocks when two clients of one process open and close at once right after a
// server's death).
//
// It opens its client, retrying until the server accepts it, and prints "ready". Then it reads
// one request a line from standard input and answers each with lines ended by a line holding the
// one character 0x04, which no port name has:
//   ports FLAGS PATTERN     full names of the ports matching PATTERN (all when empty) with FLAGS
//   connect SOURCE<TAB>DESTINATION
//                           jack_connect's result; -1, without a request, while a port's client
//                           is not known to be active (see ActivePorts)
//   connections PORT        full names of the ports connected to PORT
// It closes its client and ends at the end of its input, and ends at once when its server goes.
//
// tamblin-jack-query --reclaim PREFIX: clears the entries that jackd servers named PREFIX...
// left in jack2's registry of servers when they were killed (see reclaimStale()), and says which.
// tamblin-jack-query --clear-metadata: with no jackd running, clears jack2's metadata database,
// which a killed process may have left locked (see clearUnusedMetadata()).
// tamblin-jack-query --reset PREFIX: before any test, under the tests' machine-wide lock (no test
// process holds libjack's mapping of the registry then): with no jackd running at all, clears
// what jack2 left in /dev/shm (see resetRegistry()); else as --reclaim.
#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

namespace {

void quiet(const char*) {}

void serverGone(void*) {
    static constexpr char kGone[] = "gone\n";
    [[maybe_unused]] const ssize_t n = ::write(STDOUT_FILENO, kGone, sizeof kGone - 1);
    ::_exit(0);
}

// jackd takes a client for active as soon as its jack_activate has begun: the client marks itself
// active in shared memory before it sends its request, and jackd connects the ports of any client
// so marked. A connection made in that window enters the graph before the client does; its
// destination then waits in every cycle for a client that is never run, and the whole server
// stalls until the activation gives up after 5 s ("JackEngine::ClientActivate wait error").
// jackd tells an active client of another's ports only once that one's activation has gone
// through (or when it registers them later, active), so a connection waits for that word.
// The ports there were when this client became active have their clients' activations behind
// them, but for one that was under way at that very moment.
class ActivePorts {
public:
    explicit ActivePorts(jack_client_t* client) : client_(client) {
        jack_set_port_registration_callback(client, &ActivePorts::registration, this);
    }

    // After jack_activate.
    void takeExisting() {
        const char** names = jack_get_ports(client_, nullptr, nullptr, 0);
        if (names == nullptr) return;
        std::lock_guard lock(mutex_);
        for (const char** name = names; *name != nullptr; ++name)
            if (jack_port_t* port = jack_port_by_name(client_, *name)) active_.push_back(port);
        jack_free(static_cast<void*>(names));
    }

    bool active(const std::string& name) {
        jack_port_t* port = jack_port_by_name(client_, name.c_str());
        std::lock_guard lock(mutex_);
        return port != nullptr && std::find(active_.begin(), active_.end(), port) != active_.end();
    }

private:
    static void registration(jack_port_id_t id, int registered, void* self) {
        auto& ports = *static_cast<ActivePorts*>(self);
        jack_port_t* port = jack_port_by_id(ports.client_, id);
        std::lock_guard lock(ports.mutex_);
        std::erase(ports.active_, port);
        if (registered != 0 && port != nullptr) ports.active_.push_back(port);
    }

    jack_client_t* client_;
    std::mutex mutex_;
    std::vector<jack_port_t*> active_;
};

void printNames(const char** names) {
    if (names == nullptr) return;
    for (const char** name = names; *name != nullptr; ++name) std::cout << *name << '\n';
    jack_free(static_cast<void*>(names));
}

// jack2 keeps the servers of the machine in a registry in shared memory that has room for eight
// (jack2 common/shm.h, jack_shm_header_t): a server that starts takes an entry, one that stops
// properly gives it back, and a killed one leaves it behind for good, unless a server of the
// same name starts again and reclaims it. Once eight are left behind, no jackd starts on the
// machine ("Too many servers already active").
struct Registration {
    pid_t pid;
    std::string name;
};

constexpr std::size_t kHeaderBytes = 24;
constexpr std::size_t kEntryBytes = 264;  // pid_t, then a name of at most 256 bytes
constexpr std::size_t kEntries = 8;

std::vector<Registration> registrations() {
    std::vector<Registration> found;
    const int fd = ::open("/dev/shm/jack-shm-registry", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return found;
    std::array<unsigned char, kHeaderBytes + kEntries * kEntryBytes> bytes{};
    const ssize_t n = ::read(fd, bytes.data(), bytes.size());
    ::close(fd);
    std::uint32_t magic = 0;
    std::int32_t headerLength = 0;
    std::memcpy(&magic, bytes.data(), sizeof magic);
    std::memcpy(&headerLength, bytes.data() + 16, sizeof headerLength);
    // Only a registry laid out as this program knows it is read.
    if (n != static_cast<ssize_t>(bytes.size()) || magic != 0x4a41434bu ||
        headerLength != static_cast<std::int32_t>(bytes.size()))
        return found;
    for (std::size_t i = 0; i < kEntries; ++i) {
        const unsigned char* entry = bytes.data() + kHeaderBytes + i * kEntryBytes;
        std::int32_t pid = 0;
        std::memcpy(&pid, entry, sizeof pid);
        // "jack-UID:NAME:", as jack_set_server_prefix writes it.
        const char* text = reinterpret_cast<const char*>(entry + sizeof pid);
        std::string name(text, ::strnlen(text, 256));
        const std::size_t colon = name.find(':');
        if (colon == std::string::npos || name.back() != ':') continue;
        name = name.substr(colon + 1, name.size() - colon - 2);
        if (pid != 0) found.push_back({pid, name});
    }
    return found;
}

bool registered(const std::string& name, pid_t pid) {
    for (const Registration& r : registrations())
        if (r.name == name && r.pid == pid) return true;
    return false;
}

// Whether a jackd runs on the machine, anybody's.
bool jackdRuns() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && name == "jackd") return true;
    }
    return false;
}

// With no jackd running, every entry of the registry is stale, and what jack2 keeps in /dev/shm is
// left over: the registry, the servers' segments and the metadata database, whose locks a killed
// client may still hold (every later server and client then waits on them for ever). They all
// go, this user's segments and database at least, and the next server makes them anew.
int resetRegistry() {
    const std::string user = std::to_string(::getuid());
    int failures = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", error)) {
        const std::string name = entry.path().filename().string();
        if (name != "jack-shm-registry" && name.rfind("jack-" + user + "-", 0) != 0 &&
            name != "jack_db-" + user)
            continue;
        std::error_code removeError;
        std::filesystem::remove_all(entry.path(), removeError);
        if (removeError) ++failures;
    }
    if (failures != 0) std::printf("could not clear jack2's files in /dev/shm\n");
    return failures == 0 ? 0 : 1;
}

// jack2 keeps one metadata database for all the servers and clients of a user, and its locks are
// mutexes in shared memory. A process killed while it holds one (jackd takes them as it forgets
// a client that closed or died) leaves it held for good: every later jackd then hangs at its
// start, before it accepts any client. With no jackd running, the database holds nothing worth
// keeping; it goes, and the next server makes it anew. A process that still has the old one
// open keeps it to itself. It is first set aside under another name: a client that starts
// meanwhile (one that follows a server that has gone, say) makes a new one under the old name,
// which would stop its removal with "Directory not empty".
int clearUnusedMetadata() {
    if (jackdRuns()) return 0;
    const std::string path = "/dev/shm/jack_db-" + std::to_string(::getuid());
    const std::string aside = path + ".cleared-" + std::to_string(::getpid());
    std::error_code error;
    if (::rename(path.c_str(), aside.c_str()) != 0) {
        if (errno == ENOENT) return 0;
        error.assign(errno, std::generic_category());
    } else {
        std::filesystem::remove_all(aside, error);
    }
    if (!error) return 0;
    std::printf("could not clear jack2's metadata database: %s\n", error.message().c_str());
    return 1;
}

// Starts jackd under each name of a stale entry of ours, which reclaims it, and stops it
// properly, which gives it back.
int reclaimStale(const std::string& prefix) {
    int failures = clearUnusedMetadata();
    for (const Registration& stale : registrations()) {
        if (stale.name.rfind(prefix, 0) != 0 || ::kill(stale.pid, 0) == 0 || errno != ESRCH)
            continue;
        std::vector<std::string> args{"jackd",         "-S", "-n",    stale.name,
                                      "--no-realtime", "-d", "dummy", "-r",
                                      "48000",         "-p", "256"};
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        // The server dies with this program: one that outlived it, killed at its deadline, would
        // hold the entry as a live server, for good.
        // What it says is shown when the entry stays.
        const std::filesystem::path log =
            std::filesystem::temp_directory_path() / ("tamblin-reclaim-" + stale.name + ".log");
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid < 0) {
            std::fprintf(stderr, "cannot start jackd: %s\n", std::strerror(errno));
            return 1;
        }
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(127);
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
            ::execvp("jackd", argv.data());
            ::_exit(127);
        }
        bool reclaimed = false;
        for (int i = 0; i < 1000 && !reclaimed; ++i) {
            reclaimed = registered(stale.name, pid);
            if (!reclaimed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 1000 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (::waitpid(pid, &status, WNOHANG) == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        const bool cleared = !registered(stale.name, pid);
        std::printf("%s the registry entry of %s (pid %d, gone)\n",
                    reclaimed && cleared ? "cleared" : "could not clear", stale.name.c_str(),
                    static_cast<int>(stale.pid));
        if (!(reclaimed && cleared)) {
            ++failures;
            std::ifstream said(log);
            std::printf("jackd %s:\n%s\n",
                        reclaimed ? "reclaimed it but did not give it back when asked to end"
                                  : "did not take it over within 10 s",
                        std::string(std::istreambuf_iterator<char>(said), {}).c_str());
        }
        std::error_code error;
        std::filesystem::remove(log, error);
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

// Waits for the lock the tests' servers take (see tests/support/MidiServer.cpp), held until the
// process ends.
bool lockMachine() {
    const auto path = std::filesystem::temp_directory_path() / "tamblin-jack-tests.lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    return fd >= 0 && ::flock(fd, LOCK_EX) == 0;
}

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--reclaim") == 0) return reclaimStale(argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "--clear-metadata") == 0) return clearUnusedMetadata();
    if (argc == 3 && std::strcmp(argv[1], "--reset") == 0) {
        if (!lockMachine()) {
            std::fprintf(stderr, "cannot take the tests' lock: %s\n", std::strerror(errno));
            return 1;
        }
        return jackdRuns() ? reclaimStale(argv[2]) : resetRegistry();
    }
    if (argc != 2) {
        std::fprintf(stderr,
                     "usage: tamblin-jack-query SERVER | --reclaim PREFIX | --reset PREFIX | "
                     "--clear-metadata\n");
        return 2;
    }
    jack_set_error_function(&quiet);  // the retries below would fill the test's log
    jack_set_info_function(&quiet);
    jack_client_t* client = nullptr;
    while (client == nullptr) {
        client = jack_client_open("tamblin-query",
                                  static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                  nullptr, argv[1]);
        if (client == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    jack_on_shutdown(client, &serverGone, nullptr);
    // PipeWire adds a client to its graph whole, with its ports.
    std::unique_ptr<ActivePorts> activePorts;
    if (std::strncmp(jack_get_version_string(), "1.9.", 4) == 0) {
        activePorts = std::make_unique<ActivePorts>(client);
        if (jack_activate(client) != 0) {
            std::fprintf(stderr, "tamblin-jack-query: cannot activate its client\n");
            return 1;
        }
        activePorts->takeExisting();
    }
    std::cout << "ready" << std::endl;

    for (std::string line; std::getline(std::cin, line);) {
        const std::size_t space = line.find(' ');
        const std::string verb = line.substr(0, space);
        const std::string rest =
            space == std::string::npos ? std::string() : line.substr(space + 1);
        if (verb == "ports") {
            const std::size_t split = rest.find(' ');
            const unsigned long flags = std::strtoul(rest.substr(0, split).c_str(), nullptr, 10);
            const std::string pattern =
                split == std::string::npos ? std::string() : rest.substr(split + 1);
            printNames(jack_get_ports(client, pattern.empty() ? nullptr : pattern.c_str(), nullptr,
                                      flags));
        } else if (verb == "connect") {
            const std::size_t tab = rest.find('\t');
            const std::string source = rest.substr(0, tab);
            const std::string destination =
                tab == std::string::npos ? std::string() : rest.substr(tab + 1);
            const bool active = activePorts == nullptr ||
                                (activePorts->active(source) && activePorts->active(destination));
            std::cout << (active ? jack_connect(client, source.c_str(), destination.c_str()) : -1)
                      << '\n';
        } else if (verb == "sync") {
            // A request that the server answers itself (the port queries above read shared
            // memory): it waits while the server stalls.
            std::cout << jack_recompute_total_latencies(client) << '\n';
        } else if (verb == "connections") {
            if (jack_port_t* port = jack_port_by_name(client, rest.c_str()))
                printNames(jack_port_get_all_connections(client, port));
        }
        std::cout << '\x04' << std::endl;
    }
    jack_client_close(client);
    return 0;
}
