#include "ranges/IPRanges.h"

#include "platform/SysUtils.h"

#include <cstdint>
#include <string_view>

namespace {

constexpr const char* LowestBound = "000.000.000.000";
constexpr const char* HighestBound = "255.255.255.254";

struct TParts {
    std::string_view Part[4];
};

TParts CutParts(std::string_view text)
{
    TParts parts;
    for (int k = 0; k < 3; ++k) {
        const size_t dot = text.find('.');
        if (dot == std::string_view::npos)
            continue; // empty part here; the text moves on to the next one
        parts.Part[k] = text.substr(0, dot);
        text.remove_prefix(dot + 1);
    }
    parts.Part[3] = text;
    return parts;
}

std::string PadPart(std::string_view part)
{
    std::string out;
    if (part.size() < 3)
        out.assign(3 - part.size(), '0');
    out.append(part);
    return out;
}

// Wide arithmetic: a part may hold any 32-bit integer, and one more or one
// less must not overflow.
std::string PadNumber(std::int64_t value) { return PadPart(std::to_string(value)); }

std::string FirstThree(const TParts& parts)
{
    return PadPart(parts.Part[0]) + "." + PadPart(parts.Part[1]) + "." + PadPart(parts.Part[2]);
}

} // namespace

std::string PadIPAddress(const std::string& IPAddress)
{
    const TParts parts = CutParts(IPAddress);
    return FirstThree(parts) + "." + PadPart(parts.Part[3]);
}

void LANRange(const std::string& IPAddress, std::string& LowerBound, std::string& UpperBound)
{
    const std::string net = FirstThree(CutParts(IPAddress));
    LowerBound = net + ".000";
    UpperBound = net + ".255";
}

void BelowIPRange(const std::string& IPAddress, std::string& LowerBound, std::string& UpperBound)
{
    const TParts parts = CutParts(IPAddress);
    const std::int64_t d = StrToInt(parts.Part[3]);
    // No borrow into the third part: for d = 0 the text "0-1" still sorts
    // below "000", so the range ends below the address.
    std::string upper = FirstThree(parts) + "." + PadNumber(d - 1);
    LowerBound = LowestBound;
    UpperBound = std::move(upper);
}

void AboveIPRange(const std::string& IPAddress, std::string& LowerBound, std::string& UpperBound)
{
    const TParts parts = CutParts(IPAddress);
    const std::int64_t d = StrToInt(parts.Part[3]);
    // No carry either: "256" sorts above "255".
    std::string lower = FirstThree(parts) + "." + PadNumber(d + 1);
    LowerBound = std::move(lower);
    UpperBound = HighestBound;
}

namespace {

void ConvertFirstThree(const TParts& parts, std::int64_t& a, std::int64_t& b, std::int64_t& c)
{
    a = StrToInt(parts.Part[0]);
    b = StrToInt(parts.Part[1]);
    c = StrToInt(parts.Part[2]);
}

std::string JoinNumbers(std::int64_t a, std::int64_t b, std::int64_t c)
{
    return PadNumber(a) + "." + PadNumber(b) + "." + PadNumber(c);
}

} // namespace

void BelowLANRange(const std::string& IPAddress, std::string& LowerBound, std::string& UpperBound)
{
    std::int64_t a, b, c;
    ConvertFirstThree(CutParts(IPAddress), a, b, c);
    c -= 1;
    if (c < 0) {
        c = 255;
        b -= 1;
        if (b < 0) {
            b = 255;
            a -= 1;
            if (a < 0)
                a = 0;
        }
    }
    std::string upper = JoinNumbers(a, b, c) + ".255";
    LowerBound = LowestBound;
    UpperBound = std::move(upper);
}

void AboveLANRange(const std::string& IPAddress, std::string& LowerBound, std::string& UpperBound)
{
    std::int64_t a, b, c;
    ConvertFirstThree(CutParts(IPAddress), a, b, c);
    c += 1;
    if (c > 255) {
        c = 0;
        b += 1;
        if (b > 255) {
            b = 0;
            a += 1;
            if (a > 255)
                a = 255;
        }
    }
    std::string lower = JoinNumbers(a, b, c) + ".000";
    LowerBound = std::move(lower);
    UpperBound = HighestBound;
}

bool IPInRange(const std::string& IPAddress, const std::string& LowerBound, const std::string& UpperBound)
{
    // std::string compares its chars as unsigned, byte by byte, a prefix
    // first: the ordinal order the bounds are built for.
    const std::string padded = PadIPAddress(IPAddress);
    if (padded < LowerBound)
        return false;
    return padded <= UpperBound;
}

bool ParseIPText(std::string_view Text, std::uint32_t& Address)
{
    std::uint32_t result = 0;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= Text.size() || Text[pos] != '.')
                return false;
            ++pos;
        }
        const std::size_t start = pos;
        unsigned value = 0;
        while (pos < Text.size() && pos - start < 3 && Text[pos] >= '0' && Text[pos] <= '9')
            value = value * 10 + unsigned(Text[pos++] - '0');
        const std::size_t digits = pos - start;
        if (digits == 0 || value > 255 || (digits > 1 && Text[start] == '0'))
            return false;
        result = (result << 8) | value;
    }
    if (pos != Text.size())
        return false;
    Address = result;
    return true;
}
