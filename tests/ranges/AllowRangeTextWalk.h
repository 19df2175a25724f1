#pragma once
// The reference reading of an allow range: walk its stored texts item by
// item, the way the rules are defined. TAllowRange::Matches answers from a
// parsed form; the differential test and the fuzz target hold it against
// this walk.

#include "ranges/AllowRange.h"
#include "ranges/IPRanges.h"

#include "platform/SysUtils.h"

#include <string>

namespace textwalk {

// Cuts off the next item: the text before the first comma, or all of it.
inline std::string NextItem(std::string& rest)
{
    const size_t comma = rest.find(',');
    std::string item = rest.substr(0, comma);
    rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
    return item;
}

inline bool WalkPorts(std::string rest, int port)
{
    while (!rest.empty()) {
        const std::string item = NextItem(rest);
        if (UpperCase(item).find("*ANY*") != std::string::npos)
            return true;
        const size_t dash = item.find('-');
        if (dash != std::string::npos) {
            if (StrToInt(Trim(item.substr(0, dash))) <= port && StrToInt(Trim(item.substr(dash + 1))) >= port)
                return true;
        } else if (StrToInt(Trim(item)) == port) {
            return true;
        }
    }
    return false;
}

inline bool WalkAddresses(std::string rest, const std::string& address)
{
    while (!rest.empty()) {
        const std::string item = NextItem(rest);
        if (UpperCase(item).find("*ANY*") != std::string::npos)
            return true;
        const size_t dash = item.find('-');
        if (dash != std::string::npos) {
            if (IPInRange(address, Trim(item.substr(0, dash)), Trim(item.substr(dash + 1))))
                return true;
        } else if (PadIPAddress(address) == Trim(item)) {
            return true;
        }
    }
    return false;
}

inline bool WalkMatches(const TAllowRange& rule, const std::string& src, const std::string& dst, int sport,
                        int dport)
{
    return WalkPorts(rule.SourcePorts, sport) && WalkPorts(rule.DestPorts, dport) &&
           WalkAddresses(rule.SourceIPs, src) && WalkAddresses(rule.DestIPs, dst);
}

} // namespace textwalk
