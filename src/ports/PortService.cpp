#include "ports/PortService.h"

#include <algorithm>
#include <cstring>

namespace tamblin::ports {

void writeProductName(DeviceCaps& caps, const char* name) {
    auto* out = caps.bytes.data() + DeviceCaps::kNameOffset;
    const std::size_t length = std::min(std::strlen(name), DeviceCaps::kNameBytes - 1);
    std::memcpy(out, name, length);
    std::memset(out + length, 0, DeviceCaps::kNameBytes - length);
}

}  // namespace tamblin::ports
