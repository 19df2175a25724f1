#include "platform/SysUtils.h"

#include <cstdint>

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }
char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

} // namespace

bool TryStrToInt(std::string_view text, int& value)
{
    size_t i = 0;
    const size_t n = text.size();
    while (i < n && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= n)
        return false;
    // Accumulate the magnitude; anything past 2^31 cannot fit either sign.
    const std::uint64_t limit = negative ? 0x80000000ull : 0x7FFFFFFFull;
    std::uint64_t magnitude = 0;
    for (; i < n; ++i) {
        const int d = base == 16 ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (d < 0)
            return false;
        magnitude = magnitude * std::uint64_t(base) + std::uint64_t(d);
        if (magnitude > limit)
            return false;
    }
    value = negative ? int(-std::int64_t(magnitude)) : int(magnitude);
    return true;
}

std::string InvalidIntegerMessage(std::string_view text)
{
    return "'" + std::string(text) + "' is not a valid integer value";
}

int StrToInt(std::string_view text)
{
    int value = 0;
    if (!TryStrToInt(text, value))
        throw EConvertError(InvalidIntegerMessage(text));
    return value;
}

int StrToIntDef(std::string_view text, int defaultValue)
{
    int value = 0;
    return TryStrToInt(text, value) ? value : defaultValue;
}

std::string Trim(std::string_view text)
{
    size_t b = 0;
    size_t e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= 32)
        ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32)
        --e;
    return std::string(text.substr(b, e - b));
}

std::string UpperCase(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = AsciiUpper(c);
    return out;
}

std::string LowerCase(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = AsciiLower(c);
    return out;
}

bool SameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiUpper(a[i]) != AsciiUpper(b[i]))
            return false;
    return true;
}
