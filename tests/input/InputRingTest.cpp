#include "input/InputRing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "input/RefreshPump.h"
#include "input/SysExRing.h"
#include "ports/PortService.h"

namespace tamblin::input {
namespace {

constexpr std::uint32_t kShortMessage = ports::kMimData;

// Records what the pump hands on; nothing is filtered and nothing forwarded.
class DrainHost : public PumpHost {
public:
    std::vector<InputRing::Entry> displayed;
    int overrunReports = 0;

    bool realTimeFiltered() const override { return false; }
    bool outputAllowed() const override { return false; }
    void displayMessage(std::uint32_t message, std::int32_t time) override {
        displayed.push_back({message, time, false});
    }
    void forward(std::uint32_t) override {}
    void suspendPainting() override {}
    void resumePainting() override {}
    void reportOverrun() override { ++overrunReports; }
};

// Records the pump's short messages and SysEx in one sequence, as their first bytes (a SysEx's
// length and checksum with them), and forwards nothing.
class SequenceHost : public DrainHost {
public:
    struct Item {
        std::uint32_t message = 0;  // a short message, or 0xF0 for a SysEx
        std::size_t size = 0;
        std::uint32_t sum = 0;
        std::uint32_t dropped = 0;
        friend bool operator==(const Item&, const Item&) = default;
    };
    std::vector<Item> items;
    std::vector<std::int32_t> sysExTimes;
    std::vector<std::uint64_t> sysExMicros;

    void displayMessage(std::uint32_t message, std::int32_t time) override {
        DrainHost::displayMessage(message, time);
        items.push_back({message, 0, 0, 0});
    }
    void displaySysEx(const SysExRing::Entry& sysex) override {
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < sysex.size; ++i) sum = sum * 31 + sysex.bytes[i];
        items.push_back({0xF0, sysex.size, sum, 0});
        sysExTimes.push_back(sysex.time);
        sysExMicros.push_back(sysex.micros);
    }
    void reportSysExDropped(const SysExRing::Entry& sysex) override {
        items.push_back(
            {0xF0, static_cast<std::size_t>(sysex.droppedBytes), 0, sysex.droppedCount});
    }
};

// A SysEx of `size` bytes, F0 ... F7, its data from `seed`.
std::vector<std::uint8_t> sysExOf(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((seed + i) & 0x7F);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

SequenceHost::Item itemOf(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t sum = 0;
    for (const std::uint8_t b : bytes) sum = sum * 31 + b;
    return {0xF0, bytes.size(), sum, 0};
}

void storeSysEx(InputRing& ring, const std::vector<std::uint8_t>& bytes, std::int32_t time) {
    ports::LongData data;
    data.bytes = bytes.data();
    data.size = bytes.size();
    data.time = static_cast<std::uint32_t>(time);
    data.micros = static_cast<std::uint64_t>(time) * 1000 + 7;
    midiInLongCallback(1, instanceOf(ring), data);
}

// Moves both indexes of a fresh ring to `position` without leaving anything unread.
void advanceEmptyRingTo(InputRing& ring, int position) {
    for (int i = 0; i < position; ++i) {
        ring.store(0xF8, 0);
        ring.advanceRead();
    }
}

TEST(InputRingTest, NewRingIsEmpty) {
    auto ring = std::make_unique<InputRing>();
    EXPECT_TRUE(ring->empty());
    EXPECT_EQ(ring->unread(), 0);
    EXPECT_EQ(ring->readPos(), 0);
    EXPECT_EQ(ring->writePos(), 0);
    EXPECT_FALSE(ring->overrun());
    EXPECT_EQ(ring->timeAtReadPos(), 0);
}

TEST(InputRingTest, BothIndexesWrapFromSlot1023ToSlot0) {
    auto ring = std::make_unique<InputRing>();
    advanceEmptyRingTo(*ring, 1023);
    ASSERT_EQ(ring->writePos(), 1023);
    ASSERT_EQ(ring->readPos(), 1023);

    ring->store(0x403C90, 12345);  // ch1 note on 60, lands in slot 1023
    EXPECT_EQ(ring->writePos(), 0);
    EXPECT_EQ(ring->unread(), 1);
    EXPECT_EQ(ring->at(1023).message, 0x403C90u);
    EXPECT_EQ(ring->at(1023).time, 12345);
    ring->store(0x403C80, 12500);  // and its note off in slot 0
    EXPECT_EQ(ring->writePos(), 1);
    EXPECT_EQ(ring->at(0).message, 0x403C80u);

    ring->advanceRead();
    EXPECT_EQ(ring->readPos(), 0);
    EXPECT_EQ(ring->timeAtReadPos(), 12500);
    ring->advanceRead();
    EXPECT_TRUE(ring->empty());
    EXPECT_FALSE(ring->overrun());
}

// The standard ring, and the large one of a consumer that drains early.
TEST(InputRingTest, HoldsOneMessageFewerThanItsSizeAndOverrunsOnTheLast) {
    for (const int size : {InputRing::kSlots, InputRing::kLargeSlots}) {
        for (const int start : {0, 1, 700, size - 1}) {
            SCOPED_TRACE(::testing::Message() << size << " slots, indexes start at " << start);
            auto ring = std::make_unique<InputRing>(size);
            advanceEmptyRingTo(*ring, start);
            for (int i = 0; i < size - 1; ++i) ring->store(0xF8, i);
            EXPECT_EQ(ring->unread(), size - 1);
            EXPECT_FALSE(ring->empty());
            EXPECT_FALSE(ring->overrun());

            ring->store(0xF8, size - 1);
            EXPECT_TRUE(ring->overrun());
            EXPECT_TRUE(ring->empty());
            EXPECT_EQ(ring->unread(), 0);
            EXPECT_EQ(ring->writePos(), start);

            ring->store(0xFA, size);  // the flag stays once raised
            ring->advanceRead();
            EXPECT_TRUE(ring->overrun());
        }
    }
}

TEST(InputRingTest, FullRingIsDrainedInArrivalOrderAtOneTick) {
    for (const int start : {0, 500}) {
        SCOPED_TRACE(::testing::Message() << "indexes start at " << start);
        auto ring = std::make_unique<InputRing>();
        advanceEmptyRingTo(*ring, start);
        // ch1-8 note on, notes 0-127: every message distinct.
        auto message = [](int i) { return 0x400090u | static_cast<std::uint32_t>(i << 8); };
        for (int i = 0; i < 1023; ++i) ring->store(message(i), 10 * i);

        DrainHost host;
        RefreshPump pump(*ring, host);
        pump.tick();

        ASSERT_EQ(host.displayed.size(), 1023u);
        for (int i = 0; i < 1023; ++i) {
            EXPECT_EQ(host.displayed[static_cast<std::size_t>(i)].message, message(i)) << i;
            EXPECT_EQ(host.displayed[static_cast<std::size_t>(i)].time, 10 * i) << i;
        }
        EXPECT_TRUE(ring->empty());
        EXPECT_EQ(host.overrunReports, 0);
    }
}

TEST(InputRingTest, OverrunRingLooksEmptyToThePump) {
    auto ring = std::make_unique<InputRing>();
    for (int i = 0; i < 1024; ++i) ring->store(0x403C90, i);
    DrainHost host;
    RefreshPump pump(*ring, host);
    pump.tick();
    EXPECT_TRUE(host.displayed.empty());
    EXPECT_EQ(host.overrunReports, 1);
}

// The callback fills the ring its instance value names, and no other.
TEST(InputRingTest, CallbackStoresOnlyShortMessageNotificationsInItsOwnRing) {
    auto owned = std::make_unique<InputRing>();
    auto other = std::make_unique<InputRing>();
    InputRing& ring = *owned;
    const ports::Instance instance = instanceOf(ring);
    const int readBefore = ring.readPos();
    for (const std::uint32_t notification : {961u, 962u, 964u, 965u, 966u, 0u, 963u + 0x20000u})
        midiInCallback(7, notification, instance, 0x403C90, 1000);
    midiInCallback(7, kShortMessage, 0, 0x403C90, 1000);  // no ring: nothing to fill
    EXPECT_EQ(ring.writePos(), 0);
    EXPECT_EQ(ring.unread(), 0);

    midiInCallback(7, kShortMessage, instance, 0x403C90, 12345);         // ch1 note on 60
    midiInCallback(0, kShortMessage, instance, 0x6407B0, 0x80000000u);   // ~24.8 days in: negative
    midiInCallback(7, ports::kMimDataDecided, instance, 0x05C0, 12346);  // sent on already
    // With the microseconds past the millisecond (fine times), 1,023 of them out of range.
    midiInCallback(7, kShortMessage | (250u << ports::kMimMicrosShift), instance, 0xF8, 12347);
    midiInCallback(7, ports::kMimDataDecided | ports::kMimMicrosMask, instance, 0xFE, 12348);
    ASSERT_EQ(ring.unread(), 5);
    EXPECT_TRUE(other->empty()) << "a message reached another ring";
    EXPECT_EQ(other->writePos(), 0);
    int at = readBefore;
    for (const InputRing::Entry expected :
         {InputRing::Entry{0x403C90, 12345, false},
          InputRing::Entry{0x6407B0, -2147483647 - 1, false}, InputRing::Entry{0x05C0, 12346, true},
          InputRing::Entry{0xF8, 12347, false, 250}, InputRing::Entry{0xFE, 12348, true, 999}}) {
        EXPECT_EQ(ring.at(at).message, expected.message);
        EXPECT_EQ(ring.at(at).time, expected.time);
        EXPECT_EQ(ring.at(at).decided, expected.decided);
        EXPECT_EQ(ring.at(at).micros, expected.micros) << expected.message;
        at = ring.next(at);
        ring.advanceRead();
    }
    EXPECT_FALSE(ring.overrun());
}

// SysEx come out of the pump in their place among the short messages, with both their times,
// wherever the input ring's indexes stand; one that does not fit is dropped whole, in its place,
// and never costs a short message; once drained, the room is there again.
TEST(InputRingTest, SysExTakeTheirPlaceAmongShortMessagesAndAreDroppedWhole) {
    for (const int start : {0, 1023}) {
        SCOPED_TRACE(::testing::Message() << "indexes start at " << start);
        auto ring = std::make_unique<InputRing>();
        advanceEmptyRingTo(*ring, start);
        SysExRing sysex(4096);
        ring->attachSysEx(&sysex);
        const auto small = sysExOf(6, 1);
        const auto large = sysExOf(3000, 2);
        const auto tooLarge = sysExOf(2000, 3);  // finds the large one still there

        storeSysEx(*ring, small, 1);  // before any short message
        ring->store(0x403C90, 2);     // ch1 note on 60
        ring->store(0x403C80, 3);
        storeSysEx(*ring, large, 4);
        storeSysEx(*ring, tooLarge, 5);
        storeSysEx(*ring, small, 6);  // fits after the notice of the drop
        ring->store(0xF8, 7);

        SequenceHost host;
        RefreshPump pump(*ring, host);
        pump.tick();
        using Item = SequenceHost::Item;
        EXPECT_EQ(host.items, (std::vector<Item>{itemOf(small),
                                                 {0x403C90, 0, 0, 0},
                                                 {0x403C80, 0, 0, 0},
                                                 itemOf(large),
                                                 {0xF0, 2000, 0, 1},
                                                 itemOf(small),
                                                 {0xF8, 0, 0, 0}}));
        EXPECT_EQ(host.sysExTimes, (std::vector<std::int32_t>{1, 4, 6}));
        EXPECT_EQ(host.sysExMicros, (std::vector<std::uint64_t>{1007, 4007, 6007}));

        // Drained, the ring takes the large one again, at the end of the input ring's window.
        host.items.clear();
        ring->store(0x05C0, 8);
        storeSysEx(*ring, large, 9);
        pump.tick();
        EXPECT_EQ(host.items, (std::vector<Item>{{0x05C0, 0, 0, 0}, itemOf(large)}));
        EXPECT_TRUE(ring->empty());
        EXPECT_FALSE(ring->overrun());
    }
}

// Without a SysEx ring attached, the long-message route stores nothing anywhere.
TEST(InputRingTest, LongMessagesWithoutASysExRingGoNowhere) {
    auto ring = std::make_unique<InputRing>();
    storeSysEx(*ring, sysExOf(6, 1), 1);
    midiInLongCallback(1, 0, ports::LongData{});
    EXPECT_TRUE(ring->empty());
    SequenceHost host;
    RefreshPump pump(*ring, host);
    pump.tick();
    EXPECT_TRUE(host.items.empty());
}

// The callback thread stores short messages and SysEx of every size at full speed, dropping
// whatever does not fit; the pump drains at its own pace. Every SysEx that comes out is whole and
// in its place: the short messages are numbered, and each SysEx carries the number of the short
// message before it; the drop notices add up to what was dropped.
TEST(InputRingTest, ConcurrentSysExAndShortMessagesKeepOrderAndBytes) {
    constexpr std::uint32_t kShorts = 200000;
    auto ring = std::make_unique<InputRing>();
    SysExRing sysex(1 << 16);
    ring->attachSysEx(&sysex);
    std::atomic<bool> producerDone{false};
    std::atomic<std::uint64_t> droppedBytes{0};

    std::thread producer([&] {
        std::vector<std::uint8_t> bytes(1 << 14);
        for (std::uint32_t i = 0; i < kShorts; ++i) {
            while (ring->unread() >= 1000) std::this_thread::yield();
            // Data bytes only: 14 bits of the number, each short message distinct.
            ring->store(0x90u | ((i & 0x3FFF) << 8), static_cast<std::int32_t>(i));
            if (i % 7 != 0) continue;
            // Sizes from 2 to 16,384 bytes; the first data bytes say which short message it
            // follows, the rest a pattern from it.
            const std::size_t size = 2 + (i * 2654435761u) % (bytes.size() - 1);
            for (std::size_t k = 0; k < size; ++k)
                bytes[k] = static_cast<std::uint8_t>((i + k) & 0x7F);
            bytes[0] = 0xF0;
            bytes[size - 1] = 0xF7;
            ports::LongData data;
            data.bytes = bytes.data();
            data.size = size;
            data.time = i;
            data.micros = i;
            if (!sysex.store(data, ring->writePos())) droppedBytes.fetch_add(size);
        }
        producerDone.store(true, std::memory_order_release);
    });

    class CheckingHost : public DrainHost {
    public:
        std::uint32_t lastShort = 0;
        std::uint32_t shorts = 0;
        std::uint32_t wrong = 0;
        std::uint64_t noticedBytes = 0;
        void displayMessage(std::uint32_t message, std::int32_t time) override {
            if (message != (0x90u | ((static_cast<std::uint32_t>(time) & 0x3FFF) << 8)) ||
                time != static_cast<std::int32_t>(shorts))
                ++wrong;
            lastShort = static_cast<std::uint32_t>(time);
            ++shorts;
        }
        void displaySysEx(const SysExRing::Entry& e) override {
            // It follows the short message its time names, which has just been shown.
            if (shorts == 0 || lastShort != static_cast<std::uint32_t>(e.time) || e.size < 2) {
                ++wrong;
                return;
            }
            for (std::size_t k = 1; k + 1 < e.size; ++k)
                if (e.bytes[k] != ((static_cast<std::size_t>(e.time) + k) & 0x7F)) ++wrong;
            if (e.bytes[0] != 0xF0 || e.bytes[e.size - 1] != 0xF7) ++wrong;
        }
        void reportSysExDropped(const SysExRing::Entry& e) override {
            noticedBytes += e.droppedBytes;
        }
    } host;
    RefreshPump pump(*ring, host);
    while (!producerDone.load(std::memory_order_acquire)) pump.tick();
    pump.tick();
    producer.join();

    EXPECT_EQ(host.shorts, kShorts);
    EXPECT_EQ(host.wrong, 0u);
    EXPECT_FALSE(ring->overrun());
    // Drops of the last moments may still wait to be noticed with the next SysEx.
    EXPECT_LE(host.noticedBytes, droppedBytes.load());
}

// A torn slot (message of one store, time of another) breaks the relation between the two.
std::int32_t checksumTime(std::uint32_t message) {
    return static_cast<std::int32_t>((message * 2654435761u) ^ 0x5A5A5A5Au);
}

TEST(InputRingTest, ConcurrentProducerAndConsumerKeepOrderWithoutTearing) {
    constexpr std::uint32_t kMessages = 1u << 20;
    auto ring = std::make_unique<InputRing>();
    std::atomic<bool> producerDone{false};

    std::thread producer([&] {
        for (std::uint32_t i = 0; i < kMessages; ++i) {
            // This tests ordering and tearing, not overrun: keep below the ring's capacity.
            while (ring->unread() >= 1000) std::this_thread::yield();
            ring->store(i, checksumTime(i));
        }
        producerDone.store(true, std::memory_order_release);
    });

    std::uint32_t expected = 0;
    std::uint32_t outOfOrder = 0;
    std::uint32_t torn = 0;
    while (expected < kMessages) {
        if (ring->empty()) {
            if (producerDone.load(std::memory_order_acquire) && ring->empty()) break;
            std::this_thread::yield();
            continue;
        }
        while (!ring->empty()) {
            const InputRing::Entry entry = ring->at(ring->readPos());
            if (entry.message != expected) ++outOfOrder;
            if (entry.time != checksumTime(entry.message)) ++torn;
            expected = entry.message + 1;
            ring->advanceRead();
        }
    }
    producer.join();

    EXPECT_EQ(expected, kMessages);
    EXPECT_EQ(outOfOrder, 0u);
    EXPECT_EQ(torn, 0u);
    EXPECT_FALSE(ring->overrun());
    EXPECT_TRUE(ring->empty());
}

// The overrun test must not mistake a consumer that has just caught up for a producer that has
// lapped it: keep the ring nearly empty so the consumer drains right behind every store.
TEST(InputRingTest, ConsumerCatchingUpIsNoOverrun) {
    constexpr int kMessages = 200000;
    auto ring = std::make_unique<InputRing>();
    std::atomic<bool> producerDone{false};

    std::thread producer([&] {
        for (int i = 0; i < kMessages; ++i) {
            while (!ring->empty()) std::this_thread::yield();
            ring->store(0xF8, i);
        }
        producerDone.store(true, std::memory_order_release);
    });

    // Each side gives way while it waits for the other: a consumer that spun instead would keep a
    // busy machine's one free core from the producer for a whole time slice at every message.
    int drained = 0;
    while (!producerDone.load(std::memory_order_acquire) || !ring->empty()) {
        if (ring->empty()) std::this_thread::yield();
        while (!ring->empty()) {
            ring->advanceRead();
            ++drained;
        }
    }
    producer.join();

    EXPECT_EQ(drained, kMessages);
    EXPECT_FALSE(ring->overrun());
}

}  // namespace
}  // namespace tamblin::input
