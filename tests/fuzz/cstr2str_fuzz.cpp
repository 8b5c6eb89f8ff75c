// Feeds cstr2str any 33 bytes: it stops at the first zero byte and never reads past position 32.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ports/DeviceOpener.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 33) return 0;
    // An exact 33-byte heap copy, so that AddressSanitizer catches a read of byte 33.
    auto bytes = std::make_unique<std::uint8_t[]>(33);
    std::memcpy(bytes.get(), data, 33);
    const std::string text = tamblin::ports::cstr2str(bytes.get());
    const void* zero = std::memchr(bytes.get(), 0, 33);
    const std::size_t expected =
        zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - bytes.get()) : 33;
    if (text.size() != expected || std::memcmp(text.data(), bytes.get(), expected) != 0)
        std::abort();
    return 0;
}
