#pragma once
// One numbered rule of the ranges file: a display name and four lists saying
// which source addresses, destination addresses, source ports and
// destination ports a packet must have to be counted under the rule.
//
// The lists are normalised once, at construction, into canonical texts that
// stay observable (addresses padded, keywords expanded from LocalIP, port
// texts checked). Matches answers from a form parsed once from those texts;
// its answer is that of walking the texts item by item, for every input.

#include "platform/SysUtils.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class TAllowRange : public TObject {
public:
    // The last four are the ranges-file values as written (a missing key is
    // the empty text). Raises EConvertError for a port item that is not an
    // integer text, or for "*NOTMYIP*"/"*NOTMYLAN*" when LocalIP is not a
    // usable address; then no rule exists.
    TAllowRange(const std::string& ADisplayName, const std::string& ASourceIPs, const std::string& ADestIPs,
                const std::string& ASourcePorts, const std::string& ADestPorts);

    const std::string DisplayName;
    const std::string SourceIPs;
    const std::string DestIPs;
    const std::string SourcePorts;
    const std::string DestPorts;

    // Addresses as dotted text (any text is accepted; packets give them
    // unpadded, as IPToStr writes them).
    bool Matches(const std::string& SourceIP, const std::string& DestIP, int SourcePort, int DestPort) const;
    // Host-order addresses; the same answer as the text form gives for their
    // dotted-decimal text. Allocates nothing.
    bool Matches(std::uint32_t SourceAddr, std::uint32_t DestAddr, int SourcePort, int DestPort) const;

    // How many rules this process has made so far (copies included). A rule
    // never changes, so a list of rules stays the same list while its
    // addresses and this count stay the same.
    static std::uint64_t Generation() { return FMade.load(std::memory_order_relaxed); }

private:
    friend class TAllowRangeTable;

    inline static std::atomic<std::uint64_t> FMade{0};
    struct TBirth {
        TBirth() { FMade.fetch_add(1, std::memory_order_relaxed); }
        TBirth(const TBirth&) : TBirth() {}
        TBirth& operator=(const TBirth&) { return *this; }
    };
    TBirth FBirth;

    struct TAddressItem {
        bool Any = false;
        bool IsRange = false;
        // Trimmed bound texts; a single address keeps its text in Lower.
        std::string Lower;
        std::string Upper;
        // The keys of the "ddd.ddd.ddd.ddd" texts that fit the item (see
        // AddressKeys.h); empty when First > Last.
        std::int64_t First = 0;
        std::int64_t Last = -1;
    };
    struct TAddressList {
        bool Any = false;
        std::vector<TAddressItem> Items;
    };
    struct TPortItem {
        int Lower;
        int Upper;
    };
    struct TPortList {
        bool Any = false;
        std::vector<TPortItem> Items;
    };

    static TAddressList ParseAddressList(const std::string& Stored);
    static TPortList ParsePortList(const std::string& Stored);
    static bool PortFits(const TPortList& List, int Port);
    static bool AddressFits(const TAddressList& List, std::int64_t Key);
    static bool AddressFits(const TAddressList& List, const std::string& Address);

    TAddressList FSourceList;
    TAddressList FDestList;
    TPortList FSourcePortList;
    TPortList FDestPortList;
};
