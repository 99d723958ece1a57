#pragma once
// Implemented by streams that track optical markers the host defines. The
// host adds, reads back and removes markers through it.
#include <Velantor/Filesystem.h>
#include <Velantor/OpticalTrackingMarker.h>

#include <memory>
#include <string>

namespace Velantor {

class OpticalTrackingInterface {
public:
    enum Capability : int {
        MarkerTracking = 1,  // tracks markers given by their geometry
    };

    virtual ~OpticalTrackingInterface() = default;

    // A set of Capability bits.
    virtual int capabilities() const = 0;
    // Registers the marker; its tracker ID, or "" when nothing was registered.
    virtual std::string addTrackingMarker(std::unique_ptr<OpticalTrackingMarker> marker) = 0;
    // The host's own: reads a marker from a tool-definition image
    // (OpticalTrackingMarkerIO::loadFromFile), names it (the given name, or
    // the file's base name when that is empty) and registers it with the
    // function above. "" when the file cannot be read (logged as an error,
    // category "OpticalTrackingInterface").
    virtual std::string addTrackingMarker(const Filesystem::Path& path, const std::string& name);
    // An independent copy of a registered marker, or null.
    virtual std::unique_ptr<OpticalTrackingMarker> trackingMarker(const std::string& id) const = 0;
    virtual bool removeTrackingMarker(const std::string& id) = 0;
    // Why the registered marker id is not tracked since the last open, for
    // the host to show beside it; "" when it is tracked, or when the stream
    // does not say.
    virtual std::string trackingMarkerProblem(const std::string& id) const;
};

}  // namespace Velantor
