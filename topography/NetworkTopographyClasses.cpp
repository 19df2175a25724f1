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

int TTrafficPortList::IndexOf(int32_t sourcePort, int32_t destPort) const
{
    const auto it = index_.find(Key(sourcePort, destPort));
    return it == index_.end() ? -1 : it->second;
}

void TTrafficPortList::Add(int32_t sourcePort, int32_t destPort, int64_t packetAmount,
                           int64_t dataAmount)
{
    const auto [it, inserted] = index_.try_emplace(Key(sourcePort, destPort), int(items_.size()));
    if (inserted) {
        items_.emplace_back(sourcePort, destPort, packetAmount, dataAmount);
    } else {
        TTrafficItem& item = items_[size_t(it->second)];
        item.PacketAmount += packetAmount;
        item.DataAmount += dataAmount;
    }
    summary_.PacketAmount += packetAmount;
    summary_.DataAmount += dataAmount;
}

void TTrafficPortList::Clear()
{
    items_.clear();
    index_.clear();
    summary_.PacketAmount = 0;
    summary_.DataAmount = 0;
}

TLinkRoute::TLinkRoute(TTerminatingNode* sourceNode, TTerminatingNode* destNode)
    : destNode_(destNode), sourceNode_(sourceNode)
{
    for (auto& slot : slots_)
        slot = std::make_unique<TTrafficPortList>();
}

TLinkRoute::~TLinkRoute() = default;

TTrafficPortList& TLinkRoute::SlotAt(int index) const
{
    if (index < 0 || index >= SlotCount)
        throw std::out_of_range("TLinkRoute slot index " + std::to_string(index));
    return *slots_[size_t((oldest_ + index) % SlotCount)];
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
