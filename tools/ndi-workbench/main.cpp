// ndi-workbench: a desktop window on the host stand-in for the plugin's
// tracking streams: their panels, their instruments live, and workspaces.
#include "AlgorithmHost.h"
#include "ShutdownDeadline.h"
#include "StreamSession.h"
#include "WorkbenchOptions.h"
#include "WorkbenchWindow.h"

#include <StopSignals.h>

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace workbench;

namespace {

enum ExitCode : int { Success = 0, Failed = 1, UsageError = 2 };

// Qt ends the program with an abort when its platform has no screen to
// connect to; seen first, it is told as what it is.
bool hasDisplay()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland"))
        return true;
    return !qgetenv("DISPLAY").isEmpty() || !qgetenv("WAYLAND_DISPLAY").isEmpty();
}

int usageError(const std::string& text)
{
    std::fprintf(stderr, "ndi-workbench: %s (see --help)\n", text.c_str());
    return UsageError;
}

// What can be settled before a window is shown, with no screen needed: the
// options, the plugins, --list, and whether the algorithm or the workspace
// asked for can be had, so that a mistake is told as such rather than after a
// window flashed up (or failed to, without a display).
int prepare(int argc, char** argv, AlgorithmHost& host, WorkbenchOptions& options, bool& done)
{
    QCoreApplication app(argc, argv);
    std::string error;
    done = true;
    switch (readOptions(QCoreApplication::arguments(), options, &error)) {
    case ReadResult::Help: return Success;
    case ReadResult::Error: return usageError(error);
    case ReadResult::Run: break;
    }
    if (!host.loadPlugins(options.plugins, &error)) {
        std::fprintf(stderr, "ndi-workbench: %s\n", error.c_str());
        return Failed;
    }
    if (options.list) {
        for (const std::string& id : host.algorithmIds())
            std::printf("%s\t%s\n", id.c_str(), host.algorithmName(id).c_str());
        return Success;
    }
    if (!options.algorithm.empty() && host.resolve(options.algorithm).empty()) {
        host.create(options.algorithm, &error);  // for the reason, naming those offered
        return usageError(error);
    }
    if (!options.workspace.empty()) {
        std::vector<MadeAlgorithm> made;
        if (!host.loadWorkspace(options.workspace, made, &error)) return usageError(error);
    }
    if (!hasDisplay()) {
        std::fprintf(stderr,
                     "ndi-workbench: no display to show the window on: set DISPLAY, run it "
                     "under xvfb-run, or set QT_QPA_PLATFORM=offscreen\n");
        return Failed;
    }
    done = false;
    return Success;
}

// The streams asked for on the command line, made but not yet open.
bool makeStreams(const AlgorithmHost& host, const WorkbenchOptions& options,
                 WorkbenchWindow& window, std::string* error)
{
    std::vector<MadeAlgorithm> made;
    if (!options.workspace.empty()) {
        if (!host.loadWorkspace(options.workspace, made, error)) return false;
    } else if (!options.algorithm.empty()) {
        MadeAlgorithm m;
        m.algorithm = host.create(options.algorithm, error);
        if (!m.algorithm) return false;
        made.push_back(std::move(m));
    }
    for (MadeAlgorithm& m : made) {
        auto session = StreamSession::make(std::move(m.algorithm), std::move(m.settings),
                                           options.settings(), options.open, options.start, error);
        if (!session) return false;
        window.addStream(std::move(session));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    // Taken by the user-interface thread through a signalfd.
    const sigset_t stopSignals = stop_signals::blockInEveryThread();

    // The plugins stay loaded until everything made from them is gone.
    AlgorithmHost host;
    WorkbenchOptions options;
    bool done = false;
    const int early = prepare(argc, argv, host, options, done);
    if (done) return early;

    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ndi-workbench"));

    int stoppedBy = 0;
    const int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        std::perror("ndi-workbench: signalfd");
        return Failed;
    }
    QSocketNotifier notifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        signalfd_siginfo info{};
        while (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            // A second signal means "now": nothing more is waited for.
            if (stoppedBy != 0) std::_Exit(128 + static_cast<int>(info.ssi_signo));
            stoppedBy = static_cast<int>(info.ssi_signo);
            QCoreApplication::exit(128 + stoppedBy);
        }
    });

    std::string error;
    int code = Success;
    {
        WorkbenchWindow window(host);
        if (!makeStreams(host, options, window, &error)) {
            // The streams made before the failing one may be opening already.
            if (!closeWithinDeadline(window.sessions())) std::_Exit(usageError(error));
            window.removeStreams();
            return usageError(error);
        }
        window.show();
        if (!options.screenshot.empty())
            window.scheduleScreenshot(options.screenshot, options.afterSeconds, options.dumpModel);
        code = app.exec();

        // Saved and dumped as the run left them, before anything is stopped.
        if (!options.saveWorkspace.empty()) {
            if (window.saveWorkspace(options.saveWorkspace, &error))
                std::fprintf(stderr, "ndi-workbench: workspace saved to %s\n",
                             options.saveWorkspace.c_str());
            else {
                std::fprintf(stderr, "ndi-workbench: %s\n", error.c_str());
                if (code == Success) code = Failed;
            }
        }
        if (options.screenshot.empty() && !options.dumpModel.empty() &&
            !window.dumpModels(options.dumpModel, &error)) {
            std::fprintf(stderr, "ndi-workbench: %s\n", error.c_str());
            if (code == Success) code = Failed;
        }
        if (!closeWithinDeadline(window.sessions())) {
            // Destroying a stream that is still open would wait for its close.
            std::fprintf(stderr,
                         "ndi-workbench: a system did not answer the stop and close; left as it "
                         "is\n");
            std::fflush(stderr);
            std::_Exit(code);
        }
    }
    ::close(signalFd);
    return code;
}
