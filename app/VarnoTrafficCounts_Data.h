#pragma once
// The tray program's data module: it owns the tray icon and its menu, the
// traffic analysis component, the history timer and the shared counters
// block, and turns the menu's Start, Stop, Clear All Counts, Configure and
// Exit into work on them.

#include "platform/SysUtils.h"

#include <cstdint>
#include <memory>
#include <string>

class QAction;
class QMenu;
class QSystemTrayIcon;
class TTimer;
class TVarno;
class TVarnoTraySharedMemoryMap;

// Where the data module finds its files. The defaults are the program's own:
// the settings file beside the executable, the shared block "VarnoTray".
struct TdmOptions {
    std::string SettingsFile;     // default: the executable's path + ".ini"
    std::string DefaultRangesFile; // default: the executable's folder + "VarnoRanges.ini"
    std::string MapName = "VarnoTray";
    bool ShowTrayIcon = true;
    static TdmOptions Defaults();
};

class TdmVarnoTrafficCounts : public TObject {
public:
    // Creates the components, then runs DataModuleCreate; an error that
    // leaves it goes to the application's error report.
    explicit TdmVarnoTrafficCounts(TdmOptions options = TdmOptions::Defaults());
    // Runs DataModuleDestroy, then destroys the components.
    ~TdmVarnoTrafficCounts() override;

    void DataModuleCreate(TObject* Sender);
    void DataModuleDestroy(TObject* Sender);

    void StartMonitoring();
    void StopMonitoring();
    void ClearCounts();
    void LockMapWithRetry();

    void miStartClick(TObject* Sender);
    void miStopClick(TObject* Sender);
    void ClearAllCounts1Click(TObject* Sender);
    void miConfigureClick(TObject* Sender);
    void miExitClick(TObject* Sender);

    void Varno1TCPNetworkTrafficUpdate(TObject* Sender, const std::string& SourceIP, const std::string& DestIP,
                                       int PacketAmount, int DataAmount, int SourcePort, int DestPort,
                                       const std::string& MatchedRanges);
    void Varno1UDPNetworkTrafficUpdate(TObject* Sender, const std::string& SourceIP, const std::string& DestIP,
                                       int PacketAmount, int DataAmount, int SourcePort, int DestPort,
                                       const std::string& MatchedRanges);
    void CountTraffic(const std::string& MatchedRanges, int DataAmount);
    // Closes one counting period. A capture that ended by itself while
    // monitoring (the adapter went away) is noticed here: the tray stops as
    // Stop does and the capture's last error leaves the handler, once.
    void tHistoryTimer(TObject* Sender);

    // The ranges file path that Start reads: "Allow Ranges File", or the
    // default; a name without a folder is taken beside the executable.
    std::string RangesFileName() const;
    const std::string& SettingsFileName() const { return FOptions.SettingsFile; }
    bool Monitoring() const;

    // The icon's tooltip: PlainToolTip while idle; while monitoring a second
    // line with libpcap's received and dropped figures, refreshed every tick.
    static constexpr const char* PlainToolTip = "Varno Tray - network traffic counter";
    // Settings files larger than this are refused rather than read.
    static constexpr std::int64_t MaxSettingsFileSize = 1024 * 1024;

    // Raises Exception "Unable to read <file>: <reason>" when the settings
    // file exists but cannot be read as a settings file (no permission, not
    // a regular file, larger than MaxSettingsFileSize). A missing file is
    // fine: the defaults apply.
    void CheckSettingsReadable() const;
    // Stores the configuration dialog's three choices together: either the
    // settings file gets all of them or it stays as it was. Raises Exception
    // "Unable to write to <file>" on failure.
    void SaveSettings(int AdapterIndex, bool StartConnected, const std::string& RangesFile);
    TVarnoTraySharedMemoryMap& SharedMap() const { return *FSharedMap; }

    // The components, named as the rest of the program knows them.
    std::unique_ptr<QSystemTrayIcon> JvTrayIcon1;
    std::unique_ptr<QMenu> PopupMenu1;
    QAction* miStart = nullptr;
    QAction* miStop = nullptr;
    QAction* N2 = nullptr;
    QAction* ClearAllCounts1 = nullptr;
    QAction* miConfigure = nullptr;
    QAction* N1 = nullptr;
    QAction* LocalMachine1 = nullptr;
    QAction* miComputerName = nullptr;
    QAction* miUser = nullptr;
    QAction* miIPAddress = nullptr;
    QAction* N3 = nullptr;
    QAction* miExit = nullptr;
    std::unique_ptr<TVarno> Varno1;
    std::unique_ptr<TTimer> tHistory;

    // How many ranges the shared block has room for; later sections of a
    // ranges file are not loaded.
    static constexpr int MaxRanges = 71;

private:
    void CreateMenu();
    void Guarded(void (TdmVarnoTrafficCounts::*handler)(TObject*));
    // Reads the capture's figures into FStats; false when it cannot tell.
    bool ReadCaptureStats();
    void UpdateToolTip();

    TdmOptions FOptions;
    std::string FLocalIP;
    std::unique_ptr<TVarnoTraySharedMemoryMap> FSharedMap;
    std::unique_ptr<QMenu> FLocalMachineMenu;
    // The capture's last figures seen while monitoring: after the capture
    // has closed by itself they are all that is left to report at Stop.
    bool FHaveStats = false;
    std::uint32_t FReceived = 0;
    std::uint32_t FDropped = 0;
};
