#include "ranges/RangesFile.h"

#include "app/LocalMachineInfo.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const std::string DataDir = VARNO_SOURCE_DIR "/tests/ranges/data/";

struct LoadCase {
    const char* File;
    std::vector<std::string> Names; // the rules handed over, in order
    const char* Error;              // nullptr when the load completes
};

class RangesFileLoadTest : public ::testing::TestWithParam<LoadCase> {};

TEST_P(RangesFileLoadTest, HandsOverRulesInOrderAndStopsAtTheFirstError)
{
    const LoadCase& c = GetParam();
    const std::string saved = LocalIP;
    LocalIP = "192.168.1.20";
    std::vector<std::unique_ptr<TAllowRange>> rules;
    std::vector<int> numbers;
    auto load = [&] {
        return LoadRangesFile(DataDir + c.File, [&](int number, const TRangeTexts& texts, std::unique_ptr<TAllowRange> rule) {
            EXPECT_EQ(texts.DisplayName, rule->DisplayName);
            numbers.push_back(number);
            rules.push_back(std::move(rule));
        });
    };
    if (c.Error) {
        try {
            load();
            ADD_FAILURE() << "no error";
        } catch (const EConvertError& e) {
            EXPECT_STREQ(e.what(), c.Error);
        }
    } else {
        EXPECT_EQ(load(), int(c.Names.size()));
    }
    LocalIP = saved;
    std::vector<std::string> names;
    for (size_t i = 0; i < rules.size(); ++i) {
        names.push_back(rules[i]->DisplayName);
        EXPECT_EQ(numbers[i], int(i) + 1);
    }
    EXPECT_EQ(names, c.Names);
}

const LoadCase LoadCases[] = {
    // "Range 4" has an empty name, so "Range 5" is never read; section and key names ignore case
    {"good.ini",          {"Web out", "LAN", "Everything"}, nullptr},
    {"error.ini",         {"DNS"},                          "'' is not a valid integer value"},
    {"warnings.ini",      {"Mistakes", "No key"},           nullptr},
    {"no-such-file.ini",  {},                               nullptr},
};
INSTANTIATE_TEST_SUITE_P(Fixtures, RangesFileLoadTest, ::testing::ValuesIn(LoadCases));

TEST(RangesFileTexts, RulesAreBuiltFromTheFiveKeys)
{
    const std::string saved = LocalIP;
    LocalIP = "192.168.1.20";
    std::vector<std::unique_ptr<TAllowRange>> rules;
    LoadRangesFile(DataDir + "good.ini", [&](int, const TRangeTexts&, std::unique_ptr<TAllowRange> rule) {
        rules.push_back(std::move(rule));
    });
    LocalIP = saved;
    ASSERT_EQ(rules.size(), 3u);
    EXPECT_EQ(rules[1]->SourceIPs, "192.168.001.000-192.168.001.255");
    EXPECT_EQ(rules[1]->DestIPs, "010.001.002.000-010.001.002.255,010.000.000.001-010.000.000.009");
    EXPECT_EQ(rules[1]->SourcePorts, "*ANY*");
    EXPECT_EQ(rules[1]->DestPorts, "1024-65535,443");
    EXPECT_EQ(RangeSectionName(12), "Range 12");
}

} // namespace
