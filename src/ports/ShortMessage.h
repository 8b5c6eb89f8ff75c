#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tamblin::ports {

// Number of bytes of the short message that starts with `status`; 0 when none starts with it (a
// data byte, or 0xF0, which opens a SysEx). A lone 0xF7 is a one-byte message: it frames nothing
// once it stands alone, and the decoder shows it as an undefined system status. 0xF4, 0xF5, 0xF9
// and 0xFD are undefined statuses without data bytes.
constexpr int shortMessageLength(std::uint8_t status) noexcept {
    if (status < 0x80 || status == 0xF0) return 0;
    if (status < 0xC0) return 3;
    if (status < 0xE0) return 2;
    if (status < 0xF0) return 3;
    if (status == 0xF1 || status == 0xF3) return 2;
    if (status == 0xF2) return 3;
    return 1;
}

// The short message that one whole MIDI event carries (status in bits 0-7, data bytes above it),
// or nothing for an event that is no short message: empty, SysEx, a data byte where the status
// belongs, a length other than the status calls for, a data byte with its top bit set. Nothing
// is carried from one event to the next. Allocates nothing: the JACK process thread calls it.
constexpr std::optional<std::uint32_t> packShortMessage(const std::uint8_t* bytes,
                                                        std::size_t size) noexcept {
    if (size == 0 || bytes == nullptr) return std::nullopt;
    if (static_cast<std::size_t>(shortMessageLength(bytes[0])) != size) return std::nullopt;
    std::uint32_t message = bytes[0];
    for (std::size_t i = 1; i < size; ++i) {
        if (bytes[i] >= 0x80) return std::nullopt;
        message |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
    }
    return message;
}

// The bytes of a short message as they go out: 1 to 3, or none for a value that is no short
// message (see packShortMessage). Bits above the message's length are not sent.
struct MessageBytes {
    std::array<std::uint8_t, 3> bytes{};
    std::size_t size = 0;

    bool empty() const noexcept { return size == 0; }
    const std::uint8_t* data() const noexcept { return bytes.data(); }
};

constexpr MessageBytes unpackShortMessage(std::uint32_t message) noexcept {
    MessageBytes out;
    const auto length =
        static_cast<std::size_t>(shortMessageLength(static_cast<std::uint8_t>(message & 0xFF)));
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<std::uint8_t>((message >> (8 * i)) & 0xFF);
        if (i > 0 && byte >= 0x80) return {};
        out.bytes[i] = byte;
    }
    out.size = length;
    return out;
}

// Whether `bytes` are one whole SysEx: F0, data bytes, F7, and nothing else.
constexpr bool isWholeSysEx(const std::uint8_t* bytes, std::size_t size) noexcept {
    if (bytes == nullptr || size < 2 || bytes[0] != 0xF0 || bytes[size - 1] != 0xF7) return false;
    for (std::size_t i = 1; i + 1 < size; ++i)
        if (bytes[i] >= 0x80) return false;
    return true;
}

// Whether a port of the client `client` belongs to a Tamblin: the client "Tamblin", and where the
// MIDI system renames a second client of a taken name (JACK: "Tamblin-01"), those names too. A
// thru into a monitor's own input would loop, so these ports are never offered as devices.
bool isTamblinClient(std::string_view client, bool renamedToo);

}  // namespace tamblin::ports
