#pragma once
// The picture of who talks to whom: a terminating node per host address seen
// in recorded traffic, and a link route per unordered pair of hosts that counts
// packets and bytes per port pair over a window of five history periods.
// Single-threaded: every call comes from the main thread.

#include "platform/SysUtils.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TLinkRoute;

class TNetworkNode : public TObject {
public:
    TNetworkNode();
    ~TNetworkNode() override;

    TNetworkNode(const TNetworkNode&) = delete;
    TNetworkNode& operator=(const TNetworkNode&) = delete;

    const std::string& CustomName() const { return customName_; }
    void SetCustomName(const std::string& value) { customName_ = value; }

    bool NonTerminating() const { return nonTerminating_; }

    int32_t Stamp() const { return stamp_; }
    void SetStamp(int32_t value) { stamp_ = value; }

    // The routes this node takes part in; the node does not own them.
    std::vector<TLinkRoute*>& LinkRoutes() { return linkRoutes_; }
    const std::vector<TLinkRoute*>& LinkRoutes() const { return linkRoutes_; }

protected:
    void SetNonTerminating(bool value) { nonTerminating_ = value; }

private:
    std::string customName_;
    bool nonTerminating_ = true;
    int32_t stamp_ = 0;
    std::vector<TLinkRoute*> linkRoutes_;
};

class TTerminatingNode : public TNetworkNode {
public:
    TTerminatingNode(const std::string& ipAddress, const std::string& uncName,
                     const std::string& macAddress, const std::string& customName);

    bool Changed() const { return changed_; }
    void SetChanged(bool value) { changed_ = value; }

    const std::string& UNCName() const { return uncName_; }
    void SetUNCName(const std::string& value) { uncName_ = value; }

    // Fixed at construction: the node's identity and its Nodes.ini section.
    const std::string& IPAddress() const { return ipAddress_; }

    const std::string& MacAddress() const { return macAddress_; }
    void SetMacAddress(const std::string& value) { macAddress_ = value; }

    const std::string& IPName() const { return ipName_; }
    void SetIPName(const std::string& value) { ipName_ = value; }

private:
    bool changed_ = false;
    std::string uncName_;
    std::string ipAddress_;
    std::string macAddress_;
    std::string ipName_;
};

// Amounts of one port pair. The amounts are 64-bit: a busy host pair moves
// more than 2 GiB in a five-period window on a fast link.
class TTrafficItem : public TObject {
public:
    TTrafficItem(int32_t sourcePort, int32_t destPort, int64_t packetAmount, int64_t dataAmount)
        : SourcePort(sourcePort), DestPort(destPort), PacketAmount(packetAmount), DataAmount(dataAmount)
    {
    }

    int32_t SourcePort;  // -1 in a summary item
    int32_t DestPort;    // -1 in a summary item
    int64_t PacketAmount;
    int64_t DataAmount;  // sum of the packets' IPv4 total lengths
};

// Items per (source port, destination port) pair, in the order the pairs first
// appeared, with their sums in Summary. Most lists hold a few pairs, which a
// linear search finds fastest and without any index; past IndexThreshold pairs
// an open-addressing index beside Items keeps a look-up constant-time however
// many pairs a route has seen.
class TTrafficPortList : public TObject {
public:
    TTrafficPortList();
    ~TTrafficPortList() override;

    TTrafficPortList(const TTrafficPortList&) = delete;
    TTrafficPortList& operator=(const TTrafficPortList&) = delete;

    const TTrafficItem& Summary() const { return summary_; }

    int Count() const { return int(items_.size()); }
    // The item at index (0 <= index < Count()). The reference is valid until
    // the next Add of a new pair or the next Clear.
    const TTrafficItem& Item(int index) const { return items_.at(size_t(index)); }
    const std::vector<TTrafficItem>& Items() const { return items_; }

    // Index of the item with both ports equal, or -1.
    int IndexOf(int32_t sourcePort, int32_t destPort) const;

    // Adds the amounts to the pair's item, appending it when new, and to Summary.
    void Add(int32_t sourcePort, int32_t destPort, int64_t packetAmount, int64_t dataAmount);

    // Back to the state after construction.
    void Clear();

private:
    friend class TLinkRoute;  // ageing subtracts a closed period from the total

    static constexpr size_t IndexThreshold = 8;

    static size_t Hash(int32_t sourcePort, int32_t destPort)
    {
        const uint64_t key = (uint64_t(uint32_t(sourcePort)) << 32) | uint32_t(destPort);
        return size_t((key * 0x9E3779B97F4A7C15ull) >> 32);
    }
    // Slot of the pair's entry in index_, or of the empty slot where it belongs.
    size_t Probe(int32_t sourcePort, int32_t destPort) const;
    // Rebuilds index_ with room for at least twice Count() entries.
    void Reindex();

    TTrafficItem summary_{-1, -1, 0, 0};
    std::vector<TTrafficItem> items_;
    // Positions in items_ plus one (0: empty slot); a power of two in size,
    // at most half full. Empty while the list holds few pairs.
    std::vector<uint32_t> index_;
};

class TLinkRoute : public TObject {
public:
    static constexpr int SlotCount = 5;

    TLinkRoute(TTerminatingNode* sourceNode, TTerminatingNode* destNode);
    ~TLinkRoute() override;

    TLinkRoute(const TLinkRoute&) = delete;
    TLinkRoute& operator=(const TLinkRoute&) = delete;

    bool Changed() const { return changed_; }
    void SetChanged(bool value) { changed_ = value; }

    TTerminatingNode* DestNode() const { return destNode_; }
    void SetDestNode(TTerminatingNode* node) { destNode_ = node; }
    TTerminatingNode* SourceNode() const { return sourceNode_; }
    void SetSourceNode(TTerminatingNode* node) { sourceNode_ = node; }

    // Slot 0 is the oldest period, slot SlotCount-1 the current one. A slot
    // reference is valid until the next Age.
    const TTrafficPortList& Slot(int index) const;
    const TTrafficPortList& Total() const { return total_; }

    // Counts one update into the current period and the window's total.
    void AddTraffic(int32_t sourcePort, int32_t destPort, int64_t packetAmount, int64_t dataAmount);

    // Closes the current period: the oldest slot leaves the total and an
    // empty one becomes the newest.
    void Age();

    int64_t TotalPacketAmount() const { return total_.Summary().PacketAmount; }
    int64_t TotalDataAmount() const { return total_.Summary().DataAmount; }

private:
    TTrafficPortList& SlotAt(int index) const;

    bool changed_ = false;
    TTerminatingNode* destNode_;
    TTerminatingNode* sourceNode_;
    // A ring: oldest_ is the position of slot 0. Ageing empties the oldest
    // list and makes it the newest, so a period's close allocates nothing.
    mutable std::array<TTrafficPortList, SlotCount> slots_;
    int oldest_ = 0;
    TTrafficPortList total_;
};
