#include "capture/CsvRows.h"

#include <charconv>

#include "input/Decoder.h"

namespace tamblin::capture {

namespace {

constexpr std::string_view kChannelKinds[7] = {
    "Note Off",       "Note On",          "Polyphonic Key Pressure", "Control Change",
    "Program Change", "Channel Pressure", "Pitch Wheel Change",
};

constexpr std::string_view kSystemKinds[16] = {
    "SysEx",
    "Quarter Frame",
    "Song Position Pointer",
    "Song Select",
    "Undefined",
    "Undefined",
    "Tune Request",
    "End of Exclusive",
    "Timing Clock",
    "Undefined",
    "Start",
    "Continue",
    "Stop",
    "Undefined",
    "Active Sensing",
    "System Reset",
};

void appendNumber(std::string& out, std::int64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void appendField(std::string& out, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out.append(field);
        return;
    }
    out.push_back('"');
    for (const char c : field) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
}

void appendHexBytes(std::string& out, std::span<const std::uint8_t> bytes) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) out.push_back(' ');
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 0x0F]);
    }
}

}  // namespace

std::string_view kindOf(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || bytes[0] < 0x80) return "Undefined";
    if (bytes[0] >= 0xF0) return kSystemKinds[bytes[0] & 0x0F];
    return kChannelKinds[(bytes[0] >> 4) - 8];
}

std::string logText(std::span<const std::uint8_t> bytes, std::int32_t time,
                    std::string_view decimalSeparator) {
    std::string text = input::Decoder::timeText(time, decimalSeparator);
    // A long message (a short one never starts with F0 nor has more than three bytes), as the
    // log shows it with --sysex.
    if (bytes.empty() || bytes.size() > 3 || bytes[0] == 0xF0) {
        text.push_back(' ');
        if (!bytes.empty()) {
            text.append(input::Decoder::sysExHexText(bytes.data(), bytes.size()));
            text.push_back(' ');
        }
        text.append(input::Decoder::describeSysEx(bytes.data(), bytes.size()));
        return text;
    }
    std::uint32_t message = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        message |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
    text.push_back(' ');
    text.append(input::Decoder::hexText(message));
    text.push_back(' ');
    text.append(input::Decoder::describe(message));
    return text;
}

void appendCsvRow(std::string& out, std::span<const std::uint8_t> bytes, std::int64_t micros,
                  std::string_view log) {
    appendNumber(out, micros);
    out.push_back(',');
    appendHexBytes(out, bytes);
    out.push_back(',');
    if (!bytes.empty() && bytes[0] >= 0x80 && bytes[0] < 0xF0)
        appendNumber(out, (bytes[0] & 0x0F) + 1);
    out.push_back(',');
    appendField(out, kindOf(bytes));
    out.push_back(',');
    bool first = true;
    for (std::size_t i = 1; i < bytes.size(); ++i) {
        if (bytes[i] >= 0x80) continue;
        if (!first) out.push_back(' ');
        first = false;
        appendNumber(out, bytes[i]);
    }
    out.push_back(',');
    appendField(out, log);
    out.append("\r\n");
}

void appendCsvDeviceRow(std::string& out, std::string_view device, std::int64_t micros) {
    appendNumber(out, micros);
    out.append(",,,Input Device,,");
    appendField(out, device);
    out.append("\r\n");
}

}  // namespace tamblin::capture
