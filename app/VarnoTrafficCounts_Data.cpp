#include "app/VarnoTrafficCounts_Data.h"

#include "app/ConfigurationDialog.h"
#include "app/LocalMachineInfo.h"
#include "app/TrayIcon.h"
#include "component/VarnoComponent.h"
#include "platform/Application.h"
#include "platform/IniFiles.h"
#include "platform/Paths.h"
#include "platform/Timer.h"
#include "ranges/RangesFile.h"
#include "sharedmap/SharedMemoryMap.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QSystemTrayIcon>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const char* const kSettings = "Settings";
const char* const kAdaptorIndex = "Adaptor Index";
const char* const kAllowRangesFile = "Allow Ranges File";
const char* const kStartConnected = "Start Connected";

// Runs when the scope ends, also when it ends by an exception.
template <typename F>
struct Finally {
    F f;
    ~Finally() { f(); }
};
template <typename F>
Finally(F) -> Finally<F>;

struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

TdmOptions TdmOptions::Defaults()
{
    TdmOptions o;
    o.SettingsFile = ExePath() + ".ini";
    o.DefaultRangesFile = ExeDir() + "VarnoRanges.ini";
    return o;
}

TdmVarnoTrafficCounts::TdmVarnoTrafficCounts(TdmOptions options)
    : FOptions(std::move(options))
{
    JvTrayIcon1 = std::make_unique<QSystemTrayIcon>();
    JvTrayIcon1->setObjectName("JvTrayIcon1");
    JvTrayIcon1->setIcon(VarnoIcon());
    JvTrayIcon1->setToolTip(PlainToolTip);
    PopupMenu1 = std::make_unique<QMenu>();
    PopupMenu1->setObjectName("PopupMenu1");
    CreateMenu();
    JvTrayIcon1->setContextMenu(PopupMenu1.get());

    Varno1 = std::make_unique<TVarno>();
    Varno1->AdapterIndex = 0;
    Varno1->MaximumNameQueryThreads = 2;
    Varno1->SetNameResolution(false);
    Varno1->LoadAndSaveIPNames = true;
    Varno1->ListenMethod = 0;
    Varno1->NodeLifeTime = 10;
    Varno1->ListFirstRangeMatchOnly = false;
    Varno1->OnTCPNetworkTrafficUpdate = [this](TObject* s, const std::string& src, const std::string& dst, int pa,
                                               int da, int sp, int dp, const std::string& matched) {
        Varno1TCPNetworkTrafficUpdate(s, src, dst, pa, da, sp, dp, matched);
    };
    Varno1->OnUDPNetworkTrafficUpdate = [this](TObject* s, const std::string& src, const std::string& dst, int pa,
                                               int da, int sp, int dp, const std::string& matched) {
        Varno1UDPNetworkTrafficUpdate(s, src, dst, pa, da, sp, dp, matched);
    };

    tHistory = std::make_unique<TTimer>();
    tHistory->SetEnabled(false);
    tHistory->OnTimer = [this](TObject* s) { tHistoryTimer(s); };

    Application().HandleExceptions([this] { DataModuleCreate(this); });
}

TdmVarnoTrafficCounts::~TdmVarnoTrafficCounts()
{
    Application().HandleExceptions([this] { DataModuleDestroy(this); });
    tHistory.reset();
    Varno1.reset();
}

void TdmVarnoTrafficCounts::CreateMenu()
{
    auto item = [this](QMenu* menu, const char* name, const char* caption) {
        QAction* a = menu->addAction(caption);
        a->setObjectName(name);
        return a;
    };
    auto separator = [](QMenu* menu, const char* name) {
        QAction* a = menu->addSeparator();
        a->setObjectName(name);
        return a;
    };
    QMenu* m = PopupMenu1.get();
    miStart = item(m, "miStart", "Start");
    miStop = item(m, "miStop", "Stop");
    miStop->setEnabled(false);
    N2 = separator(m, "N2");
    ClearAllCounts1 = item(m, "ClearAllCounts1", "Clear All Counts");
    miConfigure = item(m, "miConfigure", "&Configure");
    N1 = separator(m, "N1");
    FLocalMachineMenu = std::make_unique<QMenu>("Local Machine");
    LocalMachine1 = m->addMenu(FLocalMachineMenu.get());
    LocalMachine1->setObjectName("LocalMachine1");
    miComputerName = item(FLocalMachineMenu.get(), "miComputerName", "Name");
    miUser = item(FLocalMachineMenu.get(), "miUser", "User");
    miIPAddress = item(FLocalMachineMenu.get(), "miIPAddress", "IP");
    N3 = separator(m, "N3");
    miExit = item(m, "miExit", "E&xit");

    QObject::connect(miStart, &QAction::triggered, [this] { Guarded(&TdmVarnoTrafficCounts::miStartClick); });
    QObject::connect(miStop, &QAction::triggered, [this] { Guarded(&TdmVarnoTrafficCounts::miStopClick); });
    QObject::connect(ClearAllCounts1, &QAction::triggered,
                     [this] { Guarded(&TdmVarnoTrafficCounts::ClearAllCounts1Click); });
    QObject::connect(miConfigure, &QAction::triggered,
                     [this] { Guarded(&TdmVarnoTrafficCounts::miConfigureClick); });
    QObject::connect(miExit, &QAction::triggered, [this] { Guarded(&TdmVarnoTrafficCounts::miExitClick); });
}

void TdmVarnoTrafficCounts::Guarded(void (TdmVarnoTrafficCounts::*handler)(TObject*))
{
    Application().HandleExceptions([&] { (this->*handler)(this); });
}

void TdmVarnoTrafficCounts::DataModuleCreate(TObject*)
{
    std::string userName, computerName;
    GetLocalNames(userName, computerName);
    FLocalIP.clear();
    GetLocalIP(FLocalIP);
    miIPAddress->setText(QString::fromStdString("IP: " + FLocalIP));
    miComputerName->setText(QString::fromStdString("Name: " + computerName));
    miUser->setText(QString::fromStdString("User: " + userName));

    FSharedMap = std::make_unique<TVarnoTraySharedMemoryMap>(FOptions.MapName);
    FSharedMap->Open();

    if (FOptions.ShowTrayIcon) {
        if (!QSystemTrayIcon::isSystemTrayAvailable())
            std::fprintf(stderr, "Varno Tray: no system tray found; running without an icon, counting goes on.\n");
        JvTrayIcon1->show();
    }

    ClearCounts();

    CheckSettingsReadable();
    TIniFile settings(FOptions.SettingsFile);
    if (settings.ReadBool(kSettings, kStartConnected, false))
        StartMonitoring();
}

void TdmVarnoTrafficCounts::DataModuleDestroy(TObject*)
{
    JvTrayIcon1->hide();
    if (FSharedMap) {
        FSharedMap->Close();
        FSharedMap.reset();
    }
}

void TdmVarnoTrafficCounts::LockMapWithRetry()
{
    if (FSharedMap)
        ::LockWithRetry(*FSharedMap, 11, 10);
}

std::string TdmVarnoTrafficCounts::RangesFileName() const
{
    TIniFile settings(FOptions.SettingsFile);
    std::string name = settings.ReadString(kSettings, kAllowRangesFile, FOptions.DefaultRangesFile);
    // A bare name is looked for beside the program, where its settings are.
    if (!name.empty() && name.front() != '/')
        name = ExeDir() + name;
    return name;
}

bool TdmVarnoTrafficCounts::Monitoring() const { return miStop->isEnabled(); }

void TdmVarnoTrafficCounts::CheckSettingsReadable() const
{
    const std::string& file = FOptions.SettingsFile;
    // O_NONBLOCK: a FIFO in the file's place must not hang the tray here.
    FileDescriptor f{::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (f.fd < 0) {
        if (errno == ENOENT)
            return;
        throw Exception("Unable to read " + file + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(f.fd, &st) != 0)
        throw Exception("Unable to read " + file + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        throw Exception("Unable to read " + file + ": not a regular file");
    if (st.st_size > MaxSettingsFileSize)
        throw Exception("Unable to read " + file + ": larger than " + std::to_string(MaxSettingsFileSize)
                        + " bytes");
}

void TdmVarnoTrafficCounts::SaveSettings(int AdapterIndex, bool StartConnected, const std::string& RangesFile)
{
    const std::string& file = FOptions.SettingsFile;
    // A file the tray would not read stays as it is.
    try {
        CheckSettingsReadable();
    } catch (const Exception&) {
        throw Exception("Unable to write to " + file);
    }
    // One replacement of the file for the three keys: either it gets all of
    // them or it stays as it was.
    TIniFile(file).WriteStrings(kSettings, {{kAdaptorIndex, std::to_string(AdapterIndex)},
                                            {kStartConnected, StartConnected ? "1" : "0"},
                                            {kAllowRangesFile, RangesFile}});
}

bool TdmVarnoTrafficCounts::ReadCaptureStats()
{
    TSnoopStats stats;
    if (!Varno1->CaptureStats(stats))
        return false;
    FHaveStats = true;
    FReceived = stats.Received;
    FDropped = stats.Dropped;
    return true;
}

void TdmVarnoTrafficCounts::UpdateToolTip()
{
    QString text = PlainToolTip;
    if (Monitoring() && ReadCaptureStats())
        text += QString("\nCapture: received %1, dropped %2").arg(FReceived).arg(FDropped);
    JvTrayIcon1->setToolTip(text);
}

void TdmVarnoTrafficCounts::StartMonitoring()
{
    CheckSettingsReadable();
    {
        TIniFile settings(FOptions.SettingsFile);
        Varno1->AdapterIndex = settings.ReadInteger(kSettings, kAdaptorIndex, Varno1->AdapterIndex);
    }
    const std::string rangesFile = RangesFileName();

    Varno1->AllowRanges.clear();
    LockMapWithRetry();
    bool tooMany = false;
    if (FSharedMap && FSharedMap->Locked()) {
        Finally unlock{[this] { FSharedMap->Unlock(); }};
        // Ranges past the block's last record are not loaded, so nothing is
        // ever written outside it.
        const int loaded = LoadRangesFile(
            rangesFile,
            [&](int number, const TRangeTexts& texts, std::unique_ptr<TAllowRange> rule) {
                Varno1->AllowRanges.push_back(std::move(rule));
                FSharedMap->SetRangeName(number - 1, texts.DisplayName);
            },
            MaxRanges);
        TRangeTexts next;
        tooMany = loaded == MaxRanges && ReadRangeTexts(TIniFile(rangesFile), MaxRanges + 1, next);
        FSharedMap->IncrementChangeCount();
    }

    Varno1->Start();
    if (!Varno1->Capturing())
        throw Exception(Varno1->CaptureLastError().empty() ? std::string("The capture did not open")
                                                           : Varno1->CaptureLastError());
    tHistory->SetEnabled(true);
    miStart->setEnabled(false);
    miStop->setEnabled(true);
    FHaveStats = false;
    UpdateToolTip();

    if (tooMany)
        Application().ShowMessage("The ranges file " + rangesFile + " holds more than " + std::to_string(MaxRanges)
                                  + " ranges; ranges 1 to " + std::to_string(MaxRanges)
                                  + " are counted, the rest are ignored.");
}

void TdmVarnoTrafficCounts::StopMonitoring()
{
    tHistory->SetEnabled(false);
    // The figures must be read before the capture closes; a capture that
    // closed by itself left those of the last tick.
    ReadCaptureStats();
    Varno1->Stop();
    if (FHaveStats) {
        std::fprintf(stderr, "Varno Tray: capture stopped: received %u, dropped %u\n", unsigned(FReceived),
                     unsigned(FDropped));
        std::fflush(stderr);
        FHaveStats = false;
    }
    ClearCounts();
    miStart->setEnabled(true);
    miStop->setEnabled(false);
    JvTrayIcon1->setToolTip(PlainToolTip);
}

void TdmVarnoTrafficCounts::ClearCounts()
{
    LockMapWithRetry();
    if (!FSharedMap || !FSharedMap->Locked())
        return;
    Finally unlock{[this] { FSharedMap->Unlock(); }};
    const int loaded = int(Varno1->AllowRanges.size());
    for (int i = 0; i < loaded; ++i)
        FSharedMap->ClearRange(i);
    FSharedMap->IncrementChangeCount();
}

void TdmVarnoTrafficCounts::miStartClick(TObject*) { StartMonitoring(); }
void TdmVarnoTrafficCounts::miStopClick(TObject*) { StopMonitoring(); }
void TdmVarnoTrafficCounts::ClearAllCounts1Click(TObject*) { ClearCounts(); }

void TdmVarnoTrafficCounts::miExitClick(TObject*)
{
    StopMonitoring();
    Application().Terminate();
}

void TdmVarnoTrafficCounts::miConfigureClick(TObject*)
{
    TfConfigurationDialog dialog;
    std::string shownRangesFile;
    try {
        // Most Linux adapters have no description: show the device name
        // too, or the list would be blank lines.
        const auto& descriptions = Varno1->AdapterDescriptions();
        const auto& names = Varno1->AdapterNames();
        for (size_t i = 0; i < descriptions.size(); ++i) {
            const std::string name = i < names.size() ? names[i] : std::string();
            const std::string& description = descriptions[i];
            dialog.cbAdaptor->addItem(QString::fromStdString(
                description.empty() ? name : name.empty() ? description : name + " (" + description + ")"));
        }
        CheckSettingsReadable();
        TIniFile settings(FOptions.SettingsFile);
        const int index = settings.ReadInteger(kSettings, kAdaptorIndex, Varno1->AdapterIndex);
        dialog.cbAdaptor->setCurrentIndex(index >= 0 && index < dialog.cbAdaptor->count() ? index : -1);
        dialog.cbStartConnected->setChecked(settings.ReadBool(kSettings, kStartConnected, false));
        shownRangesFile = settings.ReadString(kSettings, kAllowRangesFile, FOptions.DefaultRangesFile);
        dialog.eFilename->setText(QString::fromStdString(shownRangesFile));
    } catch (const Exception&) {
        // The dialog opens with what could be filled.
    }

    if (dialog.exec() != QDialog::Accepted)
        return;

    StopMonitoring();
    ClearCounts();
    Varno1->AdapterIndex = dialog.cbAdaptor->currentIndex();
    // A path whose bytes are not UTF-8 shows with replacement characters;
    // left as shown, the original bytes are stored, not the replacements.
    const QString typed = dialog.eFilename->text();
    const std::string rangesFile =
        typed == QString::fromStdString(shownRangesFile) ? shownRangesFile : typed.toStdString();
    SaveSettings(Varno1->AdapterIndex, dialog.cbStartConnected->isChecked(), rangesFile);
}

void TdmVarnoTrafficCounts::Varno1TCPNetworkTrafficUpdate(TObject*, const std::string&, const std::string&, int,
                                                          int DataAmount, int, int, const std::string& MatchedRanges)
{
    CountTraffic(MatchedRanges, DataAmount);
}

void TdmVarnoTrafficCounts::Varno1UDPNetworkTrafficUpdate(TObject*, const std::string&, const std::string&, int,
                                                          int DataAmount, int, int, const std::string& MatchedRanges)
{
    CountTraffic(MatchedRanges, DataAmount);
}

void TdmVarnoTrafficCounts::CountTraffic(const std::string& MatchedRanges, int DataAmount)
{
    LockMapWithRetry();
    if (!FSharedMap || !FSharedMap->Locked())
        return;
    Finally unlock{[this] { FSharedMap->Unlock(); }};
    ForEachListItem(MatchedRanges, [this, DataAmount](std::string_view item) {
        FSharedMap->AddAmount(StrToInt(item) - 1, int64_t(DataAmount));
        return true;
    });
    FSharedMap->IncrementChangeCount();
}

void TdmVarnoTrafficCounts::tHistoryTimer(TObject*)
{
    tHistory->SetEnabled(false);
    if (Monitoring() && !Varno1->Capturing()) {
        // The capture closed by itself: without this the counts would stop
        // while the menu still said Monitoring.
        std::string reason = Varno1->CaptureLastError();
        if (reason.empty())
            reason = "The capture ended";
        StopMonitoring();
        throw Exception(reason);
    }
    Finally reenable{[this] { tHistory->SetEnabled(true); }};
    Varno1->AgeLinkRoutes();
    LockMapWithRetry();
    if (FSharedMap && FSharedMap->Locked()) {
        Finally unlock{[this] { FSharedMap->Unlock(); }};
        const int loaded = int(Varno1->AllowRanges.size());
        for (int i = 0; i < loaded; ++i)
            FSharedMap->RollPeriod(i);
        FSharedMap->IncrementChangeCount();
    }
    UpdateToolTip();
}
