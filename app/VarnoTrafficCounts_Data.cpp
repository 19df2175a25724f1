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

#include <chrono>
#include <cstdio>
#include <thread>

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
    JvTrayIcon1->setToolTip("Varno Tray - network traffic counter");
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

void TdmVarnoTrafficCounts::StartMonitoring()
{
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

    if (tooMany)
        Application().ShowMessage("The ranges file " + rangesFile + " holds more than " + std::to_string(MaxRanges)
                                  + " ranges; ranges 1 to " + std::to_string(MaxRanges)
                                  + " are counted, the rest are ignored.");
}

void TdmVarnoTrafficCounts::StopMonitoring()
{
    tHistory->SetEnabled(false);
    Varno1->Stop();
    ClearCounts();
    miStart->setEnabled(true);
    miStop->setEnabled(false);
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
        TIniFile settings(FOptions.SettingsFile);
        const int index = settings.ReadInteger(kSettings, kAdaptorIndex, Varno1->AdapterIndex);
        dialog.cbAdaptor->setCurrentIndex(index >= 0 && index < dialog.cbAdaptor->count() ? index : -1);
        dialog.cbStartConnected->setChecked(settings.ReadBool(kSettings, kStartConnected, false));
        dialog.eFilename->setText(
            QString::fromStdString(settings.ReadString(kSettings, kAllowRangesFile, FOptions.DefaultRangesFile)));
    } catch (const Exception&) {
        // The dialog opens with what could be filled.
    }

    if (dialog.exec() != QDialog::Accepted)
        return;

    StopMonitoring();
    ClearCounts();
    Varno1->AdapterIndex = dialog.cbAdaptor->currentIndex();
    TIniFile settings(FOptions.SettingsFile);
    settings.WriteInteger(kSettings, kAdaptorIndex, Varno1->AdapterIndex);
    settings.WriteString(kSettings, kStartConnected, dialog.cbStartConnected->isChecked() ? "1" : "0");
    settings.WriteString(kSettings, kAllowRangesFile, dialog.eFilename->text().toStdString());
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
}
