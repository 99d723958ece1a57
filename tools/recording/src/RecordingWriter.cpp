#include <ndirecording/Recording.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace ndi_recording {

namespace {

// Shortest text that reads back as the same double, independent of the
// locale (Qt sets the process locale, and some write a decimal comma).
// JSON has no NaN or infinity: they go as strings, which the reader takes.
void appendNumber(std::string& out, double value)
{
    if (std::isnan(value)) {
        out += "\"nan\"";
        return;
    }
    if (std::isinf(value)) {
        out += value > 0 ? "\"inf\"" : "\"-inf\"";
        return;
    }
    char buffer[40];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    // Qt's JSON reader takes a number without '.' or exponent as an integer:
    // -0 would lose its sign and one beyond 64 bits would be refused.
    if (std::find_if(buffer, result.ptr, [](char c) { return c == '.' || c == 'e'; }) == result.ptr)
        result =
            std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    out.append(buffer, result.ptr);
}

template <typename Integer>
void appendInteger(std::string& out, Integer value)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void appendText(std::string& out, const std::string& text)
{
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

void key(std::string& out, const char* name, bool first = false)
{
    if (!first) out += ',';
    out += '"';
    out += name;
    out += "\":";
}

}  // namespace

const char* stateName(ToolState state)
{
    switch (state) {
    case ToolState::Ok: return "ok";
    case ToolState::Missing: return "missing";
    case ToolState::Disabled: return "disabled";
    }
    return "missing";
}

std::string headerLine(const RecordingHeader& h)
{
    std::string out = "{";
    key(out, "format", true);
    appendText(out, kFormatName);
    key(out, "version");
    appendInteger(out, kFormatVersion);
    key(out, "family");
    appendText(out, h.family);
    key(out, "device");
    appendText(out, h.device);
    key(out, "start_utc");
    appendText(out, h.startUtc);
    // 64 bits do not fit a double: many JSON readers would round it.
    key(out, "start_ns");
    appendText(out, std::to_string(h.startNs));
    key(out, "tools");
    out += '[';
    for (std::size_t i = 0; i < h.tools.size(); ++i) {
        const RecordedTool& t = h.tools[i];
        if (i) out += ',';
        out += '{';
        key(out, "id", true);
        appendText(out, t.id);
        key(out, "name");
        appendText(out, t.name);
        key(out, "model");
        appendText(out, t.model);
        key(out, "port");
        appendInteger(out, t.port);
        out += '}';
    }
    out += ']';
    key(out, "files");
    out += '[';
    for (std::size_t i = 0; i < h.files.size(); ++i) {
        const ToolFile& f = h.files[i];
        if (i) out += ',';
        out += '{';
        key(out, "kind", true);
        appendText(out, f.kind);
        key(out, "name");
        appendText(out, f.name);
        key(out, "path");
        appendText(out, f.path);
        key(out, "port");
        appendInteger(out, f.port);
        out += '}';
    }
    out += "]}\n";
    return out;
}

std::string frameLine(const RecordedFrame& f)
{
    std::string out = "{";
    key(out, "seq", true);
    appendInteger(out, f.seq);
    key(out, "t_ns");
    appendInteger(out, f.offsetNs);
    key(out, "stamp_ms");
    appendInteger(out, f.stampMs);
    key(out, "main");
    appendText(out, f.mainId);
    key(out, "tools");
    out += '[';
    for (std::size_t i = 0; i < f.instruments.size(); ++i) {
        const RecordedInstrument& t = f.instruments[i];
        if (i) out += ',';
        out += '{';
        key(out, "id", true);
        appendText(out, t.id);
        key(out, "name");
        appendText(out, t.name);
        key(out, "model");
        appendText(out, t.model);
        key(out, "state");
        appendText(out, stateName(t.state));
        key(out, "active");
        out += t.active ? "true" : "false";
        key(out, "status");
        appendInteger(out, t.status);
        key(out, "quality");
        appendNumber(out, t.quality);
        key(out, "stamp_ms");
        appendInteger(out, t.stampMs);
        key(out, "matrix");
        out += '[';
        for (std::size_t k = 0; k < t.matrix.size(); ++k) {
            if (k) out += ',';
            appendNumber(out, t.matrix[k]);
        }
        out += "]}";
    }
    out += ']';
    key(out, "markers");
    out += '[';
    for (std::size_t i = 0; i < f.markers.size(); ++i) {
        const RecordedMarker& m = f.markers[i];
        if (i) out += ',';
        out += '{';
        key(out, "owner", true);
        appendText(out, m.owner);
        key(out, "p");
        out += '[';
        for (std::size_t k = 0; k < 3; ++k) {
            if (k) out += ',';
            appendNumber(out, m.position[k]);
        }
        out += "]}";
    }
    out += "]}\n";
    return out;
}

int auroraPortOfId(const std::string& id)
{
    const std::string prefix = "ndi-aurora-";
    if (id.compare(0, prefix.size(), prefix) != 0) return 0;
    int port = 0;
    std::size_t i = prefix.size();
    for (; i < id.size() && id[i] >= '0' && id[i] <= '9' && port < 100; ++i)
        port = port * 10 + (id[i] - '0');
    return i < id.size() && id[i] == '-' && port >= 1 && port <= 99 ? port : 0;
}

}  // namespace ndi_recording
