// ndi-sim: runs a simulated NDI measurement system for people who develop
// or demonstrate without a tracker.
#include <ndisim/Faults.h>
#include <ndisim/Playback.h>
#include <ndisim/ReplayScenario.h>
#include <ndisim/Scenario.h>
#include <ndisim/Simulator.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

using namespace ndisim;

namespace {

const char* kDescription =
    "Simulates an NDI measurement system so that hosts can be developed, tested and\n"
    "demonstrated without hardware.\n"
    "\n"
    "Families:\n"
    "  polaris  serial optical camera (Vicra/Spectra kind): passive tools exist once a\n"
    "           host uploads a tool-definition image (PHRQ, PVWR), PINIT and PENA it.\n"
    "  vega     network optical camera (Vega/Lyra kind) on TCP, port 8765 by default.\n"
    "  aurora   serial electromagnetic system: four wired tools on ports 1 to 4 that\n"
    "           announce themselves (PHSR, PHINF).\n"
    "\n"
    "Transports:\n"
    "  --serial [LINK]   a pseudo-terminal (default for polaris and aurora); its name is\n"
    "                    printed, and LINK, if given, becomes a symbolic link to it. The\n"
    "                    line starts at 9600 baud; bytes sent at another speed are noise.\n"
    "                    A pseudo-terminal carries no break: run the host with\n"
    "                    LD_PRELOAD=<break wrapper> NDI_BREAK_NOTIFY=<socket> (both printed\n"
    "                    at start) so that its breaks reach the device.\n"
    "  --tcp [ADDR:]PORT listen on ADDR (default 127.0.0.1) and PORT (0: any free port);\n"
    "                    default for vega (127.0.0.1:8765). One client at a time.\n"
    "\n"
    "Faults (--fault, repeatable; also in the scenario file):\n"
    "  corrupt-crc=N     every Nth reply carries a wrong CRC\n"
    "  drop=N            every Nth reply is not sent\n"
    "  delay=MS[/N]      every (Nth) reply is held back MS milliseconds\n"
    "  split=BYTES/MS    replies go out in pieces of BYTES with MS pauses\n"
    "  garbage=N         every Nth reply is preceded by garbage bytes\n"
    "  disconnect=F      after F tracking replies the line hangs up / the socket closes\n"
    "  ignore-comm       COMM is acknowledged but the device keeps its line speed\n"
    "  error-all[=CODE]  every command is refused with ERROR<CODE> (hex, default 0C)\n"
    "  silent            commands are taken in and never answered (a hung device; a TCP\n"
    "                    client is still accepted)\n"
    "\n"
    "Cable (the device keeps its state meanwhile, as a real one does):\n"
    "  kill -USR1 PID    pulls the cable: the pseudo-terminal and its link go away, or the\n"
    "                    TCP listener and client are closed\n"
    "  kill -USR2 PID    puts it back: a new pseudo-terminal under the same link (use\n"
    "                    --serial LINK so that hosts find it again), or the same TCP port\n"
    "  --unplug AFTER/FOR[/EVERY]  the same on a schedule, in seconds: pulled AFTER\n"
    "                    seconds from start for FOR seconds, again every EVERY seconds\n"
    "\n"
    "The scenario file (JSON) describes the device, tools, trajectories, strays, frame\n"
    "rate and faults; see sim/README.md. Without one, the family's default is used.\n"
    "\n"
    "Replay (--replay FILE): plays back a recording made with ndi-track --record as a\n"
    "device of the recorded family (the family may be left out), at the recorded timing\n"
    "divided by --speed, from the host's first TSTART on. Aurora tools sit on their\n"
    "recorded ports; optical tools are the recorded ones whose part number the host\n"
    "uploads (load the same tool files). At the end the last frame is held (no new\n"
    "frames), or with --loop the recording starts again.\n"
    "A status line shows frames, commands and errors. Ctrl-C or SIGTERM stops.";

// QCommandLineParser has no options with optional values: "--serial LINK"
// and "--serial=LINK" become "--serial --link LINK".
QStringList normaliseArguments(const QStringList& in)
{
    QStringList out;
    for (int i = 0; i < in.size(); ++i) {
        const QString& a = in[i];
        if (a.startsWith(QLatin1String("--serial="))) {
            out << QStringLiteral("--serial") << QStringLiteral("--link") << a.mid(9);
        } else if (a == QLatin1String("--serial") && i + 1 < in.size() &&
                   !in[i + 1].startsWith('-') && !familyFromName(in[i + 1].toStdString())) {
            out << a << QStringLiteral("--link") << in[++i];
        } else {
            out << a;
        }
    }
    return out;
}

// The break wrapper beside an installed ndi-sim, else the one of the build
// tree it was built in (which an installed copy may outlive).
std::string breakPreloadPath()
{
    const QString installed =
        QDir::cleanPath(QDir(QCoreApplication::applicationDirPath())
                            .filePath(QStringLiteral(NDI_BREAK_PRELOAD_INSTALLED)));
    if (QFileInfo(installed).isFile()) return installed.toStdString();
    return NDI_BREAK_PRELOAD;
}

// --unplug AFTER/FOR[/EVERY]: the cable is pulled at AFTER, AFTER + EVERY,
// ... seconds from start and put back FOR seconds after each pull.
struct UnplugSchedule {
    double after = 0;
    double out = 0;
    std::optional<double> every;

    std::chrono::steady_clock::duration unplugAt(int pull) const
    {
        return seconds(after + (every ? *every * pull : 0.0));
    }
    std::chrono::steady_clock::duration plugInAt(int pull) const
    {
        return seconds(after + (every ? *every * pull : 0.0) + out);
    }
    static std::chrono::steady_clock::duration seconds(double s)
    {
        return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(s));
    }
};

std::optional<UnplugSchedule> parseUnplugSchedule(const QString& text)
{
    const QStringList parts = text.split('/');
    if (parts.size() < 2 || parts.size() > 3) return std::nullopt;
    double values[3] = {0, 0, 0};
    for (int i = 0; i < parts.size(); ++i) {
        bool ok = false;
        values[i] = parts[i].toDouble(&ok);
        if (!ok || !(values[i] >= 0 && values[i] <= 1e6)) return std::nullopt;
    }
    UnplugSchedule schedule;
    schedule.after = values[0];
    schedule.out = values[1];
    if (parts.size() == 3) schedule.every = values[2];
    // A pull that starts before the last one ended would never end.
    if (!(schedule.out > 0) || (schedule.every && !(*schedule.every > schedule.out)))
        return std::nullopt;
    return schedule;
}

int usageError(const QString& message)
{
    std::fprintf(stderr, "ndi-sim: %s (see --help)\n", qPrintable(message));
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ndi-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("family"),
                                 QStringLiteral("aurora, polaris or vega"));
    const QCommandLineOption scenarioOption(QStringLiteral("scenario"),
                                            QStringLiteral("Scenario file (JSON)."),
                                            QStringLiteral("FILE"));
    const QCommandLineOption serialOption(
        QStringLiteral("serial"),
        QStringLiteral("Serve on a pseudo-terminal (optional LINK: symbolic link to it)."));
    const QCommandLineOption linkOption(
        QStringLiteral("link"),
        QStringLiteral("Symbolic link to the pseudo-terminal (same as --serial LINK)."),
        QStringLiteral("LINK"));
    const QCommandLineOption tcpOption(QStringLiteral("tcp"),
                                       QStringLiteral("Serve on TCP at [ADDR:]PORT."),
                                       QStringLiteral("[ADDR:]PORT"));
    const QCommandLineOption faultOption(QStringLiteral("fault"),
                                         QStringLiteral("Inject a fault (see above); repeatable."),
                                         QStringLiteral("FAULT"));
    const QCommandLineOption rateOption(
        QStringLiteral("frame-rate"),
        QStringLiteral("Frame rate in Hz (20 to 400), overriding the scenario."),
        QStringLiteral("HZ"));
    const QCommandLineOption wireOption(
        QStringLiteral("wire-time"),
        QStringLiteral("Serial: replies take 10 bits per byte at the line speed."));
    const QCommandLineOption quietOption(QStringLiteral("no-status"),
                                         QStringLiteral("No live status line."));
    const QCommandLineOption replayOption(
        QStringLiteral("replay"), QStringLiteral("Play back a recording of ndi-track --record."),
        QStringLiteral("FILE"));
    const QCommandLineOption speedOption(
        QStringLiteral("speed"),
        QStringLiteral("Replay: X times as fast as recorded (0.01 to 1000, default 1)."),
        QStringLiteral("X"));
    const QCommandLineOption loopOption(QStringLiteral("loop"),
                                        QStringLiteral("Replay: start again at the end."));
    const QCommandLineOption unplugOption(
        QStringLiteral("unplug"),
        QStringLiteral("Pull the cable AFTER seconds from start for FOR seconds, every EVERY "
                       "seconds if given."),
        QStringLiteral("AFTER/FOR[/EVERY]"));
    parser.addOptions({scenarioOption, serialOption, linkOption, tcpOption, faultOption, rateOption,
                       wireOption, quietOption, replayOption, speedOption, loopOption,
                       unplugOption});
    parser.process(normaliseArguments(app.arguments()));

    const bool replay = parser.isSet(replayOption);
    if (!replay && (parser.isSet(speedOption) || parser.isSet(loopOption)))
        return usageError(QStringLiteral("--speed and --loop go with --replay"));
    if (replay && (parser.isSet(scenarioOption) || parser.isSet(rateOption)))
        return usageError(
            QStringLiteral("a replay takes its tools and timing from the recording: no --scenario "
                           "or --frame-rate"));
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1 || (positional.isEmpty() && !replay))
        return usageError(QStringLiteral("name one family: aurora, polaris or vega"));
    std::optional<Family> family;
    if (!positional.isEmpty()) {
        family = familyFromName(positional[0].toStdString());
        if (!family) return usageError(QStringLiteral("unknown family '%1'").arg(positional[0]));
    }
    double speed = 1.0;
    if (parser.isSet(speedOption)) {
        bool ok = false;
        speed = parser.value(speedOption).toDouble(&ok);
        if (!ok || !(speed >= 0.01 && speed <= 1000))
            return usageError(QStringLiteral("--speed must lie between 0.01 and 1000"));
    }

    Scenario scenario;
    std::size_t replayFrames = 0;
    try {
        if (replay) {
            const auto recording =
                ndi_recording::readRecording(parser.value(replayOption).toStdString());
            scenario = replayScenario(recording, speed, parser.isSet(loopOption));
            replayFrames = recording.frames.size();
        } else {
            scenario = parser.isSet(scenarioOption)
                           ? loadScenario(parser.value(scenarioOption).toStdString())
                           : defaultScenario(*family);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ndi-sim: %s\n", e.what());
        return 1;
    }
    if (family && scenario.family != *family) {
        return usageError(
            QStringLiteral("the %1 is for %2, not %3")
                .arg(replay ? QStringLiteral("recording") : QStringLiteral("scenario"),
                     familyName(scenario.family), positional[0]));
    }
    family = scenario.family;
    if (parser.isSet(rateOption)) {
        bool ok = false;
        const double rate = parser.value(rateOption).toDouble(&ok);
        if (!ok || !(rate >= 20 && rate <= 400))
            return usageError(QStringLiteral("--frame-rate must lie between 20 and 400"));
        scenario.frameRate = rate;
    }
    if (parser.isSet(wireOption)) scenario.wireTime = true;
    std::optional<UnplugSchedule> schedule;
    if (parser.isSet(unplugOption)) {
        schedule = parseUnplugSchedule(parser.value(unplugOption));
        if (!schedule)
            return usageError(QStringLiteral(
                "--unplug wants AFTER/FOR[/EVERY] in seconds, FOR above 0 and EVERY above FOR"));
    }
    for (const QString& item : parser.values(faultOption)) {
        const std::string problem = applyFaultItem(item.toStdString(), scenario.faults);
        if (!problem.empty()) return usageError(QString::fromStdString(problem));
    }

    const bool wantSerial = parser.isSet(serialOption) || parser.isSet(linkOption);
    const bool wantTcp = parser.isSet(tcpOption);
    if (wantSerial && wantTcp)
        return usageError(QStringLiteral("choose --serial or --tcp, not both"));
    const bool useTcp = wantTcp || (!wantSerial && *family == Family::Vega);
    QString address = QStringLiteral("127.0.0.1");
    int port = 8765;
    if (wantTcp) {
        const QString value = parser.value(tcpOption);
        const int colon = value.lastIndexOf(':');
        if (colon >= 0) address = value.left(colon);
        bool ok = false;
        port = value.mid(colon + 1).toInt(&ok);
        if (!ok || port < 0 || port > 65535)
            return usageError(QStringLiteral("bad TCP port in '%1'").arg(value));
    }

    // Signals are taken synchronously by this thread; the serving thread
    // (started below) inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    sigset_t waitedSignals = stopSignals;
    sigaddset(&waitedSignals, SIGUSR1);
    sigaddset(&waitedSignals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &waitedSignals, nullptr);

    std::unique_ptr<Simulator> sim;
    try {
        sim = useTcp ? Simulator::tcp(scenario, address.toStdString(), port)
                     : Simulator::serial(scenario, parser.value(linkOption).toStdString());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ndi-sim: %s\n", e.what());
        return 1;
    }

    if (replay) {
        std::printf(
            "ndi-sim: %s (%s), replaying %s: %zu frame(s) over %.1f s, %zu tool(s), speed %g%s, "
            "faults: %s\n",
            familyName(*family), scenario.model.c_str(), qPrintable(parser.value(replayOption)),
            replayFrames, static_cast<double>(scenario.playback->frames.back().offsetNs) * 1e-9,
            scenario.tools.size(), speed, parser.isSet(loopOption) ? ", looping" : "",
            describeFaults(scenario.faults).c_str());
    } else {
        std::printf("ndi-sim: %s (%s), %.0f Hz, %zu tool(s), %zu stray marker(s), faults: %s\n",
                    familyName(*family), scenario.model.c_str(), scenario.frameRate,
                    scenario.tools.size(), scenario.strays.size(),
                    describeFaults(scenario.faults).c_str());
    }
    if (useTcp) {
        std::printf("listening on TCP %s:%d\n", sim->tcpAddress().c_str(), sim->tcpPort());
    } else {
        std::printf("serial line: %s\n", sim->serialDevice().c_str());
        if (!sim->linkPath().empty()) std::printf("linked as: %s\n", sim->linkPath().c_str());
        std::printf("breaks: run the host with\n  LD_PRELOAD=%s NDI_BREAK_NOTIFY=%s\n",
                    breakPreloadPath().c_str(), sim->breakNotifyPath().c_str());
    }
    std::printf("cable: kill -USR1 %d pulls it, kill -USR2 %d puts it back\n",
                static_cast<int>(::getpid()), static_cast<int>(::getpid()));
    std::fflush(stdout);

    const bool status = !parser.isSet(quietOption) && isatty(STDOUT_FILENO);
    std::string lastDevice = sim->serialDevice();
    const auto started = std::chrono::steady_clock::now();
    int scheduledPulls = 0;  // pulls of the schedule done so far
    bool scheduledOut = false;
    auto say = [status](const std::string& text) {
        std::printf("%s%s\n", status ? "\n" : "", text.c_str());
        std::fflush(stdout);
    };
    auto pull = [&] {
        if (!sim->pluggedIn()) return;
        sim->unplug();
        lastDevice = sim->serialDevice();
        say("cable pulled");
    };
    auto putBack = [&] {
        if (sim->pluggedIn()) return;
        try {
            sim->plugIn();
        } catch (const std::exception& e) {
            say(std::string("cable not plugged in: ") + e.what());
            return;
        }
        lastDevice = sim->serialDevice();
        say(useTcp ? "cable plugged in; listening on TCP " + sim->tcpAddress() + ":" +
                         std::to_string(sim->tcpPort())
                   : "cable plugged in; serial line: " + lastDevice);
    };
    for (;;) {
        auto tickLength = std::chrono::nanoseconds(250 * 1000 * 1000);
        std::optional<std::chrono::steady_clock::time_point> due;
        if (schedule) {
            due = started + (scheduledOut ? schedule->plugInAt(scheduledPulls - 1)
                                          : schedule->unplugAt(scheduledPulls));
            if (!scheduledOut && !schedule->every && scheduledPulls > 0) due.reset();
        }
        if (due) {
            const auto left = *due - std::chrono::steady_clock::now();
            if (left < tickLength) tickLength = std::max(left, std::chrono::nanoseconds(0));
        }
        const timespec tick{static_cast<time_t>(tickLength.count() / 1000000000),
                            static_cast<long>(tickLength.count() % 1000000000)};
        const int sig = sigtimedwait(&waitedSignals, nullptr, &tick);
        if (sig == SIGUSR1) {
            pull();
        } else if (sig == SIGUSR2) {
            putBack();
        } else if (sig > 0) {
            break;
        }
        if (due && std::chrono::steady_clock::now() >= *due) {
            if (scheduledOut) {
                putBack();
            } else {
                pull();
                ++scheduledPulls;
            }
            scheduledOut = !scheduledOut;
        }
        if (!useTcp && sim->pluggedIn() && sim->serialDevice() != lastDevice) {
            lastDevice = sim->serialDevice();
            std::printf("%sline hung up; new serial line: %s\n", status ? "\n" : "",
                        lastDevice.c_str());
            std::fflush(stdout);
        }
        if (status) {
            const SimulatorStats s = sim->stats();
            std::printf(
                "\rframe %u  served %llu  commands %llu  errors %llu  noise %llu  breaks %llu  %s  "
                "%s%s%s   ",
                s.frame, static_cast<unsigned long long>(s.frames),
                static_cast<unsigned long long>(s.commands),
                static_cast<unsigned long long>(s.errors),
                static_cast<unsigned long long>(s.noiseBytes),
                static_cast<unsigned long long>(s.breaks), s.tracking ? "tracking" : "idle",
                useTcp ? (s.connected ? "client connected" : "no client") : "baud ",
                useTcp ? "" : std::to_string(s.deviceBaud).c_str(),
                s.pluggedIn ? "" : "  unplugged");
            std::fflush(stdout);
        }
    }
    sim->stop();
    std::printf("%sndi-sim: stopped\n", status ? "\n" : "");
    return 0;
}
