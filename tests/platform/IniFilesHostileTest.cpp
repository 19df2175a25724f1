// Initialisation files that users and other programs can hand us: things
// that are not files, bytes that are not text, sizes nobody expects, and
// writes that must fail without touching what was there.

#include "platform/IniFiles.h"
#include "platform/SysUtils.h"
#include "tests/support/Restricted.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteAll(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

class IniHostile : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("varno-ini-hostile-" + std::to_string(::getpid()) + "-"
                                            + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "test.ini").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
    std::string path_;
};

// ---------------------------------------------------------------------------
// Reading: whatever is at the path, no crash, no hang, and the documented
// answer.

struct TReadCase {
    const char* Name;
    std::function<void(const std::string& path)> Prepare;
    const char* WantValue; // [S] K, default "default"
    bool WantSection;      // SectionExists("S")
};

void PrintTo(const TReadCase& c, std::ostream* os) { *os << c.Name; }

class IniHostileReads : public IniHostile, public ::testing::WithParamInterface<TReadCase> {};

TEST_P(IniHostileReads, GiveTheDocumentedValue)
{
    const TReadCase& c = GetParam();
    c.Prepare(path_);
    const auto started = std::chrono::steady_clock::now();
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("S", "K", "default"), std::string(c.WantValue));
    EXPECT_EQ(ini.SectionExists("S"), c.WantSection);
    EXPECT_EQ(TIniSnapshot(path_).ReadString("S", "K", "default"), std::string(c.WantValue));
    // A FIFO without a writer would block an ordinary open for ever.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

const TReadCase ReadCases[] = {
    {"Directory", [](const std::string& p) { fs::create_directory(p); }, "default", false},
    {"FifoWithoutWriter", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, "default", false},
    {"CharacterDevice", [](const std::string& p) { fs::create_symlink("/dev/zero", p); }, "default", false},
    {"LinkToAFile",
     [](const std::string& p) {
         WriteAll(p + ".real", "[S]\nK=through the link\n");
         fs::create_symlink(p + ".real", p);
     },
     "through the link", true},
    {"Empty", [](const std::string& p) { WriteAll(p, ""); }, "default", false},
    // Sparse: a gigabyte on paper, nothing on disk. Beyond the size limit.
    {"SparseGigabyte",
     [](const std::string& p) {
         WriteAll(p, "[S]\nK=v\n");
         fs::resize_file(p, std::uintmax_t(1) << 30);
     },
     "default", false},
    {"NulsAroundTheNames", [](const std::string& p) { WriteAll(p, std::string("\0[S]\0\n\0K\0=v\n", 12)); }, "v",
     true},
    {"InvalidUtf8KeptAsBytes", [](const std::string& p) { WriteAll(p, "[S]\nK=\xff\xfe\xc3(\x80\n"); },
     "\xff\xfe\xc3(\x80", true},
    // A lone CR does not end a line: the whole text is the section line.
    {"CarriageReturnsOnly", [](const std::string& p) { WriteAll(p, "[S]\rK=v\r[T]\rK=w\r"); }, "default", true},
    {"CrLf", [](const std::string& p) { WriteAll(p, "[S]\r\nK=v\r\n"); }, "v", true},
    {"NoLineEndAtTheEnd", [](const std::string& p) { WriteAll(p, "[S]\nK=v"); }, "v", true},
    {"UnclosedSectionName", [](const std::string& p) { WriteAll(p, "[S\nK=v\n"); }, "default", false},
    {"OnlyBrackets", [](const std::string& p) { WriteAll(p, "[\n]\n[]\n=\n[S]\n=x\nK=v\n"); }, "v", true},
    {"AllByteValues",
     [](const std::string& p) {
         std::string bytes;
         for (int i = 0; i < 256; ++i)
             bytes += char(i);
         WriteAll(p, bytes + "\n[S]\nK=" + bytes.substr(64) + "\n");
     },
     nullptr, true},
};

// The all-bytes value: trimming stops at the first byte above 32 and the
// last, which is 0xFF.
std::string AllBytesValue()
{
    std::string v;
    for (int i = 64; i < 256; ++i)
        v += char(i);
    return v;
}

std::vector<TReadCase> ReadCasesWithValues()
{
    std::vector<TReadCase> cases(std::begin(ReadCases), std::end(ReadCases));
    static const std::string allBytes = AllBytesValue();
    for (auto& c : cases)
        if (!c.WantValue)
            c.WantValue = allBytes.c_str();
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Files, IniHostileReads, ::testing::ValuesIn(ReadCasesWithValues()),
                         [](const auto& info) { return std::string(info.param.Name); });

// Values with NULs compare by length too: EXPECT_EQ on std::string(char*)
// would stop at the NUL, so check the NUL case exactly here.
TEST_F(IniHostile, NulBytesStayInTheValue)
{
    WriteAll(path_, std::string("[S]\nK=a\0b\n", 10));
    EXPECT_EQ(TIniFile(path_).ReadString("S", "K", ""), std::string("a\0b", 3));
}

TEST_F(IniHostile, UnreadableFileReadsAsEmpty)
{
    WriteAll(path_, "[S]\nK=secret\n");
    ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
    const std::string path = path_;
    const TChildResult child = RunInChild(
        [&path] {
            TIniFile ini(path);
            return ini.ReadString("S", "K", "default") == "default" && !ini.SectionExists("S")
                           && TIniSnapshot(path).ReadString("S", "K", "default") == "default"
                       ? 0
                       : 1;
        },
        {.AsNobody = true});
    EXPECT_EQ(child.Status, 0);
}

// Sizes far beyond any real settings file: a value of megabytes, and
// millions of lines. Memory stays near the file's size (the text is held
// once, not line by line) and a read takes about as long as reading the file.
TEST_F(IniHostile, HugeFilesReadInMemoryNearTheirSize)
{
    constexpr size_t Size = size_t(24) << 20;
    struct THuge {
        const char* Name;
        std::function<void(std::ofstream&)> Write; // about Size bytes
        size_t WantSize;                            // of [S] K
    };
    const THuge cases[] = {
        {"one long value",
         [](std::ofstream& out) {
             out << "[S]\nK=";
             const std::string chunk(1 << 20, 'x');
             for (size_t i = 0; i < Size >> 20; ++i)
                 out << chunk;
             out << "\n";
         },
         2047},
        {"millions of empty lines",
         [](std::ofstream& out) {
             const std::string chunk(1 << 20, '\n');
             for (size_t i = 0; i < Size >> 20; ++i)
                 out << chunk;
             out << "[S]\nK=at the end\n";
         },
         10},
        {"millions of keys",
         [](std::ofstream& out) {
             out << "[S]\n";
             for (size_t i = 0, written = 0; written < Size; ++i) {
                 const std::string line = "k" + std::to_string(i) + "=\n";
                 out << line;
                 written += line.size();
             }
             out << "K=last\n";
         },
         4},
    };
    for (const THuge& c : cases) {
        SCOPED_TRACE(c.Name);
        {
            std::ofstream out(path_, std::ios::binary);
            c.Write(out);
        }
        const std::string path = path_;
        const size_t want = c.WantSize;
        const auto started = std::chrono::steady_clock::now();
        const TChildResult child = RunInChild([&] {
            const TIniFile ini(path);
            return ini.ReadString("S", "K", "").size() == want && ini.SectionExists("S") ? 0 : 1;
        });
        EXPECT_EQ(child.Status, 0);
        // The file is 24 MiB; a copy of the empty-lines file line by line
        // would take over 700 MiB.
        EXPECT_LT(child.MaxRssKiB, 400L * 1024) << "peak KiB";
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
    }
}

// ---------------------------------------------------------------------------
// Writing: every failure raises "Unable to write to <name>", leaves the old
// file byte for byte, and leaves no temporary file behind.

const std::string OldText = "; settings\r\n[Settings]\r\nAdaptor Index=1\r\n[Other]\r\nx=y\r\n";

struct TWriteFailure {
    const char* Name;
    TChildOptions Child;
    // Prepares the folder (as root, before the child starts).
    std::function<void(const fs::path& dir, const std::string& path)> Prepare;
    // Runs in the child before the write (mounts).
    std::function<bool(const fs::path& dir)> InChild;
    std::string Value = "2";
    // Where the old text must still be: the prepared cases that put
    // something else at the path moved the file here.
    const char* OldAt = "test.ini";
};

void PrintTo(const TWriteFailure& c, std::ostream* os) { *os << c.Name; }

class IniHostileWrites : public IniHostile, public ::testing::WithParamInterface<TWriteFailure> {};

TEST_P(IniHostileWrites, RaiseAndLeaveTheOldFile)
{
    const TWriteFailure& c = GetParam();
    WriteAll(path_, OldText);
    if (c.Prepare)
        c.Prepare(dir_, path_);
    std::vector<std::string> before;
    for (const auto& e : fs::directory_iterator(dir_))
        before.push_back(e.path().filename().string());

    const auto typeAtPath = fs::symlink_status(path_).type();
    const std::string path = path_;
    const fs::path dir = dir_;
    const TChildResult child = RunInChild(
        [&] {
            if (c.InChild && !c.InChild(dir))
                return 10;
            TIniFile ini(path);
            try {
                ini.WriteString("Settings", "Adaptor Index", c.Value);
                return 1; // no error
            } catch (const Exception& e) {
                if (e.Message() != "Unable to write to " + path)
                    return 2;
            }
            // A file system of the child's own is checked from inside.
            if (c.Child.OwnMountNamespace) {
                if (ReadAll(path) != OldText)
                    return 3;
                if (std::distance(fs::directory_iterator(dir), fs::directory_iterator()) != 1)
                    return 4;
            }
            return 0;
        },
        c.Child);
    EXPECT_EQ(child.Status, 0) << "10: set-up in the child failed, 1: no error, 2: another message, "
                                  "3: the old file changed, 4: a file was left behind";

    EXPECT_EQ(fs::symlink_status(path_).type(), typeAtPath);
    EXPECT_EQ(ReadAll((dir_ / c.OldAt).string()), OldText);
    std::vector<std::string> after;
    for (const auto& e : fs::directory_iterator(dir_))
        after.push_back(e.path().filename().string());
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(after, before) << "a temporary file was left behind";
}

void GiveToNobody(const fs::path& dir, const std::string& path, mode_t fileMode, mode_t dirMode)
{
    ASSERT_EQ(chown(dir.c_str(), NobodyUid, NogroupGid), 0);
    ASSERT_EQ(chmod(dir.c_str(), dirMode), 0);
    ASSERT_EQ(chown(path.c_str(), NobodyUid, NogroupGid), 0);
    ASSERT_EQ(chmod(path.c_str(), fileMode), 0);
}

const TWriteFailure WriteFailures[] = {
    // The old text cannot be read, so the other entries could not be kept.
    {"FileNotReadable", {.AsNobody = true},
     [](const fs::path& d, const std::string& p) { GiveToNobody(d, p, 0200, 0700); }, nullptr},
    // The owner made it read-only; the folder would allow a rename over it.
    {"FileReadOnly", {.AsNobody = true},
     [](const fs::path& d, const std::string& p) { GiveToNobody(d, p, 0444, 0700); }, nullptr},
    {"FolderNotWritable", {.AsNobody = true},
     [](const fs::path& d, const std::string& p) { GiveToNobody(d, p, 0644, 0555); }, nullptr},
    // Root too cannot write a read-only file system.
    {"ReadOnlyMount", {.OwnMountNamespace = true}, nullptr,
     [](const fs::path& d) { return BindReadOnly(d.string()); }},
    // The disk fills up half-way through the new text.
    {"DiskFull", {.OwnMountNamespace = true}, nullptr,
     [](const fs::path& d) {
         // A file system of its own, a little larger than the old file.
         const std::string p = (d / "test.ini").string();
         const std::string text = OldText;
         return MountTmpfs(d.string(), "8k") && (WriteAll(p, text), ReadAll(p) == text);
     },
     std::string(64 * 1024, 'v')},
    {"DanglingLink", {},
     [](const fs::path& d, const std::string& p) {
         fs::rename(p, d / "moved.ini");
         fs::create_symlink(d / "nowhere.ini", p);
     },
     nullptr, "2", "moved.ini"},
    {"FifoInItsPlace", {},
     [](const fs::path& d, const std::string& p) {
         fs::rename(p, d / "moved.ini");
         ASSERT_EQ(mkfifo(p.c_str(), 0600), 0);
     },
     nullptr, "2", "moved.ini"},
};

INSTANTIATE_TEST_SUITE_P(Failures, IniHostileWrites, ::testing::ValuesIn(WriteFailures),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(IniHostile, WritesGoThroughALinkAndKeepIt)
{
    WriteAll(path_ + ".real", OldText);
    ASSERT_EQ(chmod((path_ + ".real").c_str(), 0640), 0);
    fs::create_symlink(path_ + ".real", path_);
    TIniFile(path_).WriteInteger("Settings", "Adaptor Index", 7);
    EXPECT_TRUE(fs::is_symlink(path_));
    EXPECT_EQ(ReadAll(path_ + ".real"), "; settings\r\n[Settings]\r\nAdaptor Index=7\r\n[Other]\r\nx=y\r\n");
    struct stat st {};
    ASSERT_EQ(stat((path_ + ".real").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "the mode stays";
}

// Root writing a user's file keeps it the user's.
TEST_F(IniHostile, RootKeepsTheOwnerOfAUsersFile)
{
    WriteAll(path_, OldText);
    ASSERT_EQ(chown(path_.c_str(), NobodyUid, NogroupGid), 0);
    TIniFile(path_).WriteBool("Settings", "Start Connected", true);
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, NobodyUid);
    EXPECT_EQ(st.st_gid, NogroupGid);
    EXPECT_TRUE(TIniFile(path_).ReadBool("Settings", "Start Connected", false));
}

// A huge file is rewritten whole and correct.
TEST_F(IniHostile, WritesIntoAHugeFileKeepEveryLine)
{
    std::string text = "[Settings]\nAdaptor Index=1\n";
    for (int i = 0; i < 200000; ++i)
        text += "[" + std::to_string(i) + "]\nk=" + std::string(size_t(i % 50), 'v') + "\n";
    WriteAll(path_, text);
    TIniFile(path_).WriteInteger("Settings", "Adaptor Index", 2);
    text.replace(text.find("=1\n"), 3, "=2\n");
    EXPECT_EQ(ReadAll(path_), text);
}

} // namespace
