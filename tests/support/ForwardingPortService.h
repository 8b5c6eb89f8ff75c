#pragma once

#include "ports/PortService.h"

namespace tamblin::testing {

// Passes every call on to another port service. Test doubles derive from it and override only
// the calls they watch.
class ForwardingPortService : public ports::PortService {
public:
    explicit ForwardingPortService(ports::PortService& inner) : inner_(inner) {}

    std::uint32_t midiInGetNumDevs() override { return inner_.midiInGetNumDevs(); }
    ports::Result midiInGetDevCaps(ports::DeviceId id, ports::DeviceCaps& caps,
                                   std::uint32_t size) override {
        return inner_.midiInGetDevCaps(id, caps, size);
    }
    ports::Result midiInOpen(ports::Handle& handle, ports::DeviceId id,
                             ports::InputCallback callback, std::uint32_t instance,
                             std::uint32_t flags) override {
        return inner_.midiInOpen(handle, id, callback, instance, flags);
    }
    ports::Result midiInStart(ports::Handle handle) override { return inner_.midiInStart(handle); }
    ports::Result midiInClose(ports::Handle handle) override { return inner_.midiInClose(handle); }

    std::uint32_t midiOutGetNumDevs() override { return inner_.midiOutGetNumDevs(); }
    ports::Result midiOutGetDevCaps(ports::DeviceId id, ports::DeviceCaps& caps,
                                    std::uint32_t size) override {
        return inner_.midiOutGetDevCaps(id, caps, size);
    }
    ports::Result midiOutOpen(ports::Handle& handle, ports::DeviceId id,
                              ports::InputCallback callback, std::uint32_t instance,
                              std::uint32_t flags) override {
        return inner_.midiOutOpen(handle, id, callback, instance, flags);
    }
    ports::Result midiOutShortMsg(ports::Handle handle, std::uint32_t message) override {
        return inner_.midiOutShortMsg(handle, message);
    }
    ports::Result midiOutClose(ports::Handle handle) override {
        return inner_.midiOutClose(handle);
    }

    std::string deviceName(bool input, ports::DeviceId id) override {
        return inner_.deviceName(input, id);
    }
    std::optional<std::int32_t> midiInClock(ports::Handle handle) override {
        return inner_.midiInClock(handle);
    }
    void setThruGate(bool outputAllowed, bool realTimeFiltered) override {
        inner_.setThruGate(outputAllowed, realTimeFiltered);
    }

protected:
    ports::PortService& inner_;
};

}  // namespace tamblin::testing
