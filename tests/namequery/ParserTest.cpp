// The text patterns that pick answers out of the helpers' output, over
// recorded outputs, and the address check that guards the command lines.

#include "namequery/NameQueryThreadClass.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

// "nbt_table_crlf.txt" -> "nbt_table_crlf"
template <typename Case>
std::string FixtureName(const ::testing::TestParamInfo<Case>& info)
{
    std::string name = info.param.Fixture;
    name = name.substr(0, name.find('.'));
    return name + "_" + std::to_string(info.index);
}

const std::string DataDir = std::string(VARNO_SOURCE_DIR) + "/tests/namequery/data/";

std::vector<std::string> FixtureLines(const std::string& name)
{
    return SplitTextLines(nqtest::ReadFile(DataDir + name));
}

struct NetBIOSCase {
    const char* Fixture;
    const char* UNCName;
    const char* MacAddress;
};

// clang-format off
const NetBIOSCase NetBIOSCases[] = {
    // Fixture                                UNCName      MacAddress
    {"nbt_table_crlf.txt",                    "WKSTN01",   "00-0C-29-3A-5B-7C"},
    {"nbt_mixed_case_mac.txt",                "FILESRV",   "52-54-00-12-34-56"},
    {"nbt_empty_line_after_dashes.txt",       "PRINTER1",  "00-11-22-33-44-55"},
    {"nbt_two_empty_lines_after_dashes.txt",  "",          "00-11-22-33-44-55"},
    {"nbt_dashes_in_last_two_lines.txt",      "WKSTN01",   ""},
    {"nbt_last_table_wins.txt",               "SECOND",    "00-0C-29-3A-5B-7C"},
    {"nbt_row_without_blank.txt",             "",          "00-0C-29-3A-5B-7C"},
    {"nbt_empty_mac_value.txt",               "WKSTN02",   "AA-BB-CC-DD-EE-FF"},
    {"nbt_host_not_found.txt",                "",          ""},
    {"empty.txt",                             "",          ""},
};
// clang-format on

void PrintTo(const NetBIOSCase& c, std::ostream* os) { *os << c.Fixture; }

class NetBIOSOutput : public ::testing::TestWithParam<NetBIOSCase> {};

TEST_P(NetBIOSOutput, YieldsNameAndAddress)
{
    const NetBIOSCase& c = GetParam();
    const TNetBIOSAnswer answer = ParseNetBIOSOutput(FixtureLines(c.Fixture));
    EXPECT_EQ(answer.UNCName, c.UNCName);
    EXPECT_EQ(answer.MacAddress, c.MacAddress);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, NetBIOSOutput, ::testing::ValuesIn(NetBIOSCases),
                         FixtureName<NetBIOSCase>);

struct ReverseNameCase {
    const char* Fixture;
    const char* IPAddress;
    const char* IPName;
};

// clang-format off
const ReverseNameCase ReverseNameCases[] = {
    // Fixture                          IPAddress     IPName
    {"ping_name.txt",                   "10.0.0.7",   "WKSTN01"},
    {"ping_bare_address.txt",           "10.0.0.7",   ""},
    {"ping_bare_then_name.txt",         "10.0.0.7",   "wkstn01.corp.example"},
    // The first eight characters of the line go, wherever the word stood.
    {"ping_pattern_not_at_start.txt",   "10.0.0.7",   "g"},
    {"ping_lower_case.txt",             "10.0.0.7",   "host-7.lan"},
    {"ping_name_without_blank.txt",     "10.0.0.7",   "LATER.EXAMPLE"},
    {"ping_unknown_host.txt",           "10.0.0.7",   ""},
    {"empty.txt",                       "10.0.0.7",   ""},
};
// clang-format on

void PrintTo(const ReverseNameCase& c, std::ostream* os) { *os << c.Fixture; }

class ReverseNameOutput : public ::testing::TestWithParam<ReverseNameCase> {};

TEST_P(ReverseNameOutput, YieldsHostName)
{
    const ReverseNameCase& c = GetParam();
    EXPECT_EQ(ParseReverseNameOutput(FixtureLines(c.Fixture), c.IPAddress), c.IPName);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ReverseNameOutput, ::testing::ValuesIn(ReverseNameCases),
                         FixtureName<ReverseNameCase>);

TEST(SplitTextLines, EndsLinesAtCarriageReturnLineFeedOrThePair)
{
    struct Case {
        std::string Text;
        std::vector<std::string> Lines;
    };
    const Case cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\n", {"a"}},
        {"a\r\nb\rc\nd", {"a", "b", "c", "d"}},
        {"\n\n", {"", ""}},
        {"a\n\r\nb", {"a", "", "b"}},
        {"a\r\r\n", {"a", ""}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SplitTextLines(c.Text), c.Lines) << "text: " << ::testing::PrintToString(c.Text);
}

TEST(IPv4AddressCheck, AcceptsOnlyFourDecimalPartsUpTo255)
{
    struct Case {
        std::string Text;
        bool Valid;
    };
    const Case cases[] = {
        {"0.0.0.0", true},
        {"255.255.255.255", true},
        {"10.0.0.7", true},
        {"192.168.001.020", true},
        {"256.0.0.1", false},
        {"1.2.3", false},
        {"1.2.3.4.5", false},
        {"1..2.3", false},
        {"1.2.3.0004", false},
        {"1.2.3.-4", false},
        {"+1.2.3.4", false},
        {"0x7f.0.0.1", false},
        {" 1.2.3.4", false},
        {"1.2.3.4 ", false},
        {"1.2.3.4\n", false},
        {std::string("1.2.3.4\0", 8), false},
        {"1.2.3.4;touch /tmp/x", false},
        {"1.2.3.4 >/tmp/x", false},
        {"$(id)", false},
        {"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsValidIPv4Address(c.Text), c.Valid) << ::testing::PrintToString(c.Text);

    std::array<std::uint8_t, 4> bytes{};
    ASSERT_TRUE(ParseIPv4Address("192.168.001.020", bytes));
    EXPECT_EQ(bytes, (std::array<std::uint8_t, 4>{192, 168, 1, 20}));
}

} // namespace
