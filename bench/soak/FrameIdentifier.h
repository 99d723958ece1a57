#pragma once
// Which device frame a delivered frame came from. Frames carry no device frame
// number, but the simulator's poses depend on the frame number alone: the
// frame is the one, among the last few the device made, whose poses the
// delivered ones match best.
#include <ndisim/Scenario.h>

#include <Velantor/TrackingStreamData.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace soak {

class FrameIdentifier {
public:
    explicit FrameIdentifier(ndisim::Scenario scenario);

    // deviceFrame: the device's frame counter when the frame was received; the
    // frame lies at most `window` frames before it. Nothing when no tool with
    // a pose moves or no frame matches.
    std::optional<std::uint32_t> identify(const Velantor::TrackingStreamData& frame,
                                          std::uint32_t deviceFrame, std::uint32_t window) const;

private:
    // The scenario tool an instrument stands for: the one whose part number
    // is in its id (wired tools), else the one of its name (markers
    // registered under the tools' names); -1 for none.
    int toolOf(const Velantor::TrackingInstrument& instrument) const;

    ndisim::Scenario m_scenario;
};

}  // namespace soak
