#include <ndisim/Scenario.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>
#include <stdexcept>

namespace ndisim {

namespace {

[[noreturn]] void fail(const QString& where, const QString& what)
{
    throw std::runtime_error(QStringLiteral("scenario: %1: %2").arg(where, what).toStdString());
}

double number(const QJsonValue& v, const QString& where, double lo, double hi)
{
    if (!v.isDouble()) fail(where, QStringLiteral("expected a number"));
    const double d = v.toDouble();
    if (!std::isfinite(d) || d < lo || d > hi) {
        fail(where, QStringLiteral("must lie between %1 and %2").arg(lo).arg(hi));
    }
    return d;
}

std::string text(const QJsonValue& v, const QString& where, int maxLength)
{
    if (!v.isString()) fail(where, QStringLiteral("expected a string"));
    const QByteArray bytes = v.toString().toLatin1();
    if (bytes.size() > maxLength)
        fail(where, QStringLiteral("longer than %1 characters").arg(maxLength));
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126) {
            fail(where, QStringLiteral("only printable ASCII characters are allowed"));
        }
    }
    return bytes.toStdString();
}

Vec3 vec3(const QJsonValue& v, const QString& where, double limit)
{
    const QJsonArray a = v.toArray();
    if (!v.isArray() || a.size() != 3) fail(where, QStringLiteral("expected [x, y, z]"));
    return {number(a[0], where, -limit, limit), number(a[1], where, -limit, limit),
            number(a[2], where, -limit, limit)};
}

void checkKeys(const QJsonObject& o, const QString& where, std::initializer_list<const char*> known)
{
    for (auto it = o.begin(); it != o.end(); ++it) {
        bool found = false;
        for (const char* k : known) found = found || it.key() == QLatin1String(k);
        if (!found) fail(where, QStringLiteral("unknown key \"%1\"").arg(it.key()));
    }
}

std::vector<FrameRange> ranges(const QJsonValue& v, const QString& where)
{
    std::vector<FrameRange> out;
    if (!v.isArray()) fail(where, QStringLiteral("expected a list of [first, last] frame ranges"));
    for (const QJsonValue& item : v.toArray()) {
        const QJsonArray pair = item.toArray();
        if (!item.isArray() || pair.size() != 2)
            fail(where, QStringLiteral("expected [first, last]"));
        FrameRange r;
        r.first = static_cast<std::uint32_t>(number(pair[0], where, 0, 4294967295.0));
        r.last = static_cast<std::uint32_t>(number(pair[1], where, 0, 4294967295.0));
        if (r.last < r.first) fail(where, QStringLiteral("last frame before first"));
        out.push_back(r);
    }
    return out;
}

// Positions are limited to what the text replies can carry (+-9999.99 mm).
constexpr double kMaxMm = 9999.0;
constexpr double kMinPeriodS = 1e-6;

Trajectory trajectory(const QJsonValue& v, const QString& where)
{
    if (!v.isObject()) fail(where, QStringLiteral("expected an object"));
    const QJsonObject o = v.toObject();
    checkKeys(o, where,
              {"center", "amplitude", "period", "phase", "axis", "angle", "angularSpeed"});
    Trajectory t;
    if (o.contains("center")) t.center = vec3(o["center"], where + ".center", kMaxMm);
    if (o.contains("amplitude")) t.amplitude = vec3(o["amplitude"], where + ".amplitude", kMaxMm);
    if (o.contains("period")) t.periodS = vec3(o["period"], where + ".period", 1e6);
    if (o.contains("phase")) t.phaseRad = vec3(o["phase"], where + ".phase", 1e3);
    if (o.contains("axis")) t.axis = vec3(o["axis"], where + ".axis", 1e6);
    if (o.contains("angle")) t.angleDeg = number(o["angle"], where + ".angle", -1e6, 1e6);
    if (o.contains("angularSpeed"))
        t.angularSpeedDegPerS = number(o["angularSpeed"], where + ".angularSpeed", -1e5, 1e5);
    for (int i = 0; i < 3; ++i) {
        if (t.periodS[i] < 0) fail(where + ".period", QStringLiteral("must not be negative"));
        // Shorter periods overflow the sine's argument within the frame
        // counter's range, and the position turns into NaN.
        if (t.periodS[i] > 0 && t.periodS[i] < kMinPeriodS) {
            fail(where + ".period", QStringLiteral("must be 0 or at least %1 s").arg(kMinPeriodS));
        }
        if (std::fabs(t.center[i]) + std::fabs(t.amplitude[i]) > kMaxMm) {
            fail(where, QStringLiteral("the motion leaves +-%1 mm").arg(kMaxMm));
        }
    }
    return t;
}

}  // namespace

Scenario parseScenario(const std::string& json)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    if (doc.isNull()) fail(QStringLiteral("JSON"), error.errorString());
    if (!doc.isObject())
        fail(QStringLiteral("JSON"), QStringLiteral("the top level must be an object"));
    const QJsonObject o = doc.object();
    checkKeys(
        o, QStringLiteral("top level"),
        {"family", "frameRate", "firstFrame", "model", "serialNumber", "firmware", "getInfo",
         "unmatchedTools", "maxPortHandles", "wireTime", "volumes", "tools", "strays", "faults"});
    if (!o.contains("family"))
        fail(QStringLiteral("family"), QStringLiteral("missing (aurora, polaris or vega)"));
    const auto family = familyFromName(text(o["family"], QStringLiteral("family"), 16));
    if (!family) fail(QStringLiteral("family"), QStringLiteral("must be aurora, polaris or vega"));

    // Start from the family's defaults; the file replaces what it names.
    Scenario s = defaultScenario(*family);
    if (o.contains("frameRate"))
        s.frameRate = number(o["frameRate"], QStringLiteral("frameRate"), 20, 400);
    if (o.contains("firstFrame"))
        s.firstFrame = static_cast<std::uint32_t>(
            number(o["firstFrame"], QStringLiteral("firstFrame"), 0, 4000000000.0));
    if (o.contains("model")) s.model = text(o["model"], QStringLiteral("model"), 60);
    if (o.contains("serialNumber"))
        s.serialNumber = text(o["serialNumber"], QStringLiteral("serialNumber"), 20);
    if (o.contains("firmware")) s.firmware = text(o["firmware"], QStringLiteral("firmware"), 40);
    if (o.contains("getInfo")) {
        if (!o["getInfo"].isBool())
            fail(QStringLiteral("getInfo"), QStringLiteral("expected true or false"));
        s.getInfo = o["getInfo"].toBool();
    }
    if (o.contains("wireTime")) {
        if (!o["wireTime"].isBool())
            fail(QStringLiteral("wireTime"), QStringLiteral("expected true or false"));
        s.wireTime = o["wireTime"].toBool();
    }
    if (o.contains("unmatchedTools")) {
        const std::string mode = text(o["unmatchedTools"], QStringLiteral("unmatchedTools"), 16);
        if (mode != "missing" && mode != "track")
            fail(QStringLiteral("unmatchedTools"), QStringLiteral("must be missing or track"));
        s.trackUnmatchedTools = mode == "track";
    }
    if (o.contains("maxPortHandles")) {
        s.maxPortHandles =
            static_cast<int>(number(o["maxPortHandles"], QStringLiteral("maxPortHandles"), 1, 24));
    }
    if (o.contains("volumes")) {
        s.volumes.clear();
        const QJsonArray list = o["volumes"].toArray();
        if (!o["volumes"].isArray() || list.size() > 9)
            fail(QStringLiteral("volumes"), QStringLiteral("expected a list of at most 9 volumes"));
        for (int i = 0; i < list.size(); ++i) {
            const QString where = QStringLiteral("volumes[%1]").arg(i);
            const QJsonObject v = list[i].toObject();
            checkKeys(v, where, {"shape", "parameters"});
            OperatingVolume volume;
            const std::string shape = text(v["shape"], where + ".shape", 1);
            if (shape.size() != 1) fail(where + ".shape", QStringLiteral("one character"));
            volume.shape = shape[0];
            const QJsonArray p = v["parameters"].toArray();
            if (p.size() > 10) fail(where + ".parameters", QStringLiteral("at most 10 numbers"));
            for (int j = 0; j < p.size(); ++j)
                volume.parameters[j] = number(p[j], where + ".parameters", -9999.99, 9999.99);
            s.volumes.push_back(volume);
        }
    }
    if (o.contains("tools")) {
        s.tools.clear();
        const QJsonArray list = o["tools"].toArray();
        if (!o["tools"].isArray() || list.size() > 24)
            fail(QStringLiteral("tools"), QStringLiteral("expected a list of at most 24 tools"));
        for (int i = 0; i < list.size(); ++i) {
            const QString where = QStringLiteral("tools[%1]").arg(i);
            const QJsonObject t = list[i].toObject();
            checkKeys(t, where,
                      {"name", "partNumber", "toolInfo", "port", "channel", "markers", "rmsError",
                       "trajectory", "missing", "disabled"});
            ToolDescription tool;
            if (t.contains("name")) tool.name = text(t["name"], where + ".name", 64);
            if (t.contains("partNumber"))
                tool.partNumber = text(t["partNumber"], where + ".partNumber", 20);
            if (t.contains("toolInfo"))
                tool.toolInfo = text(t["toolInfo"], where + ".toolInfo", 31);
            if (t.contains("port"))
                tool.port = static_cast<int>(number(t["port"], where + ".port", 0, 99));
            if (t.contains("channel"))
                tool.channel = static_cast<int>(number(t["channel"], where + ".channel", 0, 99));
            if (t.contains("rmsError"))
                tool.rmsError = number(t["rmsError"], where + ".rmsError", 0, 9.9999);
            if (t.contains("markers")) {
                const QJsonArray m = t["markers"].toArray();
                if (m.size() > 20) fail(where + ".markers", QStringLiteral("at most 20 markers"));
                for (int j = 0; j < m.size(); ++j)
                    tool.markers.push_back(vec3(m[j], where + ".markers", 1000));
            }
            if (t.contains("trajectory"))
                tool.trajectory = trajectory(t["trajectory"], where + ".trajectory");
            if (t.contains("missing")) tool.missing = ranges(t["missing"], where + ".missing");
            if (t.contains("disabled")) tool.disabled = ranges(t["disabled"], where + ".disabled");
            if (s.family == Family::Aurora && tool.port < 1)
                fail(where + ".port", QStringLiteral("a wired tool needs a port from 1 to 99"));
            for (const ToolDescription& other : s.tools) {
                if (s.family == Family::Aurora && other.port == tool.port &&
                    other.channel == tool.channel) {
                    fail(where + ".port", QStringLiteral("two tools on one port and channel"));
                }
            }
            s.tools.push_back(tool);
        }
    }
    if (o.contains("strays")) {
        s.strays.clear();
        const QJsonArray list = o["strays"].toArray();
        if (!o["strays"].isArray() || list.size() > 50)
            fail(QStringLiteral("strays"),
                 QStringLiteral("expected a list of at most 50 stray markers"));
        for (int i = 0; i < list.size(); ++i) {
            const QString where = QStringLiteral("strays[%1]").arg(i);
            const QJsonObject t = list[i].toObject();
            checkKeys(t, where, {"trajectory", "missing"});
            StrayMarker stray;
            if (t.contains("trajectory"))
                stray.trajectory = trajectory(t["trajectory"], where + ".trajectory");
            if (t.contains("missing")) stray.missing = ranges(t["missing"], where + ".missing");
            s.strays.push_back(stray);
        }
    }
    if (o.contains("faults")) {
        const QJsonObject f = o["faults"].toObject();
        const QString where = QStringLiteral("faults");
        checkKeys(
            f, where,
            {"corruptCrcEvery", "dropEvery", "delayMs", "delayEvery", "splitBytes", "splitPauseMs",
             "garbageEvery", "disconnectAfterFrames", "ignoreComm", "errorAllCode", "silent"});
        auto count = [&](const char* key, int& out, double lo) {
            if (f.contains(key)) out = static_cast<int>(number(f[key], where + "." + key, lo, 1e6));
        };
        count("corruptCrcEvery", s.faults.corruptCrcEvery, 0);
        count("dropEvery", s.faults.dropEvery, 0);
        count("delayMs", s.faults.delayMs, 0);
        count("delayEvery", s.faults.delayEvery, 1);
        count("splitBytes", s.faults.splitBytes, 0);
        count("splitPauseMs", s.faults.splitPauseMs, 0);
        count("garbageEvery", s.faults.garbageEvery, 0);
        count("disconnectAfterFrames", s.faults.disconnectAfterFrames, 0);
        if (f.contains("ignoreComm")) s.faults.ignoreComm = f["ignoreComm"].toBool();
        if (f.contains("errorAllCode"))
            s.faults.errorAllCode =
                static_cast<int>(number(f["errorAllCode"], where + ".errorAllCode", 0, 255));
        if (f.contains("silent")) s.faults.silent = f["silent"].toBool();
    }
    if (static_cast<int>(s.tools.size()) > s.maxPortHandles) {
        fail(QStringLiteral("tools"),
             QStringLiteral("more tools than port handles (maxPortHandles)"));
    }
    return s;
}

Scenario loadScenario(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        throw std::runtime_error("scenario: cannot read " + path + ": " +
                                 file.errorString().toStdString());
    }
    if (file.size() > 4 * 1024 * 1024)
        throw std::runtime_error("scenario: " + path + " is too large");
    return parseScenario(file.readAll().toStdString());
}

ToolFrame toolFrameAt(const ToolDescription& tool, std::uint32_t frame, double frameRate)
{
    ToolFrame out;
    out.pose = tool.trajectory.poseAt(frame / frameRate);
    out.pose.error = tool.rmsError;
    for (const FrameRange& r : tool.disabled) {
        if (r.contains(frame)) out.visibility = Visibility::Disabled;
    }
    if (out.visibility == Visibility::Visible) {
        for (const FrameRange& r : tool.missing) {
            if (r.contains(frame)) out.visibility = Visibility::Missing;
        }
    }
    return out;
}

bool strayVisibleAt(const StrayMarker& stray, std::uint32_t frame)
{
    for (const FrameRange& r : stray.missing) {
        if (r.contains(frame)) return false;
    }
    return true;
}

Vec3 strayPositionAt(const StrayMarker& stray, std::uint32_t frame, double frameRate)
{
    return stray.trajectory.positionAt(frame / frameRate);
}

}  // namespace ndisim
