#pragma once
// The tracking stream of one NDI measurement system of a camera family:
// Polaris Vicra/Spectra and Aurora on a serial line, Polaris Vega/Lyra over
// TCP. It finds and opens the system, initialises it, loads or discovers the
// tools and, while running, turns each tracking reply into poses in its
// instrument registry and one frame on dataSignal.
//
// Threads: the host calls the hooks (openImpl ... doWork) on its own threads;
// one connection mutex serialises every use of the connection, and the
// registry's own lock is only ever taken inside it. Settings may be changed
// from any thread and take effect at the next open. Frames and registry
// announcements go out with no lock of the stream held.
#include "NDIInstrumentRegistry.h"
#include "NDITrackingStream.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <ndi/connection.h>

namespace Velantor {

class TrackingInstrumentFiducialsData;

template <NDISystemType Type>
class PolarisAuroraTrackingStream : public NDITrackingStream {
public:
    enum ConnectionType : int { Network = 0, Serial = 1 };

    using Registry = NDIInstrumentRegistry;

    explicit PolarisAuroraTrackingStream(const std::string& name);
    // Closes the stream through the host (waiting for it) before anything is
    // released.
    ~PolarisAuroraTrackingStream() override;

    // --- host hooks ---
    bool openImpl() override;
    bool closeImpl() override;
    bool startImpl() override;
    bool stopImpl() override;
    WorkResult doWork() override;

    // --- measurement rate and tracking volume ---
    // Serial types: the line speeds 9600 ... 115200 (indices 0 to 5; indices 6
    // and 7, 921600 and 1228739, are accepted but not offered). Network: none.
    std::vector<std::string> measurementRateOptions() const override;
    int measurementRate() const override;
    // Refused with an error while the connection is established.
    void setMeasurementRate(int index) override;
    // Names of the operating volumes reported at the last open.
    std::vector<std::string> maxRangeOptions() const override;
    int maxRange() const override;
    // Refused with an error while the connection is established.
    void setMaxRange(int index) override;

    void configure(const Properties* p) override;
    void configuration(Properties* p) const override;

    // --- connection settings (taken at the next open) ---
    // A serial device name or IPv4 address; empty or containing "auto" means
    // auto-detect on open.
    void setHardwareDevice(const std::string& device);
    std::string hardwareDevice() const;
    void setHardwareIPPort(int port);
    int hardwareIPPort() const;
    void setBinaryQueryMode(bool binary);
    bool binaryQueryMode() const;
    int connectionType() const;

    void cancelPendingReplies() override;

    // --- recovery of a lost line ---
    // On (the default): when tracking replies keep failing, the stream closes
    // the line, reopens it with back-off, sets up the same tools again and
    // goes on tracking by itself. Off: every failed pass is only reported.
    // May change at any time.
    void setAutoReconnect(bool on);
    bool autoReconnect() const;
    bool reconnecting() const override;

    // Probes the serial device names 0 to 19 in order; the first that answers
    // becomes hardwareDevice.
    bool probeHardwareDevices();

    // --- tools ---
    // Adds a tool to the list loaded at the next open; an open stream is not
    // changed.
    void registerTool(const NDITrackingInstrumentInfo& info);
    // The tools registered to be loaded (with the port handles of the last open).
    std::vector<NDITrackingInstrumentInfo> trackingTargets() const;
    // The main-instrument id waiting for its instrument to be discovered.
    std::optional<std::string> selectedInstrument() const;

    // The stream's registry, typed (also installed as trackingInstruments()).
    Registry* instrumentRegistry() const { return m_instruments; }

private:
    struct Impl;

    // Parts of configure and configuration.
    void configureSelection(const std::string& selected);
    void writeDeviceConfiguration(Properties& p) const;
    void writeToolConfiguration(Properties& p) const;

    // Parts of openImpl, all with the connection held.
    // The device named in the settings, or found, that answers; nothing (with
    // the error logged) when there is none.
    std::optional<std::string> findSerialDevice();
    std::optional<std::string> findNetworkDevice();
    bool openSerialLocked();
    bool openNetworkLocked();
    bool setLineSpeedLocked();
    // The volume list and the tools, after INIT; false when an open without
    // them is of no use.
    bool setUpToolsLocked();
    bool initializeConnectionLocked(const std::string& device);
    bool sendInitLocked();
    // Reads the system's operating volumes and selects maxRange (open only);
    // false when the one chosen is not among them.
    bool queryOperatingVolumes();
    void closeConnectionLocked();
    // Discovery, run by openImpl with the connection held: wired tools
    // (Aurora) or registered ROM files (optical types).
    void queryTools();
    void initializeOpticalTools();
    // One tracking command and, when its reply holds a new frame, the registry
    // updated from it and the frame's markers; null when there is nothing to
    // deliver. Takes the connection.
    std::unique_ptr<TrackingInstrumentFiducialsData> receiveFrame(bool& lineLost);
    // Whether the reply just received holds a frame not yet delivered
    // (connection held).
    bool newFrameAvailable(bool binary);
    // Once tracking runs, a serial reply gets the time a tracking reply
    // needs, not the seconds INIT may take (connection held).
    void shortenTrackingTimeoutLocked();
    void restoreSetupTimeoutLocked();
    void storeTargetHandle(std::size_t index, int portHandle);
    // Recovery (PolarisAuroraTrackingStreamRecovery.cpp). With the
    // connection held: a failed tracking reply; true when it made the line
    // count as lost, which is then given up.
    bool trackingReplyFailedLocked();
    // Closes the line without a word to the device: it may not answer.
    void dropConnectionLocked();
    // After a loss, with no lock held.
    void beginRecovery();
    // Ends retries in progress, promptly, whatever the device does; with no
    // lock of the stream held.
    void abandonRecovery();
    // The retry runner's attempt, and its parts with the connection held.
    bool attemptReconnect();
    bool reconnectLocked(Flags<InstrumentModification>& flags);
    NdiConnection* reopenSerialLocked(std::string& device);
    NdiConnection* reopenNetworkLocked(std::string& device);
    Flags<InstrumentModification> reattachToolsLocked();
    // Registry changes are announced when no lock of the stream is held.
    void announce(Flags<InstrumentModification> flags);
    std::optional<std::string> takeSelectedInstrument();

    std::vector<int> m_measurementRates;
    std::vector<NDITrackingInstrumentInfo> m_trackingTargets;
    std::unique_ptr<Impl> m_impl;
    Registry* m_instruments = nullptr;
    std::optional<std::string> m_selectedInstrument;
};

extern template class PolarisAuroraTrackingStream<NDIPolarisSerial>;
extern template class PolarisAuroraTrackingStream<NDIPolarisNetwork>;
extern template class PolarisAuroraTrackingStream<NDIAurora>;

}  // namespace Velantor
