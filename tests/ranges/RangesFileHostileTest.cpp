// Ranges files no one should write, loaded by the library and by
// varno-ranges: thousands of sections, values of megabytes, binary bytes,
// things that are not files, more ranges than the tray counts.

#include "RunProcess.h"

#include "app/LocalMachineInfo.h"
#include "platform/SysUtils.h"
#include "ranges/RangesFile.h"
#include "tests/support/Restricted.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

const std::string Tool = VARNO_RANGES_EXE;

void WriteAll(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Section(int number, const std::string& name, const std::string& ports = "*ANY*")
{
    return "[Range " + std::to_string(number) + "]\nDisplay Name=" + name +
           "\nSource IPs=*ANY*\nDest IPs=*ANY*\nSource Ports=*ANY*\nDest Ports=" + ports + "\n";
}

std::string Sections(int first, int last)
{
    std::string text;
    for (int n = first; n <= last; ++n)
        text += Section(n, "R" + std::to_string(n));
    return text;
}

class RangesHostile : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int serial = 0;
        dir_ = fs::temp_directory_path()
               / ("varno-ranges-hostile-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "ranges.ini").string();
        saved_ = LocalIP;
        LocalIP = "192.168.1.20";
    }
    void TearDown() override
    {
        LocalIP = saved_;
        fs::remove_all(dir_);
    }

    fs::path dir_;
    std::string path_;
    std::string saved_;
};

// ---------------------------------------------------------------------------
// The library, as the tray's Start and the tools use it.

struct TLoadCase {
    const char* Name;
    std::function<void(const std::string& path)> Prepare;
    int MaxCount;
    int WantCount;                  // rules handed over
    const char* WantError;          // the start of the raised message, after the file name
    std::function<void(const std::vector<std::unique_ptr<TAllowRange>>&)> Check;
};

void PrintTo(const TLoadCase& c, std::ostream* os) { *os << c.Name; }

class RangesHostileLoad : public RangesHostile, public ::testing::WithParamInterface<TLoadCase> {};

TEST_P(RangesHostileLoad, LoadsWhatTheRulesSayOrRaises)
{
    const TLoadCase& c = GetParam();
    c.Prepare(path_);
    std::vector<std::unique_ptr<TAllowRange>> rules;
    const auto started = std::chrono::steady_clock::now();
    try {
        const int count = LoadRangesFile(
            path_, [&](int number, const TRangeTexts&, std::unique_ptr<TAllowRange> rule) {
                EXPECT_EQ(number, int(rules.size()) + 1);
                rules.push_back(std::move(rule));
            },
            c.MaxCount);
        EXPECT_EQ(c.WantError, nullptr) << "no error";
        EXPECT_EQ(count, c.WantCount);
    } catch (const Exception& e) {
        ASSERT_NE(c.WantError, nullptr) << e.Message();
        EXPECT_EQ(e.Message(), "Unable to read " + path_ + ": " + c.WantError);
    }
    EXPECT_EQ(int(rules.size()), c.WantCount);
    if (c.Check)
        c.Check(rules);
    // One pass over the file: thousands of sections take a moment, not minutes.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

const TLoadCase LoadCases[] = {
    {"ThousandsOfRanges", [](const std::string& p) { WriteAll(p, Sections(1, 5000)); }, -1, 5000, nullptr,
     [](const auto& rules) { EXPECT_EQ(rules.back()->DisplayName, "R5000"); }},
    {"ThousandsOfRangesTrayLimit", [](const std::string& p) { WriteAll(p, Sections(1, 5000)); }, 71, 71, nullptr,
     nullptr},
    // Range 72 would raise, but the tray never reads it.
    {"BrokenRangeBeyondTheLimit",
     [](const std::string& p) { WriteAll(p, Sections(1, 71) + Section(72, "Broken", "x")); }, 71, 71, nullptr,
     nullptr},
    {"ThousandsOfOtherSections",
     [](const std::string& p) {
         std::string text;
         for (int i = 0; i < 20000; ++i)
             text += "[Other " + std::to_string(i) + "]\nDisplay Name=x\nk" + std::to_string(i) + "=v\n";
         WriteAll(p, text + Section(1, "Last"));
     },
     -1, 1, nullptr, [](const auto& rules) { EXPECT_EQ(rules[0]->DisplayName, "Last"); }},
    // Only the first section of a name counts.
    {"RepeatedSection",
     [](const std::string& p) { WriteAll(p, Section(1, "First") + Section(1, "Second") + Section(2, "Two")); }, -1, 2,
     nullptr, [](const auto& rules) { EXPECT_EQ(rules[0]->DisplayName, "First"); }},
    // Values are read up to 2047 characters; the lists are cut with them.
    {"ValuesOfMegabytes",
     [](const std::string& p) {
         std::string ips;
         while (ips.size() < (4u << 20))
             ips += "10.0.0.1,";
         WriteAll(p, "[Range 1]\nDisplay Name=" + std::string(4u << 20, 'N') + "\nSource IPs=" + ips +
                         "\nDest IPs=*ANY*\nSource Ports=" + std::string(4u << 20, ' ') +
                         "*ANY*\nDest Ports=*ANY*\n");
     },
     -1, 1, nullptr,
     [](const auto& rules) {
         EXPECT_EQ(rules[0]->DisplayName, std::string(2047, 'N'));
         EXPECT_TRUE(rules[0]->Matches(0x0A000001, 0x01020304, 1, 2));
         EXPECT_FALSE(rules[0]->Matches(0x0A000002, 0x01020304, 1, 2));
     }},
    {"OneLineOfMegabytesWithoutEquals",
     [](const std::string& p) { WriteAll(p, std::string(8u << 20, 'x') + "\n" + Section(1, "After")); }, -1, 1,
     nullptr, nullptr},
    {"NulBytesInNamesAndLists",
     [](const std::string& p) {
         WriteAll(p, "[Range 1]\0\nDisplay Name=We\0b\nSource IPs=*ANY*\0\nDest IPs=\0*ANY*\n"
                     "Source Ports=*ANY*\nDest Ports=80\0\n"s);
     },
     -1, 1, nullptr,
     [](const auto& rules) {
         EXPECT_EQ(rules[0]->DisplayName, std::string("We\0b", 4));
         EXPECT_TRUE(rules[0]->Matches(1, 2, 3, 80));
     }},
    {"InvalidUtf8Name",
     [](const std::string& p) { WriteAll(p, Section(1, "\xff\xfe\xc3(")); }, -1, 1, nullptr,
     [](const auto& rules) { EXPECT_EQ(rules[0]->DisplayName, "\xff\xfe\xc3("); }},
    // A lone CR does not end a line: the file is one line, "[Range 1]" with
    // no keys, so it holds no ranges.
    {"CarriageReturnLineEnds",
     [](const std::string& p) {
         std::string text = Sections(1, 3);
         std::replace(text.begin(), text.end(), '\n', '\r');
         WriteAll(p, text);
     },
     -1, 0, nullptr, nullptr},
    {"Folder", [](const std::string& p) { fs::create_directory(p); }, -1, 0, "not a regular file", nullptr},
    {"FifoWithoutWriter", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, -1, 0,
     "not a regular file", nullptr},
    {"Device", [](const std::string& p) { fs::create_symlink("/dev/zero", p); }, -1, 0, "not a regular file",
     nullptr},
    {"Missing", [](const std::string&) {}, -1, 0, nullptr, nullptr},
    {"SparseGigabyte",
     [](const std::string& p) {
         WriteAll(p, Sections(1, 2));
         fs::resize_file(p, std::uintmax_t(1) << 30);
     },
     -1, 0, "larger than 268435456 bytes", nullptr},
};

INSTANTIATE_TEST_SUITE_P(Files, RangesHostileLoad, ::testing::ValuesIn(LoadCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(RangesHostile, UnreadableFileRaises)
{
    WriteAll(path_, Sections(1, 2));
    ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
    const std::string path = path_;
    const TChildResult child = RunInChild(
        [&path] {
            try {
                LoadRangesFile(path, nullptr);
            } catch (const Exception& e) {
                return e.Message() == "Unable to read " + path + ": Permission denied" ? 0 : 2;
            }
            return 1;
        },
        {.AsNobody = true});
    EXPECT_EQ(child.Status, 0) << "1: no error, 2: another message";
}

// ---------------------------------------------------------------------------
// varno-ranges on the same kinds of file.

struct TToolCase {
    const char* Name;
    std::function<void(const std::string& path)> Prepare;
    int WantStatus;
    std::function<void(const ProcessResult&, const std::string& path)> Check;
};

void PrintTo(const TToolCase& c, std::ostream* os) { *os << c.Name; }

class RangesHostileTool : public RangesHostile, public ::testing::WithParamInterface<TToolCase> {};

TEST_P(RangesHostileTool, ExitsWithAClearMessage)
{
    const TToolCase& c = GetParam();
    c.Prepare(path_);
    const ProcessResult r = RunProcess({Tool, path_, "--local-ip", "192.168.1.20"});
    EXPECT_EQ(r.ExitStatus, c.WantStatus) << r.Err;
    c.Check(r, path_);
}

size_t CountOf(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

const TToolCase ToolCases[] = {
    {"Folder", [](const std::string& p) { fs::create_directory(p); }, 2,
     [](const ProcessResult& r, const std::string& p) {
         EXPECT_EQ(r.Err, "varno-ranges: Unable to read " + p + ": not a regular file\n");
         EXPECT_EQ(r.Out, "");
     }},
    {"FifoWithoutWriter", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, 2,
     [](const ProcessResult& r, const std::string& p) {
         EXPECT_EQ(r.Err, "varno-ranges: Unable to read " + p + ": not a regular file\n");
     }},
    // The tray loads 71; the tool shows those and says the rest are ignored.
    {"MoreThan71Ranges", [](const std::string& p) { WriteAll(p, Sections(1, 100)); }, 0,
     [](const ProcessResult& r, const std::string&) {
         EXPECT_EQ(CountOf(r.Out, "Range "), 71u);
         EXPECT_NE(r.Out.find("Range 71: R71\n"), std::string::npos);
         EXPECT_EQ(r.Err, "varno-ranges: warning: more than 71 ranges: the tray counts ranges 1 to 71 and ignores "
                          "the rest\n");
     }},
    {"Exactly71Ranges", [](const std::string& p) { WriteAll(p, Sections(1, 71)); }, 0,
     [](const ProcessResult& r, const std::string&) {
         EXPECT_EQ(CountOf(r.Out, "Range "), 71u);
         EXPECT_EQ(r.Err, "");
     }},
    {"ThousandsOfRanges", [](const std::string& p) { WriteAll(p, Sections(1, 5000)); }, 0,
     [](const ProcessResult& r, const std::string&) { EXPECT_EQ(CountOf(r.Out, "Range "), 71u); }},
    // Control characters in the file cannot drive the terminal.
    {"ControlCharacters",
     [](const std::string& p) {
         WriteAll(p, Section(1, "a\x1b[2Jb\x1b]0;t\x07" "c") + Section(2, "\x7f\x01z", "x\x1b[1m"));
     },
     1,
     [](const ProcessResult& r, const std::string&) {
         for (const std::string* text : {&r.Out, &r.Err})
             for (const char c : *text)
                 EXPECT_TRUE(c == '\n' || (static_cast<unsigned char>(c) >= 32 && c != 127)) << int(c);
         EXPECT_NE(r.Out.find("Range 1: a?[2Jb?]0;t?c\n"), std::string::npos) << r.Out;
         EXPECT_NE(r.Err.find("Range 2 \"??z\": 'x?[1m' is not a valid integer value"), std::string::npos) << r.Err;
     }},
    {"ValuesOfMegabytes",
     [](const std::string& p) {
         WriteAll(p, "[Range 1]\nDisplay Name=" + std::string(8u << 20, 'N') +
                         "\nSource IPs=*ANY*\nDest IPs=*ANY*\nSource Ports=*ANY*\nDest Ports=*ANY*\n");
     },
     0,
     [](const ProcessResult& r, const std::string&) {
         EXPECT_NE(r.Out.find("Range 1: " + std::string(2047, 'N') + "\n"), std::string::npos);
     }},
};

INSTANTIATE_TEST_SUITE_P(Files, RangesHostileTool, ::testing::ValuesIn(ToolCases),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
