// tamblin-send: a companion MIDI program for trying Tamblin out and for tests.
//
// It opens a port "tamblin-send:out" of its own (on JACK when a JACK server answers, otherwise on
// the ALSA sequencer, or as --api says) and plays either a demo phrase that touches every view of
// the monitor, or a deterministic stream of channel messages. With --receive it opens a virtual
// input "tamblin-send:in" instead and prints what arrives, one message per line as six hex
// digits (data 2, data 1, status: "403C90"), for checking a thru path; on JACK it ends by
// saying on standard error how many cycles the server ran without it, if any.
//
// --wait-connection S waits, before playing, until something is connected to the port: on JACK
// the port's connections are polled, and once one shows the server is given four cycles to
// carry data on it; the ALSA sequencer tells nothing of that through RtMidi, so there (and on
// JACK too) SIGUSR1 ends the wait as well. After S seconds it plays anyway.
//
// Exit status: 0 done, 1 MIDI failure or fewer messages received than expected, 2 bad usage.

#include <RtMidi.h>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/StandardStreams.h"
#include "ports/PipeWireProps.h"
#include "tools/JackEndpoints.h"
#include "tools/SendMessages.h"
#include "tools/SignalFlags.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tamblin::tools::Bytes;
using tamblin::tools::demoPhrase;
using tamblin::tools::sysExMessages;
using tamblin::tools::Timed;

constexpr const char* kUsage =
    "usage: tamblin-send [--api jack|alsa] [--wait-connection S] [--delay MS] (--demo [--loop] | "
    "--stream COUNT --rate PER_SECOND [--seed N] | --sysex HEX|FILE.syx | --receive [--count] "
    "[--with-sysex] [--expect N] [--timeout S])\n";
constexpr const char* kClient = "tamblin-send";

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kBadUsage = 2;

using tamblin::tools::goAhead;
using tamblin::tools::stopRequested;

struct Options {
    enum class Api { Any, Jack, Alsa } api = Api::Any;
    enum class Mode { None, Demo, Stream, SysEx, Receive } mode = Mode::None;
    std::string sysex;  // hex bytes, or a .syx file
    bool loop = false;
    long count = -1;
    double rate = 0;
    unsigned long seed = 1;
    bool printCount = false;
    bool withSysEx = false;  // --receive: SysEx too
    long expect = -1;
    double timeout = -1;
    double waitConnection = -1;
    long delay = 0;
};

std::optional<double> number(const char* text) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value >= 0)) return std::nullopt;
    return value;
}

std::optional<long> whole(const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0) return std::nullopt;
    return value;
}

std::optional<Options> parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto takeNumber = [&](double& into) {
            const auto parsed = value ? number(value) : std::nullopt;
            if (parsed) into = *parsed, ++i;
            return parsed.has_value();
        };
        auto takeWhole = [&](long& into) {
            const auto parsed = value ? whole(value) : std::nullopt;
            if (parsed) into = *parsed, ++i;
            return parsed.has_value();
        };
        bool ok = true;
        if (arg == "--api" && value && std::strcmp(value, "jack") == 0) {
            o.api = Options::Api::Jack, ++i;
        } else if (arg == "--api" && value && std::strcmp(value, "alsa") == 0) {
            o.api = Options::Api::Alsa, ++i;
        } else if (arg == "--demo" || arg == "--stream" || arg == "--receive") {
            ok = o.mode == Options::Mode::None;
            o.mode = arg == "--demo"     ? Options::Mode::Demo
                     : arg == "--stream" ? Options::Mode::Stream
                                         : Options::Mode::Receive;
            if (arg == "--stream") ok = ok && takeWhole(o.count);
        } else if (arg == "--sysex" && value) {
            ok = o.mode == Options::Mode::None;
            o.mode = Options::Mode::SysEx;
            o.sysex = value, ++i;
        } else if (arg == "--loop") {
            o.loop = true;
        } else if (arg == "--rate") {
            ok = takeNumber(o.rate) && o.rate > 0;
        } else if (arg == "--seed") {
            long seed = 0;
            ok = takeWhole(seed);
            o.seed = static_cast<unsigned long>(seed);
        } else if (arg == "--with-sysex") {
            o.withSysEx = true;
        } else if (arg == "--count") {
            o.printCount = true;
        } else if (arg == "--expect") {
            ok = takeWhole(o.expect);
        } else if (arg == "--timeout") {
            ok = takeNumber(o.timeout);
        } else if (arg == "--wait-connection") {
            ok = takeNumber(o.waitConnection);
        } else if (arg == "--delay") {
            ok = takeWhole(o.delay);
        } else {
            ok = false;
        }
        if (!ok) return std::nullopt;
    }
    using Mode = Options::Mode;
    if (o.mode == Mode::None) return std::nullopt;
    if (o.mode == Mode::Stream && o.rate <= 0) return std::nullopt;
    if (o.mode != Mode::Stream && (o.rate > 0 || o.count >= 0)) return std::nullopt;
    if (o.loop && o.mode != Mode::Demo) return std::nullopt;
    if (o.mode != Mode::Receive && (o.printCount || o.withSysEx || o.expect >= 0 || o.timeout >= 0))
        return std::nullopt;
    return o;
}

std::atomic<bool> midiFailed{false};

void reportError(RtMidiError::Type type, const std::string& text, void*) {
    if (type == RtMidiError::DEBUG_WARNING) return;
    std::fprintf(stderr, "tamblin-send: %s\n", text.c_str());
    if (type != RtMidiError::WARNING) midiFailed.store(true);
}

// Sleeps until `when` in short steps, so that a stop request is seen at once. False if stopped.
bool sleepUntil(Clock::time_point when) {
    while (Clock::now() < when) {
        if (stopRequested.load()) return false;
        std::this_thread::sleep_until(std::min(when, Clock::now() + 10ms));
    }
    return !stopRequested.load();
}

// Waits until something is connected to the JACK port `jack` (when there is one), until
// SIGUSR1, or until `seconds` have passed.
void waitForConnection(const tamblin::tools::JackSource* jack, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    bool connected = false;
    while (Clock::now() < deadline && !goAhead.load() && !stopRequested.load()) {
        if (jack != nullptr && jack->connected()) {
            connected = true;
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    // A connection shows before data goes over it: jackd -S takes it up in its next cycle,
    // PipeWire once both ends have agreed on it (within two cycles), and a monitor that made
    // the connection drops what comes in the first cycles (from before it was made). Four
    // cycles of the server from now, the first message arrives.
    if (connected) {
        const std::uint64_t seen = jack->cycles();
        while (jack->cycles() < seen + 4 && Clock::now() < deadline && !goAhead.load() &&
               !stopRequested.load())
            std::this_thread::sleep_for(1ms);
    }
}

// Where the played messages go.
using Send = std::function<void(const Bytes&)>;

class Player {
public:
    explicit Player(const Send& out) : out_(out) {}
    ~Player() { releaseAll(); }

    void send(const Bytes& bytes) {
        out_(bytes);
        const unsigned char kind = bytes[0] & 0xF0;
        if (kind != 0x80 && kind != 0x90) return;
        const auto key = static_cast<unsigned>(((bytes[0] & 0x0F) << 8) | bytes[1]);
        if (kind == 0x90 && bytes[2] > 0)
            sounding_.insert(key);
        else
            sounding_.erase(key);
    }

    // A complete stream is exactly COUNT messages, sounding notes or not.
    void forget() { sounding_.clear(); }

    // A stopped run must not leave notes hanging on a synthesiser.
    void releaseAll() {
        for (const unsigned key : sounding_) {
            const Bytes off = {static_cast<unsigned char>(0x80 | (key >> 8)),
                               static_cast<unsigned char>(key & 0x7F), 0};
            out_(off);
        }
        sounding_.clear();
    }

private:
    const Send& out_;
    std::set<unsigned> sounding_;
};

int playDemo(const Send& out, bool loop) {
    Player player(out);
    const std::vector<Timed> phrase = demoPhrase();
    constexpr int kPhraseMs = 4000;
    Clock::time_point start = Clock::now();
    do {
        for (const Timed& event : phrase) {
            if (!sleepUntil(start + std::chrono::milliseconds(event.ms)))
                return loop ? kDone : kFailed;
            player.send(event.bytes);
        }
        start += std::chrono::milliseconds(kPhraseMs);
    } while (loop);
    return kDone;
}

// COUNT channel messages from the seed: the same seed gives the same stream everywhere
// (std::mt19937 is fully specified; its raw output is used, no distribution).
int playStream(const Send& out, long count, double rate, unsigned long seed) {
    Player player(out);
    std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
    const Clock::time_point start = Clock::now();
    for (long i = 0; i < count; ++i) {
        const auto kind = static_cast<int>(random() % 7);
        const auto channel = static_cast<unsigned char>(random() % 16);
        const auto a = static_cast<unsigned char>(random() % 128);
        const auto b = static_cast<unsigned char>(random() % 128);
        Bytes message;
        switch (kind) {
            case 0:  // a velocity of 0 would be a note off in disguise
                message = {static_cast<unsigned char>(0x90 | channel), a,
                           static_cast<unsigned char>(b == 0 ? 1 : b)};
                break;
            case 1:
                message = {static_cast<unsigned char>(0x80 | channel), a, b};
                break;
            case 2:
                message = {static_cast<unsigned char>(0xA0 | channel), a, b};
                break;
            case 3:  // controllers 120-127 are channel mode messages (all notes off and such)
                message = {static_cast<unsigned char>(0xB0 | channel),
                           static_cast<unsigned char>(a % 120), b};
                break;
            case 4:
                message = {static_cast<unsigned char>(0xC0 | channel), a};
                break;
            case 5:
                message = {static_cast<unsigned char>(0xD0 | channel), a};
                break;
            default:
                message = {static_cast<unsigned char>(0xE0 | channel), a, b};
                break;
        }
        const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(static_cast<double>(i) / rate));
        if (!sleepUntil(due)) return kFailed;
        player.send(message);
    }
    player.forget();
    return kDone;
}

// What the --receive mode prints: short messages, as they come, and with --with-sysex SysEx as
// their length.
class Receiver {
public:
    explicit Receiver(bool withSysEx = false) : withSysEx_(withSysEx) {}

    // From any thread. Clock and sensing are short messages; a SysEx (F0 ... F7, whole) is
    // printed as "SysEx" and its length when asked for; other events are not messages.
    void deliver(const Bytes& bytes) {
        Arrival arrival;
        if (withSysEx_ && bytes.size() >= 2 && bytes.front() == 0xF0 && bytes.back() == 0xF7) {
            arrival.sysExBytes = bytes.size();
        } else {
            if (bytes.empty() || bytes.size() > 3 || bytes[0] < 0x80 || bytes[0] == 0xF0) return;
            for (std::size_t i = 0; i < bytes.size(); ++i)
                arrival.message |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
        }
        {
            std::lock_guard lock(mutex_);
            waiting_.push_back(arrival);
        }
        arrived_.notify_one();
    }

    static void onRtMidiMessage(double, std::vector<unsigned char>* bytes, void* self) {
        static_cast<Receiver*>(self)->deliver(*bytes);
    }

    // Prints messages as they come until the expected number have arrived, the deadline, or a
    // stop request; `poll`, when given, is called before each wait, to deliver what has come.
    // The exit status.
    int run(const Options& o, const std::function<void()>& poll = {}) {
        std::optional<Clock::time_point> deadline;
        if (o.timeout >= 0)
            deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(o.timeout));
        long received = 0;
        while (!(o.expect >= 0 && received >= o.expect) && !stopRequested.load() &&
               !(deadline && Clock::now() >= *deadline)) {
            if (poll) poll();
            std::vector<Arrival> arrived;
            {
                std::unique_lock lock(mutex_);
                arrived_.wait_for(lock, poll ? 2ms : 10ms, [&] { return !waiting_.empty(); });
                arrived.swap(waiting_);
            }
            for (const Arrival& arrival : arrived) {
                if (o.expect >= 0 && received >= o.expect) break;
                ++received;
                if (o.printCount) continue;
                if (arrival.sysExBytes != 0)
                    std::printf("SysEx %zu\n", arrival.sysExBytes);
                else
                    std::printf("%06X\n", arrival.message);
            }
            std::fflush(stdout);
        }
        if (o.printCount) std::printf("%ld\n", received);
        std::fflush(stdout);
        return o.expect >= 0 && received < o.expect ? kFailed : kDone;
    }

private:
    struct Arrival {
        std::uint32_t message = 0;
        std::size_t sysExBytes = 0;  // a SysEx of this length instead
    };
    const bool withSysEx_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Arrival> waiting_;
};

// Waits as the options say, then plays; the exit status.
int playWith(const Options& o, const Send& out, const tamblin::tools::JackSource* jack) {
    if (o.waitConnection >= 0) waitForConnection(jack, o.waitConnection);
    if (!sleepUntil(Clock::now() + std::chrono::milliseconds(o.delay))) return kFailed;
    if (o.mode == Options::Mode::SysEx) {
        const std::optional<std::vector<Bytes>> messages = sysExMessages(o.sysex);
        if (!messages) return kBadUsage;
        for (const Bytes& message : *messages) out(message);
        return kDone;
    }
    return o.mode == Options::Mode::Demo ? playDemo(out, o.loop)
                                         : playStream(out, o.count, o.rate, o.seed);
}

// On JACK, through a client of the tool's own.
int runOnJack(const Options& o, std::unique_ptr<tamblin::tools::JackSource> source,
              std::unique_ptr<tamblin::tools::JackSink> sink) {
    if (sink != nullptr) {
        Receiver receiver(o.withSysEx);
        const int status = receiver.run(o, [&] {
            for (const Bytes& bytes : sink->take()) receiver.deliver(bytes);
        });
        // What was written for a cycle the client did not run in never reached it: a count short
        // by that is the server's, not the sender's.
        if (const std::uint64_t skipped = sink->skippedCycleCount(); skipped != 0)
            std::fprintf(stderr, "tamblin-send: the server ran %llu cycles without this client\n",
                         static_cast<unsigned long long>(skipped));
        return status;
    }
    bool taken = true;
    const int result = playWith(
        o, [&](const Bytes& bytes) { taken = taken && source->send(bytes); }, source.get());
    // Every message has gone out in a cycle, and whoever reads the port has had it.
    if (!taken || !source->flushed()) {
        std::fputs("tamblin-send: the JACK server stopped taking messages\n", stderr);
        return kFailed;
    }
    return result;
}

// On the ALSA sequencer, through RtMidi.
int runOnAlsa(const Options& o) {
    if (o.mode == Options::Mode::Receive) {
        Receiver receiver;
        RtMidiIn in(RtMidi::LINUX_ALSA, kClient);
        in.setErrorCallback(&reportError, nullptr);
        in.ignoreTypes(true, false, false);
        in.setCallback(&Receiver::onRtMidiMessage, &receiver);
        in.openVirtualPort("in");
        if (midiFailed.load()) return kFailed;
        return receiver.run(o);
    }
    RtMidiOut out(RtMidi::LINUX_ALSA, kClient);
    out.setErrorCallback(&reportError, nullptr);
    out.openVirtualPort("out");
    if (midiFailed.load()) return kFailed;
    const int result = playWith(
        o, [&](const Bytes& bytes) { out.sendMessage(&bytes); }, nullptr);
    // The last messages may still wait in the sequencer's output buffer; closing the port now
    // would drop them.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (!tamblin::app::openClosedStandardStreams()) return kFailed;
    const std::optional<Options> options = parse(argc, argv);
    if (!options || (options->mode == Options::Mode::SysEx && !sysExMessages(options->sysex))) {
        std::fputs(kUsage, stderr);
        return kBadUsage;
    }
    // PipeWire's libjack would hand --receive rewritten messages.
    if (const std::string warning = tamblin::ports::keepMidiEventsExact(); !warning.empty())
        std::fprintf(stderr, "tamblin-send: %s\n", warning.c_str());
    tamblin::tools::watchSignals();

    try {
        if (options->api != Options::Api::Alsa) {
            std::unique_ptr<tamblin::tools::JackSource> source;
            std::unique_ptr<tamblin::tools::JackSink> sink;
            try {
                if (options->mode == Options::Mode::Receive)
                    sink = std::make_unique<tamblin::tools::JackSink>(kClient);
                else
                    source = std::make_unique<tamblin::tools::JackSource>(kClient);
            } catch (const std::runtime_error&) {
                if (options->api == Options::Api::Jack) {
                    std::fputs("tamblin-send: no JACK server is running\n", stderr);
                    return kFailed;
                }
            }
            if (source != nullptr || sink != nullptr)
                return runOnJack(*options, std::move(source), std::move(sink));
        }
        return runOnAlsa(*options);
    } catch (const RtMidiError& error) {
        std::fprintf(stderr, "tamblin-send: %s\n", error.what());
        return kFailed;
    } catch (const std::runtime_error& error) {  // a JACK sink that fell behind
        std::fprintf(stderr, "tamblin-send: %s\n", error.what());
        return kFailed;
    }
}
