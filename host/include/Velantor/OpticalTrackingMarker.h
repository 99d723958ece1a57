#pragma once
// An optical marker (a rigid tool carrying reflective spheres): a name, an
// optional numeric id, the sphere positions in the tool's own frame
// (millimetres) and an optional part number for its tool-definition image.
//
// Its configuration keys:
//   "name"       text
//   "markerId"   integer, 0 to 4294967295; absent when the marker has no id
//   "partNumber" text, at most 20 characters
//   "geometry"   list of numbers x0 y0 z0 x1 y1 z1 ...
// configure() applies the keys present and keeps the rest; values that are
// not valid (an id out of range, a geometry whose length is not a multiple
// of three or holds a non-finite number, a part number too long) are
// refused with a warning (category "OpticalTrackingMarker") and leave the
// current value.
#include <Velantor/Configurable.h>

#include <Eigen/Core>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Velantor {

class OpticalTrackingMarker : public Configurable {
public:
    using Geometry = std::vector<Eigen::Vector3d>;

    OpticalTrackingMarker() = default;
    explicit OpticalTrackingMarker(std::string name,
                                   std::optional<std::uint32_t> markerId = std::nullopt,
                                   Geometry geometry = {});
    OpticalTrackingMarker(const OpticalTrackingMarker&) = default;
    OpticalTrackingMarker& operator=(const OpticalTrackingMarker&) = default;
    ~OpticalTrackingMarker() override;

    const std::string& name() const { return m_name; }
    void setName(const std::string& name) { m_name = name; }
    std::optional<std::uint32_t> markerId() const { return m_markerId; }
    void setMarkerId(std::optional<std::uint32_t> id) { m_markerId = id; }
    const Geometry& geometry() const { return m_geometry; }
    void setGeometry(const Geometry& geometry) { m_geometry = geometry; }
    const std::string& partNumber() const { return m_partNumber; }
    void setPartNumber(const std::string& partNumber) { m_partNumber = partNumber; }

    void configure(const Properties* p) override;
    void configuration(Properties* p) const override;

    friend bool operator==(const OpticalTrackingMarker& a, const OpticalTrackingMarker& b)
    {
        return a.m_name == b.m_name && a.m_markerId == b.m_markerId &&
               a.m_geometry == b.m_geometry && a.m_partNumber == b.m_partNumber;
    }
    friend bool operator!=(const OpticalTrackingMarker& a, const OpticalTrackingMarker& b)
    {
        return !(a == b);
    }

private:
    std::string m_name;
    std::optional<std::uint32_t> m_markerId;
    Geometry m_geometry;
    std::string m_partNumber;
};

}  // namespace Velantor
