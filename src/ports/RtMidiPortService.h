#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ports/MidiSystem.h"
#include "ports/PortService.h"

namespace tamblin::ports {

// The port service over RtMidi, for the MIDI systems that JackPortService does not speak to: on
// Linux the ALSA sequencer, elsewhere the platform's own. Devices are the ports of every system
// that can be reached, each system in its own port order. Each open port is a client of its own,
// named "Tamblin", whose port is "Monitor input" (an input) or "Thru output" (an output); the
// ports of every client named "Tamblin" are never listed, so that neither this monitor nor
// another one is offered as a device (a thru into a monitor's own input would loop). A device
// open in one direction answers a second open of it in that direction with kAllocated.
//
// Threads: the operations run on the user-interface thread. The input callback runs on the MIDI
// system's input thread, once per short message, from midiInStart until midiInClose returns; it
// must not block, allocate or touch a widget. With a long callback set (setLongCallback), RtMidi
// assembles each SysEx and hands it whole to that callback on the same thread. midiInClose destroys
// the port's endpoint, which joins that thread's work for the port, so no callback runs after it
// returns.
class RtMidiPortService final : public PortService {
public:
    static constexpr const char* kClientName = "Tamblin";
    static constexpr const char* kInputPortName = "Monitor input";
    static constexpr const char* kOutputPortName = "Thru output";

    // Handles come from `handles` when given (shared with other services), else from a source of
    // the service's own.
    explicit RtMidiPortService(std::unique_ptr<MidiSystem> system = makeRtMidiSystem(),
                               HandleSource* handles = nullptr);
    ~RtMidiPortService() override;

    std::uint32_t countDevices(bool input) override;
    std::optional<std::string> listedName(bool input, DeviceId id) override;
    Result open(bool input, Handle& handle, DeviceId id, InputCallback callback,
                Instance instance) override;
    Result close(bool input, Handle handle) override;
    Result midiInStart(Handle handle) override;
    Result midiOutShortMsg(Handle handle, std::uint32_t message) override;
    Result midiOutLongMsg(Handle handle, const std::uint8_t* bytes, std::size_t size) override;
    std::optional<std::int32_t> midiInClock(Handle handle) override;
    // The input thread's clock times each message to the microsecond.
    void setFineTimes(bool fine) override { fineTimes_ = fine; }

private:
    using Clock = std::chrono::steady_clock;
    struct Device {
        int api = 0;
        std::string name;
        bool operator==(const Device&) const = default;
    };
    // What the input thread reads. `started` is published with release after `startedAt`.
    struct InputState {
        InputCallback callback = nullptr;
        LongCallback longCallback = nullptr;  // with --sysex
        Handle handle = 0;
        Instance instance = 0;
        std::atomic<bool> started{false};
        std::atomic<Clock::rep> startedAt{0};
        bool fineTimes = false;  // set before `started` is published

        std::int64_t microsecondsAt(Clock::time_point when) const;
        std::int32_t millisecondsAt(Clock::time_point when) const {
            return static_cast<std::int32_t>(microsecondsAt(when) / 1000);
        }
    };
    struct Port {
        bool input = false;
        Device device;
        InputState state;
        std::unique_ptr<MidiEndpoint> endpoint;  // last: it calls into `state` until destroyed
    };

    static void onMessage(const std::uint8_t* bytes, std::size_t size, void* state);
    std::vector<Device> listDevices(bool input);
    Port* find(Handle handle, bool input);

    std::unique_ptr<MidiSystem> system_;
    HandleSource ownHandles_;
    bool fineTimes_ = false;
    HandleSource& handles_;
    std::mutex mutex_;
    DeviceLists<Device> devices_;
    std::map<Handle, std::unique_ptr<Port>> open_;
};

}  // namespace tamblin::ports
