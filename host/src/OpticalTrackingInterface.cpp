#include <Velantor/Log.h>
#include <Velantor/OpticalTrackingInterface.h>
#include <Velantor/OpticalTrackingMarkerIO.h>

namespace Velantor {

std::string OpticalTrackingInterface::addTrackingMarker(const Filesystem::Path& path,
                                                        const std::string& name)
{
    std::string why;
    auto marker = OpticalTrackingMarkerIO::loadFromFile(path, &why);
    if (!marker) {
        Log::logIf(Log::Error, "OpticalTrackingInterface",
                   [&] { return "Cannot read marker file " + path.string() + ": " + why; });
        return std::string();
    }
    marker->setName(name.empty() ? path.baseName() : name);
    return addTrackingMarker(std::make_unique<OpticalTrackingMarker>(std::move(*marker)));
}

std::string OpticalTrackingInterface::trackingMarkerProblem(const std::string&) const
{
    return std::string();
}

}  // namespace Velantor
