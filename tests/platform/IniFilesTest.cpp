#include "platform/IniFiles.h"
#include "platform/SysUtils.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("varno-ini-" + std::to_string(::getpid()) + "-"
                                            + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "test.ini").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    void Write(const std::string& text)
    {
        std::ofstream(path_, std::ios::binary) << text;
    }
    std::string Read() const
    {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    fs::path dir_;
    std::string path_;
};

TEST_F(IniFileTest, ReadsValuesWithProfileRules)
{
    Write("; comment\n"
          "[Settings]\n"
          "Adaptor Index = 3 \n"
          "Quoted=\"  padded  \"\n"
          "Single='x'\n"
          "Half=\"x\n"
          "Hex=$1F\n"
          "Hex2=0x10\n"
          "Bad=12a\n"
          "Yes=yes\n"
          "One=1\n"
          "Empty=\n"
          "[settings]\n"
          "Shadowed=1\n"
          "[Other]\n"
          "Adaptor Index=9\n");
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadInteger("SETTINGS", "adaptor index", -1), 3);
    EXPECT_EQ(ini.ReadString("Settings", "Quoted", ""), "  padded  ");
    EXPECT_EQ(ini.ReadString("Settings", "Single", ""), "x");
    EXPECT_EQ(ini.ReadString("Settings", "Half", ""), "\"x");
    EXPECT_EQ(ini.ReadInteger("Settings", "Hex", 0), 31);
    EXPECT_EQ(ini.ReadInteger("Settings", "Hex2", 0), 16);
    EXPECT_EQ(ini.ReadInteger("Settings", "Bad", 5), 5);
    EXPECT_FALSE(ini.ReadBool("Settings", "Yes", false));
    EXPECT_TRUE(ini.ReadBool("Settings", "One", false));
    EXPECT_EQ(ini.ReadString("Settings", "Empty", "default"), "");
    EXPECT_EQ(ini.ReadString("Settings", "Missing", "default"), "default");
    // Only the first section of a name counts.
    EXPECT_EQ(ini.ReadString("Settings", "Shadowed", "none"), "none");
    EXPECT_EQ(ini.ReadInteger("Other", "Adaptor Index", 0), 9);
    EXPECT_TRUE(ini.SectionExists("other"));
    EXPECT_FALSE(ini.SectionExists("Range 1"));
}

TEST_F(IniFileTest, LongValuesAreCutAt2047Characters)
{
    Write("[S]\nK=" + std::string(3000, 'a') + "\n");
    EXPECT_EQ(TIniFile(path_).ReadString("S", "K", "").size(), 2047u);
}

TEST_F(IniFileTest, MissingFileReadsDefaultsAndIsNotCreated)
{
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("S", "K", "d"), "d");
    EXPECT_FALSE(ini.ReadBool("S", "K", false));
    EXPECT_FALSE(fs::exists(path_));
}

TEST_F(IniFileTest, WritesKeepEverythingElse)
{
    Write("; keep me\r\n[Settings]\r\nAdaptor Index=1\r\n\r\n[Other]\r\nx=y\r\n");
    TIniFile ini(path_);
    ini.WriteInteger("settings", "ADAPTOR INDEX", 2);
    ini.WriteBool("Settings", "Start Connected", true);
    ini.WriteString("New", "Key", "a value");
    EXPECT_EQ(Read(), "; keep me\r\n[Settings]\r\nADAPTOR INDEX=2\r\nStart Connected=1\r\n\r\n"
                      "[Other]\r\nx=y\r\n\r\n[New]\r\nKey=a value\r\n");
    EXPECT_EQ(ini.ReadInteger("Settings", "Adaptor Index", 0), 2);
}

TEST_F(IniFileTest, CreatesANewFile)
{
    TIniFile ini(path_);
    ini.WriteInteger("Settings", "Adaptor Index", 0);
    ini.WriteString("Settings", "Allow Ranges File", "/x/VarnoRanges.ini");
    EXPECT_EQ(Read(), "[Settings]\nAdaptor Index=0\nAllow Ranges File=/x/VarnoRanges.ini\n");
}

TEST_F(IniFileTest, FailedWritesRaiseAndLeaveTheFileAlone)
{
    Write("[S]\nK=v\n");
    TIniFile ini(path_);
    try {
        ini.WriteString("S", "K", "two\nlines");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Unable to write to " + path_);
    }
    EXPECT_EQ(Read(), "[S]\nK=v\n");

    TIniFile nowhere((dir_ / "missing-folder" / "x.ini").string());
    EXPECT_THROW(nowhere.WriteString("S", "K", "v"), Exception);

    // A folder where the file should be: the rename over it fails.
    fs::create_directory(dir_ / "folder.ini");
    TIniFile folder((dir_ / "folder.ini").string());
    EXPECT_THROW(folder.WriteString("S", "K", "v"), Exception);
    fs::remove(dir_ / "folder.ini");

    if (::geteuid() != 0) { // root writes through permission bits
        ::chmod(dir_.c_str(), 0500);
        EXPECT_THROW(ini.WriteString("S", "K", "w"), Exception);
        ::chmod(dir_.c_str(), 0700);
        EXPECT_EQ(Read(), "[S]\nK=v\n");
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

} // namespace
