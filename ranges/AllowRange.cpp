#include "ranges/AllowRange.h"

#include "app/LocalMachineInfo.h"
#include "ranges/AddressKeys.h"
#include "ranges/IPRanges.h"

#include <string_view>

namespace {

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

// Keyword is upper case; the text is compared with its ASCII letters raised.
bool ContainsKeyword(std::string_view text, std::string_view keyword)
{
    if (keyword.size() > text.size())
        return false;
    for (size_t start = 0; start + keyword.size() <= text.size(); ++start) {
        size_t i = 0;
        while (i < keyword.size() && AsciiUpper(text[start + i]) == keyword[i])
            ++i;
        if (i == keyword.size())
            return true;
    }
    return false;
}

std::string_view TrimView(std::string_view text)
{
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32)
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32)
        text.remove_suffix(1);
    return text;
}

std::string Join(const std::vector<std::string>& items)
{
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i)
            out += ',';
        out += items[i];
    }
    return out;
}

std::string RangeText(const std::string& lower, const std::string& upper) { return lower + "-" + upper; }

std::string NormaliseAddressList(const std::string& text)
{
    std::vector<std::string> items;
    bool any = false;
    ForEachListItem(text, [&](std::string_view itemView) {
        // Keywords first, so that their stars never count as wildcards.
        if (ContainsKeyword(itemView, "*ANY*")) {
            any = true;
            return false;
        }
        const std::string item(itemView);
        std::string lower, upper;
        if (ContainsKeyword(item, "*MYIP*")) {
            items.push_back(PadIPAddress(LocalIP));
        } else if (ContainsKeyword(item, "*NOTMYIP*")) {
            BelowIPRange(LocalIP, lower, upper);
            items.push_back(RangeText(lower, upper));
            AboveIPRange(LocalIP, lower, upper);
            items.push_back(RangeText(lower, upper));
        } else if (ContainsKeyword(item, "*MYLAN*")) {
            LANRange(LocalIP, lower, upper);
            items.push_back(RangeText(lower, upper));
        } else if (ContainsKeyword(item, "*NOTMYLAN*")) {
            BelowLANRange(LocalIP, lower, upper);
            items.push_back(RangeText(lower, upper));
            AboveLANRange(LocalIP, lower, upper);
            items.push_back(RangeText(lower, upper));
        } else if (item.find('*') != std::string::npos) {
            LANRange(item, lower, upper);
            items.push_back(RangeText(lower, upper));
        } else if (const size_t dash = item.find('-'); dash != std::string::npos) {
            // Bounds are kept in the order written: a reversed range matches nothing.
            lower = PadIPAddress(item.substr(0, dash));
            upper = PadIPAddress(item.substr(dash + 1));
            items.push_back(lower == upper ? lower : RangeText(lower, upper));
        } else {
            items.push_back(PadIPAddress(item));
        }
        return true;
    });
    return any ? std::string("*ANY*") : Join(items);
}

std::string NormalisePortList(const std::string& text)
{
    std::vector<std::string> items;
    bool any = false;
    ForEachListItem(text, [&](std::string_view item) {
        if (ContainsKeyword(item, "*ANY*")) {
            any = true;
            return false;
        }
        if (const size_t dash = item.find('-'); dash != std::string_view::npos) {
            // The texts are kept as written (0080 stays 0080): matching
            // converts them again.
            const std::string lower(TrimView(item.substr(0, dash)));
            const std::string upper(TrimView(item.substr(dash + 1)));
            StrToInt(lower);
            StrToInt(upper);
            items.push_back(lower == upper ? lower : RangeText(lower, upper));
        } else {
            items.push_back(std::to_string(StrToInt(item)));
        }
        return true;
    });
    return any ? std::string("*ANY*") : Join(items);
}

// The packet's address in padded form, without building the text: its four
// parts and how many zeros each gets in front.
class TPaddedAddress {
public:
    explicit TPaddedAddress(std::string_view text)
    {
        for (int k = 0; k < 3; ++k) {
            const size_t dot = text.find('.');
            if (dot == std::string_view::npos)
                continue;
            FPart[k] = text.substr(0, dot);
            text.remove_prefix(dot + 1);
        }
        FPart[3] = text;
        FKey = 0;
        for (const std::string_view part : FPart) {
            if (part.size() > 3) {
                FKey = AddressKeys::NoKey;
                return;
            }
            int value = 0;
            for (const char c : part) {
                if (c < '0' || c > '9') {
                    FKey = AddressKeys::NoKey;
                    return;
                }
                value = value * 10 + (c - '0');
            }
            FKey = FKey * 1000 + value;
        }
    }

    // The key of the padded text when it is "ddd.ddd.ddd.ddd", else NoKey.
    std::int64_t Key() const { return FKey; }

    // Ordinal comparison of the padded text with Other: <0, 0 or >0.
    int Compare(std::string_view other) const
    {
        size_t pos = 0;
        int result = 0;
        auto step = [&](char c) {
            if (pos == other.size()) {
                result = 1;
                return false;
            }
            const unsigned char a = static_cast<unsigned char>(c);
            const unsigned char b = static_cast<unsigned char>(other[pos++]);
            if (a != b) {
                result = a < b ? -1 : 1;
                return false;
            }
            return true;
        };
        for (int k = 0; k < 4; ++k) {
            for (size_t z = FPart[k].size(); z < 3; ++z)
                if (!step('0'))
                    return result;
            for (const char c : FPart[k])
                if (!step(c))
                    return result;
            if (k < 3 && !step('.'))
                return result;
        }
        return pos == other.size() ? 0 : -1;
    }

private:
    std::string_view FPart[4];
    std::int64_t FKey;
};

} // namespace

TAllowRange::TAllowRange(const std::string& ADisplayName, const std::string& ASourceIPs, const std::string& ADestIPs,
                         const std::string& ASourcePorts, const std::string& ADestPorts)
    : DisplayName(ADisplayName),
      SourceIPs(NormaliseAddressList(ASourceIPs)),
      DestIPs(NormaliseAddressList(ADestIPs)),
      SourcePorts(NormalisePortList(ASourcePorts)),
      DestPorts(NormalisePortList(ADestPorts)),
      FSourceList(ParseAddressList(SourceIPs)),
      FDestList(ParseAddressList(DestIPs)),
      FSourcePortList(ParsePortList(SourcePorts)),
      FDestPortList(ParsePortList(DestPorts))
{
}

// The parsed form reads the stored text exactly as a walk at matching time
// would: cut at commas, "*ANY*" anywhere in an item fits all, a dash makes
// a range of the trimmed texts around the first dash, anything else is
// compared trimmed.
TAllowRange::TAddressList TAllowRange::ParseAddressList(const std::string& Stored)
{
    TAddressList list;
    ForEachListItem(Stored, [&](std::string_view text) {
        TAddressItem item;
        if (ContainsKeyword(text, "*ANY*")) {
            item.Any = true;
            list.Any = true;
        } else if (const size_t dash = text.find('-'); dash != std::string_view::npos) {
            item.IsRange = true;
            item.Lower = TrimView(text.substr(0, dash));
            item.Upper = TrimView(text.substr(dash + 1));
            item.First = AddressKeys::FirstKeyNotBelow(item.Lower);
            item.Last = AddressKeys::LastKeyNotAbove(item.Upper);
        } else {
            item.Lower = TrimView(text);
            const std::int64_t key = AddressKeys::FromPaddedText(item.Lower);
            if (key != AddressKeys::NoKey)
                item.First = item.Last = key;
        }
        list.Items.push_back(std::move(item));
        return true;
    });
    return list;
}

TAllowRange::TPortList TAllowRange::ParsePortList(const std::string& Stored)
{
    TPortList list;
    ForEachListItem(Stored, [&](std::string_view text) {
        if (ContainsKeyword(text, "*ANY*")) {
            list.Any = true;
            return true;
        }
        // The constructor checked every text, so these conversions succeed;
        // an item that did not convert could fit no port.
        int lower = 0, upper = 0;
        if (const size_t dash = text.find('-'); dash != std::string_view::npos) {
            if (TryStrToInt(TrimView(text.substr(0, dash)), lower) && TryStrToInt(TrimView(text.substr(dash + 1)), upper))
                list.Items.push_back({lower, upper});
        } else if (TryStrToInt(TrimView(text), lower)) {
            list.Items.push_back({lower, lower});
        }
        return true;
    });
    return list;
}

bool TAllowRange::PortFits(const TPortList& List, int Port)
{
    if (List.Any)
        return true;
    for (const TPortItem& item : List.Items)
        if (item.Lower <= Port && Port <= item.Upper)
            return true;
    return false;
}

bool TAllowRange::AddressFits(const TAddressList& List, std::int64_t Key)
{
    if (List.Any)
        return true;
    for (const TAddressItem& item : List.Items)
        if (item.First <= Key && Key <= item.Last)
            return true;
    return false;
}

bool TAllowRange::AddressFits(const TAddressList& List, const std::string& Address)
{
    if (List.Any)
        return true;
    const TPaddedAddress padded(Address);
    // Padded texts of four three-digit parts compare like their keys; any
    // other text is compared as text.
    if (padded.Key() != AddressKeys::NoKey)
        return AddressFits(List, padded.Key());
    for (const TAddressItem& item : List.Items) {
        if (item.IsRange) {
            if (padded.Compare(item.Lower) >= 0 && padded.Compare(item.Upper) <= 0)
                return true;
        } else if (padded.Compare(item.Lower) == 0) {
            return true;
        }
    }
    return false;
}

bool TAllowRange::Matches(const std::string& SourceIP, const std::string& DestIP, int SourcePort, int DestPort) const
{
    return PortFits(FSourcePortList, SourcePort) && PortFits(FDestPortList, DestPort) &&
           AddressFits(FSourceList, SourceIP) && AddressFits(FDestList, DestIP);
}

bool TAllowRange::Matches(std::uint32_t SourceAddr, std::uint32_t DestAddr, int SourcePort, int DestPort) const
{
    return PortFits(FSourcePortList, SourcePort) && PortFits(FDestPortList, DestPort) &&
           AddressFits(FSourceList, AddressKeys::FromAddress(SourceAddr)) &&
           AddressFits(FDestList, AddressKeys::FromAddress(DestAddr));
}
