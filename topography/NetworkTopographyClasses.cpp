#include "topography/NetworkTopographyClasses.h"

#include "topography/ObjectPool.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

// Built on first use, and never destroyed: objects may outlive static
// destruction in a program that ends without taking its picture apart.
TObjectPool& NodePool()
{
    static TObjectPool* pool = new TObjectPool(sizeof(TTerminatingNode));
    return *pool;
}

TObjectPool& ListPool()
{
    static TObjectPool* pool = new TObjectPool(sizeof(TTrafficPortList));
    return *pool;
}

TObjectPool& RoutePool()
{
    static TObjectPool* pool = new TObjectPool(sizeof(TLinkRoute));
    return *pool;
}

void* PoolNew(TObjectPool& pool, std::size_t size, std::size_t own)
{
    return size == own ? pool.Allocate() : ::operator new(size);
}

void PoolDelete(TObjectPool& pool, void* object, std::size_t size, std::size_t own) noexcept
{
    if (size == own)
        pool.Free(object);
    else
        ::operator delete(object);
}

} // namespace

void* TTerminatingNode::operator new(std::size_t size) { return PoolNew(NodePool(), size, sizeof(TTerminatingNode)); }

void TTerminatingNode::operator delete(void* object, std::size_t size) noexcept
{
    PoolDelete(NodePool(), object, size, sizeof(TTerminatingNode));
}

void* TTrafficPortList::operator new(std::size_t size)
{
    return PoolNew(ListPool(), size, sizeof(TTrafficPortList));
}

void TTrafficPortList::operator delete(void* object, std::size_t size) noexcept
{
    PoolDelete(ListPool(), object, size, sizeof(TTrafficPortList));
}

void* TLinkRoute::operator new(std::size_t size) { return PoolNew(RoutePool(), size, sizeof(TLinkRoute)); }

void TLinkRoute::operator delete(void* object, std::size_t size) noexcept
{
    PoolDelete(RoutePool(), object, size, sizeof(TLinkRoute));
}

TNetworkNode::TNetworkNode() = default;

TNetworkNode::~TNetworkNode() = default;

TTerminatingNode::TTerminatingNode(const std::string& ipAddress, const std::string& uncName,
                                   const std::string& macAddress, const std::string& customName)
    : ipAddress_(ipAddress)
{
    SetUNCName(uncName);
    SetMacAddress(macAddress);
    SetCustomName(customName);
    SetNonTerminating(false);
}

TTrafficPortList::~TTrafficPortList()
{
    if (capacity_ != 1)
        ::operator delete(store_.Many);
}

size_t TTrafficPortList::Probe(int32_t sourcePort, int32_t destPort) const
{
    const TTrafficItem* items = Data();
    const size_t mask = indexSize_ - 1;
    for (size_t slot = Hash(sourcePort, destPort) & mask;; slot = (slot + 1) & mask) {
        const uint32_t entry = index_[slot];
        if (entry == 0)
            return slot;
        const TTrafficItem& item = items[entry - 1];
        if (item.SourcePort == sourcePort && item.DestPort == destPort)
            return slot;
    }
}

int TTrafficPortList::IndexedFind(int32_t sourcePort, int32_t destPort) const
{
    const uint32_t entry = index_[Probe(sourcePort, destPort)];
    return entry == 0 ? -1 : int(entry - 1);
}

void TTrafficPortList::Reindex()
{
    uint32_t size = 16;
    while (size < count_ * 4)
        size *= 2;
    if (size > indexSize_) {
        index_ = std::make_unique<uint32_t[]>(size);
        indexSize_ = size;
    }
    std::fill(index_.get(), index_.get() + indexSize_, 0u);
    indexOn_ = true;
    const TTrafficItem* items = Data();
    for (uint32_t i = 0; i < count_; ++i)
        index_[Probe(items[i].SourcePort, items[i].DestPort)] = i + 1;
}

void TTrafficPortList::Append(int32_t sourcePort, int32_t destPort, int64_t packetAmount, int64_t dataAmount)
{
    if (count_ == capacity_) {
        // The items are plain data: moved by copying their bytes.
        const uint32_t capacity = capacity_ == 1 ? 4 : capacity_ * 2;
        auto* grown = static_cast<TTrafficItem*>(::operator new(sizeof(TTrafficItem) * capacity));
        std::memcpy(static_cast<void*>(grown), Data(), sizeof(TTrafficItem) * count_);
        if (capacity_ != 1)
            ::operator delete(store_.Many);
        store_.Many = grown;
        capacity_ = capacity;
    }
    TTrafficItem* items = Data();
    new (&items[count_]) TTrafficItem(sourcePort, destPort, packetAmount, dataAmount);
    ++count_;
    if (indexOn_ && size_t(count_) * 2 <= indexSize_)
        index_[Probe(sourcePort, destPort)] = count_;
    else if (count_ > IndexThreshold)
        Reindex();
}

void TTrafficPortList::Clear()
{
    count_ = 0;
    indexOn_ = false;
    summary_.PacketAmount = 0;
    summary_.DataAmount = 0;
}

TLinkRoute::TLinkRoute(TTerminatingNode* sourceNode, TTerminatingNode* destNode)
    : destNode_(destNode), sourceNode_(sourceNode)
{
    slots_[size_t(newest_)] = std::make_unique<TTrafficPortList>();
}

TLinkRoute::~TLinkRoute() = default;

const TTrafficPortList& TLinkRoute::Slot(int index) const
{
    if (index < 0 || index >= SlotCount)
        throw std::out_of_range("TLinkRoute slot index " + std::to_string(index));
    static const TTrafficPortList noTraffic;
    const TTrafficPortList* list = slots_[size_t((oldest_ + index) % SlotCount)].get();
    return list ? *list : noTraffic;
}

void TLinkRoute::Age()
{
    const size_t leaving = size_t(oldest_);
    TTrafficPortList* oldest = slots_[leaving].get();
    TTrafficPortList& closing = *slots_[size_t(newest_)];
    // The one allocation comes first: should it fail, nothing has changed.
    std::unique_ptr<TTrafficPortList> fresh;
    if (!oldest && closing.Count() != 0)
        fresh = std::make_unique<TTrafficPortList>();

    if (oldest && oldest->Summary().PacketAmount > 0) {
        changed_ = true;
        for (const TTrafficItem& item : oldest->Items()) {
            const int i = total_.IndexOf(item.SourcePort, item.DestPort);
            if (i < 0)
                continue;
            TTrafficItem& sum = total_.Data()[i];
            sum.PacketAmount -= item.PacketAmount;
            sum.DataAmount -= item.DataAmount;
        }
        total_.summary_.PacketAmount -= oldest->Summary().PacketAmount;
        total_.summary_.DataAmount -= oldest->Summary().DataAmount;
    }
    // The emptied oldest list becomes the newest period; without one, the
    // closing period gives up its list if it stayed empty.
    if (oldest)
        oldest->Clear();
    else if (!fresh)
        slots_[leaving] = std::move(slots_[size_t(newest_)]);
    else
        slots_[leaving] = std::move(fresh);
    newest_ = oldest_;
    oldest_ = (oldest_ + 1) % SlotCount;
}
