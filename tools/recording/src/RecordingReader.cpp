// The reader takes files from anywhere (a colleague's run, a bug report): it
// checks every field, caps every size, and names the line of the first fault.
#include <ndirecording/Recording.h>

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <set>
#include <vector>

namespace ndi_recording {

namespace {

// Integers beyond this are not exact in a JSON number read as a double.
constexpr double kMaxExactInteger = 9007199254740992.0;  // 2^53

// What is wrong with the keys of the line: a key that an object holds twice
// (Qt's reader keeps the last silently, and leaks the value it drops when
// that is a list or an object), or a key written with escapes, which could
// hide a repeated one. The format's keys are plain names. Empty when they
// are sound; the JSON syntax itself is Qt's to check.
std::string keyProblem(const char* text, std::size_t size)
{
    struct Level {
        bool object = false;
        bool expectKey = false;
        std::set<std::string> keys;
    };
    std::vector<Level> levels;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = text[i];
        if (c == '"') {
            std::string s;
            bool escaped = false;
            std::size_t j = i + 1;
            for (; j < size && text[j] != '"'; ++j) {
                if (text[j] == '\\') {
                    escaped = true;
                    ++j;  // the escaped character is part of the string
                }
                if (j < size) s += text[j];
            }
            if (!levels.empty() && levels.back().object && levels.back().expectKey) {
                if (escaped) return "a key written with escapes";
                if (!levels.back().keys.insert(s).second)
                    return "key \"" + s + "\" twice in one object";
                levels.back().expectKey = false;
            }
            i = j;
        } else if (c == '{' || c == '[') {
            levels.push_back({c == '{', c == '{', {}});
        } else if (c == '}' || c == ']') {
            if (!levels.empty()) levels.pop_back();
        } else if (c == ',' && !levels.empty() && levels.back().object) {
            levels.back().expectKey = true;
        }
    }
    return {};
}

class Line {
public:
    Line(std::size_t number, const ReadLimits& limits) : m_number(number), m_limits(limits) {}

    [[noreturn]] void fail(const std::string& what) const
    {
        throw RecordingError("line " + std::to_string(m_number) + ": " + what);
    }

    QJsonObject parse(const char* begin, std::size_t size) const
    {
        const std::string problem = keyProblem(begin, size);
        if (!problem.empty()) fail(problem);
        QJsonParseError error{};
        const QJsonDocument document =
            QJsonDocument::fromJson(QByteArray::fromRawData(begin, static_cast<int>(size)), &error);
        if (error.error != QJsonParseError::NoError)
            fail("not JSON (" + error.errorString().toStdString() + " at character " +
                 std::to_string(error.offset + 1) + ")");
        if (!document.isObject()) fail("expected a JSON object");
        return document.object();
    }

    // Every key must be known and the required ones present: a misspelt key
    // would otherwise be a field silently left at its default.
    void keys(const QJsonObject& o, const std::string& where,
              std::initializer_list<const char*> known) const
    {
        for (auto it = o.begin(); it != o.end(); ++it) {
            bool found = false;
            for (const char* k : known) found = found || it.key() == QLatin1String(k);
            if (!found) fail(where + "unknown key \"" + it.key().toStdString() + "\"");
        }
        for (const char* k : known)
            if (!o.contains(QLatin1String(k))) fail(where + "missing key \"" + k + "\"");
    }

    std::string text(const QJsonObject& o, const char* k, const std::string& where) const
    {
        const QJsonValue v = o.value(QLatin1String(k));
        if (!v.isString()) fail(where + "\"" + k + "\" must be a string");
        const std::string s = v.toString().toStdString();
        if (s.size() > m_limits.maxTextBytes) fail(where + "\"" + k + "\" is too long");
        return s;
    }

    double integer(const QJsonObject& o, const char* k, double lo, double hi,
                   const std::string& where) const
    {
        const QJsonValue v = o.value(QLatin1String(k));
        const double d = v.toDouble(std::numeric_limits<double>::quiet_NaN());
        if (!v.isDouble() || !(d >= lo && d <= hi) || std::floor(d) != d)
            fail(where + "\"" + k + "\" must be a whole number from " + format(lo) + " to " +
                 format(hi));
        return d;
    }

    bool boolean(const QJsonObject& o, const char* k, const std::string& where) const
    {
        const QJsonValue v = o.value(QLatin1String(k));
        if (!v.isBool()) fail(where + "\"" + k + "\" must be true or false");
        return v.toBool();
    }

    double number(const QJsonValue& v, const std::string& what) const
    {
        if (v.isDouble()) {
            const double d = v.toDouble();
            // Qt reads an overflowing number as infinity; only the strings
            // below stand for one.
            if (!std::isfinite(d)) fail(what + " is out of range");
            return d;
        }
        if (v.isString()) {
            const QString s = v.toString();
            if (s == QLatin1String("nan")) return std::numeric_limits<double>::quiet_NaN();
            if (s == QLatin1String("inf")) return std::numeric_limits<double>::infinity();
            if (s == QLatin1String("-inf")) return -std::numeric_limits<double>::infinity();
        }
        fail(what + " must be a number (or \"nan\", \"inf\", \"-inf\")");
    }

    QJsonArray array(const QJsonObject& o, const char* k, std::size_t max,
                     const std::string& where) const
    {
        const QJsonValue v = o.value(QLatin1String(k));
        if (!v.isArray()) fail(where + "\"" + k + "\" must be a list");
        const QJsonArray a = v.toArray();
        if (static_cast<std::size_t>(a.size()) > max)
            fail(where + "\"" + k + "\" holds more than " + std::to_string(max) + " entries");
        return a;
    }

    QJsonObject object(const QJsonValue& v, const std::string& where) const
    {
        if (!v.isObject()) fail(where + "must be an object");
        return v.toObject();
    }

    const ReadLimits& limits() const { return m_limits; }

private:
    static std::string format(double d)
    {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.0f", d);
        return buffer;
    }

    std::size_t m_number;
    const ReadLimits& m_limits;
};

std::int64_t parseNanoseconds(const Line& line, const std::string& text)
{
    if (text.empty() || text.size() > 19) line.fail("\"start_ns\" must be 1 to 19 decimal digits");
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') line.fail("\"start_ns\" must be 1 to 19 decimal digits");
        if (value > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10)
            line.fail("\"start_ns\" is out of range");
        value = value * 10 + (c - '0');
    }
    return value;
}

RecordingHeader readHeader(const Line& line, const QJsonObject& o)
{
    if (!o.contains(QLatin1String("format")) ||
        o.value(QLatin1String("format")).toString() != QLatin1String(kFormatName))
        line.fail(std::string("not a recording: the first line must name the format \"") +
                  kFormatName + "\"");
    const double version = line.integer(o, "version", 1, 1000000, "");
    if (version != kFormatVersion)
        line.fail("recording format version " + std::to_string(static_cast<int>(version)) +
                  " is not known here (this reader knows version " +
                  std::to_string(kFormatVersion) + ")");
    line.keys(o, "",
              {"format", "version", "family", "device", "start_utc", "start_ns", "tools", "files"});
    RecordingHeader h;
    h.family = line.text(o, "family", "");
    if (h.family != "aurora" && h.family != "polaris" && h.family != "vega")
        line.fail("unknown family \"" + h.family + "\": expected aurora, polaris or vega");
    h.device = line.text(o, "device", "");
    h.startUtc = line.text(o, "start_utc", "");
    h.startNs = parseNanoseconds(line, line.text(o, "start_ns", ""));
    const QJsonArray tools = line.array(o, "tools", line.limits().maxTools, "");
    std::set<std::string> ids;
    for (int i = 0; i < tools.size(); ++i) {
        const std::string where = "tools[" + std::to_string(i) + "]: ";
        const QJsonObject t = line.object(tools[i], where);
        line.keys(t, where, {"id", "name", "model", "port"});
        RecordedTool tool;
        tool.id = line.text(t, "id", where);
        tool.name = line.text(t, "name", where);
        tool.model = line.text(t, "model", where);
        tool.port = static_cast<int>(line.integer(t, "port", 0, 99, where));
        if (tool.id.empty()) line.fail(where + "empty id");
        if (!ids.insert(tool.id).second) line.fail(where + "id \"" + tool.id + "\" twice");
        h.tools.push_back(tool);
    }
    const QJsonArray files = line.array(o, "files", line.limits().maxTools, "");
    for (int i = 0; i < files.size(); ++i) {
        const std::string where = "files[" + std::to_string(i) + "]: ";
        const QJsonObject f = line.object(files[i], where);
        line.keys(f, where, {"kind", "name", "path", "port"});
        ToolFile file;
        file.kind = line.text(f, "kind", where);
        if (file.kind != "rom" && file.kind != "marker")
            line.fail(where + "\"kind\" must be \"rom\" or \"marker\"");
        file.name = line.text(f, "name", where);
        file.path = line.text(f, "path", where);
        file.port = static_cast<int>(line.integer(f, "port", 0, 99, where));
        h.files.push_back(file);
    }
    return h;
}

ToolState readState(const Line& line, const std::string& text, const std::string& where)
{
    if (text == "ok") return ToolState::Ok;
    if (text == "missing") return ToolState::Missing;
    if (text == "disabled") return ToolState::Disabled;
    line.fail(where + "\"state\" must be ok, missing or disabled");
}

RecordedFrame readFrame(const Line& line, const QJsonObject& o)
{
    line.keys(o, "", {"seq", "t_ns", "stamp_ms", "main", "tools", "markers"});
    RecordedFrame f;
    f.seq = static_cast<std::uint64_t>(line.integer(o, "seq", 1, kMaxExactInteger, ""));
    f.offsetNs = static_cast<std::int64_t>(line.integer(o, "t_ns", 0, kMaxExactInteger, ""));
    f.stampMs = static_cast<std::uint64_t>(line.integer(o, "stamp_ms", 0, kMaxExactInteger, ""));
    f.mainId = line.text(o, "main", "");
    const QJsonArray tools = line.array(o, "tools", line.limits().maxTools, "");
    std::set<std::string> ids;
    for (int i = 0; i < tools.size(); ++i) {
        const std::string where = "tools[" + std::to_string(i) + "]: ";
        const QJsonObject t = line.object(tools[i], where);
        line.keys(
            t, where,
            {"id", "name", "model", "state", "active", "status", "quality", "stamp_ms", "matrix"});
        RecordedInstrument r;
        r.id = line.text(t, "id", where);
        if (r.id.empty()) line.fail(where + "empty id");
        if (!ids.insert(r.id).second) line.fail(where + "id \"" + r.id + "\" twice in the frame");
        r.name = line.text(t, "name", where);
        r.model = line.text(t, "model", where);
        r.state = readState(line, line.text(t, "state", where), where);
        r.active = line.boolean(t, "active", where);
        r.status = static_cast<int>(line.integer(t, "status", std::numeric_limits<int>::min(),
                                                 std::numeric_limits<int>::max(), where));
        r.quality = line.number(t.value(QLatin1String("quality")), where + "\"quality\"");
        r.stampMs =
            static_cast<std::uint64_t>(line.integer(t, "stamp_ms", 0, kMaxExactInteger, where));
        const QJsonArray m = line.array(t, "matrix", 16, where);
        if (m.size() != 16) line.fail(where + "\"matrix\" must hold 16 numbers (4 rows of 4)");
        for (int k = 0; k < 16; ++k)
            r.matrix[static_cast<std::size_t>(k)] =
                line.number(m[k], where + "matrix[" + std::to_string(k) + "]");
        f.instruments.push_back(r);
    }
    const QJsonArray markers = line.array(o, "markers", line.limits().maxMarkers, "");
    for (int i = 0; i < markers.size(); ++i) {
        const std::string where = "markers[" + std::to_string(i) + "]: ";
        const QJsonObject mo = line.object(markers[i], where);
        line.keys(mo, where, {"owner", "p"});
        RecordedMarker marker;
        marker.owner = line.text(mo, "owner", where);
        const QJsonArray p = line.array(mo, "p", 3, where);
        if (p.size() != 3) line.fail(where + "\"p\" must hold 3 numbers (x, y, z)");
        for (int k = 0; k < 3; ++k)
            marker.position[static_cast<std::size_t>(k)] =
                line.number(p[k], where + "p[" + std::to_string(k) + "]");
        f.markers.push_back(marker);
    }
    return f;
}

}  // namespace

Recording parseRecording(const std::string& text, const ReadLimits& limits)
{
    if (text.size() > limits.maxBytes)
        throw RecordingError("the recording is larger than " + std::to_string(limits.maxBytes) +
                             " bytes");
    if (text.empty()) throw RecordingError("the recording is empty");
    Recording recording;
    std::size_t start = 0;
    std::size_t number = 0;
    while (start < text.size()) {
        ++number;
        const Line line(number, limits);
        const std::size_t end = text.find('\n', start);
        // ndi-track ends every line: a line without its end was cut off, and
        // a cut-off frame is not a frame to replay.
        if (end == std::string::npos) line.fail("cut off (no end of line): the file is incomplete");
        const std::size_t size = end - start;
        if (size > limits.maxLineBytes)
            line.fail("longer than " + std::to_string(limits.maxLineBytes) + " bytes");
        if (size == 0) line.fail("empty line");
        const QJsonObject o = line.parse(text.data() + start, size);
        if (number == 1) {
            recording.header = readHeader(line, o);
        } else {
            if (recording.frames.size() >= limits.maxFrames)
                line.fail("more than " + std::to_string(limits.maxFrames) + " frames");
            RecordedFrame frame = readFrame(line, o);
            if (!recording.frames.empty()) {
                const RecordedFrame& previous = recording.frames.back();
                if (frame.seq != previous.seq + 1)
                    line.fail("frame " + std::to_string(frame.seq) + " follows frame " +
                              std::to_string(previous.seq) +
                              ": frames are missing or out of order");
                if (frame.offsetNs < previous.offsetNs) line.fail("\"t_ns\" goes back in time");
            }
            recording.frames.push_back(std::move(frame));
        }
        start = end + 1;
    }
    return recording;
}

Recording readRecording(const std::string& path, const ReadLimits& limits)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        throw RecordingError("cannot read " + path + ": " + file.errorString().toStdString());
    if (file.size() > static_cast<qint64>(limits.maxBytes))
        throw RecordingError(path + " is larger than " + std::to_string(limits.maxBytes) +
                             " bytes");
    const QByteArray bytes = file.readAll();
    try {
        return parseRecording(bytes.toStdString(), limits);
    } catch (const RecordingError& e) {
        throw RecordingError(path + ": " + e.what());
    }
}

}  // namespace ndi_recording
