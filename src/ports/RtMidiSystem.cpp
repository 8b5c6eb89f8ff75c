#include <unistd.h>

#include <RtMidi.h>
#include <atomic>

#include "ports/MidiSystem.h"

namespace tamblin::ports {

namespace {

// Collects the errors RtMidi reports through its error callback, which it calls instead of
// throwing once one is set, on the thread of the failing call.
struct ErrorSink {
    std::atomic<bool> raised{false};

    static void report(RtMidiError::Type type, const std::string&, void* sink) {
        if (type != RtMidiError::DEBUG_WARNING)
            static_cast<ErrorSink*>(sink)->raised.store(true, std::memory_order_relaxed);
    }
    bool take() { return raised.exchange(false, std::memory_order_relaxed); }
};

template <typename Midi>
std::vector<std::string> namesOf(Midi& midi) {
    std::vector<std::string> names;
    const unsigned int count = midi.getPortCount();
    for (unsigned int i = 0; i < count; ++i) names.push_back(midi.getPortName(i));
    return names;
}

template <typename Midi>
class Endpoint final : public MidiEndpoint {
public:
    // The receiver is set before the RtMidi object exists and outlives it (members are destroyed
    // in reverse order): RtMidi calls into it until its destructor has joined its thread.
    Endpoint(RtMidi::Api api, const std::string& clientName, MidiReceive receive, void* user,
             bool sysex)
        : receive_(receive), user_(user), midi_(api, clientName) {
        midi_.setErrorCallback(&ErrorSink::report, &errors_);
        if constexpr (std::is_same_v<Midi, RtMidiIn>) {
            // RtMidi drops clock and active sensing by default; the monitor shows them. SysEx
            // only when asked for.
            midi_.ignoreTypes(!sysex, false, false);
            midi_.setCallback(&Endpoint::onMessage, this);
        }
    }

    std::vector<std::string> portNames() override {
        std::vector<std::string> names = namesOf(midi_);
        errors_.take();
        return names;
    }

    bool openPort(unsigned int index, const std::string& portName) override {
        try {
            midi_.openPort(index, portName);
        } catch (const RtMidiError&) {
            return false;
        }
        return !errors_.take() && midi_.isPortOpen();
    }

    bool send(const std::uint8_t* bytes, std::size_t size) override {
        if constexpr (std::is_same_v<Midi, RtMidiOut>) {
            try {
                midi_.sendMessage(bytes, size);
            } catch (const RtMidiError&) {
                return false;
            }
            return !errors_.take();
        } else {
            return false;
        }
    }

private:
    static void onMessage(double, std::vector<unsigned char>* bytes, void* self) {
        auto* endpoint = static_cast<Endpoint*>(self);
        endpoint->receive_(bytes->data(), bytes->size(), endpoint->user_);
    }

    MidiReceive receive_;
    void* user_;
    ErrorSink errors_;
    Midi midi_;
};

class RtMidiSystem final : public MidiSystem {
public:
    std::vector<int> apis() override {
        std::vector<RtMidi::Api> compiled;
        RtMidi::getCompiledApi(compiled);
        std::vector<int> usable;
        for (const RtMidi::Api api : compiled) {
            // Checked first so that an absent system costs no error messages from its library.
            if (api == RtMidi::LINUX_ALSA && ::access("/dev/snd/seq", R_OK | W_OK) != 0) continue;
            if (api == RtMidi::UNIX_JACK || api == RtMidi::RTMIDI_DUMMY) continue;
            usable.push_back(static_cast<int>(api));
        }
        return usable;
    }

    std::vector<std::string> portNames(int api, bool input,
                                       const std::string& clientName) override {
        try {
            if (input) {
                RtMidiIn midi(static_cast<RtMidi::Api>(api), clientName);
                return namesOf(midi);
            }
            RtMidiOut midi(static_cast<RtMidi::Api>(api), clientName);
            return namesOf(midi);
        } catch (const RtMidiError&) {
            return {};
        }
    }

    std::unique_ptr<MidiEndpoint> makeInput(int api, const std::string& clientName,
                                            MidiReceive receive, void* user, bool sysex) override {
        try {
            return std::make_unique<Endpoint<RtMidiIn>>(static_cast<RtMidi::Api>(api), clientName,
                                                        receive, user, sysex);
        } catch (const RtMidiError&) {
            return nullptr;
        }
    }

    std::unique_ptr<MidiEndpoint> makeOutput(int api, const std::string& clientName) override {
        try {
            return std::make_unique<Endpoint<RtMidiOut>>(static_cast<RtMidi::Api>(api), clientName,
                                                         nullptr, nullptr, false);
        } catch (const RtMidiError&) {
            return nullptr;
        }
    }
};

}  // namespace

std::unique_ptr<MidiSystem> makeRtMidiSystem() {
    return std::make_unique<RtMidiSystem>();
}

}  // namespace tamblin::ports
