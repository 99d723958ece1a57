// Construction and destruction of the marker stream, and the host's requests
// for a copy of a marker. Its other members are defined, by section, in the
// NDIPolarisTrackingStream*.cpp files beside this one.
#include "NDIPolarisTrackingStream.h"

#include "NDIPolarisTrackingStreamImpl.h"

#include <ndi/protocol.h>

#include <utility>

namespace Velantor {

NDIPolarisTrackingStream::ToolData::ToolData(std::unique_ptr<OpticalTrackingMarker> m)
    : marker(std::move(m))
{
}

NDIPolarisTrackingStream::NDIPolarisTrackingStream(const std::string& name)
    : TrackingStream(name), m_impl(std::make_unique<Impl>())
{
    auto registry = std::make_unique<Registry>();
    m_instruments = registry.get();
    setInstruments(std::move(registry));
    m_impl->line.runner = std::make_unique<ConnectionRecovery>([this] { return attemptReconnect(); });
}

NDIPolarisTrackingStream::~NDIPolarisTrackingStream()
{
    closeAsync().wait();
    // Retries still running (the host could not close the stream) would use
    // what goes away below.
    abandonRecovery();
    // The host could not close it (its runner is gone): never leak the socket.
    std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
    closeConnectionLocked();
}

int NDIPolarisTrackingStream::capabilities() const { return MarkerTracking; }

std::unique_ptr<OpticalTrackingMarker> NDIPolarisTrackingStream::trackingMarker(
    const std::string& id) const
{
    std::unique_ptr<OpticalTrackingMarker> copy;
    m_instruments->modify(id, Registry::SpecialFunction([&](const std::string&, ToolData& data) {
                              if (data.marker)
                                  copy = std::make_unique<OpticalTrackingMarker>(*data.marker);
                          }));
    return copy;
}

std::string NDIPolarisTrackingStream::trackingMarkerProblem(const std::string& id) const
{
    std::string problem;
    m_instruments->modify(id, Registry::SpecialFunction([&](const std::string&, ToolData& data) {
                              problem = data.loadProblem;
                          }));
    return problem;
}

}  // namespace Velantor
