#include "ranges/IPRanges.h"

#include "platform/SysUtils.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

std::string Dotted(std::uint32_t a)
{
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255) +
           "." + std::to_string(a & 255);
}

struct PadCase {
    const char* Input;
    const char* Padded;
};

class PadIPAddressTest : public ::testing::TestWithParam<PadCase> {};

TEST_P(PadIPAddressTest, Pads)
{
    EXPECT_EQ(PadIPAddress(GetParam().Input), GetParam().Padded);
}

const PadCase PadCases[] = {
    // input                padded
    {"10.0.0.1",            "010.000.000.001"},
    {"192.168.1.20",        "192.168.001.020"},
    {"010.000.000.001",     "010.000.000.001"},
    {"1.2.3",               "001.002.000.003"}, // missing dot: empty third part
    {"5",                   "000.000.000.005"},
    {"",                    "000.000.000.000"},
    {"1..2.3",              "001.000.002.003"},
    {"1.2.3.4.5",           "001.002.003.4.5"}, // the rest stays in part four
    {"1000.1.1.1",          "1000.001.001.001"}, // long parts are never cut
    {" 10.0.0.1",           " 10.000.000.001"},  // a blank stays in its part
    {"10.0.0.1 ",           "010.000.000.01 "},
    {"1.2.3.*",             "001.002.003.00*"},
    {"a.b.c.d",             "00a.00b.00c.00d"},
};
INSTANTIATE_TEST_SUITE_P(Table, PadIPAddressTest, ::testing::ValuesIn(PadCases));

TEST(PadIPAddressForm, BlankBeforeTenDoesNotEqualPlainForm)
{
    EXPECT_NE(PadIPAddress(" 10.0.0.1"), PadIPAddress("10.0.0.1"));
}

// The point of the padded form: for well-formed addresses the text order is
// the numeric order.
TEST(PadIPAddressForm, TextOrderIsNumericOrderForWellFormedAddresses)
{
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
        std::uint32_t a = rng(), b = rng();
        if (i % 4 == 0)
            b = (a & 0xFFFFFF00u) | (rng() & 0xFF); // same /24: only the last part differs
        const std::string pa = PadIPAddress(Dotted(a)), pb = PadIPAddress(Dotted(b));
        ASSERT_EQ(pa.size(), 15u);
        ASSERT_EQ(pa < pb, a < b) << Dotted(a) << " vs " << Dotted(b);
        ASSERT_EQ(pa == pb, a == b);
    }
}

using RangeRoutine = void (*)(const std::string&, std::string&, std::string&);

struct BoundsCase {
    const char* Routine;
    RangeRoutine Fn;
    const char* Input;
    const char* Lower; // nullptr when a conversion error is expected
    const char* Upper;
    const char* Error;
};

class RangeRoutineTest : public ::testing::TestWithParam<BoundsCase> {};

TEST_P(RangeRoutineTest, GivesBoundsOrConversionError)
{
    const BoundsCase& c = GetParam();
    std::string lower = "unchanged", upper = "unchanged";
    if (c.Lower) {
        c.Fn(c.Input, lower, upper);
        EXPECT_EQ(lower, c.Lower) << c.Routine << "(" << c.Input << ")";
        EXPECT_EQ(upper, c.Upper) << c.Routine << "(" << c.Input << ")";
    } else {
        try {
            c.Fn(c.Input, lower, upper);
            ADD_FAILURE() << c.Routine << "(" << c.Input << ") did not fail";
        } catch (const EConvertError& e) {
            EXPECT_STREQ(e.what(), c.Error);
        }
        EXPECT_EQ(lower, "unchanged"); // no bounds are returned
        EXPECT_EQ(upper, "unchanged");
    }
}

#define R(fn) #fn, fn
const BoundsCase BoundsCases[] = {
    // routine           input                 lower               upper                      error
    {R(LANRange),        "192.168.1.77",       "192.168.001.000",  "192.168.001.255",         nullptr},
    {R(LANRange),        "192.168.1.*",        "192.168.001.000",  "192.168.001.255",         nullptr},
    {R(LANRange),        "10.*.1.*",           "010.00*.001.000",  "010.00*.001.255",         nullptr},
    {R(LANRange),        "",                   "000.000.000.000",  "000.000.000.255",         nullptr},
    {R(BelowIPRange),    "192.168.1.20",       "000.000.000.000",  "192.168.001.019",         nullptr},
    {R(BelowIPRange),    "1.2.3.0",            "000.000.000.000",  "001.002.003.0-1",         nullptr},
    {R(BelowIPRange),    "1.2.3.1000",         "000.000.000.000",  "001.002.003.999",         nullptr},
    {R(BelowIPRange),    "1.2.3.$10",          "000.000.000.000",  "001.002.003.015",         nullptr},
    {R(BelowIPRange),    "1.2.3. 7",           "000.000.000.000",  "001.002.003.006",         nullptr},
    {R(BelowIPRange),    "1.2.3.-2147483648",  "000.000.000.000",  "001.002.003.-2147483649", nullptr},
    {R(BelowIPRange),    "1.2.3.x",            nullptr, nullptr, "'x' is not a valid integer value"},
    {R(BelowIPRange),    "",                   nullptr, nullptr, "'' is not a valid integer value"},
    {R(BelowIPRange),    "1.2.3.4.5",          nullptr, nullptr, "'4.5' is not a valid integer value"},
    {R(BelowIPRange),    "1.2.3.4 ",           nullptr, nullptr, "'4 ' is not a valid integer value"},
    {R(AboveIPRange),    "192.168.1.20",       "192.168.001.021",  "255.255.255.254",         nullptr},
    {R(AboveIPRange),    "1.2.3.255",          "001.002.003.256",  "255.255.255.254",         nullptr},
    {R(AboveIPRange),    "1.2.3.0x10",         "001.002.003.017",  "255.255.255.254",         nullptr},
    {R(AboveIPRange),    "1.2.3.2147483647",   "001.002.003.2147483648", "255.255.255.254",   nullptr},
    {R(AboveIPRange),    "1.2.3.*",            nullptr, nullptr, "'*' is not a valid integer value"},
    {R(BelowLANRange),   "192.168.1.20",       "000.000.000.000",  "192.168.000.255",         nullptr},
    {R(BelowLANRange),   "10.0.0.5",           "000.000.000.000",  "009.255.255.255",         nullptr},
    {R(BelowLANRange),   "0.5.0.1",            "000.000.000.000",  "000.004.255.255",         nullptr},
    {R(BelowLANRange),   "0.0.0.9",            "000.000.000.000",  "000.255.255.255",         nullptr},
    {R(BelowLANRange),   "1.2.3.anything",     "000.000.000.000",  "001.002.002.255",         nullptr},
    {R(BelowLANRange),   "1.2.3",              nullptr, nullptr, "'' is not a valid integer value"},
    {R(BelowLANRange),   "x.y.z.1",            nullptr, nullptr, "'x' is not a valid integer value"},
    {R(BelowLANRange),   "1.y.z.1",            nullptr, nullptr, "'y' is not a valid integer value"},
    {R(BelowLANRange),   "",                   nullptr, nullptr, "'' is not a valid integer value"},
    {R(AboveLANRange),   "192.168.1.20",       "192.168.002.000",  "255.255.255.254",         nullptr},
    {R(AboveLANRange),   "10.255.255.1",       "011.000.000.000",  "255.255.255.254",         nullptr},
    {R(AboveLANRange),   "255.255.255.1",      "255.000.000.000",  "255.255.255.254",         nullptr},
    {R(AboveLANRange),   "1.2.255.9",          "001.003.000.000",  "255.255.255.254",         nullptr},
    {R(AboveLANRange),   "1.2.x.4",            nullptr, nullptr, "'x' is not a valid integer value"},
};
#undef R
INSTANTIATE_TEST_SUITE_P(Table, RangeRoutineTest, ::testing::ValuesIn(BoundsCases));

// The keyword bounds leave out exactly the local address (or its /24) for
// every well-formed address, also where the last part is 0 or 255 and the
// text "0-1" or "256" stands in for a borrow or carry.
TEST(KeywordBounds, KeywordBoundsSplitTheAddressSpaceAroundTheAddress)
{
    std::mt19937 rng(11);
    const std::uint32_t Broadcast = 0xFFFFFFFFu;
    for (int i = 0; i < 3000; ++i) {
        std::uint32_t x = rng();
        if (i % 3 == 0)
            x = (x & 0xFFFFFF00u) | (i % 2 ? 0u : 255u);
        const std::string local = Dotted(x);
        std::string belowLo, belowHi, aboveLo, aboveHi, lanLo, lanHi, bLanLo, bLanHi, aLanLo, aLanHi;
        BelowIPRange(local, belowLo, belowHi);
        AboveIPRange(local, aboveLo, aboveHi);
        LANRange(local, lanLo, lanHi);
        BelowLANRange(local, bLanLo, bLanHi);
        AboveLANRange(local, aLanLo, aLanHi);
        const bool edgeNet = (x >> 8) == 0 || (x >> 8) == 0xFFFFFFu; // /24s with no neighbour on one side
        for (int j = 0; j < 40; ++j) {
            std::uint32_t y = rng();
            if (j % 4 == 0)
                y = (x & 0xFFFFFF00u) | (rng() & 0xFF);
            if (j == 1)
                y = x;
            if (j == 2)
                y = Broadcast;
            const std::string addr = Dotted(y);
            ASSERT_EQ(IPInRange(addr, belowLo, belowHi), y < x) << local << " / " << addr;
            ASSERT_EQ(IPInRange(addr, aboveLo, aboveHi), y > x && y != Broadcast) << local << " / " << addr;
            ASSERT_EQ(IPInRange(addr, lanLo, lanHi), (y >> 8) == (x >> 8)) << local << " / " << addr;
            if (!edgeNet) {
                ASSERT_EQ(IPInRange(addr, bLanLo, bLanHi), (y >> 8) < (x >> 8)) << local << " / " << addr;
                ASSERT_EQ(IPInRange(addr, aLanLo, aLanHi), (y >> 8) > (x >> 8) && y != Broadcast)
                    << local << " / " << addr;
            }
        }
    }
}

struct InRangeCase {
    const char* Address;
    const char* Lower;
    const char* Upper;
    bool Inside;
};

class IPInRangeTest : public ::testing::TestWithParam<InRangeCase> {};

TEST_P(IPInRangeTest, Decides)
{
    const InRangeCase& c = GetParam();
    EXPECT_EQ(IPInRange(c.Address, c.Lower, c.Upper), c.Inside)
        << c.Address << " in " << c.Lower << " .. " << c.Upper;
}

const InRangeCase InRangeCases[] = {
    // address             lower                upper                inside
    {"192.168.1.0",        "192.168.001.000",   "192.168.001.255",   true},
    {"192.168.1.5",        "192.168.001.000",   "192.168.001.255",   true},
    {"192.168.1.255",      "192.168.001.000",   "192.168.001.255",   true},
    {"192.168.2.0",        "192.168.001.000",   "192.168.001.255",   false},
    {"192.168.0.255",      "192.168.001.000",   "192.168.001.255",   false},
    {"255.255.255.255",    "000.000.000.000",   "255.255.255.254",   false},
    {"255.255.255.254",    "000.000.000.000",   "255.255.255.254",   true},
    {"0.0.0.0",            "000.000.000.000",   "255.255.255.254",   true},
    {"10.0.0.5",           "010.000.000.009",   "010.000.000.001",   false}, // reversed
    {"10.0.0.9",           "010.000.000.009",   "010.000.000.001",   false},
    {"10.0.0.1",           "010.000.000.009",   "010.000.000.001",   false},
    {"1.2.3.0",            "000.000.000.000",   "001.002.003.0-1",   false}, // "0-1" sorts below "000"
    {"1.2.2.255",          "000.000.000.000",   "001.002.003.0-1",   true},
    {"1.2.3.255",          "001.002.003.256",   "255.255.255.254",   false},
    {"1.2.4.0",            "001.002.003.256",   "255.255.255.254",   true},
    {"10.0.0.5",           "10.0.0.1",          "10.0.0.9",          false}, // bounds are not padded again
    {"1.2.3",              "001.002.000.003",   "001.002.000.003",   true},
    {"1.2.3.\xE9",         "001.002.003.000",   "001.002.003.00z",   false}, // bytes compare unsigned
    {"1.2.3.\xE9",         "001.002.003.000",   "001.002.003.0\xFF", true},
};
INSTANTIATE_TEST_SUITE_P(Table, IPInRangeTest, ::testing::ValuesIn(InRangeCases));

} // namespace
