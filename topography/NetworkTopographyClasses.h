#pragma once
// The picture of who talks to whom: a terminating node per host address seen
// in recorded traffic, and a link route per unordered pair of hosts that counts
// packets and bytes per port pair over a window of five history periods.
// Single-threaded: every call comes from the main thread.

#include "platform/SysUtils.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

class TLinkRoute;

class TNetworkNode : public TObject {
public:
    TNetworkNode();
    ~TNetworkNode() override;

    TNetworkNode(const TNetworkNode&) = delete;
    TNetworkNode& operator=(const TNetworkNode&) = delete;

    const std::string& CustomName() const { return customName_ ? *customName_ : NoText; }
    void SetCustomName(const std::string& value) { SetText(customName_, value); }

    bool NonTerminating() const { return nonTerminating_; }

    int32_t Stamp() const { return stamp_; }
    void SetStamp(int32_t value) { stamp_ = value; }

    // The routes this node takes part in; the node does not own them.
    std::vector<TLinkRoute*>& LinkRoutes() { return linkRoutes_; }
    const std::vector<TLinkRoute*>& LinkRoutes() const { return linkRoutes_; }

protected:
    void SetNonTerminating(bool value) { nonTerminating_ = value; }

    // Most hosts never get a name: a name takes room only once it is set.
    static inline const std::string NoText;
    static void SetText(std::unique_ptr<std::string>& place, const std::string& value)
    {
        if (place)
            *place = value;
        else if (!value.empty())
            place = std::make_unique<std::string>(value);
    }

private:
    std::unique_ptr<std::string> customName_;
    bool nonTerminating_ = true;
    int32_t stamp_ = 0;
    std::vector<TLinkRoute*> linkRoutes_;
};

class TTerminatingNode : public TNetworkNode {
public:
    TTerminatingNode(const std::string& ipAddress, const std::string& uncName,
                     const std::string& macAddress, const std::string& customName);

    // From a pool of their own: see ObjectPool.h. Objects of derived classes
    // of another size come from the ordinary heap.
    static void* operator new(std::size_t size);
    static void operator delete(void* object, std::size_t size) noexcept;

    bool Changed() const { return changed_; }
    void SetChanged(bool value) { changed_ = value; }

    const std::string& UNCName() const { return uncName_ ? *uncName_ : NoText; }
    void SetUNCName(const std::string& value) { SetText(uncName_, value); }

    // Fixed at construction: the node's identity and its Nodes.ini section.
    const std::string& IPAddress() const { return ipAddress_; }

    const std::string& MacAddress() const { return macAddress_ ? *macAddress_ : NoText; }
    void SetMacAddress(const std::string& value) { SetText(macAddress_, value); }

    const std::string& IPName() const { return ipName_ ? *ipName_ : NoText; }
    void SetIPName(const std::string& value) { SetText(ipName_, value); }

private:
    bool changed_ = false;
    std::string ipAddress_;
    std::unique_ptr<std::string> uncName_;
    std::unique_ptr<std::string> macAddress_;
    std::unique_ptr<std::string> ipName_;
};

// Amounts of one port pair. The amounts are 64-bit: a busy host pair moves
// more than 2 GiB in a five-period window on a fast link.
struct TTrafficItem {
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
// appeared, with their sums in Summary. Most lists hold one pair, which lives
// inside the list itself; more pairs move to an array of their own. A linear
// search finds few pairs fastest; past IndexThreshold pairs an open-addressing
// index keeps a look-up constant-time however many pairs a route has seen.
class TTrafficPortList {
public:
    TTrafficPortList() = default;
    ~TTrafficPortList();

    TTrafficPortList(const TTrafficPortList&) = delete;
    TTrafficPortList& operator=(const TTrafficPortList&) = delete;

    const TTrafficItem& Summary() const { return summary_; }

    int Count() const { return int(count_); }
    // The item at index (0 <= index < Count(), else std::out_of_range). The
    // reference is valid until the next Add of a new pair or the next Clear.
    const TTrafficItem& Item(int index) const
    {
        if (index < 0 || uint32_t(index) >= count_)
            throw std::out_of_range("TTrafficPortList item index " + std::to_string(index));
        return Data()[index];
    }
    std::span<const TTrafficItem> Items() const { return {Data(), count_}; }

    // Index of the item with both ports equal, or -1.
    int IndexOf(int32_t sourcePort, int32_t destPort) const
    {
        if (indexOn_)
            return IndexedFind(sourcePort, destPort);
        const TTrafficItem* items = Data();
        for (uint32_t i = 0; i < count_; ++i)
            if (items[i].SourcePort == sourcePort && items[i].DestPort == destPort)
                return int(i);
        return -1;
    }

    // Adds the amounts to the pair's item, appending it when new, and to Summary.
    void Add(int32_t sourcePort, int32_t destPort, int64_t packetAmount, int64_t dataAmount)
    {
        const int i = IndexOf(sourcePort, destPort);
        if (i >= 0) {
            TTrafficItem& item = Data()[i];
            item.PacketAmount += packetAmount;
            item.DataAmount += dataAmount;
        } else {
            Append(sourcePort, destPort, packetAmount, dataAmount);
        }
        summary_.PacketAmount += packetAmount;
        summary_.DataAmount += dataAmount;
    }

    // Add for a pair that stood at Hint before: when it still does, no search
    // is needed. Returns the pair's position, the hint for its next update.
    uint32_t AddAt(uint32_t hint, int32_t sourcePort, int32_t destPort, int64_t packetAmount, int64_t dataAmount)
    {
        const TTrafficItem* items = Data();
        uint32_t i = hint;
        if (!(hint < count_ && items[hint].SourcePort == sourcePort && items[hint].DestPort == destPort)) {
            const int found = IndexOf(sourcePort, destPort);
            if (found < 0) {
                Append(sourcePort, destPort, packetAmount, dataAmount);
                summary_.PacketAmount += packetAmount;
                summary_.DataAmount += dataAmount;
                return count_ - 1;
            }
            i = uint32_t(found);
        }
        TTrafficItem& item = Data()[i];
        item.PacketAmount += packetAmount;
        item.DataAmount += dataAmount;
        summary_.PacketAmount += packetAmount;
        summary_.DataAmount += dataAmount;
        return i;
    }

    // Back to the state after construction; the storage stays for the next
    // period of the same route.
    void Clear();

    // From a pool of their own: see ObjectPool.h.
    static void* operator new(std::size_t size);
    static void operator delete(void* object, std::size_t size) noexcept;

private:
    friend class TLinkRoute;  // ageing subtracts a closed period from the total

    static constexpr uint32_t IndexThreshold = 8;

    static size_t Hash(int32_t sourcePort, int32_t destPort)
    {
        const uint64_t key = (uint64_t(uint32_t(sourcePort)) << 32) | uint32_t(destPort);
        return size_t((key * 0x9E3779B97F4A7C15ull) >> 32);
    }
    const TTrafficItem* Data() const { return capacity_ == 1 ? &store_.One : store_.Many; }
    TTrafficItem* Data() { return capacity_ == 1 ? &store_.One : store_.Many; }
    void Append(int32_t sourcePort, int32_t destPort, int64_t packetAmount, int64_t dataAmount);
    int IndexedFind(int32_t sourcePort, int32_t destPort) const;
    // Slot of the pair's entry in index_, or of the empty slot where it belongs.
    size_t Probe(int32_t sourcePort, int32_t destPort) const;
    // Rebuilds index_ with room for at least four times Count() entries.
    void Reindex();

    TTrafficItem summary_{-1, -1, 0, 0};
    // capacity_ 1: the only item is One; else Many holds capacity_ items.
    union TStore {
        TStore() : Many(nullptr) {}
        TTrafficItem One;
        TTrafficItem* Many;
    } store_;
    uint32_t count_ = 0;
    uint32_t capacity_ = 1;
    // Positions in the items plus one (0: empty slot); indexSize_ entries, a
    // power of two, at most half full. Used while indexOn_.
    uint32_t indexSize_ = 0;
    bool indexOn_ = false;
    std::unique_ptr<uint32_t[]> index_;
};

class TLinkRoute : public TObject {
public:
    static constexpr int SlotCount = 5;

    TLinkRoute(TTerminatingNode* sourceNode, TTerminatingNode* destNode);
    ~TLinkRoute() override;

    // From a pool of their own: see ObjectPool.h. Objects of derived classes
    // of another size come from the ordinary heap.
    static void* operator new(std::size_t size);
    static void operator delete(void* object, std::size_t size) noexcept;

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
    void AddTraffic(int32_t sourcePort, int32_t destPort, int64_t packetAmount, int64_t dataAmount)
    {
        slots_[size_t(newest_)]->Add(sourcePort, destPort, packetAmount, dataAmount);
        total_.Add(sourcePort, destPort, packetAmount, dataAmount);
        changed_ = true;
    }

    // Where a port pair's items were last found, in the newest period and in
    // the total; a hint that no longer holds costs the usual search.
    struct TTrafficHint {
        uint32_t Newest = UINT32_MAX;
        uint32_t Total = UINT32_MAX;
    };
    // AddTraffic for a pair updated before, with its hint, which it renews.
    void AddTraffic(int32_t sourcePort, int32_t destPort, int64_t packetAmount, int64_t dataAmount,
                    TTrafficHint& hint)
    {
        hint.Newest = slots_[size_t(newest_)]->AddAt(hint.Newest, sourcePort, destPort, packetAmount, dataAmount);
        hint.Total = total_.AddAt(hint.Total, sourcePort, destPort, packetAmount, dataAmount);
        changed_ = true;
    }

    // Closes the current period: the oldest slot leaves the total and an
    // empty one becomes the newest.
    void Age();

    int64_t TotalPacketAmount() const { return total_.Summary().PacketAmount; }
    int64_t TotalDataAmount() const { return total_.Summary().DataAmount; }

private:
    bool changed_ = false;
    TTerminatingNode* destNode_;
    TTerminatingNode* sourceNode_;
    // A ring: oldest_ is the position of slot 0. The newest period always has
    // a list of its own; an older period without traffic may have none and
    // reads as an empty list, so that most routes, which live for a period
    // or two, hold two lists instead of six. Ageing empties the oldest list
    // and makes it the newest, or takes the closing period's list when that
    // stayed empty, so a period's close seldom allocates.
    std::array<std::unique_ptr<TTrafficPortList>, SlotCount> slots_;
    int oldest_ = 0;
    int newest_ = SlotCount - 1;  // the position of slot SlotCount-1
    TTrafficPortList total_;
};
