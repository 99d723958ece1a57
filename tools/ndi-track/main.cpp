// ndi-track: tracks an NDI measurement system from the command line with the
// plugin's streams on the host stand-in, or finds the systems attached.
#include "Discovery.h"
#include "ExitCode.h"
#include "LogRelay.h"
#include "StreamFactory.h"
#include "TrackCommand.h"
#include "TrackOptions.h"

#include <StopSignals.h>

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <pthread.h>

using namespace ndi_track;

namespace {

const char* kTrackDescription =
    "Tracks an NDI measurement system and shows its tools' poses.\n"
    "\n"
    "  ndi-track [track] [options]     track (the default command)\n"
    "  ndi-track discover [options]    list the systems attached (see discover --help)\n"
    "\n"
    "Families: aurora (electromagnetic, serial line; its wired tools are found by\n"
    "themselves), polaris (Vicra/Spectra, serial line) and vega (Vega/Lyra, TCP).\n"
    "Optical tools must be given with --rom. Without --device/--address the system\n"
    "is searched for: serial devices are probed, a vega is found by its PTP messages.\n"
    "\n"
    "Output: a live table (instrument, frame, position, quality, state) with a status\n"
    "line (rate, frames, errors), or with --format csv|jsonl one line per instrument\n"
    "and frame on stdout. state is ok (a pose from that frame), missing (not seen: no\n"
    "pose) or disabled (no longer reported). Log messages go to stderr. The run ends\n"
    "after --duration seconds or on Ctrl-C/SIGTERM, stopping and closing the system;\n"
    "a system that does not answer the stop is left within a second, and a second\n"
    "Ctrl-C leaves at once. A failed write on stdout ends the run with its cause.\n"
    "Frames waiting for an output that does not keep up are held up to 32 MB; the\n"
    "ones beyond are dropped and counted.\n"
    "\n"
    "A system whose connection breaks (a cable pulled, a camera restarted) is\n"
    "reconnected and tracked again by itself. Meanwhile the table's status line\n"
    "shows reconnecting; csv gets a row FRAME,TIMESTAMP_MS,,,reconnecting,,,,,,,, and\n"
    "one with reconnected once the system is back (FRAME: the last frame before;\n"
    "no instrument: its id is empty); jsonl gets {\"event\":\"reconnecting\",\"frame\":N,\n"
    "\"timestamp_ms\":T} and {\"event\":\"reconnected\",...,\"gap_s\":S}, S being the\n"
    "seconds without frames. The summary on stderr counts the gaps and their\n"
    "length; a run whose system came back ends as it would have without them.\n"
    "\n"
    "Examples:\n"
    "  ndi-track --family aurora --device /dev/ttyUSB0\n"
    "  ndi-track --family polaris --rom pointer.rom --rom Ref=reference.rom --format csv\n"
    "  ndi-track --family vega --address 192.168.1.20 --rom pointer.rom --duration 10\n";

const char* kDiscoverDescription =
    "Lists the NDI systems attached to this computer: the serial devices on which a\n"
    "system answers the probe (/dev/ttyS0-1, /dev/ttyUSB0-5) and the network cameras\n"
    "heard through their PTP messages (224.0.1.129, UDP port 319; listening there\n"
    "needs root or CAP_NET_BIND_SERVICE).\n"
    "\n"
    "Prints one line per system: 'serial DEVICE' or 'network ADDRESS'.\n";

int usageError(const QString& text)
{
    std::fprintf(stderr, "ndi-track: %s (see --help)\n", qPrintable(text));
    return UsageError;
}

QString withExitCodes(const char* description)
{
    return QString::fromLatin1(description) + QLatin1Char('\n') +
           QString::fromLatin1(kExitCodeHelp);
}

// QCommandLineParser's own errors exit with 1; ours are usage errors (2).
bool parse(QCommandLineParser& parser, const QStringList& arguments)
{
    if (!parser.parse(arguments)) {
        usageError(parser.errorText());
        return false;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        std::exit(Success);
    }
    return true;
}

int runDiscover(QStringList arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(withExitCodes(kDiscoverDescription));
    parser.addHelpOption();
    const QCommandLineOption window(
        QStringLiteral("window"),
        QStringLiteral("How long to listen for cameras, in ms (default 2000)."),
        QStringLiteral("MS"), QStringLiteral("2000"));
    const QCommandLineOption noSerial(QStringLiteral("no-serial"),
                                      QStringLiteral("Do not probe serial devices."));
    const QCommandLineOption noNetwork(QStringLiteral("no-network"),
                                       QStringLiteral("Do not listen for cameras."));
    parser.addOptions({window, noSerial, noNetwork});
    arguments.removeAt(1);  // "discover"
    if (!parse(parser, arguments)) return UsageError;
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("discover takes no arguments"));

    DiscoveryOptions options;
    bool ok = false;
    options.windowMs = parser.value(window).toInt(&ok);
    if (!ok || options.windowMs < 0 || options.windowMs > 600000)
        return usageError(QStringLiteral("--window must lie between 0 and 600000 ms"));
    options.serial = !parser.isSet(noSerial);
    options.network = !parser.isSet(noNetwork);

    auto relay = LogRelay::install(Velantor::Log::Warning);
    const DiscoveryResult result = discover(options);
    relay->uninstall();

    for (const auto& device : result.serialDevices) std::printf("serial %s\n", device.c_str());
    for (const auto& camera : result.cameras) std::printf("network %s\n", camera.c_str());
    std::fflush(stdout);
    for (const auto& problem : result.problems)
        std::fprintf(stderr, "ndi-track: %s\n", problem.c_str());
    if (result.serialDevices.empty() && result.cameras.empty()) {
        std::fprintf(stderr,
                     "ndi-track: no NDI system found: check that it is switched on and its cable "
                     "is connected, "
                     "or name it with --device DEV or --address ADDR\n");
        return NothingFound;
    }
    return Success;
}

int runTrackCommand(QStringList arguments, const sigset_t& stopSignals)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(withExitCodes(kTrackDescription));
    parser.addHelpOption();
    TrackOptionSet set;
    set.addTo(parser);
    if (arguments.size() > 1 && arguments[1] == QLatin1String("track")) arguments.removeAt(1);
    if (!parse(parser, arguments)) return UsageError;
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unknown command '%1': use track or discover")
                              .arg(parser.positionalArguments()[0]));

    TrackOptions options;
    std::string error;
    if (!set.read(parser, options, &error)) return usageError(QString::fromStdString(error));

    auto relay = LogRelay::install(options.logLevel);
    int code = Success;
    {
        // The plugins stay loaded until everything made from them is gone.
        TrackHost host;
        if (!host.loadPlugins(options.plugins, &error)) {
            std::fprintf(stderr, "ndi-track: %s\n", error.c_str());
            code = OpenFailed;
        } else if (!options.workspace.empty() && (!host.loadWorkspace(options, &error) ||
                                                  !set.readForFamily(parser, options, &error))) {
            relay->uninstall();
            return usageError(QString::fromStdString(error));
        } else {
            code = runTrack(options, host, *relay, stopSignals);
        }
    }
    relay->uninstall();
    if (code == kOutputClosed) {
        // The system is stopped and closed; the reader that went away (| head)
        // learns nothing more, and the shell sees the end a pipeline expects.
        std::fflush(stderr);
        std::signal(SIGPIPE, SIG_DFL);
        std::raise(SIGPIPE);
        return OutputFailed;
    }
    return code;
}

}  // namespace

int main(int argc, char** argv)
{
    // Taken by the run's guard thread (streams and sockets never see them).
    const sigset_t stopSignals = stop_signals::blockInEveryThread();
    // A closed output pipe shows up as a failed write (EPIPE): the run stops
    // and closes the system before it ends, rather than dying mid-command.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ndi-track"));
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 1 && arguments[1] == QLatin1String("discover")) {
        // Discover leaves no system half set up: Ctrl-C ends it at once.
        pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
        return runDiscover(arguments);
    }
    return runTrackCommand(arguments, stopSignals);
}
