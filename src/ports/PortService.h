#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ports/Interface.h"

namespace tamblin::ports {

// Opaque port handle; 0 means "no port". Handles are never reused within one service.
using Handle = std::uint32_t;
using Result = std::uint32_t;
using DeviceId = std::int32_t;
// The value an input's opener hands midiInOpen and gets back in every callback: pointer-sized,
// so that the callback can reach what the opener owns (the ring it fills) without a global.
using Instance = std::uintptr_t;

// Result codes. Callers only look at the result of the two opens and of a long send.
inline constexpr Result kOk = 0;
inline constexpr Result kError = 1;
inline constexpr Result kBadDeviceId = 2;
inline constexpr Result kAllocated = 4;  // the device is already in use
inline constexpr Result kInvalidHandle = 5;
// A long message larger than the output carries in one piece: nothing of it was sent.
inline constexpr Result kTooLarge = 6;

// Notification codes handed to the input callback.
inline constexpr std::uint32_t kMimOpen = 961;
inline constexpr std::uint32_t kMimClose = 962;
inline constexpr std::uint32_t kMimData = 963;  // a short message has arrived
// A short message has arrived and the service has decided itself whether it goes out on the open
// output (direct thru): sent in the JACK cycle it arrived in, held to go out in its place once the
// output is connected, or kept back by the gate as it stood at arrival. Whoever forwards received
// messages must not send it.
inline constexpr std::uint32_t kMimDataDecided = 0x10000 | kMimData;
// A service asked for fine times (setFineTimes) adds to a short message's notification the
// microseconds past its timestamp's millisecond, 0 to 999, shifted into bits 20 to 29, so that
// the callback keeps the parameters of the platform's services.
inline constexpr int kMimMicrosShift = 20;
inline constexpr std::uint32_t kMimMicrosMask = 0x3FFu << kMimMicrosShift;
inline constexpr std::uint32_t kMimLongData = 964;
inline constexpr std::uint32_t kMimError = 965;

inline constexpr std::uint32_t kCallbackFunction = 0x30000;

// Input callback: (handle, notification, instance value, first parameter, second parameter).
// For kMimData and kMimDataDecided the first parameter is the short message (status in bits
// 0-7, data bytes above it) and the second its timestamp in milliseconds since midiInStart.
using InputCallback = void (*)(std::uint32_t handle, std::uint32_t notification, Instance instance,
                               std::uint32_t param1, std::uint32_t param2);

// One message that is no short message, as an input delivered it whole (SysEx, or an event that
// is no MIDI message at all), for the long-message route (PortService::setLongCallback).
struct LongData {
    const std::uint8_t* bytes = nullptr;  // valid during the call only
    std::size_t size = 0;
    std::uint32_t time = 0;    // milliseconds since midiInStart, as the short messages' times
    std::uint64_t micros = 0;  // microseconds since midiInStart, on the same clock
    bool decided = false;      // as kMimDataDecided: the service decided its thru itself
    bool notSent = false;      // decided, let through by the gate, but too large to go out
};

// The long-message route, beside InputCallback (the platform's MIM_LONGDATA): called on the
// thread of the short messages' callback, in arrival order with them, with the open's instance.
using LongCallback = void (*)(Handle handle, Instance instance, const LongData& data);

// Device capabilities as the service fills them: 44 bytes, the product name from byte 8,
// zero-terminated, at most 31 characters. Other bytes are left as the caller handed them.
struct DeviceCaps {
    static constexpr std::size_t kSize = 44;
    static constexpr std::size_t kNameOffset = 8;
    static constexpr std::size_t kNameBytes = 32;
    std::array<std::uint8_t, kSize> bytes{};
};

// Hands out handles that are never reused: 1, 2, 3, ... Services that share one hand out handles
// that are unique among them all, so that a service made of several can pass them on unchanged.
class HandleSource {
public:
    Handle take() noexcept { return next_.fetch_add(1, std::memory_order_relaxed); }

private:
    std::atomic<Handle> next_{1};
};

// Writes `name` into caps as the product name (at most 31 bytes, then zero-filled).
void writeProductName(DeviceCaps& caps, const char* name);

// The MIDI port boundary of the program. Every operation is called from the user-interface
// thread. The input callback runs on a thread of the service, between midiInStart and
// midiInClose; once midiInClose has returned no callback for that port runs any more.
// Operations on handle 0, on a closed handle or on a handle of the other direction return a
// nonzero code and do nothing.
//
// The program calls the operations by the names of the platform's MIDI services. Where both
// directions do the same job (count, name, open, close), the two names hand the direction to one
// virtual below, which a service implements once; the capabilities are filled here, from the
// name. A service implements the other operations, which have one direction, as they are.
class PortService : public Interface {
public:
    virtual ~PortService() = default;

    // Device ids run 0..count-1 in a stable order. Counting takes a fresh look at the system;
    // later queries and opens refer to the devices as counted.
    [[nodiscard]] std::uint32_t midiInGetNumDevs() { return countDevices(true); }
    // An invalid id answers kBadDeviceId with an empty product name. `size` (DeviceCaps::kSize)
    // is not looked at.
    Result midiInGetDevCaps(DeviceId id, DeviceCaps& caps, std::uint32_t size);
    // `flags` (kCallbackFunction) is not looked at: an input port always calls `callback`, and
    // an open without one fails.
    [[nodiscard]] Result midiInOpen(Handle& handle, DeviceId id, InputCallback callback,
                                    Instance instance, std::uint32_t flags);
    virtual Result midiInStart(Handle handle) = 0;
    Result midiInClose(Handle handle) { return close(true, handle); }

    [[nodiscard]] std::uint32_t midiOutGetNumDevs() { return countDevices(false); }
    Result midiOutGetDevCaps(DeviceId id, DeviceCaps& caps, std::uint32_t size);
    // An output port calls nothing back: `callback` and `flags` are not looked at.
    [[nodiscard]] Result midiOutOpen(Handle& handle, DeviceId id, InputCallback callback,
                                     Instance instance, std::uint32_t flags);
    virtual Result midiOutShortMsg(Handle handle, std::uint32_t message) = 0;
    // Sends one long message (a SysEx) whole, in order with the short messages sent before and
    // after it; kTooLarge, with nothing sent, when the output cannot carry it in one piece.
    virtual Result midiOutLongMsg(Handle handle, const std::uint8_t* bytes, std::size_t size) {
        static_cast<void>(handle);
        static_cast<void>(bytes);
        static_cast<void>(size);
        return kError;
    }
    Result midiOutClose(Handle handle) { return close(false, handle); }

    // The whole name of an input (`input`) or output device as last counted, which the product
    // name of the capabilities cuts to 31 bytes; empty for an invalid id.
    [[nodiscard]] std::string deviceName(bool input, DeviceId id);

    // Milliseconds on the clock of a started input port (the clock its timestamps use), or
    // nothing when the handle is no started input port.
    [[nodiscard]] virtual std::optional<std::int32_t> midiInClock(Handle handle) = 0;

    // The window's "Allow MIDI output" and "Don't display system real time messages", mirrored
    // each time either changes and after each output open or Change, for a service that decides
    // the thru of received messages itself (direct thru, reported through kMimDataDecided).
    // Other services ignore them.
    virtual void setThruGate(bool outputAllowed, bool realTimeFiltered) {
        static_cast<void>(outputAllowed);
        static_cast<void>(realTimeFiltered);
    }

    // Asks a service that times arrivals more finely than milliseconds to add the microseconds
    // to the notifications of the inputs it opens from now on (kMimMicrosShift). Other services
    // ignore it; without it every service calls back as the platform's services do.
    virtual void setFineTimes(bool fine) { static_cast<void>(fine); }
    // SysEx: inputs opened from now on hand every message that is no short message to
    // `callback`, whole; null (as at start) drops them at the port. Called before the opens.
    virtual void setLongCallback(LongCallback callback) { longCallback_ = callback; }

    // The jobs of both directions, for the input devices and ports when `input` is true and the
    // output ones otherwise, with the threads and handle rules of the operations above. The
    // program calls them by those names; they are public so that a service made of others can
    // hand them on.

    // midiInGetNumDevs and midiOutGetNumDevs.
    [[nodiscard]] virtual std::uint32_t countDevices(bool input) = 0;
    // The whole name of device `id` as last counted; nothing for an invalid id.
    [[nodiscard]] virtual std::optional<std::string> listedName(bool input, DeviceId id) = 0;
    // midiInOpen and midiOutOpen; `callback` is null for an output. A failed open leaves
    // `handle` as it was.
    [[nodiscard]] virtual Result open(bool input, Handle& handle, DeviceId id,
                                      InputCallback callback, Instance instance) = 0;
    // midiInClose and midiOutClose.
    virtual Result close(bool input, Handle handle) = 0;

protected:
    LongCallback longCallback() const { return longCallback_; }

private:
    LongCallback longCallback_ = nullptr;
};

// The devices of both directions as a service last listed them, in id order, for a service that
// answers queries on devices from the list it takes at each count. `Device` has a `name`.
template <typename Device>
class DeviceLists {
public:
    std::vector<Device>& of(bool input) { return input ? inputs_ : outputs_; }
    const std::vector<Device>& of(bool input) const { return input ? inputs_ : outputs_; }

    // Takes `devices` as the list of one direction and answers their count.
    std::uint32_t take(bool input, std::vector<Device> devices) {
        of(input) = std::move(devices);
        return static_cast<std::uint32_t>(of(input).size());
    }

    // Device `id`, or null for an id outside the list.
    const Device* find(bool input, DeviceId id) const {
        const std::vector<Device>& devices = of(input);
        if (id < 0 || static_cast<std::size_t>(id) >= devices.size()) return nullptr;
        return &devices[static_cast<std::size_t>(id)];
    }

    std::optional<std::string> name(bool input, DeviceId id) const {
        const Device* device = find(input, id);
        if (device == nullptr) return std::nullopt;
        return device->name;
    }

private:
    std::vector<Device> inputs_;
    std::vector<Device> outputs_;
};

}  // namespace tamblin::ports
