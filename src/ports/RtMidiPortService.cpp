#include "ports/RtMidiPortService.h"

#include <jack/jack.h>
#include <unistd.h>

#include <RtMidi.h>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <string_view>

namespace tamblin::ports {

namespace {

constexpr const char* kClientName = "Tamblin";
constexpr const char* kInputPortName = "in";
constexpr const char* kOutputPortName = "out";

using Clock = std::chrono::steady_clock;

// Number of bytes of the short message that starts with `status`, 0 when no short message
// starts with it. 0xF4 and 0xF5 are undefined system common statuses without data bytes.
int shortMessageLength(std::uint8_t status) {
    if (status < 0x80) return 0;
    if (status < 0xC0) return 3;
    if (status < 0xE0) return 2;
    if (status < 0xF0) return 3;
    switch (status) {
        case 0xF0:  // SysEx start and end only frame a long message
        case 0xF7:
            return 0;
        case 0xF1:
        case 0xF3:
            return 2;
        case 0xF2:
            return 3;
        default:
            return 1;
    }
}

// Collects errors that RtMidi reports through its error callback, which it uses instead of
// throwing once set. RtMidi calls it on the thread of the failing call.
struct ErrorSink {
    std::atomic<bool> raised{false};

    static void report(RtMidiError::Type type, const std::string&, void* sink) {
        if (type != RtMidiError::DEBUG_WARNING)
            static_cast<ErrorSink*>(sink)->raised.store(true, std::memory_order_relaxed);
    }
    bool take() { return raised.exchange(false, std::memory_order_relaxed); }
};

// What the callback thread reads. `started` is published with release after `startedAt`.
struct InputState {
    InputCallback callback = nullptr;
    Handle handle = 0;
    std::uint32_t instance = 0;
    std::atomic<bool> started{false};
    std::atomic<Clock::rep> startedAt{0};

    std::int32_t millisecondsAt(Clock::time_point when) const {
        const Clock::duration since{when.time_since_epoch().count() -
                                    startedAt.load(std::memory_order_relaxed)};
        return static_cast<std::int32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
    }
};

// Runs on the MIDI system's thread. The time is taken here rather than summed from RtMidi's
// deltas, which drift from the clock that midiInClock reads.
void onMessage(double, std::vector<unsigned char>* bytes, void* user) {
    const Clock::time_point now = Clock::now();
    const auto* state = static_cast<const InputState*>(user);
    if (!state->started.load(std::memory_order_acquire) || bytes->empty()) return;
    const std::uint8_t status = (*bytes)[0];
    const std::size_t length = bytes->size();
    if (length != static_cast<std::size_t>(shortMessageLength(status))) return;
    std::uint32_t message = status;
    for (std::size_t i = 1; i < length; ++i) {
        if ((*bytes)[i] >= 0x80) return;  // a broken message; its numbers would be out of range
        message |= static_cast<std::uint32_t>((*bytes)[i]) << (8 * i);
    }
    state->callback(state->handle, kMimData, state->instance, message,
                    static_cast<std::uint32_t>(state->millisecondsAt(now)));
}

bool alsaSequencerPresent() {
    return ::access("/dev/snd/seq", R_OK | W_OK) == 0;
}

template <typename Midi>
std::vector<std::string> portNames(RtMidi::Api api) {
    std::vector<std::string> names;
    ErrorSink errors;
    try {
        Midi midi(api, kClientName);
        midi.setErrorCallback(&ErrorSink::report, &errors);
        const unsigned int count = midi.getPortCount();
        for (unsigned int i = 0; i < count; ++i) names.push_back(midi.getPortName(i));
    } catch (const RtMidiError&) {
        return {};
    }
    return names;
}

template <typename Midi>
std::optional<unsigned int> portIndex(Midi& midi, const std::string& name) {
    const unsigned int count = midi.getPortCount();
    for (unsigned int i = 0; i < count; ++i)
        if (midi.getPortName(i) == name) return i;
    return std::nullopt;
}

// The JACK client behind a JACK RtMidi object. RtMidi does not hand it out: its backend keeps
// it in the first field of the backend's private data, as every release since 2011 has.
jack_client_t* jackClientOf(RtMidi& midi) {
    struct Midi : RtMidiIn {
        static MidiApi* api(RtMidi& m) { return m.*(&Midi::rtapi_); }
    };
    struct Api : MidiApi {
        static void* data(MidiApi& a) { return a.*(&Api::apiData_); }
    };
    MidiApi* api = Midi::api(midi);
    void* data = api != nullptr ? Api::data(*api) : nullptr;
    return data != nullptr ? *static_cast<jack_client_t**>(data) : nullptr;
}

}  // namespace

// A JACK client of our own that has no ports and only listens for the server going away: once a
// server has gone, every JACK object made on it must be left alone (see retire()).
//
// jackd's libjack reports only a real loss, through the second of the two shutdown callbacks
// when both are set. PipeWire's libjack (0.3) calls only the first, and calls it also for a
// harmless error of the watching client: a port that went away while the client looked it up,
// which quick input changes bring about. Taken for a loss, that would leave live ports unclosed,
// still delivering. So there a report is checked by opening a client: when the server answers,
// the new client takes over the watch (the error has spoiled the old one's connection). Opening a
// client is safe there; with jackd's libjack it would free the clients of a lost server.
struct RtMidiPortService::JackSession {
    jack_client_t* watch = nullptr;
    std::atomic<bool> lossReported{false};  // set on libjack's threads
    bool gone = false;                      // confirmed, under the service's mutex

    JackSession() = default;
    JackSession(const JackSession&) = delete;
    JackSession& operator=(const JackSession&) = delete;
    ~JackSession() {
        if (watch != nullptr && !gone) jack_client_close(watch);
    }

    // Opens and activates the watching client; false when no server answers.
    bool watchServer() {
        jack_client_t* client = jack_client_open(kClientName, JackNoStartServer, nullptr);
        if (client == nullptr) return false;
        jack_on_shutdown(client, &JackSession::onShutdown, this);
        jack_on_info_shutdown(client, &JackSession::onInfoShutdown, this);
        if (watch != nullptr) jack_client_close(watch);  // its callbacks are over once it returns
        watch = client;
        lossReported.store(false);
        return jack_activate(client) == 0;
    }

    // Whether the server has gone; see above.
    bool confirmGone() {
        if (gone || !lossReported.load()) return gone;
        if (!onPipeWire() || !watchServer()) gone = true;
        return gone;
    }

    static bool onPipeWire() {
        static const bool pipeWire =
            std::string_view(jack_get_version_string()).find("PipeWire") != std::string_view::npos;
        return pipeWire;
    }

    static void onShutdown(void* session) {
        static_cast<JackSession*>(session)->lossReported.store(true);
    }
    static void onInfoShutdown(jack_status_t, const char*, void* session) { onShutdown(session); }
};

struct RtMidiPortService::Port {
    bool input = false;
    Device device;
    std::shared_ptr<JackSession> session;  // null for ALSA
    // Declared before the RtMidi objects, which call into them until they are destroyed.
    ErrorSink errors;
    InputState state;
    std::unique_ptr<RtMidiIn> in;
    std::unique_ptr<RtMidiOut> out;

    bool dead() const { return session != nullptr && session->confirmGone(); }

    // Closes a port whose MIDI system still runs. Destroying the RtMidi object closes its JACK
    // client (or joins its ALSA thread), which waits for a callback in progress; RtMidi's
    // closePort alone would not.
    //
    // An input's JACK client is taken out of the graph first. libjack walks a client's list of
    // ports on its notification thread, whenever any client changes the graph, while
    // unregistering a port frees the port's entry from that list on the caller's thread: a
    // crash inside libjack when the two meet, as quick input changes under a stream showed.
    // Deactivating waits for the server, which answers only once the notification in progress
    // has been handled, and an inactive client is sent no more of them. (An output is not taken
    // out first: RtMidi's close waits up to a second for a cycle of the client to send what is
    // still pending, and an inactive client runs none.)
    void close() {
        if (session != nullptr && in != nullptr)
            if (jack_client_t* client = jackClientOf(*in)) jack_deactivate(client);
        in.reset();
        out.reset();
    }
};

RtMidiPortService::RtMidiPortService() = default;

RtMidiPortService::~RtMidiPortService() {
    std::lock_guard lock(mutex_);
    for (auto& [handle, port] : open_) {
        if (port->dead())
            retire(std::move(port));
        else
            port->close();
    }
    open_.clear();
}

std::vector<std::uint8_t> RtMidiPortService::messageBytes(std::uint32_t message) {
    const auto status = static_cast<std::uint8_t>(message & 0xFF);
    const int length = shortMessageLength(status);
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < length; ++i) {
        const auto byte = static_cast<std::uint8_t>((message >> (8 * i)) & 0xFF);
        if (i > 0 && byte >= 0x80) return {};
        bytes.push_back(byte);
    }
    return bytes;
}

bool RtMidiPortService::isOwnPort(const std::string& apiName, const std::string& portName) {
    const std::string client = portName.substr(0, portName.find(':'));
    if (client == kClientName) return true;
    if (apiName != "jack") return false;
    const std::string renamed = std::string(kClientName) + "-";
    if (!client.starts_with(renamed) || client.size() == renamed.size()) return false;
    return std::all_of(client.begin() + static_cast<std::ptrdiff_t>(renamed.size()), client.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

std::shared_ptr<RtMidiPortService::JackSession> RtMidiPortService::jackSession() {
    if (jack_ != nullptr && !jack_->confirmGone()) return jack_;
    // A session whose server has gone lives on in its dead ports, if any.
    jack_.reset();
    auto session = std::make_shared<JackSession>();
    if (!session->watchServer()) return nullptr;
    jack_ = session;
    return session;
}

std::vector<RtMidiPortService::Device> RtMidiPortService::listDevices(bool input) {
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    std::vector<Device> devices;
    for (const RtMidi::Api api : apis) {
        // Checked first so that an absent system costs no error messages from its library.
        if (api == RtMidi::LINUX_ALSA) {
            if (!alsaSequencerPresent()) continue;
        } else if (api == RtMidi::UNIX_JACK) {
            if (jackSession() == nullptr) continue;
        } else {
            continue;
        }
        const std::string apiName = RtMidi::getApiName(api);
        for (std::string& name : input ? portNames<RtMidiIn>(api) : portNames<RtMidiOut>(api)) {
            if (name.empty() || isOwnPort(apiName, name)) continue;
            devices.push_back(Device{static_cast<int>(api), std::move(name)});
        }
    }
    return devices;
}

std::uint32_t RtMidiPortService::midiInGetNumDevs() {
    std::lock_guard lock(mutex_);
    inputs_ = listDevices(true);
    return static_cast<std::uint32_t>(inputs_.size());
}

std::uint32_t RtMidiPortService::midiOutGetNumDevs() {
    std::lock_guard lock(mutex_);
    outputs_ = listDevices(false);
    return static_cast<std::uint32_t>(outputs_.size());
}

Result RtMidiPortService::midiInGetDevCaps(DeviceId id, DeviceCaps& caps, std::uint32_t) {
    std::lock_guard lock(mutex_);
    return answerCaps(inputs_, id, caps);
}

Result RtMidiPortService::midiOutGetDevCaps(DeviceId id, DeviceCaps& caps, std::uint32_t) {
    std::lock_guard lock(mutex_);
    return answerCaps(outputs_, id, caps);
}

std::string RtMidiPortService::deviceName(bool input, DeviceId id) {
    std::lock_guard lock(mutex_);
    return answerName(input ? inputs_ : outputs_, id);
}

Result RtMidiPortService::open(bool input, Handle& handle, DeviceId id, InputCallback callback,
                               std::uint32_t instance) {
    std::lock_guard lock(mutex_);
    const auto& devices = input ? inputs_ : outputs_;
    if (id < 0 || static_cast<std::size_t>(id) >= devices.size()) return kBadDeviceId;
    if (input && callback == nullptr) return kError;
    const Device& device = devices[static_cast<std::size_t>(id)];
    for (const auto& [openHandle, openPort] : open_)
        if (openPort->input == input && openPort->device == device && !openPort->dead())
            return kAllocated;

    auto port = std::make_unique<Port>();
    port->input = input;
    port->device = device;
    const auto api = static_cast<RtMidi::Api>(device.api);
    if (api == RtMidi::UNIX_JACK) {
        port->session = jackSession();
        if (port->session == nullptr) return kError;
    }
    try {
        // The device list may have changed since it was counted: the name decides.
        std::optional<unsigned int> index;
        if (input) {
            port->state.callback = callback;
            port->state.handle = nextHandle_;
            port->state.instance = instance;
            port->in = std::make_unique<RtMidiIn>(api, kClientName);
            port->in->setErrorCallback(&ErrorSink::report, &port->errors);
            // RtMidi drops clock and active sensing by default; the monitor shows them.
            port->in->ignoreTypes(true, false, false);
            port->in->setCallback(&onMessage, &port->state);
            index = portIndex(*port->in, device.name);
            if (!index) return kBadDeviceId;
            port->in->openPort(*index, kInputPortName);
            if (port->errors.take() || !port->in->isPortOpen()) return kError;
        } else {
            port->out = std::make_unique<RtMidiOut>(api, kClientName);
            port->out->setErrorCallback(&ErrorSink::report, &port->errors);
            index = portIndex(*port->out, device.name);
            if (!index) return kBadDeviceId;
            port->out->openPort(*index, kOutputPortName);
            if (port->errors.take() || !port->out->isPortOpen()) return kError;
        }
    } catch (const RtMidiError&) {
        return kError;
    }
    handle = nextHandle_++;
    open_.emplace(handle, std::move(port));
    return kOk;
}

Result RtMidiPortService::midiInOpen(Handle& handle, DeviceId id, InputCallback callback,
                                     std::uint32_t instance, std::uint32_t) {
    return open(true, handle, id, callback, instance);
}

Result RtMidiPortService::midiOutOpen(Handle& handle, DeviceId id, InputCallback,
                                      std::uint32_t instance, std::uint32_t) {
    return open(false, handle, id, nullptr, instance);
}

RtMidiPortService::Port* RtMidiPortService::find(Handle handle, bool input) {
    auto it = open_.find(handle);
    if (it == open_.end() || it->second->input != input) return nullptr;
    return it->second.get();
}

Result RtMidiPortService::midiInStart(Handle handle) {
    std::lock_guard lock(mutex_);
    Port* port = find(handle, true);
    if (port == nullptr) return kInvalidHandle;
    if (port->dead()) return kError;
    port->state.startedAt.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    port->state.started.store(true, std::memory_order_release);
    return kOk;
}

std::optional<std::int32_t> RtMidiPortService::midiInClock(Handle handle) {
    std::lock_guard lock(mutex_);
    const Port* port = find(handle, true);
    if (port == nullptr || !port->state.started.load(std::memory_order_acquire))
        return std::nullopt;
    return port->state.millisecondsAt(Clock::now());
}

Result RtMidiPortService::midiOutShortMsg(Handle handle, std::uint32_t message) {
    std::lock_guard lock(mutex_);
    Port* port = find(handle, false);
    if (port == nullptr) return kInvalidHandle;
    if (port->dead()) return kError;
    const std::vector<std::uint8_t> bytes = messageBytes(message);
    if (bytes.empty()) return kError;
    try {
        port->out->sendMessage(bytes.data(), bytes.size());
    } catch (const RtMidiError&) {
        return kError;
    }
    return port->errors.take() ? kError : kOk;
}

Result RtMidiPortService::close(bool input, Handle handle) {
    std::lock_guard lock(mutex_);
    auto it = open_.find(handle);
    if (it == open_.end() || it->second->input != input) return kInvalidHandle;
    std::unique_ptr<Port> port = std::move(it->second);
    open_.erase(it);
    if (port->dead())
        retire(std::move(port));
    else
        port->close();
    return kOk;
}

Result RtMidiPortService::midiInClose(Handle handle) {
    return close(true, handle);
}
Result RtMidiPortService::midiOutClose(Handle handle) {
    return close(false, handle);
}

void RtMidiPortService::retire(std::unique_ptr<Port> port) {
    // Once the process opens a JACK client after a server has gone, libjack frees every client of
    // that server, and RtMidi's destructor would then unregister a port of a freed client. Such
    // ports are kept, reachable, for the rest of the run: a few hundred bytes per lost server.
    static std::mutex retiredMutex;
    static auto* retired = new std::vector<std::unique_ptr<Port>>();
    std::lock_guard lock(retiredMutex);
    retired->push_back(std::move(port));
}

}  // namespace tamblin::ports
