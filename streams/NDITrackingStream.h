#pragma once
// Base of the camera-specific NDI tracking streams: the measurement-rate and
// tracking-volume (max range) choices and the configuration keys that every
// NDI stream shares.
#include "NDITrackingInstrumentInfo.h"

#include <Velantor/TrackingStream.h>

#include <string>
#include <vector>

namespace Velantor {

class Properties;

// The camera family of a PolarisAuroraTrackingStream. The numbers are stored
// in workspaces and algorithm ids and must not change.
enum NDISystemType : int {
    NDIPolarisSerial = 0,   // Polaris Vicra and Spectra: optical, serial line
    NDIPolarisNetwork = 1,  // Polaris Vega and Lyra: optical, TCP/IP
    NDIAurora = 2,          // Aurora: electromagnetic, serial line
};

class NDITrackingStream : public TrackingStream {
public:
    explicit NDITrackingStream(const std::string& name);
    ~NDITrackingStream() override;

    // Measurement-rate choices offered to the user; empty when there are none.
    virtual std::vector<std::string> measurementRateOptions() const;
    virtual int measurementRate() const = 0;
    virtual void setMeasurementRate(int index) = 0;

    // Tracking-volume choices; empty until the measurement system reported them.
    virtual std::vector<std::string> maxRangeOptions() const;
    virtual int maxRange() const;
    virtual void setMaxRange(int index);

    // Reads "maxRange" and warns about the removed "startAfterInit" and
    // "blockingInit".
    void configure(const Properties* p) override;
    // Writes "maxRange" as a choice once there are volumes to choose from.
    void configuration(Properties* p) const override;

protected:
    // Choices are shown as one text: the options joined with ", ".
    static std::string joinOptions(const std::vector<std::string>& options);
};

}  // namespace Velantor
