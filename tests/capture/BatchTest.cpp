// Bursts into a veth pair: every packet arrives once, in capture order, on the
// chosen thread, with its own bytes behind the pointers it is handed; a stop
// or a failing handler in the middle of a burst ends the deliveries there;
// the kernel buffer holds a burst while the main thread is busy; libpcap's
// counters tell what was received and dropped.

#include "TestSupport.h"

#include "capture/Snoop.h"
#include "platform/Application.h"
#include "platform/Threads.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>

using namespace captest;

namespace {

constexpr size_t kHeaders = 14 + 20 + 8; // Ethernet, IPv4, UDP

// Payload of datagram seq: its number (big-endian), then bytes that depend
// on it, so a packet delivered with another packet's bytes shows.
std::vector<std::uint8_t> Payload(std::uint32_t seq, size_t size)
{
    std::vector<std::uint8_t> p(std::max<size_t>(size, 4));
    const std::uint32_t n = htonl(seq);
    std::memcpy(p.data(), &n, 4);
    for (size_t i = 4; i < p.size(); ++i)
        p[i] = std::uint8_t(seq * 7 + i);
    return p;
}

// Sends numbered UDP datagrams, 192.0.2.1:1234 -> 198.51.100.2:4242, as raw
// Ethernet frames out of one end of a veth pair, as fast as the socket takes
// them; they arrive at the other end.
class TFrameSender {
public:
    explicit TFrameSender(const std::string& ifname)
    {
        fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            throw std::runtime_error(std::string("packet socket: ") + std::strerror(errno));
        to_.sll_family = AF_PACKET;
        to_.sll_ifindex = int(if_nametoindex(ifname.c_str()));
        to_.sll_halen = ETH_ALEN;
        std::memset(to_.sll_addr, 0xFF, ETH_ALEN);
    }
    ~TFrameSender() { close(fd_); }

    void Send(std::uint32_t first, std::uint32_t count, size_t size) const
    {
        for (std::uint32_t seq = first; seq < first + count; ++seq) {
            const auto frame = Frame(seq, size);
            ssize_t sent;
            do
                sent = sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
            while (sent < 0 && errno == EINTR);
            if (sent != ssize_t(frame.size()))
                throw std::runtime_error(std::string("sendto: ") + std::strerror(errno));
        }
    }

    static std::vector<std::uint8_t> Frame(std::uint32_t seq, size_t size)
    {
        const auto payload = Payload(seq, size);
        const std::uint16_t udpLength = std::uint16_t(8 + payload.size());
        const std::uint16_t totalLength = std::uint16_t(20 + udpLength);
        std::vector<std::uint8_t> f = {
            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00, 0x00, 0x07, 0x08, 0x00,
            0x45, 0x00, std::uint8_t(totalLength >> 8), std::uint8_t(totalLength), 0x00, 0x01, 0x00, 0x00,
            0x40, 0x11, 0x00, 0x00, 0xC0, 0x00, 0x02, 0x01, 0xC6, 0x33, 0x64, 0x02,
            0x04, 0xD2, 0x10, 0x92, std::uint8_t(udpLength >> 8), std::uint8_t(udpLength), 0x00, 0x00};
        f.insert(f.end(), payload.begin(), payload.end());
        return f;
    }

private:
    int fd_ = -1;
    sockaddr_ll to_{};
};

// One delivery as the handler saw it.
struct TSeen {
    std::uint32_t Seq = 0;
    std::thread::id Thread;
    bool OnReaderThread = false;
    bool PointersAreCurrent = false; // the arguments are CurrentHeader/CurrentPacket
    bool BytesIntact = false;        // the frame holds this datagram's bytes
};

// Records deliveries from either thread and wakes the main thread's waits.
class TBurstLog {
public:
    void Record(const TSnoop& snoop, PPCAP_PKTHDR header, PETHERNET_HDR frame, size_t payloadSize)
    {
        TSeen s;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(frame);
        if (header->caplen >= kHeaders + 4) {
            std::uint32_t n;
            std::memcpy(&n, bytes + kHeaders, 4);
            s.Seq = ntohl(n);
            const auto want = Payload(s.Seq, payloadSize);
            s.BytesIntact = header->caplen == kHeaders + want.size() && header->len == header->caplen &&
                            std::memcmp(bytes + kHeaders, want.data(), want.size()) == 0;
        }
        s.Thread = std::this_thread::get_id();
        s.OnReaderThread = snoop.ReaderThread() && snoop.ReaderThread()->IsReaderThread();
        s.PointersAreCurrent = snoop.CurrentHeader() == header && snoop.CurrentPacket() == frame;
        {
            std::lock_guard lock(mutex_);
            seen_.push_back(s);
        }
        count_.fetch_add(1);
        MainThread::Notify();
    }
    size_t Count() const { return count_.load(); }
    std::vector<TSeen> Seen() const
    {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<TSeen> seen_;
    std::atomic<size_t> count_{0};
};

// A capture on one end of a veth pair; the test sends into the other end.
class VethBurst : public testing::Test {
protected:
    void SetUp() override
    {
        if (!veth_.Created())
            GTEST_SKIP() << "cannot create a veth pair here";
        sender_ = std::make_unique<TFrameSender>(veth_.B());
        snoop_ = std::make_unique<TSnoop>(); // enumerates after the pair exists
        snoop_->SetAdapterName(veth_.A());
        ASSERT_EQ(snoop_->AdapterName(), veth_.A());
        snoop_->Filter = "udp and dst port 4242";
    }

    void TearDown() override { snoop_.reset(); }

    // Sequence numbers seen, in delivery order.
    std::vector<std::uint32_t> Sequence() const
    {
        std::vector<std::uint32_t> out;
        for (const auto& s : log_.Seen())
            out.push_back(s.Seq);
        return out;
    }

    static std::vector<std::uint32_t> Range(std::uint32_t count)
    {
        std::vector<std::uint32_t> out(count);
        for (std::uint32_t i = 0; i < count; ++i)
            out[i] = i;
        return out;
    }

    // Waits until the reader has ended and its end has been handled.
    bool ReaderEnded(int timeoutMs = 5000)
    {
        return MainThread::WaitUntil(
            [&] { return snoop_->PcapHandle() == nullptr && snoop_->ReaderThread() && snoop_->ReaderThread()->Finished(); },
            timeoutMs);
    }

    TVethPair veth_;
    std::unique_ptr<TFrameSender> sender_;
    std::unique_ptr<TSnoop> snoop_;
    TBurstLog log_;
    const std::thread::id mainThread_ = std::this_thread::get_id();
};

// ---------------------------------------------------------------------------

struct BurstCase {
    const char* name;
    bool threadSafe;
    size_t payload;
    int bufferSize;   // the component's BufferSize
    std::uint32_t count;
    bool expectDrops; // the burst overflows the kernel buffer
};

class BurstTest : public VethBurst, public testing::WithParamInterface<BurstCase> {};

// The whole burst is sent before the main thread serves a single hand-over,
// as when the tray is busy: the kernel buffer has to hold what the reader's
// batch cannot.
TEST_P(BurstTest, EveryPacketOnceInOrderOnTheChosenThread)
{
    const auto& c = GetParam();
    TWatchdog watchdog(60000, "a burst into a veth pair");
    snoop_->ThreadSafe = c.threadSafe;
    snoop_->BufferSize = c.bufferSize;
    snoop_->OnCapture = [&](TObject*, PPCAP_PKTHDR header, PETHERNET_HDR frame) {
        log_.Record(*snoop_, header, frame, c.payload);
    };
    TSnoopStats stats;
    EXPECT_FALSE(snoop_->Stats(stats)) << "no counters before Open";
    snoop_->Open();
    ASSERT_TRUE(snoop_->Active()) << snoop_->LastError();
    // The kernel also counts what arrived before the filter was in place
    // (the new interface's own first frames), which libpcap then discards.
    TSnoopStats before;
    ASSERT_TRUE(snoop_->Stats(before));

    sender_->Send(0, c.count, c.payload);

    // Every datagram reached the capture: the kernel has counted it as
    // received, delivered or dropped.
    const auto counted = [&] {
        if (!snoop_->Stats(stats))
            return false;
        stats.Received -= before.Received;
        stats.Dropped -= before.Dropped;
        return true;
    };
    ASSERT_TRUE(MainThread::WaitUntil([&] { return counted() && stats.Received >= c.count; }, 10000))
        << "received " << stats.Received;
    ASSERT_TRUE(MainThread::WaitUntil([&] { return log_.Count() + stats.Dropped >= c.count; }, 20000))
        << "delivered " << log_.Count() << ", dropped " << stats.Dropped;
    ASSERT_TRUE(counted());
    snoop_->Close();
    TSnoopStats after;
    EXPECT_FALSE(snoop_->Stats(after)) << "no counters after Close";

    SCOPED_TRACE("received " + std::to_string(stats.Received) + ", dropped " + std::to_string(stats.Dropped) +
                 ", delivered " + std::to_string(log_.Count()));
    EXPECT_EQ(stats.Received, c.count);
    EXPECT_EQ(log_.Count() + stats.Dropped, c.count);
    if (c.expectDrops) {
        EXPECT_GT(stats.Dropped, 0u) << "the burst should not fit libpcap's default buffer";
    } else {
        EXPECT_EQ(stats.Dropped, 0u);
        EXPECT_EQ(Sequence(), Range(c.count));
    }

    const auto seen = log_.Seen();
    std::set<std::thread::id> threads;
    std::uint32_t previous = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
        const TSeen& s = seen[i];
        SCOPED_TRACE("delivery " + std::to_string(i) + ", datagram " + std::to_string(s.Seq));
        // Whatever was dropped, the rest keeps its order and comes once.
        if (i > 0) {
            ASSERT_GT(s.Seq, previous);
        }
        previous = s.Seq;
        ASSERT_TRUE(s.BytesIntact);
        ASSERT_TRUE(s.PointersAreCurrent);
        ASSERT_EQ(s.Thread == mainThread_, c.threadSafe);
        ASSERT_EQ(s.OnReaderThread, !c.threadSafe);
        threads.insert(s.Thread);
    }
    EXPECT_EQ(threads.size(), 1u) << "one reader, or the main thread, delivers everything";
}

INSTANTIATE_TEST_SUITE_P(Veth, BurstTest, testing::ValuesIn(std::vector<BurstCase>{
    // name                 thread-safe  payload  buffer            count  drops
    {"MainThread",          true,          32,    32 * 1024 * 1024, 5000,  false},
    {"ReaderThread",        false,         32,    32 * 1024 * 1024, 5000,  false},
    {"MainThreadBigFrames", true,        1000,    32 * 1024 * 1024, 5000,  false},
    {"DefaultBufferDrops",  true,        1000,    0,                8000,  true },
}), [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------

enum class StopBy { Close, ApplicationEnd, Exception };

struct StopCase {
    const char* name;
    bool threadSafe;
    StopBy by;
};

class StopMidBurstTest : public VethBurst, public testing::WithParamInterface<StopCase> {};

// The handler stops the capture at one datagram of a burst whose packets are
// all ready by then, so the stop falls inside a batch: nothing after it is
// delivered, and the component ends Closed without an error text.
TEST_P(StopMidBurstTest, NothingIsDeliveredAfterTheStop)
{
    const auto& c = GetParam();
    TWatchdog watchdog(20000, "a stop in the middle of a burst");
    struct ResetOnExit {
        ~ResetOnExit() { Application().ResetTerminated(); }
    } reset;
    constexpr std::uint32_t kCount = 400, kStopAt = 57;
    snoop_->ThreadSafe = c.threadSafe;
    snoop_->OnCapture = [&](TObject*, PPCAP_PKTHDR header, PETHERNET_HDR frame) {
        log_.Record(*snoop_, header, frame, 32);
        if (log_.Seen().back().Seq != kStopAt)
            return;
        switch (c.by) {
        case StopBy::Close: snoop_->Close(); break;
        case StopBy::ApplicationEnd: Application().Terminate(); break;
        case StopBy::Exception: throw std::runtime_error("handler failed");
        }
    };
    snoop_->Open();
    ASSERT_TRUE(snoop_->Active()) << snoop_->LastError();
    sender_->Send(0, kCount, 32);

    ASSERT_TRUE(ReaderEnded()) << "delivered " << log_.Count();
    EXPECT_FALSE(snoop_->Active());
    EXPECT_EQ(snoop_->LastError(), "");
    EXPECT_EQ(Sequence(), Range(kStopAt + 1));
    // Nothing comes later either.
    MainThread::WaitUntil([&] { return log_.Count() > kStopAt + 1; }, 300);
    EXPECT_EQ(log_.Count(), kStopAt + 1);

    // The component opens again and delivers.
    Application().ResetTerminated();
    snoop_->OnCapture = [&](TObject*, PPCAP_PKTHDR header, PETHERNET_HDR frame) {
        log_.Record(*snoop_, header, frame, 32);
    };
    snoop_->Open();
    ASSERT_TRUE(snoop_->Active()) << snoop_->LastError();
    sender_->Send(1000, 3, 32);
    ASSERT_TRUE(MainThread::WaitUntil([&] { return log_.Count() == kStopAt + 4; }, 5000));
    snoop_->Close();
    const auto seq = Sequence();
    EXPECT_EQ(std::vector<std::uint32_t>(seq.end() - 3, seq.end()), (std::vector<std::uint32_t>{1000, 1001, 1002}));
}

INSTANTIATE_TEST_SUITE_P(Veth, StopMidBurstTest, testing::ValuesIn(std::vector<StopCase>{
    // name                          thread-safe  stop by
    {"CloseOnMainThread",            true,        StopBy::Close},
    {"CloseOnReaderThread",          false,       StopBy::Close},
    {"ApplicationEndOnMainThread",   true,        StopBy::ApplicationEnd},
    {"ApplicationEndOnReaderThread", false,       StopBy::ApplicationEnd},
    {"ExceptionOnMainThread",        true,        StopBy::Exception},
    {"ExceptionOnReaderThread",      false,       StopBy::Exception},
}), [](const auto& info) { return std::string(info.param.name); });

// ThreadSafe is read for every packet: switched off in the middle of a
// batch, the rest of that batch goes to the reader thread, still in order.
TEST_F(VethBurst, ThreadSafeSwitchedOffMidBurstMovesTheRestToTheReader)
{
    TWatchdog watchdog(20000, "switching ThreadSafe during a burst");
    constexpr std::uint32_t kCount = 400, kSwitchAt = 99;
    snoop_->OnCapture = [&](TObject*, PPCAP_PKTHDR header, PETHERNET_HDR frame) {
        log_.Record(*snoop_, header, frame, 32);
        if (log_.Seen().back().Seq == kSwitchAt)
            snoop_->ThreadSafe = false;
    };
    snoop_->Open();
    ASSERT_TRUE(snoop_->Active()) << snoop_->LastError();
    sender_->Send(0, kCount, 32);
    ASSERT_TRUE(MainThread::WaitUntil([&] { return log_.Count() >= kCount; }, 10000)) << log_.Count();
    snoop_->Close();

    EXPECT_EQ(Sequence(), Range(kCount));
    for (const TSeen& s : log_.Seen()) {
        SCOPED_TRACE(s.Seq);
        EXPECT_EQ(s.Thread == mainThread_, s.Seq <= kSwitchAt);
        EXPECT_EQ(s.OnReaderThread, s.Seq > kSwitchAt);
        EXPECT_TRUE(s.BytesIntact);
    }
}

} // namespace
