#include "FrameIdentifier.h"

#include <cmath>
#include <limits>
#include <utility>

namespace soak {

namespace {

bool moves(const ndisim::Trajectory& t)
{
    for (std::size_t i = 0; i < 3; ++i)
        if (t.periodS[i] > 0 && t.amplitude[i] != 0) return true;
    return false;
}

// Binary replies carry floats; a neighbouring frame at 400 Hz is a tenth of a
// millimetre away.
constexpr double kMatchMm = 0.03;

}  // namespace

FrameIdentifier::FrameIdentifier(ndisim::Scenario scenario) : m_scenario(std::move(scenario)) {}

int FrameIdentifier::toolOf(const Velantor::TrackingInstrument& instrument) const
{
    const std::string& id = instrument.id.ID();
    for (std::size_t k = 0; k < m_scenario.tools.size(); ++k) {
        const std::string& part = m_scenario.tools[k].partNumber;
        const auto at = id.find("-" + part);
        if (at != std::string::npos && at + 1 + part.size() == id.size())
            return static_cast<int>(k);
    }
    for (std::size_t k = 0; k < m_scenario.tools.size(); ++k)
        if (m_scenario.tools[k].name == instrument.id.name()) return static_cast<int>(k);
    return -1;
}

std::optional<std::uint32_t> FrameIdentifier::identify(const Velantor::TrackingStreamData& frame,
                                                       std::uint32_t deviceFrame,
                                                       std::uint32_t window) const
{
    std::vector<std::pair<const ndisim::ToolDescription*, Eigen::Vector3d>> seen;
    for (const Velantor::TrackingInstrument& i : frame.instruments) {
        const bool pose = i.active && !(i.quality == 0.0 && i.matrix.isIdentity(0.0));
        const int tool = toolOf(i);
        if (!pose || tool < 0) continue;
        const auto& description = m_scenario.tools[static_cast<std::size_t>(tool)];
        if (moves(description.trajectory))
            seen.emplace_back(&description, i.matrix.block<3, 1>(0, 3));
    }
    if (seen.empty()) return std::nullopt;

    std::optional<std::uint32_t> best;
    double bestDistance = std::numeric_limits<double>::max();
    const std::uint32_t first = deviceFrame > window ? deviceFrame - window : 0;
    for (std::uint32_t f = first; f <= deviceFrame; ++f) {
        double worst = 0;
        for (const auto& [tool, position] : seen) {
            const ndisim::ToolFrame expected = ndisim::toolFrameAt(*tool, f, m_scenario.frameRate);
            for (int axis = 0; axis < 3; ++axis)
                worst = std::max(worst, std::fabs(position[axis] -
                                                  expected.pose.t[static_cast<std::size_t>(axis)]));
            if (worst >= bestDistance) break;
        }
        if (worst < bestDistance) {
            bestDistance = worst;
            best = f;
        }
    }
    if (bestDistance > kMatchMm) return std::nullopt;
    return best;
}

}  // namespace soak
