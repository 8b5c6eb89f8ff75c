#include "ports/ShortMessage.h"

#include <algorithm>
#include <cctype>

namespace tamblin::ports {

bool isTamblinClient(std::string_view client, bool renamedToo) {
    constexpr std::string_view kName = "Tamblin";
    if (client == kName) return true;
    if (!renamedToo || !client.starts_with(kName) || client.size() < kName.size() + 2 ||
        client[kName.size()] != '-')
        return false;
    const std::string_view number = client.substr(kName.size() + 1);
    return std::all_of(number.begin(), number.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace tamblin::ports
