// VarnoTray: the tray program. It shows no window; everything goes through
// the tray icon's menu, and the program ends only through Exit (or a
// termination signal, which takes the same way out).

#include "app/VarnoTrafficCounts_Data.h"
#include "platform/Application.h"
#include "platform/QtMainThread.h"

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int signal)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    // A second signal while the first is being handled (a stop that hangs)
    // ends the program at once.
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    ::sigaction(signal, &sa, nullptr);
    errno = saved;
}

bool Interactive()
{
    const QString platform = QGuiApplication::platformName();
    return platform != "offscreen" && platform != "minimal";
}

} // namespace

int main(int argc, char* argv[])
{
    // Without a display the program still counts: it runs on Qt's offscreen
    // platform and reports to standard error.
    if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    QApplication app(argc, argv);
    app.setApplicationName("Varno Tray");
    app.setQuitOnLastWindowClosed(false);
    Application().Title = "Varno Tray";
    InstallQtMainThread();
    Application().SetQuitHook([] { QCoreApplication::quit(); });
    if (Interactive()) {
        auto box = [](const std::string& title, const std::string& text) {
            QMessageBox::information(nullptr, QString::fromStdString(title), QString::fromStdString(text));
        };
        Application().SetErrorHandler(box);
        Application().SetMessageHandler(box);
    }

    TdmOptions options = TdmOptions::Defaults();
    if (!Interactive()) {
        options.ShowTrayIcon = false;
        std::fprintf(stderr, "Varno Tray: no display; running without a tray icon, counting goes on.\n");
    }
    // Ctrl-C, kill and the end of the session (SIGINT, SIGTERM, SIGHUP) end
    // the program as Exit does: monitoring stops, the counts are cleared, the
    // dump file is removed and the shared block is let go. The handlers are
    // in place before the data module starts monitoring, so a signal during
    // start-up waits in the socket for the event loop instead of killing the
    // program half-way.
    const bool signalsHandled = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) == 0;
    if (signalsHandled) {
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &sa, nullptr);
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGHUP, &sa, nullptr);
    } else {
        std::fprintf(stderr, "Varno Tray: cannot handle termination signals: %s\n", std::strerror(errno));
    }

    auto dataModule = std::make_unique<TdmVarnoTrafficCounts>(options);

    if (signalsHandled) {
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, [&] {
            char byte;
            [[maybe_unused]] ssize_t n = ::read(g_signalPipe[0], &byte, 1);
            Application().HandleExceptions([&] { dataModule->miExitClick(dataModule.get()); });
            // The program ends even when stopping reported an error.
            if (!Application().Terminated())
                Application().Terminate();
        });
    }

    if (!Application().Terminated())
        app.exec();
    dataModule.reset();
    return 0;
}
