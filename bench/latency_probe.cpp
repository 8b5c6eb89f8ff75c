// latency_probe: times MIDI paths through the JACK graph with one client and one clock.
//
// It plays a deterministic stream of channel messages from its port "out" and reads it back on
// one input port per --path, each of which a script wires to the end of one path: "direct" to
// this client's own out (the baseline), "monitor" to the thru output of a monitor whose input is
// fed from out, and so on. Every message is timed from the frame it was written in to the frame
// it was read in, both taken from the JACK frame clock in the process callback; nothing else
// runs on the callback's thread, and nothing there allocates or locks.
//
//   latency_probe --count N --rate PER_SECOND [--seed S] [--delay MS] [--idle S] [--timeout S]
//                 [--numbered 0|1] --path NAME [--path NAME ...]
//
// --numbered 1 plays messages that each carry their own number (note offs, note ons, key
// pressures and pitch wheels, all different, up to 1,040,384 of them), so that each path is also
// told apart by kind of fault:
//     <path>_lost N  <path>_reordered N  <path>_duplicated N
// (a message is reordered when it arrives after one played later). It also prints
//     xruns N
// the server's xruns while it ran, and
//     most_in_a_cycle N
// the most messages it wrote in one cycle (after a stalled graph, all that fell due meanwhile).
//
// Once its ports exist it prints
//     ready <client name>
// and waits for SIGUSR1, the script's word that everything is wired; it then waits --delay
// milliseconds more (500) for the server to take up the connections and plays N messages at the
// given rate. It ends when every path has received N messages, when no path has received
// anything new for --idle seconds (5) after the last message was played, or --timeout seconds
// (600) after the start. Per path it then prints "key value" lines:
//     <path>_received N
//     <path>_p50_ms X    (also p99, max and mean, in milliseconds at the server's rate)
//     <path>_error TEXT  (only when the path lost, changed, added or reordered a message)
// The exit status is 0 when every path received exactly the stream, in order, 1 otherwise, 2 for
// bad usage.
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "SignalFlags.h"
#include "ports/PipeWireProps.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "usage: latency_probe --count N --rate PER_SECOND [--seed S] [--delay MS] [--idle S] "
    "[--timeout S] [--numbered 0|1] --path NAME [--path NAME ...]\n";

using tamblin::tools::goAhead;
using tamblin::tools::stopRequested;

struct Options {
    std::size_t count = 0;
    double rate = 0;
    unsigned long seed = 1;
    long delayMs = 500;
    double idleSeconds = 5;
    double timeoutSeconds = 600;
    bool numbered = false;
    std::vector<std::string> paths;
};

std::optional<Options> parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const char* text = argv[i + 1];
        if (key == "--path") {
            if (*text == '\0') return std::nullopt;
            o.paths.emplace_back(text);
            continue;
        }
        char* end = nullptr;
        const double value = std::strtod(text, &end);
        if (end == text || *end != '\0' || !(value >= 0)) return std::nullopt;
        if (key == "--count")
            o.count = static_cast<std::size_t>(value);
        else if (key == "--rate")
            o.rate = value;
        else if (key == "--seed")
            o.seed = static_cast<unsigned long>(value);
        else if (key == "--delay")
            o.delayMs = static_cast<long>(value);
        else if (key == "--idle")
            o.idleSeconds = value;
        else if (key == "--timeout")
            o.timeoutSeconds = value;
        else if (key == "--numbered")
            o.numbered = value != 0;
        else
            return std::nullopt;
    }
    if (argc % 2 == 0 || o.count == 0 || o.rate <= 0 || o.paths.empty()) return std::nullopt;
    return o;
}

struct Message {
    std::array<std::uint8_t, 3> bytes{};
    std::uint8_t size = 0;
    bool operator==(const Message&) const = default;
};

// Channel messages of every kind from the seed (std::mt19937's raw output, fully specified), so
// that a lost, changed or reordered message shows as a difference from the expected one.
std::vector<Message> streamFrom(unsigned long seed, std::size_t count) {
    std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
    std::vector<Message> stream(count);
    for (Message& m : stream) {
        const auto kind = static_cast<std::uint8_t>(0x80 + 0x10 * (random() % 7));
        const auto channel = static_cast<std::uint8_t>(random() % 16);
        const auto a = static_cast<std::uint8_t>(random() % 128);
        const auto b = static_cast<std::uint8_t>(random() % 128);
        // Controllers 120-127 are channel mode messages: a monitor's output would pass on "all
        // notes off" and the like.
        const auto first = kind == 0xB0 ? static_cast<std::uint8_t>(a % 120) : a;
        const bool twoBytes = kind == 0xC0 || kind == 0xD0;
        m.bytes = {static_cast<std::uint8_t>(kind | channel), first,
                   twoBytes ? std::uint8_t{0} : b};
        m.size = twoBytes ? 2 : 3;
    }
    return stream;
}

// Numbered messages: a kind of four (none of them a controller, which could be a channel mode
// message), a channel, a first data byte and a second one from 1 (PipeWire may rewrite a note on
// of velocity 0).
constexpr std::array<std::uint8_t, 4> kNumberedKinds = {0x80, 0x90, 0xA0, 0xE0};
constexpr std::size_t kNumbers = 4 * 16 * 128 * 127;

Message numbered(std::size_t number) {
    Message m;
    const auto second = static_cast<std::uint8_t>(1 + number % 127);
    number /= 127;
    const auto first = static_cast<std::uint8_t>(number % 128);
    number /= 128;
    const auto channel = static_cast<std::uint8_t>(number % 16);
    number /= 16;
    m.bytes = {static_cast<std::uint8_t>(kNumberedKinds[number % 4] | channel), first, second};
    m.size = 3;
    return m;
}

// The number a numbered message carries, or nothing for any other message.
std::optional<std::size_t> numberOf(const Message& m) {
    if (m.size != 3 || m.bytes[2] == 0) return std::nullopt;
    const auto kind = std::find(kNumberedKinds.begin(), kNumberedKinds.end(), m.bytes[0] & 0xF0);
    if (kind == kNumberedKinds.end()) return std::nullopt;
    const auto k = static_cast<std::size_t>(kind - kNumberedKinds.begin());
    return ((k * 16 + (m.bytes[0] & 0x0F)) * 128 + m.bytes[1]) * 127 + (m.bytes[2] - 1u);
}

std::vector<Message> numberedStream(std::size_t count) {
    std::vector<Message> stream(count);
    for (std::size_t i = 0; i < count; ++i) stream[i] = numbered(i);
    return stream;
}

std::string describe(const Message& m) {
    char text[16];
    if (m.size == 2)
        std::snprintf(text, sizeof text, "%02X %02X", m.bytes[0], m.bytes[1]);
    else
        std::snprintf(text, sizeof text, "%02X %02X %02X", m.bytes[0], m.bytes[1], m.bytes[2]);
    return text;
}

// What one input port has read. Written by the process callback only; read by the main thread
// after `received` (release/acquire) says how far.
struct Path {
    std::string name;
    jack_port_t* port = nullptr;
    std::vector<jack_nframes_t> frames;  // the frame each message was read in, by index
    std::atomic<std::size_t> received{0};
    std::atomic<std::size_t> extra{0};              // read after the whole stream had been
    std::atomic<std::size_t> firstWrong{SIZE_MAX};  // index of the first message unlike the stream
    Message wrong;                                  // what came there; valid once firstWrong is set
    // With numbered messages: every number read, in order, up to twice the stream's length.
    std::vector<std::size_t> numbers;
    std::atomic<std::size_t> numbersRead{0};
};

// Lost, reordered and duplicated messages among `numbers` read of a stream of `count`.
struct Faults {
    std::size_t lost = 0;
    std::size_t reordered = 0;
    std::size_t duplicated = 0;
};

Faults faultsOf(const std::vector<std::size_t>& numbers, std::size_t read, std::size_t count) {
    Faults faults;
    std::vector<bool> seen(count, false);
    std::size_t distinct = 0;
    std::size_t highest = 0;
    bool any = false;
    for (std::size_t i = 0; i < read; ++i) {
        const std::size_t n = numbers[i];
        if (n >= count) continue;
        if (seen[n]) {
            ++faults.duplicated;
            continue;
        }
        seen[n] = true;
        ++distinct;
        if (any && n < highest) ++faults.reordered;
        highest = any ? std::max(highest, n) : n;
        any = true;
    }
    faults.lost = count - distinct;
    return faults;
}

class Probe {
public:
    Probe(const Options& options, std::vector<Message> stream)
        : options_(options), stream_(std::move(stream)), sentFrames_(stream_.size()) {}

    ~Probe() {
        if (client_ != nullptr) jack_client_close(client_);
    }

    bool open() {
        jack_status_t status{};
        client_ = jack_client_open("tamblin-latency", JackNoStartServer, &status);
        if (client_ == nullptr) {
            std::fprintf(stderr, "latency_probe: no JACK server answers (status 0x%x)\n",
                         static_cast<unsigned>(status));
            return false;
        }
        out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        for (const std::string& name : options_.paths) {
            auto path = std::make_unique<Path>();
            path->name = name;
            path->frames.resize(stream_.size());
            if (options_.numbered) path->numbers.resize(2 * stream_.size());
            path->port = jack_port_register(client_, name.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                            JackPortIsInput, 0);
            if (path->port == nullptr) {
                std::fprintf(stderr, "latency_probe: cannot register port %s\n", name.c_str());
                return false;
            }
            paths_.push_back(std::move(path));
        }
        jack_set_xrun_callback(client_, &Probe::xrun, this);
        if (out_ == nullptr || jack_set_process_callback(client_, &Probe::process, this) != 0 ||
            jack_activate(client_) != 0) {
            std::fprintf(stderr, "latency_probe: cannot set up the JACK client\n");
            return false;
        }
        sampleRate_ = jack_get_sample_rate(client_);
        return true;
    }

    const char* clientName() const { return jack_get_client_name(client_); }

    // From the next cycle on, plays the stream `delay` from now.
    void play(std::chrono::milliseconds delay) {
        const auto frames = static_cast<jack_nframes_t>(
            static_cast<double>(sampleRate_) * std::chrono::duration<double>(delay).count());
        startFrame_ = jack_frame_time(client_) + frames;
        playing_.store(true, std::memory_order_release);
    }

    std::size_t sent() const { return sent_.load(std::memory_order_acquire); }
    std::size_t slowest() const {
        std::size_t least = SIZE_MAX;
        for (const auto& path : paths_)
            least = std::min(least, path->received.load(std::memory_order_acquire));
        return least;
    }
    std::size_t total() const {
        std::size_t sum = 0;
        for (const auto& path : paths_) sum += path->received.load(std::memory_order_acquire);
        return sum;
    }
    bool unwritable() const { return unwritable_.load(std::memory_order_acquire); }

    // Prints the figures of every path; true when each received exactly the stream.
    bool report() const {
        bool exact = sent() == stream_.size() && !unwritable();
        if (unwritable())
            std::printf("error out's buffer was full: message %zu could not be written\n", sent());
        std::printf("sent %zu\n", sent());
        std::printf("sample_rate %u\n", sampleRate_);
        std::printf("xruns %zu\n", xruns_.load(std::memory_order_acquire));
        std::printf("most_in_a_cycle %zu\n", mostInACycle_.load(std::memory_order_acquire));
        for (const auto& path : paths_) {
            const std::size_t received = path->received.load(std::memory_order_acquire);
            const std::size_t extra = path->extra.load(std::memory_order_acquire);
            const std::size_t wrong = path->firstWrong.load(std::memory_order_acquire);
            const char* name = path->name.c_str();
            std::printf("%s_received %zu\n", name, received + extra);
            if (options_.numbered) {
                const Faults faults =
                    faultsOf(path->numbers, path->numbersRead.load(std::memory_order_acquire),
                             stream_.size());
                std::printf("%s_lost %zu\n%s_reordered %zu\n%s_duplicated %zu\n", name, faults.lost,
                            name, faults.reordered, name, faults.duplicated);
            }
            std::vector<double> ms;
            ms.reserve(received);
            for (std::size_t i = 0; i < received && i < wrong; ++i)
                ms.push_back(static_cast<double>(path->frames[i] - sentFrames_[i]) * 1e3 /
                             sampleRate_);
            if (!ms.empty()) {
                std::sort(ms.begin(), ms.end());
                double sum = 0;
                for (const double v : ms) sum += v;
                std::printf("%s_p50_ms %.2f\n", name, percentile(ms, 0.50));
                std::printf("%s_p99_ms %.2f\n", name, percentile(ms, 0.99));
                std::printf("%s_max_ms %.2f\n", name, ms.back());
                std::printf("%s_mean_ms %.2f\n", name, sum / static_cast<double>(ms.size()));
            }
            if (wrong != SIZE_MAX) {
                std::printf("%s_error message %zu is %s, not %s (lost, changed or reordered)\n",
                            name, wrong, describe(path->wrong).c_str(),
                            describe(stream_[wrong]).c_str());
                exact = false;
            } else if (extra > 0) {
                std::printf("%s_error %zu messages more than were sent\n", name, extra);
                exact = false;
            } else if (received < stream_.size()) {
                std::printf("%s_error %zu of %zu messages lost at the end\n", name,
                            stream_.size() - received, stream_.size());
                exact = false;
            }
        }
        std::fflush(stdout);
        return exact;
    }

private:
    // Nearest rank: the smallest value that at least a share p of all are not above.
    static double percentile(const std::vector<double>& sorted, double p) {
        const auto rank =
            static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
        return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
    }

    static int process(jack_nframes_t frames, void* self) {
        static_cast<Probe*>(self)->cycle(frames);
        return 0;
    }

    static int xrun(void* self) {
        static_cast<Probe*>(self)->xruns_.fetch_add(1, std::memory_order_acq_rel);
        return 0;
    }

    // Inputs first, then out: a path back to this client is read in the cycle after it was
    // written, as any client reading what others wrote in the same cycle would.
    void cycle(jack_nframes_t frames) {
        const jack_nframes_t cycleStart = jack_last_frame_time(client_);
        for (const auto& path : paths_) read(*path, cycleStart, frames);

        void* buffer = jack_port_get_buffer(out_, frames);
        jack_midi_clear_buffer(buffer);
        if (!playing_.load(std::memory_order_acquire) ||
            unwritable_.load(std::memory_order_relaxed))
            return;
        std::size_t next = sent_.load(std::memory_order_relaxed);
        const std::size_t first = next;
        while (next < stream_.size()) {
            // Signed distances between frame times survive the clock's wrap.
            const auto due =
                startFrame_ + static_cast<jack_nframes_t>(static_cast<std::uint64_t>(
                                  static_cast<double>(next) * sampleRate_ / options_.rate));
            const auto ahead = static_cast<std::int32_t>(due - cycleStart);
            if (ahead >= static_cast<std::int64_t>(frames)) break;  // due in a later cycle
            const auto offset = static_cast<jack_nframes_t>(std::max(0, ahead));
            const Message& m = stream_[next];
            if (jack_midi_event_write(buffer, offset, m.bytes.data(), m.size) != 0) {
                unwritable_.store(true, std::memory_order_release);
                return;
            }
            sentFrames_[next] = cycleStart + offset;
            sent_.store(++next, std::memory_order_release);
        }
        if (next - first > mostInACycle_.load(std::memory_order_relaxed))
            mostInACycle_.store(next - first, std::memory_order_release);
    }

    void read(Path& path, jack_nframes_t cycleStart, jack_nframes_t frames) {
        void* buffer = jack_port_get_buffer(path.port, frames);
        const jack_nframes_t events = jack_midi_get_event_count(buffer);
        std::size_t received = path.received.load(std::memory_order_relaxed);
        for (jack_nframes_t e = 0; e < events; ++e) {
            jack_midi_event_t event{};
            if (jack_midi_event_get(&event, buffer, e) != 0) continue;
            if (received >= stream_.size()) {
                path.extra.fetch_add(1, std::memory_order_release);
                continue;
            }
            Message m;
            m.size = static_cast<std::uint8_t>(std::min<std::size_t>(event.size, 3));
            std::memcpy(m.bytes.data(), event.buffer, m.size);
            if (!path.numbers.empty()) {
                const std::size_t at = path.numbersRead.load(std::memory_order_relaxed);
                const std::optional<std::size_t> number = numberOf(m);
                if (number && at < path.numbers.size()) {
                    path.numbers[at] = *number;
                    // Release: the report reads the numbers up to it.
                    path.numbersRead.store(at + 1, std::memory_order_release);
                }
            }
            if (!(m == stream_[received]) &&
                path.firstWrong.load(std::memory_order_relaxed) == SIZE_MAX) {
                path.wrong = m;
                path.firstWrong.store(received, std::memory_order_release);
            }
            path.frames[received] = cycleStart + event.time;
            ++received;
        }
        path.received.store(received, std::memory_order_release);
    }

    const Options& options_;
    const std::vector<Message> stream_;
    std::vector<jack_nframes_t> sentFrames_;  // written by the callback up to sent_
    std::vector<std::unique_ptr<Path>> paths_;
    jack_client_t* client_ = nullptr;
    jack_port_t* out_ = nullptr;
    jack_nframes_t sampleRate_ = 0;
    jack_nframes_t startFrame_ = 0;  // set before playing_ is published
    std::atomic<bool> playing_{false};
    std::atomic<std::size_t> sent_{0};
    std::atomic<bool> unwritable_{false};
    std::atomic<std::size_t> xruns_{0};
    // The most messages written in one cycle: more than 1,023 overrun a monitor's input buffer
    // in that one cycle, whatever it drains.
    std::atomic<std::size_t> mostInACycle_{0};
};

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = parse(argc, argv);
    if (!options) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    // On PipeWire the paths must see exactly what was played.
    if (const std::string warning = tamblin::ports::keepMidiEventsExact(); !warning.empty())
        std::fprintf(stderr, "latency_probe: %s\n", warning.c_str());
    tamblin::tools::watchSignals();

    if (options->numbered && options->count > kNumbers) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    Probe probe(*options, options->numbered ? numberedStream(options->count)
                                            : streamFrom(options->seed, options->count));
    if (!probe.open()) return 1;
    std::printf("ready %s\n", probe.clientName());
    std::fflush(stdout);

    const auto began = Clock::now();
    const auto timeout = began + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(options->timeoutSeconds));
    while (!goAhead.load() && !stopRequested.load() && Clock::now() < timeout)
        std::this_thread::sleep_for(10ms);
    if (goAhead.load()) probe.play(std::chrono::milliseconds(options->delayMs));

    const auto idle = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options->idleSeconds));
    std::size_t lastTotal = 0;
    auto lastChange = Clock::now();
    while (goAhead.load() && !stopRequested.load() && Clock::now() < timeout &&
           probe.slowest() < options->count) {
        std::this_thread::sleep_for(10ms);
        const std::size_t total = probe.total();
        if (total != lastTotal || probe.sent() < options->count) {
            lastTotal = total;
            lastChange = Clock::now();
        }
        if (probe.unwritable() || Clock::now() - lastChange > idle) break;
    }
    // A duplicate of the last message would come within a few cycles.
    std::this_thread::sleep_for(200ms);
    return probe.report() ? 0 : 1;
}
