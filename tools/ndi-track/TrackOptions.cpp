#include "TrackOptions.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <cmath>

namespace ndi_track {

namespace {

bool fail(std::string* error, const QString& text)
{
    if (error) *error = text.toStdString();
    return false;
}

// "[NAME=]FILE[@PORT]"; the name defaults to the file's base name.
bool parseRom(const QString& text, bool portRequired, RomTarget& target, std::string* error,
              const QString& option = QStringLiteral("--rom"), bool portAllowed = true)
{
    QString rest = text;
    QString name;
    const int equals = rest.indexOf('=');
    if (equals >= 0) {
        name = rest.left(equals);
        rest = rest.mid(equals + 1);
        if (name.isEmpty())
            return fail(error,
                        QStringLiteral("%2 '%1': the name before '=' is empty").arg(text, option));
    }
    // A marker has no port: an '@' is then part of the file's name.
    const int at = portAllowed ? rest.lastIndexOf('@') : -1;
    bool hasPort = false;
    if (at >= 0) {
        bool ok = false;
        const int port = rest.mid(at + 1).toInt(&ok);
        if (!ok || port < 1 || port > 99)
            return fail(error,
                        QStringLiteral("%2 '%1': the port after '@' must be a number from 1 to 99")
                            .arg(text, option));
        target.port = port;
        hasPort = true;
        rest = rest.left(at);
    }
    if (rest.isEmpty())
        return fail(error, QStringLiteral("%2 '%1': no file named").arg(text, option));
    if (portRequired && !hasPort)
        return fail(
            error,
            QStringLiteral("--rom '%1': an Aurora tool is matched by the port it is plugged into; "
                           "write NAME=FILE@PORT")
                .arg(text));
    // Resource paths (":/...") are the application's own and always readable.
    if (!rest.startsWith(QLatin1String(":/"))) {
        const QFileInfo info(rest);
        if (!info.isFile() || !info.isReadable())
            return fail(error, QStringLiteral("%3 '%1': cannot read the tool-definition file %2")
                                   .arg(text, rest, option));
    }
    target.path = rest.toStdString();
    target.name =
        name.isEmpty() ? QFileInfo(rest).completeBaseName().toStdString() : name.toStdString();
    return true;
}

// Four decimal numbers from 0 to 255 joined by dots, as a camera's address is
// written; anything else would only fail later as a connection that cannot be made.
bool isDottedIPv4(const QString& text)
{
    static const QRegularExpression dotted(
        QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})$"));
    const auto match = dotted.match(text);
    if (!match.hasMatch()) return false;
    for (int group = 1; group <= 4; ++group)
        if (match.captured(group).toInt() > 255) return false;
    return true;
}

// Decimal digits only, 1 to 65535.
bool parsePort(const QString& text, int& port)
{
    static const QRegularExpression digits(QStringLiteral("^\\d{1,5}$"));
    if (!digits.match(text).hasMatch()) return false;
    const int value = text.toInt();
    if (value < 1 || value > 65535) return false;
    port = value;
    return true;
}

}  // namespace

const char* familyName(Family family)
{
    switch (family) {
    case Family::Aurora: return "aurora";
    case Family::Polaris: return "polaris";
    case Family::Vega: return "vega";
    }
    return "?";
}

const std::vector<int>& offeredLineSpeeds()
{
    static const std::vector<int> speeds = {9600, 14400, 19200, 38400, 57600, 115200};
    return speeds;
}

TrackOptionSet::TrackOptionSet()
    : family(QStringLiteral("family"),
             QStringLiteral("Measurement system: aurora (default), polaris or vega."),
             QStringLiteral("FAMILY"), QStringLiteral("aurora")),
      device(QStringLiteral("device"),
             QStringLiteral(
                 "Serial device of an aurora or polaris (default: auto-detect on /dev/ttyS0-1 and "
                 "/dev/ttyUSB0-5)."),
             QStringLiteral("DEV")),
      address(
          QStringLiteral("address"),
          QStringLiteral(
              "IPv4 address of a vega, optionally with :PORT (default: auto-detect from its PTP "
              "messages)."),
          QStringLiteral("ADDR[:PORT]")),
      port(QStringLiteral("port"), QStringLiteral("TCP port of a vega (default 8765)."),
           QStringLiteral("PORT")),
      text(QStringLiteral("text"),
           QStringLiteral("Ask for tracking data in text (TX) instead of binary (BX).")),
      rate(QStringLiteral("rate"),
           QStringLiteral(
               "Serial line speed for tracking: 9600, 19200, 38400, 57600 or 115200 (default "
               "115200)."),
           QStringLiteral("BAUD")),
      volume(
          QStringLiteral("volume"),
          QStringLiteral(
              "Operating volume, by its 0-based position in the list the system reports (default "
              "0)."),
          QStringLiteral("N")),
      rom(QStringLiteral("rom"),
          QStringLiteral("Tool-definition file to load, repeatable. Optical tools need one each; "
                         "an Aurora tool "
                         "plugged into PORT takes NAME and FILE."),
          QStringLiteral("[NAME=]FILE[@PORT]")),
      marker(QStringLiteral("marker"),
             QStringLiteral("Optical marker to track on a vega, read from a tool-definition file; "
                            "repeatable. NAME defaults to the file's base name; the tracker id "
                            "each marker gets is printed."),
             QStringLiteral("[NAME=]FILE")),
      select(QStringLiteral("select"), QStringLiteral("Instrument id to make the main instrument."),
             QStringLiteral("ID")),
      format(
          QStringLiteral("format"),
          QStringLiteral(
              "Output: table (live, default), csv or jsonl (one line per instrument and frame)."),
          QStringLiteral("FORMAT"), QStringLiteral("table")),
      duration(QStringLiteral("duration"),
               QStringLiteral("Track for SECONDS, then stop (default: until Ctrl-C or SIGTERM)."),
               QStringLiteral("SECONDS")),
      logLevel(QStringLiteral("log-level"),
               QStringLiteral(
                   "Least level of log messages shown on stderr: 1 debug, 2 information (default), "
                   "3 warning, 4 error."),
               QStringLiteral("LEVEL"), QStringLiteral("2")),
      plugin(QStringLiteral("plugin"),
             QStringLiteral("Plugin library to load (checked and initialised), repeatable; the "
                            "stream's algorithm is looked up in them. Default: the NDI plugin "
                            "next to ndi-track."),
             QStringLiteral("FILE")),
      workspace(QStringLiteral("workspace"),
                QStringLiteral("Track the first stream of a saved workspace (converted if it was "
                               "saved by an older version); the family, device and tools come "
                               "from it, options given here take precedence."),
                QStringLiteral("FILE")),
      saveWorkspace(QStringLiteral("save-workspace"),
                    QStringLiteral("After the run, save the stream's algorithm and settings "
                                   "(markers and main instrument included) as a workspace."),
                    QStringLiteral("FILE")),
      igtl(QStringLiteral("igtl"),
           QStringLiteral("Serve the frames to OpenIGTLink clients (one TRANSFORM per tracked "
                          "tool, named <instrument name>ToTracker) on port 18944.")),
      igtlPort(QStringLiteral("igtl-port"),
               QStringLiteral("Serve OpenIGTLink on PORT instead (implies --igtl; 0: any free "
                              "port, said on stderr)."),
               QStringLiteral("PORT")),
      igtlStrays(QStringLiteral("igtl-strays"),
                 QStringLiteral("Also send the stray markers of each frame as an OpenIGTLink "
                                "POINT message (implies --igtl)."))
{
}

void TrackOptionSet::addTo(QCommandLineParser& parser) const
{
    parser.addOptions({family, device, address, port, text, rate, volume, rom, marker, select,
                       format, duration, logLevel, plugin, workspace, saveWorkspace});
    parser.addOptions({record});
    parser.addOptions({igtl, igtlPort, igtlStrays});
}

bool TrackOptionSet::read(const QCommandLineParser& parser, TrackOptions& o,
                          std::string* error) const
{
    const QString familyText = parser.value(family);
    if (familyText == QLatin1String("aurora"))
        o.family = Family::Aurora;
    else if (familyText == QLatin1String("polaris"))
        o.family = Family::Polaris;
    else if (familyText == QLatin1String("vega"))
        o.family = Family::Vega;
    else
        return fail(
            error,
            QStringLiteral("unknown family '%1': choose aurora, polaris or vega").arg(familyText));
    o.familyGiven = parser.isSet(family);

    const QString formatText = parser.value(format);
    if (formatText == QLatin1String("table"))
        o.format = OutputFormat::Table;
    else if (formatText == QLatin1String("csv"))
        o.format = OutputFormat::Csv;
    else if (formatText == QLatin1String("jsonl"))
        o.format = OutputFormat::Jsonl;
    else
        return fail(
            error,
            QStringLiteral("unknown format '%1': choose table, csv or jsonl").arg(formatText));

    if (parser.isSet(duration)) {
        bool ok = false;
        o.durationSeconds = parser.value(duration).toDouble(&ok);
        if (!ok || !std::isfinite(o.durationSeconds) || o.durationSeconds <= 0 ||
            o.durationSeconds > 1e7)
            return fail(error, QStringLiteral("--duration must be a positive number of seconds"));
    }
    {
        bool ok = false;
        o.logLevel = parser.value(logLevel).toInt(&ok);
        if (!ok || o.logLevel < 1 || o.logLevel > 4)
            return fail(error, QStringLiteral("--log-level must be 1, 2, 3 or 4"));
    }
    for (const QString& p : parser.values(plugin)) o.plugins.push_back(p.toStdString());
    if (parser.isSet(workspace)) {
        o.workspace = parser.value(workspace).toStdString();
        if (o.workspace.empty()) return fail(error, QStringLiteral("--workspace: no file named"));
    }
    if (parser.isSet(saveWorkspace)) {
        o.saveWorkspace = parser.value(saveWorkspace).toStdString();
        if (o.saveWorkspace.empty())
            return fail(error, QStringLiteral("--save-workspace: no file named"));
    }
    o.igtl = parser.isSet(igtl) || parser.isSet(igtlPort) || parser.isSet(igtlStrays);
    o.igtlStrays = parser.isSet(igtlStrays);
    if (parser.isSet(igtlPort)) {
        const QString text = parser.value(igtlPort);
        // 0 is kept apart: parsePort refuses it, and it asks for any free port.
        if (text != QLatin1String("0") && !parsePort(text, o.igtlPort))
            return fail(
                error,
                QStringLiteral("--igtl-port '%1': choose a number from 0 to 65535").arg(text));
        if (text == QLatin1String("0")) o.igtlPort = 0;
    }
    if (parser.isSet(record)) {
        o.record = parser.value(record).toStdString();
        if (o.record.empty()) return fail(error, QStringLiteral("--record: no file named"));
    }
    // A workspace tells the family: the rest is read once it is known.
    if (!o.workspace.empty()) return true;
    return readForFamily(parser, o, error);
}

bool TrackOptionSet::readForFamily(const QCommandLineParser& parser, TrackOptions& o,
                                   std::string* error) const
{
    if (o.isSerial()) {
        if (parser.isSet(address) || parser.isSet(port))
            return fail(
                error,
                QStringLiteral(
                    "the %1 is reached over a serial line: use --device, not --address/--port")
                    .arg(QLatin1String(familyName(o.family))));
        if (parser.isSet(device)) o.device = parser.value(device).toStdString();
    } else {
        if (parser.isSet(device))
            return fail(error,
                        QStringLiteral(
                            "the vega is reached over the network: use --address, not --device"));
        if (parser.isSet(rate))
            return fail(error,
                        QStringLiteral(
                            "the vega has no serial line: --rate applies to aurora and polaris"));
        if (parser.isSet(address)) {
            QString value = parser.value(address);
            // An IPv4 address has no colon: whatever follows the last one is the port.
            const int colon = value.lastIndexOf(QLatin1Char(':'));
            if (colon >= 0) {
                const QString portText = value.mid(colon + 1);
                value = value.left(colon);
                if (!parsePort(portText, o.tcpPort))
                    return fail(error, QStringLiteral("--address '%1': the port after ':' must be "
                                                      "a number from 1 to 65535")
                                           .arg(parser.value(address)));
            }
            o.device = value.toStdString();
            // "auto" (or an empty address) listens for the camera instead.
            if (!o.autoDetect() && !isDottedIPv4(value))
                return fail(error, QStringLiteral("--address '%1': %2 is not an IPv4 address; "
                                                  "--address must be a dotted IPv4 address such "
                                                  "as 192.168.1.20 (four numbers from 0 to 255; "
                                                  "host names are not supported)")
                                       .arg(parser.value(address), value));
        }
        if (parser.isSet(port)) {
            bool ok = false;
            o.tcpPort = parser.value(port).toInt(&ok);
            if (!ok || o.tcpPort < 1 || o.tcpPort > 65535)
                return fail(error, QStringLiteral("--port must lie between 1 and 65535"));
        }
    }

    o.deviceGiven = parser.isSet(device) || parser.isSet(address);
    o.portGiven = o.deviceGiven || parser.isSet(port);
    // A workspace's choice stands unless --text is given.
    o.binaryGiven = parser.isSet(text);
    if (o.binaryGiven) o.binary = false;

    if (parser.isSet(rate)) {
        bool ok = false;
        const int baud = parser.value(rate).toInt(&ok);
        const auto& speeds = offeredLineSpeeds();
        o.rateIndex = -1;
        for (std::size_t i = 0; ok && i < speeds.size(); ++i)
            if (speeds[i] == baud) o.rateIndex = static_cast<int>(i);
        if (o.rateIndex < 0)
            return fail(error,
                        QStringLiteral("--rate '%1': choose 9600, 19200, 38400, 57600 or 115200")
                            .arg(parser.value(rate)));
        // The system would switch and the host's line could not follow: every
        // command after COMM would be lost, and the system left at that speed.
        if (baud == 14400)
            return fail(error,
                        QStringLiteral(
                            "--rate 14400: this computer's serial lines cannot run at 14400 baud; "
                            "choose 9600, 19200, 38400, 57600 or 115200"));
    }
    if (parser.isSet(volume)) {
        bool ok = false;
        o.volumeIndex = parser.value(volume).toInt(&ok);
        if (!ok || o.volumeIndex < 0)
            return fail(
                error, QStringLiteral("--volume must be a position in the volume list: 0, 1, ..."));
    }

    for (const QString& r : parser.values(rom)) {
        RomTarget target;
        if (!parseRom(r, o.family == Family::Aurora, target, error)) return false;
        // The vega's stream tracks markers: a tool-definition file is read as one.
        if (o.family == Family::Vega)
            o.markers.push_back({target.name, target.path});
        else
            o.roms.push_back(target);
    }
    if (parser.isSet(marker) && o.family != Family::Vega)
        return fail(error, QStringLiteral("--marker is for a vega; the %1 loads --rom files")
                               .arg(QLatin1String(familyName(o.family))));
    for (const QString& m : parser.values(marker)) {
        RomTarget target;
        if (!parseRom(m, false, target, error, QStringLiteral("--marker"), false)) return false;
        o.markers.push_back({target.name, target.path});
    }
    if (parser.isSet(select)) o.selectedInstrument = parser.value(select).toStdString();
    return true;
}

Velantor::Properties TrackOptions::toProperties(bool givenOnly) const
{
    Velantor::Properties p;
    if (!givenOnly || deviceGiven) p.setParam("hardwareDevice", device);
    if (!isSerial() && (!givenOnly || portGiven)) p.setParam("hardwarePort", tcpPort);
    if (!givenOnly || binaryGiven) p.setParam("binaryQueryMode", binary);
    if (rateIndex >= 0) p.setParam("measurementRate", rateIndex);
    if (volumeIndex >= 0) p.setParam("maxRange", volumeIndex);
    // The vega's markers are registered one by one, so that each one's
    // tracker id can be told; see TrackedStream::registerMarkers.
    // The selection follows them.
    if (family == Family::Vega) return p;
    if (givenOnly && roms.empty()) {
        if (!selectedInstrument.empty()) p.setParam("selectedInstrument", selectedInstrument);
        return p;
    }
    Velantor::Properties& targets = p.addSubProperties("TrackingTargets");
    for (const RomTarget& rom : roms) {
        Velantor::Properties& child = targets.addSubProperties(rom.name);
        child.setParam("Path", rom.path);
        child.setParam("Port", rom.port);
    }
    if (!selectedInstrument.empty()) p.setParam("selectedInstrument", selectedInstrument);
    return p;
}

}  // namespace ndi_track
