#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ports/PortService.h"

namespace tamblin::ports {

// The port service over RtMidi: the ports of every MIDI system that works on this machine, ALSA
// sequencer first, then JACK, each in its own port order. A system that cannot be reached is left
// out. The service's own ports never show as devices (a thru into its own input would loop), and
// neither do those of another Tamblin, for the same reason: on JACK every client named "Tamblin"
// or "Tamblin-NN" (JACK renames a second "Tamblin" that way), on ALSA the client "Tamblin".
//
// Threads: the operations run on the user-interface thread. The input callback runs on the MIDI
// system's thread (JACK's process thread, RtMidi's ALSA input thread), once per short message,
// from midiInStart until midiInClose returns; it must not block, allocate or touch a widget:
// storing into a lock-free ring is what it is for. midiInClose destroys the port's RtMidi object,
// which stops that thread's work for the port, so no callback runs after it returns.
//
// If the JACK server goes away, its ports stay in the handle table as dead ports: sends on them
// fail and closing them only forgets them (see the .cpp for why their RtMidi objects are kept).
class RtMidiPortService final : public PortService {
public:
    RtMidiPortService();
    ~RtMidiPortService() override;

    std::uint32_t midiInGetNumDevs() override;
    Result midiInGetDevCaps(DeviceId id, DeviceCaps& caps, std::uint32_t size) override;
    Result midiInOpen(Handle& handle, DeviceId id, InputCallback callback, std::uint32_t instance,
                      std::uint32_t flags) override;
    Result midiInStart(Handle handle) override;
    Result midiInClose(Handle handle) override;

    std::uint32_t midiOutGetNumDevs() override;
    Result midiOutGetDevCaps(DeviceId id, DeviceCaps& caps, std::uint32_t size) override;
    Result midiOutOpen(Handle& handle, DeviceId id, InputCallback callback, std::uint32_t instance,
                       std::uint32_t flags) override;
    Result midiOutShortMsg(Handle handle, std::uint32_t message) override;
    Result midiOutClose(Handle handle) override;

    std::string deviceName(bool input, DeviceId id) override;
    std::optional<std::int32_t> midiInClock(Handle handle) override;

    // The bytes of a short message as they go out (1 to 3), or an empty vector for a value that
    // is no short message: a data byte where the status belongs, SysEx start or end, or a data
    // byte with its top bit set.
    static std::vector<std::uint8_t> messageBytes(std::uint32_t message);
    // Whether `portName`, as RtMidi names ports of the system called `apiName` ("jack",
    // "alsa"), belongs to a client of this program.
    static bool isOwnPort(const std::string& apiName, const std::string& portName);

private:
    struct Device {
        int api = 0;  // RtMidi::Api
        std::string name;
        bool operator==(const Device&) const = default;
    };
    struct JackSession;
    struct Port;

    std::vector<Device> listDevices(bool input);
    Result open(bool input, Handle& handle, DeviceId id, InputCallback callback,
                std::uint32_t instance);
    Result close(bool input, Handle handle);
    Port* find(Handle handle, bool input);
    // The JACK session to build new JACK objects on, replacing one whose server has gone; none
    // when no JACK server can be reached.
    std::shared_ptr<JackSession> jackSession();
    void retire(std::unique_ptr<Port> port);

    std::mutex mutex_;
    std::vector<Device> inputs_;
    std::vector<Device> outputs_;
    std::map<Handle, std::unique_ptr<Port>> open_;
    Handle nextHandle_ = 1;
    std::shared_ptr<JackSession> jack_;
};

}  // namespace tamblin::ports
