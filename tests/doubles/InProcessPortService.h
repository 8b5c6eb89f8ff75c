#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ports/PortService.h"

namespace tamblin::ports {

// A port service that lives inside the process, for tests. A test sets up the devices (any
// number, busy or failing ones among them), plays messages into an open input from a thread of
// the service, and reads back every message sent on each output handle. It keeps the handle
// rules of the real service: handle 0 and closed handles are refused, and once midiInClose has
// returned no callback for that port runs any more.
class InProcessPortService final : public PortService {
public:
    struct Event {
        std::uint32_t message;
        std::int32_t time;
        // When not empty, a long message instead (SysEx, or any event that is no short message):
        // handed to the long callback, if one was set, with `time` in milliseconds and 1000 times
        // it in microseconds.
        std::vector<std::uint8_t> bytes = {};
    };

    // Handles come from `handles` when given (shared with other services), else 0x100, 0x101, ...
    explicit InProcessPortService(HandleSource* handles = nullptr) : handles_(handles) {}
    ~InProcessPortService() override;

    // Set-up, by the test.
    void setInputDevices(std::vector<std::string> names) { setDevices(true, std::move(names)); }
    void setOutputDevices(std::vector<std::string> names) { setDevices(false, std::move(names)); }
    // Open answers 4.
    void setInputBusy(DeviceId id, bool busy) { mark(true, id, &Device::busy, busy); }
    void setOutputBusy(DeviceId id, bool busy) { mark(false, id, &Device::busy, busy); }
    // Open answers a failure other than 4.
    void setInputFailing(DeviceId id, bool failing) { mark(true, id, &Device::failing, failing); }
    void setOutputFailing(DeviceId id, bool failing) { mark(false, id, &Device::failing, failing); }
    // The device disappears: open ports on it stop delivering and sending, and it leaves the
    // device list at the next count.
    void vanishInput(DeviceId id) { vanish(true, id); }
    void vanishOutput(DeviceId id) { vanish(false, id); }
    // Fixes the clock that midiInClock reports (otherwise milliseconds since midiInStart).
    void setClock(std::int32_t ms);

    // Delivers messages to the started input port of device `id`, on the calling thread.
    // Returns how many were delivered (none when the port is not open and started).
    std::size_t play(DeviceId id, const std::vector<Event>& events);
    // The same on a thread of the service; waitForPlayers() joins it.
    void playFromThread(DeviceId id, std::vector<Event> events);
    void waitForPlayers();

    // Long sends larger than `bytes` answer kTooLarge (by default none).
    void setLongLimit(std::size_t bytes);

    // Inspection.
    std::vector<std::uint32_t> sent(Handle handle) const;
    // Every send on the handle as its bytes, short and long, in order.
    std::vector<std::vector<std::uint8_t>> sentBytes(Handle handle) const;
    std::vector<std::uint32_t> sentToDevice(DeviceId id) const;
    std::size_t sendCount() const;
    bool inputOpen(DeviceId id) const { return isOpen(true, id); }
    bool outputOpen(DeviceId id) const { return isOpen(false, id); }
    int inputOpens() const;  // successful input opens so far
    int outputOpens() const;
    std::vector<std::string> calls() const;  // "midiInClose(3) = 0", in call order

    // PortService.
    std::uint32_t countDevices(bool input) override;
    std::optional<std::string> listedName(bool input, DeviceId id) override;
    Result open(bool input, Handle& handle, DeviceId id, InputCallback callback,
                Instance instance) override;
    Result close(bool input, Handle handle) override;
    Result midiInStart(Handle handle) override;
    Result midiOutShortMsg(Handle handle, std::uint32_t message) override;
    Result midiOutLongMsg(Handle handle, const std::uint8_t* bytes, std::size_t size) override;
    std::optional<std::int32_t> midiInClock(Handle handle) override;

private:
    struct Device {
        int serial = 0;
        std::string name;
        bool busy = false;
        bool failing = false;
        bool vanished = false;
    };
    struct Port {
        bool input = false;
        int device = 0;     // serial of the device
        bool dead = false;  // the device vanished while the port was open
        InputCallback callback = nullptr;
        LongCallback longCallback = nullptr;
        Instance instance = 0;
        bool started = false;
        std::chrono::steady_clock::time_point startedAt;
        std::vector<std::uint32_t> sent;
        std::vector<std::vector<std::uint8_t>> sentBytes;
    };

    void setDevices(bool input, std::vector<std::string> names);
    void mark(bool input, DeviceId id, bool Device::*flag, bool value);
    void vanish(bool input, DeviceId id);
    bool isOpen(bool input, DeviceId id) const;
    const Port* findOpen(bool input, int serial) const;
    int serialOf(bool input, DeviceId id) const;  // 0 for no such device
    void record(std::string call);

    // Held while a callback runs, so that a close waits for a delivery in progress.
    mutable std::recursive_mutex mutex_;
    DeviceLists<Device> devices_;
    std::map<Handle, Port> open_;  // open ports only
    std::map<Handle, Port> closed_;
    int nextSerial_ = 1;
    HandleSource* handles_;
    Handle nextHandle_ = 0x100;
    int inputOpens_ = 0;
    int outputOpens_ = 0;
    std::optional<std::int32_t> clock_;
    std::optional<std::size_t> longLimit_;
    std::vector<std::string> calls_;
    std::vector<std::thread> players_;
};

}  // namespace tamblin::ports
