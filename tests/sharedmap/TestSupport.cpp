#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <limits.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string& RuntimeDir()
{
    static std::string dir;
    return dir;
}

// Every test process gets a folder of its own as XDG_RUNTIME_DIR, so no test
// ever touches the real "VarnoTray" block or another test's files.
class TRuntimeDirEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        char pattern[] = "/tmp/varno-sharedmap-XXXXXX";
        if (!mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        RuntimeDir() = pattern;
        setenv("XDG_RUNTIME_DIR", pattern, 1);
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(RuntimeDir(), ec);
    }
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new TRuntimeDirEnvironment);

} // namespace

const std::string& TestRuntimeDir() { return RuntimeDir(); }

std::string UniqueMapName()
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "T" + std::to_string(getpid()) + "_" + info->test_suite_name() + "_" + info->name();
    for (char& c : name)
        if (c == '/')
            c = '_';
    return name;
}

int64_t RawInt64(const uint8_t* block, int offset)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v |= uint64_t(block[offset + i]) << (8 * i);
    return int64_t(v);
}

void PutRawInt64(uint8_t* block, int offset, int64_t value)
{
    for (int i = 0; i < 8; ++i)
        block[offset + i] = uint8_t(uint64_t(value) >> (8 * i));
}

int OpenFdCount()
{
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

bool FdOpenOn(const std::string& path)
{
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        char target[PATH_MAX];
        const ssize_t n = readlink(entry.path().c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, size_t(n)) == path)
            return true;
    }
    return false;
}

bool PathExists(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
        throw std::runtime_error("cannot write " + path);
    close(fd);
}

std::string PythonPath() { return SHAREDMAP_TEST_PYTHON; }
std::string ReaderScript() { return std::string(VARNO_SOURCE_DIR) + "/tests/sharedmap/reader.py"; }
std::string ChurnProgram() { return SHAREDMAP_CHURN_PROGRAM; }
std::string CountersProgram() { return std::string(VARNO_BIN_DIR) + "/varno-counters"; }
