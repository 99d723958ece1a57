#pragma once
// Makes the plugin's stream for a camera family, configured from the command
// line, and gives the run what it needs of it whatever its kind.
#include "TrackOptions.h"

#include <Velantor/TrackingStream.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ndi_track {

class TrackedStream {
public:
    TrackedStream(std::unique_ptr<Velantor::TrackingStream> stream,
                  std::function<std::vector<std::string>()> volumeOptions,
                  std::function<void()> cancelPendingReplies);

    Velantor::TrackingStream& stream() const { return *m_stream; }
    Velantor::TrackingStream* operator->() const { return m_stream.get(); }
    // Names of the operating volumes the system reported at the last open.
    std::vector<std::string> volumeOptions() const;
    // Makes a reply the stream waits for, and every later one, fail at once:
    // for a stop or close that must not wait out a device gone silent. Safe
    // from any thread while the stream runs; the stream is of no further use
    // for tracking afterwards.
    void cancelPendingReplies() const;

private:
    std::unique_ptr<Velantor::TrackingStream> m_stream;
    std::function<std::vector<std::string>()> m_volumeOptions;
    std::function<void()> m_cancelPendingReplies;
};

TrackedStream makeStream(Family family);

}  // namespace ndi_track
