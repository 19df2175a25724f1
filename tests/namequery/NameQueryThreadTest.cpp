// The query thread from Resume to its self-destruction, with the real
// helpers, the real command interpreter and the main-thread hand-over.

#include "namequery/NameQueryThreadClass.h"
#include "platform/Paths.h"
#include "platform/Threads.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/stat.h>

namespace {

using nqtest::NodeStatusResponder;
using Datagrams = std::vector<std::vector<std::uint8_t>>;

constexpr int GenerousMs = 60000;

// Tells the test when the thread object has deleted itself.
class TProbeThread : public TNameQueryThread {
public:
    TProbeThread(const std::string& address, std::shared_ptr<std::atomic<bool>> freed)
        : TNameQueryThread(address), freed_(std::move(freed))
    {
    }
    ~TProbeThread() override
    {
        // The flag comes last: once the test sees it, this thread touches
        // nothing that the test's end could tear down.
        MainThread::Notify();
        freed_->store(true);
    }

private:
    std::shared_ptr<std::atomic<bool>> freed_;
};

// What reached the main thread, in order.
struct Log {
    std::vector<std::string> Events;
    std::string IPAddress, IPName, UNCName, MacAddress, ErrorText;
    bool OffMainThread = false;
};

struct Options {
    bool AssignSuccess = true;
    std::function<void()> InSuccess; // runs inside OnSuccess
    std::shared_ptr<TNameQueryToken> Token;
    bool CancelAfterResume = false;
};

std::string LoopbackName()
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char host[NI_MAXHOST] = {};
    getnameinfo(reinterpret_cast<sockaddr*>(&a), sizeof a, host, sizeof host, nullptr, 0, NI_NAMEREQD);
    return host;
}

class NameQueryThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
        SetNameQueryHelperDir(VARNO_BIN_DIR);
    }
    void TearDown() override
    {
        // A failure must never leave a query's file behind.
        EXPECT_EQ(runtime_.Entries(), std::vector<std::string>{});
        unsetenv("XDG_RUNTIME_DIR");
        SetNameQueryHelperDir("");
    }

    // Starts one query and serves the main thread until the thread object
    // is gone.
    Log Query(const std::string& address, const Options& options = {})
    {
        auto log = std::make_shared<Log>();
        auto freed = std::make_shared<std::atomic<bool>>(false);
        auto* thread = new TProbeThread(address, freed);
        if (options.AssignSuccess)
            thread->OnSuccess = [log, options](TObject* sender, const std::string& ip, const std::string& ipName,
                                               const std::string& unc, const std::string& mac) {
                log->Events.push_back("success");
                log->OffMainThread |= !MainThread::IsCurrent() || !dynamic_cast<TNameQueryThread*>(sender);
                log->IPAddress = ip;
                log->IPName = ipName;
                log->UNCName = unc;
                log->MacAddress = mac;
                if (options.InSuccess)
                    options.InSuccess();
            };
        thread->OnError = [log](TObject*, const std::string& text) {
            log->Events.push_back("error");
            log->OffMainThread |= !MainThread::IsCurrent();
            log->ErrorText = text;
        };
        thread->OnTerminate = [log](TObject*) {
            log->Events.push_back("terminate");
            log->OffMainThread |= !MainThread::IsCurrent();
        };
        thread->Token = options.Token;
        thread->Resume();
        if (options.CancelAfterResume)
            options.Token->Cancel();
        EXPECT_TRUE(MainThread::WaitUntil([&] { return freed->load(); }, GenerousMs)) << "the thread freed itself";
        MainThread::ProcessPending();
        EXPECT_FALSE(log->OffMainThread);
        return *log;
    }

    static NodeStatusResponder::Reply WorkstationAnswer()
    {
        return [](const std::vector<std::uint8_t>& r, int) {
            return Datagrams{nqtest::BuildNodeStatusResponse(nqtest::TransactionId(r),
                                                             {{"WKSTN01", 0x00, 0x0400}, {"WORKGROUP", 0x00, 0x8400}},
                                                             std::array<std::uint8_t, 6>{0, 0x0C, 0x29, 0x3A, 0x5B, 0x7C})};
        };
    }

    // A helper folder whose varno-nbtstat and varno-ping only leave a mark.
    std::string MarkingHelpers(const std::string& marker)
    {
        for (const char* name : {"varno-nbtstat", "varno-ping"}) {
            const std::string path = helpers_.Path() + "/" + name;
            std::ofstream(path) << "#!/bin/sh\necho \"$0 $*\" >>'" << marker << "'\n";
            chmod(path.c_str(), 0755);
        }
        return helpers_.Path();
    }

    nqtest::TempDir runtime_;
    nqtest::TempDir helpers_;
};

TEST_F(NameQueryThreadTest, OnlyTheHostNameFound)
{
    const Log log = Query("127.0.0.1");
    EXPECT_EQ(log.Events, (std::vector<std::string>{"success", "terminate"}));
    EXPECT_EQ(log.IPAddress, "127.0.0.1");
    EXPECT_EQ(log.IPName, LoopbackName());
    EXPECT_FALSE(log.IPName.empty());
    EXPECT_EQ(log.UNCName, "");
    EXPECT_EQ(log.MacAddress, "");
}

TEST_F(NameQueryThreadTest, AllThreeAnswersArriveTogether)
{
    NodeStatusResponder responder("127.0.0.1", WorkstationAnswer());
    const Log log = Query("127.0.0.1");
    EXPECT_EQ(log.Events, (std::vector<std::string>{"success", "terminate"}));
    EXPECT_EQ(log.UNCName, "WKSTN01");
    EXPECT_EQ(log.MacAddress, "00-0C-29-3A-5B-7C");
    EXPECT_EQ(log.IPName, LoopbackName());
}

TEST_F(NameQueryThreadTest, NothingFoundRaisesNoEventAndTheThreadStillEnds)
{
    // No responder, and in this namespace no name server knows 127.0.0.2.
    const Log log = Query("127.0.0.2");
    EXPECT_EQ(log.Events, (std::vector<std::string>{"terminate"}));
}

TEST_F(NameQueryThreadTest, ExceptionInOnSuccessIsReportedThroughOnError)
{
    Options options;
    options.InSuccess = [] { throw Exception("Unable to write to /somewhere/Nodes.ini"); };
    const Log log = Query("127.0.0.1", options);
    EXPECT_EQ(log.Events, (std::vector<std::string>{"success", "error", "terminate"}));
    EXPECT_EQ(log.ErrorText, "Thread Error: Unable to write to /somewhere/Nodes.ini");
}

TEST_F(NameQueryThreadTest, AnswersWithoutOnSuccessReportNothing)
{
    NodeStatusResponder responder("127.0.0.1", WorkstationAnswer());
    Options options;
    options.AssignSuccess = false;
    const Log log = Query("127.0.0.1", options);
    EXPECT_EQ(log.Events, (std::vector<std::string>{"terminate"}));
    EXPECT_EQ(responder.Requests(), 1) << "the query did run";
}

TEST_F(NameQueryThreadTest, CancelledTokenSilencesEveryHandler)
{
    NodeStatusResponder responder("127.0.0.1", WorkstationAnswer());
    Options options;
    options.Token = std::make_shared<TNameQueryToken>();
    options.CancelAfterResume = true;
    options.InSuccess = [] { throw Exception("must not run"); };
    const Log log = Query("127.0.0.1", options);
    EXPECT_EQ(log.Events, std::vector<std::string>{});
    EXPECT_EQ(responder.Requests(), 1) << "the query still ran to its end";
}

TEST_F(NameQueryThreadTest, LiveTokenLetsHandlersRun)
{
    Options options;
    options.Token = std::make_shared<TNameQueryToken>();
    const Log log = Query("127.0.0.1", options);
    EXPECT_EQ(log.Events, (std::vector<std::string>{"success", "terminate"}));
}

TEST_F(NameQueryThreadTest, OnlyADottedQuadReachesACommandLine)
{
    const std::string marker = helpers_.Path() + "/ran";
    SetNameQueryHelperDir(MarkingHelpers(marker));
    const std::string injected = helpers_.Path() + "/injected";

    for (const std::string& address : {"127.0.0.1;touch " + injected, "$(touch " + injected + ")",
                                       "127.0.0.1 >" + injected, std::string("127.0.0.1\ntouch ") + injected}) {
        SCOPED_TRACE(address);
        EXPECT_EQ(Query(address).Events, (std::vector<std::string>{"terminate"}));
        EXPECT_FALSE(FileExists(injected));
        EXPECT_FALSE(FileExists(marker)) << "no helper ran";
    }

    // The same helpers do run for a plain address.
    EXPECT_EQ(Query("127.0.0.1").Events, (std::vector<std::string>{"terminate"}));
    EXPECT_EQ(nqtest::ReadFile(marker), NameQueryHelperDir() + "varno-nbtstat -A 127.0.0.1\n" +
                                            NameQueryHelperDir() + "varno-ping -a 127.0.0.1 -n 1\n");
}

TEST_F(NameQueryThreadTest, MissingHelpersFindNothing)
{
    SetNameQueryHelperDir(helpers_.Path());
    EXPECT_EQ(Query("127.0.0.1").Events, (std::vector<std::string>{"terminate"}));
}

TEST_F(NameQueryThreadTest, UnusablePrivateDirectoryIsReportedThroughOnError)
{
    unsetenv("XDG_RUNTIME_DIR");
    const char* oldTmp = std::getenv("TMPDIR");
    const std::string saved = oldTmp ? oldTmp : "";
    setenv("TMPDIR", (helpers_.Path() + "/missing/deeper").c_str(), 1);
    const Log log = Query("127.0.0.1");
    if (oldTmp)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    EXPECT_EQ(log.Events, (std::vector<std::string>{"error", "terminate"}));
    EXPECT_EQ(log.ErrorText.rfind("Thread Error: ", 0), 0u) << log.ErrorText;
    EXPECT_NE(log.ErrorText.find("missing/deeper"), std::string::npos) << log.ErrorText;
}

TEST_F(NameQueryThreadTest, SeveralThreadsAtOnceKeepTheirFilesApart)
{
    NodeStatusResponder responder("127.0.0.1", WorkstationAnswer());
    constexpr int Count = 4;
    auto successes = std::make_shared<std::vector<std::string>>();
    int running = 0;
    std::vector<std::shared_ptr<std::atomic<bool>>> flags;
    for (int i = 0; i < Count; ++i) {
        flags.push_back(std::make_shared<std::atomic<bool>>(false));
        auto* thread = new TProbeThread("127.0.0.1", flags.back());
        thread->OnSuccess = [successes](TObject*, const std::string&, const std::string& ipName,
                                        const std::string& unc, const std::string& mac) {
            successes->push_back(ipName + "|" + unc + "|" + mac);
        };
        thread->OnTerminate = [&running](TObject*) { --running; };
        ++running;
        thread->Resume();
    }
    ASSERT_TRUE(MainThread::WaitUntil(
        [&] { return std::all_of(flags.begin(), flags.end(), [](const auto& f) { return f->load(); }); },
        GenerousMs));
    EXPECT_EQ(running, 0);
    const std::string expected = LoopbackName() + "|WKSTN01|00-0C-29-3A-5B-7C";
    EXPECT_EQ(*successes, std::vector<std::string>(Count, expected));
}

} // namespace
