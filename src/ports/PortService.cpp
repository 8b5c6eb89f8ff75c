#include "ports/PortService.h"

#include <algorithm>
#include <cstring>

namespace tamblin::ports {

namespace {

bool isContinuationByte(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
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

}  // namespace tamblin::ports
