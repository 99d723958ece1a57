#pragma once
// Makes the plugin's stream for a camera family, configured from the command
// line, and gives the run what it needs of it whatever its kind.
#include "TrackOptions.h"

#include <Velantor/TrackingStream.h>

#include <memory>
#include <string>
#include <vector>

namespace Velantor {
class NDIPolarisTrackingStream;
class NDITrackingStream;
}  // namespace Velantor

namespace ndi_track {

class TrackedStream {
public:
    // A camera-specific stream (aurora, polaris).
    explicit TrackedStream(std::unique_ptr<Velantor::NDITrackingStream> camera);
    // The marker stream (vega).
    explicit TrackedStream(std::unique_ptr<Velantor::NDIPolarisTrackingStream> markers);
    ~TrackedStream();
    TrackedStream(TrackedStream&&) noexcept;
    TrackedStream& operator=(TrackedStream&&) noexcept;

    Velantor::TrackingStream& stream() const { return *m_stream; }
    Velantor::TrackingStream* operator->() const { return m_stream.get(); }
    // Names of the operating volumes the system reported at the last open.
    std::vector<std::string> volumeOptions() const;
    // Makes a reply the stream waits for, and every later one, fail at once:
    // for a stop or close that must not wait out a device gone silent. Safe
    // from any thread while the stream runs; the stream is of no further use
    // for tracking afterwards.
    void cancelPendingReplies() const;

    // Configures the stream from the command line: its settings, the tools
    // to load and, for the marker stream, the optical markers read from the
    // files named with --marker (saying on stderr which tracker id each got),
    // then the main instrument. False, with the reason in *error, when a file
    // could not be read as a marker.
    bool configure(const TrackOptions& options, std::string* error);
    // After an open: one line for each tool or marker named on the command
    // line that the system is not tracking, naming it and saying why.
    std::vector<std::string> untrackedTools(const TrackOptions& options) const;

private:
    bool registerMarkers(const std::vector<MarkerFile>& markers, std::string* error);

    std::unique_ptr<Velantor::TrackingStream> m_stream;
    Velantor::NDITrackingStream* m_camera = nullptr;
    Velantor::NDIPolarisTrackingStream* m_markers = nullptr;
};

TrackedStream makeStream(Family family);

}  // namespace ndi_track
