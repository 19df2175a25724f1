// The block and lock files when something else is in their place: links,
// files of the wrong size that another program holds, a lock file swapped
// while the map keeps it open, and runtime folders that are unset, missing,
// not folders or not writable.

#include "TestSupport.h"
#include "sharedmap/SharedMemoryMap.h"
#include "tests/support/Restricted.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using TMap = TVarnoTraySharedMemoryMap;

constexpr int BlockSize = 4096;

std::string ReadBytes(const std::string& path)
{
    std::string bytes;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return bytes;
    char buffer[8192];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, size_t(n));
    close(fd);
    return bytes;
}

off_t SizeOf(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class SharedMapHostile : public ::testing::Test {
protected:
    std::string name = UniqueMapName();
    std::string blockPath = TestRuntimeDir() + "/" + name;
    std::string lockPath = TestRuntimeDir() + "/LOCK" + name;
};

// ---------------------------------------------------------------------------
// Something else where the lock file belongs: Lock fails, follows no link,
// leaves no descriptor open, and never waits for a FIFO.

struct TLockCase {
    const char* Name;
    std::function<void(const std::string& lockPath)> Prepare;
    bool WantLocked;
};

void PrintTo(const TLockCase& c, std::ostream* os) { *os << c.Name; }

class SharedMapHostileLock : public SharedMapHostile, public ::testing::WithParamInterface<TLockCase> {};

TEST_P(SharedMapHostileLock, LockOnlyOnItsOwnFile)
{
    const TLockCase& c = GetParam();
    c.Prepare(lockPath);
    TMap map(name);
    map.SetLockTimeout(50);
    map.Open();
    const int fds = OpenFdCount();
    EXPECT_EQ(map.Lock(), c.WantLocked);
    EXPECT_EQ(map.Locked(), c.WantLocked);
    if (c.WantLocked) {
        map.Unlock();
    } else {
        EXPECT_EQ(OpenFdCount(), fds);
    }
    // Whatever a link pointed at is untouched, and nothing was created there.
    EXPECT_EQ(ReadBytes(lockPath + ".target"), PathExists(lockPath + ".target") ? "keep" : "");
    EXPECT_FALSE(PathExists(lockPath + ".nowhere"));
}

const TLockCase LockCases[] = {
    {"LinkToAFile",
     [](const std::string& p) {
         WriteFile(p + ".target", "keep");
         ASSERT_EQ(symlink((p + ".target").c_str(), p.c_str()), 0);
     },
     false},
    {"DanglingLink", [](const std::string& p) { ASSERT_EQ(symlink((p + ".nowhere").c_str(), p.c_str()), 0); },
     false},
    {"Folder", [](const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); }, false},
    {"Fifo", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, false},
    {"OtherUsersFile",
     [](const std::string& p) {
         WriteFile(p, "");
         ASSERT_EQ(chown(p.c_str(), NobodyUid, NogroupGid), 0);
     },
     false},
    // What the lock file holds does not matter, and stays.
    {"FileWithContents", [](const std::string& p) { WriteFile(p, std::string(10000, 'x')); }, true},
};

INSTANTIATE_TEST_SUITE_P(Files, SharedMapHostileLock, ::testing::ValuesIn(LockCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// The kept lock file is swapped for a link while the map runs: the map
// notices within its check interval and refuses from then on, rather than
// locking a file that nobody else locks.
TEST_F(SharedMapHostile, LockFileReplacedByALinkWhileKept)
{
    TMap map(name);
    map.SetLockTimeout(50);
    map.Open();
    ASSERT_TRUE(map.Lock());
    map.Unlock();

    WriteFile(lockPath + ".target", "keep");
    ASSERT_EQ(unlink(lockPath.c_str()), 0);
    ASSERT_EQ(symlink((lockPath + ".target").c_str(), lockPath.c_str()), 0);

    const auto deadline = std::chrono::steady_clock::now() + TMap::LockFileCheckInterval * 5;
    bool refused = false;
    while (!refused && std::chrono::steady_clock::now() < deadline) {
        refused = !map.Lock();
        if (!refused)
            map.Unlock();
    }
    EXPECT_TRUE(refused);
    EXPECT_FALSE(map.Locked());
    EXPECT_FALSE(FdOpenOn(lockPath + ".target"));
    EXPECT_EQ(ReadBytes(lockPath + ".target"), "keep");
}

// ---------------------------------------------------------------------------
// A block of the wrong size that another program holds: the map never maps
// past the end of the file (touching such a page would kill the process).

struct TSizeCase {
    const char* Name;
    off_t Size;
    bool ReadOnly;        // OpenExisting instead of Open
    bool WantOpen;        // else "Can't View Memory Map"
    off_t WantSizeAfter;
};

void PrintTo(const TSizeCase& c, std::ostream* os) { *os << c.Name; }

class SharedMapHostileSize : public SharedMapHostile, public ::testing::WithParamInterface<TSizeCase> {};

TEST_P(SharedMapHostileSize, HeldBlockOfTheWrongSize)
{
    const TSizeCase& c = GetParam();
    std::string bytes(size_t(c.Size), '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i % 251 + 1);
    WriteFile(blockPath, bytes);
    // The other program: its own open file, holding the block.
    const int holder = open(blockPath.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_SH), 0);

    TMap map(name);
    map.SetLockTimeout(50);
    const int fds = OpenFdCount();
    std::optional<std::string> error;
    try {
        if (c.ReadOnly)
            EXPECT_TRUE(map.OpenExisting());
        else
            EXPECT_TRUE(map.Open());
    } catch (const Exception& e) {
        error = e.Message();
    }
    if (c.WantOpen) {
        ASSERT_FALSE(error) << *error;
        ASSERT_TRUE(map.Opened());
        // Every byte of the block can be read; what the holder wrote is kept.
        const size_t kept = std::min(size_t(c.Size), size_t(BlockSize));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(map.Memory()), kept), bytes.substr(0, kept));
        for (int i = int(kept); i < BlockSize; ++i)
            ASSERT_EQ(map.Memory()[i], 0) << "byte " << i;
        if (!c.ReadOnly) {
            EXPECT_TRUE(map.AddAmount(70, 5));
            EXPECT_EQ(map.TotalAmount(70), RawInt64(map.Memory(), 1 + 57 * 70 + 49));
        }
        map.Close();
    } else {
        EXPECT_EQ(error.value_or("no error"), "Can't View Memory Map");
        EXPECT_FALSE(map.Opened());
        EXPECT_EQ(OpenFdCount(), fds);
    }
    EXPECT_EQ(SizeOf(blockPath), c.WantSizeAfter) << "the holder keeps the file";
    close(holder);
}

const TSizeCase SizeCases[] = {
    {"EmptyOpened", 0, false, true, BlockSize},
    {"ShortOpened", 100, false, true, BlockSize},
    {"OneByteShortOpened", BlockSize - 1, false, true, BlockSize},
    {"LongerOpened", 2 * BlockSize, false, true, 2 * BlockSize},
    {"EmptyRead", 0, true, false, 0},
    {"ShortRead", 100, true, false, 100},
    {"OneByteShortRead", BlockSize - 1, true, false, BlockSize - 1},
    {"LongerRead", BlockSize + 1, true, true, BlockSize + 1},
};

INSTANTIATE_TEST_SUITE_P(Sizes, SharedMapHostileSize, ::testing::ValuesIn(SizeCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------------------
// The runtime folder.

// Sets XDG_RUNTIME_DIR for one test, or unsets it, and restores it after.
class TRuntimeDirOverride {
public:
    explicit TRuntimeDirOverride(const char* value)
    {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR"))
            old_ = old;
        if (value)
            setenv("XDG_RUNTIME_DIR", value, 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
    }
    ~TRuntimeDirOverride()
    {
        if (old_)
            setenv("XDG_RUNTIME_DIR", old_->c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
    }

private:
    std::optional<std::string> old_;
};

struct TFolderCase {
    const char* Name;
    // Returns the value for XDG_RUNTIME_DIR (nullopt: unset), given a
    // scratch folder of the test.
    std::function<std::optional<std::string>(const std::string& scratch)> Prepare;
    bool AsNobody;
    const char* WantFolder; // where the block goes; nullptr: Open raises "Can't Create Memory Map"
};

void PrintTo(const TFolderCase& c, std::ostream* os) { *os << c.Name; }

class SharedMapHostileFolder : public SharedMapHostile, public ::testing::WithParamInterface<TFolderCase> {};

TEST_P(SharedMapHostileFolder, BlockGoesWhereReadersLookOrOpenRaises)
{
    const TFolderCase& c = GetParam();
    // Under /tmp, so that nobody can reach it and only root can write it.
    const std::string scratch = (fs::temp_directory_path() / (name + ".scratch")).string();
    fs::remove_all(scratch);
    ASSERT_EQ(mkdir(scratch.c_str(), 0755), 0);
    const std::optional<std::string> value = c.Prepare(scratch);
    const TRuntimeDirOverride env(value ? value->c_str() : nullptr);
    const std::string mapName = name;
    const char* const wantFolder = c.WantFolder;

    // 0 as wanted; 1 Open raised though a folder was wanted; 2 the block is
    // not where wanted; 3 it stayed after Close; 4 Open went through though
    // it should have raised; 5 another message; 6 OpenExisting found a block.
    const auto body = [&]() -> int {
        TMap map(mapName);
        map.SetLockTimeout(50);
        try {
            map.Open();
        } catch (const Exception& e) {
            if (wantFolder)
                return 1;
            if (e.Message() != "Can't Create Memory Map")
                return 5;
            TMap reader(mapName);
            try {
                if (reader.OpenExisting())
                    return 6;
            } catch (const Exception&) {
                // No block there either way.
            }
            return 0;
        }
        if (!wantFolder)
            return 4;
        const std::string path = std::string(wantFolder) + "/" + mapName;
        if (!PathExists(path) || map.MapPath() != path)
            return 2;
        map.Close();
        return PathExists(path) ? 3 : 0;
    };
    const int status = c.AsNobody ? RunInChild(body, {.AsNobody = true}).Status : body();
    EXPECT_EQ(status, 0);
    fs::remove_all(scratch);
}

const TFolderCase FolderCases[] = {
    {"Unset", [](const std::string&) { return std::nullopt; }, false, "/dev/shm"},
    {"Empty", [](const std::string&) { return std::string(); }, false, "/dev/shm"},
    {"Missing", [](const std::string& s) { return s + "/missing"; }, false, nullptr},
    {"AFileNotAFolder",
     [](const std::string& s) {
         WriteFile(s + "/file", "x");
         return s + "/file";
     },
     false, nullptr},
    // Root's folder, for a user who may not write there.
    {"NotWritable", [](const std::string& s) { return s; }, true, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Folders, SharedMapHostileFolder, ::testing::ValuesIn(FolderCases),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
