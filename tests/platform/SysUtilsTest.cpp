#include "platform/SysUtils.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

struct IntCase {
    const char* text;
    std::optional<int> value; // nullopt: conversion error
};

const IntCase kIntCases[] = {
    {"0", 0},
    {"42", 42},
    {"   42", 42},
    {"+7", 7},
    {"-7", -7},
    {"0443", 443},
    {"$50", 0x50},
    {"x50", 0x50},
    {"X50", 0x50},
    {"0x50", 0x50},
    {"0XfF", 0xFF},
    {"-$10", -16},
    {"2147483647", 2147483647},
    {"-2147483648", -2147483647 - 1},
    {"$7FFFFFFF", 2147483647},
    {"2147483648", std::nullopt},
    {"-2147483649", std::nullopt},
    {"$80000000", std::nullopt},
    {"", std::nullopt},
    {"   ", std::nullopt},
    {"-", std::nullopt},
    {"$", std::nullopt},
    {"0x", std::nullopt},
    {"42 ", std::nullopt},
    {"\t42", std::nullopt},
    {"4 2", std::nullopt},
    {"12a", std::nullopt},
    {"ANY", std::nullopt},
    {"$G", std::nullopt},
    {"99999999999999999999", std::nullopt},
};

TEST(StrToInt, FollowsTheConversionRules)
{
    for (const auto& c : kIntCases) {
        SCOPED_TRACE(std::string("text '") + c.text + "'");
        if (c.value) {
            EXPECT_EQ(StrToInt(c.text), *c.value);
            EXPECT_EQ(StrToIntDef(c.text, -99), *c.value);
        } else {
            try {
                StrToInt(c.text);
                ADD_FAILURE() << "no conversion error";
            } catch (const EConvertError& e) {
                EXPECT_EQ(e.Message(), std::string("'") + c.text + "' is not a valid integer value");
            }
            EXPECT_EQ(StrToIntDef(c.text, -99), -99);
        }
    }
}

TEST(TextHelpers, TrimRemovesControlsAndBlanksOnly)
{
    EXPECT_EQ(Trim(" \t\r\n a b \x01\x1f "), "a b");
    EXPECT_EQ(Trim("\x7f" "x"), "\x7f" "x"); // code 127 is not a blank
    EXPECT_EQ(Trim("   "), "");
    EXPECT_EQ(UpperCase("*myip*\xe4"), "*MYIP*\xe4");
    EXPECT_EQ(LowerCase("Pinging ABC"), "pinging abc");
    EXPECT_TRUE(SameText("Range 1", "RANGE 1"));
    EXPECT_FALSE(SameText("Range 1", "Range 10"));
}

} // namespace
