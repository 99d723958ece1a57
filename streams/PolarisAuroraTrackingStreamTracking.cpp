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
    bool resume = false;
    {
        std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
        // The reply decides nothing: a lost reply may hide a system that did
        // start, and one that did not shows in every pass through the error
        // callback.
        if (m_impl->connection != nullptr) {
            ndiCommand(m_impl->connection, "TSTART:");
            shortenTrackingTimeoutLocked();
        }
        m_impl->passGrid.restart();
        m_impl->line.linkLoss.restart(monotonicNs());
        // Stopped while the line was lost: looking for it goes on.
        resume = m_impl->connection == nullptr && m_impl->line.lineLost && m_impl->autoReconnect;
        if (resume) m_impl->line.reconnecting = true;
    }
    if (resume) beginRecovery();
    return true;
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::shortenTrackingTimeoutLocked()
{
    // A tracking reply comes within a frame or two (the line's time for its
    // bytes is added by the library). With the line's default of seconds, a
    // device that hangs would hold every pass, and the stop and close that
    // wait for the pass, that long.
    constexpr int kTrackingReplyTimeoutMs = 200;
    if (m_impl->connectionType == Serial)
        ndiSerialTimeout(ndiGetDeviceHandle(m_impl->connection), kTrackingReplyTimeoutMs);
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::restoreSetupTimeoutLocked()
{
    // The serial line's own default, which opening it sets.
    constexpr int kSetupReplyTimeoutMs = 5000;
    if (m_impl->connectionType == Serial)
        ndiSerialTimeout(ndiGetDeviceHandle(m_impl->connection), kSetupReplyTimeoutMs);
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::stopImpl()
{
    abandonRecovery();
    std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
    if (m_impl->connection == nullptr) return true;
    ndiCommand(m_impl->connection, "TSTOP:");
    // A system that answered gets the long time-out back for what may follow
    // while it is open (tool uploads take longer than a tracking reply); one
    // that did not is not waited for that long again by close.
    if (ndiGetError(m_impl->connection) == NDI_OKAY) restoreSetupTimeoutLocked();
    return true;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::newFrameAvailable(bool binary)
{
    if (m_instruments->size() == 0) return true;

    const std::uint64_t frame = TrackingFrameDecoder(m_impl->connection, binary)
                                    .replyFrameNumber(*m_instruments, m_impl->dummyToolHandle)
                                    .value_or(0);
    m_impl->passGrid.frameMoved(static_cast<std::int64_t>(frame - m_impl->lastFrame));
    if (frame == m_impl->lastFrame) return false;
    m_impl->lastFrame = frame;
    return true;
}

template <NDISystemType Type>
std::unique_ptr<TrackingInstrumentFiducialsData> PolarisAuroraTrackingStream<Type>::receiveFrame(
    bool& lineLost)
{
    // Electromagnetic systems have no markers to ask for.
    constexpr int kBinaryTrackingReplyOptions =
        Type == NDIAurora ? NDIReplyOptions::kElectromagneticBinaryTracking
                          : NDIReplyOptions::kOpticalBinaryTracking;
    std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
    NdiConnection* connection = m_impl->connection;
    if (connection == nullptr) return nullptr;

    const bool binary = m_impl->binaryConnection;
    if (!TrackingFrameDecoder::requestFrame(connection, binary, kBinaryTrackingReplyOptions)) {
        lineLost = trackingReplyFailedLocked();
        return nullptr;
    }
    m_impl->line.linkLoss.passSucceeded(monotonicNs());
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
    // The line is being reopened by the retries, which hold the connection
    // for a whole attempt: nothing to do here meanwhile.
    if (m_impl->line.reconnecting)
        return WorkResult(StreamUtils::systemTimeNs() + 5'000'000, true, true);
    bool lineLost = false;
    const WorkResult result =
        runTrackingPass(*this, m_impl->passGrid, [&] { return receiveFrame(lineLost); });
    if (lineLost) beginRecovery();
    return result;
}

#define NDI_INSTANTIATE_TRACKING(Type)                                               \
    template bool PolarisAuroraTrackingStream<Type>::startImpl();                    \
    template bool PolarisAuroraTrackingStream<Type>::stopImpl();                     \
    template void PolarisAuroraTrackingStream<Type>::shortenTrackingTimeoutLocked(); \
    template void PolarisAuroraTrackingStream<Type>::restoreSetupTimeoutLocked();    \
    template bool PolarisAuroraTrackingStream<Type>::newFrameAvailable(bool);        \
    template std::unique_ptr<TrackingInstrumentFiducialsData>                        \
    PolarisAuroraTrackingStream<Type>::receiveFrame(bool&);                          \
    template Stream::WorkResult PolarisAuroraTrackingStream<Type>::doWork();
NDI_INSTANTIATE_FOR_EVERY_FAMILY(NDI_INSTANTIATE_TRACKING)

}  // namespace Velantor
