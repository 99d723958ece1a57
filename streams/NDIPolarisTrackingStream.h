#pragma once
// The tracking stream of a Polaris Vega or Lyra reached over TCP/IP whose
// tools are optical markers the host describes (a name, an optional id and
// the sphere geometry). At every open each marker is written to a temporary
// tool-definition (ROM) file and uploaded to a fresh port handle; while
// running, every pass asks the camera for one frame and delivers the pose of
// each marker and the positions of the stray and tool markers it sees.
//
// Threads: the host calls the hooks on its own threads, doWork on the
// stream's worker. One connection mutex serialises every use of the
// connection, and the registry's own lock is only ever taken inside it, and
// never across device I/O. Settings may be changed from any thread and take
// effect at the next open; markers may be added and removed only while the
// stream is closed. Frames and registry announcements go out with no lock of
// the stream held.
#include <Velantor/OpticalTrackingInterface.h>
#include <Velantor/OpticalTrackingMarker.h>
#include <Velantor/TrackingStream.h>

#include <ThreadSafeInstruments.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <ndi/connection.h>

namespace Velantor {

struct NDITrackingInstrumentInfo;
class TrackingInstrumentFiducialsData;

class NDIPolarisTrackingStream : public TrackingStream, public OpticalTrackingInterface {
public:
    // What the registry keeps beside each marker's instrument.
    struct ToolData {
        explicit ToolData(std::unique_ptr<OpticalTrackingMarker> marker);

        // Kept with its own type, so that a copy handed back is the host's.
        std::unique_ptr<OpticalTrackingMarker> marker;
        // The camera's handle of the uploaded marker; -1 while it has none.
        std::int32_t portHandle = -1;
        // Why the last open could not put the marker on the camera; empty when
        // it did (or before the first open).
        std::string loadProblem;
    };
    using Registry = ThreadSafeInstruments<ToolData>;

    explicit NDIPolarisTrackingStream(const std::string& name);
    // Closes the stream through the host (waiting for it) before anything is
    // released; the marker ROM files go with it.
    ~NDIPolarisTrackingStream() override;

    // --- host hooks ---
    bool openImpl() override;
    bool closeImpl() override;
    bool startImpl() override;
    bool stopImpl() override;
    WorkResult doWork() override;

    // --- markers (the host's optical-marker requests) ---
    int capabilities() const override;
    // Registers the marker (only while closed); its tracker ID
    // "ndi-polaris-<id>", or "" when nothing was registered. A marker without
    // an id gets the next free one from 100000 upward.
    std::string addTrackingMarker(std::unique_ptr<OpticalTrackingMarker> marker) override;
    using OpticalTrackingInterface::addTrackingMarker;
    std::unique_ptr<OpticalTrackingMarker> trackingMarker(const std::string& id) const override;
    // Only while closed.
    bool removeTrackingMarker(const std::string& id) override;
    // Registers the marker read from info's ROM file, named info.name.
    void registerTool(const NDITrackingInstrumentInfo& info);
    // Why the marker of tracker ID id is not tracked since the last open; ""
    // when it is, or when there is no such marker.
    std::string trackingMarkerProblem(const std::string& id) const override;

    void configure(const Properties* p) override;
    void configuration(Properties* p) const override;

    // --- connection settings (taken at the next open) ---
    // An IPv4 address; empty or containing "auto" means detect on open.
    // Anything else is refused with a warning and means auto-detection.
    void setHardwareDevice(const std::string& device);
    std::string hardwareDevice() const;
    void setHardwareIPPort(int port);
    int hardwareIPPort() const;
    void setBinaryQueryMode(bool binary);
    bool binaryQueryMode() const;

    // --- tracking volume ---
    // Names of the operating volumes reported at the last open; never waits
    // for the device.
    std::vector<std::string> maxRangeOptions() const;
    int maxRange() const;
    // Refused with an error while the connection is established; negative
    // indices are ignored.
    void setMaxRange(int index);

    void cancelPendingReplies() override;

    // --- recovery of a lost line ---
    // On (the default): when tracking replies keep failing, the stream closes
    // the connection, reconnects with back-off, puts the same markers on the
    // camera again and goes on tracking by itself. Off: every failed pass is
    // only reported. May change at any time.
    void setAutoReconnect(bool on);
    bool autoReconnect() const;
    bool reconnecting() const override;

    // The stream's registry, typed (also installed as trackingInstruments()).
    Registry* instrumentRegistry() const { return m_instruments; }

private:
    struct Impl;

    // Parts of openImpl, all with the connection held.
    bool openLocked();
    void closeConnectionLocked();
    // Reads the camera's operating volumes and selects maxRange; false when
    // the one chosen is not among them.
    bool queryOperatingVolumes();
    // Uploads and enables every marker, or the placeholder when none could
    // be; returns the registry's changes, not yet announced.
    Flags<InstrumentModification> initializeOpticalTools();
    // Puts one marker on the camera: its port handle, or -1 with the reason
    // in *problem.
    int loadMarker(OpticalTrackingMarker& marker, std::string* problem);
    // The id for a marker that has none: the next one not yet registered.
    std::uint32_t takeNextMarkerId();

    // Parts of doWork.
    // One tracking command and, when its reply holds a new frame, the registry
    // updated from it and the frame's markers; null when there is nothing to
    // deliver. Takes the connection.
    std::unique_ptr<TrackingInstrumentFiducialsData> receiveFrame(bool& lineLost);

    // Recovery (NDIPolarisTrackingStreamRecovery.cpp). With the connection
    // held: a failed tracking reply; true when it made the line count as
    // lost, which is then given up.
    bool trackingReplyFailedLocked();
    // After a loss, with no lock held.
    void beginRecovery();
    // Ends retries in progress, promptly, whatever the camera does; with no
    // lock of the stream held.
    void abandonRecovery();
    // The retry runner's attempt, and its part with the connection held.
    bool attemptReconnect();
    bool reconnectLocked(Flags<InstrumentModification>& flags);
    // Whether the reply just received holds a frame not yet delivered
    // (connection held).
    bool newFrameAvailable(bool binary);

    void applyStoredMarkers(const Properties& targets);

    std::unique_ptr<Impl> m_impl;
    Registry* m_instruments = nullptr;
};

}  // namespace Velantor
