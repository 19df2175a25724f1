// The counters block against other real processes: a Python reader written
// from the published layout alone, a lock holder that keeps the lock or is
// killed, and programs that open and close the block at the same moment.

#include "ChildProcess.h"
#include "TestSupport.h"
#include "sharedmap/SharedMemoryMap.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <map>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using TMap = TVarnoTraySharedMemoryMap;
using Clock = std::chrono::steady_clock;

struct TReaderRecord {
    int Length = 0;
    std::string NameHex;
    int64_t Period = 0, Last = 0, Total = 0;
    bool operator==(const TReaderRecord&) const = default;
};

struct TReaderView {
    int ChangeCount = -1;
    std::map<int, TReaderRecord> Records;  // by index
    int SpareZero = -1;
};

// Parses what reader.py prints.
TReaderView ParseReader(const std::string& text)
{
    TReaderView view;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream f(line);
        std::string tag;
        f >> tag;
        if (tag == "change_count") {
            f >> view.ChangeCount;
        } else if (tag == "record") {
            int index = -1;
            TReaderRecord r;
            f >> index >> r.Length >> r.NameHex >> r.Period >> r.Last >> r.Total;
            view.Records[index] = r;
        } else if (tag == "spare_zero") {
            f >> view.SpareZero;
        }
    }
    return view;
}

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::vector<std::string> Reader(const std::string& command, const std::string& name)
{
    return {PythonPath(), ReaderScript(), command, name};
}

class SharedMemoryMapProcesses : public ::testing::Test {
protected:
    std::string name = UniqueMapName();
    std::string blockPath = TestRuntimeDir() + "/" + name;
    std::string lockPath = TestRuntimeDir() + "/LOCK" + name;
};

// Records as a writer leaves them, and as the reader must see them.
struct TWritten {
    int Index;
    std::string Name;
    int64_t Add;
    bool Roll;
    int64_t AddAfter;
};

const TWritten Written[] = {
    // Index  Name                        Add             Roll   AddAfter
    {0,       "Web",                      1500,           true,  -20},
    {1,       "Mail \"quoted\"",          4294967296LL,   false, 1},
    {35,      "Ünïcödé range",            -7,             false, 0},
    {70,      "Last record, exactly 32 bytes!!!", INT64_MAX, true,  INT64_MIN},
};

TEST_F(SharedMemoryMapProcesses, PythonReaderSeesRecordsAtTheirOffsets)
{
    TMap map(name);
    map.Open();
    ASSERT_TRUE(LockWithRetry(map));
    for (const TWritten& w : Written) {
        map.SetRangeName(w.Index, w.Name);
        map.AddAmount(w.Index, w.Add);
        if (w.Roll)
            map.RollPeriod(w.Index);
        map.AddAmount(w.Index, w.AddAfter);
    }
    map.IncrementChangeCount();
    map.IncrementChangeCount();
    map.Unlock();

    const TRunResult run = RunProgram(Reader("read", name));
    ASSERT_EQ(run.Status, 0) << run.Err;
    const TReaderView view = ParseReader(run.Out);
    EXPECT_EQ(view.ChangeCount, 2);
    EXPECT_EQ(view.SpareZero, 1);
    ASSERT_EQ(view.Records.size(), std::size(Written)) << run.Out;
    for (const TWritten& w : Written) {
        SCOPED_TRACE(w.Name);
        TReaderRecord want;
        want.Length = int(w.Name.size());
        want.NameHex = Hex(w.Name);
        // Unsigned sums: the reader must see the same two's-complement wrap.
        const int64_t first = w.Add;
        want.Period = w.Roll ? w.AddAfter : int64_t(uint64_t(first) + uint64_t(w.AddAfter));
        want.Last = w.Roll ? first : 0;
        want.Total = int64_t(uint64_t(first) + uint64_t(w.AddAfter));
        ASSERT_EQ(view.Records.count(w.Index), 1u);
        EXPECT_EQ(view.Records.at(w.Index), want);
    }
}

TEST_F(SharedMemoryMapProcesses, BlockSurvivesReopenWhileReaderHoldsIt)
{
    auto map = std::make_unique<TMap>(name);
    map->Open();
    map->SetRangeName(4, "Backup");
    map->AddAmount(4, 5000);
    map->IncrementChangeCount();

    TChildProcess reader(Reader("hold", name));
    ASSERT_EQ(reader.ReadLine(), "held");

    // This program goes and comes back: the reader's hold keeps the block.
    map.reset();
    ASSERT_TRUE(PathExists(blockPath));
    map = std::make_unique<TMap>(name);
    map->Open();
    EXPECT_EQ(map->RangeName(4), "Backup");
    EXPECT_EQ(map->TotalAmount(4), 5000);
    EXPECT_EQ(map->ChangeCount(), 1);
    ASSERT_TRUE(LockWithRetry(*map));
    map->AddAmount(4, 25);
    map->IncrementChangeCount();
    map->Unlock();

    // The reader sees the new writes through the mapping it held all along.
    reader.Write("\n");
    const TReaderView view = ParseReader(reader.ReadToEnd());
    ASSERT_EQ(reader.Wait(), 0);
    EXPECT_EQ(view.ChangeCount, 2);
    ASSERT_EQ(view.Records.count(4), 1u);
    EXPECT_EQ(view.Records.at(4).Total, 5025);

    // Nobody else holds it now: closing discards it, reopening gives zeros.
    map.reset();
    EXPECT_FALSE(PathExists(blockPath));
    TMap fresh(name);
    fresh.Open();
    for (int i = 0; i < fresh.MapSize(); ++i)
        ASSERT_EQ(fresh.Memory()[i], 0) << "byte " << i;
}

TEST_F(SharedMemoryMapProcesses, LockHeldElsewhereTimesOutKeepingOnlyItsLockFile)
{
    TMap map(name);
    map.Open();
    TChildProcess holder({PythonPath(), ReaderScript(), "lockhold", name, "5"});
    ASSERT_EQ(holder.ReadLine(), "locked");

    const int fds = OpenFdCount();
    const auto start = Clock::now();
    EXPECT_FALSE(map.Lock());
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_FALSE(map.Locked());
    // The lock file stays open for the next attempt: that one descriptor
    // and nothing else.
    EXPECT_EQ(OpenFdCount(), fds + 1);
    EXPECT_TRUE(FdOpenOn(lockPath));
    // It waited its whole time-out, and gave up long before the holder let go.
    EXPECT_GE(waited.count(), 1000);
    EXPECT_LT(waited.count(), 4000);

    // Once the holder has ended, the lock is to be had.
    ASSERT_EQ(holder.Wait(), 0);
    EXPECT_TRUE(map.Lock());
    map.Unlock();
    EXPECT_EQ(OpenFdCount(), fds + 1);
    map.Close();
    EXPECT_FALSE(FdOpenOn(lockPath));
    EXPECT_EQ(OpenFdCount(), fds - 1) << "the block file went too";
}

// Someone removes the lock file, or puts another file in its place, while
// the map keeps the old one open: the lock taken on the old file would
// exclude nobody who opens the path now. The map has to notice, and lock
// the file that others lock.
struct TLockFileChange {
    const char* Name;
    bool Replace;  // a new file renamed over it, else just removed
};

void PrintTo(const TLockFileChange& c, std::ostream* os) { *os << c.Name; }

class SharedMemoryMapLockFileChange : public SharedMemoryMapProcesses,
                                      public ::testing::WithParamInterface<TLockFileChange> {};

TEST_P(SharedMemoryMapLockFileChange, LockFollowsTheFileAtTheLockPath)
{
    TMap map(name);
    map.SetLockTimeout(20);
    map.Open();
    ASSERT_TRUE(map.Lock());
    map.Unlock();

    if (GetParam().Replace) {
        WriteFile(lockPath + ".new", "");
        ASSERT_EQ(rename((lockPath + ".new").c_str(), lockPath.c_str()), 0);
    } else {
        ASSERT_EQ(unlink(lockPath.c_str()), 0);
    }
    TChildProcess holder({PythonPath(), ReaderScript(), "lockhold", name, "600"});
    ASSERT_EQ(holder.ReadLine(), "locked");
    const int fds = OpenFdCount();

    // Within a few check intervals the map locks the holder's file, and is
    // refused.
    const auto deadline = Clock::now() + 10 * TMap::LockFileCheckInterval;
    bool refused = false;
    while (!refused && Clock::now() < deadline) {
        if (map.Lock()) {
            map.Unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } else {
            refused = true;
        }
    }
    EXPECT_TRUE(refused) << "the map kept locking a file that nobody else locks";
    EXPECT_EQ(OpenFdCount(), fds) << "the old lock file was let go";

    holder.Kill(SIGKILL);
    holder.Wait();
    EXPECT_TRUE(map.Lock());
    map.Unlock();
}

const TLockFileChange LockFileChanges[] = {
    {"Removed", false},
    {"Replaced", true},
};

INSTANTIATE_TEST_SUITE_P(Cases, SharedMemoryMapLockFileChange, ::testing::ValuesIn(LockFileChanges),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(SharedMemoryMapProcesses, LockOfAKilledHolderIsFree)
{
    TMap map(name);
    map.SetLockTimeout(50);
    map.Open();
    TChildProcess holder({PythonPath(), ReaderScript(), "lockhold", name, "600"});
    ASSERT_EQ(holder.ReadLine(), "locked");
    ASSERT_FALSE(map.Lock()) << "the holder has it";

    holder.Kill(SIGKILL);
    ASSERT_EQ(holder.Wait(), 128 + SIGKILL);
    EXPECT_TRUE(map.Lock());
    EXPECT_TRUE(map.Locked());
    map.Unlock();
}

TEST_F(SharedMemoryMapProcesses, RetryGivesUpAfterElevenAttempts)
{
    TMap map(name);
    map.SetLockTimeout(20);
    map.Open();
    TChildProcess holder({PythonPath(), ReaderScript(), "lockhold", name, "600"});
    ASSERT_EQ(holder.ReadLine(), "locked");
    const int fds = OpenFdCount();
    const auto start = Clock::now();
    EXPECT_FALSE(LockWithRetry(map));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    // Eleven waits of 20 ms and ten sleeps of 10 ms between them.
    EXPECT_GE(waited.count(), 11 * 20 + 10 * 10);
    EXPECT_EQ(OpenFdCount(), fds + 1) << "eleven attempts, one lock file";
}

// Programs opening and closing the block at the same moment: every Open must
// end up holding the one file the name leads to, and with a program that
// holds the block throughout, no count may go to a discarded copy.
struct TChurnCase {
    const char* Name;
    bool HoldThroughout;
    int Programs;
    int Cycles;
    bool Stay;  // each program opens once and repeats only the lock cycles
};

void PrintTo(const TChurnCase& c, std::ostream* os) { *os << c.Name; }

class SharedMemoryMapChurn : public SharedMemoryMapProcesses,
                             public ::testing::WithParamInterface<TChurnCase> {};

TEST_P(SharedMemoryMapChurn, OpenAndCloseRaceSafely)
{
    const TChurnCase& c = GetParam();
    std::unique_ptr<TMap> holder;
    if (c.HoldThroughout) {
        holder = std::make_unique<TMap>(name);
        holder->Open();
    }
    std::vector<std::unique_ptr<TChildProcess>> programs;
    for (int i = 0; i < c.Programs; ++i) {
        std::vector<std::string> argv{ChurnProgram(), name, std::to_string(c.Cycles)};
        if (c.Stay)
            argv.push_back("stay");
        programs.push_back(std::make_unique<TChildProcess>(argv));
    }
    for (auto& p : programs)
        EXPECT_EQ(p->Wait(), 0);

    if (holder) {
        EXPECT_EQ(holder->TotalAmount(0), int64_t(c.Programs) * c.Cycles);
        EXPECT_EQ(holder->ChangeCount(), uint8_t(c.Programs * c.Cycles));
        holder.reset();
    }
    // The last one to close removed the block.
    EXPECT_FALSE(PathExists(blockPath));
}

const TChurnCase ChurnCases[] = {
    // Name             Hold    Programs  Cycles  Stay
    {"NobodyHolds",     false,  3,        1000,   false},
    {"OneHoldsAll",     true,   3,        1000,   false},
    {"LockCyclesOnly",  true,   3,        20000,  true },
};

INSTANTIATE_TEST_SUITE_P(Cases, SharedMemoryMapChurn, ::testing::ValuesIn(ChurnCases),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
