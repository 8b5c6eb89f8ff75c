#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ports/PortService.h"

namespace tamblin::ports {

// One port service made of several: the devices of each in turn (the first service's first), and
// each call on a handle passed to the service that opened it. The services must share one
// HandleSource, so that their handles are unique among them all and pass through unchanged (the
// input callback is handed the same handle the opener got). The handle rules hold for the whole:
// handle 0, a closed handle and a handle of the other direction are refused with no effect.
//
// Threads: as PortService; every call runs on the user-interface thread.
class CompositePortService final : public PortService {
public:
    explicit CompositePortService(std::vector<PortService*> services);

    std::uint32_t countDevices(bool input) override;
    std::optional<std::string> listedName(bool input, DeviceId id) override;
    Result open(bool input, Handle& handle, DeviceId id, InputCallback callback,
                Instance instance) override;
    Result close(bool input, Handle handle) override;
    Result midiInStart(Handle handle) override;
    Result midiOutShortMsg(Handle handle, std::uint32_t message) override;
    Result midiOutLongMsg(Handle handle, const std::uint8_t* bytes, std::size_t size) override;
    std::optional<std::int32_t> midiInClock(Handle handle) override;
    void setThruGate(bool outputAllowed, bool realTimeFiltered) override;
    void setFineTimes(bool fine) override;
    void setLongCallback(LongCallback callback) override;

private:
    struct Open {
        PortService* service;
        bool input;
    };

    // The service that device `id` belongs to, with the id it has there; null for no such device.
    PortService* locate(bool input, DeviceId& id) const;
    PortService* owner(Handle handle, bool input) const;

    std::vector<PortService*> services_;
    std::vector<std::uint32_t> inputCounts_;  // per service, as last counted
    std::vector<std::uint32_t> outputCounts_;
    std::map<Handle, Open> open_;
};

}  // namespace tamblin::ports
