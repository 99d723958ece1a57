#include "TrackingFrameDecoder.h"

#include "NDIAccessorResults.h"
#include "NDIReplyOptions.h"

#include <ndi/protocol.h>

#include <Eigen/Core>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>

namespace Velantor {

namespace {

bool isFinite(const float values[8])
{
    for (int i = 0; i < 8; ++i)
        if (!std::isfinite(values[i])) return false;
    return true;
}

}  // namespace

TrackingFrameDecoder::TrackingFrameDecoder(NdiConnection* connection, bool binary)
    : m_connection(connection), m_binary(binary)
{
}

bool TrackingFrameDecoder::requestFrame(NdiConnection* connection, bool binary, int binaryOptions)
{
    if (binary)
        ndiCommand(connection, "BX:%04X", binaryOptions);
    else
        ndiCommand(connection, "TX:%04X", NDIReplyOptions::kTextTracking);
    return ndiGetError(connection) == NDI_OKAY;
}

std::uint64_t TrackingFrameDecoder::frameNumber(int portHandle) const
{
    return m_binary ? ndiGetBXFrame(m_connection, portHandle)
                    : ndiGetTXFrame(m_connection, portHandle);
}

std::unique_ptr<TrackingInstrumentFiducialsData> TrackingFrameDecoder::strayMarkers(
    std::size_t expected) const
{
    auto fiducials = std::make_unique<TrackingInstrumentFiducialsData>();
    const std::uint64_t strayKey = std::hash<std::string>{}(std::string());
    const int strays = std::max(0, m_binary ? ndiGetBXNumberOfPassiveStrays(m_connection)
                                            : ndiGetTXNumberOfPassiveStrays(m_connection));
    const std::size_t room = std::max(expected, static_cast<std::size_t>(strays));
    fiducials->positions.reserve(room);
    fiducials->keys.reserve(room);
    fiducials->positions.resize(static_cast<std::size_t>(strays));
    fiducials->keys.assign(static_cast<std::size_t>(strays), strayKey);
    for (int i = 0; i < strays; ++i) {
        Eigen::Vector3d& position = fiducials->positions[static_cast<std::size_t>(i)];
        if (m_binary) {
            float coord[3] = {0.0f, 0.0f, 0.0f};
            ndiGetBXPassiveStray(m_connection, i, coord);
            position = Eigen::Vector3d(coord[0], coord[1], coord[2]);
        } else {
            double coord[3] = {0.0, 0.0, 0.0};
            ndiGetTXPassiveStray(m_connection, i, coord);
            position = Eigen::Vector3d(coord[0], coord[1], coord[2]);
        }
    }
    return fiducials;
}

void TrackingFrameDecoder::updateInstruments(NDIInstrumentRegistry& registry,
                                             std::uint64_t timestamp,
                                             TrackingInstrumentFiducialsData& fiducials) const
{
    // One pointer fits in the callback's own storage; more would be
    // allocated on every pass.
    const struct {
        const TrackingFrameDecoder* decoder;
        std::uint64_t timestamp;
        TrackingInstrumentFiducialsData* fiducials;
    } pass{this, timestamp, &fiducials};
    registry.modifyAll(NDIInstrumentRegistry::InstrumentSpecialFunction(
        [p = &pass](const std::string&, TrackingInstrument& instrument,
                    NDITrackingInstrumentInfo& info) {
            p->decoder->updateTool(instrument, info.portHandle, p->timestamp, *p->fiducials);
        }));
}

void TrackingFrameDecoder::updateTool(TrackingInstrument& instrument, int portHandle,
                                      std::uint64_t timestamp,
                                      TrackingInstrumentFiducialsData& fiducials) const
{
    updateInstrument(instrument, portHandle, timestamp);
    if (m_binary) appendToolMarkers(instrument, portHandle, fiducials);
}

void TrackingFrameDecoder::updateInstrument(TrackingInstrument& instrument, int portHandle,
                                            std::uint64_t timestamp) const
{
    float transform[8] = {};
    int result = m_binary ? ndiGetBXTransform(m_connection, portHandle, transform)
                          : ndiGetTXTransformf(m_connection, portHandle, transform);
    // A pose that is not a number is no pose: report the tool missing.
    if (result == NDIAccessorResult::kValid && !isFinite(transform))
        result = NDIAccessorResult::kMissing;
    if (result == NDIAccessorResult::kValid) {
        double matrix[16];
        ndiTransformToMatrixfd(transform, matrix);
        instrument.matrix = Eigen::Map<const Eigen::Matrix4d>(matrix);
        instrument.active = true;
        instrument.quality = 1.0 - static_cast<double>(transform[7]) / 10.0;
    } else {
        instrument.matrix = Eigen::Matrix4d::Identity();
        instrument.quality = 0.0;
        instrument.active = result == NDIAccessorResult::kMissing;
    }
    instrument.timestamp = timestamp;
}

void TrackingFrameDecoder::appendToolMarkers(const TrackingInstrument& instrument, int portHandle,
                                             TrackingInstrumentFiducialsData& fiducials) const
{
    const std::uint64_t key = std::hash<std::string>{}(instrument.id.ID());
    const int markers = ndiGetBXMarkerStrayCount(m_connection, portHandle);
    for (int j = 0; j < markers; ++j) {
        float coord[3] = {0.0f, 0.0f, 0.0f};
        if (ndiGetBXMarkerStray(m_connection, portHandle, j, coord) != NDIAccessorResult::kValid)
            continue;
        fiducials.positions.emplace_back(coord[0], coord[1], coord[2]);
        fiducials.keys.push_back(key);
    }
}

}  // namespace Velantor
