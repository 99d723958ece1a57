// The tracking loop: TSTART and TSTOP, and the pass the host runs over and
// over while tracking, one tracking command and at most one frame each.
#include "PolarisAuroraTrackingStream.h"

#include "NDIReplyOptions.h"
#include "PolarisAuroraTrackingStreamImpl.h"
#include "TrackingFrameDecoder.h"
#include "TrackingPass.h"

#include <ndi/protocol.h>

#include <Velantor/StreamUtils.h>
#include <Velantor/TrackingInstrumentFiducialsData.h>

namespace Velantor {

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::startImpl()
{
    std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
    // The reply decides nothing: a lost reply may hide a system that did start,
    // and one that did not shows in every pass through the error callback.
    if (m_impl->connection != nullptr) ndiCommand(m_impl->connection, "TSTART:");
    m_impl->passGrid.restart();
    return true;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::stopImpl()
{
    std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
    if (m_impl->connection != nullptr) ndiCommand(m_impl->connection, "TSTOP:");
    return true;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::newFrameAvailable(bool binary)
{
    if (m_instruments->size() == 0) return true;

    const std::uint64_t frame = TrackingFrameDecoder(m_impl->connection, binary)
                                    .replyFrameNumber(*m_instruments, m_impl->dummyToolHandle)
                                    .value_or(0);
    if (frame == m_impl->lastFrame) return false;
    m_impl->lastFrame = frame;
    return true;
}

template <NDISystemType Type>
std::unique_ptr<TrackingInstrumentFiducialsData> PolarisAuroraTrackingStream<Type>::receiveFrame()
{
    // Electromagnetic systems have no markers to ask for.
    constexpr int kBinaryTrackingReplyOptions =
        Type == NDIAurora ? NDIReplyOptions::kElectromagneticBinaryTracking
                          : NDIReplyOptions::kOpticalBinaryTracking;
    std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
    NdiConnection* connection = m_impl->connection;
    if (connection == nullptr) return nullptr;

    const bool binary = m_impl->binaryConnection;
    if (!TrackingFrameDecoder::requestFrame(connection, binary, kBinaryTrackingReplyOptions))
        return nullptr;
    if (!newFrameAvailable(binary)) return nullptr;

    const TrackingFrameDecoder decoder(connection, binary);
    std::unique_ptr<TrackingInstrumentFiducialsData> fiducials =
        decoder.strayMarkers(m_impl->lastFiducialCount);
    decoder.updateInstruments(*m_instruments, StreamUtils::systemTimeMs(), *fiducials);
    m_impl->lastFiducialCount = fiducials->positions.size();
    return fiducials;
}

template <NDISystemType Type>
Stream::WorkResult PolarisAuroraTrackingStream<Type>::doWork()
{
    return runTrackingPass(*this, m_impl->passGrid, [this] { return receiveFrame(); });
}

#define NDI_INSTANTIATE_TRACKING(Type)                                        \
    template bool PolarisAuroraTrackingStream<Type>::startImpl();             \
    template bool PolarisAuroraTrackingStream<Type>::stopImpl();              \
    template bool PolarisAuroraTrackingStream<Type>::newFrameAvailable(bool); \
    template std::unique_ptr<TrackingInstrumentFiducialsData>                 \
    PolarisAuroraTrackingStream<Type>::receiveFrame();                        \
    template Stream::WorkResult PolarisAuroraTrackingStream<Type>::doWork();
NDI_INSTANTIATE_FOR_EVERY_FAMILY(NDI_INSTANTIATE_TRACKING)

}  // namespace Velantor
