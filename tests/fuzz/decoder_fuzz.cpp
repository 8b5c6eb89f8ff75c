// Feeds the decoder any message values, timestamps and option changes. Checks that the counts
// always add up to the messages decoded and that the log never holds more than 1,001 lines
// since it was last emptied; the sanitizers check that no table is read or written out of range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "input/Decoder.h"

namespace {

class CheckingSink final : public tamblin::input::DecoderSink {
public:
    bool firstTime = false;
    long linesSinceEmptied = 0;

    void setCountText(int messageClass, std::string_view text) override {
        if (messageClass < 0 || messageClass >= tamblin::input::kMessageClasses || text.empty())
            std::abort();
    }
    void markCell(int grid, int channel, int number, tamblin::grids::Rgb) override {
        if (grid < 0 || grid > 2 || channel < 0 || channel > 15 || number < 0 || number > 127)
            std::abort();
    }
    void clearLog() override { linesSinceEmptied = 0; }
    void appendLog(std::string_view line) override {
        if (line.empty() || ++linesSinceEmptied > tamblin::input::Decoder::kMaxLogLines)
            std::abort();
    }
    bool firstTimeOnly() const override { return firstTime; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckingSink sink;
    tamblin::input::Decoder decoder(sink, ",");
    decoder.initialise();
    std::int64_t decoded = 0;
    // Each record: one option byte, four message bytes, four timestamp bytes.
    for (std::size_t at = 0; at + 9 <= size; at += 9) {
        const std::uint8_t options = data[at];
        std::uint32_t message;
        std::int32_t time;
        std::memcpy(&message, data + at + 1, 4);
        std::memcpy(&time, data + at + 5, 4);
        sink.firstTime = (options & 1) != 0;
        if ((options & 0xF0) == 0xF0) {
            decoder.reset();
            decoded = 0;
        }
        decoder.displayMessage(message, time);
        ++decoded;
        std::int64_t sum = 0;
        for (int k = 0; k < tamblin::input::kMessageClasses; ++k) sum += decoder.count(k);
        if (sum != decoded) std::abort();
    }
    return 0;
}
