// Name query scheduling: the timer pass with its bound, the threads' end and
// answers, which hosts are queued, and the component going away while
// queries still run.
//
// The queries run through the real query thread and command interpreter.
// Most tests give them stand-in helpers (shell scripts in a folder of the
// test) that print fixed answers and can be held inside the command until
// the test lets them go, so the test decides when each query ends. One test
// runs the real helpers. The process lives in a network namespace of its
// own, so nothing a query sends leaves the machine.

#include "TestSupport.h"

#include "namequery/NameQueryThreadClass.h"
#include "platform/Application.h"
#include "platform/QtMainThread.h"
#include "platform/Threads.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>
#include "tests/support/OwnNetwork.h"

#include <fstream>
#include <map>
#include <sstream>

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

constexpr int GenerousMs = 60000;

// Runs once before any test and before any other thread exists, so every
// query thread and every command inherits the private network.
class IsolatedNetworkAndEventLoop : public ::testing::Environment {
public:
    void SetUp() override
    {
        EnterOwnNetworkNamespace();

        // The name query timer is a Qt timer; hand-overs also run from the
        // Qt loop when a test runs it.
        static int argc = 1;
        static char name[] = "component_namequery_tests";
        static char* argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
        InstallQtMainThread();
    }
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new IsolatedNetworkAndEventLoop);

// Runs the Qt event loop until done() holds or timeoutMs pass; returns done().
bool RunEventLoopUntil(const std::function<bool()>& done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start(10);
    loop.exec();
    return done();
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// The non-empty lines of one section of an INI text, in file order.
std::vector<std::string> SectionLines(const std::string& text, const std::string& section)
{
    std::vector<std::string> result;
    bool inside = false;
    for (const std::string& line : Lines(text)) {
        if (!line.empty() && line.front() == '[') {
            inside = line == "[" + section + "]";
            continue;
        }
        if (inside && !line.empty())
            result.push_back(line);
    }
    return result;
}

int ThreadCount()
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

std::string NetBIOSTable(const std::string& name, const std::string& mac)
{
    return "\n    NetBIOS Remote Machine Name Table\n\n"
           "       Name               Type         Status\n"
           "    ---------------------------------------------\n"
           "    " + name + "        <00>  UNIQUE      Registered\n"
           "    WORKGROUP      <00>  GROUP       Registered\n\n"
           "    MAC Address = " + mac + "\n\n";
}

std::string PingLine(const std::string& name, const std::string& address)
{
    return "Pinging " + name + " [" + address + "] with 56 bytes of data:\n";
}

// The process-wide default stack size of new threads, made too large to be
// mapped while the object lives: creating an operating-system thread fails.
class ThreadCreationFails {
public:
    ThreadCreationFails()
    {
        pthread_attr_t attr;
        pthread_getattr_default_np(&attr);
        pthread_attr_getstacksize(&attr, &saved_);
        pthread_attr_setstacksize(&attr, std::size_t(1) << 46);
        ok_ = pthread_setattr_default_np(&attr) == 0;
        pthread_attr_destroy(&attr);
    }
    ~ThreadCreationFails()
    {
        pthread_attr_t attr;
        pthread_getattr_default_np(&attr);
        pthread_attr_setstacksize(&attr, saved_);
        pthread_setattr_default_np(&attr);
        pthread_attr_destroy(&attr);
    }
    bool Ok() const { return ok_; }

private:
    std::size_t saved_ = 0;
    bool ok_ = false;
};

class NameQueryScheduling : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Query output files go to a private folder of this test.
        setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
        WriteHelpers();
        SetNameQueryHelperDir(helpers.Path().string());
        varno = std::make_unique<TVarno>();
        varno->NodeNamesFile = NodesIni();
    }

    void TearDown() override
    {
        // Let held queries go and wait for every started thread to end, so
        // none outlives the test.
        for (auto& [address, fd] : gates)
            close(fd);
        gates.clear();
        if (varno) {
            EXPECT_TRUE(MainThread::WaitUntil([&] { return varno->RunningNameQueries() == 0; }, GenerousMs))
                << "every started query ended";
        }
        varno.reset();
        MainThread::ProcessPending();
        EXPECT_TRUE(fs::is_empty(runtime.Path())) << "no query output file stays behind";
        SetNameQueryHelperDir("");
        unsetenv("XDG_RUNTIME_DIR");
    }

    // varno-nbtstat logs its address in "started", stays in the command
    // while the address has a gate, then prints "nbt-ADDRESS" if present;
    // varno-ping prints "ping-ADDRESS", or the bare address.
    void WriteHelpers()
    {
        const std::map<std::string, std::string> scripts = {
            {"varno-nbtstat",
             "#!/bin/sh\n"
             "d=$(dirname \"$0\")\n"
             "a=$2\n"
             "echo \"$a\" >>\"$d/started\"\n"
             "if [ -p \"$d/gate-$a\" ]; then read -r _ <\"$d/gate-$a\"; fi\n"
             "if [ -f \"$d/nbt-$a\" ]; then cat \"$d/nbt-$a\"; fi\n"},
            {"varno-ping",
             "#!/bin/sh\n"
             "d=$(dirname \"$0\")\n"
             "a=$2\n"
             "if [ -f \"$d/ping-$a\" ]; then cat \"$d/ping-$a\"; else echo \"Pinging $a with 56 bytes of data:\"; fi\n"},
        };
        for (const auto& [name, text] : scripts) {
            const std::string path = helpers.File(name);
            std::ofstream(path) << text;
            ASSERT_EQ(chmod(path.c_str(), 0755), 0);
        }
    }

    std::string NodesIni() const { return data.File("Nodes.ini"); }

    // The address's query stays inside varno-nbtstat until Release.
    void Hold(const std::string& address)
    {
        const std::string path = helpers.File("gate-" + address);
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << std::strerror(errno);
        // Held open for reading and writing: the helper's open never blocks,
        // and its read waits for the line that Release writes.
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        gates[address] = fd;
    }
    void Release(const std::string& address)
    {
        ASSERT_EQ(write(gates.at(address), "\n", 1), 1);
    }

    void Answer(const std::string& address, const std::string& nbt, const std::string& ping)
    {
        if (!nbt.empty())
            std::ofstream(helpers.File("nbt-" + address)) << nbt;
        if (!ping.empty())
            std::ofstream(helpers.File("ping-" + address)) << ping;
    }

    std::vector<std::string> Started() const { return Lines(ReadText(helpers.File("started"))); }
    std::vector<std::string> SortedStarted() const
    {
        std::vector<std::string> s = Started();
        std::sort(s.begin(), s.end());
        return s;
    }
    bool WaitStarted(std::size_t n) const
    {
        return MainThread::WaitUntil([&] { return Started().size() >= n; }, GenerousMs);
    }
    bool WaitRunning(int n) const
    {
        return MainThread::WaitUntil([&] { return varno->RunningNameQueries() == n; }, GenerousMs);
    }

    void Pass() { varno->tNameQueryTimer_Timer(varno.get()); }

    std::deque<std::string> Queue() const { return varno->NameQueryQueue; }

    TTerminatingNode* Node(const std::string& address) const
    {
        const int i = varno->FindTerminatingNode(address);
        return i < 0 ? nullptr : varno->NodeList()[std::size_t(i)].get();
    }

    ScratchDir runtime;
    ScratchDir helpers;
    ScratchDir data;
    std::map<std::string, int> gates;
    std::unique_ptr<TVarno> varno;
};

using Q = std::deque<std::string>;
using V = std::vector<std::string>;

// ---------------------------------------------------------------------------
// The bound

TEST_F(NameQueryScheduling, BoundLimitsRunningQueriesAndTheRestWaitInOrder)
{
    const V addresses = {"127.0.0.11", "127.0.0.12", "127.0.0.13", "127.0.0.14", "127.0.0.15"};
    for (const auto& a : addresses)
        Hold(a);
    varno->NameQueryQueue.assign(addresses.begin(), addresses.end());
    varno->SetNameResolution(true);
    ASSERT_EQ(varno->MaximumNameQueryThreads, 2);

    // One pass starts the first two; the other three wait in order.
    Pass();
    EXPECT_EQ(varno->RunningNameQueries(), 2);
    EXPECT_EQ(Queue(), (Q{"127.0.0.13", "127.0.0.14", "127.0.0.15"}));
    EXPECT_TRUE(varno->NameResolution()) << "the pass turns the timer on again";
    ASSERT_TRUE(WaitStarted(2));
    EXPECT_EQ(SortedStarted(), (V{"127.0.0.11", "127.0.0.12"}));

    // A full bound starts nothing.
    Pass();
    EXPECT_EQ(varno->RunningNameQueries(), 2);
    EXPECT_EQ(Queue().size(), 3u);

    // The third starts at the first pass after one has ended.
    Release("127.0.0.11");
    ASSERT_TRUE(WaitRunning(1));
    EXPECT_EQ(Queue().size(), 3u) << "an ending query starts nothing by itself";
    Pass();
    EXPECT_EQ(varno->RunningNameQueries(), 2);
    EXPECT_EQ(Queue(), (Q{"127.0.0.14", "127.0.0.15"}));
    ASSERT_TRUE(WaitStarted(3));
    EXPECT_EQ(Started().back(), "127.0.0.13");

    // Lowered below the number running: nothing starts until enough ended.
    varno->MaximumNameQueryThreads = 1;
    Release("127.0.0.12");
    ASSERT_TRUE(WaitRunning(1));
    Pass();
    EXPECT_EQ(varno->RunningNameQueries(), 1);
    EXPECT_EQ(Queue().size(), 2u);
    Release("127.0.0.13");
    ASSERT_TRUE(WaitRunning(0));
    Pass();
    EXPECT_EQ(varno->RunningNameQueries(), 1);
    EXPECT_EQ(Queue(), (Q{"127.0.0.15"}));
    ASSERT_TRUE(WaitStarted(4));
    EXPECT_EQ(Started().back(), "127.0.0.14");

    // Raised again: the rest starts; at the end nothing runs.
    varno->MaximumNameQueryThreads = 5;
    Pass();
    EXPECT_EQ(varno->RunningNameQueries(), 2);
    EXPECT_TRUE(Queue().empty());
    Release("127.0.0.14");
    Release("127.0.0.15");
    ASSERT_TRUE(WaitRunning(0));
    EXPECT_EQ(Started().size(), 5u);
    EXPECT_EQ(SortedStarted(), addresses) << "each address queried once";
}

TEST_F(NameQueryScheduling, BoundOfZeroOrLessNeverStartsAQuery)
{
    for (const int bound : {0, -1}) {
        SCOPED_TRACE(bound);
        varno->NameQueryQueue = {"127.0.0.16", "127.0.0.17", "127.0.0.18"};
        varno->MaximumNameQueryThreads = bound;
        varno->SetNameResolution(true);
        for (int pass = 0; pass < 3; ++pass)
            Pass();
        EXPECT_EQ(Queue(), (Q{"127.0.0.16", "127.0.0.17", "127.0.0.18"}));
        EXPECT_EQ(varno->RunningNameQueries(), 0);
        EXPECT_TRUE(varno->NameResolution());
    }
    EXPECT_FALSE(fs::exists(helpers.File("started"))) << "no helper ran";
}

TEST_F(NameQueryScheduling, TheTimerStartsQueriesOnlyWhileNameResolutionIsOn)
{
    varno->NameQueryQueue = {"127.0.0.19", "127.0.0.20"};

    // Off: well past the timer's interval, the queue stays as it is.
    RunEventLoopUntil([] { return false; }, 1500);
    EXPECT_EQ(Queue(), (Q{"127.0.0.19", "127.0.0.20"}));
    EXPECT_EQ(varno->RunningNameQueries(), 0);
    EXPECT_FALSE(fs::exists(helpers.File("started")));

    // On: the component's own timer takes both, and their ends arrive
    // through the event loop.
    varno->SetNameResolution(true);
    ASSERT_TRUE(RunEventLoopUntil([&] { return Queue().empty(); }, GenerousMs));
    ASSERT_TRUE(RunEventLoopUntil([&] { return varno->RunningNameQueries() == 0; }, GenerousMs));
    EXPECT_EQ(SortedStarted(), (V{"127.0.0.19", "127.0.0.20"}));
    EXPECT_TRUE(varno->NameResolution());
}

TEST_F(NameQueryScheduling, FailureToStartAThreadKeepsTheAddressFirstAndTheTimerOn)
{
    varno->NameQueryQueue = {"127.0.0.21", "127.0.0.22"};
    varno->SetNameResolution(true);
    {
        ThreadCreationFails failing;
        ASSERT_TRUE(failing.Ok());
        EXPECT_ANY_THROW(Pass());
    }
    EXPECT_TRUE(varno->NameResolution());
    EXPECT_EQ(Queue(), (Q{"127.0.0.21", "127.0.0.22"}));
    EXPECT_EQ(varno->RunningNameQueries(), 1) << "raised before the thread was created";

    // The next pass goes on from the same address.
    Pass();
    EXPECT_EQ(Queue(), (Q{"127.0.0.22"}));
    ASSERT_TRUE(WaitStarted(1));
    EXPECT_EQ(Started(), (V{"127.0.0.21"}));
    ASSERT_TRUE(WaitRunning(1));
    // No thread will ever end for the failed start: finish without waiting
    // for a count of 0.
    varno.reset();
}

// ---------------------------------------------------------------------------
// Answers

TEST_F(NameQueryScheduling, AnswersForAnAddressWithoutANodeChangeNothing)
{
    varno->AddTerminatingNode("127.0.0.23");
    Answer("127.0.0.24", NetBIOSTable("WKSTN24", "00-0C-29-00-00-24"), PingLine("host24.example", "127.0.0.24"));
    varno->NameQueryQueue = {"127.0.0.24"};
    varno->SetNameResolution(true);
    Pass();
    ASSERT_TRUE(WaitRunning(0));
    ASSERT_TRUE(WaitStarted(1)) << "the query did run";

    // Texts that only look like the node's address find nothing either.
    for (const std::string address : {"127.0.0.023", "127.0.0.23 ", " 127.0.0.23", ""})
        varno->NameQueryThreadSuccess(varno.get(), address, "name.example", "NAME", "00-11-22-33-44-55");

    ASSERT_EQ(varno->NodeList().size(), 1u);
    const TTerminatingNode* node = Node("127.0.0.23");
    EXPECT_EQ(node->IPName(), "");
    EXPECT_EQ(node->UNCName(), "");
    EXPECT_EQ(node->MacAddress(), "");
    EXPECT_FALSE(fs::exists(NodesIni())) << "nothing written";
}

struct NamesCase {
    const char* Name;
    // Nodes.ini section of the host before the node is created.
    std::vector<std::string> Preset;
    bool LoadAndSave;
    std::string Nbt, Ping;
    // The node's names afterwards.
    std::string CustomName, IPName, UNCName, MacAddress;
};

void PrintTo(const NamesCase& c, std::ostream* os) { *os << c.Name; }

class AnswersFillNames : public NameQueryScheduling, public ::testing::WithParamInterface<NamesCase> {};

const std::string Host = "127.0.0.31";
const std::string Mac = "00-0C-29-3A-5B-7C";
const std::string OtherSection = "[10.9.9.9]\nCustom Name=Router\nIP Name=router.example\n";

const NamesCase NamesCases[] = {
    {"EmptyNodeTakesAllThree", {}, true, NetBIOSTable("WKSTN01", Mac), PingLine("host.example", Host),
     "", "host.example", "WKSTN01", Mac},
    {"KnownIPNameIsKept", {"Custom Name=Desk", "IP Name=known.example"}, true, NetBIOSTable("WKSTN01", Mac),
     PingLine("other.example", Host), "Desk", "known.example", "WKSTN01", Mac},
    {"KnownUNCNameAndMacAreKept", {"UNC Name=OLDNAME", "MacAddress=11-22-33-44-55-66"}, true,
     NetBIOSTable("WKSTN01", Mac), PingLine("host.example", Host), "", "host.example", "OLDNAME",
     "11-22-33-44-55-66"},
    {"OnlyTheHostNameAnswered", {}, true, "", PingLine("host.example", Host), "", "host.example", "", ""},
    {"OnlyTheNetBIOSTableAnswered", {"IP Name="}, true, NetBIOSTable("WKSTN01", Mac), "", "", "", "WKSTN01",
     Mac},
    {"NothingReadOrWrittenWhenLoadAndSaveIsOff", {"Custom Name=Desk", "IP Name=known.example"}, false,
     NetBIOSTable("WKSTN01", Mac), PingLine("host.example", Host), "", "host.example", "WKSTN01", Mac},
};

TEST_P(AnswersFillNames, OnlyEmptyNamesAreFilledAndAllFourKeysSaved)
{
    const NamesCase& c = GetParam();
    std::string before = OtherSection;
    if (!c.Preset.empty()) {
        before += "[" + Host + "]\n";
        for (const auto& line : c.Preset)
            before += line + "\n";
    }
    std::ofstream(NodesIni()) << before;

    varno->LoadAndSaveIPNames = c.LoadAndSave;
    TTerminatingNode* node = varno->AddTerminatingNode(Host);
    node->SetChanged(false);
    Answer(Host, c.Nbt, c.Ping);
    varno->NameQueryQueue = {Host};
    varno->SetNameResolution(true);
    Pass();
    ASSERT_TRUE(WaitRunning(0));

    EXPECT_EQ(node->CustomName(), c.CustomName);
    EXPECT_EQ(node->IPName(), c.IPName);
    EXPECT_EQ(node->UNCName(), c.UNCName);
    EXPECT_EQ(node->MacAddress(), c.MacAddress);
    EXPECT_FALSE(node->Changed()) << "answers leave the Changed flag alone";

    const std::string after = ReadText(NodesIni());
    if (!c.LoadAndSave) {
        EXPECT_EQ(after, before);
        return;
    }
    const V keys = {"Custom Name=" + c.CustomName, "IP Name=" + c.IPName, "UNC Name=" + c.UNCName,
                    "MacAddress=" + c.MacAddress};
    V written = SectionLines(after, Host);
    if (c.Preset.empty()) {
        EXPECT_EQ(written, keys) << "a new section holds the four keys in this order";
    } else {
        // Keys already in the file keep their places.
        V sortedKeys = keys;
        std::sort(sortedKeys.begin(), sortedKeys.end());
        std::sort(written.begin(), written.end());
        EXPECT_EQ(written, sortedKeys);
    }
    EXPECT_EQ(SectionLines(after, "10.9.9.9"), SectionLines(OtherSection, "10.9.9.9"));
}

INSTANTIATE_TEST_SUITE_P(Cases, AnswersFillNames, ::testing::ValuesIn(NamesCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(NameQueryScheduling, FailedSaveKeepsTheNamesAndTheQueryStillEnds)
{
    std::vector<std::string> shown;
    Application().SetErrorHandler([&](const std::string&, const std::string& text) { shown.push_back(text); });
    varno->NodeNamesFile = data.File("missing/Nodes.ini");
    TTerminatingNode* node = varno->AddTerminatingNode(Host);
    Answer(Host, NetBIOSTable("WKSTN01", Mac), PingLine("host.example", Host));
    varno->NameQueryQueue = {Host};
    varno->SetNameResolution(true);
    Pass();
    const bool ended = WaitRunning(0);
    Application().SetErrorHandler(nullptr);

    ASSERT_TRUE(ended);
    EXPECT_EQ(node->IPName(), "host.example");
    EXPECT_EQ(node->UNCName(), "WKSTN01");
    EXPECT_EQ(node->MacAddress(), Mac);
    EXPECT_EQ(shown, V{}) << "the query reports its failure to no one";
    EXPECT_FALSE(fs::exists(data.File("missing")));
}

// ---------------------------------------------------------------------------
// Which hosts are queued

struct QueueCase {
    const char* Name;
    std::vector<std::string> Preset;  // the host's Nodes.ini section
    bool NameResolution;
    bool LoadAndSave;
    bool Queued;
};

void PrintTo(const QueueCase& c, std::ostream* os) { *os << c.Name; }

class QueueFilling : public NameQueryScheduling, public ::testing::WithParamInterface<QueueCase> {};

const QueueCase QueueCases[] = {
    {"UnnamedHost", {}, true, true, true},
    {"CustomNameOnly", {"Custom Name=Desk"}, true, true, true},
    {"MacAddressOnly", {"MacAddress=11-22-33-44-55-66"}, true, true, true},
    {"EmptyKeys", {"IP Name=", "UNC Name="}, true, true, true},
    {"KnownIPName", {"IP Name=known.example"}, true, true, false},
    {"KnownUNCName", {"UNC Name=OLDNAME"}, true, true, false},
    {"NamesNotReadWithLoadAndSaveOff", {"IP Name=known.example", "UNC Name=OLDNAME"}, true, false, true},
    {"NameResolutionOff", {}, false, true, false},
};

TEST_P(QueueFilling, NewNodeIsQueuedUnlessNamedOrResolutionIsOff)
{
    const QueueCase& c = GetParam();
    std::string ini = "[" + Host + "]\n";
    for (const auto& line : c.Preset)
        ini += line + "\n";
    std::ofstream(NodesIni()) << ini;
    varno->LoadAndSaveIPNames = c.LoadAndSave;
    varno->SetNameResolution(c.NameResolution);

    varno->RecordTraffic(varno.get(), Host, Host, 1, 40, 1000, 80);
    EXPECT_EQ(Queue(), c.Queued ? Q{Host} : Q{});
}

INSTANTIATE_TEST_SUITE_P(Cases, QueueFilling, ::testing::ValuesIn(QueueCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(NameQueryScheduling, EachHostIsQueuedOnlyOnce)
{
    const std::string a = "127.0.0.41", b = "127.0.0.42";
    varno->SetNameResolution(true);
    varno->RecordTraffic(varno.get(), a, b, 1, 40, 1000, 80);
    varno->RecordTraffic(varno.get(), b, a, 1, 40, 80, 1000);
    varno->RecordTraffic(varno.get(), a, a, 1, 40, 1, 2);
    EXPECT_EQ(Queue(), (Q{a, b}));

    // Both are queried and find nothing.
    Pass();
    ASSERT_TRUE(WaitRunning(0));
    EXPECT_TRUE(Queue().empty());

    // Still nameless, neither is queued again: not by more traffic, not by
    // a new route after the old one aged away, not by turning resolution
    // off and on, not by a second node for the same address.
    varno->RecordTraffic(varno.get(), a, b, 1, 40, 1000, 80);
    for (int i = 0; i < 5; ++i)
        varno->AgeLinkRoutes();
    ASSERT_TRUE(varno->RouteList().empty());
    varno->SetNameResolution(false);
    varno->SetNameResolution(true);
    varno->RecordTraffic(varno.get(), b, a, 1, 40, 80, 1000);
    varno->AddTerminatingNode(a);
    EXPECT_TRUE(Queue().empty());

    // A host first seen now is queued.
    varno->RecordTraffic(varno.get(), a, "127.0.0.43", 1, 40, 1000, 80);
    EXPECT_EQ(Queue(), Q{"127.0.0.43"});
    EXPECT_EQ(SortedStarted(), (V{a, b}));
}

// ---------------------------------------------------------------------------
// The component going away

TEST_F(NameQueryScheduling, DestroyedComponentIsNeverCalledByItsQueries)
{
    const std::string a = "127.0.0.51", b = "127.0.0.52";
    for (const auto& address : {a, b}) {
        Hold(address);
        Answer(address, NetBIOSTable("WKSTN51", Mac), PingLine("host.example", address));
    }
    varno->SetNameResolution(true);
    varno->RecordTraffic(varno.get(), a, b, 1, 40, 1000, 80);
    ASSERT_EQ(Queue(), (Q{a, b}));
    // A sanitizer runtime may start a helper thread of its own at the first
    // thread start of the process: have that happen before counting.
    std::thread([] {}).join();
    const int threadsBefore = ThreadCount();
    Pass();
    ASSERT_EQ(varno->RunningNameQueries(), 2);
    ASSERT_TRUE(WaitStarted(2));

    // Gone while both queries sit inside their command; afterwards they find
    // answers for nodes that no longer exist. A call into the destroyed
    // component would read freed memory (AddressSanitizer stops there) and
    // save the answers to Nodes.ini.
    varno.reset();
    Release(a);
    Release(b);
    ASSERT_TRUE(MainThread::WaitUntil([&] { return ThreadCount() <= threadsBefore; }, GenerousMs))
        << "both query threads ended";
    MainThread::ProcessPending();
    EXPECT_FALSE(fs::exists(NodesIni()));
}

// ---------------------------------------------------------------------------
// With the real helpers

std::string ReverseName(const std::string& address)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    char host[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
        return "";
    return host;
}

TEST_F(NameQueryScheduling, TrafficToNamesWithTheRealHelpers)
{
    SetNameQueryHelperDir(VARNO_BIN_DIR);
    const std::string a = "127.0.0.1";
    const std::string expected = ReverseName(a);
    ASSERT_FALSE(expected.empty()) << "the loopback address has a name on this machine";

    varno->SetNameResolution(true);
    varno->RecordTraffic(varno.get(), a, a, 1, 40, 1000, 80);
    ASSERT_EQ(Queue(), Q{a});
    Pass();
    ASSERT_TRUE(WaitRunning(0));

    const TTerminatingNode* node = Node(a);
    EXPECT_EQ(node->IPName(), expected);
    EXPECT_EQ(node->UNCName(), "") << "no NetBIOS service answers in this network";
    EXPECT_EQ(SectionLines(ReadText(NodesIni()), a),
              (V{"Custom Name=", "IP Name=" + expected, "UNC Name=", "MacAddress="}));
}

} // namespace
