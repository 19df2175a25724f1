// The parsers of the helpers' outputs (nbtstat-style table, ping lines) on
// arbitrary text: names must be single words taken from a line, the address
// trimmed, and an accepted address text exactly a dotted quad.

#include "namequery/NameQueryThreadClass.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "name output fuzzer: %s\n", what.c_str());
    std::abort();
}

bool InSomeLine(const std::vector<std::string>& lines, const std::string& piece)
{
    for (const auto& line : lines)
        if (line.find(piece) != std::string::npos)
            return true;
    return false;
}

bool Blank(char c) { return static_cast<unsigned char>(c) <= 32; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string_view text(reinterpret_cast<const char*>(Data), Size);
    const std::vector<std::string> lines = SplitTextLines(text);
    for (const auto& line : lines)
        if (line.find_first_of("\r\n") != std::string::npos)
            Fail("a line holds a line break");

    const TNetBIOSAnswer answer = ParseNetBIOSOutput(lines);
    if (!answer.MacAddress.empty() && (Blank(answer.MacAddress.front()) || Blank(answer.MacAddress.back())))
        Fail("MAC address is not trimmed");
    if (!answer.UNCName.empty() && (answer.UNCName.find(' ') != std::string::npos || Blank(answer.UNCName.front()) ||
                                    !InSomeLine(lines, answer.UNCName)))
        Fail("name is not one word of a line");

    // The queried address is the first line, or a usual one.
    for (const std::string& address : {lines.empty() ? std::string() : lines.front(), std::string("192.168.1.10")}) {
        const std::string name = ParseReverseNameOutput(lines, address);
        if (!name.empty() && (name == address || name.find(' ') != std::string::npos || !InSomeLine(lines, name)))
            Fail("reverse name is not one word of a line, or is the address itself");
    }

    for (const auto& line : lines) {
        std::array<std::uint8_t, 4> bytes{};
        if (!ParseIPv4Address(line, bytes))
            continue;
        // Four parts of one to three decimal digits, each the byte.
        size_t part = 0, digits = 0;
        unsigned value = 0;
        bool ok = true;
        for (size_t i = 0; i <= line.size() && ok; ++i) {
            if (i == line.size() || line[i] == '.') {
                ok = digits >= 1 && part < 4 && value == bytes[part];
                ++part;
                digits = value = 0;
            } else {
                ok = line[i] >= '0' && line[i] <= '9' && ++digits <= 3;
                value = value * 10 + unsigned(line[i] - '0');
            }
        }
        if (!ok || part != 4)
            Fail("accepted address text '" + line + "' is not its address");
    }
    return 0;
}
