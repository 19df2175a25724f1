#include "component/VarnoComponent.h"

#include "namequery/NameQueryThreadClass.h"
#include "platform/IniFiles.h"
#include "platform/Paths.h"
#include "ranges/IPRanges.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <bit>
#include <charconv>
#include <unordered_set>

namespace {

constexpr int kEthernetHeaderSize = 14;
constexpr int kIPHeaderSize = 20;
constexpr int kUDPHeaderSize = 8;
// Ethernet, IPv4 and the two port fields: the least a frame must hold to be
// classified at all.
constexpr std::uint32_t kPortsEnd = kEthernetHeaderSize + kIPHeaderSize + 4;
// The TCP data-offset byte is the 47th byte of the frame.
constexpr std::uint32_t kTCPDataOffsetEnd = kEthernetHeaderSize + kIPHeaderSize + 13;
// The UDP length field ends at the 42nd byte.
constexpr std::uint32_t kUDPLengthEnd = kEthernetHeaderSize + kIPHeaderSize + 6;

constexpr const char* kDumpFileName = "temp.$$$";

// Cuts a declared payload to the bytes present in the frame. Returns the
// payload pointer, moved to the end of the captured bytes when the declared
// start lies beyond them.
const std::uint8_t* ClipPayload(const std::uint8_t* Frame, std::uint32_t CapLen, const std::uint8_t* Data,
                                std::int32_t& DataLen)
{
    const std::uint8_t* end = Frame + CapLen;
    if (Data >= end) {
        DataLen = 0;
        return end;
    }
    const std::int64_t captured = end - Data;
    DataLen = std::int32_t(std::clamp<std::int64_t>(DataLen, 0, captured));
    return Data;
}

// The address in the dotted form packets are reported in (IPToStr), without
// going through printf: this runs for every matched packet.
std::string IPText(std::uint32_t Address)
{
    char text[16];
    char* out = text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned octet = (Address >> shift) & 0xFF;
        if (octet >= 100)
            *out++ = char('0' + octet / 100);
        if (octet >= 10)
            *out++ = char('0' + octet / 10 % 10);
        *out++ = char('0' + octet % 10);
        if (shift)
            *out++ = '.';
    }
    return std::string(text, std::size_t(out - text));
}

} // namespace

// ---------------------------------------------------------------------------
// Construction and destruction

TVarno::TVarno()
{
    NodeNamesFile = ExeDir() + "Nodes.ini";
    // Set aside here: packets never allocate for it.
    FFlows = std::make_unique<TFlow[]>(std::size_t(1) << FlowBits);

    FNameQueryToken = std::make_shared<TNameQueryToken>();
    tNameQueryTimer = std::make_unique<TTimer>();
    tNameQueryTimer->SetInterval(1000);
    tNameQueryTimer->OnTimer = [this](TObject* Sender) { tNameQueryTimer_Timer(Sender); };
    tNameQueryTimer->SetEnabled(false);

    CaptureComponent = std::make_unique<TSnoop>(this);
    CaptureComponent->SetAdapterIndex(-1);
    CaptureComponent->ThreadSafe = true;
    // Ethernet, IPv4 and TCP headers with 14 bytes of payload.
    CaptureComponent->SnapLen = 68;
    CaptureComponent->Flags = 1;
    CaptureComponent->ReadTimeOut = 100;
    CaptureComponent->OnCapture = [this](TObject* Sender, PPCAP_PKTHDR PacketHeader, PETHERNET_HDR EthernetHeader) {
        SnoopCapture(Sender, PacketHeader, EthernetHeader);
    };
}

TVarno::~TVarno()
{
    // Query threads may still be running: from now on their answers and
    // their end are no longer delivered here.
    FNameQueryToken->Cancel();
    FDestroying = true;
    if (CaptureComponent->Active())
        CaptureComponent->Close();
    CaptureMemory.reset();
    CaptureDump.reset();
    AllowRanges.clear();
    // No deletion events here: the owner is going away too.
    FRouteIndex.Clear();
    FRouteList.clear();
    FNodeIndex.clear();
    FNodeByAddress.Clear();
    FNodeList.clear();
    tNameQueryTimer->SetEnabled(false);
    tNameQueryTimer.reset();
    NameQueryQueue.clear();
    CaptureComponent.reset();
}

// ---------------------------------------------------------------------------
// Settings

const std::vector<std::string>& TVarno::AdapterDescriptions() const
{
    return CaptureComponent->AdapterDescriptions();
}

const std::vector<std::string>& TVarno::AdapterNames() const { return CaptureComponent->AdapterNames(); }

bool TVarno::NameResolution() const { return tNameQueryTimer->Enabled(); }

void TVarno::SetNameResolution(bool Value) { tNameQueryTimer->SetEnabled(Value); }

// ---------------------------------------------------------------------------
// Start and Stop

std::string TVarno::DumpFilePath() { return PrivateRuntimeDir() + "/" + kDumpFileName; }

bool TVarno::Capturing() const { return CaptureComponent->Active(); }

const std::string& TVarno::CaptureLastError() const { return CaptureComponent->LastError(); }

bool TVarno::CaptureStats(TSnoopStats& Result) const { return CaptureComponent->Stats(Result); }

void TVarno::Start()
{
    if (AdapterIndex == -1)
        throw Exception("You must choose an adapter index");

    CaptureComponent->SetAdapterIndex(AdapterIndex);
    if (!CaptureMemory)
        CaptureMemory = std::make_unique<TSnoopMemory>();
    CaptureMemory->Clear();

    CaptureComponent->Open();
    if (!CaptureComponent->Active())
        return;

    if (!CaptureDump)
        CaptureDump = std::make_unique<TSnoopDump>();
    CaptureDump->Close();

    try {
        FDumpFileName = DumpFilePath();
    } catch (const Exception& e) {
        throw Exception("Start error\r\n" + e.Message());
    }
    CaptureDump->Open(CaptureComponent->PcapHandle(), FDumpFileName);
    if (!CaptureDump->Active())
        throw Exception("Start error\r\n" + CaptureDump->LastError());
}

void TVarno::Stop()
{
    if (CaptureComponent->Active())
        CaptureComponent->Close();
    // Stop reports nothing: an unusable runtime directory holds no dump file.
    std::string path;
    try {
        path = DumpFilePath();
    } catch (const Exception&) {
        return;
    }
    if (FileExists(path))
        DeleteFile(path);
}

// ---------------------------------------------------------------------------
// Packet classification

void TVarno::SnoopCapture(TObject* /*Sender*/, PPCAP_PKTHDR PacketHeader, PETHERNET_HDR EthernetHeader)
{
    HandleFrame(PacketHeader, reinterpret_cast<const std::uint8_t*>(EthernetHeader));
}

bool TVarno::HandleFrame(const pcap_pkthdr* Header, const std::uint8_t* Frame)
{
    if (FDestroying)
        return false;
    // Nothing is read beyond the captured bytes: a frame too short for both
    // port fields is dropped like any frame that is not IPv4 TCP or UDP.
    const std::uint32_t capLen = Header->caplen;
    if (capLen < kPortsEnd)
        return false;

    const auto* ethernet = reinterpret_cast<PETHERNET_HDR>(Frame);
    PIP_HDR ip = nullptr;
    if (!GetIPHeader(ethernet, &ip))
        return false;
    PTCP_HDR tcp = nullptr;
    PUDP_HDR udp = nullptr;
    int sourcePort, destPort;
    if (GetTCPHeader(ip, &tcp)) {
        sourcePort = ntohs(tcp->SourcePort);
        destPort = ntohs(tcp->DestPort);
    } else if (GetUDPHeader(ip, &udp)) {
        sourcePort = ntohs(udp->SourcePort);
        destPort = ntohs(udp->DestPort);
    } else {
        return false;
    }

    const std::uint32_t sourceAddr = ntohl(ip->SourceAddress);
    const std::uint32_t destAddr = ntohl(ip->DestAddress);
    std::string localText;
    const std::string* matchedRanges;
    TFlow* flow = nullptr;
    // A frame handled from inside a handler takes the long way: the outer
    // frame's text and flow stay as they are.
    if (FHandlersRunning == 0 && FRangeTable.Update(AllowRanges)) {
        flow = &FlowFor(sourceAddr, destAddr, std::uint32_t(sourcePort) << 16 | std::uint32_t(destPort));
        const std::uint64_t matchEpoch = FRangeTable.Builds() * 2 + (ListFirstRangeMatchOnly ? 1 : 0);
        if (flow->MatchEpoch != matchEpoch || (flow->Match && flow->Match->Version != flow->MatchVersion)) {
            TMatchText* match = MatchedText(sourceAddr, destAddr, sourcePort, destPort);
            flow->Match = match;
            flow->MatchVersion = match ? match->Version : 0;
            flow->MatchEpoch = matchEpoch;
        }
        matchedRanges = flow->Match ? &flow->Match->Text : nullptr;
    } else {
        matchedRanges = MatchRanges(sourceAddr, destAddr, sourcePort, destPort, localText);
    }
    if (!matchedRanges)
        return true;
    struct THandlersRunning {
        int& Count;
        explicit THandlersRunning(int& c) : Count(c) { ++Count; }
        ~THandlersRunning() { --Count; }
    } running(FHandlersRunning);

    const int dataAmount = ntohs(ip->TotalLength);

    // The texts come from the hosts' nodes when the packet is recorded, and
    // are built here only when a data event takes it instead.
    std::string sourceIP, destIP;
    const TOnTrafficData& dataEvent = tcp ? OnTCPNetworkTrafficData : OnUDPNetworkTrafficData;
    bool takenByData = false;
    if (dataEvent) {
        const std::uint8_t* data = nullptr;
        std::int32_t dataLen = 0;
        if (tcp) {
            // Without the data-offset byte the segment counts as one without payload.
            takenByData = capLen >= kTCPDataOffsetEnd && GetTCPData(ip, tcp, &data, &dataLen);
        } else if (capLen >= kUDPLengthEnd) {
            takenByData = GetUDPData(ip, udp, &data, &dataLen);
        } else {
            // The length field was not captured: an empty payload.
            takenByData = true;
            data = Frame + capLen;
        }
        if (takenByData) {
            data = ClipPayload(Frame, capLen, data, dataLen);
            sourceIP = IPText(sourceAddr);
            destIP = IPText(destAddr);
            dataEvent(this, sourceIP, destIP, 1, dataAmount, sourcePort, destPort, data, dataLen);
        }
    }
    const std::string* sourceText = &sourceIP;
    const std::string* destText = &destIP;
    if (!takenByData) {
        TTerminatingNode* source = nullptr;
        TTerminatingNode* dest = nullptr;
        RecordPacket(sourceAddr, destAddr, dataAmount, sourcePort, destPort, source, dest, flow);
        sourceText = &source->IPAddress();
        destText = &dest->IPAddress();
    }

    const TOnTrafficUpdate& updateEvent = tcp ? OnTCPNetworkTrafficUpdate : OnUDPNetworkTrafficUpdate;
    if (updateEvent)
        updateEvent(this, *sourceText, *destText, 1, dataAmount, sourcePort, destPort, *matchedRanges);
    return true;
}

namespace {

// Writes the numbers of the rules in Set ("1,3,10"): rule i is number i+1.
std::size_t WriteRangeNumbers(const TAllowRangeTable::TWord* Set, std::size_t Words, char* Out)
{
    char* out = Out;
    for (std::size_t w = 0; w < Words; ++w) {
        for (TAllowRangeTable::TWord bits = Set[w]; bits; bits &= bits - 1) {
            if (out != Out)
                *out++ = ',';
            out = std::to_chars(out, out + 8, w * TAllowRangeTable::WordBits + std::size_t(std::countr_zero(bits)) + 1).ptr;
        }
    }
    return std::size_t(out - Out);
}

} // namespace

const std::string* TVarno::MatchRanges(std::uint32_t SourceAddr, std::uint32_t DestAddr, int SourcePort,
                                       int DestPort, std::string& Local)
{
    if (!FRangeTable.Update(AllowRanges)) {
        // Lists too large for the table ask each rule.
        Local.clear();
        for (std::size_t i = 0; i < AllowRanges.size(); ++i) {
            if (!AllowRanges[i]->Matches(SourceAddr, DestAddr, SourcePort, DestPort))
                continue;
            if (!Local.empty())
                Local += ',';
            char number[24];
            Local.append(number, std::to_chars(number, number + sizeof number, i + 1).ptr);
            if (ListFirstRangeMatchOnly)
                break;
        }
        return Local.empty() ? nullptr : &Local;
    }

    TAllowRangeTable::TWord set[TAllowRangeTable::MaxWords];
    if (!MatchedSet(SourceAddr, DestAddr, SourcePort, DestPort, set))
        return nullptr;
    char text[TAllowRangeTable::MaxWords * TAllowRangeTable::WordBits * 4];
    Local.assign(text, WriteRangeNumbers(set, FRangeTable.WordCount(), text));
    return &Local;
}

bool TVarno::MatchedSet(std::uint32_t SourceAddr, std::uint32_t DestAddr, int SourcePort, int DestPort,
                        TAllowRangeTable::TWord* Set)
{
    const std::size_t words = FRangeTable.WordCount();
    const TAllowRangeTable::TWord* found = FRangeTable.Match(SourceAddr, DestAddr, SourcePort, DestPort);
    std::fill(Set, Set + TAllowRangeTable::MaxWords, TAllowRangeTable::TWord(0));
    bool any = false;
    for (std::size_t w = 0; w < words; ++w) {
        Set[w] = found[w];
        if (Set[w] && ListFirstRangeMatchOnly) {
            Set[w] &= ~Set[w] + 1;  // the lowest rule only
            return true;
        }
        any = any || Set[w];
    }
    return any;
}

TVarno::TMatchText* TVarno::MatchedText(std::uint32_t SourceAddr, std::uint32_t DestAddr, int SourcePort,
                                        int DestPort)
{
    using TWord = TAllowRangeTable::TWord;
    TWord set[TAllowRangeTable::MaxWords];
    if (!MatchedSet(SourceAddr, DestAddr, SourcePort, DestPort, set))
        return nullptr;
    const std::size_t words = FRangeTable.WordCount();
    TWord key = set[0];
    for (std::size_t w = 1; w < words; ++w)
        key ^= set[w] * 0xC2B2AE3D27D4EB4Full;
    TMatchText* entry = &FMatchTexts[std::size_t((key * 0x9E3779B97F4A7C15ull) >> 56)];
    if (std::equal(set, set + TAllowRangeTable::MaxWords, entry->Set))
        return entry;
    char text[TAllowRangeTable::MaxWords * TAllowRangeTable::WordBits * 4];
    const std::size_t length = WriteRangeNumbers(set, words, text);
    entry->Text.assign(text, length);
    std::copy(set, set + TAllowRangeTable::MaxWords, entry->Set);
    ++entry->Version;
    return entry;
}

TVarno::TFlow& TVarno::FlowFor(std::uint32_t SourceAddr, std::uint32_t DestAddr, std::uint32_t Ports)
{
    std::uint64_t key = (std::uint64_t(SourceAddr) << 32 | DestAddr) * 0x9E3779B97F4A7C15ull;
    key ^= std::uint64_t(Ports) * 0xC2B2AE3D27D4EB4Full;
    TFlow& flow = FFlows[std::size_t((key ^ key >> 29) * 0xBF58476D1CE4E5B9ull >> (64 - FlowBits))];
    if (flow.SourceAddr != SourceAddr || flow.DestAddr != DestAddr || flow.Ports != Ports) {
        flow = TFlow();
        flow.SourceAddr = SourceAddr;
        flow.DestAddr = DestAddr;
        flow.Ports = Ports;
    }
    return flow;
}

// ---------------------------------------------------------------------------
// Hosts and host pairs

std::size_t TVarno::TRouteKeyHash::operator()(const TRouteKey& Key) const noexcept
{
    const auto low = reinterpret_cast<std::uintptr_t>(Key.Low);
    const auto high = reinterpret_cast<std::uintptr_t>(Key.High);
    return std::hash<std::uintptr_t>{}(low * 0x9E3779B97F4A7C15ull ^ (high + (low << 6) + (low >> 2)));
}

std::size_t TVarno::TRouteIndex::Home(const TRouteKey& Key) const
{
    // Node addresses share their low bits: take the product's high bits.
    const std::uint64_t hash = TRouteKeyHash{}(Key);
    return std::size_t((hash * 0x9E3779B97F4A7C15ull) >> 32) & (FEntries.size() - 1);
}

std::size_t TVarno::TRouteIndex::Slot(const TRouteKey& Key) const
{
    const std::size_t mask = FEntries.size() - 1;
    std::size_t slot = Home(Key);
    while (FEntries[slot].Route && !(FEntries[slot].Key == Key))
        slot = (slot + 1) & mask;
    return slot;
}

TLinkRoute* TVarno::TRouteIndex::Find(const TRouteKey& Key) const
{
    return FEntries.empty() ? nullptr : FEntries[Slot(Key)].Route;
}

void TVarno::TRouteIndex::Set(const TRouteKey& Key, TLinkRoute* Route)
{
    // At most half full, so probes stay short and always end.
    if ((FCount + 1) * 2 > FEntries.size()) {
        std::vector<TEntry> old(std::max<std::size_t>(64, FEntries.size() * 2), TEntry{{nullptr, nullptr}, nullptr});
        old.swap(FEntries);
        for (const TEntry& entry : old)
            if (entry.Route)
                FEntries[Slot(entry.Key)] = entry;
    }
    TEntry& entry = FEntries[Slot(Key)];
    if (!entry.Route)
        ++FCount;
    entry = TEntry{Key, Route};
}

void TVarno::TRouteIndex::RemoveAt(std::size_t Slot)
{
    // Later entries of the same probe run move back into the hole, so that
    // every entry stays reachable from its home slot.
    const std::size_t mask = FEntries.size() - 1;
    std::size_t hole = Slot;
    for (std::size_t next = (hole + 1) & mask; FEntries[next].Route; next = (next + 1) & mask) {
        const std::size_t home = Home(FEntries[next].Key);
        // The entry stays when its home lies cyclically in (hole, next].
        const bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
        if (stays)
            continue;
        FEntries[hole] = FEntries[next];
        hole = next;
    }
    FEntries[hole].Route = nullptr;
    --FCount;
}

bool TVarno::TRouteIndex::Remove(const TRouteKey& Key, const TLinkRoute* Route)
{
    if (FEntries.empty())
        return false;
    const std::size_t slot = Slot(Key);
    if (FEntries[slot].Route != Route || !Route)
        return false;
    RemoveAt(slot);
    return true;
}

void TVarno::TRouteIndex::RemoveRoute(const TLinkRoute* Route)
{
    std::vector<TRouteKey> keys;
    for (const TEntry& entry : FEntries)
        if (entry.Route && entry.Route == Route)
            keys.push_back(entry.Key);
    for (const TRouteKey& key : keys)
        Remove(key, Route);
}

void TVarno::TRouteIndex::Clear()
{
    FEntries.clear();
    FCount = 0;
}

TVarno::TRouteKey TVarno::RouteKey(const TTerminatingNode* X, const TTerminatingNode* Y)
{
    return std::less<const TTerminatingNode*>{}(X, Y) ? TRouteKey{X, Y} : TRouteKey{Y, X};
}

int TVarno::FindTerminatingNode(std::string_view Address) const
{
    if (std::uint32_t number; ParseIPText(Address, number))
        return FNodeByAddress.Find(number);
    const auto it = FNodeIndex.find(Address);
    return it == FNodeIndex.end() ? -1 : it->second;
}

TTerminatingNode* TVarno::AddTerminatingNode(const std::string& Address)
{
    std::uint32_t number;
    return AddNode(Address, ParseIPText(Address, number) ? &number : nullptr);
}

TTerminatingNode* TVarno::AddNode(const std::string& Address, const std::uint32_t* Number)
{
    auto node = std::make_unique<TTerminatingNode>(Address, "", "", "");
    if (LoadAndSaveIPNames)
        LoadNodeNames(node.get());
    TTerminatingNode* result = node.get();
    FNodeList.push_back(std::move(node));
    // An address is queued with its first node only, so no host is ever
    // queried twice; hosts named by NodeNamesFile need no query.
    const int position = int(FNodeList.size() - 1);
    const bool firstOfAddress = Number ? FNodeByAddress.Add(*Number, position)
                                       : FNodeIndex.emplace(Address, position).second;
    if (firstOfAddress && NameResolution() && result->IPName().empty() && result->UNCName().empty())
        NameQueryQueue.push_back(Address);
    if (OnAfterAddTerminatingNode)
        OnAfterAddTerminatingNode(this, result);
    return result;
}

TTerminatingNode* TVarno::NodeFor(const std::string& Address)
{
    const int i = FindTerminatingNode(Address);
    return i < 0 ? AddTerminatingNode(Address) : FNodeList[std::size_t(i)].get();
}

std::size_t TVarno::TAddressIndex::Slot(std::uint32_t Address) const
{
    const std::size_t mask = FEntries.size() - 1;
    std::size_t slot = std::size_t((std::uint64_t(Address) * 0x9E3779B97F4A7C15ull) >> 32) & mask;
    while (FEntries[slot].Position >= 0 && FEntries[slot].Address != Address)
        slot = (slot + 1) & mask;
    return slot;
}

int TVarno::TAddressIndex::Find(std::uint32_t Address) const
{
    return FEntries.empty() ? -1 : FEntries[Slot(Address)].Position;
}

bool TVarno::TAddressIndex::Add(std::uint32_t Address, int Position)
{
    // At most half full, so probes stay short and always end.
    if ((FCount + 1) * 2 > FEntries.size()) {
        std::vector<TEntry> old(std::max<std::size_t>(64, FEntries.size() * 2), TEntry{0, -1});
        old.swap(FEntries);
        for (const TEntry& entry : old)
            if (entry.Position >= 0)
                FEntries[Slot(entry.Address)] = entry;
    }
    TEntry& entry = FEntries[Slot(Address)];
    if (entry.Position >= 0)
        return false;
    entry = TEntry{Address, Position};
    ++FCount;
    return true;
}

void TVarno::TAddressIndex::Clear()
{
    FEntries.clear();
    FCount = 0;
}

TTerminatingNode* TVarno::NodeFor(std::uint32_t Address)
{
    const int i = FNodeByAddress.Find(Address);
    return i < 0 ? AddNode(IPText(Address), &Address) : FNodeList[std::size_t(i)].get();
}

int TVarno::FindLinkRoute(const TTerminatingNode* X, const TTerminatingNode* Y) const
{
    const TLinkRoute* route = FRouteIndex.Find(RouteKey(X, Y));
    if (!route)
        return -1;
    for (std::size_t i = 0; i < FRouteList.size(); ++i)
        if (FRouteList[i].get() == route)
            return int(i);
    return -1;
}

TLinkRoute* TVarno::AddLinkRoute(TTerminatingNode* First, TTerminatingNode* Second)
{
    auto route = std::make_unique<TLinkRoute>(First, Second);
    TLinkRoute* result = route.get();
    FRouteList.push_back(std::move(route));
    FRouteIndex.Set(RouteKey(First, Second), result);
    return result;
}

void TVarno::RecordTraffic(TObject* /*Sender*/, const std::string& SourceIP, const std::string& DestIP,
                           int PacketAmount, int DataAmount, int SourcePort, int DestPort)
{
    TTerminatingNode* source = NodeFor(SourceIP);
    source->SetStamp(FCurrentStamp);
    source->SetChanged(true);
    TTerminatingNode* dest = NodeFor(DestIP);
    dest->SetStamp(FCurrentStamp);
    dest->SetChanged(true);
    CountOnRoute(source, dest, PacketAmount, DataAmount, SourcePort, DestPort);
}

void TVarno::RecordPacket(std::uint32_t SourceAddr, std::uint32_t DestAddr, int DataAmount, int SourcePort,
                          int DestPort, TTerminatingNode*& Source, TTerminatingNode*& Dest, TFlow* Flow)
{
    if (Flow && Flow->Source && Flow->RouteEpoch == FRouteEpoch) {
        Source = Flow->Source;
        Source->SetStamp(FCurrentStamp);
        Source->SetChanged(true);
        Dest = Flow->Dest;
        Dest->SetStamp(FCurrentStamp);
        Dest->SetChanged(true);
        Flow->Route->AddTraffic(SourcePort, DestPort, 1, DataAmount, Flow->Hint);
        return;
    }
    Source = NodeFor(SourceAddr);
    Source->SetStamp(FCurrentStamp);
    Source->SetChanged(true);
    Dest = NodeFor(DestAddr);
    Dest->SetStamp(FCurrentStamp);
    Dest->SetChanged(true);
    CountOnRoute(Source, Dest, 1, DataAmount, SourcePort, DestPort, Flow);
}

void TVarno::CountOnRoute(TTerminatingNode* Source, TTerminatingNode* Dest, int PacketAmount, int DataAmount,
                          int SourcePort, int DestPort, TFlow* Flow)
{
    TLinkRoute* route = FRouteIndex.Find(RouteKey(Source, Dest));
    const bool created = !route;
    if (created)
        route = AddLinkRoute(Source, Dest);
    if (Flow) {
        // Kept before the event: its handler may remove the route, which
        // the epoch then tells.
        Flow->Hint = {};
        route->AddTraffic(SourcePort, DestPort, PacketAmount, DataAmount, Flow->Hint);
        Flow->Source = Source;
        Flow->Dest = Dest;
        Flow->Route = route;
        Flow->RouteEpoch = FRouteEpoch;
    } else {
        route->AddTraffic(SourcePort, DestPort, PacketAmount, DataAmount);
    }
    if (created && OnAfterAddLinkRoute)
        OnAfterAddLinkRoute(this, route);
}

void TVarno::UnlistLinkRoute(TLinkRoute* Route)
{
    // Flows that know the route must look again.
    ++FRouteEpoch;
    if (FRouteIndex.Remove(RouteKey(Route->SourceNode(), Route->DestNode()), Route))
        return;
    // A user moved the route's ends: the index must still never keep it.
    FRouteIndex.RemoveRoute(Route);
}

void TVarno::RemoveFromNodeLinkRoutes(const std::vector<const TLinkRoute*>& Routes)
{
    if (Routes.empty())
        return;
    const std::unordered_set<const TLinkRoute*> dying(Routes.begin(), Routes.end());
    for (const auto& node : FNodeList) {
        auto& links = node->LinkRoutes();
        if (links.empty())
            continue;
        const auto kept = std::remove_if(links.begin(), links.end(), [&](const TLinkRoute* r) { return dying.count(r) != 0; });
        if (kept != links.end()) {
            links.erase(kept, links.end());
            node->SetChanged(true);
        }
    }
}

void TVarno::DeleteLinkRoute(TLinkRoute* Route)
{
    const auto pos = std::find_if(FRouteList.begin(), FRouteList.end(),
                                  [Route](const std::unique_ptr<TLinkRoute>& r) { return r.get() == Route; });
    // A route that is not ours is left to whoever owns it.
    if (pos == FRouteList.end())
        return;
    if (OnBeforeDeleteLinkRoute)
        OnBeforeDeleteLinkRoute(this, Route);
    RemoveFromNodeLinkRoutes({Route});
    UnlistLinkRoute(Route);
    // The handler may have changed the list: look the route up again.
    const auto again = std::find_if(FRouteList.begin(), FRouteList.end(),
                                    [Route](const std::unique_ptr<TLinkRoute>& r) { return r.get() == Route; });
    if (again != FRouteList.end())
        FRouteList.erase(again);
}

void TVarno::AgeLinkRoutes()
{
    // Routes that empty in this pass are announced one by one, but unlisted
    // and destroyed together at the end, so a pass costs O(routes + nodes)
    // however many routes it removes. That also happens when a handler
    // raises, for the routes announced before it.
    std::vector<std::unique_ptr<TLinkRoute>> removed;
    struct TFinish {
        TVarno& Self;
        std::vector<std::unique_ptr<TLinkRoute>>& Removed;
        ~TFinish()
        {
            if (Removed.empty())
                return;
            std::vector<const TLinkRoute*> routes;
            routes.reserve(Removed.size());
            for (const auto& r : Removed)
                routes.push_back(r.get());
            Self.RemoveFromNodeLinkRoutes(routes);
            std::erase_if(Self.FRouteList, [](const std::unique_ptr<TLinkRoute>& r) { return !r; });
        }
    } finish{*this, removed};

    for (std::size_t i = FRouteList.size(); i-- > 0;) {
        if (i >= FRouteList.size() || !FRouteList[i])
            continue;
        TLinkRoute* route = FRouteList[i].get();
        route->Age();
        if (route->TotalDataAmount() != 0 || route->TotalPacketAmount() != 0)
            continue;
        if (OnBeforeDeleteLinkRoute)
            OnBeforeDeleteLinkRoute(this, route);
        // The handler may have changed the list.
        if (i >= FRouteList.size() || FRouteList[i].get() != route)
            continue;
        UnlistLinkRoute(route);
        removed.push_back(std::move(FRouteList[i]));
    }
}

// ---------------------------------------------------------------------------
// Node names

const TIniSnapshot& TVarno::NodeNames() const
{
    // New hosts can arrive by the thousand a second: the file is parsed again
    // only when it is another file or has changed, and a missing one costs a
    // failed open. Opening it only to read never creates it.
    TNodeNamesCache seen;
    seen.FileName = NodeNamesFile;
    // O_NONBLOCK: a FIFO in the file's place must not stall the packet path.
    const int fd = open(NodeNamesFile.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        seen.Exists = true;
        seen.Device = st.st_dev;
        seen.Inode = st.st_ino;
        seen.Size = std::uint64_t(st.st_size);
        seen.ModifiedNs = std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        seen.ChangedNs = std::int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    }
    const auto same = [&seen](const TNodeNamesCache& c) {
        return c.FileName == seen.FileName && c.Exists == seen.Exists && c.Device == seen.Device &&
               c.Inode == seen.Inode && c.Size == seen.Size && c.ModifiedNs == seen.ModifiedNs &&
               c.ChangedNs == seen.ChangedNs;
    };
    if (!FNodeNames || !same(*FNodeNames)) {
        // Read through the descriptor that was identified, so the text and
        // its identity belong together.
        // An unreadable or oversized file reads as empty, as TIniFile reads it.
        std::string text;
        if (seen.Exists)
            ReadIniFileText(fd, text);
        // Only the four name keys are kept, whatever else the file holds.
        seen.Names = TIniSnapshot::FromText(text, {"Custom Name", "IP Name", "UNC Name", "MacAddress"});
        FNodeNames = std::make_unique<TNodeNamesCache>(std::move(seen));
    }
    if (fd >= 0)
        close(fd);
    return FNodeNames->Names;
}

void TVarno::LoadNodeNames(TTerminatingNode* Node) const
{
    const TIniSnapshot& file = NodeNames();
    const std::string& section = Node->IPAddress();
    if (Node->CustomName().empty())
        Node->SetCustomName(file.ReadString(section, "Custom Name", ""));
    if (Node->IPName().empty())
        Node->SetIPName(file.ReadString(section, "IP Name", ""));
    if (Node->UNCName().empty())
        Node->SetUNCName(file.ReadString(section, "UNC Name", ""));
    if (Node->MacAddress().empty())
        Node->SetMacAddress(file.ReadString(section, "MacAddress", ""));
}

void TVarno::SaveNodeNames(const TTerminatingNode* Node) const
{
    // The four keys in one replacement of the file: a failed write leaves
    // none of them, never some.
    TIniFile(NodeNamesFile).WriteStrings(Node->IPAddress(), {{"Custom Name", Node->CustomName()},
                                                             {"IP Name", Node->IPName()},
                                                             {"UNC Name", Node->UNCName()},
                                                             {"MacAddress", Node->MacAddress()}});
}

// ---------------------------------------------------------------------------
// Name query scheduling

void TVarno::tNameQueryTimer_Timer(TObject* /*Sender*/)
{
    tNameQueryTimer->SetEnabled(false);
    struct TEnableAgain {
        TTimer& Timer;
        ~TEnableAgain() { Timer.SetEnabled(true); }
    } enableAgain{*tNameQueryTimer};

    while (FRunningNameQueries < MaximumNameQueryThreads && !NameQueryQueue.empty()) {
        ++FRunningNameQueries;
        auto thread = std::make_unique<TNameQueryThread>(NameQueryQueue.front());
        thread->OnSuccess = [this](TObject* Sender, const std::string& IPAddress, const std::string& IPName,
                                   const std::string& UNCName, const std::string& MacAddress) {
            NameQueryThreadSuccess(Sender, IPAddress, IPName, UNCName, MacAddress);
        };
        thread->OnTerminate = [this](TObject* Sender) { NameQueryThreadTerminate(Sender); };
        thread->Token = FNameQueryToken;
        // The operating-system thread comes to life in Resume. Should that
        // fail, the unstarted object goes and its address stays first in the
        // queue; the address leaves the queue only with a running thread.
        thread->Resume();
        // The thread frees itself when it ends.
        thread.release();
        NameQueryQueue.pop_front();
    }
}

void TVarno::NameQueryThreadTerminate(TObject* /*Sender*/) { --FRunningNameQueries; }

void TVarno::NameQueryThreadSuccess(TObject* /*Sender*/, const std::string& IPAddress, const std::string& IPName,
                                    const std::string& UNCName, const std::string& MacAddress)
{
    const int i = FindTerminatingNode(IPAddress);
    if (i < 0)
        return;
    TTerminatingNode* node = FNodeList[std::size_t(i)].get();
    // A name the node already has is kept.
    if (node->IPName().empty())
        node->SetIPName(IPName);
    if (node->UNCName().empty())
        node->SetUNCName(UNCName);
    if (node->MacAddress().empty())
        node->SetMacAddress(MacAddress);
    if (LoadAndSaveIPNames)
        SaveNodeNames(node);
}
