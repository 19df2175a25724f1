// The tray's data module on Qt's offscreen platform: settings, loading the
// ranges, the menu states, counting into the shared block, the history tick
// and the configuration dialog.

#include "app/ConfigurationDialog.h"
#include "app/VarnoTrafficCounts_Data.h"
#include "component/VarnoComponent.h"
#include "platform/Application.h"
#include "platform/QtMainThread.h"
#include "platform/Timer.h"
#include "sharedmap/SharedMemoryMap.h"
#include "tests/support/OwnNetwork.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QFileDialog>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

std::string Range(int n, const std::string& name, const std::string& src = "*ANY*", const std::string& dst = "*ANY*",
                  const std::string& sports = "*ANY*", const std::string& dports = "*ANY*")
{
    return "[Range " + std::to_string(n) + "]\nDisplay Name=" + name + "\nSource IPs=" + src + "\nDest IPs=" + dst
           + "\nSource Ports=" + sports + "\nDest Ports=" + dports + "\n";
}

// Other tests add and remove interfaces while these run; in a network
// namespace of its own this process sees a fixed adapter list, so an index
// written into the settings names the same adapter when the tray reads it.
class OwnNetwork : public ::testing::Environment {
public:
    void SetUp() override { EnterOwnNetworkNamespace(); }
};

[[maybe_unused]] ::testing::Environment* const g_ownNetwork = ::testing::AddGlobalTestEnvironment(new OwnNetwork);

int LoopbackIndex()
{
    TVarno probe;
    const auto& names = probe.AdapterNames();
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == "lo")
            return int(i);
    return -1;
}

class DataModuleTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "app_tests";
        static char* argv[] = {name, nullptr};
        static QApplication app(argc, argv);
        app.setQuitOnLastWindowClosed(false);
        InstallQtMainThread();
    }

    void SetUp() override
    {
        dir_ = fs::temp_directory_path()
               / ("varno-app-" + std::to_string(::getpid()) + "-"
                  + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "run");
        ::setenv("XDG_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
        fs::permissions(dir_ / "run", fs::perms::owner_all, fs::perm_options::replace);
        options_.SettingsFile = (dir_ / "VarnoTray.ini").string();
        options_.DefaultRangesFile = (dir_ / "VarnoRanges.ini").string();
        options_.MapName = "VarnoTest" + std::to_string(::getpid());
        options_.ShowTrayIcon = false;
        errors_.clear();
        messages_.clear();
        Application().SetErrorHandler([this](const std::string&, const std::string& t) { errors_.push_back(t); });
        Application().SetMessageHandler([this](const std::string&, const std::string& t) { messages_.push_back(t); });
    }

    void TearDown() override
    {
        dm_.reset();
        Application().SetErrorHandler(nullptr);
        Application().SetMessageHandler(nullptr);
        Application().ResetTerminated();
        fs::remove_all(dir_);
    }

    void Settings(const std::string& text) { WriteFile(options_.SettingsFile, text); }
    void Ranges(const std::string& text) { WriteFile(options_.DefaultRangesFile, text); }
    std::string LoopbackSettings(const std::string& extra = "")
    {
        return "[Settings]\nAdaptor Index=" + std::to_string(LoopbackIndex()) + "\n" + extra;
    }

    TdmVarnoTrafficCounts& Create()
    {
        dm_ = std::make_unique<TdmVarnoTrafficCounts>(options_);
        return *dm_;
    }
    TVarnoTraySharedMemoryMap& Map() { return dm_->SharedMap(); }

    fs::path dir_;
    TdmOptions options_;
    std::unique_ptr<TdmVarnoTrafficCounts> dm_;
    std::vector<std::string> errors_;
    std::vector<std::string> messages_;
};

TEST_F(DataModuleTest, StartsIdleWithTheMenuOfTheTray)
{
    auto& dm = Create();
    EXPECT_TRUE(dm.miStart->isEnabled());
    EXPECT_FALSE(dm.miStop->isEnabled());
    EXPECT_FALSE(dm.tHistory->Enabled());
    QStringList captions;
    for (QAction* a : dm.PopupMenu1->actions())
        captions << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(captions.join("|").toStdString(), "Start|Stop|-|Clear All Counts|&Configure|-|Local Machine|-|E&xit");
    EXPECT_TRUE(dm.miIPAddress->text().startsWith("IP: "));
    EXPECT_TRUE(dm.miComputerName->text().startsWith("Name: "));
    EXPECT_TRUE(dm.miUser->text().startsWith("User: "));
    // The creation cleared the counts once: one batch.
    EXPECT_EQ(Map().ChangeCount(), 1);
    EXPECT_TRUE(errors_.empty());
}

TEST_F(DataModuleTest, StartConnectedWithOnlyThatKeyUsesTheDefaults)
{
    Settings("[Settings]\nStart Connected=1\n");
    Ranges(Range(1, "All"));
    auto& dm = Create();
    EXPECT_EQ(dm.Varno1->AdapterIndex, 0);
    ASSERT_EQ(dm.Varno1->AllowRanges.size(), 1u);
    EXPECT_EQ(Map().RangeName(0), "All");
    // Adapter 0 is whatever the machine lists first: either it captures and
    // the tray monitors, or the reason is reported and the tray stays idle.
    EXPECT_EQ(dm.Monitoring(), dm.Varno1->Capturing());
    if (!dm.Monitoring()) {
        ASSERT_EQ(errors_.size(), 1u);
        EXPECT_EQ(errors_[0], dm.Varno1->CaptureLastError());
    }
}

TEST_F(DataModuleTest, StartConnectedYesReadsAsFalse)
{
    Settings(LoopbackSettings("Start Connected=yes\n"));
    Ranges(Range(1, "All"));
    auto& dm = Create();
    EXPECT_FALSE(dm.Monitoring());
    EXPECT_TRUE(dm.Varno1->AllowRanges.empty());
}

TEST_F(DataModuleTest, StartAndStopSwitchTheMenuAndTheTimer)
{
    Settings(LoopbackSettings());
    Ranges(Range(1, "One") + Range(2, "Two") + Range(3, "") + Range(4, "Four"));
    auto& dm = Create();
    dm.miStart->trigger();
    ASSERT_TRUE(errors_.empty()) << errors_[0];
    EXPECT_TRUE(dm.Monitoring());
    EXPECT_FALSE(dm.miStart->isEnabled());
    EXPECT_TRUE(dm.miStop->isEnabled());
    EXPECT_TRUE(dm.tHistory->Enabled());
    EXPECT_TRUE(dm.Varno1->Capturing());
    // The empty name of range 3 ends the list.
    EXPECT_EQ(dm.Varno1->AllowRanges.size(), 2u);
    EXPECT_EQ(Map().RangeName(0), "One");
    EXPECT_EQ(Map().RangeName(1), "Two");
    EXPECT_EQ(Map().RangeName(3), "");

    dm.miStop->trigger();
    EXPECT_FALSE(dm.Monitoring());
    EXPECT_FALSE(dm.tHistory->Enabled());
    EXPECT_FALSE(dm.Varno1->Capturing());
    EXPECT_EQ(dm.Varno1->AllowRanges.size(), 2u);
}

TEST_F(DataModuleTest, AShrunkRangesFileKeepsTheOldRecordsBeyondIt)
{
    Settings(LoopbackSettings());
    Ranges(Range(1, "A") + Range(2, "B") + Range(3, "C") + Range(4, "Dee") + Range(5, "Eee"));
    auto& dm = Create();
    dm.StartMonitoring();
    dm.CountTraffic("1,2,3,4,5", 100);
    dm.tHistoryTimer(dm.tHistory.get());
    dm.CountTraffic("4,5", 7);
    dm.StopMonitoring();
    Ranges(Range(1, "X") + Range(2, "Y") + Range(3, "Z"));
    dm.StartMonitoring();
    EXPECT_EQ(Map().RangeName(0), "X");
    EXPECT_EQ(Map().RangeName(2), "Z");
    EXPECT_EQ(Map().RangeName(3), "Dee");
    EXPECT_EQ(Map().RangeName(4), "Eee");
    EXPECT_EQ(Map().LastPeriodAmount(3), 100);
    EXPECT_EQ(Map().PeriodAmount(3), 0);
    EXPECT_EQ(Map().TotalAmount(4), 0);
}

TEST_F(DataModuleTest, FailuresOfStartLeaveTheTrayIdle)
{
    struct Case {
        const char* name;
        std::string settings;
        std::string ranges;
        std::string error;
        size_t rulesLoaded;
    };
    const std::string lo = LoopbackSettings();
    const Case cases[] = {
        {"no adapter chosen", "[Settings]\nAdaptor Index=-1\n", Range(1, "A"), "You must choose an adapter index", 1},
        {"port list error", lo, Range(1, "A") + Range(2, "B", "*ANY*", "*ANY*", "80,,443"),
         "'' is not a valid integer value", 1},
        {"adapter past the list", "[Settings]\nAdaptor Index=100000\n", Range(1, "A"),
         "Snoop Error: Invalid AdapterName", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        errors_.clear();
        Settings(c.settings);
        Ranges(c.ranges);
        auto& dm = Create();
        dm.miStart->trigger();
        ASSERT_EQ(errors_.size(), 1u);
        EXPECT_EQ(errors_[0], c.error);
        EXPECT_TRUE(dm.miStart->isEnabled());
        EXPECT_FALSE(dm.miStop->isEnabled());
        EXPECT_FALSE(dm.tHistory->Enabled());
        EXPECT_EQ(dm.Varno1->AllowRanges.size(), c.rulesLoaded);
        EXPECT_EQ(Map().RangeName(0), "A");
        dm_.reset();
    }
}

TEST_F(DataModuleTest, CountTrafficAddsOneBatchPerPacket)
{
    Settings(LoopbackSettings());
    Ranges(Range(1, "A") + Range(2, "B") + Range(3, "C"));
    auto& dm = Create();
    dm.StartMonitoring();
    const int before = Map().ChangeCount();
    dm.CountTraffic("1,3", 60);
    EXPECT_EQ(Map().ChangeCount(), before + 1);
    EXPECT_EQ(Map().PeriodAmount(0), 60);
    EXPECT_EQ(Map().TotalAmount(0), 60);
    EXPECT_EQ(Map().PeriodAmount(1), 0);
    EXPECT_EQ(Map().PeriodAmount(2), 60);
    dm.CountTraffic("2", 1500);
    dm.CountTraffic("2", 1500);
    EXPECT_EQ(Map().PeriodAmount(1), 3000);
    EXPECT_EQ(Map().TotalAmount(1), 3000);
    dm.CountTraffic("", 99);
    EXPECT_EQ(Map().ChangeCount(), before + 4);
    EXPECT_EQ(Map().TotalAmount(0) + Map().TotalAmount(1) + Map().TotalAmount(2), 3120);
    // TCP and UDP go into the same records.
    dm.Varno1TCPNetworkTrafficUpdate(dm.Varno1.get(), "1.2.3.4", "5.6.7.8", 1, 40, 1, 2, "1");
    dm.Varno1UDPNetworkTrafficUpdate(dm.Varno1.get(), "1.2.3.4", "5.6.7.8", 1, 50, 1, 2, "1");
    EXPECT_EQ(Map().TotalAmount(0), 150);
    // A list item that is no number is refused; the earlier item stays counted.
    EXPECT_THROW(dm.CountTraffic("1,x", 5), EConvertError);
    EXPECT_EQ(Map().TotalAmount(0), 155);
    EXPECT_FALSE(Map().Locked());
}

TEST_F(DataModuleTest, TheHistoryTickRollsEveryLoadedRange)
{
    Settings(LoopbackSettings());
    Ranges(Range(1, "A") + Range(2, "B") + Range(3, "C"));
    auto& dm = Create();
    dm.StartMonitoring();
    dm.CountTraffic("1", 10);
    dm.CountTraffic("3", 7);
    const int before = Map().ChangeCount();
    dm.tHistoryTimer(dm.tHistory.get());
    EXPECT_EQ(Map().ChangeCount(), before + 1);
    EXPECT_EQ(Map().LastPeriodAmount(0), 10);
    EXPECT_EQ(Map().LastPeriodAmount(1), 0);
    EXPECT_EQ(Map().LastPeriodAmount(2), 7);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Map().PeriodAmount(i), 0);
    EXPECT_EQ(Map().TotalAmount(0), 10);
    EXPECT_TRUE(dm.tHistory->Enabled());

    // Clear while monitoring: period and total at once, last period at the next tick.
    dm.CountTraffic("1", 5);
    dm.ClearAllCounts1->trigger();
    EXPECT_EQ(Map().PeriodAmount(0), 0);
    EXPECT_EQ(Map().TotalAmount(0), 0);
    EXPECT_EQ(Map().LastPeriodAmount(0), 10);
    dm.CountTraffic("1", 3);
    dm.tHistoryTimer(dm.tHistory.get());
    EXPECT_EQ(Map().LastPeriodAmount(0), 3);
}

TEST_F(DataModuleTest, MoreRangesThanRecordsAreCutAtTheLimitWithAMessage)
{
    Settings(LoopbackSettings());
    std::string text;
    for (int n = 1; n <= 75; ++n)
        text += Range(n, "R" + std::to_string(n), "*ANY*", "*ANY*", n == 72 ? "bad" : "*ANY*");
    Ranges(text);
    auto& dm = Create();
    dm.miStart->trigger();
    EXPECT_TRUE(errors_.empty());
    EXPECT_TRUE(dm.Monitoring());
    EXPECT_EQ(dm.Varno1->AllowRanges.size(), 71u);
    EXPECT_EQ(Map().RangeName(70), "R71");
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_NE(messages_[0].find("71"), std::string::npos);
    dm.CountTraffic("71", 5);
    EXPECT_EQ(Map().TotalAmount(70), 5);
}

TEST_F(DataModuleTest, ExitStopsClearsAndEndsTheApplication)
{
    Settings(LoopbackSettings());
    Ranges(Range(1, "A"));
    auto& dm = Create();
    dm.StartMonitoring();
    dm.CountTraffic("1", 42);
    dm.miExit->trigger();
    EXPECT_TRUE(Application().Terminated());
    EXPECT_FALSE(dm.Varno1->Capturing());
    EXPECT_EQ(Map().TotalAmount(0), 0);
    EXPECT_TRUE(errors_.empty());
}

TEST_F(DataModuleTest, WithoutTheBlockTheMenuStillWorks)
{
    // A runtime folder that does not exist: the block cannot be created.
    ::setenv("XDG_RUNTIME_DIR", (dir_ / "missing").c_str(), 1);
    Settings(LoopbackSettings());
    Ranges(Range(1, "A"));
    auto& dm = Create();
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_EQ(errors_[0], "Can't Create Memory Map");
    dm.ClearAllCounts1->trigger();
    dm.miStart->trigger();
    dm.CountTraffic("1", 5);
    dm.tHistoryTimer(dm.tHistory.get());
    dm.miStop->trigger();
    EXPECT_EQ(errors_.size(), 1u);
}

// Runs fn on the dialog once it is shown modally.
void OnDialog(const std::function<void(TfConfigurationDialog&)>& fn)
{
    QTimer::singleShot(0, [fn] {
        auto* dialog = dynamic_cast<TfConfigurationDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        fn(*dialog);
    });
}

TEST_F(DataModuleTest, ConfigurationOkStopsAndStoresTheChoices)
{
    Settings(LoopbackSettings("Start Connected=0\n"));
    Ranges(Range(1, "A"));
    auto& dm = Create();
    dm.StartMonitoring();
    ASSERT_TRUE(dm.Monitoring());
    dm.CountTraffic("1", 42);
    const std::string other = (dir_ / "elsewhere.ini").string();
    int shownIndex = -2;
    OnDialog([&](TfConfigurationDialog& d) {
        EXPECT_EQ(d.windowTitle().toStdString(), "Varno Configuration");
        EXPECT_EQ(d.cbAdaptor->count(), int(dm.Varno1->AdapterDescriptions().size()));
        shownIndex = d.cbAdaptor->currentIndex();
        // Adapters without a description show their device name.
        EXPECT_EQ(d.cbAdaptor->itemText(LoopbackIndex()).toStdString(), "lo");
        EXPECT_FALSE(d.cbStartConnected->isChecked());
        EXPECT_EQ(d.eFilename->text().toStdString(), options_.DefaultRangesFile);
        d.cbStartConnected->setChecked(true);
        d.eFilename->setText(QString::fromStdString(other));
        d.OKBtn->click();
    });
    dm.miConfigure->trigger();
    EXPECT_EQ(shownIndex, LoopbackIndex());
    EXPECT_FALSE(dm.Monitoring());
    EXPECT_EQ(Map().TotalAmount(0), 0);
    EXPECT_EQ(ReadFile(options_.SettingsFile), "[Settings]\nAdaptor Index=" + std::to_string(LoopbackIndex())
                                                    + "\nStart Connected=1\nAllow Ranges File=" + other + "\n");
    EXPECT_TRUE(errors_.empty());
}

TEST_F(DataModuleTest, ConfigurationWithoutSettingsCreatesTheFile)
{
    auto& dm = Create();
    OnDialog([&](TfConfigurationDialog& d) {
        EXPECT_EQ(d.cbAdaptor->currentIndex(), d.cbAdaptor->count() > 0 ? 0 : -1);
        d.OKBtn->click();
    });
    dm.miConfigure->trigger();
    const int expected = dm.Varno1->AdapterDescriptions().empty() ? -1 : 0;
    EXPECT_EQ(ReadFile(options_.SettingsFile), "[Settings]\nAdaptor Index=" + std::to_string(expected)
                                                    + "\nStart Connected=0\nAllow Ranges File="
                                                    + options_.DefaultRangesFile + "\n");
}

TEST_F(DataModuleTest, ConfigurationIndexPastTheListStoresMinusOne)
{
    Settings("[Settings]\nAdaptor Index=100000\n");
    auto& dm = Create();
    OnDialog([&](TfConfigurationDialog& d) {
        EXPECT_EQ(d.cbAdaptor->currentIndex(), -1);
        d.OKBtn->click();
    });
    dm.miConfigure->trigger();
    EXPECT_EQ(dm.Varno1->AdapterIndex, -1);
    EXPECT_NE(ReadFile(options_.SettingsFile).find("Adaptor Index=-1\n"), std::string::npos);
    dm.miStart->trigger();
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_EQ(errors_[0], "You must choose an adapter index");
}

TEST_F(DataModuleTest, ConfigurationCancelChangesNothing)
{
    const std::string settings = LoopbackSettings("Start Connected=0\n; a comment\n");
    Settings(settings);
    Ranges(Range(1, "A"));
    auto& dm = Create();
    dm.StartMonitoring();
    dm.CountTraffic("1", 42);
    OnDialog([&](TfConfigurationDialog& d) {
        d.cbAdaptor->setCurrentIndex(-1);
        d.cbStartConnected->setChecked(true);
        d.eFilename->setText("/somewhere/else.ini");
        d.CancelBtn->click();
    });
    dm.miConfigure->trigger();
    EXPECT_TRUE(dm.Monitoring());
    EXPECT_EQ(Map().TotalAmount(0), 42);
    EXPECT_EQ(ReadFile(options_.SettingsFile), settings);
}

} // namespace

namespace {

TEST_F(DataModuleTest, BrowseFillsTheFileNameOnlyWhenConfirmed)
{
    TfConfigurationDialog dialog;
    EXPECT_EQ(dialog.OpenDialog1->nameFilters(), QStringList({"Ini Files (*.ini)", "All Files (*)"}));
    EXPECT_EQ(dialog.SpeedButton1->focusPolicy(), Qt::NoFocus);
    dialog.eFilename->setText("/kept/as/typed.ini");

    QTimer::singleShot(0, [&] { dialog.OpenDialog1->reject(); });
    dialog.SpeedButton1Click();
    EXPECT_EQ(dialog.eFilename->text().toStdString(), "/kept/as/typed.ini");

    // A file in another folder, which need not exist yet.
    fs::create_directories(dir_ / "other");
    const fs::path chosen = dir_ / "other" / "new-ranges.ini";
    QTimer::singleShot(0, [&] {
        dialog.OpenDialog1->setDirectory(QString::fromStdString((dir_ / "other").string()));
        // What a user types into the file name box.
        auto* name = dialog.OpenDialog1->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(name, nullptr);
        name->setText("new-ranges.ini");
        QMetaObject::invokeMethod(dialog.OpenDialog1, "accept");
    });
    dialog.SpeedButton1Click();
    EXPECT_EQ(dialog.eFilename->text().toStdString(), chosen.string());
}

} // namespace
