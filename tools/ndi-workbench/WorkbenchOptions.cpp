#include "WorkbenchOptions.h"

#include <QCommandLineParser>

#include <cmath>
#include <cstdio>

namespace workbench {

namespace {

const char* kDescription =
    "A desktop window for the NDI tracking streams: choose an algorithm of the\n"
    "loaded plugins, see its stream's panel and, beside it, the instruments of\n"
    "the stream's frames (pose, quality, state) and a top-down plot of tool\n"
    "positions and stray markers.\n"
    "\n"
    "The stream is made at start with --algorithm (or one per algorithm of\n"
    "--workspace); --device/--address, --open and --start apply to every stream\n"
    "made at start. A workspace's own \"open\"/\"start\" settings are honoured too.\n"
    "Opening and starting run on the stream's own threads: the window never waits\n"
    "for the device.\n"
    "\n"
    "--screenshot FILE --after SECONDS renders the window to a PNG once SECONDS\n"
    "have passed and every stream asked to start shows its first frame (or failed\n"
    "to open or start; at most 30 s more), then ends. Ctrl-C or SIGTERM ends the\n"
    "program within a second: streams are stopped and closed, and a system that\n"
    "does not answer is left.\n"
    "\n"
    "Examples:\n"
    "  ndi-workbench --list\n"
    "  ndi-workbench --algorithm NDITracking.AuroraTrackingStream --device /dev/ttyUSB0 --start\n"
    "  ndi-workbench --algorithm PolarisVegaTrackingStream --address 192.168.1.20 --open\n"
    "  ndi-workbench --workspace theatre.json\n"
    "\n"
    "Exit codes:\n"
    "  0  success\n"
    "  1  a plugin could not be loaded, or the screenshot, model dump or workspace\n"
    "     could not be written (the cause is on stderr)\n"
    "  2  bad command line (an unknown algorithm, or a workspace that cannot be\n"
    "     read, included)\n"
    "  130, 143  ended by Ctrl-C or SIGTERM (after stopping and closing the streams)\n";

ReadResult fail(std::string* error, const QString& text)
{
    *error = text.toStdString();
    return ReadResult::Error;
}

}  // namespace

Velantor::Properties WorkbenchOptions::settings() const
{
    Velantor::Properties p;
    if (!device.empty()) p.setParam("hardwareDevice", device);
    if (tcpPort > 0) p.setParam("hardwarePort", tcpPort);
    return p;
}

ReadResult readOptions(const QStringList& arguments, WorkbenchOptions& o, std::string* error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    parser.addHelpOption();
    const QCommandLineOption plugin(
        QStringLiteral("plugin"),
        QStringLiteral("A plugin library to load (repeatable; default: the NDI plugin next to "
                       "the program)."),
        QStringLiteral("FILE"));
    const QCommandLineOption list(QStringLiteral("list"),
                                  QStringLiteral("Print the algorithms offered and exit."));
    const QCommandLineOption algorithm(
        QStringLiteral("algorithm"),
        QStringLiteral("Make a stream with this algorithm (a full id as --list prints, or the "
                       "part after the dot)."),
        QStringLiteral("ID"));
    const QCommandLineOption workspace(
        QStringLiteral("workspace"),
        QStringLiteral("Make the streams of this workspace file, with their settings."),
        QStringLiteral("FILE"));
    const QCommandLineOption device(QStringLiteral("device"),
                                    QStringLiteral("The serial device of the system."),
                                    QStringLiteral("DEV"));
    const QCommandLineOption address(
        QStringLiteral("address"),
        QStringLiteral("The network camera's address, optionally with :PORT."),
        QStringLiteral("ADDR[:PORT]"));
    const QCommandLineOption open(QStringLiteral("open"),
                                  QStringLiteral("Open the connection once the stream is made."));
    const QCommandLineOption start(QStringLiteral("start"),
                                   QStringLiteral("Open the connection and start tracking."));
    const QCommandLineOption save(
        QStringLiteral("save-workspace"),
        QStringLiteral("On exit, save the streams and their settings as a workspace file."),
        QStringLiteral("FILE"));
    const QCommandLineOption screenshot(
        QStringLiteral("screenshot"),
        QStringLiteral("Render the window to this PNG file and exit (see --after)."),
        QStringLiteral("FILE"));
    const QCommandLineOption after(
        QStringLiteral("after"),
        QStringLiteral("Seconds to wait before the screenshot (default 2)."),
        QStringLiteral("SECONDS"), QStringLiteral("2"));
    const QCommandLineOption dump(
        QStringLiteral("dump-model"),
        QStringLiteral("Write what the instrument tables show to this file (tab-separated) at "
                       "the screenshot, or on exit."),
        QStringLiteral("FILE"));
    parser.addOptions({plugin, list, algorithm, workspace, device, address, open, start, save,
                       screenshot, after, dump});

    if (!parser.parse(arguments)) return fail(error, parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return ReadResult::Help;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(error, QStringLiteral("unexpected argument '%1'")
                               .arg(parser.positionalArguments().constFirst()));

    for (const QString& p : parser.values(plugin)) o.plugins.push_back(p.toStdString());
    o.list = parser.isSet(list);
    o.algorithm = parser.value(algorithm).toStdString();
    o.workspace = parser.value(workspace).toStdString();
    if (parser.isSet(algorithm) && o.algorithm.empty())
        return fail(error, QStringLiteral("--algorithm needs an id (see --list)"));
    if (parser.isSet(workspace) && o.workspace.empty())
        return fail(error, QStringLiteral("--workspace needs a file"));
    if (!o.algorithm.empty() && !o.workspace.empty())
        return fail(error, QStringLiteral("choose --algorithm or --workspace, not both"));

    if (parser.isSet(device) && parser.isSet(address))
        return fail(error, QStringLiteral("choose --device or --address, not both"));
    if (parser.isSet(device)) {
        o.device = parser.value(device).toStdString();
        if (o.device.empty()) return fail(error, QStringLiteral("--device needs a device"));
    }
    if (parser.isSet(address)) {
        QString value = parser.value(address);
        // An IPv4 address or a host name has no colon: what follows one is the port.
        const int colon = value.lastIndexOf(QLatin1Char(':'));
        if (colon >= 0) {
            bool ok = false;
            const int port = value.mid(colon + 1).toInt(&ok);
            if (!ok || port < 1 || port > 65535)
                return fail(error, QStringLiteral("--address '%1': the port after ':' must be "
                                                  "a number from 1 to 65535")
                                       .arg(value));
            o.tcpPort = port;
            value.truncate(colon);
        }
        if (value.isEmpty() || value.contains(QLatin1Char(' ')))
            return fail(
                error,
                QStringLiteral("--address '%1' names no address").arg(parser.value(address)));
        o.device = value.toStdString();
    }
    if ((!o.device.empty() || parser.isSet(open) || parser.isSet(start)) && o.algorithm.empty() &&
        o.workspace.empty())
        return fail(error,
                    QStringLiteral("--device, --address, --open and --start need --algorithm or "
                                   "--workspace"));
    o.start = parser.isSet(start);
    o.open = parser.isSet(open) || o.start;

    o.saveWorkspace = parser.value(save).toStdString();
    if (parser.isSet(save) && o.saveWorkspace.empty())
        return fail(error, QStringLiteral("--save-workspace needs a file"));
    o.screenshot = parser.value(screenshot).toStdString();
    if (parser.isSet(screenshot) && o.screenshot.empty())
        return fail(error, QStringLiteral("--screenshot needs a file"));
    bool ok = false;
    o.afterSeconds = parser.value(after).toDouble(&ok);
    if (!ok || !std::isfinite(o.afterSeconds) || o.afterSeconds < 0 || o.afterSeconds > 3600)
        return fail(error, QStringLiteral("--after must be a number of seconds from 0 to 3600"));
    if (parser.isSet(after) && o.screenshot.empty())
        return fail(error, QStringLiteral("--after goes with --screenshot"));
    o.dumpModel = parser.value(dump).toStdString();
    if (parser.isSet(dump) && o.dumpModel.empty())
        return fail(error, QStringLiteral("--dump-model needs a file"));
    return ReadResult::Run;
}

}  // namespace workbench
