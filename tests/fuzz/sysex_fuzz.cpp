// Feeds the SysEx path any events: each goes through the SysEx ring (small, so that some find no
// room), with short messages among them, and the pump hands what comes out to the decoder.
// Checks that every event comes out whole and in its place or is told as dropped, that each
// gives one log line with its length in it and its bytes in hex as far as shown, and that the
// counts never move; the sanitizers check that nothing is read or written out of range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "input/Decoder.h"
#include "input/InputRing.h"
#include "input/RefreshPump.h"
#include "input/SysExRing.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class Sink final : public tamblin::input::DecoderSink {
public:
    std::vector<std::string> lines;
    void setCountText(int, std::string_view) override {}
    void markCell(int, int, int, tamblin::grids::Rgb) override {}
    void clearLog() override { lines.clear(); }
    void appendLog(std::string_view line) override {
        if (line.empty()) std::abort();
        lines.emplace_back(line);
    }
    bool firstTimeOnly() const override { return false; }
};

// What went in, in order: short messages as themselves, events as their bytes.
struct Sent {
    bool isShort;
    std::uint32_t message;
    Bytes bytes;
};

class Host final : public tamblin::input::PumpHost {
public:
    explicit Host(tamblin::input::Decoder& decoder, const std::vector<Sent>& sent)
        : decoder_(decoder), sent_(sent) {}
    std::size_t next = 0;  // the sent item expected next
    std::uint64_t dropped = 0;

    bool realTimeFiltered() const override { return false; }
    bool outputAllowed() const override { return false; }
    void displayMessage(std::uint32_t message, std::int32_t) override {
        skipDropped();
        if (next >= sent_.size() || !sent_[next].isShort || sent_[next].message != message)
            std::abort();
        ++next;
    }
    void displaySysEx(const tamblin::input::SysExRing::Entry& e) override {
        skipDropped();
        if (next >= sent_.size() || sent_[next].isShort) std::abort();
        const Bytes& bytes = sent_[next].bytes;
        if (bytes.size() != e.size || (e.size != 0 && std::memcmp(bytes.data(), e.bytes, e.size)))
            std::abort();
        ++next;
        decoder_.displaySysEx(e.bytes, e.size, e.time);
        const std::string hex = tamblin::input::Decoder::sysExHexText(e.bytes, e.size);
        const std::size_t whole = e.size == 0 ? 0 : 3 * e.size - 1;
        if (e.size <= tamblin::input::Decoder::kSysExShownWhole ? hex.size() != whole
                                                                : hex.size() != 3 * 24 + 6)
            std::abort();
        if (e.size != 0 &&
            tamblin::input::Decoder::describeSysEx(e.bytes, e.size).find(std::to_string(e.size)) ==
                std::string::npos)
            std::abort();
    }
    void reportSysExDropped(const tamblin::input::SysExRing::Entry& e) override {
        dropped += e.droppedCount;
        decoder_.displaySysExDropped(e.droppedCount, e.droppedBytes, e.time);
    }
    void forward(std::uint32_t) override {}
    void suspendPainting() override {}
    void resumePainting() override {}
    void reportOverrun() override { std::abort(); }

    // Events the ring dropped are not seen; the notices say how many.
    std::vector<bool> droppedAt;

private:
    void skipDropped() {
        while (next < droppedAt.size() && droppedAt[next]) ++next;
    }
    tamblin::input::Decoder& decoder_;
    const std::vector<Sent>& sent_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Sink sink;
    tamblin::input::Decoder decoder(sink);
    decoder.initialise();
    auto ring = std::make_unique<tamblin::input::InputRing>();
    tamblin::input::SysExRing sysex(2048);
    ring->attachSysEx(&sysex);
    std::vector<Sent> sent;
    Host host(decoder, sent);
    tamblin::input::RefreshPump pump(*ring, host);

    // Each record: a kind byte; below 0x80 an event of that many bytes follows, 0x80-0xBF a
    // short message (ch1 note on) with the low bits as its note, 0xC0 and above a tick.
    std::size_t at = 0;
    std::uint32_t time = 0;
    std::uint64_t droppedSent = 0;
    while (at < size) {
        const std::uint8_t kind = data[at++];
        ++time;
        if (kind >= 0xC0) {
            pump.tick();
            continue;
        }
        if (kind >= 0x80) {
            const std::uint32_t message = 0x400090u | ((kind & 0x3Fu) << 8);
            sent.push_back({true, message, {}});
            host.droppedAt.push_back(false);
            ring->store(message, static_cast<std::int32_t>(time));
            continue;
        }
        // Lengths up to 127, stretched so that some exceed what the ring holds.
        const std::size_t length = std::min<std::size_t>(kind, size - at);
        Bytes bytes(data + at, data + at + length);
        at += length;
        if (kind > 100) bytes.resize(bytes.size() * 30, 0x55);
        tamblin::ports::LongData event;
        event.bytes = bytes.data();
        event.size = bytes.size();
        event.time = time;
        sent.push_back({false, 0, bytes});
        const bool stored = sysex.store(event, ring->writePos());
        host.droppedAt.push_back(!stored);
        if (!stored) ++droppedSent;
    }
    pump.tick();
    // A drop whose notice found no room waits for the next store: one last empty one brings it.
    sysex.store(tamblin::ports::LongData{}, ring->writePos());
    sent.push_back({false, 0, {}});
    host.droppedAt.push_back(false);
    pump.tick();
    if (host.next != sent.size() || host.dropped != droppedSent) std::abort();
    for (int k = 0; k < tamblin::input::kMessageClasses; ++k)
        if (decoder.count(k) != 0) std::abort();
    return 0;
}
