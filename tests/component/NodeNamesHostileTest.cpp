// The node names file ("Nodes.ini") when it is not what it should be: a FIFO
// or a folder in its place, binary bytes, megabytes of other keys, no right
// to read it or to write it.

#include "TestSupport.h"
#include "tests/support/Restricted.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

using namespace testsupport;

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// A new host's names as the component reads them, found in a child that a
// stalled read cannot take down with the test program.
TChildResult NamesInChild(const std::string& file, const std::string& wantIPName, bool asNobody = false)
{
    return RunInChild(
        [&] {
            alarm(30);
            TVarno varno;
            varno.NodeNamesFile = file;
            TTerminatingNode* node = varno.AddTerminatingNode("10.0.0.1");
            return node->IPName() == wantIPName && node->CustomName().empty() ? 0 : 1;
        },
        {.AsNobody = asNobody});
}

struct TNamesCase {
    const char* Name;
    std::function<void(const std::string& path)> Prepare;
    std::string WantIPName;
};

void PrintTo(const TNamesCase& c, std::ostream* os) { *os << c.Name; }

class NodeNamesHostile : public ::testing::TestWithParam<TNamesCase> {};

TEST_P(NodeNamesHostile, NewHostsGetWhatTheFileSays)
{
    const TNamesCase& c = GetParam();
    ScratchDir scratch;
    const std::string file = scratch.File("Nodes.ini");
    c.Prepare(file);
    const TChildResult child = NamesInChild(file, c.WantIPName);
    EXPECT_EQ(child.Status, 0) << "1: other names, 142: the read stalled";
}

const TNamesCase NamesCases[] = {
    {"FifoWithoutWriter", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, ""},
    {"Folder", [](const std::string& p) { fs::create_directory(p); }, ""},
    {"Device", [](const std::string& p) { fs::create_symlink("/dev/zero", p); }, ""},
    {"BinaryBytes", [](const std::string& p) { WriteAll(p, "[10.0.0.1]\0\nIP Name=a\0\xff b\n"s); }, "a\0\xff b"s},
    {"CarriageReturnsOnly", [](const std::string& p) { WriteAll(p, "[10.0.0.1]\rIP Name=x\r"); }, ""},
    {"ValueOfMegabytes",
     [](const std::string& p) { WriteAll(p, "[10.0.0.1]\nIP Name=" + std::string(4u << 20, 'n') + "\n"); },
     std::string(2047, 'n')},
    // Past the reader's size limit the file reads as empty, not into memory.
    {"SparseGigabyte",
     [](const std::string& p) {
         WriteAll(p, "[10.0.0.1]\nIP Name=x\n");
         ASSERT_EQ(truncate(p.c_str(), off_t(1) << 30), 0);
     },
     ""},
};

INSTANTIATE_TEST_SUITE_P(Files, NodeNamesHostile, ::testing::ValuesIn(NamesCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(NodeNamesHostileFile, UnreadableFileGivesNoNames)
{
    ScratchDir scratch;
    const std::string file = scratch.File("Nodes.ini");
    WriteAll(file, "[10.0.0.1]\nIP Name=secret\n");
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    ASSERT_EQ(chmod(scratch.Path().c_str(), 0755), 0);
    EXPECT_EQ(NamesInChild(file, "", true).Status, 0);
    EXPECT_EQ(NamesInChild(file, "secret").Status, 0) << "root reads it";
}

// Megabytes of keys nobody asks for cost about their text, not a table
// entry each.
TEST(NodeNamesHostileFile, CrowdedFileCostsAboutItsSize)
{
    ScratchDir scratch;
    const std::string small = scratch.File("small.ini");
    const std::string crowded = scratch.File("Nodes.ini");
    WriteAll(small, "[10.0.0.1]\nIP Name=found\n");
    size_t size = 0;
    {
        std::ofstream out(crowded, std::ios::binary);
        out << "[10.0.0.1]\n";
        for (size_t i = 0; size < (20u << 20); ++i) {
            const std::string line = "k" + std::to_string(i) + "=\n";
            out << line;
            size += line.size();
        }
        out << "IP Name=found\n";
    }
    const TChildResult base = NamesInChild(small, "found");
    const TChildResult big = NamesInChild(crowded, "found");
    ASSERT_EQ(base.Status, 0);
    ASSERT_EQ(big.Status, 0);
    // A table entry per key would take well over ten times the text.
    EXPECT_LT(big.MaxRssKiB - base.MaxRssKiB, long(8 * size / 1024)) << "KiB above a one-line file";
}

// Writing names back: a file the user may not change raises "Unable to
// write to" and stays as it was.
TEST(NodeNamesHostileFile, SaveToAFileThatCannotBeWrittenRaisesAndKeepsIt)
{
    const std::string old = "[10.0.0.9]\nIP Name=other\n";
    struct TCase {
        const char* Name;
        mode_t FileMode, FolderMode;
    };
    for (const TCase& c : {TCase{"read-only file", 0444, 0777}, TCase{"folder not writable", 0666, 0755},
                           TCase{"unreadable file", 0200, 0777}}) {
        SCOPED_TRACE(c.Name);
        ScratchDir scratch;
        const std::string file = scratch.File("Nodes.ini");
        WriteAll(file, old);
        ASSERT_EQ(chmod(file.c_str(), c.FileMode), 0);
        ASSERT_EQ(chmod(scratch.Path().c_str(), c.FolderMode), 0);
        const TChildResult child = RunInChild(
            [&] {
                TVarno varno;
                varno.NodeNamesFile = file;
                TTerminatingNode* node = varno.AddTerminatingNode("10.0.0.1");
                node->SetIPName("host-a");
                try {
                    varno.SaveNodeNames(node);
                } catch (const Exception& e) {
                    return e.Message() == "Unable to write to " + file ? 0 : 2;
                }
                return 1;
            },
            {.AsNobody = true});
        EXPECT_EQ(child.Status, 0) << "1: no error, 2: another message";
        EXPECT_EQ(ReadAll(file), old);
        EXPECT_EQ(std::distance(fs::directory_iterator(scratch.Path()), fs::directory_iterator()), 1);
    }
}

// The disk fills up while the names are saved: none of the four keys is
// written, rather than the first ones only.
TEST(NodeNamesHostileFile, SaveOnAFullDiskWritesNothing)
{
    ScratchDir scratch;
    const std::string dir = scratch.Path().string();
    const std::string file = dir + "/Nodes.ini";
    const std::string old = "[10.0.0.9]\nIP Name=other\n";
    const TChildResult child = RunInChild(
        [&] {
            // Two pages: room for the old file and a short new one, not for a long one.
            if (!MountTmpfs(dir, "8k"))
                return 10;
            WriteAll(file, old);
            TVarno varno;
            varno.NodeNamesFile = file;
            TTerminatingNode* node = varno.AddTerminatingNode("10.0.0.1");
            node->SetCustomName("short");
            node->SetIPName(std::string(6000, 'n'));
            try {
                varno.SaveNodeNames(node);
                return 1;
            } catch (const Exception& e) {
                if (e.Message() != "Unable to write to " + file)
                    return 2;
            }
            if (ReadAll(file) != old)
                return 3;
            return std::distance(fs::directory_iterator(dir), fs::directory_iterator()) == 1 ? 0 : 4;
        },
        {.OwnMountNamespace = true});
    EXPECT_EQ(child.Status, 0) << "10: no tmpfs, 1: no error, 2: another message, 3: the file changed, "
                                  "4: a file was left behind";
}

} // namespace
