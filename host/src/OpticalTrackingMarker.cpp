#include <Velantor/Log.h>
#include <Velantor/OpticalTrackingMarker.h>
#include <Velantor/Properties.h>
#include <Velantor/ToolDefinitionImageLayout.h>

#include <cmath>
#include <limits>

namespace Velantor {

namespace {

constexpr const char* kCategory = "OpticalTrackingMarker";

void warn(const std::string& text)
{
    Log::logIf(Log::Warning, kCategory, [&] { return text; });
}

}  // namespace

OpticalTrackingMarker::OpticalTrackingMarker(std::string name,
                                             std::optional<std::uint32_t> markerId,
                                             Geometry geometry)
    : m_name(std::move(name)), m_markerId(markerId), m_geometry(std::move(geometry))
{
}

OpticalTrackingMarker::~OpticalTrackingMarker() = default;

void OpticalTrackingMarker::configure(const Properties* p)
{
    Configurable::configure(p);
    if (!p) return;
    std::string name;
    if (p->param("name", name)) m_name = name;

    if (p->hasParam("markerId")) {
        std::int64_t id = -1;
        if (p->param("markerId", id) && id >= 0 && id <= std::numeric_limits<std::uint32_t>::max())
            m_markerId = static_cast<std::uint32_t>(id);
        else
            warn("Ignoring invalid markerId of marker '" + m_name + "'");
    }

    if (p->hasParam("partNumber")) {
        std::string part;
        if (p->param("partNumber", part) &&
            part.size() <= ToolDefinitionImageLayout::kPartNumberLength)
            m_partNumber = part;
        else
            warn("Ignoring invalid partNumber of marker '" + m_name + "'");
    }

    if (p->hasParam("geometry")) {
        std::vector<double> flat;
        bool valid = p->param("geometry", flat) && flat.size() % 3 == 0;
        for (double v : flat) valid = valid && std::isfinite(v);
        if (valid) {
            Geometry g;
            for (std::size_t i = 0; i < flat.size(); i += 3)
                g.emplace_back(flat[i], flat[i + 1], flat[i + 2]);
            m_geometry = std::move(g);
        } else {
            warn("Ignoring invalid geometry of marker '" + m_name + "'");
        }
    }
}

void OpticalTrackingMarker::configuration(Properties* p) const
{
    Configurable::configuration(p);
    if (!p) return;
    p->setParam("name", m_name);
    if (m_markerId)
        p->setParam("markerId", static_cast<std::int64_t>(*m_markerId));
    else
        p->removeParam("markerId");
    if (!m_partNumber.empty())
        p->setParam("partNumber", m_partNumber);
    else
        p->removeParam("partNumber");
    std::vector<double> flat;
    flat.reserve(m_geometry.size() * 3);
    for (const auto& v : m_geometry) {
        flat.push_back(v.x());
        flat.push_back(v.y());
        flat.push_back(v.z());
    }
    p->setParam("geometry", flat);
    p->setParamType("geometry", PropertiesDetail::Vector);
}

}  // namespace Velantor
