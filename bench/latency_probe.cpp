// latency_probe: how long MIDI messages take from a JACK output port to a JACK input port, through
// whatever connects the two (a direct connection, or a monitor's thru). A plain libjack client,
// "tamblin-latency", with an output port "out" and an input port "in".
//
// It waits until both ports are connected (with --self it connects out to in itself), sends
// warm-up messages until one comes back, then sends --count note messages at --rate per second,
// each carrying its number, and stamps each with the frame it was written at and the frame it
// arrived at. It prints
//     sent N received N lost N p50_ms X p99_ms X max_ms X period_ms X
// (milliseconds from the frame a message was sent at to the frame it arrived at, in JACK's frame
// clock) and exits 0 when every message came back exactly once, 1 otherwise, 2 for bad usage.
//
//   latency_probe --count N --rate R [--self] [--timeout S]
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A message's number in its channel and two data bytes: 18 bits. Warm-up messages are note offs
// of channel 16 with data 0x7F 0x7F, which no numbered message is.
constexpr std::uint32_t kMaxCount = 1u << 17;
constexpr std::uint8_t kWarmUp[3] = {0x8F, 0x7F, 0x7F};

struct Options {
    std::uint32_t count = 0;
    double rate = 0;
    bool self = false;
    double timeoutSeconds = 60;
};

// Everything the process thread touches; the main thread reads the results only after the client
// is deactivated.
struct Probe {
    jack_client_t* client = nullptr;
    jack_port_t* out = nullptr;
    jack_port_t* in = nullptr;
    std::uint32_t count = 0;
    double framesPerMessage = 0;

    std::atomic<bool> measuring{false};
    std::atomic<bool> warmedUp{false};
    std::atomic<std::uint32_t> received{0};
    std::atomic<std::uint32_t> repeated{0};
    // The process thread's own.
    std::uint32_t sent = 0;
    double nextFrame = -1;
    jack_nframes_t lastWarmUp = 0;
    std::vector<jack_nframes_t> sentAt;
    std::vector<std::int64_t> latency;  // frames; -1 until it arrives

    static int process(jack_nframes_t frames, void* self) noexcept;
};

int Probe::process(jack_nframes_t frames, void* self) noexcept {
    auto& p = *static_cast<Probe*>(self);
    const jack_nframes_t now = jack_last_frame_time(p.client);
    // The input first: connected to our own output, JACK hands it that port's buffer, which
    // clearing the output would empty.
    void* inBuffer = jack_port_get_buffer(p.in, frames);
    const jack_nframes_t events = jack_midi_get_event_count(inBuffer);
    for (jack_nframes_t i = 0; i < events; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, inBuffer, i) != 0 || event.size != 3) continue;
        if (std::memcmp(event.buffer, kWarmUp, 3) == 0) {
            p.warmedUp.store(true, std::memory_order_release);
            continue;
        }
        const std::uint32_t seq = (std::uint32_t{event.buffer[0] & 0x0Fu} << 14) |
                                  (std::uint32_t{event.buffer[1]} << 7) | event.buffer[2];
        if (seq >= p.sent) continue;
        if (p.latency[seq] >= 0) {
            p.repeated.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        p.latency[seq] = static_cast<std::int64_t>(now + event.time) - p.sentAt[seq];
        p.received.fetch_add(1, std::memory_order_release);
    }
    void* outBuffer = jack_port_get_buffer(p.out, frames);
    jack_midi_clear_buffer(outBuffer);

    if (!p.measuring.load(std::memory_order_acquire)) {
        // One warm-up message every 10 ms or so until one has come back.
        if (!p.warmedUp.load(std::memory_order_acquire) && now - p.lastWarmUp >= 480) {
            jack_midi_event_write(outBuffer, 0, kWarmUp, 3);
            p.lastWarmUp = now;
        }
        return 0;
    }
    if (p.nextFrame < 0) p.nextFrame = now;
    while (p.sent < p.count && p.nextFrame < static_cast<double>(now) + frames) {
        const auto at = static_cast<jack_nframes_t>(std::max(p.nextFrame, double(now)));
        const std::uint32_t seq = p.sent;
        const std::uint8_t message[3] = {static_cast<std::uint8_t>(0x90 | (seq >> 14)),
                                         static_cast<std::uint8_t>((seq >> 7) & 0x7F),
                                         static_cast<std::uint8_t>(seq & 0x7F)};
        if (jack_midi_event_write(outBuffer, at - now, message, 3) != 0) break;
        p.sentAt[seq] = at;
        ++p.sent;
        p.nextFrame += p.framesPerMessage;
    }
    return 0;
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--self") {
            o.self = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        char* end = nullptr;
        const double value = std::strtod(argv[++i], &end);
        if (end == argv[i] || *end != '\0' || value <= 0) return false;
        if (arg == "--count")
            o.count = static_cast<std::uint32_t>(value);
        else if (arg == "--rate")
            o.rate = value;
        else if (arg == "--timeout")
            o.timeoutSeconds = value;
        else
            return false;
    }
    return o.count > 0 && o.count <= kMaxCount && o.rate > 0;
}

template <typename Done>
bool waitUntil(std::chrono::duration<double> timeout, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

double percentile(std::vector<double> sorted, double p) {
    if (sorted.empty()) return 0;
    const auto index = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fputs("usage: latency_probe --count N --rate R [--self] [--timeout S]\n", stderr);
        return 2;
    }
    Probe probe;
    probe.count = options.count;
    probe.sentAt.assign(options.count, 0);
    probe.latency.assign(options.count, -1);
    jack_status_t status{};
    probe.client = jack_client_open("tamblin-latency", JackNoStartServer, &status);
    if (probe.client == nullptr) {
        std::fputs("latency_probe: no JACK server\n", stderr);
        return 1;
    }
    const double rate = jack_get_sample_rate(probe.client);
    probe.framesPerMessage = rate / options.rate;
    jack_set_process_callback(probe.client, &Probe::process, &probe);
    probe.out =
        jack_port_register(probe.client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    probe.in = jack_port_register(probe.client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (probe.out == nullptr || probe.in == nullptr || jack_activate(probe.client) != 0) {
        std::fputs("latency_probe: cannot start the client\n", stderr);
        return 1;
    }
    if (options.self)
        jack_connect(probe.client, jack_port_name(probe.out), jack_port_name(probe.in));
    std::printf("ready\n");
    std::fflush(stdout);

    const auto timeout = std::chrono::duration<double>(options.timeoutSeconds);
    const bool ready =
        waitUntil(timeout, [&] { return probe.warmedUp.load(std::memory_order_acquire); });
    if (ready) {
        probe.measuring.store(true, std::memory_order_release);
        waitUntil(timeout + std::chrono::duration<double>(options.count / options.rate),
                  [&] { return probe.received.load(std::memory_order_acquire) == options.count; });
        std::this_thread::sleep_for(300ms);  // a message that comes twice would have come by now
    }
    jack_deactivate(probe.client);
    const double periodMs = jack_get_buffer_size(probe.client) * 1000.0 / rate;
    jack_client_close(probe.client);

    std::vector<double> ms;
    for (std::uint32_t i = 0; i < probe.sent; ++i)
        if (probe.latency[i] >= 0)
            ms.push_back(static_cast<double>(probe.latency[i]) * 1000.0 / rate);
    std::sort(ms.begin(), ms.end());
    const std::uint32_t received = probe.received.load();
    std::printf(
        "sent %u received %u lost %u repeated %u p50_ms %.2f p99_ms %.2f max_ms %.2f "
        "period_ms %.2f\n",
        probe.sent, received, probe.sent - received, probe.repeated.load(), percentile(ms, 0.5),
        percentile(ms, 0.99), ms.empty() ? 0.0 : ms.back(), periodMs);
    if (!ready) std::fputs("latency_probe: nothing came back\n", stderr);
    return ready && received == options.count && probe.repeated.load() == 0 ? 0 : 1;
}
