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
#include <QEventLoop>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QFileDialog>
#include <gtest/gtest.h>

#include <QSystemTrayIcon>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <regex>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
// A mount namespace of its own lets the settings tests mount read-only and
// full file systems that nobody else sees and that vanish with the process.
class OwnNetwork : public ::testing::Environment {
public:
    void SetUp() override
    {
        EnterOwnNetworkNamespace();
        ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << std::strerror(errno);
        ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
    }
};

[[maybe_unused]] ::testing::Environment* const g_ownNetwork = ::testing::AddGlobalTestEnvironment(new OwnNetwork);

int AdapterIndexOf(const std::string& name)
{
    TVarno probe;
    const auto& names = probe.AdapterNames();
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name)
            return int(i);
    return -1;
}

int LoopbackIndex() { return AdapterIndexOf("lo"); }

void Sh(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

// Runs the Qt event loop (timers, the capture's hand-overs) until the
// condition holds or the time is up; returns the condition.
bool ProcessEventsUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return condition();
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

namespace {

// A veth pair in this test's own network namespace; removed at the end if
// the test has not removed it already.
class VethPair {
public:
    static constexpr const char* Capture = "varnocap0";
    static constexpr const char* Peer = "varnopeer0";
    VethPair() { Create(); }
    ~VethPair() { [[maybe_unused]] int r = std::system((std::string("ip link del ") + Capture + " 2>/dev/null").c_str()); }
    static void Create()
    {
        Sh(std::string("ip link add ") + Capture + " type veth peer name " + Peer + " && ip link set " + Capture
           + " up && ip link set " + Peer + " up");
    }
};

TEST_F(DataModuleTest, ACaptureThatEndsByItselfIsReportedOnceAndTheTrayStops)
{
    struct Case {
        const char* name;
        std::string command;
    };
    const Case cases[] = {
        {"the adapter is deleted", std::string("ip link del ") + VethPair::Capture},
        {"its peer is deleted, taking the pair with it", std::string("ip link del ") + VethPair::Peer},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        errors_.clear();
        VethPair pair;
        const int index = AdapterIndexOf(VethPair::Capture);
        ASSERT_GE(index, 0);
        Settings("[Settings]\nAdaptor Index=" + std::to_string(index) + "\n");
        Ranges(Range(1, "All") + Range(2, "Other"));
        auto& dm = Create();
        dm.miStart->trigger();
        ASSERT_TRUE(errors_.empty()) << errors_[0];
        ASSERT_TRUE(dm.Monitoring());
        const fs::path dump = dm.Varno1->DumpFileName();
        ASSERT_TRUE(fs::exists(dump));
        dm.CountTraffic("1,2", 100);
        ASSERT_EQ(Map().TotalAmount(1), 100);

        Sh(c.command);
        ASSERT_TRUE(ProcessEventsUntil([&] { return !dm.Monitoring(); }, std::chrono::seconds(10)))
            << "the tray still shows Monitoring";
        ASSERT_EQ(errors_.size(), 1u);
        EXPECT_EQ(errors_[0], "Snoop Error: pcap_next_ex return -1");
        // Idle as Stop leaves it.
        EXPECT_TRUE(dm.miStart->isEnabled());
        EXPECT_FALSE(dm.miStop->isEnabled());
        EXPECT_FALSE(dm.tHistory->Enabled());
        EXPECT_FALSE(dm.Varno1->Capturing());
        EXPECT_FALSE(fs::exists(dump));
        EXPECT_EQ(Map().TotalAmount(0), 0);
        EXPECT_EQ(Map().PeriodAmount(1), 0);
        EXPECT_EQ(Map().TotalAmount(1), 0);
        EXPECT_EQ(Map().RangeName(1), "Other");
        EXPECT_EQ(dm.JvTrayIcon1->toolTip().toStdString(), TdmVarnoTrafficCounts::PlainToolTip);

        // Reported once: more than two periods later there is nothing new.
        ProcessEventsUntil([&] { return errors_.size() > 1; }, std::chrono::milliseconds(2500));
        EXPECT_EQ(errors_.size(), 1u);

        // The adapter back, Start works again.
        VethPair::Create();
        dm.miStart->trigger();
        EXPECT_EQ(errors_.size(), 1u);
        EXPECT_TRUE(dm.Monitoring());
        EXPECT_TRUE(dm.Varno1->Capturing());
        dm_.reset();
    }
}

TEST_F(DataModuleTest, TheTooltipShowsTheCaptureFiguresWhileMonitoring)
{
    Settings(LoopbackSettings());
    Ranges(Range(1, "All"));
    auto& dm = Create();
    EXPECT_EQ(dm.JvTrayIcon1->toolTip().toStdString(), TdmVarnoTrafficCounts::PlainToolTip);
    dm.miStart->trigger();
    ASSERT_TRUE(dm.Monitoring());

    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int sent = 20;
    for (int i = 0; i < sent; ++i)
        ASSERT_EQ(::sendto(s, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 1);
    ::close(s);

    const std::regex figures("Varno Tray - network traffic counter\nCapture: received ([0-9]+), dropped ([0-9]+)");
    std::smatch m;
    std::string tip;
    // Refreshed by the history tick.
    ASSERT_TRUE(ProcessEventsUntil(
        [&] {
            tip = dm.JvTrayIcon1->toolTip().toStdString();
            return std::regex_match(tip, m, figures) && std::stoul(m[1].str()) >= unsigned(sent);
        },
        std::chrono::seconds(10)))
        << tip;
    EXPECT_EQ(m[2].str(), "0");
    // The menu keeps its items.
    EXPECT_EQ(dm.PopupMenu1->actions().size(), 9);

    dm.miStop->trigger();
    EXPECT_EQ(dm.JvTrayIcon1->toolTip().toStdString(), TdmVarnoTrafficCounts::PlainToolTip);
    EXPECT_TRUE(errors_.empty());
}

// Runs a stretch of the test with the file rights of user "nobody" (root
// reads and writes anything); the real user ids stay, so root comes back.
class AsNobody {
public:
    explicit AsNobody(bool active) : active_(active)
    {
        if (active_) {
            EXPECT_EQ(::setegid(65534), 0);
            EXPECT_EQ(::seteuid(65534), 0);
        }
    }
    ~AsNobody()
    {
        if (active_) {
            EXPECT_EQ(::seteuid(0), 0);
            EXPECT_EQ(::setegid(0), 0);
        }
    }

private:
    bool active_;
};

TEST_F(DataModuleTest, SettingsFilesThatCannotBeReadOrWrittenAreReportedAndKept)
{
    const fs::path conf = dir_ / "conf";
    const fs::path file = conf / "VarnoTray.ini";
    options_.SettingsFile = file.string();
    const std::string lo = std::to_string(LoopbackIndex());
    const std::string valid = "[Settings]\nAdaptor Index=" + lo + "\nStart Connected=0\n";
    const std::string cannotRead = "Unable to read " + file.string() + ": ";
    const std::string cannotWrite = "Unable to write to " + file.string();

    auto tmpfs = [&](const char* options) {
        Sh("mount -t tmpfs -o " + std::string(options) + " varno-test " + conf.string());
    };
    struct Case {
        const char* name;
        std::function<void()> prepare;
        bool asNobody;
        // The error of Start; empty: Start monitors.
        std::string startError;
        // Whether OK in the configuration dialog can store the choices.
        bool saves;
    };
    const Case cases[] = {
        {"a directory in its place", [&] { fs::create_directories(file / "sub"); }, false,
         cannotRead + "not a regular file", false},
        {"a FIFO in its place", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }, false,
         cannotRead + "not a regular file", false},
        {"larger than the limit",
         [&] {
             std::string big;
             while (big.size() <= size_t(TdmVarnoTrafficCounts::MaxSettingsFileSize))
                 big += "; a comment line that makes the settings file grow beyond any use\n";
             WriteFile(file, big + valid);
         },
         false, cannotRead + "larger than 1048576 bytes", false},
        {"owned by root and unreadable for the user",
         [&] {
             WriteFile(file, valid);
             fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
             // The folder lets the user replace the file: only reading it fails.
             fs::permissions(conf, fs::perms::all, fs::perm_options::replace);
         },
         true, cannotRead + "Permission denied", false},
        {"in a folder the user cannot write",
         [&] {
             WriteFile(file, valid);
             ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
         },
         true, "", false},
        {"on a read-only file system",
         [&] {
             tmpfs("size=1m");
             WriteFile(file, valid);
             Sh("mount -o remount,ro " + conf.string());
         },
         false, "", false},
        {"on a full file system",
         [&] {
             tmpfs("size=64k");
             WriteFile(file, valid);
             std::ofstream filler(conf / "filler", std::ios::binary);
             const std::string block(4096, 'f');
             while (filler.write(block.data(), block.size()) && filler.flush()) {
             }
         },
         false, "", false},
        {"a plain file", [&] { WriteFile(file, valid); }, false, "", true},
        {"a link to the file",
         [&] {
             WriteFile(conf / "real.ini", valid);
             fs::create_symlink("real.ini", file);
         },
         false, "", true},
        {"a file of the user's that root saves",
         [&] {
             WriteFile(file, valid);
             ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
             fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
         },
         false, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        errors_.clear();
        fs::create_directories(conf);
        fs::permissions(dir_, fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec,
                        fs::perm_options::replace);
        c.prepare();
        if (::testing::Test::HasFatalFailure())
            return;
        const bool regular = fs::is_regular_file(file);
        const bool link = fs::is_symlink(file);
        struct stat owner {};
        ::stat(file.c_str(), &owner);
        const std::string before = regular ? ReadFile(file) : std::string();
        auto& dm = Create();
        // The creation reads "Start Connected" as root: it meets the same
        // failure as Start, when root does.
        if (!c.asNobody && !c.startError.empty()) {
            ASSERT_EQ(errors_.size(), 1u);
            EXPECT_EQ(errors_[0], c.startError);
        } else {
            EXPECT_TRUE(errors_.empty()) << errors_[0];
        }
        errors_.clear();
        {
            AsNobody nobody(c.asNobody);
            // Starting as nobody fails for want of capture rights; only the
            // settings failures are the subject here.
            if (!c.asNobody || !c.startError.empty()) {
                dm.miStart->trigger();
                if (c.startError.empty()) {
                    EXPECT_TRUE(errors_.empty()) << errors_[0];
                    EXPECT_TRUE(dm.Monitoring());
                } else {
                    ASSERT_EQ(errors_.size(), 1u);
                    EXPECT_EQ(errors_[0], c.startError);
                    EXPECT_FALSE(dm.Monitoring());
                }
            }
            errors_.clear();
            OnDialog([&](TfConfigurationDialog& d) {
                d.cbStartConnected->setChecked(true);
                d.OKBtn->click();
            });
            dm.miConfigure->trigger();
        }
        EXPECT_FALSE(dm.Monitoring());
        if (c.saves) {
            EXPECT_TRUE(errors_.empty()) << errors_[0];
            EXPECT_EQ(ReadFile(file), "[Settings]\nAdaptor Index=" + lo + "\nStart Connected=1\nAllow Ranges File="
                                          + options_.DefaultRangesFile + "\n");
            // The same file: a link stays a link, its owner and mode stay.
            struct stat now {};
            ::stat(file.c_str(), &now);
            EXPECT_EQ(fs::is_symlink(file), link);
            EXPECT_EQ(now.st_uid, owner.st_uid);
            EXPECT_EQ(now.st_mode, owner.st_mode);
        } else {
            ASSERT_EQ(errors_.size(), 1u);
            EXPECT_EQ(errors_[0], cannotWrite);
            // Nothing half-written: the old file as it was.
            EXPECT_EQ(fs::is_regular_file(file), regular);
            if (regular) {
                EXPECT_EQ(ReadFile(file), before);
            }
        }
        for (const auto& entry : fs::directory_iterator(conf)) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "VarnoTray.ini" || name == "filler" || name == "real.ini")
                << "left behind: " << name;
        }
        dm_.reset();
        ::umount2(conf.c_str(), MNT_DETACH);
        fs::remove_all(conf);
    }
}

TEST_F(DataModuleTest, BinaryBytesInTheSettingsAreReadAroundAndKept)
{
    // A ranges file whose name is not UTF-8, which Linux allows.
    const std::string rangesName = (dir_ / "r\xe9sum\xe9.ini").string();
    WriteFile(rangesName, Range(1, "Binary"));
    using namespace std::string_literals;
    const std::string head = "\x00\x01\xff\xfe binary\n"s + std::string(5000, '\xff') + "\n"
                             + "; \x80\x81\n[\xc3\x28]\nKey=\x00\x00\n"s;
    const std::string settingsStart = "[Settings]\nAdaptor Index=" + std::to_string(LoopbackIndex())
                                      + "\nAllow Ranges File=" + rangesName + "\n";
    const std::string tail = "Start Connected=0\n[Other]\nx=\xff\x00y\n"s;
    Settings(head + settingsStart + tail);
    auto& dm = Create();
    dm.miStart->trigger();
    ASSERT_TRUE(errors_.empty()) << errors_[0];
    EXPECT_TRUE(dm.Monitoring());
    ASSERT_EQ(dm.Varno1->AllowRanges.size(), 1u);
    EXPECT_EQ(Map().RangeName(0), "Binary");

    OnDialog([&](TfConfigurationDialog& d) {
        d.cbStartConnected->setChecked(true);
        d.OKBtn->click();
    });
    dm.miConfigure->trigger();
    EXPECT_TRUE(errors_.empty()) << errors_[0];
    // Only the changed value differs; the name of the ranges file keeps its bytes.
    std::string expected = head + settingsStart + tail;
    expected.replace(expected.find("Start Connected=0"), 17, "Start Connected=1");
    EXPECT_EQ(ReadFile(options_.SettingsFile), expected);
}

} // namespace
