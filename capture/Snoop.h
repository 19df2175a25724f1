#pragma once
// Live packet capture on one adapter through libpcap, the wire layouts of the
// headers that the counting reads, the routines that step from one header to
// the next, and the capture dump file.

#include "platform/SysUtils.h"
#include "platform/Threads.h"

#include <pcap/pcap.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// ---------------------------------------------------------------------------
// Wire layouts
//
// Every record is built from single bytes (alignment 1), so it can be laid
// over a frame at any address. A multi-byte field converts to the value as
// stored on the wire (network byte order), exactly as a plain C field would:
// read it through ntohs/ntohl. The bytes are copied out, so an unaligned
// field is never read through a wider pointer.

struct TNetU16 {
    std::uint8_t Bytes[2];
    operator std::uint16_t() const
    {
        std::uint16_t v;
        std::memcpy(&v, Bytes, sizeof v);
        return v;
    }
};

struct TNetU32 {
    std::uint8_t Bytes[4];
    operator std::uint32_t() const
    {
        std::uint32_t v;
        std::memcpy(&v, Bytes, sizeof v);
        return v;
    }
};

// libpcap's per-packet header, in host byte order.
using PCAP_PKTHDR = pcap_pkthdr;
using PPCAP_PKTHDR = const pcap_pkthdr*;

// Ethernet II header at the start of every captured frame.
struct ETHERNET_HDR {
    std::uint8_t DestMac[6];
    std::uint8_t SourceMac[6];
    TNetU16 EtherType;
};
using PETHERNET_HDR = const ETHERNET_HDR*;

// IPv4 header, always taken as its fixed 20 bytes (options are not used).
struct IP_HDR {
    std::uint8_t VersionAndLength; // version (high nibble), header words (low)
    std::uint8_t TypeOfService;
    TNetU16 TotalLength;
    TNetU16 Identification;
    TNetU16 FlagsAndOffset;
    std::uint8_t TimeToLive;
    std::uint8_t Protocol;
    TNetU16 Checksum;
    TNetU32 SourceAddress;
    TNetU32 DestAddress;
};
using PIP_HDR = const IP_HDR*;

struct TCP_HDR {
    TNetU16 SourcePort;
    TNetU16 DestPort;
    TNetU32 SequenceNumber;
    TNetU32 AcknowledgementNumber;
    std::uint8_t DataOffset; // header words in the high nibble
    std::uint8_t ControlFlags;
    TNetU16 Window;
    TNetU16 Checksum;
    TNetU16 UrgentPointer;
};
using PTCP_HDR = const TCP_HDR*;

struct UDP_HDR {
    TNetU16 SourcePort;
    TNetU16 DestPort;
    TNetU16 UDPLength;
    TNetU16 Checksum;
};
using PUDP_HDR = const UDP_HDR*;

static_assert(sizeof(ETHERNET_HDR) == 14 && alignof(ETHERNET_HDR) == 1);
static_assert(sizeof(IP_HDR) == 20 && alignof(IP_HDR) == 1);
static_assert(sizeof(TCP_HDR) == 20 && alignof(TCP_HDR) == 1);
static_assert(sizeof(UDP_HDR) == 8 && alignof(UDP_HDR) == 1);

// ---------------------------------------------------------------------------
// Header routines
//
// They read only the fields they test and never compare an offset with the
// captured length: a caller must first make sure that the bytes it decodes
// lie within PacketHeader->caplen. A null output place means "not wanted";
// a stepper leaves its place untouched when its test fails.

// Inline: they run for every captured frame.
namespace snoopdetail {
constexpr std::uint16_t EtherTypeIPv4 = 0x0800;
constexpr std::uint16_t EtherTypeARP = 0x0806;
constexpr std::uint8_t ProtocolICMP = 1;
constexpr std::uint8_t ProtocolTCP = 6;
constexpr std::uint8_t ProtocolUDP = 17;
constexpr int EthernetHeaderSize = 14;
constexpr int IPHeaderSize = 20;
constexpr int UDPHeaderSize = 8;

template <typename Next>
inline bool Step(bool test, const void* from, int offset, Next* place)
{
    if (test && place)
        *place = reinterpret_cast<Next>(static_cast<const std::uint8_t*>(from) + offset);
    return test;
}

inline std::uint16_t HostOrder(TNetU16 value) { return std::uint16_t((value.Bytes[0] << 8) | value.Bytes[1]); }
} // namespace snoopdetail

// EtherType 0x0800: the IPv4 header follows at frame + 14.
inline bool GetIPHeader(PETHERNET_HDR EthernetHeader, PIP_HDR* IPHeader)
{
    using namespace snoopdetail;
    return Step(HostOrder(EthernetHeader->EtherType) == EtherTypeIPv4, EthernetHeader, EthernetHeaderSize, IPHeader);
}

// EtherType 0x0806: the ARP packet follows at frame + 14.
inline bool GetARPHeader(PETHERNET_HDR EthernetHeader, const void** ARPHeader)
{
    using namespace snoopdetail;
    return Step(HostOrder(EthernetHeader->EtherType) == EtherTypeARP, EthernetHeader, EthernetHeaderSize, ARPHeader);
}

// Protocol 1, 6, 17: the transport header at IPv4 header + 20.
inline bool GetICMPHeader(PIP_HDR IPHeader, const void** ICMPHeader)
{
    using namespace snoopdetail;
    return Step(IPHeader->Protocol == ProtocolICMP, IPHeader, IPHeaderSize, ICMPHeader);
}

inline bool GetTCPHeader(PIP_HDR IPHeader, PTCP_HDR* TCPHeader)
{
    using namespace snoopdetail;
    return Step(IPHeader->Protocol == ProtocolTCP, IPHeader, IPHeaderSize, TCPHeader);
}

inline bool GetUDPHeader(PIP_HDR IPHeader, PUDP_HDR* UDPHeader)
{
    using namespace snoopdetail;
    return Step(IPHeader->Protocol == ProtocolUDP, IPHeader, IPHeaderSize, UDPHeader);
}

// Payload at TCP header + 4 * data offset; its length is what the headers
// declare (total length - 20 - TCP header length), which may be zero or
// negative. Writes both places whatever the result; true when length > 0.
inline bool GetTCPData(PIP_HDR IPHeader, PTCP_HDR TCPHeader, const std::uint8_t** Data, std::int32_t* DataLength)
{
    using namespace snoopdetail;
    const std::int32_t headerLength = ((TCPHeader->DataOffset & 0xF0) >> 4) * 4;
    const std::int32_t length = std::int32_t(HostOrder(IPHeader->TotalLength)) - IPHeaderSize - headerLength;
    if (Data)
        *Data = reinterpret_cast<const std::uint8_t*>(TCPHeader) + headerLength;
    if (DataLength)
        *DataLength = length;
    return length > 0;
}

// Payload at UDP header + 8, length UDPLength - 8 (negative for a length
// field below 8). Always true.
inline bool GetUDPData(PIP_HDR /*IPHeader*/, PUDP_HDR UDPHeader, const std::uint8_t** Data, std::int32_t* DataLength)
{
    using namespace snoopdetail;
    if (Data)
        *Data = reinterpret_cast<const std::uint8_t*>(UDPHeader) + UDPHeaderSize;
    if (DataLength)
        *DataLength = std::int32_t(HostOrder(UDPHeader->UDPLength)) - UDPHeaderSize;
    return true;
}

// Dotted decimal text of a host-order IPv4 address: 0xC0A80105 -> "192.168.1.5".
std::string IPToStr(std::uint32_t Address);

// ---------------------------------------------------------------------------
// Capture component

class TCustomSnoop;

using TOnCaptureEvent =
    std::function<void(TObject* Sender, PPCAP_PKTHDR PacketHeader, PETHERNET_HDR EthernetHeader)>;
using TOnGetRemoteAdapterInfo =
    std::function<void(TObject* Sender, std::vector<std::string>& AdapterNames,
                       std::vector<std::string>& AdapterDescriptions, int& AdapterIndex)>;

// libpcap's counters of an open capture (pcap_stats). On Linux Received
// counts every packet that passed the filter, those dropped included;
// Dropped is what the kernel dropped for want of buffer space; IfDropped
// what the adapter dropped. They wrap at 2^32 as libpcap's do.
struct TSnoopStats {
    std::uint32_t Received = 0;
    std::uint32_t Dropped = 0;
    std::uint32_t IfDropped = 0;
};

// Reads the packets that libpcap has ready into a batch of its own and hands
// the batch to the component's DoCapture, packet by packet in capture order,
// on the main thread (one hand-over per batch) when the component is
// ThreadSafe, else on this thread.
class TSnoopThread : public TThread {
public:
    // A batch ends after this many packets or bytes, or when no more are
    // ready.
    static constexpr std::size_t BatchPackets = 1024;
    static constexpr std::size_t BatchBytes = std::size_t(1) << 20;

    explicit TSnoopThread(TCustomSnoop* ASnoopComponent);

    TCustomSnoop* SnoopComponent; // not owned

    // Sets the terminate request and waits until the reader has ended and
    // its termination handler has run (serving hand-overs meanwhile).
    void TerminateAndWait();

    // Why the reader ended by itself; empty after a stop request.
    const std::string& ErrorText() const { return FErrorText; }
    // True when called on this reader's own thread.
    bool IsReaderThread() const { return FThreadId.load() == std::this_thread::get_id(); }

protected:
    void Execute() override;

private:
    friend class TCustomSnoop;

    // One packet of the batch: its header, and where its captured bytes
    // start in FBytes.
    struct TBatchEntry {
        PCAP_PKTHDR Header;
        std::size_t Offset;
    };

    int ReadBatch(pcap_t* Handle, int Fd, int WaitMs);
    void Keep(const pcap_pkthdr* Header, const u_char* Data);
    bool DeliverBatch();
    std::size_t DeliverRun(std::size_t From, bool OnMainThread, bool& Stopped);

    int FReadTimeOut = 100;
    std::string FErrorText;
    std::atomic<std::thread::id> FThreadId{};
    std::vector<TBatchEntry> FEntries;
    std::vector<std::uint8_t> FBytes;
};

class TCustomSnoop : public TObject {
public:
    // Enumerates the adapters. The owner is recorded only; whoever holds the
    // object destroys it.
    explicit TCustomSnoop(TObject* AOwner = nullptr);
    // Closes the capture first. Not to be run from the component's own
    // capture handler.
    ~TCustomSnoop() override;

    TCustomSnoop(const TCustomSnoop&) = delete;
    TCustomSnoop& operator=(const TCustomSnoop&) = delete;

    TObject* Owner() const { return FOwner; }

    // The chosen adapter: the three always move together (-1 and empty
    // texts for none).
    int AdapterIndex() const { return FAdapterIndex; }
    const std::string& AdapterName() const { return FAdapterName; }
    const std::string& AdapterDescription() const { return FAdapterDescription; }
    void SetAdapterIndex(int Value);
    void SetAdapterName(const std::string& Value);
    void SetAdapterDescription(const std::string& Value);

    const std::vector<std::string>& AdapterNames() const { return FAdapterNames; }
    const std::vector<std::string>& AdapterDescriptions() const { return FAdapterDescriptions; }

    // Opens AdapterName and starts the reader; Active tells whether it
    // worked, LastError why not.
    void Open();
    // Stops the reader and closes the adapter.
    void Close();

    bool Active() const { return FActive.load(std::memory_order_acquire); }
    const std::string& LastError() const { return FLastError; }
    pcap_t* PcapHandle() const { return FPcapHandle; }
    TSnoopThread* ReaderThread() const { return FReaderThread.get(); }
    // The packet being delivered, in the reader's batch; valid only inside
    // DoCapture.
    PPCAP_PKTHDR CurrentHeader() const { return FCurrentHeader; }
    PETHERNET_HDR CurrentPacket() const { return FCurrentPacket; }

    // libpcap's counters of the open capture; false (Result untouched) when
    // no capture is open or libpcap cannot tell. Main thread only.
    bool Stats(TSnoopStats& Result) const;

    // Read again for every packet.
    std::atomic<bool> ThreadSafe{true};
    // Take effect at the next Open.
    std::string Filter;
    int SnapLen = 1600;
    int Flags = 1; // bit 0: promiscuous mode
    int ReadTimeOut = 100; // milliseconds
    // Kernel capture buffer in bytes: room for the packets that arrive
    // while a batch is being handled. 0 or less: libpcap's default (2 MiB).
    int BufferSize = 32 * 1024 * 1024;

    // Stored only.
    TOnGetRemoteAdapterInfo OnGetRemoteAdapterInfo;

protected:
    // Called once per captured packet by the reader.
    virtual void DoCapture() = 0;

private:
    friend class TSnoopThread;

    void LoadAdapterNames(std::vector<std::string>& List);
    void LoadAdapterDescriptions(std::vector<std::string>& List);
    // One enumeration, appending the given text field of every device.
    void LoadAdapterList(std::vector<std::string>& List, char* pcap_if_t::*Field);
    void SelectAdapter(int Index);
    void OpenAdapter(const std::string& DeviceName, const pcap_if_t* Device);
    bool ApplyFilter(const pcap_if_t* Device);
    void StartReader();
    void ReleaseReader();
    void ReaderTerminated(TObject* Sender);
    void Deliver(PPCAP_PKTHDR Header, const std::uint8_t* Data);
    // A stop or a restart asked for from inside a delivery cannot wait for
    // the reader, which waits for that delivery to return.
    bool CalledFromDelivery() const;

    TObject* FOwner;
    std::atomic<bool> FActive{false};
    int FAdapterIndex = -1;
    std::string FAdapterName;
    std::string FAdapterDescription;
    std::vector<std::string> FAdapterNames;
    std::vector<std::string> FAdapterDescriptions;
    std::string FLastError;
    std::unique_ptr<TSnoopThread> FReaderThread;
    pcap_t* FPcapHandle = nullptr;
    PPCAP_PKTHDR FCurrentHeader = nullptr;
    PETHERNET_HDR FCurrentPacket = nullptr;
    int FMainThreadDeliveries = 0;
    // Keeps pcap_stats on the main thread apart from the reader's reads.
    mutable std::mutex FPcapMutex;
};

class TSnoop : public TCustomSnoop {
public:
    using TCustomSnoop::TCustomSnoop;

    TOnCaptureEvent OnCapture;

protected:
    void DoCapture() override;
};

// ---------------------------------------------------------------------------
// Capture dump file: libpcap's file header for an open capture, no packets.

class TSnoopDump : public TObject {
public:
    explicit TSnoopDump(TObject* AOwner = nullptr);
    ~TSnoopDump() override;

    TSnoopDump(const TSnoopDump&) = delete;
    TSnoopDump& operator=(const TSnoopDump&) = delete;

    TObject* Owner() const { return FOwner; }

    // Creates (or empties) FileName and writes the capture's file header.
    // Ignored while a dump is open. The file is created by this process
    // alone: an existing symbolic link or non-regular file of that name is
    // refused, never followed.
    void Open(pcap_t* CaptureHandle, const std::string& FileName);
    void Close();

    bool Active() const { return FActive; }
    const std::string& LastError() const { return FLastError; }
    pcap_dumper_t* DumpHandle() const { return FDumpHandle; }

private:
    TObject* FOwner;
    bool FActive = false;
    std::string FLastError;
    pcap_dumper_t* FDumpHandle = nullptr;
};
