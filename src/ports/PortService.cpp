#include "ports/PortService.h"

#include <algorithm>
#include <cstring>

namespace tamblin::ports {

namespace {

bool isContinuationByte(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// An invalid id gets an empty name: callers reuse the structure, and a name left from an earlier
// query must not show.
Result answerCaps(PortService& service, bool input, DeviceId id, DeviceCaps& caps) {
    const std::optional<std::string> name = service.listedName(input, id);
    writeProductName(caps, name ? name->c_str() : "");
    return name ? kOk : kBadDeviceId;
}

}  // namespace

void writeProductName(DeviceCaps& caps, const char* name) {
    if (name == nullptr) name = "";
    auto* out = caps.bytes.data() + DeviceCaps::kNameOffset;
    std::size_t length = std::min(std::strlen(name), DeviceCaps::kNameBytes - 1);
    // Port names are UTF-8: a cut inside a character would leave half of it on screen.
    while (length > 0 && isContinuationByte(name[length])) --length;
    std::memcpy(out, name, length);
    std::memset(out + length, 0, DeviceCaps::kNameBytes - length);
}

Result PortService::midiInGetDevCaps(DeviceId id, DeviceCaps& caps, std::uint32_t) {
    return answerCaps(*this, true, id, caps);
}

Result PortService::midiOutGetDevCaps(DeviceId id, DeviceCaps& caps, std::uint32_t) {
    return answerCaps(*this, false, id, caps);
}

Result PortService::midiInOpen(Handle& handle, DeviceId id, InputCallback callback,
                               Instance instance, std::uint32_t) {
    return open(true, handle, id, callback, instance);
}

Result PortService::midiOutOpen(Handle& handle, DeviceId id, InputCallback, Instance instance,
                                std::uint32_t) {
    return open(false, handle, id, nullptr, instance);
}

std::string PortService::deviceName(bool input, DeviceId id) {
    return listedName(input, id).value_or(std::string());
}

}  // namespace tamblin::ports
