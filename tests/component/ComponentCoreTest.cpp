// The component's settings, Start and Stop on the loopback adapter, the dump
// file, and destruction while capturing.

#include "TestFrames.h"
#include "TestSupport.h"

#include "platform/Paths.h"
#include "platform/Threads.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

// Keeps an environment variable changed for one scope.
class EnvOverride {
public:
    EnvOverride(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvOverride()
    {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

int LoopbackIndex(const TVarno& varno)
{
    const auto& names = varno.AdapterNames();
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == "lo")
            return int(i);
    return -1;
}

std::vector<std::uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::uint32_t LE32(const std::vector<std::uint8_t>& b, size_t at)
{
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

// Sends UDP datagrams to 127.0.0.1:port until stopped.
class LoopbackSender {
public:
    explicit LoopbackSender(std::uint16_t port) : port_(port), thread_([this] { Run(); }) {}
    ~LoopbackSender()
    {
        stop_ = true;
        thread_.join();
    }

private:
    void Run()
    {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port_);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const char payload[] = "varno component test";
        while (!stop_) {
            sendto(fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // pacing, not synchronisation
        }
        close(fd);
    }

    std::uint16_t port_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class ComponentCore : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The name-query timer is a Qt timer.
        static int argc = 1;
        static char name[] = "component_tests";
        static char* argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
    }

    // The dump file goes to a private folder of this test.
    ScratchDir runtime;
    EnvOverride xdg{"XDG_RUNTIME_DIR", runtime.Path().c_str()};
};

TEST_F(ComponentCore, ConstructionDefaults)
{
    TVarno varno;
    EXPECT_EQ(varno.AdapterIndex, 0);
    EXPECT_FALSE(varno.NameResolution());
    EXPECT_EQ(varno.MaximumNameQueryThreads, 2);
    EXPECT_TRUE(varno.LoadAndSaveIPNames);
    EXPECT_EQ(varno.ListenMethod, 0);
    EXPECT_EQ(varno.NodeLifeTime, 10);
    EXPECT_TRUE(varno.ListFirstRangeMatchOnly);
    EXPECT_TRUE(varno.AllowRanges.empty());
    EXPECT_TRUE(varno.NodeList().empty());
    EXPECT_TRUE(varno.RouteList().empty());
    EXPECT_TRUE(varno.NameQueryQueue.empty());
    EXPECT_EQ(varno.RunningNameQueries(), 0);
    EXPECT_EQ(varno.CurrentStamp(), 0);
    EXPECT_FALSE(varno.Capturing());
    EXPECT_EQ(varno.DumpFileName(), "");
    EXPECT_EQ(varno.AdapterDescriptions().size(), varno.AdapterNames().size());
    EXPECT_GE(LoopbackIndex(varno), 0) << "the adapter list holds the loopback adapter";
}

TEST_F(ComponentCore, NameResolutionIsTheTimerStateAndStartsNothing)
{
    TVarno varno;
    varno.NameQueryQueue = {"10.0.0.1", "10.0.0.2"};
    varno.SetNameResolution(true);
    EXPECT_TRUE(varno.NameResolution());
    varno.MaximumNameQueryThreads = 5;
    EXPECT_EQ(varno.RunningNameQueries(), 0);
    EXPECT_EQ(varno.NameQueryQueue.size(), 2u);
    varno.SetNameResolution(false);
    EXPECT_FALSE(varno.NameResolution());
}

TEST_F(ComponentCore, StartWithoutAdapterRaises)
{
    TVarno varno;
    varno.AdapterIndex = -1;
    try {
        varno.Start();
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "You must choose an adapter index");
    }
    EXPECT_FALSE(varno.Capturing());
    EXPECT_EQ(varno.CaptureLastError(), "");
    EXPECT_FALSE(fs::exists(TVarno::DumpFilePath()));
}

TEST_F(ComponentCore, StartWithAnIndexOutsideTheListDoesNotCapture)
{
    TVarno varno;
    for (const int index : {int(varno.AdapterNames().size()), int(varno.AdapterNames().size()) + 7, -2}) {
        varno.AdapterIndex = index;
        EXPECT_NO_THROW(varno.Start()) << "index " << index;
        EXPECT_FALSE(varno.Capturing()) << "index " << index;
        EXPECT_EQ(varno.CaptureLastError(), "Snoop Error: Invalid AdapterName") << "index " << index;
        EXPECT_FALSE(fs::exists(TVarno::DumpFilePath())) << "index " << index;
    }
}

TEST_F(ComponentCore, StartCapturesOnLoopbackAndStopDeletesTheDumpFile)
{
    TVarno varno;
    varno.AdapterIndex = LoopbackIndex(varno);
    ASSERT_GE(varno.AdapterIndex, 0);
    varno.AllowRanges.push_back(AnyRule());
    varno.ListFirstRangeMatchOnly = false;
    varno.NodeNamesFile = runtime.File("Nodes.ini");
    Recorder rec;
    rec.Attach(varno);

    varno.Start();
    ASSERT_TRUE(varno.Capturing()) << varno.CaptureLastError();
    const std::string dump = TVarno::DumpFilePath();
    EXPECT_EQ(varno.DumpFileName(), dump);
    EXPECT_EQ(fs::path(dump).parent_path(), runtime.Path());
    EXPECT_EQ(fs::path(dump).filename(), "temp.$$$");

    // libpcap's file header only: magic, version 2.4, snapshot length 68, Ethernet.
    const auto header = ReadBytes(dump);
    ASSERT_EQ(header.size(), 24u);
    EXPECT_EQ(LE32(header, 0), 0xA1B2C3D4u);
    EXPECT_EQ(LE32(header, 16), 68u);
    EXPECT_EQ(LE32(header, 20), std::uint32_t(DLT_EN10MB));

    // Real datagrams on the adapter reach the handler on this thread.
    const std::uint16_t port = 47000 + std::uint16_t(getpid() % 1000);
    {
        LoopbackSender sender(port);
        const bool seen = MainThread::WaitUntil(
            [&] {
                for (const auto& e : rec.Events)
                    if (e.Kind == "UDPUpdate" && e.DestPort == port)
                        return true;
                return false;
            },
            10000);
        ASSERT_TRUE(seen) << "no datagram to port " << port << " seen";
    }
    for (const auto& e : rec.Events) {
        if (e.Kind != "UDPUpdate" || e.DestPort != port)
            continue;
        EXPECT_EQ(e.SourceIP, "127.0.0.1");
        EXPECT_EQ(e.DestIP, "127.0.0.1");
        EXPECT_EQ(e.DataAmount, 20 + 8 + 21);
        EXPECT_EQ(e.MatchedRanges, "1");
        EXPECT_EQ(e.Sender, &varno);
    }
    EXPECT_GE(varno.FindTerminatingNode("127.0.0.1"), 0);
    EXPECT_EQ(ReadBytes(dump).size(), 24u) << "no packet is written to the dump file";

    varno.Stop();
    EXPECT_FALSE(varno.Capturing());
    EXPECT_FALSE(fs::exists(dump));
    EXPECT_GE(varno.FindTerminatingNode("127.0.0.1"), 0) << "Stop keeps the hosts";
}

TEST_F(ComponentCore, StartTwiceKeepsCapturingAndRecreatesTheDumpFile)
{
    TVarno varno;
    varno.AdapterIndex = LoopbackIndex(varno);
    ASSERT_GE(varno.AdapterIndex, 0);
    varno.Start();
    ASSERT_TRUE(varno.Capturing());
    const std::string dump = TVarno::DumpFilePath();
    std::ofstream(dump, std::ios::app) << "stray bytes after the header";
    ASSERT_GT(fs::file_size(dump), 24u);

    EXPECT_NO_THROW(varno.Start());
    EXPECT_TRUE(varno.Capturing());
    EXPECT_EQ(varno.CaptureLastError(), "Snoop Error: Already open");
    EXPECT_EQ(fs::file_size(dump), 24u);

    varno.Stop();
    EXPECT_FALSE(fs::exists(dump));
    // A new Start after Stop opens again.
    varno.Start();
    EXPECT_TRUE(varno.Capturing());
    EXPECT_TRUE(fs::exists(dump));
    varno.Stop();
}

TEST_F(ComponentCore, StopWithoutStartOnlyDeletesTheDumpFile)
{
    TVarno varno;
    EXPECT_NO_THROW(varno.Stop()) << "nothing to delete";
    std::ofstream(TVarno::DumpFilePath()) << "left from an earlier run";
    varno.Stop();
    EXPECT_FALSE(fs::exists(TVarno::DumpFilePath()));
    EXPECT_FALSE(varno.Capturing());
}

TEST_F(ComponentCore, PlantedLinkIsNotFollowed)
{
    const std::string victim = runtime.File("victim");
    std::ofstream(victim) << "precious";
    fs::create_symlink(victim, TVarno::DumpFilePath());

    TVarno varno;
    varno.AdapterIndex = LoopbackIndex(varno);
    try {
        varno.Start();
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message().rfind("Start error\r\n", 0), 0u) << e.Message();
        EXPECT_GT(e.Message().size(), std::string("Start error\r\n").size()) << "the reason follows";
    }
    EXPECT_TRUE(varno.Capturing()) << "the capture stays open";
    varno.Stop();
    EXPECT_FALSE(varno.Capturing());
    EXPECT_FALSE(fs::is_symlink(TVarno::DumpFilePath()));
    EXPECT_EQ(ReadBytes(victim).size(), 8u) << "the link's target is untouched";
}

TEST_F(ComponentCore, ForeignRuntimeFolderIsRefused)
{
    // No XDG_RUNTIME_DIR: the private folder under TMPDIR is someone else's.
    EnvOverride noXdg("XDG_RUNTIME_DIR", nullptr);
    EnvOverride tmp("TMPDIR", runtime.Path().c_str());
    const std::string foreign = runtime.File("varno-" + std::to_string(geteuid()));
    ASSERT_EQ(mkdir(foreign.c_str(), 0777), 0);
    ASSERT_EQ(chmod(foreign.c_str(), 0777), 0);

    TVarno varno;
    varno.AdapterIndex = LoopbackIndex(varno);
    try {
        varno.Start();
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message().rfind("Start error\r\n", 0), 0u) << e.Message();
    }
    EXPECT_TRUE(varno.Capturing());
    EXPECT_TRUE(fs::is_empty(foreign)) << "nothing is created in a folder others can write";
    EXPECT_NO_THROW(varno.Stop());
    EXPECT_FALSE(varno.Capturing());
}

TEST_F(ComponentCore, DestructionWhileCapturingRaisesNothing)
{
    auto varno = std::make_unique<TVarno>();
    varno->AdapterIndex = LoopbackIndex(*varno);
    varno->AllowRanges.push_back(AnyRule());
    varno->NodeNamesFile = runtime.File("Nodes.ini");
    std::atomic<bool> destroying{false};
    std::atomic<int> lateEvents{0};
    int updates = 0;
    varno->OnUDPNetworkTrafficUpdate = [&](TObject*, const std::string&, const std::string&, int, int, int, int,
                                           const std::string&) {
        ++updates;
        lateEvents += destroying;
    };
    varno->OnBeforeDeleteLinkRoute = [&](TObject*, TLinkRoute*) { ++lateEvents; };
    varno->OnBeforeDeleteTerminatingNode = [&](TObject*, TTerminatingNode*) { ++lateEvents; };
    varno->OnAfterAddTerminatingNode = [&](TObject*, TTerminatingNode*) { lateEvents += destroying; };
    varno->OnAfterAddLinkRoute = [&](TObject*, TLinkRoute*) { lateEvents += destroying; };

    varno->Start();
    ASSERT_TRUE(varno->Capturing());
    {
        LoopbackSender sender(std::uint16_t(46000 + getpid() % 1000));
        ASSERT_TRUE(MainThread::WaitUntil([&] { return updates >= 5; }, 10000));
        ASSERT_FALSE(varno->RouteList().empty());
        // Traffic keeps arriving while the component goes.
        destroying = true;
        varno.reset();
    }
    EXPECT_EQ(lateEvents, 0);
    // The dump file stays: only Stop deletes it.
    EXPECT_TRUE(fs::exists(TVarno::DumpFilePath()));
}

} // namespace
