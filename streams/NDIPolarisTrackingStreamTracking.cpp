// The tracking loop of the marker stream: TSTART and TSTOP, and the pass the
// host runs every 2.5 ms while tracking, one tracking command and at most
// one frame each.
#include "NDIPolarisTrackingStream.h"

#include "NDIPolarisTrackingStreamImpl.h"
#include "NDIReplyOptions.h"
#include "TrackingFrameDecoder.h"
#include "TrackingPass.h"

#include <ndi/protocol.h>

#include <Velantor/StreamUtils.h>
#include <Velantor/TrackingInstrumentFiducialsData.h>

namespace Velantor {

bool NDIPolarisTrackingStream::startImpl()
{
    bool resume = false;
    {
        std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
        // The reply decides nothing: a lost reply may hide a camera that did
        // start, and one that did not shows in every pass through the
        // callback.
        if (m_impl->connection != nullptr) ndiCommand(m_impl->connection, "TSTART:");
        m_impl->passGrid.restart();
        m_impl->line.linkLoss.restart(monotonicNs());
        // Stopped while the camera was lost: looking for it goes on.
        resume = m_impl->connection == nullptr && m_impl->line.lineLost && m_impl->autoReconnect;
        if (resume) m_impl->line.reconnecting = true;
    }
    if (resume) beginRecovery();
    return true;
}

bool NDIPolarisTrackingStream::stopImpl()
{
    abandonRecovery();
    std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
    if (m_impl->connection != nullptr) ndiCommand(m_impl->connection, "TSTOP:");
    return true;
}

bool NDIPolarisTrackingStream::newFrameAvailable(bool binary)
{
    if (m_instruments->size() == 0) return true;

    // Any marker on the camera, or the placeholder, gives the frame number
    // when the main one has none, so that a failed upload or a disabled main
    // marker does not silence the others.
    const std::optional<std::uint64_t> reply =
        TrackingFrameDecoder(m_impl->connection, binary)
            .replyFrameNumber(*m_instruments, m_impl->dummyToolHandle);
    // Nothing on the camera reports a frame number: every reply is a frame,
    // as with no marker at all.
    if (!reply) return true;
    const std::uint64_t frame = *reply;
    m_impl->passGrid.frameMoved(static_cast<std::int64_t>(frame - m_impl->lastFrame));
    if (frame == m_impl->lastFrame) return false;
    m_impl->lastFrame = frame;
    return true;
}

std::unique_ptr<TrackingInstrumentFiducialsData> NDIPolarisTrackingStream::receiveFrame(
    bool& lineLost)
{
    std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
    NdiConnection* connection = m_impl->connection;
    if (connection == nullptr) return nullptr;

    const bool binary = m_impl->binaryConnection;
    if (!TrackingFrameDecoder::requestFrame(connection, binary,
                                            NDIReplyOptions::kOpticalBinaryTracking)) {
        lineLost = trackingReplyFailedLocked();
        return nullptr;
    }
    m_impl->line.linkLoss.passSucceeded(monotonicNs());
    if (!newFrameAvailable(binary)) return nullptr;

    const TrackingFrameDecoder decoder(connection, binary);
    std::unique_ptr<TrackingInstrumentFiducialsData> fiducials =
        decoder.strayMarkers(m_impl->lastFiducialCount);
    // One pointer fits in the callback's own storage; more would be
    // allocated on every pass.
    const struct {
        const TrackingFrameDecoder* decoder;
        std::uint64_t timestamp;
        TrackingInstrumentFiducialsData* fiducials;
    } pass{&decoder, StreamUtils::systemTimeMs(), fiducials.get()};
    m_instruments->modifyAll(Registry::InstrumentSpecialFunction(
        [p = &pass](const std::string&, TrackingInstrument& instrument, ToolData& data) {
            // A marker that is not on the camera has nothing to read; one the
            // camera reported disabled is read again, and follows the camera.
            if (data.portHandle < 0) return;
            p->decoder->updateTool(instrument, data.portHandle, p->timestamp, *p->fiducials);
        }));
    m_impl->lastFiducialCount = fiducials->positions.size();
    return fiducials;
}

Stream::WorkResult NDIPolarisTrackingStream::doWork()
{
    // The camera is being reconnected by the retries, which hold the
    // connection for a whole attempt: nothing to do here meanwhile.
    if (m_impl->line.reconnecting)
        return WorkResult(StreamUtils::systemTimeNs() + 2'500'000, true, true);
    bool lineLost = false;
    const WorkResult result =
        runTrackingPass(*this, m_impl->passGrid, [&] { return receiveFrame(lineLost); });
    if (lineLost) beginRecovery();
    return result;
}

}  // namespace Velantor
