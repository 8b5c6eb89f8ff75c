#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "windows/ValueReader.h"

namespace tamblin::windows {
namespace {

struct Entry {
    std::string_view text;
    std::optional<int> value;  // nullopt: refused
};

void PrintTo(const Entry& entry, std::ostream* os) {
    *os << '"' << entry.text << '"';
}

class AcceptedEntry : public ::testing::TestWithParam<Entry> {};

TEST_P(AcceptedEntry, GivesControllerValue) {
    EXPECT_EQ(controllerValueFromText(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(TypedByUser, AcceptedEntry,
                         ::testing::Values(Entry{"64", 64}, Entry{"127", 127}, Entry{"", 0},
                                           Entry{"abc", 0}, Entry{"12abc", 12}, Entry{"1 2", 12},
                                           Entry{"1e2", 100}, Entry{"&H40", 64},
                                           Entry{"2.5", 2},  // halfway goes to the even one
                                           Entry{"3.5", 4}, Entry{"126.5", 126}, Entry{"-0.4", 0},
                                           Entry{"0", 0}));

INSTANTIATE_TEST_SUITE_P(
    NumberForms, AcceptedEntry,
    ::testing::Values(Entry{"+7", 7}, Entry{"&h7f", 127}, Entry{"&o177", 127}, Entry{"&O10", 8},
                      Entry{"&H", 0}, Entry{"&", 0}, Entry{"&X12", 0}, Entry{"&O8", 0},
                      Entry{"&H1G", 1}, Entry{"1e", 1}, Entry{"1e+", 1}, Entry{"1E-", 1},
                      Entry{"1d2", 100}, Entry{"1D+2", 100}, Entry{"5e-1", 0}, Entry{"15E-1", 2},
                      Entry{".5", 0}, Entry{"1.5", 2}, Entry{"-.5", 0}, Entry{"-0.5", 0},
                      Entry{"5.", 5}, Entry{".", 0}, Entry{"-", 0}, Entry{"+", 0},
                      Entry{"1.2.3", 1}, Entry{"12..5", 12}, Entry{"1,5", 1}, Entry{"e5", 0},
                      Entry{"0x40", 0}, Entry{"00064", 64}, Entry{"6\t4\n", 64}, Entry{"1e-400", 0},
                      Entry{"0.0000000000000000000000000001e28", 1},
                      Entry{"1000000000000000000000000000000e-28", 100}, Entry{"\xC3\xA9", 0},
                      Entry{"7\xC3\xA9", 7}, Entry{"\xFF\x80", 0}));

INSTANTIATE_TEST_SUITE_P(
    OutOfRange, AcceptedEntry,
    ::testing::Values(
        Entry{"128", std::nullopt}, Entry{"-1", std::nullopt}, Entry{"127.5", std::nullopt},
        Entry{"-0.6", std::nullopt}, Entry{"99999", std::nullopt}, Entry{"1e10", std::nullopt},
        Entry{"-127", std::nullopt}, Entry{"65536", std::nullopt},
        Entry{"4294967360", std::nullopt},  // 2^32 + 64 must not wrap to 64
        Entry{"99999999999999999999", std::nullopt}, Entry{"&HFFFFFFFFFFFFFFFFFFFF", std::nullopt},
        Entry{"&H10040", std::nullopt}, Entry{"&HFFFF", std::nullopt}, Entry{"1e400", std::nullopt},
        Entry{"-1e400", std::nullopt}, Entry{"1e99999999999999999999999", std::nullopt},
        Entry{"1d3", std::nullopt}, Entry{"127.5000001", std::nullopt}));

TEST(ReadNumber, ReadsTheLongestNumberAtTheStart) {
    EXPECT_DOUBLE_EQ(readNumber("12abc"), 12.0);
    EXPECT_DOUBLE_EQ(readNumber("1 2 . 5"), 12.5);
    EXPECT_DOUBLE_EQ(readNumber("-2.5e-1x"), -0.25);
    EXPECT_DOUBLE_EQ(readNumber("&HFF.8"), 255.0);
    EXPECT_DOUBLE_EQ(readNumber("&o777"), 511.0);
    EXPECT_DOUBLE_EQ(readNumber("3D2"), 300.0);
}

TEST(ReadNumber, OversizedNumbersBecomeInfinityOrZeroNotGarbage) {
    EXPECT_EQ(readNumber("1e400"), HUGE_VAL);
    EXPECT_EQ(readNumber("-1e400"), -HUGE_VAL);
    EXPECT_EQ(readNumber("1e-400"), 0.0);
    EXPECT_EQ(readNumber("0.00001e-320"), 0.0);
    EXPECT_EQ(readNumber("100000e-400"), 0.0);
    // 400 digits before the point but an exponent that does not bring it back into range.
    EXPECT_EQ(readNumber(std::string(400, '9') + "e-10"), HUGE_VAL);
    // ... and one that does.
    EXPECT_DOUBLE_EQ(readNumber("1" + std::string(399, '0') + "e-397"), 100.0);
    EXPECT_EQ(readNumber("&H" + std::string(300, 'F')), HUGE_VAL);
}

TEST(ReadNumber, LongDigitRunsStayExact) {
    // Many digits after the point must not disturb the halfway rule of a short number.
    EXPECT_EQ(controllerValueFromText("2.5" + std::string(5000, '0')), 2);
    EXPECT_EQ(controllerValueFromText("0" + std::string(5000, '0') + "64"), 64);
    EXPECT_EQ(controllerValueFromText(std::string(5000, '9')), std::nullopt);
}

}  // namespace
}  // namespace tamblin::windows
