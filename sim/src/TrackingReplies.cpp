#include <ndisim/TrackingReplies.h>

#include <ndisim/ReplyFormat.h>

namespace ndisim {

namespace {

std::string transformText(const Pose& p)
{
    std::string out;
    for (double q : p.q) out += signedField(q, 1e-4, 6);
    for (double t : p.t) out += signedField(t, 0.01, 7);
    out += signedField(p.error, 1e-4, 6);
    return out;
}

std::string positionText(const Vec3& v)
{
    return signedField(v[0], 0.01, 7) + signedField(v[1], 0.01, 7) + signedField(v[2], 0.01, 7);
}

// Per-marker state: 3 used in the pose, 1 missing, 0 no such marker.
int markerState(const HandleFrame& h, std::size_t m)
{
    if (m >= h.markers.size()) return 0;
    return h.tool.visibility == Visibility::Visible ? 3 : 1;
}

}  // namespace

std::string encodeTX(const FrameSnapshot& s, unsigned options)
{
    std::string out = hexField(s.handles.size(), 2);
    for (const HandleFrame& h : s.handles) {
        out += hexField(static_cast<unsigned>(h.handle), 2);
        const bool disabled = h.tool.visibility == Visibility::Disabled;
        const bool missing = h.tool.visibility == Visibility::Missing;
        if (options & ReplyOption::kTransforms) {
            if (disabled) {
                out += "DISABLED";
            } else {
                out += missing ? std::string("MISSING") : transformText(h.tool.pose);
                out += hexField(h.portStatus, 8);
                out += hexField(s.frame, 8);
            }
        }
        if (!disabled) {
            if (options & ReplyOption::kToolInfo) {
                // Tool information and one character per marker: 20 characters.
                out += hexField(h.toolInfo, 2);
                for (std::size_t m = 0; m < 18; ++m)
                    out += static_cast<char>('0' + markerState(h, m));
            }
            if (options & ReplyOption::kSingleStray) {
                out += "MISSING";  // passive and wired tools have no active stray marker
            }
        }
        out += '\n';
    }
    if (options & ReplyOption::kPassiveStrays) {
        out += hexField(s.strays.size(), 2);
        if (!s.strays.empty()) {
            out += std::string((s.strays.size() + 3) / 4, '0');  // none out of volume
            for (const Vec3& v : s.strays) out += positionText(v);
        }
    }
    out += hexField(s.systemStatus, 4);
    return out;
}

std::string encodeBX(const FrameSnapshot& s, unsigned options)
{
    std::string body;
    appendU8(body, static_cast<unsigned>(s.handles.size()));
    for (const HandleFrame& h : s.handles) {
        appendU8(body, static_cast<unsigned>(h.handle));
        const Visibility vis = h.tool.visibility;
        appendU8(body, vis == Visibility::Disabled  ? 0x04
                       : vis == Visibility::Missing ? 0x02
                                                    : 0x01);
        if (vis == Visibility::Disabled) continue;
        if (options & ReplyOption::kTransforms) {
            if (vis == Visibility::Visible) {
                const Pose& p = h.tool.pose;
                for (double q : p.q) appendFloat(body, static_cast<float>(q));
                for (double t : p.t) appendFloat(body, static_cast<float>(t));
                appendFloat(body, static_cast<float>(p.error));
            }
            appendU32(body, h.portStatus);
            appendU32(body, s.frame);
        }
        if (options & ReplyOption::kToolInfo) {
            appendU8(body, h.toolInfo);
            for (std::size_t b = 0; b < 10; ++b) {
                appendU8(body, static_cast<unsigned>(markerState(h, 2 * b) |
                                                     markerState(h, 2 * b + 1) << 4));
            }
        }
        if (options & ReplyOption::kSingleStray) {
            appendU8(body, 0);  // no active single stray
        }
        if (options & ReplyOption::kToolMarkers) {
            const std::size_t n = vis == Visibility::Visible ? h.markers.size() : 0;
            appendU8(body, static_cast<unsigned>(n));
            body.append((n + 7) / 8, '\0');
            for (std::size_t m = 0; m < n; ++m) {
                const Vec3 w = h.tool.pose.apply(h.markers[m]);
                for (double c : w) appendFloat(body, static_cast<float>(c));
            }
        }
    }
    if (options & ReplyOption::kPassiveStrays) {
        const std::size_t n = s.strays.size() > 127 ? 127 : s.strays.size();
        appendU8(body, static_cast<unsigned>(n));
        body.append((n + 7) / 8, '\0');
        for (std::size_t i = 0; i < n; ++i) {
            for (double c : s.strays[i]) appendFloat(body, static_cast<float>(c));
        }
    }
    appendU16(body, s.systemStatus);
    return binaryReply(body);
}

}  // namespace ndisim
