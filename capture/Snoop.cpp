#include "capture/Snoop.h"

#include "platform/Application.h"
#include "platform/Paths.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

// ---------------------------------------------------------------------------
// Address text

std::string IPToStr(std::uint32_t Address)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (Address >> 24) & 0xFF, (Address >> 16) & 0xFF,
                  (Address >> 8) & 0xFF, Address & 0xFF);
    return text;
}

// ---------------------------------------------------------------------------
// Capture component

namespace {

// libpcap fills its error buffers with a zero-terminated text; never trust
// that the zero is there.
std::string ErrorBufferText(const char (&buffer)[PCAP_ERRBUF_SIZE])
{
    return std::string(buffer, strnlen(buffer, PCAP_ERRBUF_SIZE));
}

std::string PermissionHint()
{
    std::string program = ExePath();
    if (program.empty())
        program = "<program>";
    return " (capturing needs root, or the capabilities cap_net_raw and cap_net_admin: "
           "setcap cap_net_raw,cap_net_admin=eip " +
           program + ")";
}

std::string LinkTypeText(int linkType)
{
    const char* name = pcap_datalink_val_to_name(linkType);
    const char* description = pcap_datalink_val_to_description(linkType);
    std::string text = name ? name : "DLT " + std::to_string(linkType);
    if (description)
        text += std::string(" (") + description + ")";
    return text;
}

// The netmask for filters such as "ip broadcast": the first IPv4 netmask of
// the device, in network byte order. Address records of other families
// (packet, IPv6) hold no IPv4 mask and are passed over.
bpf_u_int32 DeviceNetmask(const pcap_if_t* device)
{
    for (const pcap_addr_t* a = device ? device->addresses : nullptr; a; a = a->next) {
        if (a->netmask && a->netmask->sa_family == AF_INET) {
            sockaddr_in mask;
            std::memcpy(&mask, a->netmask, sizeof mask);
            return mask.sin_addr.s_addr;
        }
    }
    return PCAP_NETMASK_UNKNOWN;
}

struct DeviceList {
    pcap_if_t* head = nullptr;
    ~DeviceList()
    {
        if (head)
            pcap_freealldevs(head);
    }
};

} // namespace

TCustomSnoop::TCustomSnoop(TObject* AOwner) : FOwner(AOwner)
{
    LoadAdapterNames(FAdapterNames);
    LoadAdapterDescriptions(FAdapterDescriptions);
    if (!FLastError.empty())
        Application().ShowMessage(FLastError);
    FLastError.clear();
}

TCustomSnoop::~TCustomSnoop()
{
    Close();
    ReleaseReader();
}

void TCustomSnoop::LoadAdapterNames(std::vector<std::string>& List) { LoadAdapterList(List, &pcap_if_t::name); }

void TCustomSnoop::LoadAdapterDescriptions(std::vector<std::string>& List)
{
    LoadAdapterList(List, &pcap_if_t::description);
}

void TCustomSnoop::LoadAdapterList(std::vector<std::string>& List, char* pcap_if_t::*Field)
{
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    DeviceList devices;
    if (pcap_findalldevs(&devices.head, errbuf) != 0) {
        FLastError = ErrorBufferText(errbuf);
        return;
    }
    for (const pcap_if_t* d = devices.head; d; d = d->next)
        List.emplace_back(d->*Field ? d->*Field : "");
    FLastError.clear();
}

void TCustomSnoop::SelectAdapter(int Index)
{
    if (Index < 0 || (size_t(Index) >= FAdapterNames.size() && size_t(Index) >= FAdapterDescriptions.size())) {
        FAdapterIndex = -1;
        FAdapterName.clear();
        FAdapterDescription.clear();
        return;
    }
    // The two lists come from separate enumerations; a position missing from
    // one of them leaves that text empty.
    FAdapterIndex = Index;
    FAdapterName = size_t(Index) < FAdapterNames.size() ? FAdapterNames[size_t(Index)] : std::string();
    FAdapterDescription =
        size_t(Index) < FAdapterDescriptions.size() ? FAdapterDescriptions[size_t(Index)] : std::string();
}

void TCustomSnoop::SetAdapterIndex(int Value)
{
    if (Value == FAdapterIndex)
        return;
    SelectAdapter(Value >= 0 && size_t(Value) < FAdapterNames.size() ? Value : -1);
}

void TCustomSnoop::SetAdapterName(const std::string& Value)
{
    if (Value == FAdapterName)
        return;
    for (size_t i = 0; i < FAdapterNames.size(); ++i) {
        if (FAdapterNames[i] == Value) {
            SelectAdapter(int(i));
            return;
        }
    }
    SelectAdapter(-1);
}

void TCustomSnoop::SetAdapterDescription(const std::string& Value)
{
    if (Value == FAdapterDescription)
        return;
    for (size_t i = 0; i < FAdapterDescriptions.size(); ++i) {
        if (FAdapterDescriptions[i] == Value) {
            SelectAdapter(int(i));
            return;
        }
    }
    SelectAdapter(-1);
}

void TCustomSnoop::Open()
{
    if (Active()) {
        FLastError = "Snoop Error: Already open";
        return;
    }
    if (FReaderThread) {
        // A reader stopped from inside one of its own deliveries is still
        // finishing that delivery and cannot be waited for here.
        if (CalledFromDelivery() && !FReaderThread->Finished()) {
            FLastError = "Snoop Error: Reader still stopping";
            return;
        }
        ReleaseReader();
    }

    char errbuf[PCAP_ERRBUF_SIZE] = {};
    DeviceList devices;
    if (pcap_findalldevs(&devices.head, errbuf) != 0) {
        FLastError = ErrorBufferText(errbuf);
        return;
    }
    const pcap_if_t* device = nullptr;
    if (!FAdapterName.empty()) {
        for (const pcap_if_t* d = devices.head; d && !device; d = d->next)
            if (d->name && FAdapterName == d->name)
                device = d;
    }
    if (!device) {
        FLastError = "Snoop Error: Invalid AdapterName";
        return;
    }
    OpenAdapter(FAdapterName, device);
    if (Active())
        StartReader();
}

void TCustomSnoop::OpenAdapter(const std::string& DeviceName, const pcap_if_t* Device)
{
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_create(DeviceName.c_str(), errbuf);
    if (!handle) {
        FLastError = ErrorBufferText(errbuf);
        return;
    }
    pcap_set_snaplen(handle, SnapLen);
    pcap_set_promisc(handle, Flags & 1);
    pcap_set_timeout(handle, ReadTimeOut);
    if (BufferSize > 0)
        pcap_set_buffer_size(handle, BufferSize);
    const int status = pcap_activate(handle);
    if (status < 0) {
        // A warning (status > 0) is not a failure.
        std::string text = pcap_geterr(handle);
        if (text.empty())
            text = pcap_statustostr(status);
        if (status == PCAP_ERROR_PERM_DENIED || status == PCAP_ERROR_PROMISC_PERM_DENIED)
            text += PermissionHint();
        FLastError = text;
        pcap_close(handle);
        return;
    }
    // The decoders read Ethernet II frames; any other link layer would have
    // its bytes misread as Ethernet and IPv4 headers.
    const int linkType = pcap_datalink(handle);
    if (linkType != DLT_EN10MB) {
        FLastError = "Snoop Error: Adapter " + DeviceName + " has link type " + LinkTypeText(linkType) +
                     "; only Ethernet (EN10MB) adapters can be captured";
        pcap_close(handle);
        return;
    }
    // The reader waits on the descriptor itself, bounded by the read
    // time-out: libpcap's own blocking read on Linux returns only when a
    // packet arrives, so a stop request would never be seen on a quiet
    // adapter.
    if (pcap_get_selectable_fd(handle) >= 0 && pcap_setnonblock(handle, 1, errbuf) < 0) {
        FLastError = ErrorBufferText(errbuf);
        pcap_close(handle);
        return;
    }
    FPcapHandle = handle;
    if (ApplyFilter(Device)) {
        FActive.store(true, std::memory_order_release);
    } else {
        pcap_close(FPcapHandle);
        FPcapHandle = nullptr;
    }
}

bool TCustomSnoop::ApplyFilter(const pcap_if_t* Device)
{
    bpf_program program{};
    if (pcap_compile(FPcapHandle, &program, Filter.c_str(), 1, DeviceNetmask(Device)) < 0) {
        FLastError = pcap_geterr(FPcapHandle);
        return false;
    }
    const int result = pcap_setfilter(FPcapHandle, &program);
    pcap_freecode(&program);
    if (result < 0) {
        FLastError = pcap_geterr(FPcapHandle);
        return false;
    }
    return true;
}

void TCustomSnoop::StartReader()
{
    FReaderThread = std::make_unique<TSnoopThread>(this);
    FReaderThread->FReadTimeOut = ReadTimeOut;
    FReaderThread->OnTerminate = [this](TObject* Sender) { ReaderTerminated(Sender); };
    FReaderThread->FreeOnTerminate = false;
    FReaderThread->Resume();
}

void TCustomSnoop::ReleaseReader()
{
    if (!FReaderThread)
        return;
    FReaderThread->TerminateAndWait();
    FReaderThread.reset();
}

void TCustomSnoop::ReaderTerminated(TObject* Sender)
{
    if (auto* reader = dynamic_cast<TSnoopThread*>(Sender); reader && !reader->ErrorText().empty())
        FLastError = reader->ErrorText();
    FActive.store(false, std::memory_order_release);
    if (FPcapHandle) {
        pcap_close(FPcapHandle);
        FPcapHandle = nullptr;
    }
}

bool TCustomSnoop::CalledFromDelivery() const
{
    if (!FReaderThread)
        return false;
    if (FReaderThread->IsReaderThread())
        return true;
    return FMainThreadDeliveries > 0 && MainThread::IsCurrent();
}

void TCustomSnoop::Close()
{
    if (!Active())
        return;
    if (!FReaderThread) {
        FLastError = "Snoop Error: No thread to stop";
        Application().ShowMessage(FLastError);
        return;
    }
    FActive.store(false, std::memory_order_release);
    if (CalledFromDelivery()) {
        // The reader ends once this delivery has returned; its termination
        // handler closes the capture, and the next Open or the destructor
        // releases the thread.
        FReaderThread->Terminate();
        return;
    }
    FReaderThread->TerminateAndWait();
    FReaderThread.reset();
}

bool TCustomSnoop::Stats(TSnoopStats& Result) const
{
    if (!FPcapHandle)
        return false;
    pcap_stat st{};
    {
        std::lock_guard lock(FPcapMutex);
        if (pcap_stats(FPcapHandle, &st) != 0)
            return false;
    }
    Result.Received = st.ps_recv;
    Result.Dropped = st.ps_drop;
    Result.IfDropped = st.ps_ifdrop;
    return true;
}

void TCustomSnoop::Deliver(PPCAP_PKTHDR Header, const std::uint8_t* Data)
{
    FCurrentHeader = Header;
    FCurrentPacket = reinterpret_cast<PETHERNET_HDR>(Data);
    DoCapture();
}

void TSnoop::DoCapture()
{
    if (OnCapture)
        OnCapture(this, CurrentHeader(), CurrentPacket());
}

// ---------------------------------------------------------------------------
// Reader thread

TSnoopThread::TSnoopThread(TCustomSnoop* ASnoopComponent) : SnoopComponent(ASnoopComponent) {}

void TSnoopThread::TerminateAndWait()
{
    Terminate();
    WaitFor();
}

namespace {

// Where a packet's bytes start in the batch: aligned as in libpcap's own
// buffer, so no decoder meets an address that it would not meet there.
constexpr std::size_t kPacketAlign = 16;

// Counts the main-thread deliveries in progress for CalledFromDelivery.
struct DeliveryCount {
    int& n;
    explicit DeliveryCount(int& count) : n(count) { ++n; }
    ~DeliveryCount() { --n; }
};

} // namespace

void TSnoopThread::Keep(const pcap_pkthdr* Header, const u_char* Data)
{
    // libpcap's header and bytes are gone with the next read: copy both.
    const std::size_t offset = (FBytes.size() + kPacketAlign - 1) & ~(kPacketAlign - 1);
    FBytes.resize(offset);
    FBytes.insert(FBytes.end(), Data, Data + Header->caplen);
    FEntries.push_back({*Header, offset});
}

// Fills the batch with what libpcap has ready, waiting up to the read
// time-out for the first packet. Returns 1 when the batch ended full or at a
// stop request, 0 when no more packets were ready, and pcap_next_ex's
// negative result on an error (the packets read before it stay in the
// batch).
int TSnoopThread::ReadBatch(pcap_t* Handle, int Fd, int WaitMs)
{
    FEntries.clear();
    FBytes.clear();
    std::unique_lock lock(SnoopComponent->FPcapMutex);
    for (;;) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        int r = pcap_next_ex(Handle, &header, &data);
        if (r == 0 && FEntries.empty() && Fd >= 0) {
            // Nothing ready: wait on the descriptor, which also wakes for an
            // error on the socket (the adapter went away) that the next read
            // then reports.
            lock.unlock();
            pollfd p{Fd, POLLIN, 0};
            const int ready = poll(&p, 1, WaitMs);
            lock.lock();
            if (ready == 0)
                return 0;
            r = pcap_next_ex(Handle, &header, &data);
        }
        if (r != 1)
            return r;
        Keep(header, data);
        // Without a descriptor to wait on the handle blocks, so a batch
        // holds one packet.
        if (Fd < 0 || FEntries.size() >= BatchPackets || FBytes.size() >= BatchBytes || Terminated())
            return 1;
    }
}

// Delivers the packets of the batch from From on while they belong to this
// thread: on the main thread while ThreadSafe is true, on the reader while
// it is false. A stop request or the application's end stops the delivery
// before the next packet. Returns where it stopped.
std::size_t TSnoopThread::DeliverRun(std::size_t From, bool OnMainThread, bool& Stopped)
{
    TCustomSnoop* snoop = SnoopComponent;
    for (; From < FEntries.size(); ++From) {
        if (Terminated() || Application().Terminated()) {
            Stopped = true;
            break;
        }
        if (snoop->ThreadSafe.load() != OnMainThread)
            break;
        const TBatchEntry& entry = FEntries[From];
        snoop->Deliver(&entry.Header, FBytes.data() + entry.Offset);
    }
    return From;
}

// Delivers the whole batch in order; false when a stop request or the
// application's end cut it short. A handler's exception goes through.
bool TSnoopThread::DeliverBatch()
{
    TCustomSnoop* snoop = SnoopComponent;
    std::size_t next = 0;
    bool stopped = false;
    while (next < FEntries.size() && !stopped) {
        if (snoop->ThreadSafe.load()) {
            Synchronize([&] {
                DeliveryCount counting(snoop->FMainThreadDeliveries);
                next = DeliverRun(next, true, stopped);
            });
        } else {
            next = DeliverRun(next, false, stopped);
        }
    }
    return !stopped;
}

void TSnoopThread::Execute()
{
    FThreadId.store(std::this_thread::get_id());
    if (!SnoopComponent)
        return;
    pcap_t* handle = SnoopComponent->PcapHandle();
    const int fd = pcap_get_selectable_fd(handle);
    // A time-out of zero means "none" to libpcap; the reader still has to
    // look at its stop request now and then.
    const int waitMs = FReadTimeOut > 0 ? FReadTimeOut : 100;
    FEntries.reserve(BatchPackets);
    FBytes.reserve(BatchBytes + std::size_t(std::max(pcap_snapshot(handle), 0)) + kPacketAlign);

    while (!Terminated()) {
        const int r = ReadBatch(handle, fd, waitMs);
        // Packets read after a stop request are not delivered.
        if (Terminated() || Application().Terminated())
            break;
        if (!FEntries.empty() && !DeliverBatch())
            break;
        if (r < 0) {
            FErrorText = "Snoop Error: pcap_next_ex return " + std::to_string(r);
            break;
        }
    }
    FEntries.clear();
    FBytes.clear();
}

// ---------------------------------------------------------------------------
// Capture dump file

TSnoopDump::TSnoopDump(TObject* AOwner) : FOwner(AOwner) {}

TSnoopDump::~TSnoopDump() { Close(); }

void TSnoopDump::Open(pcap_t* CaptureHandle, const std::string& FileName)
{
    if (FActive)
        return;
    if (FileName.empty()) {
        FLastError = "Snoop Error: Invalid file name";
        return;
    }
    if (!CaptureHandle) {
        FLastError = "Snoop Error: No capture to dump";
        return;
    }
    // Opened here rather than by pcap_dump_open, which would follow a
    // symbolic link that someone else planted under this name. O_NONBLOCK
    // keeps a planted FIFO from blocking the open; it is refused below.
    const int fd = ::open(FileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        FLastError = "Snoop Error: Cannot create " + FileName + ": " + std::strerror(errno);
        return;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        FLastError = "Snoop Error: Cannot create " + FileName + ": not a regular file";
        ::close(fd);
        return;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* file = fdopen(fd, "wb");
    if (!file) {
        FLastError = "Snoop Error: Cannot create " + FileName + ": " + std::strerror(errno);
        ::close(fd);
        return;
    }
    pcap_dumper_t* dumper = pcap_dump_fopen(CaptureHandle, file);
    if (!dumper) {
        // libpcap has already closed the stream when it failed to write the
        // header; its only other refusal, a link type that savefiles cannot
        // hold, does not arise for the Ethernet captures opened here.
        FLastError = pcap_geterr(CaptureHandle);
        return;
    }
    // The header reaches the file now, not only when the dump is closed.
    pcap_dump_flush(dumper);
    FDumpHandle = dumper;
    FActive = true;
}

void TSnoopDump::Close()
{
    if (!FActive)
        return;
    pcap_dump_close(FDumpHandle);
    FDumpHandle = nullptr;
    FActive = false;
}
