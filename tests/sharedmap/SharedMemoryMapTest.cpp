// The counters block within one process: layout, record operations, names,
// refused operations, open failures and the block's lifetime between holders.
// Every check reads the block's bytes at their published offsets.

#include "TestSupport.h"
#include "sharedmap/SharedMemoryMap.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using TMap = TVarnoTraySharedMemoryMap;

constexpr int BlockSize = 4096;

// Offsets as the block's readers compute them.
int RecordAt(int k) { return 1 + 57 * k; }
int NameLengthAt(int k) { return RecordAt(k); }
int NameAt(int k) { return RecordAt(k) + 1; }
int PeriodAt(int k) { return RecordAt(k) + 33; }
int LastAt(int k) { return RecordAt(k) + 41; }
int TotalAt(int k) { return RecordAt(k) + 49; }

std::vector<uint8_t> Snapshot(const TSharedMemoryMap& map)
{
    return std::vector<uint8_t>(map.Memory(), map.Memory() + BlockSize);
}

std::string RawName(const TSharedMemoryMap& map, int k, size_t bytes)
{
    return std::string(reinterpret_cast<const char*>(map.Memory() + NameAt(k)), bytes);
}

class SharedMemoryMap : public ::testing::Test {
protected:
    std::string name = UniqueMapName();
    std::string blockPath = TestRuntimeDir() + "/" + name;
    std::string lockPath = TestRuntimeDir() + "/LOCK" + name;
};

TEST_F(SharedMemoryMap, FreshBlockIsZeroOwnerOnlyAndCountsChanges)
{
    TMap map(name);
    EXPECT_FALSE(map.Opened());
    EXPECT_EQ(map.Memory(), nullptr);
    ASSERT_TRUE(map.Open());
    ASSERT_TRUE(map.Opened());
    EXPECT_EQ(map.MapSize(), BlockSize);
    EXPECT_EQ(map.LockTimeout(), 1000);
    EXPECT_EQ(map.MapPath(), blockPath);
    EXPECT_EQ(map.LockPath(), lockPath);

    EXPECT_EQ(Snapshot(map), std::vector<uint8_t>(BlockSize, 0));
    struct stat st {};
    ASSERT_EQ(stat(blockPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, BlockSize);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    map.IncrementChangeCount();
    EXPECT_EQ(map.Memory()[0], 1);
    EXPECT_EQ(map.ChangeCount(), 1);

    ASSERT_TRUE(map.Lock());
    ASSERT_EQ(stat(lockPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    map.Unlock();
}

TEST_F(SharedMemoryMap, ChangeCountWrapsAfter255)
{
    TMap map(name);
    map.Open();
    map.Memory()[0] = 254;
    map.IncrementChangeCount();
    EXPECT_EQ(map.Memory()[0], 255);
    map.IncrementChangeCount();
    EXPECT_EQ(map.Memory()[0], 0);
    // Only byte 0 is the counter: nothing spills into record 0.
    EXPECT_EQ(map.Memory()[1], 0);
}

// ---------------------------------------------------------------------------
// Amounts: a record starts from given amounts, a sequence of operations runs,
// and the three amounts are read back from their offsets.

enum class Op { Add, Clear, Roll };

struct TStep {
    Op Operation;
    int64_t Amount;  // for Add
};

struct TAmountCase {
    const char* Name;
    int Index;
    int64_t Period, Last, Total;  // before
    std::vector<TStep> Steps;
    int64_t WantPeriod, WantLast, WantTotal;
};

void PrintTo(const TAmountCase& c, std::ostream* os) { *os << c.Name; }

class SharedMemoryMapAmounts : public SharedMemoryMap, public ::testing::WithParamInterface<TAmountCase> {};

TEST_P(SharedMemoryMapAmounts, AmountsAfterOperations)
{
    const TAmountCase& c = GetParam();
    TMap map(name);
    map.Open();
    PutRawInt64(map.Memory(), PeriodAt(c.Index), c.Period);
    PutRawInt64(map.Memory(), LastAt(c.Index), c.Last);
    PutRawInt64(map.Memory(), TotalAt(c.Index), c.Total);
    map.SetRangeName(c.Index, "range");
    std::vector<uint8_t> before = Snapshot(map);

    for (const TStep& step : c.Steps) {
        switch (step.Operation) {
        case Op::Add: EXPECT_TRUE(map.AddAmount(c.Index, step.Amount)); break;
        case Op::Clear: EXPECT_TRUE(map.ClearRange(c.Index)); break;
        case Op::Roll: EXPECT_TRUE(map.RollPeriod(c.Index)); break;
        }
    }

    EXPECT_EQ(RawInt64(map.Memory(), PeriodAt(c.Index)), c.WantPeriod);
    EXPECT_EQ(RawInt64(map.Memory(), LastAt(c.Index)), c.WantLast);
    EXPECT_EQ(RawInt64(map.Memory(), TotalAt(c.Index)), c.WantTotal);
    EXPECT_EQ(map.PeriodAmount(c.Index), c.WantPeriod);
    EXPECT_EQ(map.LastPeriodAmount(c.Index), c.WantLast);
    EXPECT_EQ(map.TotalAmount(c.Index), c.WantTotal);
    EXPECT_EQ(map.RangeName(c.Index), "range");

    // Only the amounts of this record changed: no byte before its period
    // amount or after its total amount, and not the change count.
    std::vector<uint8_t> after = Snapshot(map);
    for (int i = 0; i < BlockSize; ++i) {
        if (i < PeriodAt(c.Index) || i >= TotalAt(c.Index) + 8) {
            ASSERT_EQ(after[size_t(i)], before[size_t(i)]) << "byte " << i;
        }
    }
}

const TAmountCase AmountCases[] = {
    // Name                 Index  Period        Last  Total         Steps                                       Period        Last  Total
    {"CarryIntoHighWord",   0,     4294967295LL, 7,    4294967295LL, {{Op::Add, 1}},                             4294967296LL, 7,    4294967296LL},
    {"NegativeSubtracts",   3,     250,          9,    250,          {{Op::Add, -100}},                          150,          9,    150},
    {"OverflowWraps",       70,    INT64_MAX,    0,    -1,           {{Op::Add, 1}},                             INT64_MIN,    0,    0},
    {"RollMovesPeriod",     5,     700,          5,    900,          {{Op::Roll, 0}},                            0,            700,  900},
    {"ClearKeepsLast",      5,     700,          5,    900,          {{Op::Clear, 0}},                           0,            5,    0},
    {"ClearAfterRoll",      1,     0,            0,    0,            {{Op::Add, 300}, {Op::Roll, 0}, {Op::Add, 50}, {Op::Clear, 0}}, 0, 300, 0},
    {"AddsAccumulate",      70,    0,            0,    1000,         {{Op::Add, 1500}, {Op::Add, 40}},           1540,         0,    2540},
};

INSTANTIATE_TEST_SUITE_P(Cases, SharedMemoryMapAmounts, ::testing::ValuesIn(AmountCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------------------
// Names: stored as bytes, at most 32, never cut inside a UTF-8 character;
// bytes beyond the new length stay as they were.

struct TNameCase {
    const char* Name;
    std::string Before;  // name stored first
    std::string Value;   // then this one
    int WantLength;
    std::string WantField;  // the first bytes of the 32-byte field afterwards
};

void PrintTo(const TNameCase& c, std::ostream* os) { *os << c.Name; }

class SharedMemoryMapNames : public SharedMemoryMap, public ::testing::WithParamInterface<TNameCase> {};

TEST_P(SharedMemoryMapNames, StoresLengthAndBytes)
{
    const TNameCase& c = GetParam();
    TMap map(name);
    map.Open();
    const int k = 12;
    ASSERT_TRUE(map.SetRangeName(k, c.Before));
    ASSERT_TRUE(map.SetRangeName(k, c.Value));
    EXPECT_EQ(map.Memory()[NameLengthAt(k)], c.WantLength);
    EXPECT_EQ(RawName(map, k, c.WantField.size()), c.WantField);
    EXPECT_EQ(map.RangeName(k), c.WantField.substr(0, size_t(c.WantLength)));
    // The field ends at 32 bytes: the period amount after it is untouched.
    EXPECT_EQ(RawInt64(map.Memory(), PeriodAt(k)), 0);
    EXPECT_EQ(map.Memory()[NameLengthAt(k + 1)], 0);
}

const std::string Forty = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn";
const std::string Ascii31(31, 'a');
const std::string Ascii30(30, 'b');
const std::string Ascii28(28, 'c');
const std::string SixteenE = [] {
    std::string s;
    for (int i = 0; i < 16; ++i)
        s += "\xC3\xA9";  // é
    return s;
}();

const TNameCase NameCases[] = {
    // Name                  Before          Value                              Length  Field afterwards
    {"FortyCutTo32",         "",             Forty,                             32,     Forty.substr(0, 32)},
    {"ShortOverLong",        "Eleven char",  "abc",                             3,      "abcven char"},
    {"EmptyKeepsBytes",      "Web",          "",                                0,      "Web"},
    {"Exactly32",            "",             Forty.substr(0, 32),               32,     Forty.substr(0, 32)},
    {"TwoByteCharAt32",      "",             Ascii31 + "\xC3\xA9",              31,     Ascii31},
    {"ThreeByteCharAt32",    "",             Ascii30 + "\xE2\x82\xAC" "x",      30,     Ascii30},
    {"FourByteCharAt32",     "",             Ascii28 + "\xF0\x9F\x98\x80" "x",  32,     Ascii28 + "\xF0\x9F\x98\x80"},
    {"FourByteCharSplit",    "",             Ascii30 + "\xF0\x9F\x98\x80",      30,     Ascii30},
    {"WholeTwoByteChars",    "",             SixteenE + "\xC3\xA9",             32,     SixteenE},
    {"NotUtf8LosesAtMost3",  "",             std::string(40, '\xA9'),           29,     std::string(29, '\xA9')},
};

INSTANTIATE_TEST_SUITE_P(Cases, SharedMemoryMapNames, ::testing::ValuesIn(NameCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------------------
// Operations that must not write: on a map that is not open, after a failed
// Open, and for indexes outside the 71 records.

TEST_F(SharedMemoryMap, ClosedMapWritesNothingAndCannotLock)
{
    for (const bool afterFailedOpen : {false, true}) {
        SCOPED_TRACE(afterFailedOpen ? "after a failed Open" : "never opened");
        TMap map(afterFailedOpen ? "no/such" : name);
        if (afterFailedOpen) {
            EXPECT_THROW(map.Open(), Exception);
            EXPECT_FALSE(map.Opened());
        }
        EXPECT_FALSE(map.AddAmount(0, 5));
        EXPECT_FALSE(map.ClearRange(0));
        EXPECT_FALSE(map.RollPeriod(0));
        EXPECT_FALSE(map.SetRangeName(0, "x"));
        map.IncrementChangeCount();
        EXPECT_EQ(map.ChangeCount(), 0);
        EXPECT_EQ(map.TotalAmount(0), 0);
        EXPECT_FALSE(map.Lock());
        EXPECT_FALSE(map.Locked());
        EXPECT_FALSE(LockWithRetry(map));
        EXPECT_FALSE(PathExists(lockPath));
    }
}

TEST_F(SharedMemoryMap, IndexesOutsideTheRecordsAreRefused)
{
    TMap map(name);
    map.Open();
    std::memset(map.Memory(), 0x5A, BlockSize);
    const std::vector<uint8_t> before = Snapshot(map);
    for (const int index : {-1, 71, 72, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(index);
        EXPECT_FALSE(map.AddAmount(index, 1));
        EXPECT_FALSE(map.ClearRange(index));
        EXPECT_FALSE(map.RollPeriod(index));
        EXPECT_FALSE(map.SetRangeName(index, "x"));
        EXPECT_EQ(map.RangeName(index), "");
        EXPECT_EQ(map.TotalAmount(index), 0);
    }
    EXPECT_EQ(Snapshot(map), before);
    // Record 70 is the last one and ends at byte 4047; the spare bytes stay.
    EXPECT_TRUE(map.ClearRange(70));
    const std::vector<uint8_t> after = Snapshot(map);
    EXPECT_EQ(after[4047], 0);
    for (int i = 4048; i < BlockSize; ++i)
        ASSERT_EQ(after[size_t(i)], 0x5A) << "byte " << i;
}

TEST_F(SharedMemoryMap, NameLengthAbove32ReadsAs32)
{
    TMap map(name);
    map.Open();
    map.SetRangeName(0, Forty);
    map.Memory()[NameLengthAt(0)] = 200;  // as a faulty writer might leave it
    EXPECT_EQ(map.RangeName(0), Forty.substr(0, 32));
}

TEST_F(SharedMemoryMap, SettingsCannotChangeWhileOpen)
{
    TMap map(name);
    map.Open();
    for (const auto& change : std::vector<std::function<void()>>{
             [&] { map.SetMapName("Other"); }, [&] { map.SetLockTimeout(5); }}) {
        try {
            change();
            ADD_FAILURE() << "no error";
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), "Map is open");
        }
    }
    EXPECT_EQ(map.MapName(), name);
    EXPECT_EQ(map.LockTimeout(), 1000);
    map.Close();
    map.SetMapName("Other");
    map.SetLockTimeout(5);
    EXPECT_EQ(map.MapName(), "Other");
    EXPECT_EQ(map.LockTimeout(), 5);
}

// ---------------------------------------------------------------------------
// Open refuses names and files that are not its own block.

struct TOpenFailure {
    const char* Name;
    std::function<void(const std::string& path)> Prepare;
    const char* MapName;  // nullptr: the test's own name
};

void PrintTo(const TOpenFailure& c, std::ostream* os) { *os << c.Name; }

class SharedMemoryMapOpenFailures : public SharedMemoryMap,
                                    public ::testing::WithParamInterface<TOpenFailure> {};

TEST_P(SharedMemoryMapOpenFailures, RaisesCantCreate)
{
    const TOpenFailure& c = GetParam();
    if (c.Prepare)
        c.Prepare(blockPath);
    TMap map(c.MapName ? std::string(c.MapName) : name);
    const int fds = OpenFdCount();
    try {
        map.Open();
        ADD_FAILURE() << "Open succeeded";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Can't Create Memory Map");
    }
    EXPECT_FALSE(map.Opened());
    EXPECT_EQ(map.Memory(), nullptr);
    EXPECT_EQ(OpenFdCount(), fds);
}

const TOpenFailure OpenFailures[] = {
    {"EmptyName", nullptr, ""},
    {"Dot", nullptr, "."},
    {"Dots", nullptr, ".."},
    {"Slash", nullptr, "../escape"},
    {"Symlink",
     [](const std::string& path) {
         WriteFile(path + ".target", "keep");
         ASSERT_EQ(symlink((path + ".target").c_str(), path.c_str()), 0);
     },
     nullptr},
    {"OtherUsersFile",
     [](const std::string& path) {
         WriteFile(path, std::string(4096, '\0'));
         ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
     },
     nullptr},
    {"Directory", [](const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); }, nullptr},
    {"Fifo", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, SharedMemoryMapOpenFailures, ::testing::ValuesIn(OpenFailures),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(SharedMemoryMap, LockFileOfAnotherUserIsRefused)
{
    WriteFile(lockPath, "");
    ASSERT_EQ(chown(lockPath.c_str(), 65534, 65534), 0);
    TMap map(name);
    map.Open();
    const int fds = OpenFdCount();
    EXPECT_FALSE(map.Lock());
    EXPECT_FALSE(map.Locked());
    EXPECT_EQ(OpenFdCount(), fds);
}

// ---------------------------------------------------------------------------
// Lifetime between holders. Two map objects hold the block as two programs
// would: each has its own open file and its own flock.

TEST_F(SharedMemoryMap, BlockLivesWhileAnyHolderKeepsIt)
{
    auto first = std::make_unique<TMap>(name);
    first->Open();
    first->SetRangeName(2, "Mail");
    first->AddAmount(2, 1234);
    first->IncrementChangeCount();

    TMap second(name);
    second.Open();
    EXPECT_EQ(second.RangeName(2), "Mail");
    EXPECT_EQ(second.TotalAmount(2), 1234);
    EXPECT_EQ(second.ChangeCount(), 1);

    // The first holder goes; the second keeps the block and its contents.
    first.reset();
    EXPECT_TRUE(PathExists(blockPath));
    TMap third(name);
    third.Open();
    EXPECT_EQ(third.TotalAmount(2), 1234);
    third.AddAmount(2, 1);
    EXPECT_EQ(second.TotalAmount(2), 1235) << "both see the same memory";
    third.Close();
    EXPECT_TRUE(PathExists(blockPath));

    // The last holder removes it, and the next Open starts from zero.
    second.Close();
    EXPECT_FALSE(PathExists(blockPath));
    TMap fourth(name);
    fourth.Open();
    EXPECT_EQ(Snapshot(fourth), std::vector<uint8_t>(BlockSize, 0));
}

TEST_F(SharedMemoryMap, LeftoverBlockThatNobodyHoldsStartsZero)
{
    for (const size_t size : {size_t(4096), size_t(100), size_t(0), size_t(8192)}) {
        SCOPED_TRACE(size);
        WriteFile(blockPath, std::string(size, '\xAB'));
        TMap map(name);
        map.Open();
        EXPECT_EQ(Snapshot(map), std::vector<uint8_t>(BlockSize, 0));
        struct stat st {};
        ASSERT_EQ(stat(blockPath.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, BlockSize);
        map.Close();
        EXPECT_FALSE(PathExists(blockPath));
    }
}

TEST_F(SharedMemoryMap, OpenExistingReadsOnlyALiveBlock)
{
    TMap reader(name);
    // No block: nothing is created.
    EXPECT_FALSE(reader.OpenExisting());
    EXPECT_FALSE(reader.Opened());
    EXPECT_FALSE(PathExists(blockPath));

    // A leftover that nobody holds is no live block; it is removed.
    WriteFile(blockPath, std::string(4096, '\x11'));
    EXPECT_FALSE(reader.OpenExisting());
    EXPECT_FALSE(PathExists(blockPath));

    TMap writer(name);
    writer.SetLockTimeout(0);
    writer.Open();
    writer.SetRangeName(0, "Web");
    writer.AddAmount(0, 99);
    ASSERT_TRUE(reader.OpenExisting());
    EXPECT_TRUE(reader.ReadOnly());
    EXPECT_EQ(reader.RangeName(0), "Web");
    EXPECT_EQ(reader.TotalAmount(0), 99);
    // A reader cannot write.
    EXPECT_FALSE(reader.AddAmount(0, 1));
    EXPECT_FALSE(reader.SetRangeName(0, "X"));
    reader.IncrementChangeCount();
    EXPECT_EQ(writer.ChangeCount(), 0);
    EXPECT_EQ(writer.TotalAmount(0), 99);
    // It takes the same lock as everyone.
    ASSERT_TRUE(LockWithRetry(reader));
    EXPECT_FALSE(writer.Lock());
    reader.Unlock();

    // The writer goes while the reader holds: the block stays for it.
    writer.Close();
    EXPECT_TRUE(PathExists(blockPath));
    EXPECT_EQ(reader.TotalAmount(0), 99);
    TMap again(name);
    again.Open();
    EXPECT_EQ(again.TotalAmount(0), 99);
    again.Close();
    reader.Close();
}

TEST_F(SharedMemoryMap, LockIsExclusiveBetweenHoldersAndNotReentrant)
{
    const int base = OpenFdCount();
    TMap a(name), b(name);
    a.SetLockTimeout(30);
    b.SetLockTimeout(30);
    a.Open();
    b.Open();
    const int fds = OpenFdCount();
    EXPECT_EQ(fds, base + 2) << "one block file each";
    ASSERT_TRUE(a.Lock());
    EXPECT_TRUE(a.Lock()) << "a second Lock by the holder takes nothing more";
    EXPECT_EQ(OpenFdCount(), fds + 1);
    // Failed attempts keep the one lock file open, and open no other.
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_FALSE(b.Lock());
        EXPECT_FALSE(b.Locked());
        EXPECT_EQ(OpenFdCount(), fds + 2);
    }
    a.Unlock();  // one Unlock frees it
    EXPECT_FALSE(a.Locked());
    ASSERT_TRUE(b.Lock());
    EXPECT_FALSE(a.Lock()) << "the kept lock file excludes as a fresh one would";
    b.Unlock();
    EXPECT_EQ(OpenFdCount(), fds + 2);
    a.Close();
    b.Close();
    EXPECT_EQ(OpenFdCount(), base);
    EXPECT_FALSE(FdOpenOn(lockPath));
}

TEST_F(SharedMemoryMap, LockFileStaysOpenFromTheFirstLockUntilClose)
{
    TMap map(name);
    map.Open();
    const int fds = OpenFdCount();
    EXPECT_FALSE(FdOpenOn(lockPath)) << "Open alone does not open the lock file";
    for (int cycle = 0; cycle < 1000; ++cycle) {
        ASSERT_TRUE(map.Lock());
        map.AddAmount(0, 3);
        map.IncrementChangeCount();
        map.Unlock();
        ASSERT_FALSE(map.Locked());
    }
    EXPECT_EQ(OpenFdCount(), fds + 1);
    EXPECT_TRUE(FdOpenOn(lockPath));
    EXPECT_EQ(map.TotalAmount(0), 3000);
    EXPECT_EQ(map.ChangeCount(), uint8_t(1000));

    // Closed and opened again: a new lock file descriptor, still only one.
    map.Close();
    EXPECT_EQ(OpenFdCount(), fds - 1);
    EXPECT_FALSE(FdOpenOn(lockPath));
    map.Open();
    ASSERT_TRUE(map.Lock());
    map.Unlock();
    EXPECT_EQ(OpenFdCount(), fds + 1);
}

TEST_F(SharedMemoryMap, CloseWhileLockedHoldsTheLockUntilUnlock)
{
    TMap a(name), b(name);
    b.SetLockTimeout(30);
    a.Open();
    b.Open();
    ASSERT_TRUE(a.Lock());
    a.Close();
    EXPECT_TRUE(a.Locked());
    EXPECT_TRUE(FdOpenOn(lockPath));
    EXPECT_FALSE(b.Lock()) << "the lock outlives Close";
    a.Unlock();
    EXPECT_FALSE(a.Locked());
    EXPECT_TRUE(b.Lock());
    b.Unlock();
    b.Close();
    EXPECT_FALSE(FdOpenOn(lockPath)) << "Unlock of a closed map lets its lock file go";

    a.Open();
    EXPECT_TRUE(a.Lock());
    a.Unlock();
}

TEST_F(SharedMemoryMap, LockDescriptorClosedBehindItsBackIsReopened)
{
    TMap a(name), b(name);
    b.SetLockTimeout(30);
    a.Open();
    b.Open();
    ASSERT_TRUE(a.Lock());
    a.Unlock();
    const int fds = OpenFdCount();
    // Some other code of the process closes every descriptor on the lock file.
    int closed = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        char target[4096];
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, size_t(n)) == lockPath) {
            close(fd);
            ++closed;
        }
    }
    ASSERT_EQ(closed, 1);
    EXPECT_TRUE(a.Lock());
    EXPECT_TRUE(a.Locked());
    EXPECT_EQ(OpenFdCount(), fds);
    EXPECT_FALSE(b.Lock()) << "the reopened file excludes";
    a.Unlock();
    EXPECT_TRUE(b.Lock());
    b.Unlock();
}

TEST_F(SharedMemoryMap, DestructorUnlocksAndCloses)
{
    const int fds = OpenFdCount();
    {
        TMap map(name);
        map.Open();
        ASSERT_TRUE(map.Lock());
    }
    EXPECT_EQ(OpenFdCount(), fds);
    EXPECT_FALSE(PathExists(blockPath));
    TMap other(name);
    other.SetLockTimeout(0);
    other.Open();
    EXPECT_TRUE(other.Lock());
}

} // namespace
