// The marker stream's markers: registration while closed, and at every open
// each marker written to a temporary ROM file, uploaded to a fresh port
// handle and enabled, or the placeholder tool when no marker could be.
#include "NDIPolarisTrackingStream.h"

#include "NDIPolarisTrackingStreamImpl.h"
#include "NDIStreamLog.h"
#include "NDITrackingInstrumentInfo.h"
#include "OpticalToolLoader.h"
#include "RomUpload.h"

#include <ndi/protocol.h>

#include <Velantor/OpticalTrackingMarkerIO.h>

#include <stdexcept>
#include <utility>
#include <vector>

namespace Velantor {

namespace {

using NDIStreamLog::markerStreamLog;

const char* const kTrackerIdPrefix = "ndi-polaris-";

std::string trackerId(std::uint32_t markerId)
{
    return kTrackerIdPrefix + std::to_string(markerId);
}

std::string deviceProblem(NdiConnection* connection, const std::string& what)
{
    return what + " (" + ndiErrorString(ndiGetError(connection)) + ")";
}

}  // namespace

std::string NDIPolarisTrackingStream::Impl::markerTempRomPath(unsigned markerId)
{
    // A directory that could not be made is kept all the same: asking again
    // would fail the same way.
    if (!markerRomDirectory) markerRomDirectory = std::make_unique<QTemporaryDir>();
    if (markerRomDirectory->isValid())
        return markerRomDirectory->path().toStdString() + "/marker_" + std::to_string(markerId) +
               ".rom";
    markerStreamLog(Log::Error,
                    [] { return "Failed to create temporary directory for marker ROM files"; });
    return std::string();
}

std::uint32_t NDIPolarisTrackingStream::takeNextMarkerId()
{
    // Markers restored from a workspace keep their ids, which may be ones
    // this counter hands out: a taken id would lose the new marker.
    std::lock_guard<std::mutex> lock(m_impl->markerIdMutex);
    std::uint32_t id = m_impl->nextMarkerId++;
    while (m_instruments->find(trackerId(id))) id = m_impl->nextMarkerId++;
    return id;
}

std::string NDIPolarisTrackingStream::addTrackingMarker(
    std::unique_ptr<OpticalTrackingMarker> marker)
{
    if (!marker) {
        markerStreamLog(Log::Warning, [] { return "addTrackingMarker called with a null marker"; });
        return std::string();
    }
    if (!isStateOneOf({Closed})) {
        markerStreamLog(Log::Error,
                        [] { return "Markers can only be added when the stream is closed"; });
        return std::string();
    }
    if (!marker->markerId()) marker->setMarkerId(takeNextMarkerId());
    const std::string id = trackerId(*marker->markerId());
    const std::string name = marker->name();

    const Flags<InstrumentModification> flags = m_instruments->create(
        TrackerID(id, std::string(), name), std::make_unique<ToolData>(std::move(marker)), true);
    if (!flags.testFlag(InstrumentModification::InstrumentList)) return std::string();
    emitSignals(flags);
    markerStreamLog(Log::Info, [&] { return "Marker registered with tracker ID: " + id; });
    return id;
}

bool NDIPolarisTrackingStream::removeTrackingMarker(const std::string& id)
{
    if (!isStateOneOf({Closed})) {
        markerStreamLog(Log::Error,
                        [] { return "Markers can only be removed when the stream is closed"; });
        return false;
    }
    const Flags<InstrumentModification> flags = m_instruments->remove(id);
    if (flags.testFlag(InstrumentModification::InstrumentList)) {
        emitSignals(flags);
        return true;
    }
    markerStreamLog(Log::Error, [&] { return "Marker with tracker ID '" + id + "' not found"; });
    return false;
}

void NDIPolarisTrackingStream::registerTool(const NDITrackingInstrumentInfo& info)
{
    OpticalTrackingInterface::addTrackingMarker(info.romPath, info.name);
}

Flags<InstrumentModification> NDIPolarisTrackingStream::initializeOpticalTools()
{
    NdiConnection* connection = m_impl->connection;
    OpticalToolLoader::freeStaleHandles(connection);

    // The markers are copied out and loaded without the registry's lock, so
    // that the user's thread can read the registry during the uploads.
    struct Pending {
        std::string id;
        OpticalTrackingMarker marker;
        int portHandle = -1;
        std::string problem;
    };
    std::vector<Pending> pending;
    m_instruments->modifyAll(Registry::SpecialFunction([&](const std::string& id, ToolData& data) {
        if (data.marker) pending.push_back({id, *data.marker, -1, std::string()});
    }));

    bool anyEnabled = false;
    for (Pending& p : pending) {
        if (!p.marker.markerId()) p.marker.setMarkerId(takeNextMarkerId());
        p.portHandle = loadMarker(p.marker, &p.problem);
        anyEnabled = anyEnabled || p.portHandle >= 0;
    }

    Flags<InstrumentModification> flags;
    for (const Pending& p : pending)
        flags |= m_instruments->modify(
            p.id, Registry::InstrumentSpecialFunction(
                      [&](const std::string&, TrackingInstrument& instrument, ToolData& data) {
                          data.portHandle = p.portHandle;
                          data.loadProblem = p.problem;
                          if (data.marker) data.marker->setMarkerId(p.marker.markerId());
                          if (p.portHandle < 0) instrument.active = false;
                      }));

    // No marker of our own on the camera: a placeholder still makes it report
    // the stray markers.
    if (!anyEnabled) m_impl->dummyToolHandle = OpticalToolLoader::loadPlaceholder(connection);
    return flags;
}

int NDIPolarisTrackingStream::loadMarker(OpticalTrackingMarker& marker, std::string* problem)
{
    NdiConnection* connection = m_impl->connection;
    const std::string& name = marker.name();
    const std::string path = m_impl->markerTempRomPath(*marker.markerId());
    if (path.empty() || !OpticalTrackingMarkerIO::saveToFile(marker, path)) {
        NDIStreamLog::log(Log::Error, [&] {
            return "Failed to save marker '" + name + "' to temporary ROM file";
        });
        *problem = path.empty() ? "no temporary directory for its ROM file"
                                : "its ROM file could not be written";
        return -1;
    }

    auto uploadFailed = [&](const std::string& why) {
        NDIStreamLog::log(Log::Error,
                          [&] { return "ROM file for " + name + " could not be uploaded"; });
        *problem = why;
        return -1;
    };
    const int handle = NDIUtils::requestNewPortHandle(connection);
    // Without a fresh handle the ROM would overwrite another marker's.
    if (ndiGetError(connection) != NDI_OKAY)
        return uploadFailed(deviceProblem(connection, "no port handle"));

    int partNumber = OpticalToolLoader::kReservedPartNumber;
    int rc = 0;
    try {
        rc = uploadRom(connection, handle, path, partNumber);
    } catch (const std::out_of_range&) {
        // The upload went through; only its part number does not fit an int,
        // and so is not the reserved one.
        partNumber = 0;
    }
    if (rc != 0) return uploadFailed(deviceProblem(connection, "upload refused or lost"));
    OpticalToolLoader::warnIfReserved(partNumber);

    if (!OpticalToolLoader::enable(connection, handle)) {
        NDIStreamLog::log(Log::Error,
                          [&] { return "Marker " + name + " could not be enabled on the camera"; });
        *problem = deviceProblem(connection, "not enabled");
        return -1;
    }
    return handle;
}

}  // namespace Velantor
