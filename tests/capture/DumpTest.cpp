// The capture dump file on a live loopback capture and on files planted in
// its way, and the capture memory chain.

#include "TestSupport.h"

#include "capture/Snoop.h"
#include "capture/SnoopMemory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fcntl.h>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <functional>

using namespace captest;

namespace {

struct FileHeader {
    std::uint32_t magic = 0;
    std::uint16_t major = 0, minor = 0;
    std::int32_t thiszone = -1;
    std::uint32_t sigfigs = 1, snaplen = 0, linktype = 0;
};

FileHeader ParseHeader(const std::string& bytes)
{
    FileHeader h;
    if (bytes.size() < 24)
        return h;
    const char* p = bytes.data();
    std::memcpy(&h.magic, p, 4);
    std::memcpy(&h.major, p + 4, 2);
    std::memcpy(&h.minor, p + 6, 2);
    std::memcpy(&h.thiszone, p + 8, 4);
    std::memcpy(&h.sigfigs, p + 12, 4);
    std::memcpy(&h.snaplen, p + 16, 4);
    std::memcpy(&h.linktype, p + 20, 4);
    return h;
}

int OpenDescriptors()
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// ---------------------------------------------------------------------------

struct LiveDumpCase {
    const char* name;
    int snapLen;
};

class LiveDumpTest : public testing::TestWithParam<LiveDumpCase> {};

TEST_P(LiveDumpTest, HoldsOnlyTheFileHeaderOfTheCapture)
{
    TTempDir dir;
    TUdpSocket receiver, sender;
    TSnoop snoop;
    TCaptureLog log;
    snoop.OnCapture = log.Handler();
    snoop.SetAdapterName("lo");
    snoop.SnapLen = GetParam().snapLen;
    snoop.Filter = "udp and dst port " + std::to_string(receiver.Port());
    snoop.Open();
    ASSERT_TRUE(snoop.Active()) << snoop.LastError();

    const std::string path = dir.File("temp.$$$");
    const int descriptors = OpenDescriptors();
    TSnoopDump dump;
    dump.Open(snoop.PcapHandle(), path);
    ASSERT_TRUE(dump.Active()) << dump.LastError();
    EXPECT_NE(dump.DumpHandle(), nullptr);
    EXPECT_EQ(dump.LastError(), "");
    EXPECT_EQ(ReadFileBytes(path).size(), 24u) << "the header is in the file while it is open";

    // Packets read meanwhile do not reach the file.
    for (int i = 0; i < 3; ++i)
        sender.SendTo(receiver.Port(), 200);
    ASSERT_TRUE(log.WaitFor(3));
    EXPECT_EQ(ReadFileBytes(path).size(), 24u);

    dump.Close();
    EXPECT_FALSE(dump.Active());
    EXPECT_EQ(dump.DumpHandle(), nullptr);
    EXPECT_EQ(OpenDescriptors(), descriptors);

    const std::string bytes = ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 24u);
    const FileHeader h = ParseHeader(bytes);
    EXPECT_EQ(h.magic, 0xA1B2C3D4u);
    EXPECT_EQ(h.major, 2);
    EXPECT_EQ(h.minor, 4);
    EXPECT_EQ(h.thiszone, 0);
    EXPECT_EQ(h.sigfigs, 0u);
    EXPECT_EQ(h.snaplen, std::uint32_t(GetParam().snapLen));
    EXPECT_EQ(h.linktype, std::uint32_t(pcap_datalink(snoop.PcapHandle())));
    EXPECT_EQ(h.linktype, std::uint32_t(DLT_EN10MB));

    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "only the owner may read what is captured";
}

INSTANTIATE_TEST_SUITE_P(Loopback, LiveDumpTest, testing::ValuesIn(std::vector<LiveDumpCase>{
    {"Snapshot68", 68},
    {"Snapshot1600", 1600},
}), [](const auto& info) { return std::string(info.param.name); });

// A capture handle without an adapter, for the cases that need no traffic.
class DeadCapture : public testing::Test {
protected:
    void SetUp() override { handle_ = pcap_open_dead(DLT_EN10MB, 68); ASSERT_NE(handle_, nullptr); }
    void TearDown() override { pcap_close(handle_); }
    pcap_t* handle_ = nullptr;
    TTempDir dir_;
};

TEST_F(DeadCapture, DumpOutlivesTheCapture)
{
    TSnoop snoop;
    snoop.SetAdapterName("lo");
    snoop.SnapLen = 68;
    snoop.Open();
    ASSERT_TRUE(snoop.Active()) << snoop.LastError();
    TSnoopDump dump;
    dump.Open(snoop.PcapHandle(), dir_.File("dump"));
    ASSERT_TRUE(dump.Active());
    snoop.Close();
    EXPECT_TRUE(dump.Active());
    dump.Close();
    EXPECT_EQ(ParseHeader(ReadFileBytes(dir_.File("dump"))).snaplen, 68u);
}

TEST_F(DeadCapture, SecondOpenIsIgnored)
{
    TSnoopDump dump;
    dump.Open(handle_, dir_.File("first"));
    ASSERT_TRUE(dump.Active());
    pcap_dumper_t* first = dump.DumpHandle();
    dump.Open(handle_, dir_.File("second"));
    EXPECT_TRUE(dump.Active());
    EXPECT_EQ(dump.DumpHandle(), first);
    EXPECT_EQ(dump.LastError(), "");
    EXPECT_FALSE(std::filesystem::exists(dir_.File("second")));
    dump.Close();
    EXPECT_EQ(ReadFileBytes(dir_.File("first")).size(), 24u);
}

TEST_F(DeadCapture, ExistingFileIsTruncatedToTheHeader)
{
    WriteFileBytes(dir_.File("old"), std::string(1000, 'x'));
    TSnoopDump dump;
    dump.Open(handle_, dir_.File("old"));
    ASSERT_TRUE(dump.Active()) << dump.LastError();
    dump.Close();
    const std::string bytes = ReadFileBytes(dir_.File("old"));
    ASSERT_EQ(bytes.size(), 24u);
    EXPECT_EQ(ParseHeader(bytes).magic, 0xA1B2C3D4u);
}

TEST_F(DeadCapture, SuccessKeepsTheEarlierErrorAndCloseWhenClosedDoesNothing)
{
    TSnoopDump dump;
    dump.Close();
    EXPECT_FALSE(dump.Active());
    EXPECT_EQ(dump.LastError(), "");
    dump.Open(handle_, "");
    EXPECT_EQ(dump.LastError(), "Snoop Error: Invalid file name");
    dump.Open(handle_, dir_.File("dump"));
    EXPECT_TRUE(dump.Active());
    EXPECT_EQ(dump.LastError(), "Snoop Error: Invalid file name");
    dump.Close();
    dump.Close();
    EXPECT_FALSE(dump.Active());
    EXPECT_EQ(dump.LastError(), "Snoop Error: Invalid file name");
}

TEST_F(DeadCapture, DestructorClosesTheFile)
{
    const int descriptors = OpenDescriptors();
    {
        TSnoopDump dump;
        dump.Open(handle_, dir_.File("dump"));
        ASSERT_TRUE(dump.Active());
        EXPECT_EQ(OpenDescriptors(), descriptors + 1);
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(ReadFileBytes(dir_.File("dump")).size(), 24u);
}

// ---------------------------------------------------------------------------

struct RefusedCase {
    const char* name;
    // Prepares the folder and returns the file name to open.
    std::function<std::string(const TTempDir&)> plant;
    bool withHandle;
    std::string expectedText; // LastError contains it
    // Checks that what was planted is unharmed.
    std::function<void(const TTempDir&)> unharmed;
};

class RefusedDumpTest : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedDumpTest, StaysClosedWithAClearText)
{
    const auto& c = GetParam();
    TTempDir dir;
    const std::string name = c.plant(dir);
    pcap_t* handle = pcap_open_dead(DLT_EN10MB, 68);
    const int descriptors = OpenDescriptors();
    TSnoopDump dump;
    dump.Open(c.withHandle ? handle : nullptr, name);
    EXPECT_FALSE(dump.Active());
    EXPECT_EQ(dump.DumpHandle(), nullptr);
    EXPECT_EQ(dump.LastError().rfind("Snoop Error: ", 0), 0u) << dump.LastError();
    EXPECT_NE(dump.LastError().find(c.expectedText), std::string::npos) << dump.LastError();
    EXPECT_EQ(OpenDescriptors(), descriptors);
    if (c.unharmed)
        c.unharmed(dir);
    pcap_close(handle);
}

int g_fifoReader = -1;

std::string Planted(const TTempDir& d, const std::function<void(const std::string&)>& make)
{
    make(d.File("temp.$$$"));
    return d.File("temp.$$$");
}

INSTANTIATE_TEST_SUITE_P(Files, RefusedDumpTest, testing::ValuesIn(std::vector<RefusedCase>{
    {"EmptyName", [](const TTempDir&) { return std::string(); }, true, "Snoop Error: Invalid file name", nullptr},
    {"NoCapture", [](const TTempDir& d) { return d.File("dump"); }, false, "No capture", [](const TTempDir& d) {
         EXPECT_FALSE(std::filesystem::exists(d.File("dump")));
     }},
    {"MissingFolder", [](const TTempDir& d) { return d.File("missing/dump"); }, true, std::strerror(ENOENT),
     nullptr},
    {"SymlinkToAFile",
     [](const TTempDir& d) {
         WriteFileBytes(d.File("victim"), "precious");
         return Planted(d, [&](const std::string& at) { std::filesystem::create_symlink(d.File("victim"), at); });
     },
     true, std::strerror(ELOOP),
     [](const TTempDir& d) { EXPECT_EQ(ReadFileBytes(d.File("victim")), "precious"); }},
    {"SymlinkToNowhere",
     [](const TTempDir& d) {
         return Planted(d, [&](const std::string& at) { std::filesystem::create_symlink(d.File("created"), at); });
     },
     true, std::strerror(ELOOP),
     [](const TTempDir& d) { EXPECT_FALSE(std::filesystem::exists(d.File("created"))); }},
    // Without a reader the open itself fails at once instead of waiting for one.
    {"FifoWithoutReader",
     [](const TTempDir& d) { return Planted(d, [](const std::string& at) { mkfifo(at.c_str(), 0600); }); },
     true, std::strerror(ENXIO), nullptr},
    {"FifoWithReader",
     [](const TTempDir& d) {
         return Planted(d, [](const std::string& at) {
             mkfifo(at.c_str(), 0600);
             g_fifoReader = open(at.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
         });
     },
     true, "not a regular file", [](const TTempDir&) {
         EXPECT_GE(g_fifoReader, 0);
         close(g_fifoReader);
         g_fifoReader = -1;
     }},
    {"Directory",
     [](const TTempDir& d) {
         return Planted(d, [](const std::string& at) { std::filesystem::create_directory(at); });
     },
     true, std::strerror(EISDIR), nullptr},
}), [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------

TEST(SnoopMemory, ClearEmptiesAnyChain)
{
    TSnoopMemory memory;
    memory.Clear();
    EXPECT_EQ(memory.FirstBlock, nullptr);
    EXPECT_EQ(memory.BlockCount, 0);

    // Blocks are owned by the chain: Clear frees them (the sanitizer build
    // reports any that remain).
    for (int i = 0; i < 3; ++i) {
        auto* block = new TSnoopMemoryBlock;
        block->Data.resize(64);
        block->Next = memory.FirstBlock;
        memory.FirstBlock = block;
        ++memory.BlockCount;
    }
    memory.Clear();
    EXPECT_EQ(memory.FirstBlock, nullptr);
    EXPECT_EQ(memory.BlockCount, 0);

    auto owned = std::make_unique<TSnoopMemory>();
    owned->FirstBlock = new TSnoopMemoryBlock;
    owned->BlockCount = 1;
    owned.reset(); // the destructor clears
}

} // namespace
