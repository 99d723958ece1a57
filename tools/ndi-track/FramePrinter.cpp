#include "FramePrinter.h"

#include <Velantor/TrackingInstrumentFiducialsData.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <Eigen/Geometry>

#include <cmath>
#include <cstdio>

namespace ndi_track {

namespace {

bool hasPose(const Velantor::TrackingInstrument& i)
{
    return std::string(instrumentState(i)) == "ok";
}

Eigen::Quaterniond rotationOf(const Velantor::TrackingInstrument& i)
{
    Eigen::Quaterniond q(Eigen::Matrix3d(i.matrix.block<3, 3>(0, 0)));
    q.normalize();
    if (q.w() < 0)
        q.coeffs() = -q.coeffs();  // the one of the pair with q0 >= 0, as the systems report
    return q;
}

std::string csvField(const std::string& text)
{
    if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string fixed(double value, int decimals)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

std::size_t markerCount(const Velantor::TrackingStreamData& data)
{
    const auto* fiducials = data.components().get<Velantor::TrackingInstrumentFiducialsData>();
    return fiducials ? fiducials->positions.size() : 0;
}

}  // namespace

const char* instrumentState(const Velantor::TrackingInstrument& i)
{
    if (!i.active) return "disabled";
    // The stream reports a tool out of view as identity with quality 0.
    if (i.quality == 0.0 && i.matrix.isIdentity(0.0)) return "missing";
    return "ok";
}

std::string FramePrinter::header() const
{
    if (m_format != OutputFormat::Csv) return {};
    return "frame,timestamp_ms,id,name,state,x,y,z,q0,qx,qy,qz,quality\n";
}

std::string FramePrinter::lines(const Frame& frame) const
{
    std::string out;
    if (!frame.data) return out;
    for (const auto& i : frame.data->instruments) {
        const bool pose = hasPose(i);
        if (m_format == OutputFormat::Csv) {
            out += std::to_string(frame.number) + "," + std::to_string(i.timestamp) + "," +
                   csvField(i.id.ID()) + "," + csvField(i.id.name()) + "," + instrumentState(i);
            if (pose) {
                const Eigen::Quaterniond q = rotationOf(i);
                out += "," + fixed(i.matrix(0, 3), 3) + "," + fixed(i.matrix(1, 3), 3) + "," +
                       fixed(i.matrix(2, 3), 3) + "," + fixed(q.w(), 5) + "," + fixed(q.x(), 5) +
                       "," + fixed(q.y(), 5) + "," + fixed(q.z(), 5) + "," + fixed(i.quality, 4);
            } else {
                out += ",,,,,,,,";
            }
            out += "\n";
        } else if (m_format == OutputFormat::Jsonl) {
            QJsonObject o;
            o.insert(QStringLiteral("frame"), static_cast<double>(frame.number));
            o.insert(QStringLiteral("timestamp_ms"), static_cast<double>(i.timestamp));
            o.insert(QStringLiteral("id"), QString::fromStdString(i.id.ID()));
            o.insert(QStringLiteral("name"), QString::fromStdString(i.id.name()));
            o.insert(QStringLiteral("state"), QString::fromLatin1(instrumentState(i)));
            if (pose) {
                const Eigen::Quaterniond q = rotationOf(i);
                o.insert(QStringLiteral("position"),
                         QJsonArray{i.matrix(0, 3), i.matrix(1, 3), i.matrix(2, 3)});
                o.insert(QStringLiteral("rotation"), QJsonArray{q.w(), q.x(), q.y(), q.z()});
                o.insert(QStringLiteral("quality"), i.quality);
            }
            out += QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
            out += "\n";
        }
    }
    return out;
}

// csv: a row of the frame lines' shape, so that every reader still parses the
// file; its state names the change and it has no instrument, which filters
// on id or state leave out. A comment line would break readers without
// comment support.
std::string FramePrinter::event(const LinkEvent& event) const
{
    const char* name = event.reconnecting ? "reconnecting" : "reconnected";
    if (m_format == OutputFormat::Csv)
        return std::to_string(event.afterFrame) + "," + std::to_string(event.timestampMs) + ",,," +
               name + ",,,,,,,,\n";
    if (m_format != OutputFormat::Jsonl) return {};
    QJsonObject o;
    o.insert(QStringLiteral("event"), QString::fromLatin1(name));
    o.insert(QStringLiteral("frame"), static_cast<double>(event.afterFrame));
    o.insert(QStringLiteral("timestamp_ms"), static_cast<double>(event.timestampMs));
    if (!event.reconnecting)
        o.insert(QStringLiteral("gap_s"), std::round(event.gapSeconds * 10) / 10);
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString() + "\n";
}

std::vector<std::string> FramePrinter::table(const Frame* frame, const RunStatus& status) const
{
    std::vector<std::string> rows;
    char line[256];
    // Fits 80 columns; the ids are in the csv and jsonl output.
    std::snprintf(line, sizeof line, "%-20s %7s %9s %9s %9s %7s  %s", "instrument", "frame", "x mm",
                  "y mm", "z mm", "quality", "state");
    rows.emplace_back(line);
    std::size_t markers = 0;
    if (frame && frame->data) {
        markers = markerCount(*frame->data);
        for (const auto& i : frame->data->instruments) {
            // The main instrument (--select) is marked.
            const std::string name = (i.id.ID() == frame->data->mainInstrumentId ? "*" : "") +
                                     (i.id.name().empty() ? i.id.ID() : i.id.name());
            if (hasPose(i)) {
                std::snprintf(line, sizeof line, "%-20.20s %7llu %9.2f %9.2f %9.2f %7.3f  %s",
                              name.c_str(), static_cast<unsigned long long>(frame->number),
                              i.matrix(0, 3), i.matrix(1, 3), i.matrix(2, 3), i.quality,
                              instrumentState(i));
            } else {
                std::snprintf(line, sizeof line, "%-20.20s %7llu %9s %9s %9s %7s  %s", name.c_str(),
                              static_cast<unsigned long long>(frame->number), "-", "-", "-", "-",
                              instrumentState(i));
            }
            rows.emplace_back(line);
        }
        if (frame->data->instruments.empty())
            rows.emplace_back("(no instruments: stray markers only)");
    } else {
        rows.emplace_back("(waiting for the first frame)");
    }
    std::snprintf(line, sizeof line, "rate %.1f Hz   frames %llu   markers %zu   errors %llu",
                  status.rateHz, static_cast<unsigned long long>(status.frames), markers,
                  static_cast<unsigned long long>(status.errors));
    std::string statusLine = line;
    if (status.reconnecting) {
        std::snprintf(line, sizeof line, "   reconnecting\u2026 %.1f s",
                      status.reconnectingSeconds);
        statusLine += line;
    }
    if (status.gaps > 0) statusLine += "   gaps " + std::to_string(status.gaps);
    if (!status.lastError.empty()) statusLine += "   last error: " + status.lastError;
    rows.push_back(statusLine);
    for (const std::string& tool : status.untracked) rows.push_back("not tracked: " + tool);
    return rows;
}

}  // namespace ndi_track
