#include "input/InputRing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "input/RefreshPump.h"
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

    int drained = 0;
    while (!producerDone.load(std::memory_order_acquire) || !ring->empty()) {
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
