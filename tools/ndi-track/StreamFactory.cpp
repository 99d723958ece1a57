#include "StreamFactory.h"

#include <PolarisAuroraTrackingStream.h>

#include <utility>

namespace ndi_track {

TrackedStream::TrackedStream(std::unique_ptr<Velantor::TrackingStream> stream,
                             std::function<std::vector<std::string>()> volumeOptions,
                             std::function<void()> cancelPendingReplies)
    : m_stream(std::move(stream)),
      m_volumeOptions(std::move(volumeOptions)),
      m_cancelPendingReplies(std::move(cancelPendingReplies))
{
}

std::vector<std::string> TrackedStream::volumeOptions() const
{
    return m_volumeOptions ? m_volumeOptions() : std::vector<std::string>();
}

void TrackedStream::cancelPendingReplies() const
{
    if (m_cancelPendingReplies) m_cancelPendingReplies();
}

namespace {

template <Velantor::NDISystemType Type>
TrackedStream cameraStream(const std::string& name)
{
    auto stream = std::make_unique<Velantor::PolarisAuroraTrackingStream<Type>>(name);
    auto* camera = stream.get();
    return TrackedStream(
        std::move(stream), [camera] { return camera->maxRangeOptions(); }, [] {});
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
    return cameraStream<NDIPolarisNetwork>("NDI Polaris Vega");
}

}  // namespace ndi_track
