#include "input/Decoder.h"

#include <charconv>
#include <utility>

namespace tamblin::input {

namespace {

constexpr std::string_view kSystemNames[16] = {
    "??",
    "Quarter Frame",
    "Song position pointer",
    "Song select",
    "??",
    "??",
    "Tune Request",
    "EOX??",
    "Timing Clock",
    "??",
    "Start",
    "Continue",
    "Stop",
    "??",
    "Active Sensing",
    "System Reset",
};

constexpr int kNoteOffClass = 0;
constexpr int kNoteOnClass = 1;
constexpr int kPolyPressureClass = 2;
constexpr int kControlClass = 3;
constexpr int kProgramClass = 4;
constexpr int kChannelPressureClass = 5;
constexpr int kPitchWheelClass = 6;
constexpr int kSystemClass = 7;

// Longest piece any appender writes at once: a 64-bit count, a 10-digit time part, 8 hex digits.
constexpr std::size_t kScratch = 24;

struct Fields {
    unsigned status;
    unsigned data1;
    unsigned data2;
    int channel;
    int messageClass;
};

Fields fieldsOf(std::uint32_t message) {
    const unsigned status = message & 0xFF;
    // A status below 0x80 cannot come from a port; a faulty backend's one is counted as a
    // system message so the counts still add up to the messages decoded.
    const int messageClass = status < 0x80 ? kSystemClass : static_cast<int>(status >> 4) - 8;
    return {status, (message >> 8) & 0xFF, (message >> 16) & 0xFF, static_cast<int>(status & 0x0F),
            messageClass};
}

bool isNoteOff(const Fields& f) {
    return f.messageClass == kNoteOffClass || (f.messageClass == kNoteOnClass && f.data2 == 0);
}

void appendNumber(std::string& out, std::uint64_t value) {
    char digits[kScratch];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void appendDescription(std::string& out, const Fields& f) {
    auto channelAndFirst = [&](std::string_view head, std::string_view firstLabel) {
        out.append(head);
        appendNumber(out, static_cast<unsigned>(f.channel) + 1);
        out.append(firstLabel);
        appendNumber(out, f.data1);
    };
    switch (f.messageClass) {
        case kNoteOffClass:
        case kNoteOnClass:
            channelAndFirst(isNoteOff(f) ? "note off: C:" : "note on:  C:", " N:");
            out.append(" V:");
            appendNumber(out, f.data2);
            return;
        case kPolyPressureClass:
            out.append("Polyphonic Key Pressure");
            return;
        case kControlClass:
            channelAndFirst("Control:  C:", " C:");
            out.append(" V:");
            appendNumber(out, f.data2);
            return;
        case kProgramClass:
            channelAndFirst("Prog Ch:  C:", " P:");
            return;
        case kChannelPressureClass:
            out.append("Channel Pressure");
            return;
        case kPitchWheelClass:
            out.append("Pitch Wheel Change");
            return;
        default:
            out.append(f.status < 0x80 ? std::string_view("??") : kSystemNames[f.status & 0x0F]);
            return;
    }
}

// Exact decimal of time / 1000: |time| < 2^31 has at most 10 significant digits, well inside
// the 15 that the double division would keep, so integer arithmetic gives the same text.
void appendTime(std::string& out, std::int32_t time, std::string_view separator) {
    // Widened first: the magnitude of INT32_MIN does not fit in 32 bits.
    std::int64_t magnitude = time;
    if (magnitude < 0) {
        out.push_back('-');
        magnitude = -magnitude;
    }
    appendNumber(out, static_cast<std::uint64_t>(magnitude / 1000));
    int fraction = static_cast<int>(magnitude % 1000);
    if (fraction == 0) return;
    int width = 3;
    while (fraction % 10 == 0) {
        fraction /= 10;
        --width;
    }
    out.append(separator);
    char digits[3] = {'0', '0', '0'};
    for (int i = width - 1; i >= 0; --i, fraction /= 10)
        digits[i] = static_cast<char>('0' + fraction % 10);
    out.append(digits, static_cast<std::size_t>(width));
}

void appendHex(std::string& out, std::uint32_t message) {
    char digits[2 + 8] = {'0', '0'};
    const auto end = std::to_chars(digits + 2, digits + sizeof digits, message, 16).ptr;
    for (char* c = digits + 2; c != end; ++c)
        if (*c >= 'a') *c = static_cast<char>(*c - 'a' + 'A');
    const auto length = static_cast<std::size_t>(end - digits);
    const std::size_t shown = length < 6 ? length : 6;
    out.append(end - shown, shown);
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

void appendHexByte(std::string& out, std::uint8_t byte) {
    out.push_back(kHexDigits[byte >> 4]);
    out.push_back(kHexDigits[byte & 0x0F]);
}

void appendSysExHex(std::string& out, const std::uint8_t* bytes, std::size_t size) {
    const bool whole = size <= Decoder::kSysExShownWhole;
    const std::size_t head = whole ? size : Decoder::kSysExShownHead;
    for (std::size_t i = 0; i < head; ++i) {
        if (i != 0) out.push_back(' ');
        appendHexByte(out, bytes[i]);
    }
    if (whole) return;
    out.append(" ... ");
    appendHexByte(out, bytes[size - 1]);
}

struct MmcCommand {
    std::uint8_t id;
    std::string_view name;
};
constexpr MmcCommand kMmcCommands[] = {
    {0x01, "Stop"},         {0x02, "Play"},         {0x03, "Deferred Play"},
    {0x04, "Fast Forward"}, {0x05, "Rewind"},       {0x06, "Record Strobe"},
    {0x07, "Record Exit"},  {0x08, "Record Pause"}, {0x09, "Pause"},
    {0x0A, "Eject"},        {0x0B, "Chase"},        {0x0C, "Command Error Reset"},
    {0x0D, "MMC Reset"},    {0x40, "Write"},        {0x44, "Locate"},
    {0x47, "Shuttle"},
};

// The Universal SysEx named by their ID (F0 7E or 7F), first and second sub-ID.
struct UniversalName {
    std::uint8_t id;
    std::uint8_t sub1;
    std::uint8_t sub2;
    std::string_view name;
};
constexpr UniversalName kUniversalNames[] = {
    {0x7E, 0x06, 0x01, "Identity Request"}, {0x7E, 0x06, 0x02, "Identity Reply"},
    {0x7E, 0x09, 0x01, "GM System On"},     {0x7E, 0x09, 0x02, "GM System Off"},
    {0x7E, 0x09, 0x03, "GM2 System On"},    {0x7F, 0x04, 0x01, "Master Volume"},
    {0x7F, 0x01, 0x01, "MTC Full Frame"},
};

// The name of a Universal SysEx (F0 7E/7F, device, sub-IDs), or of its manufacturer.
void appendSysExName(std::string& out, const std::uint8_t* bytes, std::size_t size) {
    const std::uint8_t id = bytes[1];
    const int sub1 = size > 3 ? bytes[3] : -1;
    const int sub2 = size > 4 ? bytes[4] : -1;
    for (const UniversalName& universal : kUniversalNames) {
        if (universal.id != id || universal.sub1 != sub1 || universal.sub2 != sub2) continue;
        out.append(universal.name);
        // Master Volume: 14 bits, low seven first.
        if (sub1 == 0x04 && size > 6 && bytes[5] < 0x80 && bytes[6] < 0x80) {
            out.push_back(' ');
            appendNumber(out, static_cast<unsigned>(bytes[5]) | (bytes[6] << 7u));
        }
        return;
    }
    if (id == 0x7F && sub1 == 0x06 && sub2 >= 0) {
        out.append("MMC ");
        for (const MmcCommand& command : kMmcCommands) {
            if (command.id != sub2) continue;
            out.append(command.name);
            return;
        }
        out.append("command ");
        appendHexByte(out, static_cast<std::uint8_t>(sub2));
        return;
    }
    if (id == 0x7E || id == 0x7F) {
        out.append(id == 0x7E ? "Universal Non-Real Time" : "Universal Real Time");
        return;
    }
    if (id == 0x7D) {
        out.append("Non-Commercial");
        return;
    }
    out.append("manufacturer ");
    appendHexByte(out, id);
    // 00 opens an ID of three bytes.
    if (id == 0x00 && size > 3 && bytes[2] < 0x80 && bytes[3] < 0x80) {
        out.push_back(' ');
        appendHexByte(out, bytes[2]);
        out.push_back(' ');
        appendHexByte(out, bytes[3]);
    }
}

void appendSysExDescription(std::string& out, const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) {
        out.append("empty event");
        return;
    }
    if (bytes[0] != 0xF0) {
        out.append("not a MIDI message, ");
        appendNumber(out, size);
        out.append(size == 1 ? " byte" : " bytes");
        return;
    }
    out.append("SysEx ");
    appendNumber(out, size);
    out.append(size == 1 ? " byte" : " bytes");
    const bool ended = size > 1 && bytes[size - 1] == 0xF7;
    for (std::size_t i = 1; i + (ended ? 1 : 0) < size; ++i) {
        if (bytes[i] < 0x80) continue;
        out.append(bytes[i] >= 0xF8 ? ", cut by real-time " : ", cut by status ");
        appendHexByte(out, bytes[i]);
        break;
    }
    if (!ended) out.append(", no F7 at its end");
    if (size > 1 && bytes[1] < 0x80) {
        out.append(": ");
        appendSysExName(out, bytes, size);
    }
}

}  // namespace

Decoder::Decoder(DecoderSink& sink, std::string decimalSeparator)
    : sink_(sink), separator_(std::move(decimalSeparator)) {
    // The longest line is 12 + 1 + 6 + 1 + 26 characters plus a longer separator; reserving
    // once keeps the per-message path free of allocation.
    line_.reserve(64 + separator_.size());
}

void Decoder::initialise() {
    for (int messageClass = 0; messageClass < kMessageClasses; ++messageClass)
        sink_.setCountText(messageClass, "0");
}

void Decoder::displayMessage(std::uint32_t message, std::int32_t time) {
    const Fields f = fieldsOf(message);

    const std::int64_t count = ++counts_[f.messageClass];
    char label[kScratch];
    label[0] = ' ';
    const auto labelEnd = std::to_chars(label + 1, label + sizeof label, count).ptr;
    sink_.setCountText(f.messageClass, std::string_view(label, labelEnd));

    // Numbers above 127 cannot come from a port and no cell or note slot stands for them, so a
    // faulty backend's one is shown in the text but leaves note state and the grids alone.
    const bool numberInRange = f.data1 < 128;
    switch (f.messageClass) {
        case kNoteOffClass:
        case kNoteOnClass:
            if (numberInRange) {
                const bool off = isNoteOff(f);
                noteState_[static_cast<std::size_t>(f.channel * 128) + f.data1] = !off;
                sink_.markCell(grids::kNotesGrid, f.channel, static_cast<int>(f.data1),
                               off ? grids::kNoteOff : grids::kNoteOn);
            }
            break;
        case kControlClass:
            if (numberInRange)
                sink_.markCell(grids::kControllersGrid, f.channel, static_cast<int>(f.data1),
                               grids::controllerColour(static_cast<int>(f.data2)));
            break;
        case kProgramClass:
            if (numberInRange)
                sink_.markCell(grids::kProgramsGrid, f.channel, static_cast<int>(f.data1),
                               grids::kProgramChange);
            break;
        default:
            break;
    }

    // Tested for every message before the filter, so a filtered message can still empty the log.
    if (logLineCount_ >= kMaxLogLines) {
        sink_.clearLog();
        logLineCount_ = 0;
    }

    if (sink_.firstTimeOnly()) {
        const std::size_t key = message & 0x7FFF;
        if (seen_[key]) return;
        seen_[key] = true;
    }

    if (sink_.takesMessageLines()) {
        sink_.appendMessageLine(message, time);
    } else {
        line_.clear();
        appendMessageLine(line_, message, time, separator_);
        sink_.appendLog(line_);
    }
    ++logLineCount_;
}

void Decoder::appendMessageLine(std::string& out, std::uint32_t message, std::int32_t time,
                                std::string_view decimalSeparator) {
    appendTime(out, time, decimalSeparator);
    out.push_back(' ');
    appendHex(out, message);
    out.push_back(' ');
    appendDescription(out, fieldsOf(message));
}

void Decoder::appendLine() {
    if (logLineCount_ >= kMaxLogLines) {
        sink_.clearLog();
        logLineCount_ = 0;
    }
    sink_.appendLog(line_);
    ++logLineCount_;
}

void Decoder::displaySysEx(const std::uint8_t* bytes, std::size_t size, std::int32_t time) {
    line_.clear();
    appendTime(line_, time, separator_);
    line_.push_back(' ');
    if (size != 0) {
        appendSysExHex(line_, bytes, size);
        line_.push_back(' ');
    }
    appendSysExDescription(line_, bytes, size);
    appendLine();
}

void Decoder::displaySysExDropped(std::uint32_t count, std::uint64_t bytes, std::int32_t time) {
    line_.clear();
    appendTime(line_, time, separator_);
    line_.append(" SysEx dropped: ");
    appendNumber(line_, bytes);
    line_.append(" bytes");
    if (count > 1) {
        line_.append(" in ");
        appendNumber(line_, count);
        line_.append(" messages");
    }
    line_.append(", no room");
    appendLine();
}

void Decoder::displayNotForwarded(std::size_t size, std::int32_t time) {
    line_.clear();
    appendTime(line_, time, separator_);
    line_.append(" SysEx not forwarded: ");
    appendNumber(line_, size);
    line_.append(" bytes, more than the output carries at once");
    appendLine();
}

void Decoder::reset() {
    for (int messageClass = 0; messageClass < kMessageClasses; ++messageClass) {
        counts_[messageClass] = 0;
        sink_.setCountText(messageClass, "0");
    }
    seen_.reset();
    sink_.clearLog();
}

bool Decoder::noteState(int channel, int note) const {
    if (channel < 0 || channel > 15 || note < 0 || note > 127) return false;
    return noteState_[static_cast<std::size_t>(channel * 128 + note)];
}

std::string Decoder::describe(std::uint32_t message) {
    std::string text;
    appendDescription(text, fieldsOf(message));
    return text;
}

std::string Decoder::timeText(std::int32_t time, std::string_view decimalSeparator) {
    std::string text;
    appendTime(text, time, decimalSeparator);
    return text;
}

std::string Decoder::hexText(std::uint32_t message) {
    std::string text;
    appendHex(text, message);
    return text;
}

std::string Decoder::sysExHexText(const std::uint8_t* bytes, std::size_t size) {
    std::string text;
    appendSysExHex(text, bytes, size);
    return text;
}

std::string Decoder::describeSysEx(const std::uint8_t* bytes, std::size_t size) {
    std::string text;
    appendSysExDescription(text, bytes, size);
    return text;
}

}  // namespace tamblin::input
