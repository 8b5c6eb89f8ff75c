#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tamblin::capture {

// The capture as CSV after RFC 4180: a header row, then one row per message, fields separated by
// commas, quoted (with quotes doubled) when they hold a comma, a quote or a line end, and every
// row ended by CR LF. The columns:
//   time_us  microseconds since the capture began
//   bytes    the message's bytes in hexadecimal, separated by spaces ("90 3C 40")
//   channel  1 to 16 for a channel message, else empty
//   kind     what the status byte says ("Note On", "Timing Clock", "SysEx")
//   data     the data bytes (those below 0x80 after the status) in decimal, separated by spaces
//   log      the log line the decoder writes for it
// A change of input device is a row of kind "Input Device" with the device's name as its log.
inline constexpr std::string_view kCsvHeader = "time_us,bytes,channel,kind,data,log\r\n";

// What the status byte of `bytes` says.
std::string_view kindOf(std::span<const std::uint8_t> bytes);

// The log line for `bytes` arriving at `time` (milliseconds on the input port's clock): the
// decoder's line for a short message; for a longer one (a SysEx) the time and its length.
std::string logText(std::span<const std::uint8_t> bytes, std::int32_t time,
                    std::string_view decimalSeparator);

void appendCsvRow(std::string& out, std::span<const std::uint8_t> bytes, std::int64_t micros,
                  std::string_view log);
void appendCsvDeviceRow(std::string& out, std::string_view device, std::int64_t micros);

}  // namespace tamblin::capture
