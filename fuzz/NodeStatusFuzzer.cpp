// The NetBIOS helper's decoder on arbitrary datagrams: the first two bytes
// are taken as the transaction asked for, so that most inputs get past the
// identifier. A decoded status is printed as the helper prints it and read
// back by the tray's parser, which must find the first listed name and the
// MAC address.

#include "namequery/NameQueryThreadClass.h"
#include "tools/varno-nbtstat/NodeStatus.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "node status fuzzer: %s\n", what.c_str());
    std::abort();
}

std::string Upper(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return s;
}

// The name as a reader of the table should get it: control bytes shown as
// dots, its first word. Empty for a name the table leaves out (blank, or
// looking like the dashes or the address line).
std::string ListedWord(const std::string& name)
{
    std::string shown;
    for (const unsigned char c : name)
        shown += (c < 0x20 || c == 0x7F) ? '.' : char(c);
    if (shown.find("-----") != std::string::npos || Upper(shown).find("MAC ADDRESS") != std::string::npos)
        return {};
    const size_t first = shown.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return shown.substr(first, shown.find(' ', first) - first);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::uint16_t id = Size >= 2 ? std::uint16_t(Data[0] << 8 | Data[1]) : 0;
    const auto status = DecodeNodeStatusResponse(Data, Size, id);
    // Another transaction is never accepted.
    if (DecodeNodeStatusResponse(Data, Size, std::uint16_t(id + 1)))
        Fail("answer to another transaction accepted");
    if (!status)
        return 0;
    for (const auto& n : status->Names)
        if (n.Name.size() > 15)
            Fail("name longer than 15 bytes");

    const std::string table = FormatNodeStatus(*status);
    const TNetBIOSAnswer answer = ParseNetBIOSOutput(SplitTextLines(table));

    const std::string expectedMac = status->MacAddress ? *status->MacAddress : std::string();
    if (answer.MacAddress != expectedMac)
        Fail("MAC address read back as '" + answer.MacAddress + "', printed '" + expectedMac + "'");
    std::string expectedName;
    for (const auto& n : status->Names)
        if (expectedName = ListedWord(n.Name); !expectedName.empty())
            break;
    if (answer.UNCName != expectedName)
        Fail("name read back as '" + answer.UNCName + "', expected '" + expectedName + "'\n" + table);
    return 0;
}
