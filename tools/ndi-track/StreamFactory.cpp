#include "StreamFactory.h"

#include <NDIPolarisTrackingStream.h>
#include <PolarisAuroraTrackingStream.h>

#include <Velantor/Properties.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace ndi_track {

TrackedStream::TrackedStream(std::unique_ptr<Velantor::NDITrackingStream> camera)
    : m_camera(camera.get())
{
    m_stream = std::move(camera);
}

TrackedStream::TrackedStream(std::unique_ptr<Velantor::NDIPolarisTrackingStream> markers)
    : m_markers(markers.get())
{
    m_stream = std::move(markers);
}

TrackedStream::~TrackedStream() = default;
TrackedStream::TrackedStream(TrackedStream&&) noexcept = default;
TrackedStream& TrackedStream::operator=(TrackedStream&&) noexcept = default;

std::vector<std::string> TrackedStream::volumeOptions() const
{
    if (m_camera) return m_camera->maxRangeOptions();
    if (m_markers) return m_markers->maxRangeOptions();
    return {};
}

void TrackedStream::cancelPendingReplies() const
{
    if (m_camera) m_camera->cancelPendingReplies();
    if (m_markers) m_markers->cancelPendingReplies();
}

bool TrackedStream::configure(const TrackOptions& options, std::string* error)
{
    const Velantor::Properties settings = options.toProperties();
    m_stream->configure(&settings);
    if (!registerMarkers(options.markers, error)) return false;
    // A marker's instrument exists only now that it is registered.
    if (m_markers != nullptr && !options.selectedInstrument.empty()) {
        Velantor::Properties selection;
        selection.setParam("selectedInstrument", options.selectedInstrument);
        m_stream->configure(&selection);
    }
    return true;
}

bool TrackedStream::registerMarkers(const std::vector<MarkerFile>& markers, std::string* error)
{
    for (const MarkerFile& marker : markers) {
        if (m_markers == nullptr) {
            *error = "markers are tracked by the vega only";
            return false;
        }
        // The host's reader says what is wrong with a file in the log.
        const std::string id = m_markers->addTrackingMarker(marker.path, marker.name);
        if (id.empty()) {
            *error = "the marker " + marker.name + " could not be registered from " + marker.path;
            return false;
        }
        std::fprintf(stderr, "ndi-track: marker %s has tracker id %s\n", marker.name.c_str(),
                     id.c_str());
    }
    return true;
}

std::vector<std::string> TrackedStream::untrackedTools(const TrackOptions& options) const
{
    std::vector<std::string> lines;
    const std::vector<Velantor::TrackingInstrument> instruments =
        m_stream->trackingInstruments()->instruments();
    if (m_markers != nullptr) {
        for (const Velantor::TrackingInstrument& instrument : instruments) {
            const std::string problem = m_markers->trackingMarkerProblem(instrument.id.ID());
            if (!problem.empty())
                lines.push_back("the marker " + instrument.id.name() + " (" + instrument.id.ID() +
                                ") is not tracked: " + problem);
        }
        return lines;
    }
    // A camera-specific stream makes an instrument, named after the tool, only
    // for a tool whose ROM it could load.
    for (const RomTarget& rom : options.roms) {
        const bool loaded = std::any_of(
            instruments.begin(), instruments.end(),
            [&](const Velantor::TrackingInstrument& i) { return i.id.name() == rom.name; });
        if (!loaded)
            lines.push_back("the tool " + rom.name + " (" + rom.path +
                            ") is not tracked: its ROM could not be loaded (see the log above)");
    }
    return lines;
}

namespace {

template <Velantor::NDISystemType Type>
TrackedStream cameraStream(const std::string& name)
{
    return TrackedStream(std::unique_ptr<Velantor::NDITrackingStream>(
        std::make_unique<Velantor::PolarisAuroraTrackingStream<Type>>(name)));
}

}  // namespace

TrackedStream makeStream(Family family)
{
    using namespace Velantor;
    switch (family) {
    case Family::Aurora: return cameraStream<NDIAurora>("NDI Aurora");
    case Family::Polaris: return cameraStream<NDIPolarisSerial>("NDI Polaris");
    case Family::Vega: break;
    }
    return TrackedStream(std::make_unique<NDIPolarisTrackingStream>("NDI Polaris Vega"));
}

}  // namespace ndi_track
