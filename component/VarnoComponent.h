#pragma once
// TVarno turns captured Ethernet frames into traffic events. It owns a live
// capture, matches every IPv4 TCP or UDP packet against the allow ranges,
// raises the update (or data) events for packets that match, keeps the hosts
// and host pairs of matched traffic, and holds the name-query state.
//
// Everything runs on the main thread: the capture hands each frame over and
// waits while SnoopCapture runs.

#include "capture/Snoop.h"
#include "capture/SnoopMemory.h"
#include "platform/IniFiles.h"
#include "platform/SysUtils.h"
#include "platform/Timer.h"
#include "ranges/AllowRange.h"
#include "ranges/AllowRangeTable.h"
#include "topography/NetworkTopographyClasses.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class TNameQueryToken;

using TOnTrafficUpdate =
    std::function<void(TObject* Sender, const std::string& SourceIP, const std::string& DestIP, int PacketAmount,
                       int DataAmount, int SourcePort, int DestPort, const std::string& MatchedRanges)>;
using TOnTrafficData =
    std::function<void(TObject* Sender, const std::string& SourceIP, const std::string& DestIP, int PacketAmount,
                       int DataAmount, int SourcePort, int DestPort, const std::uint8_t* Data_, int DataLen_)>;
using TOnAfterAddTerminatingNode = std::function<void(TObject* Sender, TTerminatingNode* TerminatingNode)>;
using TOnAfterAddLinkRoute = std::function<void(TObject* Sender, TLinkRoute* LinkRoute)>;
using TOnBeforeDeleteTerminatingNode = std::function<void(TObject* Sender, TTerminatingNode* TerminatingNode)>;
using TOnBeforeDeleteLinkRoute = std::function<void(TObject* Sender, TLinkRoute* LinkRoute)>;

class TVarno : public TObject {
public:
    TVarno();
    ~TVarno() override;

    TVarno(const TVarno&) = delete;
    TVarno& operator=(const TVarno&) = delete;

    // --- Settings and events (plain stored values) ---

    // The capture's adapter descriptions, in the capture library's order.
    const std::vector<std::string>& AdapterDescriptions() const;
    // The device names, parallel to AdapterDescriptions.
    const std::vector<std::string>& AdapterNames() const;

    // Position in AdapterDescriptions to capture on at the next Start; -1: none.
    int AdapterIndex = 0;

    TOnTrafficUpdate OnTCPNetworkTrafficUpdate;
    TOnTrafficUpdate OnUDPNetworkTrafficUpdate;
    TOnTrafficData OnTCPNetworkTrafficData;
    TOnTrafficData OnUDPNetworkTrafficData;
    TOnAfterAddTerminatingNode OnAfterAddTerminatingNode;
    TOnAfterAddLinkRoute OnAfterAddLinkRoute;
    // Nodes live as long as the component, so nothing raises this.
    TOnBeforeDeleteTerminatingNode OnBeforeDeleteTerminatingNode;
    TOnBeforeDeleteLinkRoute OnBeforeDeleteLinkRoute;

    // Bound on concurrently running name queries; read when queries start.
    int MaximumNameQueryThreads = 2;

    // The enabled state of tNameQueryTimer.
    bool NameResolution() const;
    void SetNameResolution(bool Value);

    // Whether node names are read from and written to NodeNamesFile.
    bool LoadAndSaveIPNames = true;
    int ListenMethod = 0;
    int NodeLifeTime = 10;
    // True: a packet is reported with its first matching range only.
    bool ListFirstRangeMatchOnly = true;

    // "Nodes.ini" beside the executable unless set otherwise.
    std::string NodeNamesFile;

    // Rule i is range number i+1. The owner refills it before each Start.
    std::vector<std::unique_ptr<TAllowRange>> AllowRanges;

    // --- Capture ---

    // Opens the chosen adapter and the dump file. Raises Exception "You must
    // choose an adapter index" for AdapterIndex -1, and "Start error\r\n..."
    // when the dump file cannot be created (the capture stays open). A capture
    // that does not open is no exception: Capturing() stays false and
    // CaptureLastError() says why.
    void Start();
    // Closes the capture and deletes the dump file.
    void Stop();

    bool Capturing() const;
    const std::string& CaptureLastError() const;
    // libpcap's figures of the open capture (TCustomSnoop::Stats); false,
    // Result untouched, when no capture is open.
    bool CaptureStats(TSnoopStats& Result) const;
    // Empty until the first Start that opened a capture.
    const std::string& DumpFileName() const { return FDumpFileName; }
    // Where Start puts its dump file: "temp.$$$" in the user's private runtime
    // directory. Raises Exception when that directory is unusable.
    static std::string DumpFilePath();

    // The capture's OnCapture handler.
    void SnoopCapture(TObject* Sender, PPCAP_PKTHDR PacketHeader, PETHERNET_HDR EthernetHeader);
    // Handles one frame of Header->caplen bytes, as a live capture would; used
    // for capture files as well. Returns true when the frame was an IPv4 TCP
    // or UDP packet long enough to carry both ports.
    bool HandleFrame(const pcap_pkthdr* Header, const std::uint8_t* Frame);

    // --- Hosts and host pairs ---

    // Nodes in order of first sighting; they live as long as the component.
    const std::vector<std::unique_ptr<TTerminatingNode>>& NodeList() const { return FNodeList; }
    // Routes in order of creation. During OnBeforeDeleteLinkRoute raised by
    // AgeLinkRoutes, routes already removed in that pass show as null entries.
    const std::vector<std::unique_ptr<TLinkRoute>>& RouteList() const { return FRouteList; }
    int CurrentStamp() const { return FCurrentStamp; }

    void RecordTraffic(TObject* Sender, const std::string& SourceIP, const std::string& DestIP, int PacketAmount,
                       int DataAmount, int SourcePort, int DestPort);
    // Closes the current period of every route and removes the routes whose
    // window has become empty, raising OnBeforeDeleteLinkRoute for each.
    void AgeLinkRoutes();

    // Position in NodeList of the node with exactly this address, or -1.
    int FindTerminatingNode(std::string_view Address) const;
    TTerminatingNode* AddTerminatingNode(const std::string& Address);
    // Position in RouteList of the route joining the two nodes in either
    // direction, or -1.
    int FindLinkRoute(const TTerminatingNode* X, const TTerminatingNode* Y) const;
    TLinkRoute* AddLinkRoute(TTerminatingNode* First, TTerminatingNode* Second);
    // Raises OnBeforeDeleteLinkRoute, unlists the route and destroys it.
    void DeleteLinkRoute(TLinkRoute* Route);

    // Fill the node's empty names from its section of NodeNamesFile / write
    // its four names there (Exception "Unable to write to ..." on failure).
    void LoadNodeNames(TTerminatingNode* Node) const;
    void SaveNodeNames(const TTerminatingNode* Node) const;

    // --- Name queries ---

    // Addresses waiting for a name query, taken from the front. While
    // NameResolution is on, AddTerminatingNode queues each new node that has
    // neither an IPName nor a UNCName once; anyone may add more.
    std::deque<std::string> NameQueryQueue;
    // Query threads started whose end has not yet been handled.
    int RunningNameQueries() const { return FRunningNameQueries; }

    // The name query timer's handler: starts threads for queued addresses,
    // in queue order, while fewer than MaximumNameQueryThreads run. The timer
    // is off during the pass and on again afterwards, also when starting a
    // thread raised; the address of that thread then stays first in the queue.
    void tNameQueryTimer_Timer(TObject* Sender);
    // Each query thread's end, on the main thread.
    void NameQueryThreadTerminate(TObject* Sender);
    // Each query thread's answers, on the main thread: fills the empty names
    // of the node with that address and, with LoadAndSaveIPNames, saves them.
    // Answers for an address without a node are dropped.
    void NameQueryThreadSuccess(TObject* Sender, const std::string& IPAddress, const std::string& IPName,
                                const std::string& UNCName, const std::string& MacAddress);

private:
    // An unordered pair of nodes.
    struct TRouteKey {
        const TTerminatingNode* Low;
        const TTerminatingNode* High;
        bool operator==(const TRouteKey&) const = default;
    };
    struct TRouteKeyHash {
        std::size_t operator()(const TRouteKey& Key) const noexcept;
    };
    struct TTextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view Text) const noexcept { return std::hash<std::string_view>{}(Text); }
    };

    static TRouteKey RouteKey(const TTerminatingNode* X, const TTerminatingNode* Y);

    // AllowRanges answered all at once; follows AllowRanges by itself.
    TAllowRangeTable FRangeTable;
    // The texts of recent sets of matching ranges, by set: most packets
    // repeat a set seen shortly before.
    struct TMatchText {
        TAllowRangeTable::TWord Set[TAllowRangeTable::MaxWords] = {};
        std::string Text;
        std::uint32_t Version = 0;  // counts the times the entry was taken for another set
    };
    std::array<TMatchText, 256> FMatchTexts;
    // The entry of FMatchTexts for the table's answer (null: no range
    // matches). Only while the table answers and no handler runs.
    TMatchText* MatchedText(std::uint32_t SourceAddr, std::uint32_t DestAddr, int SourcePort, int DestPort);
    // The table's answer as MaxWords words, reduced to the lowest rule under
    // ListFirstRangeMatchOnly; false when no rule matches.
    bool MatchedSet(std::uint32_t SourceAddr, std::uint32_t DestAddr, int SourcePort, int DestPort,
                    TAllowRangeTable::TWord* Set);

    // What was found for the recent packets of each flow (addresses and
    // ports): most packets belong to a flow seen a moment ago, and take one
    // look here instead of the range table, two host look-ups, a route
    // look-up and two port-pair searches. Each part is used only while it
    // still holds: the match while the table and ListFirstRangeMatchOnly are
    // the same and the text entry was not taken for another set; the hosts
    // always (nodes live as long as the component); the route while no route
    // was removed since; the port-pair positions while the items there still
    // carry the same ports.
    struct TFlow {
        std::uint32_t SourceAddr = 0;
        std::uint32_t DestAddr = 0;
        std::uint32_t Ports = 0;       // source port << 16 | destination port
        std::uint32_t MatchVersion = 0;
        std::uint64_t MatchEpoch = 0;  // 0: nothing known (a table's epoch is at least 2)
        TMatchText* Match = nullptr;
        TTerminatingNode* Source = nullptr;  // null: not yet recorded
        TTerminatingNode* Dest = nullptr;
        TLinkRoute* Route = nullptr;
        std::uint64_t RouteEpoch = 0;
        TLinkRoute::TTrafficHint Hint;
    };
    static constexpr std::size_t FlowBits = 12;
    std::unique_ptr<TFlow[]> FFlows;
    // Counts route removals: a flow's route is valid while this stays.
    std::uint64_t FRouteEpoch = 1;
    // The flow's entry; one that held another flow is emptied for it.
    TFlow& FlowFor(std::uint32_t SourceAddr, std::uint32_t DestAddr, std::uint32_t Ports);

    // The numbers of the matching ranges as the update events give them
    // ("1,3") in Local, or null when none matches: for a frame handled while
    // a handler runs, whose texts must leave the outer frame's alone, and for
    // lists too large for the table.
    const std::string* MatchRanges(std::uint32_t SourceAddr, std::uint32_t DestAddr, int SourcePort, int DestPort,
                                   std::string& Local);
    TTerminatingNode* NodeFor(const std::string& Address);
    TTerminatingNode* NodeFor(std::uint32_t Address);
    // AddTerminatingNode with the address's number when its text is the
    // packets' dotted form (null otherwise), so it is not parsed again.
    TTerminatingNode* AddNode(const std::string& Address, const std::uint32_t* Number);
    // RecordTraffic for a decoded packet: the nodes are found by address
    // without building their texts; returns them for the events.
    // With a flow, what is found is kept there for its next packet.
    void RecordPacket(std::uint32_t SourceAddr, std::uint32_t DestAddr, int DataAmount, int SourcePort,
                      int DestPort, TTerminatingNode*& Source, TTerminatingNode*& Dest, TFlow* Flow);
    // Counts traffic on the route between the two nodes, creating it if new.
    void CountOnRoute(TTerminatingNode* Source, TTerminatingNode* Dest, int PacketAmount, int DataAmount,
                      int SourcePort, int DestPort, TFlow* Flow = nullptr);
    // Takes the route out of the node lists and the index; the caller removes
    // it from FRouteList.
    void UnlistLinkRoute(TLinkRoute* Route);
    void RemoveFromNodeLinkRoutes(const std::vector<const TLinkRoute*>& Routes);

    // Event handlers running: a frame handled from inside one must leave the
    // texts that the outer handler still reads alone.
    int FHandlersRunning = 0;

    std::unique_ptr<TSnoop> CaptureComponent;
    std::unique_ptr<TSnoopMemory> CaptureMemory;
    std::unique_ptr<TSnoopDump> CaptureDump;
    std::string FDumpFileName;

    std::vector<std::unique_ptr<TTerminatingNode>> FNodeList;
    // Positions in FNodeList of the first node of each address. Addresses
    // whose text is the packets' dotted form are kept by number, so packets
    // find their hosts without building texts; other texts by text.
    // The number index is open addressing in one array: a look-up touches
    // one slot in the usual case, and a new host allocates nothing there.
    class TAddressIndex {
    public:
        // -1 when absent.
        int Find(std::uint32_t Address) const;
        // False, changing nothing, when the address is already there.
        bool Add(std::uint32_t Address, int Position);
        void Clear();

    private:
        struct TEntry {
            std::uint32_t Address;
            int Position;  // -1: empty slot
        };
        std::size_t Slot(std::uint32_t Address) const;
        std::vector<TEntry> FEntries;
        std::size_t FCount = 0;
    };
    TAddressIndex FNodeByAddress;
    std::unordered_map<std::string, int, TTextHash, std::equal_to<>> FNodeIndex;
    std::vector<std::unique_ptr<TLinkRoute>> FRouteList;
    // Routes by their unordered pair of nodes: open addressing with linear
    // probing in one array, entries shifted back on removal (no tombstones).
    class TRouteIndex {
    public:
        TLinkRoute* Find(const TRouteKey& Key) const;
        // Replaces the entry of an existing key.
        void Set(const TRouteKey& Key, TLinkRoute* Route);
        // Removes the key's entry when it holds Route; true when it did.
        bool Remove(const TRouteKey& Key, const TLinkRoute* Route);
        // Removes every entry that holds Route, whatever its key.
        void RemoveRoute(const TLinkRoute* Route);
        void Clear();

    private:
        struct TEntry {
            TRouteKey Key;
            TLinkRoute* Route;  // null: empty slot
        };
        std::size_t Home(const TRouteKey& Key) const;
        std::size_t Slot(const TRouteKey& Key) const;
        void RemoveAt(std::size_t Slot);
        std::vector<TEntry> FEntries;
        std::size_t FCount = 0;
    };
    TRouteIndex FRouteIndex;
    int FCurrentStamp = 0;

    int FRunningNameQueries = 0;
    std::unique_ptr<TTimer> tNameQueryTimer;
    // Shared with every query thread started here; cancelled first thing in
    // the destructor, so threads that outlive the component skip its handlers.
    std::shared_ptr<TNameQueryToken> FNameQueryToken;

    // NodeNamesFile as last read, and what identified it then: a node's names
    // come from here while the file stays the same one, unchanged.
    struct TNodeNamesCache {
        std::string FileName;
        bool Exists = false;
        std::uint64_t Device = 0, Inode = 0, Size = 0;
        std::int64_t ModifiedNs = 0, ChangedNs = 0;
        TIniSnapshot Names;
    };
    const TIniSnapshot& NodeNames() const;
    mutable std::unique_ptr<TNodeNamesCache> FNodeNames;

    // Set while the destructor runs: a frame the capture still delivers while
    // it closes is dropped, so no event reaches a half-destroyed owner.
    bool FDestroying = false;
};
