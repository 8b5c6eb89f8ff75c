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

    line_.clear();
    appendTime(line_, time, separator_);
    line_.push_back(' ');
    appendHex(line_, message);
    line_.push_back(' ');
    appendDescription(line_, f);
    sink_.appendLog(line_);
    ++logLineCount_;
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

}  // namespace tamblin::input
