// varno-counters, run as a program against a live block that this test
// process writes: plain, --json and a bounded --watch, and its exit status
// for a missing block, a bad command line and a lock it cannot have.

#include "ChildProcess.h"
#include "TestSupport.h"
#include "sharedmap/SharedMemoryMap.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <vector>

namespace {

using TMap = TVarnoTraySharedMemoryMap;

class VarnoCounters : public ::testing::Test {
protected:
    std::string name = UniqueMapName();
    std::string blockPath = TestRuntimeDir() + "/" + name;

    TRunResult Counters(std::vector<std::string> args)
    {
        args.insert(args.begin(), CountersProgram());
        return RunProgram(args);
    }

    // A block as the tray leaves it: a few named ranges, one record with
    // amounts but no name, and a change count of 3.
    void Fill(TMap& map, const std::vector<std::string>& names)
    {
        ASSERT_TRUE(LockWithRetry(map));
        for (size_t i = 0; i < names.size(); ++i)
            map.SetRangeName(int(i), names[i]);
        map.AddAmount(0, 1536);
        map.RollPeriod(0);
        map.AddAmount(0, 87476);
        map.AddAmount(2, -5);
        map.AddAmount(2, INT64_MIN);
        map.AddAmount(69, 777);  // no name: not listed
        map.SetRangeName(70, "Last");
        map.AddAmount(70, 4294967296LL);
        for (int i = 0; i < 3; ++i)
            map.IncrementChangeCount();
        map.Unlock();
    }
};

TEST_F(VarnoCounters, PlainTableOfNamedRecords)
{
    TMap map(name);
    map.Open();
    Fill(map, {"Web", "", "Mail"});
    const TRunResult run = Counters({"--map", name});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Err, "");
    EXPECT_EQ(run.Out,
              "Change count: 3\n"
              " No  Name                                     Period amount    Last period amount          Total amount\n"
              "  1  Web                                              87476                  1536                 89012\n"
              "  3  Mail                               9223372036854775803                     0   9223372036854775803\n"
              " 71  Last                                        4294967296                     0            4294967296\n");
}

TEST_F(VarnoCounters, JsonForScripts)
{
    TMap map(name);
    map.Open();
    // Names come from a user's file: quotes, escapes, control characters and
    // bytes that are not UTF-8 must still give valid JSON.
    Fill(map, {"Web \"main\"", "", "a\\b\x1b[31m\xff"});
    const TRunResult run = Counters({"--json", "--map", name});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out,
              "{\"map\":\"" + name + "\",\"change_count\":3,\"records\":["
              "{\"number\":1,\"name\":\"Web \\\"main\\\"\",\"period_amount\":87476,\"last_period_amount\":1536,\"total_amount\":89012},"
              "{\"number\":3,\"name\":\"a\\\\b\\u001b[31m\\ufffd\",\"period_amount\":9223372036854775803,\"last_period_amount\":0,\"total_amount\":9223372036854775803},"
              "{\"number\":71,\"name\":\"Last\",\"period_amount\":4294967296,\"last_period_amount\":0,\"total_amount\":4294967296}]}\n");

    // And a JSON parser agrees.
    const TRunResult parsed = RunProgram(
        {PythonPath(), "-c",
         "import json,sys; d=json.load(sys.stdin); "
         "print(ascii([(r['number'], r['name'], r['total_amount']) for r in d['records']]))"},
        run.Out);
    ASSERT_EQ(parsed.Status, 0) << parsed.Err;
    EXPECT_EQ(parsed.Out,
              "[(1, 'Web \"main\"', 89012), (3, 'a\\\\b\\x1b[31m\\ufffd', 9223372036854775803), "
              "(71, 'Last', 4294967296)]\n");
}

// Reads one --watch frame: its header and rows, up to the blank line.
std::vector<std::string> ReadFrame(TChildProcess& watch)
{
    std::vector<std::string> frame;
    while (auto line = watch.ReadLine()) {
        if (line->empty())
            break;
        frame.push_back(*line);
    }
    return frame;
}

TEST_F(VarnoCounters, WatchRedrawsWithRates)
{
    TMap map(name);
    map.Open();
    Fill(map, {"Web"});

    TChildProcess watch({CountersProgram(), "--watch", "--map", name, "--count", "100", "--interval", "30"});
    const std::vector<std::string> first = ReadFrame(watch);
    ASSERT_EQ(first.size(), 4u);
    EXPECT_EQ(first[0], name + "  change count 3  (every 0.03 s; Ctrl+C stops)");
    EXPECT_EQ(first[2], "  1  Web                                    1.5 KiB/s      86.9 KiB                 89012");
    EXPECT_EQ(first[3], " 71  Last                                       0 B/s       4.0 GiB            4294967296");

    // A period of 3 MiB closes; the watch shows it from a later frame on.
    ASSERT_TRUE(LockWithRetry(map));
    map.AddAmount(0, 3 * 1048576 - 87476);
    map.RollPeriod(0);
    map.IncrementChangeCount();
    map.Unlock();

    std::vector<std::string> frame;
    do
        frame = ReadFrame(watch);
    while (!frame.empty() && frame[0].find("change count 4") == std::string::npos);
    ASSERT_EQ(frame.size(), 4u) << "no frame showed the change";
    EXPECT_EQ(frame[2], "  1  Web                                    3.0 MiB/s       3.0 MiB               3147264");

    watch.ReadToEnd();
    EXPECT_EQ(watch.Wait(), 0) << "a bounded watch ends by itself";
}

struct TFailureCase {
    const char* Name;
    std::vector<std::string> Args;  // "@" stands for the test's map name
    int WantStatus;
};

void PrintTo(const TFailureCase& c, std::ostream* os) { *os << c.Name; }

class VarnoCountersFailures : public VarnoCounters, public ::testing::WithParamInterface<TFailureCase> {};

TEST_P(VarnoCountersFailures, ExitStatusAndMessage)
{
    const TFailureCase& c = GetParam();
    std::vector<std::string> args;
    for (const std::string& a : c.Args)
        args.push_back(a == "@" ? name : a);
    const TRunResult run = Counters(args);
    EXPECT_EQ(run.Status, c.WantStatus) << run.Err;
    EXPECT_EQ(run.Out, "");
    EXPECT_NE(run.Err, "");
    if (c.WantStatus == 1) {
        EXPECT_NE(run.Err.find("\"" + name + "\""), std::string::npos) << run.Err;
    }
    EXPECT_FALSE(PathExists(blockPath)) << "a reader never creates the block";
}

const TFailureCase FailureCases[] = {
    // Name               Args                                   Status
    {"NoBlock",           {"--map", "@"},                        1},
    {"NoBlockJson",       {"--json", "--map", "@"},              1},
    {"NoBlockWatch",      {"--watch", "--count", "2", "--map", "@"}, 1},
    {"UnknownOption",     {"--frob", "--map", "@"},              2},
    {"MapWithoutName",    {"--map"},                             2},
    {"EmptyMapName",      {"--map", ""},                         2},
    {"CountNotANumber",   {"--watch", "--count", "x", "--map", "@"}, 2},
    {"CountHex",          {"--watch", "--count", "0x10", "--map", "@"}, 2},
    {"IntervalZero",      {"--watch", "--interval", "0", "--map", "@"}, 2},
    {"NegativeTimeout",   {"--lock-timeout", "-5", "--map", "@"}, 2},
};

INSTANTIATE_TEST_SUITE_P(Cases, VarnoCountersFailures, ::testing::ValuesIn(FailureCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(VarnoCounters, LeftoverBlockOfAKilledTrayIsNoBlock)
{
    WriteFile(blockPath, std::string(4096, '\x01'));
    const TRunResult run = Counters({"--map", name});
    EXPECT_EQ(run.Status, 1) << run.Out;
    EXPECT_EQ(run.Out, "");
}

TEST_F(VarnoCounters, LockHeldByAnotherProgramIsExitThree)
{
    TMap map(name);
    map.Open();
    Fill(map, {"Web"});
    TChildProcess holder({PythonPath(), ReaderScript(), "lockhold", name, "600"});
    ASSERT_EQ(holder.ReadLine(), "locked");

    const TRunResult run = Counters({"--map", name, "--lock-timeout", "20"});
    EXPECT_EQ(run.Status, 3);
    EXPECT_EQ(run.Out, "");
    EXPECT_NE(run.Err.find(map.LockPath()), std::string::npos) << run.Err;

    holder.Kill(SIGKILL);
    holder.Wait();
    EXPECT_EQ(Counters({"--map", name}).Status, 0);
}

} // namespace
