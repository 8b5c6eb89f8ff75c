#pragma once

#include "ports/PortService.h"

namespace tamblin::testing {

// Passes every call on to another port service. Test doubles derive from it and override only
// the calls they watch.
class ForwardingPortService : public ports::PortService {
public:
    explicit ForwardingPortService(ports::PortService& inner) : inner_(inner) {}

    std::uint32_t countDevices(bool input) override { return inner_.countDevices(input); }
    std::optional<std::string> listedName(bool input, ports::DeviceId id) override {
        return inner_.listedName(input, id);
    }
    ports::Result open(bool input, ports::Handle& handle, ports::DeviceId id,
                       ports::InputCallback callback, ports::Instance instance) override {
        return inner_.open(input, handle, id, callback, instance);
    }
    ports::Result close(bool input, ports::Handle handle) override {
        return inner_.close(input, handle);
    }
    ports::Result midiInStart(ports::Handle handle) override { return inner_.midiInStart(handle); }
    ports::Result midiOutShortMsg(ports::Handle handle, std::uint32_t message) override {
        return inner_.midiOutShortMsg(handle, message);
    }
    ports::Result midiOutLongMsg(ports::Handle handle, const std::uint8_t* bytes,
                                 std::size_t size) override {
        return inner_.midiOutLongMsg(handle, bytes, size);
    }
    void setLongCallback(ports::LongCallback callback) override {
        inner_.setLongCallback(callback);
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
