// varno-ranges FILE [--local-ip A.B.C.D] [--match SRC DST SPORT DPORT]
//
// Loads a ranges file exactly as the tray's Start does and prints each range
// with its stored lists, or, with --match, the matched ranges list of one
// packet. Warns about items that can never match although nothing else would
// tell: a blank inside an address, a reversed range, a star before the last
// part of an address, a port beyond 65535, an empty list, ranges beyond the
// 71 that the tray loads. Control characters of the file are shown as '?'.
//
// Exit status: 0 when every range was built, 1 when one failed, 2 for usage
// and for a file that cannot be read.

#include "app/LocalMachineInfo.h"
#include "platform/IniFiles.h"
#include "platform/SysUtils.h"
#include "ranges/AddressKeys.h"
#include "ranges/AllowRange.h"
#include "ranges/IPRanges.h"
#include "ranges/RangesFile.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <string>
#include <utility>
#include <vector>

namespace {

const char* const Program = "varno-ranges";
// The counters block has this many records; the tray loads no more ranges.
constexpr int TrayRanges = 71;

int Usage(const std::string& problem)
{
    if (!problem.empty())
        std::cerr << Program << ": " << problem << "\n";
    std::cerr << "usage: " << Program << " FILE [--local-ip A.B.C.D] [--match SRC DST SPORT DPORT]\n";
    return 2;
}

bool ParsePort(const std::string& text, int& port)
{
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    port = std::stoi(text);
    return port <= 65535;
}

// Cuts a list at commas the way the rules do.
std::vector<std::string> CutItems(std::string rest)
{
    std::vector<std::string> items;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        if (comma == std::string::npos) {
            items.push_back(rest);
            rest.clear();
        } else {
            items.push_back(rest.substr(0, comma));
            rest.erase(0, comma + 1);
        }
    }
    return items;
}

// Control characters of a file's text replaced by '?', so that what a file
// holds cannot drive the terminal.
std::string Shown(const std::string& text)
{
    std::string shown = text;
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            c = '?';
    return shown;
}

bool ContainsKeyword(const std::string& item, const char* keyword)
{
    return UpperCase(item).find(keyword) != std::string::npos;
}

bool HasBlank(const std::string& item)
{
    return std::any_of(item.begin(), item.end(), [](char c) { return static_cast<unsigned char>(c) <= 32; });
}

using TAddressSet = std::vector<std::pair<std::uint32_t, std::uint32_t>>; // sorted, merged intervals

TAddressSet Merge(TAddressSet set)
{
    std::sort(set.begin(), set.end());
    TAddressSet out;
    for (const auto& r : set) {
        if (!out.empty() && std::uint64_t(r.first) <= std::uint64_t(out.back().second) + 1)
            out.back().second = std::max(out.back().second, r.second);
        else
            out.push_back(r);
    }
    return out;
}

// The packet addresses that a stored address list fits.
TAddressSet AddressesOf(const std::string& stored)
{
    TAddressSet set;
    for (const std::string& item : CutItems(stored)) {
        std::int64_t first, last;
        if (ContainsKeyword(item, "*ANY*")) {
            first = 0;
            last = AddressKeys::KeyCount - 1;
        } else if (const size_t dash = item.find('-'); dash != std::string::npos) {
            first = AddressKeys::FirstKeyNotBelow(Trim(item.substr(0, dash)));
            last = AddressKeys::LastKeyNotAbove(Trim(item.substr(dash + 1)));
        } else {
            first = last = AddressKeys::FromPaddedText(Trim(item));
            if (first == AddressKeys::NoKey)
                continue;
        }
        std::uint32_t lo, hi;
        if (first > last || !AddressKeys::FirstAddressNotBelow(first, lo) || !AddressKeys::LastAddressNotAbove(last, hi) ||
            lo > hi)
            continue;
        set.emplace_back(lo, hi);
    }
    return Merge(set);
}

// What one written address item stores, through the rules' own normalising.
std::optional<std::string> StoredAddressItem(const std::string& item)
{
    try {
        // A lone empty item is written as "," (an empty text has no items).
        return TAllowRange("", item.empty() ? "," : item, "*ANY*", "*ANY*", "*ANY*").SourceIPs;
    } catch (const Exception&) {
        return std::nullopt;
    }
}

struct TWarnings {
    int Count = 0;
    int Number;
    std::string Name;

    void Add(const std::string& text)
    {
        ++Count;
        std::cerr << Program << ": warning: Range " << Number << " \"" << Shown(Name) << "\": " << Shown(text) << "\n";
    }
};

void CheckAddressList(const char* key, const std::string& written, TWarnings& warnings)
{
    if (written.empty()) {
        warnings.Add(std::string(key) + " is empty: the range matches no packet");
        return;
    }
    const std::vector<std::string> items = CutItems(written);
    if (std::any_of(items.begin(), items.end(), [](const std::string& i) { return ContainsKeyword(i, "*ANY*"); }))
        return;
    for (const std::string& item : items) {
        if (ContainsKeyword(item, "*MYIP*") || ContainsKeyword(item, "*NOTMYIP*") || ContainsKeyword(item, "*MYLAN*") ||
            ContainsKeyword(item, "*NOTMYLAN*"))
            continue;
        const std::optional<std::string> stored = StoredAddressItem(item);
        if (!stored)
            continue;
        const TAddressSet set = AddressesOf(*stored);
        const std::string quoted = std::string(key) + " item \"" + item + "\"";
        const char* const never = ": it matches no packet";

        if (HasBlank(item)) {
            std::string plain;
            std::copy_if(item.begin(), item.end(), std::back_inserter(plain),
                         [](char c) { return static_cast<unsigned char>(c) > 32; });
            const std::optional<std::string> plainStored = StoredAddressItem(plain);
            if (set.empty())
                warnings.Add(quoted + " contains a blank, which stays part of the address" + never);
            else if (!plainStored || AddressesOf(*plainStored) != set)
                warnings.Add(quoted + " contains a blank, which stays part of the address: it matches other "
                                      "addresses than it would without the blank");
        }
        if (item.find('*') != std::string::npos) {
            // Only the last part may be a star; the first three are kept as text.
            std::string rest = item;
            bool early = false;
            for (int part = 0; part < 3; ++part) {
                const size_t dot = rest.find('.');
                if (dot == std::string::npos)
                    continue;
                early = early || rest.substr(0, dot).find('*') != std::string::npos;
                rest.erase(0, dot + 1);
            }
            if (early && set.empty())
                warnings.Add(quoted + " has a star in one of its first three parts" + never);
        } else if (const size_t dash = stored->find('-'); dash != std::string::npos) {
            if (Trim(stored->substr(0, dash)) > Trim(stored->substr(dash + 1)))
                warnings.Add(quoted + " is a reversed range" + never);
        }
    }
}

void CheckPortList(const char* key, const std::string& written, TWarnings& warnings)
{
    if (written.empty()) {
        warnings.Add(std::string(key) + " is empty: the range matches no packet");
        return;
    }
    const std::vector<std::string> items = CutItems(written);
    if (std::any_of(items.begin(), items.end(), [](const std::string& i) { return ContainsKeyword(i, "*ANY*"); }))
        return;
    for (const std::string& item : items) {
        int lower = 0, upper = 0;
        if (const size_t dash = item.find('-'); dash != std::string::npos) {
            if (!TryStrToInt(Trim(item.substr(0, dash)), lower) || !TryStrToInt(Trim(item.substr(dash + 1)), upper))
                continue;
        } else if (TryStrToInt(item, lower)) {
            upper = lower;
        } else {
            continue;
        }
        const std::string quoted = std::string(key) + " item \"" + item + "\"";
        if (lower > upper)
            warnings.Add(quoted + " is a reversed range: it matches no packet");
        else if (upper < 0 || lower > 65535)
            warnings.Add(quoted + " lies outside the ports 0 to 65535: it matches no packet");
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::string fileName;
    std::optional<std::string> localIP;
    bool match = false;
    std::uint32_t srcAddr = 0, dstAddr = 0;
    int srcPort = 0, dstPort = 0;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << "usage: " << Program << " FILE [--local-ip A.B.C.D] [--match SRC DST SPORT DPORT]\n";
            return 0;
        } else if (arg == "--local-ip") {
            if (i + 1 >= argc)
                return Usage("--local-ip needs an address");
            const std::string value = argv[++i];
            std::uint32_t ignored;
            // Empty stands for a machine where no address was found.
            if (!value.empty() && !ParseIPText(value, ignored))
                return Usage("not an IPv4 address: '" + value + "'");
            localIP = value;
        } else if (arg == "--match") {
            if (i + 4 >= argc)
                return Usage("--match needs SRC DST SPORT DPORT");
            const std::string src = argv[i + 1], dst = argv[i + 2], sport = argv[i + 3], dport = argv[i + 4];
            i += 4;
            if (!ParseIPText(src, srcAddr))
                return Usage("not an IPv4 address: '" + src + "'");
            if (!ParseIPText(dst, dstAddr))
                return Usage("not an IPv4 address: '" + dst + "'");
            if (!ParsePort(sport, srcPort))
                return Usage("not a port: '" + sport + "'");
            if (!ParsePort(dport, dstPort))
                return Usage("not a port: '" + dport + "'");
            match = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option '" + arg + "'");
        } else if (fileName.empty()) {
            fileName = arg;
        } else {
            return Usage("more than one file given");
        }
    }
    if (fileName.empty())
        return Usage("no ranges file given");
    // A missing file reads as empty in the tray; here it is more likely a
    // typing mistake.
    struct stat st {};
    if (stat(fileName.c_str(), &st) != 0)
        return Usage("cannot read '" + fileName + "'");
    TIniSnapshot file;
    try {
        file = ReadRangesFile(fileName);
    } catch (const Exception& e) {
        std::cerr << Program << ": " << e.Message() << "\n";
        return 2;
    }
    if (localIP)
        LocalIP = *localIP;

    std::vector<std::unique_ptr<TAllowRange>> rules;
    int loaded = 0;
    try {
        loaded = LoadRangesFile(file, [&](int number, const TRangeTexts& texts, std::unique_ptr<TAllowRange> rule) {
            if (!match) {
                std::cout << "Range " << number << ": " << Shown(rule->DisplayName) << "\n"
                          << "  Source IPs:   " << Shown(rule->SourceIPs) << "\n"
                          << "  Dest IPs:     " << Shown(rule->DestIPs) << "\n"
                          << "  Source Ports: " << Shown(rule->SourcePorts) << "\n"
                          << "  Dest Ports:   " << Shown(rule->DestPorts) << "\n";
            }
            TWarnings warnings{0, number, texts.DisplayName};
            CheckAddressList("Source IPs", texts.SourceIPs, warnings);
            CheckAddressList("Dest IPs", texts.DestIPs, warnings);
            CheckPortList("Source Ports", texts.SourcePorts, warnings);
            CheckPortList("Dest Ports", texts.DestPorts, warnings);
            rules.push_back(std::move(rule));
        }, TrayRanges);
    } catch (const std::exception& e) {
        // Start stops here too: the ranges before this one stay loaded, but
        // monitoring does not start, so no packet would be counted.
        const int number = int(rules.size()) + 1;
        TRangeTexts texts;
        ReadRangeTexts(file, number, texts);
        std::cout << std::flush;
        std::cerr << Program << ": Range " << number << " \"" << Shown(texts.DisplayName) << "\": " << Shown(e.what())
                  << "\n";
        return 1;
    }

    if (loaded == 0)
        std::cerr << Program << ": no ranges: \"Range 1\" has no \"Display Name\"\n";
    TRangeTexts next;
    if (loaded == TrayRanges && ReadRangeTexts(file, TrayRanges + 1, next))
        std::cerr << Program << ": warning: more than " << TrayRanges << " ranges: the tray counts ranges 1 to "
                  << TrayRanges << " and ignores the rest\n";

    if (match) {
        std::string list;
        for (size_t n = 0; n < rules.size(); ++n) {
            if (!rules[n]->Matches(srcAddr, dstAddr, srcPort, dstPort))
                continue;
            if (!list.empty())
                list += ',';
            list += std::to_string(n + 1);
        }
        if (!list.empty())
            std::cout << list << "\n";
    }
    return 0;
}
