#include "topography/NetworkTopographyClasses.h"

#include <stdexcept>

TNetworkNode::TNetworkNode() = default;

TNetworkNode::~TNetworkNode() = default;

TTerminatingNode::TTerminatingNode(const std::string& ipAddress, const std::string& uncName,
                                   const std::string& macAddress, const std::string& customName)
    : uncName_(uncName), ipAddress_(ipAddress), macAddress_(macAddress)
{
    SetCustomName(customName);
    SetNonTerminating(false);
}

TTrafficPortList::TTrafficPortList() = default;

TTrafficPortList::~TTrafficPortList() = default;

size_t TTrafficPortList::Probe(int32_t sourcePort, int32_t destPort) const
{
    const size_t mask = index_.size() - 1;
    for (size_t slot = Hash(sourcePort, destPort) & mask;; slot = (slot + 1) & mask) {
        const uint32_t entry = index_[slot];
        if (entry == 0)
            return slot;
        const TTrafficItem& item = items_[entry - 1];
        if (item.SourcePort == sourcePort && item.DestPort == destPort)
            return slot;
    }
}

void TTrafficPortList::Reindex()
{
    size_t size = 16;
    while (size < items_.size() * 4)
        size *= 2;
    index_.assign(size, 0);
    for (size_t i = 0; i < items_.size(); ++i)
        index_[Probe(items_[i].SourcePort, items_[i].DestPort)] = uint32_t(i + 1);
}

int TTrafficPortList::IndexOf(int32_t sourcePort, int32_t destPort) const
{
    if (index_.empty()) {
        for (size_t i = 0; i < items_.size(); ++i)
            if (items_[i].SourcePort == sourcePort && items_[i].DestPort == destPort)
                return int(i);
        return -1;
    }
    const uint32_t entry = index_[Probe(sourcePort, destPort)];
    return entry == 0 ? -1 : int(entry - 1);
}

void TTrafficPortList::Add(int32_t sourcePort, int32_t destPort, int64_t packetAmount,
                           int64_t dataAmount)
{
    const int i = IndexOf(sourcePort, destPort);
    if (i >= 0) {
        TTrafficItem& item = items_[size_t(i)];
        item.PacketAmount += packetAmount;
        item.DataAmount += dataAmount;
    } else {
        items_.emplace_back(sourcePort, destPort, packetAmount, dataAmount);
        if (!index_.empty() && items_.size() * 2 <= index_.size())
            index_[Probe(sourcePort, destPort)] = uint32_t(items_.size());
        else if (items_.size() > IndexThreshold)
            Reindex();
    }
    summary_.PacketAmount += packetAmount;
    summary_.DataAmount += dataAmount;
}

void TTrafficPortList::Clear()
{
    // The storage stays for the next period of the same route.
    items_.clear();
    index_.clear();
    summary_.PacketAmount = 0;
    summary_.DataAmount = 0;
}

TLinkRoute::TLinkRoute(TTerminatingNode* sourceNode, TTerminatingNode* destNode)
    : destNode_(destNode), sourceNode_(sourceNode)
{
}

TLinkRoute::~TLinkRoute() = default;

TTrafficPortList& TLinkRoute::SlotAt(int index) const
{
    if (index < 0 || index >= SlotCount)
        throw std::out_of_range("TLinkRoute slot index " + std::to_string(index));
    return slots_[size_t((oldest_ + index) % SlotCount)];
}

const TTrafficPortList& TLinkRoute::Slot(int index) const { return SlotAt(index); }

void TLinkRoute::AddTraffic(int32_t sourcePort, int32_t destPort, int64_t packetAmount,
                            int64_t dataAmount)
{
    SlotAt(SlotCount - 1).Add(sourcePort, destPort, packetAmount, dataAmount);
    total_.Add(sourcePort, destPort, packetAmount, dataAmount);
    changed_ = true;
}

void TLinkRoute::Age()
{
    TTrafficPortList& oldest = SlotAt(0);
    if (oldest.Summary().PacketAmount > 0) {
        changed_ = true;
        for (const TTrafficItem& item : oldest.Items()) {
            const int i = total_.IndexOf(item.SourcePort, item.DestPort);
            if (i < 0)
                continue;
            TTrafficItem& sum = total_.items_[size_t(i)];
            sum.PacketAmount -= item.PacketAmount;
            sum.DataAmount -= item.DataAmount;
        }
        total_.summary_.PacketAmount -= oldest.Summary().PacketAmount;
        total_.summary_.DataAmount -= oldest.Summary().DataAmount;
    }
    // The emptied oldest list becomes the newest period.
    oldest.Clear();
    oldest_ = (oldest_ + 1) % SlotCount;
}
